"""How often a verdict is wrong, and how many rounds it takes, measured on
real runs: a pool of rounds of one driver against itself under two names
(an A/A comparison, interleaved as every comparison is).

Rounds drawn from the pool at random make comparisons in which nothing
differs: any slower or faster is a false positive. They are drawn without
replacement (a shuffle of the pool, and beyond its size a fresh shuffle), so
that a draw never holds one round twice: a round set against itself has no
spread, and would make the intervals look narrower than real runs make them. The same
draws with one side's totals scaled by 1.02, 1.05 or 1.10 make comparisons
with a known slowdown: how often it is called slower is the power. Each draw
goes through the rules the tool uses (paired within a comparison, unpaired
between files, -n auto's sequential rule).
"""

import statistics

import numpy

from . import answers, clocks, sequential, stats, verdicts

SIZES = (3, 5, 10)
SCALES = (1.0, 1.02, 1.05, 1.10)
DRAWS = 500
SEED = 20261208
RULES = ("paired", "unpaired")
MAX_RUNS = 20  # -n auto's default


def pool(document, clock="wall"):
    """[(A ms, B ms, A MiB, B MiB)] per round both configurations of a
    two-configuration results file ran, the times on clock."""
    first, second = (verdicts.rounds_of(r) for r in document["results"][:2])
    # Counted runs' memory is not judged: as alike on both sides, it is settled from the first look.
    mib = (lambda run: 1) if clock == "instructions" else (lambda run: run["commit_mib"])
    return [(clocks.run_time(first[n], clock), clocks.run_time(second[n], clock), mib(first[n]), mib(second[n]))
            for n in sorted(set(first) & set(second))]


def bounds(a, b, level, floor=0.0):
    """(low, high) in percent of each row's paired interval at level."""
    centre, half = stats.intervals(numpy.log(a), numpy.log(b), level, True, floor)
    return stats.log_change_pct(centre - half), stats.log_change_pct(centre + half)


def judge(a, b, rule, threshold_pct, level=stats.CONFIDENCE, words=answers.TIME_WORDS, floor=0.0):
    """The verdict word of each comparison: a and b are (comparisons, rounds)
    arrays of A's and B's figures, the rounds of a row drawn together."""
    centre, half = stats.intervals(numpy.log(a), numpy.log(b), level, rule == "paired", floor)
    return stats.answers(stats.log_change_pct(centre - half), stats.log_change_pct(centre + half), threshold_pct,
                         words)


def auto(a, b, a_mib, b_mib, threshold_pct, max_runs, gate=False, floor=0.0):
    """-n auto on each row of drawn rounds, by the rule it runs by
    (sequential.stops): at each look, the time and memory verdicts made as
    stats makes them, then stopped once both are settled (under a gate,
    passed or failed), or when the noise measured lets no verdict left open
    settle. Returns (time answers: verdict words, or with a gate pass, fail
    or unsettled; rounds made). floor: the time's (clocks.noise_floor)."""
    level = sequential.look_level(max_runs, gate)
    found = numpy.full(len(a), "unsettled" if gate else "inconclusive", dtype=object)
    used = numpy.full(len(a), max_runs)
    going = numpy.ones(len(a), dtype=bool)
    for n in sequential.looks(max_runs):
        both, smallest = [], []
        for x, y, words, least in ((a, b, answers.TIME_WORDS, floor), (a_mib, b_mib, answers.MEMORY_WORDS, 0.0)):
            low, high = bounds(x[:, :n], y[:, :n], level, least)
            both.append(answers.gate_answers(low, high, threshold_pct) if gate
                        else stats.answers(low, high, threshold_pct, words))
            ratios = numpy.log(y[:, :n]) - numpy.log(x[:, :n])
            smallest.append(sequential.unreachable(stats.log_change_pct(ratios.mean(axis=1)),
                                                   ratios.std(axis=1, ddof=1) * 100, n, threshold_pct, max_runs, gate))
        stop = going & (sequential.stops(numpy.isin(both, answers.OPEN).T, numpy.array(smallest).T, n, max_runs)
                        != "")
        found[stop], used[stop] = both[0][stop], n
        going &= ~stop
    return found, used


