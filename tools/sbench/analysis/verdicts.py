"""Verdicts: within one comparison, each configuration against its baseline,
round by round (the runs of a round ran back to back, so they are paired);
between two results files, one set of runs against the other (nothing is
paired). Only runs that reported count; failed runs are listed, not sampled.
The statistics are stats'; the rule of -n auto is here.
"""

import functools
import math

import numpy

from . import stats
from ..results import document as results
from ..system.text import printable

TIME_WORDS = ("slower", "faster")
MEMORY_WORDS = ("more memory", "less memory")
REGRESSIONS = ("slower", "more memory")  # what fails a gate: the interval lies wholly above +threshold
UNSETTLED = ("inconclusive", "too few runs")
UNAVAILABLE = "unavailable"  # a figure the runs never report (Committed mem: unavailable): more rounds cannot help
MIN_AUTO_ROUNDS = 3
MEASURES = (("time", "ms", TIME_WORDS), ("memory", "commit_mib", MEMORY_WORDS))
DEFAULT_THRESHOLD = 5.0
CLOCKS = results.CLOCKS
CLOCK_NAMES = {"wall": "the wall clock", "cpu": "the CPU clock"}
ALPHA = 1 - stats.CONFIDENCE
SEQUENTIAL_PATHS = 200000
SEQUENTIAL_SEED = 20261208


