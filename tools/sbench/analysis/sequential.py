"""-n auto's sequential rule: the rounds after which it looks, the level each
look spends so that the comparison's whole error rate stays at 5 %, the
smallest threshold a number of rounds could settle at a noise, and the
stopping rule."""

import functools
import math

import numpy

from . import answers, stats
from ..system.text import printable

MIN_AUTO_ROUNDS = 3
# A count of instructions (a bisect's counted steps) may be looked at after 2 rounds as well: its
# steps pool the count's noise over the bisect's runs, so that 2 rounds settle a change tens of
# times that noise (see docs/counting.md).
COUNTED_FIRST_LOOK = 2
ALPHA = 1 - stats.CONFIDENCE
SEQUENTIAL_PATHS = 200000
SEQUENTIAL_SEED = 20261208
# Only the smallest p-values of the simulated paths decide a level: those up
# to this are computed, the rest stand at 1 (see nominal_level).
COMPUTED_P = 0.25


def looks(max_runs, first=MIN_AUTO_ROUNDS):
    """The rounds after which -n auto may stop: 3, 6, 12, 24... and the last
    (with first below 3, that look before them). Few looks keep each one's
    interval narrow; the early ones let a plain answer stop soon."""
    found, n = [first] if first < min(MIN_AUTO_ROUNDS, max_runs) else [], MIN_AUTO_ROUNDS
    while n < max_runs:
        found.append(n)
        n *= 2
    return found + [max_runs]


@functools.lru_cache(maxsize=None)
def nominal_level(max_runs, sides, alpha=ALPHA, first=MIN_AUTO_ROUNDS):
    """The error rate each look of -n auto may spend (one tail for sides=1,
    both for 2), the same at every look (a Pocock-shaped boundary), such that
    the chance that any look errs is at most alpha: made by simulating
    SEQUENTIAL_PATHS comparisons of normal per-round log ratios in which
    nothing differs, through the t statistic at each look (its distribution
    does not depend on the noise). The simulation's own error is kept on the
    safe side: the level spends alpha less two of its standard errors.

    The p-value of a look is computed only where it is at most COMPUTED_P
    (a t beyond that quantile), the rest standing at 1: the level, far below
    it, is the same quantile of the same values, in half the time. first:
    as looks'."""
    from scipy import special  # stdtr(df, -t) is the t distribution's upper tail
    rng = numpy.random.default_rng(SEQUENTIAL_SEED)
    mean, squares, done = numpy.zeros(SEQUENTIAL_PATHS), numpy.zeros(SEQUENTIAL_PATHS), 0
    smallest = numpy.ones(SEQUENTIAL_PATHS)
    for n in looks(max_runs, first):
        new = n - done  # the rounds since the last look, as their mean and sum of squares about it
        step_mean = rng.standard_normal(SEQUENTIAL_PATHS) / math.sqrt(new)
        step_squares = rng.chisquare(new - 1, SEQUENTIAL_PATHS) if new > 1 else 0.0
        squares = squares + step_squares + (step_mean - mean) ** 2 * done * new / n
        mean, done = mean + (step_mean - mean) * new / n, n
        t = mean / numpy.sqrt(squares / (n - 1) / n)
        t = numpy.abs(t) if sides == 2 else t
        tail = t > special.stdtrit(n - 1, 1 - COMPUTED_P / sides)
        smallest[tail] = numpy.minimum(smallest[tail], special.stdtr(n - 1, -t[tail]) * sides)
    spent = alpha - 2 * math.sqrt(alpha * (1 - alpha) / SEQUENTIAL_PATHS)
    # Exact while more paths than the quantile's place lie well inside the computed tail.
    assert numpy.count_nonzero(smallest <= COMPUTED_P / 2) > spent * SEQUENTIAL_PATHS + 2
    return float(numpy.quantile(smallest, spent))


def look_level(max_runs, gate=False, auto=True):
    """The level of the two-sided interval each verdict is made with. Without
    a gate, 1 - ALPHA (at one look; under -n auto, at each look, what
    nominal_level allows), shared by the two tails. Under a gate each bound
    is a one-sided test at that level, as in a non-inferiority or an
    equivalence test: the interval is at 1 - 2 x the one-sided rate."""
    if gate:
        return 1 - 2 * (nominal_level(max_runs, 1) if auto else ALPHA)
    return 1 - (nominal_level(max_runs, 2) if auto else ALPHA)


def smallest_threshold(noise, rounds, max_runs, gate, at_best=True, change=0.0, pairs=None):
    """The smallest threshold in percent that max_runs rounds could settle (a
    "pass" under a gate, else a "same") for a build whose true change is
    change (a log ratio; an unchanged build by default), when the per-round
    noise (a fraction; arrays work) was measured over rounds. At best: with
    the noise at the low end of its 90 % interval, so that bad luck in the
    first rounds does not end a comparison that could have settled; else
    with the noise as measured. pairs (arrays work): a corpus's verdict,
    whose interval is over its pairs, not its rounds: noise is then the
    spread a pair that max_runs rounds would leave, measured over the pairs."""
    from scipy import special  # chdtri(k, 1 - p) is the chi-square quantile p
    count = max_runs if pairs is None else numpy.maximum(pairs, 2)  # what the last look's interval is over
    measured = rounds if pairs is None else count
    low_noise = noise * numpy.sqrt((measured - 1) / special.chdtri(measured - 1, 1 - 0.9)) if at_best else noise
    quantile = 1 - nominal_level(max_runs, 1 if gate else 2) / (1 if gate else 2)
    return numpy.expm1(change + special.stdtrit(count - 1, quantile) * low_noise / numpy.sqrt(count)) * 100


