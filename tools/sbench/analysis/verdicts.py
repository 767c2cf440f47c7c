"""Verdicts: within one comparison, each configuration against its baseline,
round by round (the runs of a round ran back to back, so they are paired);
between two results files, one set of runs against the other (nothing is
paired). Only runs that reported count; failed runs are listed, not sampled.
The statistics are stats'; -n auto's rule is sequential's, the gate gate's.
"""

from . import answers, clocks, sequential, stats
from ..system.text import printable

DEFAULT_THRESHOLD = 5.0


def shaders_key(result):
    return tuple((f or {}).get("sha256") for f in result["shaders"]["files"].values())


def pair_key(result):
    return (result["configuration"], shaders_key(result))


def name(result):
    return "%s %s" % (printable(result["configuration"]), printable(result["shaders"]["label"]))


def settings(document, threshold=None, against=None, gate=None):
    """(baseline, threshold, level) of a comparison: given, else its plan's.
    gate: whether a gate judges it (default: its plan's)."""
    plan = document.get("plan") or {}
    names = [c["name"] for c in plan.get("configurations", [])] or list(
        dict.fromkeys(r["configuration"] for r in document["results"]))
    baseline = against or plan.get("against") or (names[0] if names else None)
    threshold = threshold if threshold is not None else plan.get("threshold", DEFAULT_THRESHOLD)
    gate = plan.get("gate", False) if gate is None else gate
    level = sequential.look_level(plan.get("runs"), gate, bool(plan.get("auto")))
    return baseline, threshold, level


def within(document, threshold=None, against=None, up_to=None, gate=None, clock=None):
    """A record per configuration and pair set against the baseline: its time
    (on clock: given, else its plan's, else the wall clock) and memory
    verdicts over the rounds both ran (up to round up_to), and with a gate,
    whether each passed it (see gate_of)."""
    plan = document.get("plan") or {}
    gate = plan.get("gate", False) if gate is None else gate
    clock = clock or plan.get("clock", "wall")
    baseline, threshold, level = settings(document, threshold, against, gate)
    records = []
    for result in document["results"]:
        base = next((r for r in document["results"] if r["configuration"] == baseline
                     and shaders_key(r) == shaders_key(result)), None)
        if result["configuration"] == baseline or base is None:
            continue
        mine, theirs = rounds_of(result), rounds_of(base)
        common = sorted(n for n in set(mine) & set(theirs) if up_to is None or n <= up_to)
        record = {"configuration": result["configuration"], "against": baseline,
                  "shaders": result["shaders"]["label"], "gate": gate, "clock": clock,
                  "looks": sequential.looks(plan["runs"]) if plan.get("auto") else None,
                  "baseline_failed": base["failure"] or (
                      "all %d runs failed" % len(base["failed_runs"]) if base["failed_runs"] and not base["runs"]
                      else None), "baseline_stopped": bool(base["failure"])}
        record["shaders_sha256"] = list(shaders_key(result))  # rows find their verdict by it, not by the label
        for measure, _, words in answers.MEASURES:
            figure = clocks.figure(measure, clock)
            verdict = stats.paired_verdict([figure(theirs[n]) for n in common], [figure(mine[n]) for n in common],
                                           threshold, words, level, gate, floor(measure, clock))
            if common and all(figure(theirs[n]) is None and figure(mine[n]) is None for n in common):
                verdict["verdict"] = answers.UNAVAILABLE
            if measure == "memory":
                clocks.judge_memory(verdict, clock)
            record[measure] = verdict
            if gate:
                verdict["gate"] = answers.gate_of(verdict)
        record["clocks"] = clocks.clocks_seen([theirs[n] for n in common], [mine[n] for n in common], True)
        record["counters"] = clocks.counters(result["runs"] + base["runs"])
        records.append(record)
    return records


def floor(measure, clock):
    """The least noise a verdict on measure assumes on clock (clocks.NOISE_FLOOR)."""
    return clocks.noise_floor(clock) if measure == "time" else 0.0


def rounds_of(result):
    """{round number: run} (files of the first schema do not number runs)."""
    return {run.get("run", i + 1): run for i, run in enumerate(result["runs"])}


def method(records):
    """How the verdicts were made, in a line."""
    level, record = records[0]["time"]["level"], records[0]
    shown = "%g %% intervals" % round(level * 100, 2)
    if record.get("looks"):
        shown += " at each look (after rounds %s)" % ", ".join(map(str, record["looks"]))
    if record.get("gate"):
        shown += ", each bound a one-sided test at %g %%" % round((1 + level) / 2 * 100, 2)
    if record.get("looks"):
        shown += "; %g %% over all" % (stats.CONFIDENCE * 100)
    return "(%s; %s; %s)" % ("rounds paired" if "rounds" in record["time"] else "runs unpaired", shown,
                             clocks.judged(records))


