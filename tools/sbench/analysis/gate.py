"""The gate: its status and lines, worked out once from the verdicts, so
that the terminal, the page and the exit status say the same; and what
would settle a gate that is not settled."""

from . import answers, clocks, sequential, stats
from ..system.text import printable


def verdict_line(where, verdict):
    """(the gate's answer on one verdict, its line or None for a pass): the
    one wording of a verdict under a gate, a pair's or a corpus's."""
    answer = answers.gate_of(verdict)
    if answer == answers.UNAVAILABLE:
        return answer, "  %s: not gated: %s" % (where, verdict.get("why") or "the runs report no figure")
    if answer == "fail":
        return answer, "  %s: FAILED: at least %+.1f %%" % (where, verdict["interval_pct"][0])
    if answer == "unsettled":
        return answer, "  %s: not settled: %s" % (where, stats.describe(verdict))
    return answer, None


def verdicts_lines(named, status):
    """(status, lines, whether one failed) of (where, verdict)s, from status:
    1 on a failure, 3 on an open one where it was 0."""
    lines, regressed = [], False
    for where, verdict in named:
        answer, line = verdict_line(where, verdict)
        lines += [line] if line else []
        regressed |= answer == "fail"
        status = 1 if answer == "fail" else 3 if answer == "unsettled" and status == 0 else status
    return status, lines, regressed


def gate_text(records, threshold, failing=False, runs_failed=False):
    """(exit status, lines) of a gate on records: 1 when a verdict failed it
    (or failing: something it needed had no runs; or runs_failed), 3 when
    one is unsettled, else 0."""
    status, lines, regressed = verdicts_lines(
        [("%s %s %s" % (printable(record["configuration"]), printable(record["shaders"]),
                        clocks.measure_name(record, measure)), record[measure])
         for record in records for measure in ("time", "memory")], 1 if failing or runs_failed else 0)
    if not records:
        status = 1
    head = "Gate %s (status %d, %s): %s%s" % (
        {0: "passed", 1: "FAILED", 3: "NOT SETTLED"}[status], status, clocks.judged(records), {
            0: "nothing is slower or takes more memory by more than %g %%" % threshold,
            1: "slower or more memory by more than %g %%" % threshold if regressed else
               "a run or a configuration failed" if runs_failed else "nothing to judge, or something has no runs",
            3: "the runs cannot tell yet whether anything is slower or takes more memory by more than %g %%"
               % threshold}[status], ":" if lines else ".")
    if status == 3:
        lines.append("  to settle it: " + settle_hint([r[m] for r in records for m in ("time", "memory")
                                                       if answers.gate_of(r[m]) == "unsettled"]))
        hint = clocks.clock_hint(records)
        lines += ["  " + hint] if hint else []
    return status, [head] + lines


def corpus_gate_text(judgement):
    """(exit status, lines) of a gate on a corpus verdict (corpus.judge): 1
    when a pair links on one side only, a run failed, or the corpus is shown
    slower (or to take more memory) by more than the threshold; 3 when that
    is not settled; else 0."""
    threshold, found = judgement["threshold_pct"], judgement["configurations"]
    one_sided = sum(len(c["one_sided"]) for c in found)
    lines = ["  %d pair%s link%s on one side only: a correctness regression" % (
        one_sided, "s"[:one_sided != 1], "s"[:one_sided == 1])] if one_sided else []
    status, more, regressed = verdicts_lines(
        [("%s corpus %s" % (c["configuration"], measure), c[measure]) for c in found for measure in ("time", "memory")],
        1 if one_sided or judgement["runs_failed"] or not found else 0)
    reason = {0: "the corpus is neither slower nor takes more memory by more than %g %%" % threshold,
              1: "the corpus is slower or takes more memory by more than %g %%" % threshold if regressed else
                 "a pair links on one side only" if one_sided else
                 "a run failed" if judgement["runs_failed"] else "nothing to judge",
              3: "the runs cannot tell yet whether the corpus is slower or takes more memory by more than %g %%"
                 % threshold}[status]
    head = "Gate %s (status %d, time on %s): %s%s" % (
        {0: "passed", 1: "FAILED", 3: "NOT SETTLED"}[status], status,
        clocks.clock_name([{"clock": judgement["clock"]}]), reason, ":" if lines + more else ".")
    return status, [head] + lines + more


GATE_ORDER = (0, 3, 1)  # a gate's statuses, the least bad first


def gates(judgements):
    """(exit status, [lines of each]) of a gate over several judgements,
    each the arguments of gate_text (records, threshold, failing,
    runs_failed), or a corpus verdict (a dict: corpus_gate_text): each judged
    on its own, and the status the worst of theirs."""
    status, blocks = 0, []
    for judgement in judgements:
        found, lines = corpus_gate_text(judgement) if isinstance(judgement, dict) else gate_text(*judgement)
        status = max(status, found, key=GATE_ORDER.index)
        blocks.append(lines)
    return status, blocks


def settle_hint(open_ones):
    """What would settle the gate's open verdicts, in a phrase: the most
    rounds (or runs a side) that the middle half of stats' simulated futures
    needed, and where the noise is too high for that, the smallest threshold
    that 20 rounds could settle at the noise measured."""
    measured = [v for v in open_ones if v.get("more")]
    if not measured:
        return "more rounds (at least %d a side), so that the noise can be measured" % sequential.MIN_AUTO_ROUNDS
    paired = "rounds" in measured[0]
    most = max(v["more"][1] for v in measured)
    done = max(v["rounds"] if paired else min(v["runs"]) for v in measured)
    unit = "rounds" if paired else "runs a side"
    if most <= stats.MOST_ROUNDS_ESTIMATED:
        text = "up to about %d more %s (%s %d)" % (most, unit, "-n auto --max-runs" if paired else "-n", done + most)
    else:
        text = "more than %d more %s" % (stats.MOST_ROUNDS_ESTIMATED, unit)
    if most > 20:
        likely = max(float(sequential.smallest_threshold(v["noise_pct"] / 100,
                                                         v["rounds"] if paired else min(v["runs"]), 20, True,
                                                         at_best=False)) for v in measured)
        text += ("; or --threshold %.1f, the smallest an unchanged build would likely pass in 20 rounds at the "
                 "noise measured" % likely)
    return text
