"""The change detector on histories of one driver's recorded runs against itself with steps put in: its error rates
at a reduced draw count (benchmarks/detect_rates.py: full size), its answers, and a built history end to end."""

import gzip
import hashlib
import json
import math
import os
import pathlib
import subprocess
import unittest

import numpy

import postgres
from sbench.history import detect, trials

from test_bisect import BUILD, USE, History, read
from test_compare import run_main
from test_faults import FAKE, TOOL
from test_report import RECORDED

UNITS = trials.noise_pool(os.path.join(os.path.dirname(__file__), "data"))


class Rates(unittest.TestCase):
    def test_unchanged_histories_stay_quiet_and_steps_and_creeps_are_found(self):
        # Floors a little below the full-size figures (docs/history.md), at 4 % noise a run.
        figures = trials.measure(UNITS, draws=24, false_commits=80)
        self.assertLessEqual(figures["false_per_500"], 1.0, figures)
        self.assertGreaterEqual(figures["found_at_4"], 0.85, figures)
        self.assertGreaterEqual(figures["placed_at_4"], 0.8, figures)
        self.assertGreaterEqual(figures["found_by_8"], 0.95, figures)
        self.assertEqual(figures["creep_found"], 1.0, figures)
        # Three +2 % steps split only at the middle one: the means either side are diluted by the steps on them.
        runs = trials.history(UNITS, numpy.random.default_rng(386), 80, [(40 + 10 * k, 2.0) for k in range(3)])
        self.assertTrue(any(trials.near(c, 50, 11) for c in detect.detect(runs)["changes"]))


class Answers(unittest.TestCase):
    def test_same_data_same_answer_and_no_change_between_identical_binaries(self):
        runs = trials.history(UNITS, numpy.random.default_rng(3), 30, [(15, -8.0)])
        first, again = detect.detect(runs), detect.detect([list(r) for r in runs])
        self.assertEqual(first, again)
        (change,) = first["changes"]
        self.assertEqual((change["index"], change["direction"]), (15, -1))
        self.assertAlmostEqual(change["change_pct"], -8.0, delta=2.0)
        self.assertEqual(first["seed"], detect.seed_of([numpy.log(r) for r in runs], [False] + [True] * 29 + [False],
                                                       first["parameters"]))
        # Commits 14 to 17 loaded what 13 loaded: the change can only be placed at 13 or 18.
        same = [i in (14, 15, 16, 17) for i in range(30)]
        (found,) = detect.detect(runs, same)["changes"]
        self.assertIn(found["index"], (13, 18))
        self.assertFalse(any(same[i] for i in found["candidates"]), found)
        self.assertEqual(detect.detect(runs[:7])["changes"], [], "fewer than 4 commits a side")


class Changes(History):
    """The fake driver +30 % from commit 5 of 10, a nightly comparison (3 % noise, each commit's binary) recorded at
    each into SQLite and PostgreSQL; the change detected alike on both, confirmed, bisected and ignored."""

    def test_detected_once_confirmed_and_bisected_to_its_commit(self):
        repo, c = self.history([1000 + i % 2 for i in range(5)] + [1300 + i % 2 for i in range(5)])
        pg, pg_dir = postgres.start()
        self.addCleanup(postgres.stop, pg_dir)
        stores = ["sqlite:///" + os.path.join(self.dir, "history.sqlite"), pg]
        night = json.loads(gzip.decompress(pathlib.Path(RECORDED).read_bytes()))
        rng = numpy.random.default_rng(5)
        for number, sha in enumerate(c):
            libraries = [{"path": "/b/libfakedrv.so", "sha256": hashlib.sha256(sha.encode()).hexdigest()}]
            night["created"] = "2026-12-%02dT02:00:00" % (number + 1)
            for result, run in ((result, run) for result in night["results"] for run in result["runs"]):
                run["ms"] = round((1300 if number >= 5 and result["configuration"] == "llvmpipe" else 1000)
                                  * math.exp(rng.normal(0, 0.03)))
                run["libraries"] = libraries
            path = os.path.join(self.dir, "night%d.json" % number)
            pathlib.Path(path).write_text(json.dumps(night))
            for url in stores:
                self.assertEqual(run_main("record", path, "--repo", repo, "--commit", "llvmpipe=" + sha, "--store", url)
                                 [::2], (0, ""))
        listings = [os.path.join(self.dir, "changes%d.json" % i) for i in range(2)]
        for url, listing in zip(stores, listings):
            for expected in (1, 0):  # the second time it is the same change, not a new one
                self.assertEqual(run_main("changes", "--detect", "--fail-on-new", "--json", listing, "--store", url)[0],
                                 expected)
        (change,), on_pg = (json.loads(read(path)) for path in listings)
        self.assertEqual(on_pg, [change], "the same answer from either store")
        self.assertEqual([change[k] for k in ("configuration", "measure", "before", "after", "direction", "status")]
                         + [c[5] in change["range"], abs(change["change_pct"] - 30.0) <= 4.0],
                         ["llvmpipe", "time", c[4], c[5], "slower", "detected", True, True], change)
        note = "a known cost of \x1b[31mX"
        self.assertEqual(run_main("change", str(change["id"]), "--ignore", note, "--store", stores[1])[0], 0)
        self.assertIn("slower, ignored", run_main("changes", "--store", stores[1], "--json", listings[1])[1])
        self.assertEqual(json.loads(read(listings[1]))[0]["note"], note)
        # Confirmed and bisected by the tool as a user starts it: its builds and runs in processes of their own.
        judge = ["change", str(change["id"]), "--store", stores[0], "--repo", repo, "--build", BUILD, *USE, "--builds",
                 os.path.join(self.dir, "builds"), "--max-runs", "6", "--binary", FAKE, "--shaders", self.pair]
        for option, said in (("--confirm", "confirmed"), ("--bisect", "bisected to %s" % c[5])):
            done = subprocess.run([TOOL, *judge[:2], option, *judge[2:]], text=True, capture_output=True,
                                  env=dict(os.environ, TMPDIR=self.tmp))
            self.assertEqual((done.returncode, done.stdout.splitlines()[-1:]), (0, ["change %d: %s" % (
                change["id"], said)]), done.stderr)
        self.assertRegex(run_main("changes", "--store", stores[0])[1], r"llvmpipe small time\s+%s\.\.%s .* "
                         r"slower, bisected at %s" % (c[4][:12], c[5][:12], c[5][:12]))
        html = os.path.join(self.dir, "h.html")
        self.assertTrue(run_main("history", "--store", stores[0], "--html", html)[0] == 0 and os.path.isfile(html))


if __name__ == "__main__":
    unittest.main()
