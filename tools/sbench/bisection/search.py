"""Which commit changed a driver: the statistics of each step and the search.

Every step runs rounds, each a run of every commit it compares back to back
(in an order that turns with the round), so that a drift of the machine
touches them alike; a step's figures are the log ratios of one round's runs.

- confirm: GOOD against BAD. Differs when BAD is shown worse than GOOD by
  more than the threshold; same when shown not to be; else not settled.
- classify: a midpoint against the two ends of its segment. Between, when it
  is shown worse than the start and better than the end, each by more than
  the threshold (two changes, or a gradual one); else good when its
  interval lies wholly on the start's side of halfway, bad when wholly on
  the end's; else not settled.

A step looks at its rounds after rounds 3, 6, 12, ... and the last (a
counted step after round 2 as well: sequential.COUNTED_FIRST_LOOK), and
each bound is a one-sided test at the level that keeps the step's chance of
any wrong claim at most its share of ALPHA (sequential.nominal_level). A
search that makes at most PLANNED steps names a wrong commit with a chance
of at most ALPHA; a longer one (skips, several changes) is told the bound it
actually spent.
"""

import math

import numpy

from ..analysis import sequential

ALPHA = 0.05
MEASURE_KEYS = {"time": "ms", "memory": "commit_mib"}  # --measure: the figure of a run it bisects
CLOCK_KEYS = {"cpu": "cpu_us", "instructions": "instructions"}  # the time on another --clock than the wall


def measure_key(settings):
    """The figure of a run a bisect judges: its --measure, the time on its
    --clock (bisects saved before it had one used the wall clock)."""
    if settings["measure"] == "time" and settings.get("clock") in CLOCK_KEYS:
        return CLOCK_KEYS[settings["clock"]]
    return MEASURE_KEYS[settings["measure"]]


def counted(settings):
    """Whether the bisect judges a count of instructions (its noise pooled)."""
    return settings.get("clock") == "instructions"


def first_look(settings):
    """The round of a step's first look: sooner for a count, whose noise is
    hundreds of times below a clock's."""
    return sequential.COUNTED_FIRST_LOOK if counted(settings) else sequential.MIN_AUTO_ROUNDS


POOL_CHECK = 0.001  # a look's chance of refusing to pool when every build's noise is the same
SPARE_STEPS = 2  # beyond confirmation and halving: room for a skip or a second change
TRIM, TRIM_FROM = 0.2, 10  # see interval()


def planned_steps(commits):
    """The steps the error bound is shared over: the confirmation, the
    halvings of a range of commits (GOOD and BAD included), and a spare."""
    return 1 + max(0, math.ceil(math.log2(max(1, commits - 1)))) + SPARE_STEPS


def bound_level(steps, max_runs, first=sequential.MIN_AUTO_ROUNDS):
    """The one-sided level of each bound at each look (the first after round
    first), for a search planned to make `steps` steps: each step may err
    with a chance of ALPHA / steps, shared by its two directions."""
    return sequential.nominal_level(max_runs, 1, ALPHA / steps / 2, first)


def t_interval(values, one_sided, cut):
    """(centre, low, high): the mean of the sorted values without the cut
    lowest and highest, and Yuen's trimmed t bounds (Student's for cut 0)."""
    # stdtrit is t.ppf without its argument handling: the same quantile in a thirtieth of the time, and
    # every look of every step asks for one.
    from scipy import special
    n = len(values)
    kept = n - 2 * cut
    winsorized = numpy.clip(values, values[cut], values[n - cut - 1])
    half = special.stdtrit(kept - 1, 1 - one_sided) * math.sqrt(
        (n - 1) * winsorized.var(ddof=1) / (kept * (kept - 1)))
    centre = float(values[cut:n - cut].mean())
    return centre, centre - half, centre + half


def interval(figures, one_sided):
    """(centre, low, high) of figures (a round each), each bound a one-sided
    test at one_sided; None for fewer than two. Under TRIM_FROM rounds:
    Student's t on the mean. From then on, what both Student's t and Yuen's
    t on the 20 % trimmed mean allow, each at half the level: a run now and
    then off by 40 % (seen here on runs of a second) widens Student's
    interval so that a step could not settle at all, while on plain noise
    the trimmed test loses more than half the level costs."""
    values = numpy.sort(numpy.asarray(figures, dtype=float))
    if len(values) < 2:
        return None
    if len(values) < TRIM_FROM:
        return t_interval(values, one_sided, 0)
    plain = t_interval(values, one_sided / 2, 0)
    trimmed = t_interval(values, one_sided / 2, int(TRIM * len(values)))
    low, high = max(plain[1], trimmed[1]), min(plain[2], trimmed[2])
    if low > high:  # the two lie apart: claim nothing
        low, high = min(plain[1], trimmed[1]), max(plain[2], trimmed[2])
    return trimmed[0], low, high


def logs(rounds, sign):
    """The rounds' figures as signed logarithms: worse is up (for a speed-up
    or less memory, sign is -1)."""
    return sign * numpy.log(numpy.asarray(rounds, dtype=float))


def figures(step, key):
    """The rounds of a step in which every run reported, as figures."""
    return [[run[key] for run in round_runs] for round_runs in step["rounds"]
            if all("failed" not in run and run.get(key) is not None for run in round_runs)]


def build_logs(steps, key):
    """Each build's log figures in each of steps, over the step's rounds in
    which every run reported: the groups whose spread a counted bisect pools."""
    groups = []
    for step in steps:
        done = figures(step, key)
        groups += list(numpy.log(numpy.asarray(done, dtype=float)).T) if done else []
    return groups


