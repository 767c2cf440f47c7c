#!/usr/bin/python3
"""The change detector's error rates at full size, on histories made from
the recorded A/A pools the tests use (see tools/sbench/history/trials.py).
Not run by ctest; docs/history.md has its figures.

Usage: PYTHONPATH=tools benchmarks/detect_rates.py [DRAWS [NOISE]]"""

import json
import os
import sys
import time

from sbench.history import trials

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools", "data")

draws = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
noise = float(sys.argv[2]) if len(sys.argv) > 2 else trials.NOISE
units = trials.noise_pool(DATA)
started = time.monotonic()
figures = trials.measure(units, draws=draws, noise=noise)
figures["seconds"] = round(time.monotonic() - started, 1)
figures["noise"] = noise
print(json.dumps(figures, indent=1))
