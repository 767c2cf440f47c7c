"""Changes along a driver's history: E-divisive (Matteson and James, 2014).

One observation per commit on the first-parent line: the logarithm of the
median of its runs (or of its runs' paired ratios to a reference that ran
beside it). E-divisive estimates change points by hierarchical bisection:
the divergence between two samples X (n values) and Y (m values),

    E(X, Y; a) = 2/(nm) sum|x - y|^a - C(n,2)^-1 sum|x - x'|^a - C(m,2)^-1 sum|y - y'|^a,

with a in (0, 2), is zero only when both come from one distribution.
Within a segment, X = Z[s:t] and Y = Z[t:k]; the split t (with the end k
searched too) that maximises the scaled divergence Q = nm/(n+m) E is the
candidate. Of all segments, the one with the largest Q is tested: the
observations are permuted within each segment, the statistic recomputed,
and the candidate kept when the permutation p-value is at most the
significance level; then the next bisection, until one is not kept. The
permutations are seeded from the data, so the same data always gives the
same answer.

Commits whose loaded libraries are byte-identical to the previous commit's
cannot differ: no split is considered between them. A statistical change is
reported only when its size is beyond the noise (its interval, from the
scatter of commits and of runs within commits, excludes no change) and may
reach the threshold (the interval's far end reaches it: a change of exactly
the threshold is found as often as one above). Neighbouring changes of one
direction, each too small, are joined into one creep when together they
pass. Where nothing joins them, the segments either side may hide the rest
of the creep (bisection stopped before its steps were split apart, and
each segment's mean dilutes the level it reaches): each is split once more
at its own best split, and where that moves the creep's way, the level
before (or after) is read from the part away from the creep and the whole
span judged.
"""

import hashlib

import numpy

NAME = "e-divisive"
VERSION = "2"
PARAMETERS = {"alpha": 1.0, "significance": 0.05, "permutations": 199, "min_size": 4, "threshold_pct": 5.0,
              "z": 1.96, "reach_z": 2.326, "location_chi2": 6.63, "search_end": False}


def seed_of(values, movable, parameters):
    """A seed from the data themselves: SHA-256 of the values' bytes, where
    splits may go, and the parameters."""
    digest = hashlib.sha256()
    for v in values:
        digest.update(numpy.asarray(v, dtype="<f8").tobytes() + b";")
    digest.update(numpy.asarray(movable, dtype="u1").tobytes() + repr(sorted(parameters.items())).encode())
    return int.from_bytes(digest.digest()[:8], "little") & (2 ** 63 - 1)  # fits a signed BIGINT


def best_split(d, allowed, min_size, search_end):
    """(Q, t) of the best split of one segment, for each of a stack of
    distance matrices d (|z_i - z_j|^a, one per ordering of the segment),
    given which local split positions are allowed."""
    length = d.shape[-1]
    taus = numpy.flatnonzero(allowed[min_size:length - min_size + 1]) + min_size
    if not len(taus):
        return numpy.full(len(d), -numpy.inf), None
    if not search_end:
        # Y runs to the segment's end: only p[t, t] and p[t, length] are needed.
        q = _to_end(d.sum(2), 2 * numpy.tril(d, -1).sum(2) + numpy.diagonal(d, axis1=1, axis2=2), taus)
        return q.max(axis=1), int(taus[numpy.argmax(q[0])])
    p = numpy.zeros((len(d), length + 1, length + 1))
    p[:, 1:, 1:] = d.cumsum(1).cumsum(2)
    # p[i, j] sums d over rows < i and columns < j, and d is symmetric: for X
    # = [0, t) and Y = [t, k), the sums over X x Y, X x X and Y x Y are
    # p[t, k] - p[t, t], p[t, t] and p[k, k] - 2 p[t, k] + p[t, t].
    n = taus[:, None].astype(float)
    m = numpy.arange(length + 1)[None, :] - n
    valid = (m >= min_size) & (search_end | (m == length - n))
    m = numpy.where(valid, m, 2.0)
    # Q = nm/(n+m) (2 between/(nm) - within_x/(n(n-1)) - within_y/(m(m-1))), gathered by term.
    c1, c2, c3 = 1 / (n + m), m / ((n + m) * (n - 1)), n / ((n + m) * (m - 1))
    rows, diagonal = p[:, taus, :], p[:, numpy.arange(length + 1), numpy.arange(length + 1)]
    q = rows * (2 * c1 + 2 * c3) - diagonal[:, taus, None] * (2 * c1 + c2 + c3) - diagonal[:, None, :] * c3
    q = numpy.where(valid, q, -numpy.inf).reshape(len(d), -1)
    row = numpy.argmax(q[0]) // (length + 1)
    return q.max(axis=1), int(taus[row])


