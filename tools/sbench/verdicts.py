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
    old = [r for r in old if r["runs"]]
    new = [r for r in new if r["runs"]]
    if len(old) == 1 and len(new) == 1:
        return [(old[0], new[0])], [], []
    new_by_key = {pair_key(r): r for r in new}
    pairs = [(r, new_by_key[pair_key(r)]) for r in old if pair_key(r) in new_by_key]
    old_keys = {pair_key(r) for r in old}
    return (pairs, [r for r in old if pair_key(r) not in new_by_key],
            [r for r in new if pair_key(r) not in old_keys])


def name(result):
    return "%s %s" % (result["configuration"], result["shaders"]["label"])


def diff(old, new, threshold):
    """Verdict lines between two lists of results; returns (text, whether
    anything got slower or took more memory)."""
    pairs, only_old, only_new = match_results(old, new)
    lines, regression = [], False
    for before, after in pairs:
        heading = name(before) + ("" if name(before) == name(after) else " -> " + name(after))
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
        regression |= time_verdict["verdict"] == "slower" or memory_verdict["verdict"] == "more memory"
    for side, results in (("old", only_old), ("new", only_new)):
        for result in results:
            lines.append("%s: only in the %s results" % (name(result), side))
    return "\n".join(lines) + "\n", regression
