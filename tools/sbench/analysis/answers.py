"""The words a verdict answers in, and what a gate makes of one verdict:
passed, failed, unsettled or unavailable."""

import numpy

TIME_WORDS = ("slower", "faster")
MEMORY_WORDS = ("more memory", "less memory")
REGRESSIONS = ("slower", "more memory")  # what fails a gate: the interval lies wholly above +threshold
UNSETTLED = ("inconclusive", "too few runs")
UNAVAILABLE = "unavailable"  # a figure the runs never report (Committed mem: unavailable): more rounds cannot help
MEASURES = (("time", "ms", TIME_WORDS), ("memory", "commit_mib", MEMORY_WORDS))
OPEN = ("unsettled",) + UNSETTLED  # the answers more rounds may still change, with a gate or without


def gate_of(verdict):
    """A gate's answer on one verdict, a one-sided test against +threshold:
    "pass" when the interval's upper bound is at most +threshold (not worse
    by more than it), "fail" when its lower bound is above, "unavailable"
    for a figure the runs never report, and otherwise "unsettled"."""
    if verdict["verdict"] == UNAVAILABLE:
        return UNAVAILABLE
    if verdict["interval_pct"] is None:
        return "unsettled"
    return str(gate_answers(*verdict["interval_pct"], verdict["threshold_pct"]))


def gate_answers(low, high, threshold_pct):
    """gate_of on intervals in percent (arrays work)."""
    return numpy.where(low > threshold_pct, "fail", numpy.where(high <= threshold_pct, "pass", "unsettled"))


def settled(verdict, gate):
    """Whether more rounds could not change what this verdict answers."""
    return (gate_of(verdict) if gate else verdict["verdict"]) not in OPEN