def within_text(records, host=None):
    """The verdicts of a comparison (made on host), as printed under its table."""
    if not records:
        return ""
    on = " on " + printable(host) if host else ""
    against, margin = printable(records[0]["against"]), records[0]["time"]["threshold_pct"]
    lines = ["Against %s%s, threshold \u00b1%g %%:" % (against, on, margin)]
    for record in records:
        lines.append("%s %s" % (printable(record["configuration"]), printable(record["shaders"])))
        lines += ["  %-7s %s" % (clocks.measure_name(record, measure) + ":", stats.describe(record[measure]))
                  for measure in ("time", "memory")]
    hint = None if records[0].get("gate") else clocks.clock_hint(records)
    return "\n".join(lines + [method(records)] + ([hint] if hint else [])) + "\n"


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


DIFFERENCES = ("pair", "binary")  # what may differ between two results files only when the user allows it


def differences(old, new):
    """[(kind, line)] of what differs between the runs of two results files
    that diff would set against each other: the binary (by SHA-256), and each
    matched pair of results whose shader files differ (by SHA-256), which only
    the rule of the only two can match."""
    found = []
    if old["binary"]["sha256"] != new["binary"]["sha256"]:
        found.append(("binary", "different binaries: old %s (SHA-256 %s), new %s (SHA-256 %s)" % tuple(
            printable(document["binary"][key]) for document in (old, new) for key in ("path", "sha256"))))
    for before, after in match_results(old["results"], new["results"])[0]:
        if shaders_key(before) != shaders_key(after):
            files = [before["shaders"]["files"], after["shaders"]["files"]]
            named = [f for f in dict.fromkeys(list(files[0]) + list(files[1]))
                     if (files[0].get(f) or {}).get("sha256") != (files[1].get(f) or {}).get("sha256")]
            found.append(("pair", "different shader files: old %s, new %s: %s differ by SHA-256" % (
                name(before), name(after), ", ".join(map(printable, named)))))
    return found


def _no_runs(result):
    """Why a result has no runs to judge, as a phrase."""
    failed = len(result["failed_runs"])
    if result["failure"]:
        return printable(result["failure"])
    return "all %d runs failed" % failed if failed else "no runs"


def diff(old, new, threshold, gate=False, clock="wall"):
    """Verdicts between two lists of results, unpaired (under a gate, each
    bound a one-sided 95 % test). Returns (text, whether a gate must fail
    whatever the verdicts say, records): it must when something has runs in
    the old results and none in the new, or nothing could be compared."""
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
                  "shaders": after["shaders"]["label"], "clock": clock,
                  "clocks": clocks.clocks_seen(before["runs"], after["runs"], False),
                  "counters": clocks.counters(before["runs"] + after["runs"])}
        for measure, _, words in answers.MEASURES:
            figure = clocks.figure(measure, clock)
            record[measure] = stats.unpaired_verdict([figure(r) for r in before["runs"]],
                                                     [figure(r) for r in after["runs"]], threshold, words,
                                                     sequential.look_level(1, gate, auto=False), gate,
                                                     floor(measure, clock))
            if all(figure(r) is None for r in before["runs"] + after["runs"]):
                record[measure]["verdict"] = answers.UNAVAILABLE
            if measure == "memory":
                clocks.judge_memory(record[measure], clock)
            if gate:
                record[measure]["gate"] = answers.gate_of(record[measure])
        record["gate"] = gate
        records.append(record)
        lines.append(title)
        lines += ["  %-7s %s" % (clocks.measure_name(record, measure) + ":", stats.describe(record[measure]))
                  for measure in ("time", "memory")]
        for side, result in (("old", before), ("new", after)):
            if result["failed_runs"]:
                lines.append("  (%d failed run%s in the %s results, not counted)"
                             % (len(result["failed_runs"]), "s"[:len(result["failed_runs"]) > 1], side))
    for result in only_old:
        missing = ", missing from the new" if result["runs"] else ""
        lines.append("%s: only in the old results%s" % (name(result), missing))
        failing |= bool(result["runs"])
    for result in only_new:
        lines.append("%s: only in the new results" % name(result))
    if not records:
        lines.append("nothing was compared: no configuration and shader pair has runs on both sides")
        failing = True
    else:
        lines.insert(0, "Old against new, threshold \u00b1%g %%:" % threshold)
        lines.append(method(records))
        hint = None if gate else clocks.clock_hint(records)
        lines += [hint] if hint else []
    return "\n".join(lines) + "\n", failing, records