def run_time(run, clock="wall"):
    """A run's time in ms on clock; None where it has none (runs recorded
    before the CPU time was read to the microsecond)."""
    if clock == "wall":
        return run["ms"]
    return None if run.get("cpu_us") is None else run["cpu_us"] / 1000


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
    safe side: the level spends alpha less two of its standard errors."""
    from scipy import stats as scipy_stats
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
        smallest = numpy.minimum(smallest, scipy_stats.t.sf(numpy.abs(t) if sides == 2 else t, n - 1) * sides)
    spent = alpha - 2 * math.sqrt(alpha * (1 - alpha) / SEQUENTIAL_PATHS)
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
    level = look_level(plan.get("runs"), gate, bool(plan.get("auto")))
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
                  "looks": looks(plan["runs"]) if plan.get("auto") else None,
                  "baseline_failed": base["failure"] or (
                      "all %d runs failed" % len(base["failed_runs"]) if base["failed_runs"] and not base["runs"]
                      else None), "baseline_stopped": bool(base["failure"])}
        record["shaders_sha256"] = list(shaders_key(result))  # rows find their verdict by it, not by the label
        for measure, key, words in MEASURES:
            figure = (lambda run: run_time(run, clock)) if measure == "time" else (lambda run: run[key])
            verdict = stats.paired_verdict([figure(theirs[n]) for n in common], [figure(mine[n]) for n in common],
                                           threshold, words, level, gate)
            if common and all(figure(theirs[n]) is None and figure(mine[n]) is None for n in common):
                verdict["verdict"] = UNAVAILABLE
            record[measure] = verdict
            if gate:
                verdict["gate"] = gate_of(verdict)
        record["clocks"] = clocks_seen([theirs[n] for n in common], [mine[n] for n in common], True)
        records.append(record)
    return records


def clocks_seen(old, new, paired):
    """Both clocks' noise in % (a round, or a run) over these runs, and the
    median CPU over wall time of their runs: what tells whether the other
    clock would settle sooner."""
    found = {}
    for clock in CLOCKS:
        times = [[run_time(run, clock) for run in side] for side in (old, new)]
        found[clock + "_noise_pct"] = stats.noise_pct(*times, paired)
    for key, ratio in (("cpu_per_wall", stats.cpu_per_wall), ("runnable_per_wall", stats.runnable_per_wall)):
        ratios = [r for r in map(ratio, old + new) if r is not None]
        found[key] = float(numpy.median(ratios)) if ratios else None
    return found


def rounds_of(result):
    """{round number: run} (files of the first schema do not number runs)."""
    return {run.get("run", i + 1): run for i, run in enumerate(result["runs"])}


def gate_of(verdict):
    """A gate's answer on one verdict, a one-sided test against +threshold:
    "pass" when the interval's upper bound is at most +threshold (not worse
    by more than it), "fail" when its lower bound is above, "unavailable"
    for a figure the runs never report, and otherwise "unsettled"."""
    if verdict["verdict"] == UNAVAILABLE:
        return UNAVAILABLE
    if verdict["interval_pct"] is None:
        return "unsettled"
    if verdict["verdict"] in REGRESSIONS:
        return "fail"
    return "pass" if verdict["interval_pct"][1] <= verdict["threshold_pct"] else "unsettled"


def settled(verdict, gate):
    """Whether more rounds could not change what this verdict answers."""
    if verdict["verdict"] == UNAVAILABLE:
        return True
    return gate_of(verdict) != "unsettled" if gate else verdict["verdict"] not in UNSETTLED


def gate_text(records, threshold, failing=False, runs_failed=False):
    """(exit status, lines) of a gate on records: 1 when a verdict failed it
    (or failing: something it needed had no runs; or runs_failed), 3 when
    one is unsettled, else 0."""
    lines, status = [], 1 if failing or runs_failed else 0
    regressed = False
    for record in records:
        for measure in ("time", "memory"):
            verdict = record[measure]
            answer = gate_of(verdict)
            where = "%s %s %s" % (printable(record["configuration"]), printable(record["shaders"]), measure)
            if answer == UNAVAILABLE:
                lines.append("  %s: not gated: the runs report no figure" % where)
                continue
            status = 1 if answer == "fail" else 3 if answer == "unsettled" and status == 0 else status
            if answer == "unsettled":
                lines.append("  %s: not settled: %s" % (where, stats.describe(verdict)))
            elif answer == "fail":
                regressed = True
                lines.append("  %s: FAILED: at least %+.1f %%" % (where, verdict["interval_pct"][0]))
    if not records:
        status = 1
    head = "Gate %s (status %d, time on %s): %s%s" % (
        {0: "passed", 1: "FAILED", 3: "NOT SETTLED"}[status], status, clock_name(records), {
            0: "nothing is slower or takes more memory by more than %g %%" % threshold,
            1: "slower or more memory by more than %g %%" % threshold if regressed else
               "a run or a configuration failed" if runs_failed else "nothing to judge, or something has no runs",
            3: "the runs cannot tell yet whether anything is slower or takes more memory by more than %g %%"
               % threshold}[status], ":" if lines else ".")
    if status == 3:
        lines.append("  to settle it: " + settle_hint([r[m] for r in records for m in ("time", "memory")
                                                       if gate_of(r[m]) == "unsettled"]))
        hint = clock_hint(records)
        lines += ["  " + hint] if hint else []
    return status, [head] + lines


GATE_ORDER = (0, 3, 1)  # a gate's statuses, the least bad first


def gates(judgements):
    """(exit status, [lines of each]) of a gate over several judgements,
    each the arguments of gate_text (records, threshold, failing,
    runs_failed): each judged on its own, and the status the worst of theirs."""
    status, blocks = 0, []
    for judgement in judgements:
        found, lines = gate_text(*judgement)
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
        return "more rounds (at least %d a side), so that the noise can be measured" % MIN_AUTO_ROUNDS
    paired = "rounds" in measured[0]
    most = max(v["more"][1] for v in measured)
    done = max(v["rounds"] if paired else min(v["runs"]) for v in measured)
    unit = "rounds" if paired else "runs a side"
    if most <= stats.MOST_ROUNDS_ESTIMATED:
        text = "up to about %d more %s (%s %d)" % (most, unit, "-n auto --max-runs" if paired else "-n", done + most)
    else:
        text = "more than %d more %s" % (stats.MOST_ROUNDS_ESTIMATED, unit)
    if most > 20:
        likely = max(float(smallest_threshold(v["noise_pct"] / 100, (v["rounds"] if paired else min(v["runs"])),
                                              20, True, at_best=False)) for v in measured)
        text += ("; or --threshold %.1f, the smallest an unchanged build would likely pass in 20 rounds at the "
                 "noise measured" % likely)
    return text


def smallest_threshold(noise, rounds, max_runs, gate, at_best=True, change=0.0):
    """The smallest threshold in percent that max_runs rounds could settle (a
    "pass" under a gate, else a "same") for a build whose true change is
    change (a log ratio; an unchanged build by default), when the per-round
    noise (a fraction; arrays work) was measured over rounds. At best: with
    the noise at the low end of its 90 % interval, so that bad luck in the
    first rounds does not end a comparison that could have settled; else
    with the noise as measured."""
    from scipy import stats as scipy_stats
    low_noise = noise * numpy.sqrt((rounds - 1) / scipy_stats.chi2.ppf(0.9, rounds - 1)) if at_best else noise
    quantile = 1 - nominal_level(max_runs, 1 if gate else 2) / (1 if gate else 2)
    return numpy.expm1(change + scipy_stats.t.ppf(quantile, max_runs - 1) * low_noise / math.sqrt(max_runs)) * 100


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
                 if not settled(r[m], gate)]
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
    return "(%s; %s; time on %s)" % ("rounds paired" if "rounds" in record["time"] else "runs unpaired", shown,
                                     clock_name(records))


def clock_name(records):
    """The clock the time verdicts of records judged, in words."""
    clock = records[0].get("clock", "wall") if records else "wall"
    return CLOCK_NAMES[clock] + (" (the process's CPU time)" if clock == "cpu" else "")


NEAR_ONE = (0.8, 1.25)  # CPU (or the main thread's time running or runnable) over wall: compiled on it


def clock_hint(records):
    """A line saying that the CPU clock would settle what the wall clock
    leaves open, or None: when a time verdict on the wall clock is not
    settled (under a gate, not passed or failed) while its wall time's noise
    is at least twice its CPU time's and CPU over wall stays near 1; on a
    loaded machine, where the process waits for a core, the main thread's
    time running or waiting for a core over wall may stand for it."""
    for record in records:
        seen, verdict = record.get("clocks") or {}, record["time"]
        wall, cpu = seen.get("wall_noise_pct"), seen.get("cpu_noise_pct")
        near = [(key, seen[key]) for key in ("cpu_per_wall", "runnable_per_wall")
                if seen.get(key) is not None and NEAR_ONE[0] <= seen[key] <= NEAR_ONE[1]]
        if record.get("clock", "wall") != "wall" or settled(verdict, record.get("gate")) \
                or None in (wall, cpu) or not near or wall < 2 * cpu:
            continue
        return ("The CPU clock would likely settle %s %s time: its noise is %.1f %% a %s against the wall "
                "clock's %.1f %%, with %s %.2f (the driver compiles on the calling thread): --clock cpu"
                % (printable(record["configuration"]), printable(record["shaders"]), cpu,
                   "round" if "rounds" in verdict else "run", wall, {
                       "cpu_per_wall": "CPU over wall",
                       "runnable_per_wall": "its main thread running or waiting for a core"}[near[0][0]], near[0][1]))
    return None


def within_text(records, host=None):
    """The verdicts of a comparison (made on host), as printed under its table."""
    if not records:
        return ""
    on = " on " + printable(host) if host else ""
    against, margin = printable(records[0]["against"]), records[0]["time"]["threshold_pct"]
    lines = ["Against %s%s, threshold \u00b1%g %%:" % (against, on, margin)]
    for record in records:
        lines.append("%s %s" % (printable(record["configuration"]), printable(record["shaders"])))
        lines += ["  %-7s %s" % (measure + ":", stats.describe(record[measure])) for measure in ("time", "memory")]
    hint = None if records[0].get("gate") else clock_hint(records)
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
                  "clocks": clocks_seen(before["runs"], after["runs"], False)}
        for measure, key, words in MEASURES:
            figure = (lambda run: run_time(run, clock)) if measure == "time" else (lambda run: run[key])
            record[measure] = stats.unpaired_verdict([figure(r) for r in before["runs"]],
                                                     [figure(r) for r in after["runs"]], threshold, words,
                                                     look_level(1, gate, auto=False), gate)
            if all(figure(r) is None for r in before["runs"] + after["runs"]):
                record[measure]["verdict"] = UNAVAILABLE
            if gate:
                record[measure]["gate"] = gate_of(record[measure])
        record["gate"] = gate
        records.append(record)
        lines.append(title)
        lines += ["  %-7s %s" % (measure + ":", stats.describe(record[measure])) for measure in ("time", "memory")]
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
        hint = None if gate else clock_hint(records)
        lines += [hint] if hint else []
    return "\n".join(lines) + "\n", failing, records


def columns(record):
    """A verdict record as flat columns, for CSV."""
    row = {"against": record["against"]}
    for measure in ("time", "memory"):
        v = record[measure]
        low, high = v["interval_pct"] or (None, None)
        row.update({measure + "_verdict": v["verdict"], measure + "_change_pct": v["change_pct"],
                    measure + "_low_pct": low, measure + "_high_pct": high,
                    measure + "_more": v["more"] and "%d to %d" % tuple(v["more"]),
                    measure + "_noise_pct": v.get("noise_pct"),
                    measure + "_gate": v.get("gate")})
    v = record["time"]
    row.update(verdict_method=v["method"], verdict_level=v["level"], threshold_pct=v["threshold_pct"],
               clock=record.get("clock", "wall"),
               rounds=v.get("rounds"), runs_old=(v.get("runs") or [None])[0],
               runs_new=(v.get("runs") or [None, None])[1])
    return row


COLUMNS = ["against"] + ["%s_%s" % (m, f) for m in ("time", "memory")
                         for f in ("verdict", "change_pct", "low_pct", "high_pct", "more", "noise_pct", "gate")] + [
    "verdict_method", "verdict_level", "threshold_pct", "clock", "rounds", "runs_old", "runs_new"]