def _to_end(row_sums, lower, taus):
    """Q at each split t in taus where Y runs to the segment's end, for each
    ordering: row_sums[i] sums d over row i, lower[i] twice over the columns
    before i (and the diagonal), both in the ordering's order."""
    length = row_sums.shape[-1]
    rows = numpy.zeros((len(row_sums), length + 1))
    rows[:, 1:] = row_sums.cumsum(1)
    corner = numpy.zeros((len(row_sums), length + 1))
    corner[:, 1:] = lower.cumsum(1)
    n, m = taus.astype(float), (length - taus).astype(float)
    pt, pk, pl = corner[:, taus], rows[:, taus], corner[:, -1:]
    return n * m / (n + m) * (2 * (pk - pt) / (n * m) - pt / (n * (n - 1)) - (pl - 2 * pk + pt) / (m * (m - 1)))


def earlier_distances(x, orders):
    """For each ordering o of x (a row of orders), sum over j < i of
    |x[o_i] - x[o_j]|, at each i: what the distance matrix's lower triangle
    sums to by row (a = 1), in O(n log n) an ordering rather than O(n^2).

    Each pair j < i is counted at the one level of halving where j lies in
    the left half of a block and i in its right half. At each level the
    blocks are sorted by value, so that a cumulative sum gives, for each i
    on the right, how many values on the left are below it (c, summing to
    s): it is then x_i c - s + (the left's sum - s) - x_i (h - c)."""
    count, n = orders.shape
    v = x - x.mean()  # the same distances, less cancellation in the sums
    rank = numpy.empty(n, dtype=numpy.int64)
    rank[numpy.argsort(v, kind="stable")] = numpy.arange(n)
    ranks, values = rank[orders], v[orders]
    position = numpy.arange(n)
    found = numpy.zeros((count, n))
    h = 1
    while h < n:
        block = position // (2 * h)
        right = (position // h) % 2 == 1
        by_value = numpy.argsort(block * n + ranks, axis=1)  # each block's span, in the order of its values
        sorted_values = numpy.take_along_axis(values, by_value, 1)
        on_left = ~right[by_value]
        below_count = numpy.cumsum(on_left, axis=1)
        below_sum = numpy.cumsum(numpy.where(on_left, sorted_values, 0.0), axis=1)
        start = block * 2 * h - 1  # the index before the block's span, the same sorted or not
        before = numpy.maximum(start, 0)
        c = below_count - numpy.where(start >= 0, below_count[:, before], 0)
        below = below_sum - numpy.where(start >= 0, below_sum[:, before], 0.0)
        left_sums = numpy.cumsum(numpy.where(right, 0.0, values), axis=1)
        left_total = left_sums[:, numpy.minimum(block * 2 * h + h, n) - 1] - numpy.where(
            start >= 0, left_sums[:, before], 0.0)
        part = numpy.where(on_left, 0.0, sorted_values * (2 * c - h) - 2 * below + left_total)
        numpy.put_along_axis(part, by_value, part.copy(), 1)
        found += part
        h *= 2
    return found


def segment_test(z, movable, start, end, parameters, seed):
    """(Q, split, null) for the segment z[start:end]: null(n) gives the Q of
    its first n permutations, each computed once, when first asked for."""
    local = z[start:end]
    d = numpy.abs(local[:, None] - local[None, :]) ** parameters["alpha"]
    allowed = numpy.zeros(len(local) + 1, dtype=bool)
    allowed[1:len(local)] = movable[start + 1:end]
    q, t = best_split(d[None], allowed, parameters["min_size"], parameters["search_end"])
    if t is None:
        return -numpy.inf, None, lambda n: numpy.full(n, -numpy.inf)
    rng = numpy.random.default_rng([seed, start, end])
    orders = numpy.array([rng.permutation(len(local)) for _ in range(parameters["permutations"])])
    batch = max(1, 2 ** 20 // len(local) ** 2)
    done = []
    sorted_sums = parameters["alpha"] == 1 and not parameters["search_end"]
    taus = numpy.flatnonzero(allowed[parameters["min_size"]:len(local) - parameters["min_size"] + 1]) \
        + parameters["min_size"]

    def null(n):
        while len(done) < n:
            if sorted_sums:  # no permuted matrix: its row sums are d's, permuted; its lower triangle, by sorting
                o = orders[len(done):n]
                done.extend(_to_end(d.sum(1)[o], 2 * earlier_distances(local, o), taus).max(axis=1))
                continue
            o = orders[len(done):min(n, len(done) + batch)]
            done.extend(best_split(d[o[:, :, None], o[:, None, :]], allowed, parameters["min_size"],
                                   parameters["search_end"])[0])
        return numpy.array(done[:n])
    return float(q[0]), start + t, null


def change_points(z, movable, parameters, seed):
    """[(split, p-value)] in the order found, by hierarchical bisection. The
    permutations stop as soon as more of them reach the statistic than a
    significant p-value allows (Besag and Clifford's sequential test: the
    same decision as all of them, at a fraction of the cost where nothing is
    found)."""
    bounds, tests, found = [0, len(z)], {}, []
    total = parameters["permutations"]
    allowed = parameters["significance"] * (total + 1) - 1
    while True:
        for s, e in zip(bounds, bounds[1:]):
            if (s, e) not in tests:
                tests[s, e] = segment_test(z, movable, s, e, parameters, seed)
        current = [tests[s, e] for s, e in zip(bounds, bounds[1:])]
        q, split, _ = max(current, key=lambda x: x[0])
        if split is None:
            return found
        for n in list(range(20, total, 20)) + [total]:
            reached = int(numpy.sum(numpy.max([x[2](n) for x in current], axis=0) >= q - 1e-12 * abs(q)))
            if reached > allowed:
                return found
        p_value = (1 + reached) / (total + 1)
        found.append((split, p_value))
        bounds = sorted(bounds + [split])


def location_range(z, movable, start, split, end, chi2):
    """low..high: the allowed splits in [start, end) whose two-mean fit is
    within chi2 residual variances of the fit at split (a profile
    likelihood interval for where the change lies)."""
    def rss(t):
        return ((z[start:t] - z[start:t].mean()) ** 2).sum() + ((z[t:end] - z[t:end].mean()) ** 2).sum()
    best = rss(split)
    limit = best + chi2 * max(best / max(end - start - 2, 1), 1e-12)
    low = high = split
    while low - 1 > start and (not movable[low - 1] or rss(low - 1) <= limit):
        low -= 1
    while high + 1 < end and (not movable[high + 1] or rss(high + 1) <= limit):
        high += 1
    while not movable[low]:
        low += 1
    while not movable[high]:
        high -= 1
    return low, high


def moved(z, noise_sd, counts, before, after):
    """(change in log, its standard error) from the commits in before to
    those in after. A commit's scatter is the larger of what the commits of
    the two ranges show and what its runs' noise gives it."""
    zb, za = z[before[0]:before[1]], z[after[0]:after[1]]
    delta = za.mean() - zb.mean()
    spread = numpy.sqrt((((zb - zb.mean()) ** 2).sum() + ((za - za.mean()) ** 2).sum()) / max(len(zb) + len(za) - 2, 1))
    commit_var = numpy.maximum(spread ** 2, noise_sd ** 2 / counts)
    se = numpy.sqrt(commit_var[before[0]:before[1]].sum() / len(zb) ** 2
                    + commit_var[after[0]:after[1]].sum() / len(za) ** 2)
    return delta, se


def passes(delta, se, parameters):
    """Whether a change is beyond the noise and able to reach the threshold."""
    threshold = numpy.log1p(parameters["threshold_pct"] / 100)
    return abs(delta) > parameters["z"] * se and abs(delta) + parameters["reach_z"] * se >= threshold


def drift(z, movable, start, end, sign, parameters):
    """(start, split, end) where the segment z[start:end] moves the way sign
    says at its own best split (searched as any segment's is, tested by
    nothing but its direction), or None."""
    if end - start < 2 * parameters["min_size"]:
        return None
    local = z[start:end]
    allowed = numpy.zeros(len(local) + 1, dtype=bool)
    allowed[1:len(local)] = movable[start + 1:end]
    d = numpy.abs(local[:, None] - local[None, :]) ** parameters["alpha"]
    t = best_split(d[None], allowed, parameters["min_size"], parameters["search_end"])[1]
    if t is None or numpy.sign(z[start + t:end].mean() - z[start:start + t].mean()) != sign:
        return None
    return start, start + t, end


def detect(runs, same_binary=None, **overrides):
    """runs: per commit, oldest first, its positive figures (ms, MiB or
    ratios to a reference); same_binary: per commit, whether its loaded
    libraries are byte-identical to the previous commit's. Returns the
    detector's name, version, parameters and seed, the segments
    [(first, end, mean)] and the changes found, oldest first: index (first
    commit of the new level), low..high (where that first commit may lie) and
    candidates (the commits in it but those of the same binary as the one
    before), change_pct, p_value, before_mean and after_mean, direction (+1 or -1),
    and steps (the indices of the steps a creep is made of)."""
    parameters = dict(PARAMETERS, **overrides)
    logs = [numpy.log(numpy.asarray(r, dtype=float)) for r in runs]
    z = numpy.array([numpy.median(x) for x in logs])
    counts = numpy.array([len(x) for x in logs], dtype=float)
    movable = numpy.ones(len(z) + 1, dtype=bool)
    movable[0] = movable[len(z)] = False
    if same_binary is not None:
        movable[1:len(z)] &= ~numpy.asarray(same_binary, dtype=bool)[1:]
    seed = seed_of(logs, movable, parameters)
    spreads = [(len(x) - 1, x.var(ddof=1)) for x in logs if len(x) > 1]
    noise_sd = numpy.sqrt(sum(k * v for k, v in spreads) / sum(k for k, _ in spreads)) if spreads else 0.0
    points = sorted(change_points(z, movable, parameters, seed)) if len(z) >= 2 * parameters["min_size"] else []
    bounds = [0] + [t for t, _ in points] + [len(z)]
    segments = [(s, e, float(numpy.exp(z[s:e].mean()))) for s, e in zip(bounds, bounds[1:])]
    changes, pending = [], []

    def report(steps, p_value):
        """steps: [(start, split, end)], each split with the segment around it."""
        before, after = steps[0][:2], steps[-1][1:]
        delta, se = moved(z, noise_sd, counts, before, after)
        if not passes(delta, se, parameters):
            return False
        low = location_range(z, movable, *steps[0], parameters["location_chi2"])[0]
        high = location_range(z, movable, *steps[-1], parameters["location_chi2"])[1]
        # The commits the new level may start at: a same-binary commit cannot be one.
        candidates = [i for i in range(low, high + 1) if movable[i]]
        changes.append({"index": steps[0][1], "low": low, "high": high, "candidates": candidates,
                        "change_pct": float(numpy.expm1(delta) * 100), "p_value": p_value,
                        "before_mean": float(numpy.exp(z[before[0]:before[1]].mean())),
                        "after_mean": float(numpy.exp(z[after[0]:after[1]].mean())),
                        "direction": 1 if delta > 0 else -1, "steps": [split for _, split, _ in steps]})
        return True

    def kept(run):
        return [(bounds[i], bounds[i + 1], bounds[i + 2]) for i in run], max(points[i][1] for i in run)

    def rise(i):
        return numpy.sign(z[bounds[i + 1]:bounds[i + 2]].mean() - z[bounds[i]:bounds[i + 1]].mean())

    def close(run):
        # A run of small splits that nothing joined. Where the segments either side move its way too
        # (a creep whose steps the bisection did not split apart), the levels they dilute are read
        # from the parts away from it, and the whole span is judged.
        if not run:
            return
        steps, p_value = kept(run)
        earlier = drift(z, movable, *steps[0][:2], rise(run[0]), parameters)
        later = drift(z, movable, *steps[-1][1:], rise(run[0]), parameters)
        if earlier or later:
            report(([earlier] if earlier else []) + steps + ([later] if later else []), p_value)

    for i in range(len(points)):
        if report(*kept([i])):
            close(pending)
            pending = []
            continue
        if pending and rise(pending[-1]) != rise(i):
            close(pending)
            pending = []
        pending.append(i)
        if len(pending) > 1 and report(*kept(pending)):
            pending = []
    close(pending)
    changes.sort(key=lambda c: c["index"])
    return {"detector": NAME, "version": VERSION, "parameters": parameters, "seed": seed,
            "segments": segments, "changes": changes}
