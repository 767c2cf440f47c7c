"""How often the change detector errs, on histories made from real runs.

The noise comes from recorded A/A pools (one driver against itself under
two names, interleaved): each round's paired ratio, standardised within its
pool, is one run's noise, scaled to the per-run noise asked for (4 % by
default), so the histories keep the shape of real runs, heavy tails
included. A commit's runs are drawn from the pooled rounds without repeats
within the commit; a step multiplies every run from a known commit on.
Every draw is seeded, so the figures are the same on every machine.
"""

import gzip
import json
import os

import numpy

from . import detect

NOISE = 0.04
RUNS = 5  # a commit's runs in a nightly comparison
BEFORE = 40
SEED = 20261209
# The wall-clock A/A pools the figures were measured on, by name, so that a pool recorded later
# (another clock, another load) changes no figure until it is added here.
POOLS = ("aa-llvmpipe-quick-24.json.gz", "aa-llvmpipe-quick-quiet-30.json.gz", "aa-llvmpipe-sample.json.gz",
         "aa-llvmpipe-small.json.gz")


def noise_pool(directory):
    """Unit-scale per-run noise: every round's log(B/A) of each of POOLS in
    directory, standardised within its pool."""
    units = []
    for path in (os.path.join(directory, name) for name in POOLS):
        with gzip.open(path, "rt") as f:
            rounds = numpy.array(json.load(f)["rounds"], dtype=float)
        ratios = numpy.log(rounds[:, 1] / rounds[:, 0])
        units.append((ratios - ratios.mean()) / ratios.std(ddof=1))
    return numpy.concatenate(units)


def history(units, rng, commits, steps=(), noise=NOISE, runs=RUNS):
    """Per commit its runs (ratios to the reference); steps: (index, pct)."""
    level = numpy.zeros(commits)
    for index, pct in steps:
        level[index:] += numpy.log1p(pct / 100)
    return [numpy.exp(noise * units[rng.choice(len(units), runs, replace=False)] + level[i]) for i in range(commits)]


def near(change, index, slack=1):
    return change["direction"] > 0 and change["low"] - slack <= index <= change["high"] + slack


def measure(units, draws=100, false_commits=100, seed=SEED, most_after=8, noise=NOISE, **parameters):
    """{false_per_500, found_at_4, placed_at_4, found_by[most_after], creep_found, ...}:
    false changes per 500 commits of unchanged histories; for a +5 % step
    after BEFORE commits, the share found (a rise whose range reaches within
    a commit of it) when 4 commits follow it, the share placed within one
    commit then, and the share found once at most most_after follow; for
    three +2 % steps 10 commits apart with 20 after, the share where a rise
    covers one of them."""
    rng = numpy.random.default_rng(seed)
    false = sum(len(detect.detect(history(units, rng, false_commits, noise=noise), **parameters)["changes"])
                for _ in range(draws))
    found_at_4 = placed_at_4 = found_by = creeps = 0
    for _ in range(draws):
        grown = history(units, rng, BEFORE + most_after, [(BEFORE, 5.0)], noise=noise)
        for after in range(4, most_after + 1):
            changes = detect.detect(grown[:BEFORE + after], **parameters)["changes"]
            hit = [c for c in changes if near(c, BEFORE)]
            if after == 4:
                found_at_4 += bool(hit)
                placed_at_4 += any(abs(c["index"] - BEFORE) <= 1 for c in hit)
            if hit:
                found_by += 1
                break
        steps = [(BEFORE + 10 * k, 2.0) for k in range(3)]
        changes = detect.detect(history(units, rng, BEFORE + 40, steps, noise=noise), **parameters)["changes"]
        creeps += any(near(c, BEFORE + 10, slack=11) for c in changes)
    return {"draws": draws, "false_per_500": false / (draws * false_commits) * 500, "found_at_4": found_at_4 / draws,
            "placed_at_4": placed_at_4 / draws, "found_by_%d" % most_after: found_by / draws,
            "creep_found": creeps / draws}