def unreachable(change_pct, noise_pct, rounds, threshold_pct, max_runs, gate, pairs=None):
    """smallest_threshold at best of each verdict (arrays work; under a gate
    with its estimate where that is below 0: a faster build passes sooner)
    where it is above the threshold and the estimate is not beyond it (more
    rounds may still show a regression, or without a gate, an improvement);
    else NaN. Only from the second look on, when the noise has been measured
    over 6 rounds. pairs: a corpus's verdicts (see smallest_threshold)."""
    change_pct, noise_pct, rounds = (numpy.asarray(x, dtype=float) for x in (change_pct, noise_pct, rounds))
    judged = (rounds >= 2 * MIN_AUTO_ROUNDS) & (noise_pct > 0) & (change_pct <= threshold_pct) & (
        gate | (change_pct >= -threshold_pct))
    with numpy.errstate(invalid="ignore"):  # what is not judged may hold NaN
        change = numpy.minimum(numpy.log1p(change_pct / 100), 0.0) if gate else 0.0
        smallest = smallest_threshold(noise_pct / 100, numpy.maximum(rounds, 2 * MIN_AUTO_ROUNDS), max_runs, gate,
                                      change=change, pairs=pairs)
    return numpy.where(judged & (smallest > threshold_pct), smallest, numpy.nan)


def stops(open_ones, smallest, round_number, max_runs):
    """Why -n auto stops each comparison after this round, in a word, or ""
    to go on: open_ones (comparisons, verdicts) says which verdicts are still
    open, smallest their unreachable thresholds. At one of its looks it stops
    when none is open ("settled"), at the last round ("most"), or when no
    open one could settle ("noise")."""
    open_ones = numpy.asarray(open_ones, dtype=bool)
    if round_number not in looks(max_runs):
        return numpy.full(len(open_ones), "")
    hopeless = (~open_ones | ~numpy.isnan(smallest)).all(axis=1)
    return numpy.select([~open_ones.any(axis=1), numpy.full(len(open_ones), round_number == max_runs), hopeless],
                        ["settled", "most", "noise"], "")


def auto_stop(records, round_number, max_runs):
    """Why -n auto stops after this round, as a line, or None to go on: at
    one of its looks, every verdict settled (under a gate: passed or
    failed), or none could be, the noise being too high for the threshold;
    at any round, the baseline failed; after the last round, what is still
    open. The rule itself is stops', which calibration draws from too."""
    if records and all(r["baseline_failed"] for r in records) and (
            round_number >= MIN_AUTO_ROUNDS or all(r["baseline_stopped"] for r in records)):
        return "Stopped after %d round%s: the baseline %s failed (%s): nothing to set the others against." % (
            round_number, "s"[:round_number != 1], printable(records[0]["against"]),
            printable(records[0]["baseline_failed"]))
    if round_number not in looks(max_runs):
        return None
    if not records:
        return "Stopped: nothing to set against another after %d rounds." % round_number
    gate = records[0]["gate"]
    verdicts = [(r, m) for r in records if not r["baseline_failed"] for m in ("time", "memory")]
    open_ones = [not answers.settled(r[m], gate) for r, m in verdicts]
    figures = numpy.array([(numpy.nan if v["change_pct"] is None else v["change_pct"], v.get("noise_pct") or 0.0,
                            v.get("rounds") or 0, v["threshold_pct"]) for v in (r[m] for r, m in verdicts)],
                          dtype=float).reshape(-1, 4)
    smallest = unreachable(*figures.T, max_runs, gate)

    def noise_line(worst):
        (record, measure), verdict = verdicts[worst], verdicts[worst][0][verdicts[worst][1]]
        likely = float(smallest_threshold(verdict["noise_pct"] / 100, verdict["rounds"], max_runs, gate, False))
        return ("Stopped after %d rounds: at the per-round noise measured (%.1f %% on %s %s %s), %d rounds "
                "would not settle a threshold of %g %% (even at the low end of the noise's range they would "
                "need %.1f %%): %s would likely settle at --threshold %.1f, or on a quieter machine." % (
                    round_number, verdict["noise_pct"], printable(record["configuration"]),
                    printable(record["shaders"]), measure, max_runs, verdict["threshold_pct"], smallest[worst],
                    "an unchanged build" if gate else "a \"same\"", likely))
    return stop_line(open_ones, smallest, round_number, max_runs, gate,
                     ["%s %s %s" % (printable(r["configuration"]), printable(r["shaders"]), m) for r, m in verdicts],
                     noise_line)


def stop_line(open_ones, smallest, round_number, max_runs, gate, names, noise_line):
    """The line -n auto stops with at a look by stops' rule, or None: open_ones
    and smallest (unreachable's) of each verdict, names its name, and
    noise_line(i) the line when the noise stops it, i the verdict whose
    smallest threshold is the largest."""
    kind = stops([open_ones], numpy.asarray(smallest)[None, :], round_number, max_runs)[0]
    if kind == "settled":
        return "Stopped: every %s after %d rounds." % (
            "gated verdict passed or failed" if gate else "verdict settled", round_number)
    if kind == "most":
        return "Stopped: still %s after %d rounds, the most --max-runs allows: %s." % (
            "not settled" if gate else "inconclusive", round_number,
            ", ".join(name for name, still in zip(names, open_ones) if still))
    if kind == "noise":
        return noise_line(int(numpy.nanargmax(numpy.where(open_ones, smallest, numpy.nan))))
    return None
