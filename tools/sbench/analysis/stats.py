"""The arithmetic of a comparison: per-program timelines and A/B verdicts."""

import math
import statistics

import numpy


def program_times(total_ms, arrivals_ns):
    """Per-program milliseconds from the arrival times of the progress lines:
    entry i >= 1 is the time between lines i-1 and i; entry 0 is the reported
    total less all the others, so the entries add up to the total."""
    gaps = [(later - earlier) / 1e6 for earlier, later in zip(arrivals_ns, arrivals_ns[1:])]
    return [total_ms - sum(gaps)] + gaps


def slope(values):
    """Least-squares growth per program of values sampled after programs 1..N."""
    return float(numpy.polyfit(numpy.arange(1, len(values) + 1), values, 1)[0])


def straightness(values):
    """The slope over the last 100 programs against the first 100: 1.0 for
    growth that stays straight; None when the first 100 did not grow."""
    first = slope(values[:100])
    return slope(values[-100:]) / first if first > 0 else None


def _median_of(runs, measure):
    values = [measure(run) for run in runs]
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def cpu_per_wall(run):
    """A run's CPU time over its wall time, programs 1 to 999 (the span its
    CPU time is read over; the reported total where there is no timeline),
    from the CPU time in clock ticks in files recorded before cpu_us."""
    cpu = run["cpu_us"] / 1000 if run.get("cpu_us") is not None else run.get("cpu_ms")
    wall = sum(run["program_ms"][1:]) if run.get("program_ms") else run["ms"]
    return cpu / wall if cpu is not None and wall > 0 else None


def runnable_per_wall(run):
    """The main thread's time on a CPU or waiting for one over the wall
    time, programs 1 to 999; None where the run did not record it."""
    wall = sum(run["program_ms"][1:]) if run.get("program_ms") else run["ms"]
    return run["runnable_us"] / 1000 / wall if run.get("runnable_us") is not None and wall > 0 else None


def timeline_summary(runs):
    """Per-program figures of one configuration from the runs that recorded a
    timeline: the time distribution (pooled over runs), the first program
    against the rest, CPU over wall time, and memory per live program."""
    timed = [run for run in runs if run.get("program_ms")]
    if not timed:
        return {}
    rest = [ms for run in timed for ms in run["program_ms"][1:]]
    p50, p90, p99 = numpy.percentile(rest + [run["program_ms"][0] for run in timed], [50, 90, 99])
    first, typical = statistics.median(run["program_ms"][0] for run in timed), statistics.median(rest)
    summary = {"program_p50_ms": float(p50), "program_p90_ms": float(p90), "program_p99_ms": float(p99),
               "program_max_ms": max(max(run["program_ms"]) for run in timed),
               "first_program_ms": first, "first_vs_rest": first / typical if typical > 0 else None}
    summary["cpu_per_wall"] = _median_of(timed, cpu_per_wall)
    for name in ("commit", "rss"):
        key = name + "_kib"
        summary[name + "_kib_per_program"] = _median_of(timed, lambda run: slope(run[key]) if run.get(key) else None)
        summary[name + "_last_vs_first"] = _median_of(timed,
                                                      lambda run: straightness(run[key]) if run.get(key) else None)
    return summary


# ---------------------------------------------------------------------------
# Verdicts
# ---------------------------------------------------------------------------

CONFIDENCE = 0.95
PAIRED = "paired t interval on the log ratio of each round's totals"
UNPAIRED = "Welch t interval on the difference of mean log totals"
MOST_ROUNDS_ESTIMATED = 1000
FUTURES = 1000
ESTIMATE_SEED = 20261208


def _scale(old, new):
    """(old, new, to percent, from percent) on the scale the interval is made on:
    logarithms when every figure is positive (a change is a ratio), else
    differences relative to the old mean; None when that mean is not positive."""
    if min(old + new) > 0:
        return (numpy.log(old), numpy.log(new), lambda x: float(log_change_pct(x)),
                lambda pct: math.log1p(pct / 100) if pct > -100 else -math.inf)
    base = statistics.mean(old)
    if base <= 0:
        return None
    return (numpy.array(old) / base, numpy.array(new) / base, lambda x: x * 100, lambda pct: pct / 100)


