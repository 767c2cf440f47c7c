"""The corpus verdict: a comparison of many shader pairs (its plan has a
"corpus") judged as a whole, since on hundreds of pairs each judged alone
chance calls some of them slower.

Per configuration against the baseline, over the pairs that link on every
side and have a round on each: each pair's change is the geometric mean of
its rounds' ratios; the corpus's is the geometric mean of the pairs', with a
t interval that takes the pairs as the sample (the rounds of one pair are
one observation of it). A pair is called hurt or helped only where its own
change lies beyond the threshold with the false discovery rate held at
FDR over that configuration's pairs (Benjamini-Hochberg: the pairs' runs
are their own, so the tests are independent). A pair that links on one side
and not on the other is a correctness regression, not a cost: the gate
fails on it. Everything returned is plain JSON, text made printable.
"""

import math

import numpy

from . import answers, clocks, sequential, stats, verdicts
from ..system.text import printable

FDR = 0.05
SHOWN = 10  # the worst and the best pairs shown
LINKS, NO_LINK, NO_RUNS, MISSING = "links", "fails to link", "no runs", "missing"
SAMPLE = "the pairs are the sample: a t interval over the pairs' geometric mean ratios"
TEST = ("Benjamini-Hochberg at %g %% over each configuration's pairs, on each pair's paired t test of its "
        "rounds' log ratios against \u00b1the threshold" % (FDR * 100))
TOO_FEW = "too few pairs"


def is_corpus(document):
    return isinstance((document.get("plan") or {}).get("corpus"), dict)


def link_state(result):
    """Whether a configuration links a pair: LINKS, NO_LINK (a run reported
    programs that failed to link), NO_RUNS (it ended before any run reported)
    or MISSING (no result)."""
    if result is None:
        return MISSING
    if any(run["link_failures"] for run in result["runs"]):
        return NO_LINK
    return LINKS if result["runs"] else NO_RUNS


def source_name(entry):
    """A pair as its corpus names it: its source file (an import makes one pair
    of a file at most, so its sections' lines would only crowd the name out of
    a 100-column line), else its label."""
    source = entry.get("source")
    if isinstance(source, dict) and isinstance(source.get("file"), str) and source["file"]:
        return printable(source["file"])
    return printable(entry["label"])


def describe_corpus(plan):
    """The plan's corpus in a phrase: where from, the sample, the seed, the filter."""
    corpus, parts = plan["corpus"], []
    for key, form in (("directory", "from %s"), ("sample", "a sample of %s"), ("seed", "seed %s"),
                      ("filter", "filter %s")):
        value = corpus.get(key)
        if isinstance(value, (str, int)) and not isinstance(value, bool) and value != "":
            parts.append(form % printable(value))
    return ", ".join(parts)


def _log_change(pct):
    return math.log1p(pct / 100) if pct > -100 else -math.inf


def p_value(logs, threshold):
    """How likely a pair's rounds are if its change lies within
    +-threshold %: twice the smaller one-sided p of a t test of the mean log
    ratio against each edge (so that a lone pair is called where its 95 %
    interval would say slower or faster); 1 below two rounds."""
    n = len(logs)
    if n < 2:
        return 1.0
    from scipy import special
    mean, error = float(numpy.mean(logs)), float(numpy.std(logs, ddof=1)) / math.sqrt(n)
    up, down = _log_change(threshold), _log_change(-threshold)
    if error == 0:
        return 0.0 if mean > up or mean < down else 1.0
    above = float(special.stdtr(n - 1, (up - mean) / error))
    below = 1.0 if down == -math.inf else float(special.stdtr(n - 1, (mean - down) / error))
    return min(1.0, 2 * min(above, below))


def benjamini_hochberg(p_values, rate=FDR):
    """Which p-values are discoveries, the false discovery rate held at rate."""
    p = numpy.asarray(p_values, dtype=float)
    order = numpy.argsort(p, kind="stable")
    below = p[order] <= rate * numpy.arange(1, len(p) + 1) / max(len(p), 1)
    called = numpy.zeros(len(p), dtype=bool)
    called[order[:below.nonzero()[0].max() + 1 if below.any() else 0]] = True
    return called.tolist()


def over_pairs(changes, threshold, words, level, within=()):
    """The corpus verdict on the pairs' log changes: as stats' verdicts, the
    interval a t interval over the pairs, counted in pairs. within: each
    pair's rounds' log ratios, whose noise within a pair (pooled; None below
    two rounds) and fewest rounds say how much of the spread more rounds
    would take away (see projected_spread)."""
    noisy = [numpy.var(logs, ddof=1) for logs in within if len(logs) >= 2]
    found = {"verdict": TOO_FEW, "change_pct": None, "interval_pct": None, "spread_pct": None, "method": SAMPLE,
             "level": level, "threshold_pct": threshold, "words": list(words), "pairs": len(changes),
             "pair_noise_pct": float(numpy.sqrt(numpy.mean(noisy))) * 100 if noisy else None,
             "pair_rounds": min((len(logs) for logs in within), default=0)}
    if len(changes) < 2:
        return found
    d = numpy.array(changes, dtype=float)
    centre, half = stats.intervals(numpy.zeros((1, len(d))), d[None, :], level, paired=True)
    low, high = (float(stats.log_change_pct(x)) for x in (centre[0] - half[0], centre[0] + half[0]))
    found.update(change_pct=float(stats.log_change_pct(centre[0])), interval_pct=[low, high],
                 spread_pct=float(numpy.std(d, ddof=1)) * 100,
                 verdict=str(stats.answers(low, high, threshold, words)))
    return found


