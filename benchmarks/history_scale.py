#!/usr/bin/python3
"""A year of nightly CI in the history: COMMITS commits x 10 configurations x
3 shader pairs x 5 runs, each run with its per-program times and memory,
recorded into SQLite and into a PostgreSQL started for it; then `history`,
`changes --detect` and the page over everything. Prints runs recorded a
second, what the store grew by a run (and on what), and the time each
command took.

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
from sbench.results import document  # noqa: E402
from sbench.history import comparisons, series, store as stores  # noqa: E402

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
    return {"schema": document.SCHEMA, "complete": True, "created": "night %d" % commit,
            "host": {"name": "ci", "kernel": "6.1", "cpu": "EPYC", "cores": 2, "memory_mib": 24105},
            "binary": plan["binary"], "plan": plan, "results": found}


def size(url):
    """The store's bytes: SQLite's file once its WAL is checkpointed into it, PostgreSQL's database."""
    store = stores.connect(url)
    try:
        if store["kind"] == "sqlite":
            stores.execute(store, "PRAGMA wal_checkpoint(TRUNCATE)")
            return sum(os.path.getsize(url + suffix) for suffix in ("", "-wal") if os.path.exists(url + suffix))
        return stores.one(store, "SELECT pg_database_size(current_database()) AS n")["n"]
    finally:
        stores.close(store)


def spent(url):
    """{what: bytes}: each table (its heap, TOAST, indexes on PostgreSQL) and index, as the engine counts them."""
    store = stores.connect(url)
    try:
        if store["kind"] == "sqlite":
            return {r["name"]: r["n"] for r in stores.rows(store, "SELECT name, SUM(pgsize) AS n FROM dbstat "
                                                                  "GROUP BY name")}
        found = {}
        for r in stores.rows(store, """
                SELECT relname, pg_relation_size(oid) AS heap, pg_indexes_size(oid) AS indexes,
                       pg_total_relation_size(oid) - pg_relation_size(oid) - pg_indexes_size(oid) AS toast
                FROM pg_class WHERE relkind = 'r' AND relnamespace = 'public'::regnamespace"""):
            found.update({r["relname"]: r["heap"], r["relname"] + " indexes": r["indexes"],
                          r["relname"] + " TOAST": r["toast"]})
        return found
    finally:
        stores.close(store)


def timed(*argv):
    started = time.monotonic()
    subprocess.run([sys.executable, "tools/compare"] + list(argv), stdout=subprocess.DEVNULL, check=True)
    return time.monotonic() - started


def bench(url, commits, directory):
    """Records the nights one at a time (made again from their seeds: the same ones on each engine, and
    never all in memory at once, 30 MB each)."""
    stores.close(stores.connect(url))
    empty = size(url)
    store = stores.connect(url)
    started, making = time.monotonic(), 0.0
    for i in range(commits):
        made = time.monotonic()
        document = night(i, random.Random(20261209 + i))
        making += time.monotonic() - made
        commit = {"root": "r" * 40, "name": "driver", "sha": hashlib.sha1(b"%d" % i).hexdigest(), "position": i + 1}
        comparisons.write(store, document, {"c%d" % c: commit for c in range(1, CONFIGS)})
    recorded = time.monotonic() - started - making
    stores.close(store)
    runs = commits * CONFIGS * PAIRS * RUNS
    grown = size(url) - empty
    engine = "PostgreSQL" if url.startswith("postgresql") else "SQLite"
    print("%s: %d runs recorded in %.1f s (%.0f runs/s); the store grew by %.0f bytes a run (%d bytes empty)"
          % (engine, runs, recorded, runs / recorded, grown / runs, empty), flush=True)
    print("  bytes a run: " + ", ".join("%s %.0f" % (name, n / runs) for name, n in
                                        sorted(spent(url).items(), key=lambda x: -x[1]) if n / runs >= 5))
    history_s = timed("history", "--store", url, "--json", os.devnull)
    detect_s = timed("changes", "--store", url, "--detect")
    page = os.path.join(directory, engine + ".html")
    page_s = timed("history", "--store", url, "--html", page)
    store = stores.connect(url)
    points = sum(len(series.series_points(store, s["id"])) for s in series.series_list(store))
    stores.close(store)
    print("  history --json of %d points (%d series) in %.1f s; changes --detect %.1f s; history --html %.1f s "
          "(%.0f KiB)" % (points, CONFIGS * PAIRS * 2, history_s, detect_s, page_s, os.path.getsize(page) / 1024),
          flush=True)


def main():
    commits = int(sys.argv[1]) if len(sys.argv) > 1 else 365
    directory = tempfile.mkdtemp(prefix="history-scale-", dir="/tmp")
    pg, pg_dir = postgres.start()
    try:
        bench(os.path.join(directory, "history.sqlite"), commits, directory)
        bench(pg, commits, directory)
    finally:
        postgres.stop(pg_dir)
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