def intervals(x, y, level, paired, floor=0.0):
    """(centre, half width) of the change from x to y, a row per comparison:
    x and y are arrays (comparisons, rounds or runs) on the interval's scale.
    Paired: a t interval on the mean of the differences of the row's pairs.
    Unpaired: Welch's t interval on the difference of the means (a side
    without spread still counts; both without, a width of 0). floor: the
    least standard deviation a pair's difference is taken to have (a run's:
    floor / sqrt 2)."""
    # scipy.special's quantile, not scipy.stats': the same values, and a sixth of the import time (0.06 s
    # against 0.33 s), which every call of the tool that makes a verdict pays.
    from scipy import special
    quantile = 1 - (1 - level) / 2
    if paired:
        d = y - x
        n = d.shape[1]
        spread = numpy.maximum(d.std(axis=1, ddof=1), floor)
        return d.mean(axis=1), special.stdtrit(n - 1, quantile) * spread / math.sqrt(n)
    least = floor ** 2 / 2
    va = numpy.maximum(x.var(axis=1, ddof=1), least) / x.shape[1]
    vb = numpy.maximum(y.var(axis=1, ddof=1), least) / y.shape[1]
    se = numpy.sqrt(va + vb)
    spread = se > 0
    with numpy.errstate(divide="ignore", invalid="ignore"):  # no spread: df unused
        df = (va + vb) ** 2 / (va ** 2 / (x.shape[1] - 1) + vb ** 2 / (y.shape[1] - 1))
    half = numpy.where(spread, special.stdtrit(numpy.where(spread, df, 1), quantile) * se, 0.0)
    return y.mean(axis=1) - x.mean(axis=1), half


def answers(low, high, threshold_pct, words):
    """The verdict word for each interval in percent (arrays)."""
    return numpy.where(low > threshold_pct, words[0], numpy.where(
        high < -threshold_pct, words[1], numpy.where(
            (low >= -threshold_pct) & (high <= threshold_pct), "same", "inconclusive")))


def log_change_pct(x):
    """A difference of logarithms as a change in percent."""
    return (numpy.exp(x) - 1) * 100


def _more_rounds(centre, half_width, n, level, threshold_pct, from_pct, gate=False):
    """How many more rounds (or runs a side) would likely settle an
    inconclusive verdict, as (fewest, most) for the middle half of
    FUTURES simulated continuations: in each, the true change and noise are
    drawn as far from the estimate as n rounds leave them (the noise from its
    chi-square spread, the change from its t spread), and further rounds from
    them, judged at this level. None when nothing is known of the noise;
    a bound of MOST_ROUNDS_ESTIMATED + 1 stands for more than that.
    gate: what settles is the interval clearing +threshold, on either side."""
    from scipy import special
    quantile = 1 - (1 - level) / 2
    noise = half_width * math.sqrt(n) / special.stdtrit(n - 1, quantile)
    if noise <= 1e-12:
        return None
    up, down = from_pct(threshold_pct), from_pct(-threshold_pct)
    rng = numpy.random.default_rng(ESTIMATE_SEED)
    sigma = noise * numpy.sqrt((n - 1) / rng.chisquare(n - 1, FUTURES))
    delta = centre + sigma * rng.standard_normal(FUTURES) / math.sqrt(n)
    # Each future is looked at after 1, 2, ... more rounds, then at steps of a few %: between two looks only
    # the new rounds' mean and their sum of squares about it matter, drawn as such.
    steps = numpy.unique(numpy.geomspace(1, MOST_ROUNDS_ESTIMATED, 120).round().astype(int))
    mean, squares, done = numpy.full(FUTURES, centre), numpy.full(FUTURES, (n - 1) * noise ** 2), n
    needed = numpy.full(FUTURES, MOST_ROUNDS_ESTIMATED + 1)
    for more in steps:
        new, m = n + more - done, n + more
        step_mean = delta + sigma * rng.standard_normal(FUTURES) / math.sqrt(new)
        step_squares = sigma ** 2 * rng.chisquare(new - 1, FUTURES) if new > 1 else 0.0
        squares = squares + step_squares + (step_mean - mean) ** 2 * done * new / m
        mean, done = mean + (step_mean - mean) * new / m, m
        half = special.stdtrit(m - 1, quantile) * numpy.sqrt(squares / (m - 1) / m)
        low, high = mean - half, mean + half
        settles = (low > up) | (high <= up) if gate else (low > up) | (high < down) | ((low >= down) & (high <= up))
        needed = numpy.where(settles & (needed > more), numpy.minimum(needed, more), needed)
    fewest, most = numpy.percentile(needed, [25, 75])
    return [int(math.ceil(fewest)), int(math.ceil(most))]