def _mean(values):
    values = [v for v in values if v is not None]
    return float(numpy.mean(values)) if values else None


def pair_figures(base, mine, clock, threshold, up_to=None):
    """(figures, time logs, memory logs) of one pair of a configuration
    against the baseline, over the rounds both reported (up to round up_to):
    the means on each side, the change of its time (the geometric mean of
    the rounds' ratios) with its 95 % interval and p-value; the rounds' log
    ratios of time, and of memory where both sides grew."""
    theirs, ours = verdicts.rounds_of(base), verdicts.rounds_of(mine)
    common = sorted(n for n in set(theirs) & set(ours) if up_to is None or n <= up_to)
    times = [(clocks.run_time(theirs[n], clock), clocks.run_time(ours[n], clock)) for n in common]
    times = [(a, b) for a, b in times if a is not None and b is not None and a > 0 and b > 0]
    mibs = [(theirs[n]["commit_mib"], ours[n]["commit_mib"]) for n in common]
    logs = [math.log(b / a) for a, b in times]
    found = {"rounds": len(logs), "baseline_ms": _mean([a for a, _ in times]), "ms": _mean([b for _, b in times]),
             "baseline_mib": _mean([a for a, _ in mibs]), "mib": _mean([b for _, b in mibs]),
             "change_pct": float(stats.log_change_pct(numpy.mean(logs))) if logs else None,
             "interval_pct": None, "p": p_value(logs, threshold), "called": None}
    if len(logs) >= 2:
        centre, half = stats.intervals(numpy.zeros((1, len(logs))), numpy.array([logs]), stats.CONFIDENCE, True)
        found["interval_pct"] = [float(stats.log_change_pct(centre[0] + s * half[0])) for s in (-1, 1)]
    return found, logs, [math.log(b / a) for a, b in mibs if a is not None and b is not None and a > 0 and b > 0]


def _memory_change(figures):
    """A pair's log change of its mean commit growth; 0 for 0 against 0; None
    where there is no figure, or no change in % from 0."""
    old, new = figures["baseline_mib"], figures["mib"]
    if old is None or new is None or (old <= 0 < new) or old < 0 or new < 0:
        return None
    return 0.0 if old == new == 0 else math.log(new / old) if new > 0 else None


def configuration(name, baseline, plan, by_pair, clock, threshold, level, up_to=None):
    """The verdict of one configuration over the corpus (its rounds up to
    round up_to), and its pairs."""
    pairs, kept, memory, memory_logs, one_sided = [], [], [], [], []
    totals = dict.fromkeys(("baseline_ms", "ms", "baseline_mib", "mib"), 0.0)
    mib_seen = False
    for entry in plan["shaders"]:
        found = by_pair.get(entry["directory"], {})
        states = [link_state(found.get(baseline)), link_state(found.get(name))]
        row = {"pair": printable(entry["label"]), "source": source_name(entry), "links": states,
               "rounds": 0, "change_pct": None, "interval_pct": None, "p": None, "called": None}
        if sorted(states) == [NO_LINK, LINKS]:
            one_sided.append(row)
        if states == [LINKS, LINKS]:
            figures, logs, mibs = pair_figures(found[baseline], found[name], clock, threshold, up_to)
            row.update(figures)
            if logs:
                kept.append((row, logs))
                for key in totals:
                    totals[key] += row[key] or 0.0
                mib_seen |= row["mib"] is not None
                change = _memory_change(figures)
                if change is not None:
                    memory.append(change)
                    memory_logs.append(mibs)
        pairs.append(row)
    for (row, logs), called in zip(kept, benjamini_hochberg([row["p"] for row, _ in kept])):
        row["called"] = ("hurt" if numpy.mean(logs) > 0 else "helped") if called else None
    time = over_pairs([float(numpy.mean(logs)) for _, logs in kept], threshold, answers.TIME_WORDS, level,
                      [logs for _, logs in kept])
    mem = over_pairs(memory, threshold, answers.MEMORY_WORDS, level, memory_logs)
    clocks.judge_memory(mem, clock)  # counted runs' memory is judged nowhere, the corpus too
    if kept and not mib_seen:
        mem["verdict"] = answers.UNAVAILABLE
    if not mib_seen:
        totals["baseline_mib"] = totals["mib"] = None
    return {"configuration": printable(name), "linked": len(kept), "time": time, "memory": mem,
            "totals": totals if kept else None, "one_sided": one_sided, "pairs": pairs,
            "hurt": sum(row["called"] == "hurt" for row in pairs),
            "helped": sum(row["called"] == "helped" for row in pairs)}


