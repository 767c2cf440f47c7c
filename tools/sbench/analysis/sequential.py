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
ALPHA = 1 - stats.CONFIDENCE
SEQUENTIAL_PATHS = 200000
SEQUENTIAL_SEED = 20261208
# Only the smallest p-values of the simulated paths decide a level: those up
# to this are computed, the rest stand at 1 (see nominal_level).
COMPUTED_P = 0.25


def looks(max_runs):
    """The rounds after which -n auto may stop: 3, 6, 12, 24... and the last.
    Few looks keep each one's interval narrow; the early ones let a plain
    answer stop soon."""
    found, n = [], MIN_AUTO_ROUNDS
    while n < max_runs:
        found.append(n)
        n *= 2
    return found + [max_runs]


@functools.lru_cache(maxsize=None)
def nominal_level(max_runs, sides, alpha=ALPHA):
    """The error rate each look of -n auto may spend (one tail for sides=1,
    both for 2), the same at every look (a Pocock-shaped boundary), such that
    the chance that any look errs is at most alpha: made by simulating
    SEQUENTIAL_PATHS comparisons of normal per-round log ratios in which
    nothing differs, through the t statistic at each look (its distribution
    does not depend on the noise). The simulation's own error is kept on the
    safe side: the level spends alpha less two of its standard errors.

    The p-value of a look is computed only where it is at most COMPUTED_P
    (a t beyond that quantile), the rest standing at 1: the level, far below
    it, is the same quantile of the same values, in half the time."""
    from scipy import special  # stdtr(df, -t) is the t distribution's upper tail
    rng = numpy.random.default_rng(SEQUENTIAL_SEED)
    mean, squares, done = numpy.zeros(SEQUENTIAL_PATHS), numpy.zeros(SEQUENTIAL_PATHS), 0
    smallest = numpy.ones(SEQUENTIAL_PATHS)
    for n in looks(max_runs):
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


def smallest_threshold(noise, rounds, max_runs, gate, at_best=True, change=0.0):
    """The smallest threshold in percent that max_runs rounds could settle (a
    "pass" under a gate, else a "same") for a build whose true change is
    change (a log ratio; an unchanged build by default), when the per-round
    noise (a fraction; arrays work) was measured over rounds. At best: with
    the noise at the low end of its 90 % interval, so that bad luck in the
    first rounds does not end a comparison that could have settled; else
    with the noise as measured."""
    from scipy import special  # chdtri(k, 1 - p) is the chi-square quantile p
    low_noise = noise * numpy.sqrt((rounds - 1) / special.chdtri(rounds - 1, 1 - 0.9)) if at_best else noise
    quantile = 1 - nominal_level(max_runs, 1 if gate else 2) / (1 if gate else 2)
    return numpy.expm1(change + special.stdtrit(max_runs - 1, quantile) * low_noise / math.sqrt(max_runs)) * 100


def unreachable(verdict, max_runs, gate):
    """smallest_threshold for one verdict at best (under a gate, with its
    estimate where that is below 0: a faster build passes sooner), when it
    is above the verdict's threshold and the estimate is not beyond it (more
    rounds may still show a regression, or without a gate, an improvement);
    else None. Only from the second look on, when the noise has been
    measured over 6 rounds."""
    n, noise = verdict.get("rounds") or 0, verdict.get("noise_pct")
    change, margin = verdict["change_pct"], verdict["threshold_pct"]
    if n < 2 * MIN_AUTO_ROUNDS or not noise or change is None or change > margin or not gate and change < -margin:
        return None
    change = min(math.log1p(verdict["change_pct"] / 100), 0.0) if gate else 0.0
    smallest = float(smallest_threshold(noise / 100, n, max_runs, gate, change=change))
    return smallest if smallest > verdict["threshold_pct"] else None


def auto_stop(records, round_number, max_runs):
    """Why -n auto stops after this round, as a line, or None to go on: at
    one of its looks, every verdict settled (under a gate: passed or
    failed), or none could be, the noise being too high for the threshold;
    at any round, the baseline failed; after the last round, what is still
    open."""
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
    open_ones = [(r, m) for r in records if not r["baseline_failed"] for m in ("time", "memory")
                 if not answers.settled(r[m], gate)]
    named = ", ".join("%s %s %s" % (printable(r["configuration"]), printable(r["shaders"]), m) for r, m in open_ones)
    if not open_ones:
        return "Stopped: every %s after %d rounds." % (
            "gated verdict passed or failed" if gate else "verdict settled", round_number)
    if round_number == max_runs:
        return "Stopped: still %s after %d rounds, the most --max-runs allows: %s." % (
            "not settled" if gate else "inconclusive", round_number, named)
    smallest = [unreachable(r[m], max_runs, gate) for r, m in open_ones]
    if None not in smallest:
        record, measure = open_ones[smallest.index(max(smallest))]
        verdict = record[measure]
        likely = float(smallest_threshold(verdict["noise_pct"] / 100, verdict["rounds"], max_runs, gate, False))
        return ("Stopped after %d rounds: at the per-round noise measured (%.1f %% on %s %s %s), %d rounds "
                "would not settle a threshold of %g %% (even at the low end of the noise's range they would "
                "need %.1f %%): %s would likely settle at --threshold %.1f, or on a quieter machine." % (
                    round_number, verdict["noise_pct"], printable(record["configuration"]),
                    printable(record["shaders"]), measure, max_runs, verdict["threshold_pct"], max(smallest),
                    "an unchanged build" if gate else "a \"same\"", likely))
    return None
