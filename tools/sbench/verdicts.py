"""Verdicts between two sets of results: which rows to set against each
other, and whether the new one is slower or takes more memory (the
statistics are stats.verdict's). Only runs that reported count; failed runs
are listed, not sampled."""

from . import stats


def pair_key(result):
    return (result["configuration"],
            tuple((f or {}).get("sha256") for f in result["shaders"]["files"].values()))


def match_results(old, new):
    """Pairs of results to compare: by configuration and shader pair, or the two
    results whatever their names when each side holds exactly one. Returns
    (pairs, results found only in old, only in new)."""
    if len(old) == 1 and len(new) == 1:
        return [(old[0], new[0])], [], []
    new_by_key = {pair_key(r): r for r in new}
    pairs = [(r, new_by_key[pair_key(r)]) for r in old if pair_key(r) in new_by_key]
    old_keys = {pair_key(r) for r in old}
    return (pairs, [r for r in old if pair_key(r) not in new_by_key],
            [r for r in new if pair_key(r) not in old_keys])


def name(result):
    return "%s %s" % (result["configuration"], result["shaders"]["label"])


def _no_runs(result):
    """Why a result has no runs to judge, as a phrase."""
    failed = len(result["failed_runs"])
    return result["failure"] or ("all %d runs failed" % failed if failed else "no runs")


def diff(old, new, threshold):
    """Verdict lines between two lists of results; returns (text, whether a
    gate must fail: something got slower or took more memory, or has runs in
    the old results and none in the new, or nothing could be compared)."""
    pairs, only_old, only_new = match_results(old, new)
    lines, failing, compared = [], False, 0
    for before, after in pairs:
        heading = name(before) + ("" if name(before) == name(after) else " -> " + name(after))
        if not before["runs"] or not after["runs"]:
            side = "new" if before["runs"] else "old"
            lines.append("%s: nothing to compare: %s in the %s results" % (
                heading, _no_runs(after if before["runs"] else before), side))
            failing |= bool(before["runs"])
            continue
        compared += 1
        time_verdict = stats.verdict([r["ms"] for r in before["runs"]], [r["ms"] for r in after["runs"]],
                                     threshold, ("slower", "faster"))
        memory_verdict = stats.verdict([r["commit_mib"] for r in before["runs"]],
                                       [r["commit_mib"] for r in after["runs"]],
                                       threshold, ("more memory", "less memory"))
        lines.append("%s\n  time:   %s\n  memory: %s" % (heading, stats.describe(time_verdict),
                                                         stats.describe(memory_verdict)))
        for side, result in (("old", before), ("new", after)):
            if result["failed_runs"]:
                lines.append("  (%d failed run%s in the %s results, not counted)"
                             % (len(result["failed_runs"]), "s"[:len(result["failed_runs"]) > 1], side))
        failing |= time_verdict["verdict"] == "slower" or memory_verdict["verdict"] == "more memory"
    for result in only_old:
        lines.append("%s: only in the old results%s" % (name(result), ", missing from the new" if result["runs"] else ""))
        failing |= bool(result["runs"])
    for result in only_new:
        lines.append("%s: only in the new results" % name(result))
    if not compared:
        lines.append("nothing was compared: no configuration and shader pair has runs on both sides")
        failing = True
    return "\n".join(lines) + "\n", failing
