"""Verdicts: within one comparison, each configuration against its baseline,
round by round (the runs of a round ran back to back, so they are paired);
between two results files, one set of runs against the other (nothing is
paired). Only runs that reported count; failed runs are listed, not sampled.
The statistics are stats'; the rule of -n auto is here.
"""

from . import stats
from .outputs import printable

TIME_WORDS = ("slower", "faster")
MEMORY_WORDS = ("more memory", "less memory")
REGRESSIONS = ("slower", "more memory")
UNSETTLED = ("inconclusive", "too few runs")
MIN_AUTO_ROUNDS = 3
MEASURES = (("time", "ms", TIME_WORDS), ("memory", "commit_mib", MEMORY_WORDS))


def look_level(max_runs, confidence=stats.CONFIDENCE):
    """The level of each look of -n auto: the error rate 1 - confidence split
    evenly over the looks it may make (after rounds MIN_AUTO_ROUNDS to
    max_runs), so that the chance that any look errs stays within it."""
    return 1 - (1 - confidence) / (max_runs - MIN_AUTO_ROUNDS + 1)


def shaders_key(result):
    return tuple((f or {}).get("sha256") for f in result["shaders"]["files"].values())


def pair_key(result):
    return (result["configuration"], shaders_key(result))


def name(result):
    return "%s %s" % (printable(result["configuration"]), printable(result["shaders"]["label"]))


def settings(document, threshold=None, against=None):
    """(baseline, threshold, level) of a comparison: given, else its plan's."""
    plan = document.get("plan") or {}
    names = [c["name"] for c in plan.get("configurations", [])] or list(
        dict.fromkeys(r["configuration"] for r in document["results"]))
    baseline = against or plan.get("against") or (names[0] if names else None)
    threshold = threshold if threshold is not None else plan.get("threshold", 2.0)
    level = look_level(plan["runs"]) if plan.get("auto") else stats.CONFIDENCE
    return baseline, threshold, level


def within(document, threshold=None, against=None, up_to=None):
    """A record per configuration and pair set against the baseline: its time
    and memory verdicts over the rounds both ran (up to round up_to)."""
    baseline, threshold, level = settings(document, threshold, against)
    records = []
    for result in document["results"]:
        base = next((r for r in document["results"] if r["configuration"] == baseline
                     and shaders_key(r) == shaders_key(result)), None)
        if result["configuration"] == baseline or base is None:
            continue
        mine, theirs = rounds_of(result), rounds_of(base)
        common = sorted(n for n in set(mine) & set(theirs) if up_to is None or n <= up_to)
        record = {"configuration": result["configuration"], "against": baseline,
                  "shaders": result["shaders"]["label"]}
        record["shaders_sha256"] = list(shaders_key(result))  # rows find their verdict by it, not by the label
        for measure, key, words in MEASURES:
            record[measure] = stats.paired_verdict([theirs[n][key] for n in common], [mine[n][key] for n in common],
                                                   threshold, words, level)
        records.append(record)
    return records


def rounds_of(result):
    """{round number: run} (files of the first schema do not number runs)."""
    return {run.get("run", i + 1): run for i, run in enumerate(result["runs"])}


def regressed(records):
    return any(r[m]["verdict"] in REGRESSIONS for r in records for m in ("time", "memory"))


def method(records):
    """How the verdicts were made, in a line."""
    level = records[0]["time"]["level"]
    looks = round((1 - stats.CONFIDENCE) / (1 - level))
    shown = ("%g %% intervals" % round(level * 100, 2) if looks <= 1 else
             "%.2f %% intervals at each of %d looks, %g %% over all" % (level * 100, looks, stats.CONFIDENCE * 100))
    return "(%s; %s)" % ("rounds paired" if "rounds" in records[0]["time"] else "runs unpaired", shown)


def within_text(records, host=None):
    """The verdicts of a comparison (made on host), as printed under its table."""
    if not records:
        return ""
    lines = ["Against %s%s, threshold \u00b1%g %%:" % (printable(records[0]["against"]),
                                                     " on " + printable(host) if host else "",
                                                     records[0]["time"]["threshold_pct"])]
    for record in records:
        lines.append("%s %s" % (printable(record["configuration"]), printable(record["shaders"])))
        lines += ["  %-7s %s" % (measure + ":", stats.describe(record[measure])) for measure in ("time", "memory")]
    return "\n".join(lines + [method(records)]) + "\n"


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


def _no_runs(result):
    """Why a result has no runs to judge, as a phrase."""
    failed = len(result["failed_runs"])
    if result["failure"]:
        return printable(result["failure"])
    return "all %d runs failed" % failed if failed else "no runs"


def diff(old, new, threshold):
    """Verdicts between two lists of results, unpaired. Returns (text, whether
    a gate must fail, records): a gate fails when something got slower or
    took more memory, or has runs in the old results and none in the new, or
    nothing could be compared."""
    pairs, only_old, only_new = match_results(old, new)
    lines, failing, records = [], False, []
    for before, after in pairs:
        title = name(before) + ("" if name(before) == name(after) else " -> " + name(after))
        if not before["runs"] or not after["runs"]:
            side = "new" if before["runs"] else "old"
            lines.append("%s: nothing to compare: %s in the %s results" % (
                title, _no_runs(after if before["runs"] else before), side))
            failing |= bool(before["runs"])
            continue
        record = {"configuration": after["configuration"], "against": before["configuration"],
                  "shaders": after["shaders"]["label"]}
        for measure, key, words in MEASURES:
            record[measure] = stats.unpaired_verdict([r[key] for r in before["runs"]],
                                                     [r[key] for r in after["runs"]], threshold, words)
        records.append(record)
        lines.append(title)
        lines += ["  %-7s %s" % (measure + ":", stats.describe(record[measure])) for measure in ("time", "memory")]
        for side, result in (("old", before), ("new", after)):
            if result["failed_runs"]:
                lines.append("  (%d failed run%s in the %s results, not counted)"
                             % (len(result["failed_runs"]), "s"[:len(result["failed_runs"]) > 1], side))
        failing |= regressed([record])
    for result in only_old:
        lines.append("%s: only in the old results%s" % (name(result), ", missing from the new" if result["runs"] else ""))
        failing |= bool(result["runs"])
    for result in only_new:
        lines.append("%s: only in the new results" % name(result))
    if not records:
        lines.append("nothing was compared: no configuration and shader pair has runs on both sides")
        failing = True
    else:
        lines.insert(0, "Old against new, threshold \u00b1%g %%:" % threshold)
        lines.append(method(records))
    return "\n".join(lines) + "\n", failing, records


def columns(record):
    """A verdict record as flat columns, for CSV."""
    row = {"against": record["against"]}
    for measure in ("time", "memory"):
        v = record[measure]
        low, high = v["interval_pct"] or (None, None)
        row.update({measure + "_verdict": v["verdict"], measure + "_change_pct": v["change_pct"],
                    measure + "_low_pct": low, measure + "_high_pct": high, measure + "_more": v["more"]})
    v = record["time"]
    row.update(verdict_method=v["method"], verdict_level=v["level"], threshold_pct=v["threshold_pct"],
               rounds=v.get("rounds"), runs_old=(v.get("runs") or [None])[0], runs_new=(v.get("runs") or [None, None])[1])
    return row


COLUMNS = ["against"] + ["%s_%s" % (m, f) for m in ("time", "memory")
                         for f in ("verdict", "change_pct", "low_pct", "high_pct", "more")] + [
    "verdict_method", "verdict_level", "threshold_pct", "rounds", "runs_old", "runs_new"]