def shuffles(rng, pool_size, draws, size):
    """(draws, size) indices into the pool: each row a shuffle of it, then
    another, as far as size needs."""
    rows = numpy.tile(numpy.arange(pool_size), (draws, -(-size // pool_size)))
    for start in range(0, rows.shape[1], pool_size):
        rows[:, start:start + pool_size] = rng.permuted(rows[:, start:start + pool_size], axis=1)
    return rows[:, :size]


def measure(rounds, sizes=SIZES, scales=SCALES, rules=RULES, draws=DRAWS, seed=SEED, threshold_pct=5.0,
            max_runs=MAX_RUNS, gate=True, floor=0.0):
    """Rows {rule, rounds ("auto" for -n auto), most (the most rounds a draw
    may hold), scale, slower, faster, same, median_rounds,
    median_settled_rounds (of the draws that got slower, faster or same)}:
    the share of draws given each answer. Every rule sees the same draws. A
    draw never holds more rounds than the pool: sizes beyond it are left
    out, and -n auto is capped at the pool's size (the row says so). With
    gate, rows of rule "gate" too: -n auto under --fail-on-regression on
    A/A draws and at +threshold and +2 x threshold, with the share that
    passed, failed and was left unsettled."""
    figures = numpy.array(rounds, dtype=float)
    most = min(max_runs, len(figures))
    rows = []

    def drawn(size, scale):
        picked = figures[shuffles(numpy.random.default_rng(seed), len(figures), draws, size)]
        return picked[:, :, 0], picked[:, :, 1] * scale, picked[:, :, 2], picked[:, :, 3]

    for scale in scales:
        for rule in rules:
            for size in [n for n in sizes if n <= len(figures)] + (["auto"] if rule == "paired" else []):
                a, b, a_mib, b_mib = drawn(most if size == "auto" else size, scale)
                if size == "auto":
                    found, used = auto(a, b, a_mib, b_mib, threshold_pct, most, floor=floor)
                else:
                    found, used = judge(a, b, rule, threshold_pct, floor=floor), [size]
                settled = [n for n, word in zip(numpy.broadcast_to(used, found.shape), found)
                           if word in ("slower", "faster", "same")]
                rows.append({"rule": rule, "rounds": size, "most": most, "scale": scale,
                             "median_rounds": statistics.median(used),
                             "median_settled_rounds": statistics.median(settled) if settled else None,
                             **{w: float(numpy.mean(found == w)) for w in ("slower", "faster", "same")}})
    for scale in (1.0, 1 + threshold_pct / 100, 1 + 2 * threshold_pct / 100) if gate else ():
        found, used = auto(*drawn(most, scale), threshold_pct, most, gate=True, floor=floor)
        rows.append({"rule": "gate", "rounds": "auto", "most": most, "scale": scale,
                     "median_rounds": statistics.median(used),
                     **{w: float(numpy.mean(found == w)) for w in ("pass", "fail", "unsettled")}})
    return rows


def format_table(rows):
    lines = ["rule      rounds  true change  slower  faster   same  median rounds  to a verdict"]
    for row in rows:
        if row["rule"] == "gate":
            continue
        lines.append("%-8s  %6s  %+10.0f %%  %5.1f%%  %5.1f%%  %5.1f%%  %13g  %12s" % (
            row["rule"], row["rounds"], (row["scale"] - 1) * 100, row["slower"] * 100, row["faster"] * 100,
            row["same"] * 100, row["median_rounds"],
            "-" if row["median_settled_rounds"] is None else "%g" % row["median_settled_rounds"]))
    gates = [row for row in rows if row["rule"] == "gate"]
    if gates:
        lines.append("")
        lines.append("gate (-n auto --fail-on-regression)  passed  blocked  not settled  median rounds")
        for row in gates:
            lines.append("%-36s  %5.1f%%  %6.1f%%  %10.1f%%  %13g" % (
                "unchanged" if row["scale"] == 1 else "true change %+g %%" % round((row["scale"] - 1) * 100, 2),
                row["pass"] * 100, row["fail"] * 100, row["unsettled"] * 100, row["median_rounds"]))
    if rows and rows[0]["most"] < MAX_RUNS:
        lines.append("(the pool holds %d rounds and a draw never repeats one: -n auto stops there, not at %d, "
                     "and larger sizes are left out)" % (rows[0]["most"], MAX_RUNS))
    return "\n".join(lines) + "\n"
