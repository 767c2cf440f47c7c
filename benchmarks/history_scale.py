#!/usr/bin/python3
"""A year of nightly CI in the history: COMMITS commits x 10 configurations x
3 shader pairs x 5 runs, each run with its per-program times and memory,
recorded into SQLite and into a PostgreSQL started for it; then `history`
over everything. Prints runs recorded a second, bytes a run in the store,
and the time history took.

  benchmarks/history_scale.py [COMMITS]      (from the checkout's root; 365 by default)
"""

import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, "tools")
sys.path.insert(0, os.path.join("tests", "tools"))

import postgres  # noqa: E402
from sbench import results  # noqa: E402
from sbench.history import record, series, store as stores  # noqa: E402

CONFIGS, PAIRS, RUNS = 10, 3, 5


def night(commit, rng):
    """One night's results: every configuration on every pair, as the loader would pass them."""
    configurations = [{"name": "c%d" % c, "environment": {"LD_LIBRARY_PATH": "/opt/c%d" % c}, "expect": None}
                      for c in range(CONFIGS)]
    pairs = [{"directory": "/p%d" % p, "label": "p%d" % p,
              "files": {"a": {"size": 1, "sha256": "%064x" % p}}} for p in range(PAIRS)]
    found = []
    for config in configurations:
        for pair in pairs:
            runs = []
            for number in range(1, RUNS + 1):
                program = [rng.gauss(1.0, 0.05) for _ in range(1000)]
                base = 200000 + rng.randrange(1000)
                commit_kib = [base + 220 * i + rng.randrange(8) for i in range(1000)]
                runs.append({"run": number, "ms": int(sum(program)), "commit_mib": commit_kib[-1] >> 10,
                             "cpu_ms": sum(program) * 0.98, "link_failures": 0, "program_ms": program,
                             "commit_kib": commit_kib, "rss_kib": [k - 9000 for k in commit_kib],
                             "timeline": "recorded"})
            found.append({"configuration": config["name"], "environment": config["environment"],
                          "renderer": "llvmpipe", "gl_version": "4.5", "cache": "isolated", "shaders": pair,
                          "failure": None, "runs": runs, "failed_runs": []})
    plan = {"runs": RUNS, "cache": "isolated", "timeline": True, "calls": False, "binary": {"path": "/b",
            "sha256": "0" * 64}, "configurations": configurations, "shaders": pairs, "against": "c0"}
    return {"schema": results.SCHEMA, "complete": True, "created": "night %d" % commit,
            "host": {"name": "ci", "kernel": "6.1", "cpu": "EPYC", "cores": 2, "memory_mib": 24105},
            "binary": plan["binary"], "plan": plan, "results": found}


def size(url, directory):
    if not url.startswith("postgresql"):
        return sum(os.path.getsize(url + suffix) for suffix in ("", "-wal") if os.path.exists(url + suffix))
    store = stores.connect(url)
    try:
        return stores.one(store, "SELECT pg_database_size(current_database()) AS n")["n"]
    finally:
        stores.close(store)


def bench(url, nights, directory):
    store = stores.connect(url)
    started = time.monotonic()
    for i, document in enumerate(nights):
        commit = {"root": "r" * 40, "name": "driver", "sha": hashlib.sha1(b"%d" % i).hexdigest(), "position": i + 1}
        record.write(store, document, "night-%d" % i, {"c%d" % c: commit for c in range(1, CONFIGS)})
    recorded = time.monotonic() - started
    stores.close(store)
    started = time.monotonic()
    shown = subprocess.run([sys.executable, "tools/compare", "history", "--store", url, "--json", os.devnull],
                           stdout=subprocess.DEVNULL, check=True)
    history_s = time.monotonic() - started
    store = stores.connect(url)
    points = sum(len(series.series_points(store, s["id"])) for s in series.series_list(store, measure="time"))
    stores.close(store)
    runs = len(nights) * CONFIGS * PAIRS * RUNS
    print("%s: %d runs recorded in %.1f s (%.0f runs/s); %.0f bytes a run in the store; history of %d points "
          "(%d series) in %.1f s" % ("PostgreSQL" if url.startswith("postgresql") else "SQLite", runs, recorded,
                                     runs / recorded, size(url, directory) / runs, points,
                                     CONFIGS * PAIRS * 2, history_s), flush=True)
    del shown


def main():
    commits = int(sys.argv[1]) if len(sys.argv) > 1 else 365
    rng = random.Random(20261209)
    nights = [night(i, rng) for i in range(commits)]
    directory = tempfile.mkdtemp(prefix="history-scale-", dir="/tmp")
    pg, pg_dir = postgres.start()
    try:
        bench(os.path.join(directory, "history.sqlite"), nights, directory)
        bench(pg, nights, pg_dir)
    finally:
        postgres.stop(pg_dir)
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