def runs_failed(document, by_pair):
    """Whether a run failed, or a pair links on one side only: what fails a
    corpus comparison besides its verdicts. A pair that links nowhere is not
    a failure of the change (it is left out, and counted). by_pair: by_pair's."""
    for result in document["results"]:
        states = {link_state(r) for r in by_pair.get(result["shaders"]["directory"], {}).values()}
        if result["failed_runs"] or (result.get("calls") or {}).get("failure") or {LINKS, NO_LINK} <= states:
            return True
        if result["failure"] and link_state(result) != NO_LINK:
            return True
    return False


def by_pair(document):
    """{pair directory: {configuration: result}}."""
    found = {}
    for result in document["results"]:
        found.setdefault(result["shaders"]["directory"], {})[result["configuration"]] = result
    return found


def judge(document, threshold=None, gate=None, clock=None, up_to=None):
    """The corpus verdict of a corpus comparison (see the module's text), on
    clock (given, else its plan's, else the wall clock), under a gate (given,
    else its plan's), over its rounds up to round up_to, or None for a
    comparison of no corpus. Under -n auto each look spends sequential's
    level: made for rounds that add up, it is on the safe side for the
    pairs, whose looks differ less from one to the next."""
    if not is_corpus(document):
        return None
    plan = document["plan"]
    gate = plan.get("gate", False) if gate is None else gate
    clock = clock or plan.get("clock", "wall")
    baseline, threshold, level = verdicts.settings(document, threshold, gate=gate)
    pairs = by_pair(document)
    others = [c["name"] for c in plan["configurations"] if c["name"] != baseline]
    found = [configuration(name, baseline, plan, pairs, clock, threshold, level, up_to) for name in others]
    return {"corpus": describe_corpus(plan), "against": printable(baseline or "-"), "threshold_pct": threshold,
            "gate": gate, "clock": clock, "level": level, "fdr": FDR, "sample": SAMPLE, "test": TEST,
            "looks": sequential.looks(plan["runs"]) if plan.get("auto") else None,
            "pairs": len(plan["shaders"]), "runs_failed": runs_failed(document, pairs), "configurations": found}


def projected_spread(verdict, max_runs):
    """The spread a pair (in %) that max_runs rounds would leave: of the
    spread measured, the part within a pair shrinks with the rounds, the
    part between pairs stays. NaN where nothing was measured (never judged
    hopeless, then)."""
    if verdict["spread_pct"] is None or verdict["pair_noise_pct"] is None or not verdict["pair_rounds"]:
        return math.nan
    within = verdict["pair_noise_pct"] ** 2
    between = max(0.0, verdict["spread_pct"] ** 2 - within / verdict["pair_rounds"])
    return math.sqrt(between + within / max(max_runs, verdict["pair_rounds"]))


def auto_stop(judgement, round_number, max_runs):
    """Why -n auto stops a corpus comparison after this round, as a line, or
    None to go on. Under a gate, at once when a pair links on one side only:
    the gate has failed, whatever more rounds show. Otherwise sequential's
    rule on the corpus verdicts (each configuration's time and memory), at
    one of its looks: every one settled (under a gate, passed or failed),
    none could be within max_runs rounds at the spread measured, or the
    last round. Too few pairs is settled: more rounds add none."""
    gate, found = judgement["gate"], judgement["configurations"]
    one_sided = sum(len(c["one_sided"]) for c in found)
    if gate and one_sided:
        return "Stopped after round %d: %d pair%s link%s on one side only, which fails the gate whatever " \
            "more rounds show." % (round_number, one_sided, "s"[:one_sided != 1], "s"[:one_sided == 1])
    if round_number not in sequential.looks(max_runs):
        return None
    named = [(c["configuration"], measure, c[measure]) for c in found for measure in ("time", "memory")]
    if not named:
        return "Stopped: nothing to set against another after %d rounds." % round_number
    open_ones = [v["verdict"] != TOO_FEW and not answers.settled(v, gate) for _, _, v in named]
    figures = numpy.array([(numpy.nan if v["change_pct"] is None else v["change_pct"], projected_spread(v, max_runs),
                            v["threshold_pct"], v["pairs"]) for _, _, v in named], dtype=float).reshape(-1, 4)
    change, spread, threshold, pairs = figures.T
    smallest = sequential.unreachable(change, spread, round_number, threshold, max_runs, gate, pairs=pairs)

    def noise_line(worst):
        name, measure, verdict = named[worst]
        return ("Stopped after %d rounds: at the spread measured over %d pairs (%.1f %% a pair on %s corpus %s, "
                "%.1f %% at %d rounds), %d rounds would not settle a threshold of %g %% (even at the low end of "
                "the spread's range they would need %.1f %%): a larger --sample, or a wider --threshold, would."
                % (round_number, verdict["pairs"], verdict["spread_pct"], name, measure, spread[worst], max_runs,
                   max_runs, verdict["threshold_pct"], smallest[worst]))
    return sequential.stop_line(open_ones, smallest, round_number, max_runs, gate,
                                ["%s corpus %s" % (name, measure) for name, measure, _ in named], noise_line)