def spread(groups):
    """(sum of squares of each group about its own mean, degrees of freedom:
    the values less the groups)."""
    groups = [numpy.asarray(g, dtype=float) for g in groups if len(g)]
    return sum(float(((g - g.mean()) ** 2).sum()) for g in groups), sum(len(g) - 1 for g in groups)


def pool(rounds, earlier):
    """(sum of squares, degrees of freedom) of a counted step's runs (its
    rounds, by build, as log counts) and the earlier ones (spread's of each
    build's runs in each earlier step); None when a build of the step spreads
    more than the rest of the pool allows: its variance against theirs, an
    F test at POOL_CHECK shared by the step's builds. Only a noisier build
    is refused: it alone would be judged with too narrow an interval."""
    from scipy import special  # fdtri(m, n, p) is the F distribution's quantile p
    own = numpy.log(numpy.asarray(rounds, dtype=float))
    squares = ((own - own.mean(axis=0)) ** 2).sum(axis=0)
    runs, builds = own.shape
    total, df = earlier[0] + float(squares.sum()), earlier[1] + builds * (runs - 1)
    quantile = special.fdtri(runs - 1, df - (runs - 1), 1 - POOL_CHECK / builds)
    for i, square in enumerate(squares):
        rest = earlier[0] + float(numpy.delete(squares, i).sum())
        if square > 0 and (rest <= 0 or square / (runs - 1) > quantile * rest / (df - runs + 1)):
            return None
    return total, df


def contrasts(values, weights, pooled, one_sided):
    """(centre, low, high) of each weighted sum of the builds' mean (signed
    log) figures, each bound Student's t at one_sided on the pooled variance."""
    from scipy import special
    squares, df = pooled
    means, n = values.mean(axis=0), len(values)
    quantile = special.stdtrit(df, 1 - one_sided)
    found = []
    for weight in weights:
        centre = float(numpy.dot(weight, means))
        half = quantile * math.sqrt(squares / df * numpy.dot(weight, weight) / n)
        found.append((centre, centre - half, centre + half))
    return found


def confirm(rounds, sign, threshold_pct, one_sided, earlier=None):
    """("differs" | "same" | None, interval of BAD against GOOD in log terms)
    from rounds of (GOOD, BAD). earlier: None for a timed step; for a counted
    one, the spread of the earlier steps' runs (pool's), whose noise it
    shares."""
    if len(rounds) < 2:
        return None, None
    values = logs(rounds, sign)
    pooled = None if earlier is None else pool(rounds, earlier)
    if pooled:
        found = contrasts(values, [(-1, 1)], pooled, one_sided)[0]
    else:
        found = interval(values[:, 1] - values[:, 0], one_sided)
    margin = math.log1p(threshold_pct / 100)
    if found[1] > margin:
        return "differs", found
    return ("same" if found[2] < margin else None), found


def classify(rounds, sign, threshold_pct, one_sided, earlier=None):
    """("good" | "bad" | "between" | None, intervals) from rounds of
    (start, midpoint, end): intervals of the midpoint against the start, of
    the end against the midpoint, and of the midpoint's distance above
    halfway, in log terms. earlier: as confirm's."""
    if len(rounds) < 2:
        return None, None
    values = logs(rounds, sign)
    pooled = None if earlier is None else pool(rounds, earlier)
    if pooled:
        found = dict(zip(("from_start", "to_end", "above_half"), contrasts(
            values, [(-1, 1, 0), (0, -1, 1), (-0.5, 1, -0.5)], pooled, one_sided)))
    else:
        rise, rest = values[:, 1] - values[:, 0], values[:, 2] - values[:, 1]
        found = {"from_start": interval(rise, one_sided), "to_end": interval(rest, one_sided),
                 "above_half": interval((rise - rest) / 2, one_sided)}
    margin = math.log1p(threshold_pct / 100)
    if found["from_start"][1] > margin and found["to_end"][1] > margin:
        return "between", found
    if found["above_half"][2] < 0:
        return "good", found
    if found["above_half"][1] > 0:
        return "bad", found
    return None, found


def midpoint(lo, hi, skipped):
    """The commit to test between lo and hi (indices), nearest the middle,
    skipped ones left out; None when none is left."""
    left = [i for i in range(lo + 1, hi) if i not in skipped]
    return min(left, key=lambda i: (abs(2 * i - lo - hi), i)) if left else None


def search(count, decide):
    """Bisects commits 0 (good) to count - 1 (bad), already shown to differ.
    decide(mid, lo, hi) says what mid is against the segment's ends: "good",
    "bad", "between" or "skip". Returns the changes found, each (lo, hi):
    lo like before, hi like after, and nothing between them but skipped
    commits; in commit order."""
    segments, changes, skipped = [(0, count - 1)], [], set()
    while segments:
        lo, hi = segments.pop()
        mid = midpoint(lo, hi, skipped)
        if mid is None:
            changes.append((lo, hi))
            continue
        verdict = decide(mid, lo, hi)
        if verdict == "skip":
            skipped.add(mid)
            segments.append((lo, hi))
        elif verdict == "good":
            segments.append((mid, hi))
        elif verdict == "bad":
            segments.append((lo, mid))
        else:  # between: a change on each side; the earlier one is searched first
            segments += [(mid, hi), (lo, mid)]
    return sorted(changes)
