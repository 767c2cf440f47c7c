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
between files, -n auto's sequential rule) and, side by side, through the
rule it used before: each side's runs as independent samples, a
Mann-Whitney test and a bootstrap of the medians, at least 5 runs a side.
"""

import statistics

import numpy

from . import stats, verdicts

SIZES = (3, 5, 10)
SCALES = (1.0, 1.02, 1.05, 1.10)
DRAWS = 500
SEED = 20261208
RULES = ("paired", "unpaired", "earlier")


def pool(document):
    """[(A ms, B ms, A MiB, B MiB)] per round both configurations of a
    two-configuration results file ran."""
    first, second = (verdicts.rounds_of(r) for r in document["results"][:2])
    return [(first[n]["ms"], second[n]["ms"], first[n]["commit_mib"], second[n]["commit_mib"])
            for n in sorted(set(first) & set(second))]


def earlier_rule(old, new, threshold_pct, words):
    """The rule the tool used before: a difference only when a two-sided
    Mann-Whitney U test gives p < 0.05 and the whole 95 % bootstrap interval
    of the change of the median lies beyond the threshold; else nothing
    proven. Kept to show what pairing and the run as the unit change."""
    from scipy import stats as scipy_stats
    if len(old) < 5 or len(new) < 5:
        return "too few runs"
    p = float(scipy_stats.mannwhitneyu(new, old, alternative="two-sided").pvalue)
    rng = numpy.random.default_rng(20261207)
    changes = (numpy.median(rng.choice(new, (10000, len(new))), axis=1)
               / numpy.median(rng.choice(old, (10000, len(old))), axis=1) - 1) * 100
    low, high = numpy.percentile(changes, [2.5, 97.5])
    return words[0] if p < 0.05 and low > threshold_pct else words[1] if p < 0.05 and high < -threshold_pct \
        else "no difference proven"


def judge(a, b, rule, threshold_pct, level=stats.CONFIDENCE, words=verdicts.TIME_WORDS):
    """The verdict word of each comparison: a and b are (comparisons, rounds)
    arrays of A's and B's figures, the rounds of a row drawn together."""
    if rule == "earlier":
        return numpy.array([earlier_rule(list(x), list(y), threshold_pct, words) for x, y in zip(a, b)])
    centre, half = stats.intervals(numpy.log(a), numpy.log(b), level, rule == "paired")
    return stats.answers(stats.log_change_pct(centre - half), stats.log_change_pct(centre + half), threshold_pct,
                         words)


def auto(a, b, a_mib, b_mib, threshold_pct, max_runs):
    """-n auto on each row of drawn rounds: looks from round 3 on, stopping at
    the first whose time and memory verdicts are both settled. Returns (time
    verdicts, rounds made)."""
    level, open_ones = verdicts.look_level(max_runs), verdicts.UNSETTLED
    found, used = numpy.full(len(a), "inconclusive", dtype=object), numpy.full(len(a), max_runs)
    going = numpy.ones(len(a), dtype=bool)
    for n in range(verdicts.MIN_AUTO_ROUNDS, max_runs + 1):
        time = judge(a[:, :n], b[:, :n], "paired", threshold_pct, level)
        memory = judge(a_mib[:, :n], b_mib[:, :n], "paired", threshold_pct, level, verdicts.MEMORY_WORDS)
        stop = going & ~numpy.isin(time, open_ones) & ~numpy.isin(memory, open_ones) | going & (n == max_runs)
        found[stop], used[stop] = time[stop], n
        going &= ~stop
    return found, used


def shuffles(rng, pool_size, draws, size):
    """(draws, size) indices into the pool: each row a shuffle of it, then
    another, as far as size needs."""
    rows = numpy.tile(numpy.arange(pool_size), (draws, -(-size // pool_size)))
    for start in range(0, rows.shape[1], pool_size):
        rows[:, start:start + pool_size] = rng.permuted(rows[:, start:start + pool_size], axis=1)
    return rows[:, :size]


def measure(rounds, sizes=SIZES, scales=SCALES, rules=RULES, draws=DRAWS, seed=SEED, threshold_pct=2.0,
            max_runs=20):
    """Rows {rule, rounds ("auto" for -n auto), scale, slower, faster, same,
    median_rounds, median_settled_rounds (of the draws that got slower, faster
    or same)}: the share of draws given each answer. Every rule sees the same
    draws."""
    figures = numpy.array(rounds, dtype=float)
    rows = []
    for scale in scales:
        for rule in rules:
            for size in sizes + (("auto",) if rule == "paired" else ()):
                picked = figures[shuffles(numpy.random.default_rng(seed), len(figures), draws,
                                          max_runs if size == "auto" else size)]
                a, b, a_mib, b_mib = picked[:, :, 0], picked[:, :, 1] * scale, picked[:, :, 2], picked[:, :, 3]
                if size == "auto":
                    found, used = auto(a, b, a_mib, b_mib, threshold_pct, max_runs)
                else:
                    found, used = judge(a, b, rule, threshold_pct), [size]
                settled = [n for n, word in zip(numpy.broadcast_to(used, found.shape), found)
                           if word in ("slower", "faster", "same")]
                rows.append({"rule": rule, "rounds": size, "scale": scale, "median_rounds": statistics.median(used),
                             "median_settled_rounds": statistics.median(settled) if settled else None,
                             **{w: float(numpy.mean(found == w)) for w in ("slower", "faster", "same")}})
    return rows


def format_table(rows):
    lines = ["rule      rounds  true change  slower  faster   same  median rounds  to a verdict"]
    for row in rows:
        lines.append("%-8s  %6s  %+10.0f %%  %5.1f%%  %5.1f%%  %5.1f%%  %13g  %12s" % (
            row["rule"], row["rounds"], (row["scale"] - 1) * 100, row["slower"] * 100, row["faster"] * 100,
            row["same"] * 100, row["median_rounds"],
            "-" if row["median_settled_rounds"] is None else "%g" % row["median_settled_rounds"]))
    return "\n".join(lines) + "\n"
