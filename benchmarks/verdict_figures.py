#!/usr/bin/python3
"""The figures docs/statistics.md and docs/measurements.md give for the verdicts,
made again from the recorded A/A pools in tests/tools/data. Not run by ctest.

  benchmarks/verdict_figures.py levels          -n auto's looks and per-look levels (20 rounds)
  benchmarks/verdict_figures.py gate            the gate simulated at 4.1 and 11.9 % noise
  benchmarks/verdict_figures.py noise POOL      a pool's per-round noise and mean log ratio
  benchmarks/verdict_figures.py calibrate POOL  --calibrate's table on a pool
  benchmarks/verdict_figures.py results POOL    a pool as a results file, on standard output

POOL is a name in tests/tools/data/aa-llvmpipe-POOL.json.gz: sample, small, quick-24, quick-quiet-30.
Run from the project's root, with PYTHONPATH=tools:tests/tools."""

import gzip
import json
import os
import sys

import numpy

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)


def pool(name):
    path = os.path.join(ROOT, "tests", "tools", "data", "aa-llvmpipe-%s.json.gz" % name)
    with gzip.open(path, "rt") as f:
        return json.load(f)["rounds"]


def main(what, name=None):
    from sbench.analysis import calibration, sequential
    if what == "levels":
        print(sequential.looks(20), sequential.nominal_level(20, 2), sequential.nominal_level(20, 1))
    elif what == "gate":
        import test_compare
        for noise in (0.041, 0.119):
            for change in (0.0, 0.05, 0.10, 0.20):
                print(noise, change, test_compare.simulated(noise, change, draws=20000))
    elif what == "noise":
        r = numpy.array(pool(name))
        d = numpy.log(r[:, 1] / r[:, 0])
        # Rounds alternate their order: in even ones (counted from 0) b ran second.
        second = numpy.where(numpy.arange(len(d)) % 2 == 0, d, -d)
        print("rounds %d, noise %.4f, mean log ratio %.4f, second run's mean %.4f (sd %.4f)"
              % (len(r), d.std(ddof=1), d.mean(), second.mean(), second.std(ddof=1)))
    elif what == "calibrate":
        print(calibration.format_table(calibration.measure(pool(name))))
    elif what == "results":
        import test_compare
        rounds = pool(name)
        found = [test_compare.result(side, "shaders", [r[i] for r in rounds], [r[2 + i] for r in rounds])
                 for i, side in enumerate("ab")]
        json.dump(test_compare.document(found), sys.stdout)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(*sys.argv[1:3])
