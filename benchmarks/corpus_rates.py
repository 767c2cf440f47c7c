#!/usr/bin/python3
"""How often the corpus verdict errs, and how many pairs it calls hurt or
helped by chance: comparisons of a corpus simulated run by run (a run is the
unit: each pair's runs vary about its own time, each round drifts both sides
alike), with no change anywhere (A/A) and with known changes put in, judged
by the tool's own code (analysis/corpus.py). The figures are in
docs/statistics.md ("The corpus verdict"). Not run by ctest.

  benchmarks/corpus_rates.py [DRAWS [CASE...]]   the table (default 500 draws a case, seed 20261209),
                                                 or its rows CASE (numbered from 0)

Run from the project's root, with PYTHONPATH=tools."""

import sys

import numpy

SEED = 20261209
PAIRS, ROUNDS = 200, 5


def run(ms, mib, number, link_failures=0):
    return {"run": number, "ms": max(1, int(round(ms))), "commit_mib": mib, "cpu_ms": None, "cpu_us": None,
            "link_failures": link_failures, "program_ms": None, "commit_kib": None, "rss_kib": None}


def simulated(rng, changes, noise=0.029, rounds=ROUNDS, stray=0.0, no_link=()):
    """A results document of a corpus of len(changes) pairs, a against b:
    pair i's time changed by changes[i] (a fraction) on b; each run's noise
    noise (a log's standard deviation; 2.9 % gives 4.1 % a round), each
    pair's own noise within a third of it either way; stray: the share of
    runs 40 % slower; no_link: (pair, configuration) that fail to link."""
    shaders, results = [], []
    for i, change in enumerate(changes):
        directory = "/corpus/%d" % i
        shaders.append({"directory": directory, "label": "p%d" % i, "files": {"vertex.glsl": {"sha256": str(i)}},
                        "source": {"file": "corpus/game/shader_%d.shader_test" % i,
                                   "section": "vertex shader:1, fragment shader:9"}})
        # A run is 1000 programs: 3 s for the median pair, 0.6 to 14 s for 95 % of them.
        base, mib = 3000 * numpy.exp(rng.normal(0, 0.8)), int(rng.integers(20, 200))
        sigma, drift = noise * numpy.exp(rng.uniform(-0.3, 0.3)), rng.normal(0, 0.05, rounds)
        for name, factor in (("a", 1.0), ("b", 1.0 + change)):
            times = base * factor * numpy.exp(drift + rng.normal(0, sigma, rounds))
            times *= numpy.where(rng.random(rounds) < stray, 1.4, 1.0)
            failing = (i, name) in no_link
            runs = [run(times[0], mib, 1, 3)] if failing else [run(t, mib, n + 1) for n, t in enumerate(times)]
            results.append({"configuration": name, "environment": {}, "renderer": name, "gl_version": None,
                            "cache": "isolated", "failed_runs": [], "runs": runs,
                            "failure": "3 of 1000 programs failed to link" if failing else None,
                            "shaders": {"directory": directory, "label": "p%d" % i,
                                        "files": {"vertex.glsl": {"sha256": str(i)}}}})
    plan = {"runs": rounds, "cache": "isolated", "timeline": False, "calls": False,
            "binary": {"path": "/bin/true", "sha256": "0"}, "threshold": 5.0,
            "configurations": [{"name": n, "environment": {}, "expect": None} for n in "ab"], "shaders": shaders,
            "corpus": {"directory": "corpus", "sample": len(changes), "seed": 1, "filter": None}}
    return {"schema": "shaderbench-compare/2", "complete": True, "host": {"name": "simulated"},
            "binary": plan["binary"], "plan": plan, "results": results}


CASES = (  # (what, each pair's change, per-run noise, stray runs, threshold %)
    ("A/A", lambda: [0.0] * PAIRS, 0.029, 0.0, 5),
    ("A/A, threshold 0", lambda: [0.0] * PAIRS, 0.029, 0.0, 0),
    ("A/A, noisy (11.9 % a round)", lambda: [0.0] * PAIRS, 0.084, 0.0, 5),
    ("A/A, noisy, threshold 0", lambda: [0.0] * PAIRS, 0.084, 0.0, 0),
    ("A/A, a run in 20 40 % slower, threshold 0", lambda: [0.0] * PAIRS, 0.029, 0.05, 0),
    ("one pair +30 %", lambda: [0.30] + [0.0] * (PAIRS - 1), 0.029, 0.0, 5),
    ("20 pairs +20 %", lambda: [0.20] * 20 + [0.0] * (PAIRS - 20), 0.029, 0.0, 5),
    ("20 pairs +20 %, 20 pairs -20 %, threshold 0", lambda: [0.20] * 20 + [-0.20] * 20 + [0.0] * (PAIRS - 40),
     0.029, 0.0, 0),
    ("changes spread about 0 (5 % a pair)", lambda: list(numpy.random.default_rng(1).normal(0, 0.05, PAIRS)),
     0.029, 0.0, 5),
    ("every pair +5 % (on the margin)", lambda: [0.05] * PAIRS, 0.029, 0.0, 5),
    ("every pair +6 %", lambda: [0.06] * PAIRS, 0.029, 0.0, 5),
    ("every pair +10 %", lambda: [0.10] * PAIRS, 0.029, 0.0, 5),
)


def rates(draws, changes, noise, stray, threshold, rng):
    """The share of draws the corpus time verdict said slower and faster,
    the gate's passed, failed and not settled, the pairs called hurt and
    helped a draw (mean), the share of draws with a wrong call, and the
    false discovery proportion (mean over draws, 0 without calls)."""
    from sbench.analysis import corpus
    counts = numpy.zeros(9)
    for _ in range(draws):
        document = simulated(rng, changes, noise, stray=stray)
        word = corpus.judge(document, threshold, gate=False)["configurations"][0]["time"]["verdict"]
        judged = corpus.judge(document, threshold, gate=True)
        status = corpus.gate_text(judged)[0]
        pairs = judged["configurations"][0]["pairs"]
        # A call is right only where the pair's change lies beyond the threshold on the side called.
        edge = threshold / 100
        wrong = sum(row["called"] is not None and not (changes[i] > edge if row["called"] == "hurt"
                                                       else changes[i] < -edge) for i, row in enumerate(pairs))
        called = sum(row["called"] is not None for row in pairs)
        counts += [word == "slower", word == "faster", status == 0, status == 1, status == 3,
                   sum(row["called"] == "hurt" for row in pairs), sum(row["called"] == "helped" for row in pairs),
                   wrong > 0, wrong / called if called else 0.0]
    return counts / draws


def main(draws=500, *cases):
    rng = numpy.random.default_rng(SEED)
    print("| case | said slower | said faster | gate passed | gate failed | not settled | hurt a draw "
          "| helped a draw | a wrong call | false discovery proportion |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for what, changes, noise, stray, threshold in [CASES[i] for i in cases] or CASES:
        found = rates(draws, changes(), noise, stray, threshold, rng)
        cells = (["%.1f %%" % (100 * x) for x in found[:5]] + ["%.2f" % x for x in found[5:7]]
                 + ["%.1f %%" % (100 * x) for x in found[7:]])
        print("| %s | %s |" % (what, " | ".join(cells)), flush=True)


if __name__ == "__main__":
    main(*[int(a) for a in sys.argv[1:]])