def _verdict(method, count, words, threshold_pct, level):
    return {"verdict": "too few runs", "change_pct": None, "interval_pct": None, "more": None, "noise_pct": None,
            "method": method, "level": level, "threshold_pct": threshold_pct, "words": list(words), **count}


def paired_verdict(old, new, threshold_pct, words, level=CONFIDENCE, gate=False, floor=0.0):
    """Whether new differs from old, where old[i] and new[i] ran in the same
    round (back to back, on the same machine state): a t interval at level
    on the mean of the per-round log ratios, so that what drifts between
    rounds falls out. words: (word for an increase, word for a decrease).

    Returns a dict: verdict (words[0], words[1], "same" within the threshold,
    "inconclusive", or "too few runs" below two rounds), change_pct (the
    geometric mean change), interval_pct, more (rounds that would likely
    settle an inconclusive verdict), method, level, rounds."""
    pairs = [(float(a), float(b)) for a, b in zip(old, new) if a is not None and b is not None]
    result = _verdict(PAIRED, {"rounds": len(pairs)}, words, threshold_pct, level)
    if len(pairs) < 2:
        return result
    scaled = _scale([a for a, _ in pairs], [b for _, b in pairs])
    if scaled is None:
        return _from_nothing(result, [a for a, _ in pairs], [b for _, b in pairs])
    x, y, to_pct, from_pct = scaled
    centre, half = intervals(x[None, :], y[None, :], level, paired=True, floor=floor)
    result["noise_pct"] = float(numpy.std(y - x, ddof=1)) * 100
    return _decide(result, float(centre[0]), float(half[0]), len(x), to_pct, from_pct, gate)


def noise_pct(old, new, paired):
    """The noise a verdict on these figures would give (a round's log ratio,
    or a run's log total), in %; None with fewer than two, or a figure not
    above 0."""
    if paired:
        pairs = [(a, b) for a, b in zip(old, new) if a is not None and b is not None]
        old, new = [a for a, _ in pairs], [b for _, b in pairs]
    else:
        old, new = [x for x in old if x is not None], [x for x in new if x is not None]
    if min(len(old), len(new)) < 2 or min(old + new) <= 0:
        return None
    x, y = numpy.log(old), numpy.log(new)
    return float(numpy.std(y - x, ddof=1) if paired else math.sqrt((x.var(ddof=1) + y.var(ddof=1)) / 2)) * 100


def unpaired_verdict(old, new, threshold_pct, words, level=CONFIDENCE, gate=False, floor=0.0):
    """Whether new differs from old, two sets of runs that did not run side by
    side (separate comparisons): Welch's t interval at level on the
    difference of the mean log totals. Returns what paired_verdict returns,
    with runs ([old, new]) for rounds and more counted in runs a side."""
    old = [float(x) for x in old if x is not None]
    new = [float(x) for x in new if x is not None]
    result = _verdict(UNPAIRED, {"runs": [len(old), len(new)]}, words, threshold_pct, level)
    if min(len(old), len(new)) < 2:
        return result
    scaled = _scale(old, new)
    if scaled is None:
        return _from_nothing(result, old, new)
    x, y, to_pct, from_pct = scaled
    centre, half = intervals(x[None, :], y[None, :], level, paired=False, floor=floor)
    result["noise_pct"] = math.sqrt((x.var(ddof=1) + y.var(ddof=1)) / 2) * 100
    return _decide(result, float(centre[0]), float(half[0]), min(len(x), len(y)), to_pct, from_pct, gate)


