"""The arithmetic of a comparison: per-program timelines and A/B verdicts."""

import statistics

import numpy

MIN_RUNS = 5          # a rank test on fewer runs a side cannot reach p < 0.05
ALPHA = 0.05
BOOTSTRAP_SAMPLES = 10000


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
    summary["cpu_per_wall"] = _median_of(
        timed, lambda run: run["cpu_ms"] / sum(run["program_ms"][1:])
        if run.get("cpu_ms") is not None and sum(run["program_ms"][1:]) > 0 else None)
    for name in ("commit", "rss"):
        key = name + "_kib"
        summary[name + "_kib_per_program"] = _median_of(timed, lambda run: slope(run[key]) if run.get(key) else None)
        summary[name + "_last_vs_first"] = _median_of(timed, lambda run: straightness(run[key]) if run.get(key) else None)
    return summary


def verdict(old, new, threshold_pct, words):
    """Whether new differs from old (independent samples, one per run).

    words is (word for an increase, word for a decrease). A difference is
    claimed only when a two-sided Mann-Whitney U test gives p < 0.05 and the
    whole 95 % bootstrap interval of the relative change of the median lies
    beyond +-threshold_pct. Returns a dict with the verdict, the change, its
    interval and p (None where not computed)."""
    old = [float(x) for x in old if x is not None]
    new = [float(x) for x in new if x is not None]
    result = {"verdict": "too few runs", "change_pct": None, "interval_pct": None, "p": None,
              "runs": [len(old), len(new)]}
    if len(old) < MIN_RUNS or len(new) < MIN_RUNS:
        return result
    if statistics.median(old) <= 0:
        result["verdict"] = "no relative change: the old median is not positive"
        return result
    from scipy import stats as scipy_stats  # half a second to import: only where a verdict is made
    p = float(scipy_stats.mannwhitneyu(new, old, alternative="two-sided").pvalue)
    result["p"] = 1.0 if p != p else p  # identical samples give NaN: nothing differs
    rng = numpy.random.default_rng(20261207)  # the same data always gives the same interval
    old_medians = numpy.median(rng.choice(old, (BOOTSTRAP_SAMPLES, len(old))), axis=1)
    new_medians = numpy.median(rng.choice(new, (BOOTSTRAP_SAMPLES, len(new))), axis=1)
    with numpy.errstate(divide="ignore", invalid="ignore"):
        changes = (new_medians / old_medians - 1) * 100
    low, high = numpy.percentile(changes, [2.5, 97.5])
    result["change_pct"] = (statistics.median(new) / statistics.median(old) - 1) * 100
    result["interval_pct"] = [float(low), float(high)]
    if result["p"] < ALPHA and low > threshold_pct:
        result["verdict"] = words[0]
    elif result["p"] < ALPHA and high < -threshold_pct:
        result["verdict"] = words[1]
    else:
        result["verdict"] = "no difference proven"
    return result


def describe(result):
    """One verdict as a line of text, e.g. 'slower +12.4 % [+9.8, +15.1], p = 0.008'."""
    if result["change_pct"] is None:
        return "%s (%d and %d runs)" % (result["verdict"], *result["runs"])
    return "%s %+.1f %% [%+.1f, %+.1f], p = %.3f" % (
        result["verdict"], result["change_pct"], *result["interval_pct"], result["p"])
