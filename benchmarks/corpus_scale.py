#!/usr/bin/python3
"""The corpus's costs. `saves`: a round of a 1000-pair corpus on two
configurations (2,000 runs, each with a per-program timeline as a real run
records it) saved after every run, as `save` wrote it whole and as a run's
saver writes it (each run encoded once), unpaced; prints each one's
seconds in all and at the round's last run, and the file's size. They
take too long to make them all: every STEP-th is timed and counted STEP
times. Paced, the saver's saves beyond PACED_BYTES take at most 1/PACE of
the round's time. bare: runs without their timeline, as a corpus run
keeps them by default.
`import DIR...`: a corpus made from every .shader_test under DIRs, timed,
with its pairs and skipped files by reason.

`run CORPUS OUT [PAIRS [BINARY A B]]`: a one-round comparison of a sample of
PAIRS (1000) of CORPUS on two configurations of the tests' fake benchmark (a
program that compiles nothing, so that what is timed is the tool), or of
BINARY on configurations A and B (`name:VAR=value`), written to OUT.json and
OUT.html; prints the wall time, the tool's own CPU time in all and a run (its
process alone, not the benchmark's nor the X servers'), and the two files'
sizes.

  benchmarks/corpus_scale.py saves [RUNS [bare]]      (from the checkout's root; 2000 by default)
  benchmarks/corpus_scale.py import DIR...
  benchmarks/corpus_scale.py run CORPUS OUT [PAIRS [BINARY A B]]
"""

import copy
import gzip
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, "tools")

from sbench.results import document as results  # noqa: E402

STEP = 50
DATA = os.path.join("tests", "tools", "data", "small-softpipe-llvmpipe.json.gz")


def saves(runs, bare):
    with gzip.open(DATA) as f:
        sample = json.load(f)
    run = sample["results"][0]["runs"][0]
    if bare:
        run = dict(run, program_ms=None, commit_kib=None, rss_kib=None, timeline="off")
    base = {k: v for k, v in sample["results"][0].items() if k != "calls"}
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "results.json")
        for name, save, step in (("whole", lambda doc: results.save(path, doc), STEP),
                                 ("saver", lambda doc, save=results.saver(path): save(doc, paced=False), STEP)):
            document = dict(sample, results=[dict(base, runs=[]) for _ in range(runs)])
            total = last = 0.0
            for i, result in enumerate(document["results"]):
                result["runs"].append(copy.deepcopy(run))
                if (i + 1) % step == 0 or i == runs - 1:
                    started = time.monotonic()
                    save(document)
                    last = time.monotonic() - started
                    total += last * step
            results.load(path)  # and it reads back
            print("%s: %d saves, %.1f s in all, %.3f s the last, %.0f MiB"
                  % (name, runs, total, last, os.path.getsize(path) / 2 ** 20))


def import_all(directories):
    with tempfile.TemporaryDirectory() as directory:
        output = os.path.join(directory, "corpus")
        started = time.monotonic()
        subprocess.run(["tools/compare", "corpus", "-o", output] + directories, check=True)
        print("%.1f s" % (time.monotonic() - started))


def run(corpus, out, pairs, binary=None, configurations=()):
    import resource
    from sbench import compare
    fake = os.path.join("tests", "tools", "fake_bench.py")
    configurations = list(configurations) or ["a:FAKE_JITTER=0.05", "b:FAKE_JITTER=0.05"]
    env = dict(os.environ)
    os.environ.pop("DISPLAY", None)  # each run on a private X server, as a user's
    started, before = time.monotonic(), resource.getrusage(resource.RUSAGE_SELF)
    status = compare.main(["run", "--corpus", corpus, "--sample", str(pairs), "--seed", "1", "-n", "1",
                           "--binary", binary or fake, "--json", out + ".json", "--html", out + ".html"]
                          + configurations, "tools")
    after = resource.getrusage(resource.RUSAGE_SELF)
    os.environ.clear()
    os.environ.update(env)
    own = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    print("status %s: %.1f s of wall time; the tool's own CPU %.1f s, %.1f ms a run (%d runs); results %.1f MiB,"
          " page %.1f MiB" % (status, time.monotonic() - started, own, own / (2 * pairs) * 1000, 2 * pairs,
                              os.path.getsize(out + ".json") / 2 ** 20, os.path.getsize(out + ".html") / 2 ** 20))


if __name__ == "__main__":
    if sys.argv[1:2] == ["run"]:
        run(sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 1000, *sys.argv[5:6], sys.argv[6:8])
    elif sys.argv[1:2] == ["saves"]:
        saves(int(sys.argv[2]) if len(sys.argv) > 2 else 2000, sys.argv[3:] == ["bare"])
    else:
        import_all(sys.argv[2:])