def _from_nothing(result, old, new):
    """A baseline whose figure is not positive has no relative change: the
    same figures everywhere are the same, anything else cannot be put in %."""
    same = len(set(old + new)) == 1
    result.update(verdict="same" if same else "inconclusive", change_pct=0.0 if same else None,
                  interval_pct=[0.0, 0.0] if same else None)
    return result


def _decide(result, centre, half, n, to_pct, from_pct, gate):
    low, high = to_pct(centre - half), to_pct(centre + half)
    result.update(change_pct=to_pct(centre), interval_pct=[low, high],
                  verdict=str(answers(low, high, result["threshold_pct"], result["words"])))
    if result["verdict"] == "inconclusive":
        result["more"] = _more_rounds(centre, half, n, result["level"], result["threshold_pct"], from_pct, gate)
    return result


def describe(result):
    """One verdict as text: 'slower +12.4 % [+9.8, +15.1] (5 rounds)',
    'same within ±5 % ...', 'inconclusive ... 4 to 12 more rounds would likely settle it';
    a corpus's, over its pairs: 'slower +3.1 % [+1.2, +5.0] (209 pairs; spread 4.2 % a pair)'."""
    unit = ("round%s" if "rounds" in result else "run%s a side") % "s"[:(result.get("more") or [0, 0])[1] != 1]
    if "pairs" in result:  # the pairs are its sample: its noise is their spread, and no estimate of more rounds
        counted = "%d pair%s" % (result["pairs"], "s"[:result["pairs"] != 1])
        noise = (result["spread_pct"], "spread", "pair")
    else:
        counted = ("%d round%s" % (result["rounds"], "s"[:result["rounds"] != 1]) if "rounds" in result
                   else "%d and %d runs" % tuple(result["runs"]))
        noise = (result.get("noise_pct"), "noise", "round" if "rounds" in result else "run")
    if result["verdict"] == "unavailable":
        return result.get("why") or "unavailable: the runs report no figure (settled: more runs cannot measure it)"
    if (noise[0] or 0) >= 0.05:  # a figure that repeats exactly has none to show
        counted += "; %s %.1f %% a %s" % (noise[1], noise[0], noise[2])
    if result["change_pct"] is None:
        return "%s (%s%s)" % (result["verdict"], counted, "; no change in % from a baseline of 0 or less"
                              if result["verdict"] == "inconclusive" and "pairs" not in result else "")
    word = result["verdict"]
    if word == "same":
        word = "same within \u00b1%g %%" % result["threshold_pct"]
    shown = [round(x, 1) + 0.0 for x in [result["change_pct"]] + result["interval_pct"]]  # never "-0.0"
    text = "%s %+.1f %% [%+.1f, %+.1f] (%s" % (word, *shown, counted)
    if result["verdict"] == "inconclusive" and "pairs" not in result:
        more = result["more"]
        text += ("; it sits on the threshold" if more is None else
                 "; more than %d more %s would be needed" % (MOST_ROUNDS_ESTIMATED, unit)
                 if more[0] > MOST_ROUNDS_ESTIMATED else
                 "; about %d more %s would likely settle it" % (more[0], unit) if more[0] == more[1] else
                 "; %d to %s more %s would likely settle it" % (
                     more[0], "more than %d" % MOST_ROUNDS_ESTIMATED if more[1] > MOST_ROUNDS_ESTIMATED
                     else more[1], unit))
    return text + ")"
