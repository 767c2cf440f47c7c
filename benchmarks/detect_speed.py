#!/usr/bin/python3
"""How long the change detector takes over 30 series of 365 commits (a year
of nightly CI, 5 runs a commit at 4 % noise from the A/A pools; every fifth
series with a +6 % step at commit 200). Not run by ctest; docs/history.md
has its figures.

Usage: PYTHONPATH=tools benchmarks/detect_speed.py"""

import os
import time

import numpy

from sbench.history import detect, trials

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools", "data")
units = trials.noise_pool(DATA)
rng = numpy.random.default_rng(1)
series = [trials.history(units, rng, 365, [(200, 6.0)] if i % 5 == 0 else []) for i in range(30)]
started = time.monotonic()
found = sum(len(detect.detect(h)["changes"]) for h in series)
print("30 series x 365 commits (6 with a +6 %% step): %d changes in %.1f s" % (found, time.monotonic() - started))
