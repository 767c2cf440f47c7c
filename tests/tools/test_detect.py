"""The change detector on histories made from recorded runs of one driver
against itself (the A/A pools), with steps put in at known commits: its
error rates at a reduced draw count (benchmarks/detect_rates.py measures
them at full size), the same answer on the same data, and the same-binary
rule."""

import hashlib
import json
import math
import os
import subprocess
import unittest

import numpy

import postgres
from sbench.history import detect, trials

from test_bisect import BUILD, USE, History, read
from test_faults import FAKE, TOOL

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
        for found in detect.detect(runs, same)["changes"]:
            self.assertIn(found["index"], (13, 18))
            self.assertFalse(any(same[i] for i in found["candidates"]), found)
        self.assertEqual(detect.detect(runs[:7])["changes"], [], "fewer than 4 commits a side")


def made_history(series=2, commits=30, hostile="</script><b id=x>&amp;\x1b[31m"):
    """gather()'s plain data: series of commits with a step at two thirds, and a change stored at it."""
    rng, found = numpy.random.default_rng(11), []
    for s in range(series):
        runs = trials.history(UNITS, rng, commits, [(commits * 2 // 3, 6.0)])
        shas = [hashlib.sha1(b"%d %d" % (s, i)).hexdigest() for i in range(commits)]
        points = [{"position": i + 1, "commit": sha, "recorded": "2026-12-09T00:00:00", "runs": list(r * 100),
                   "median": float(numpy.median(r * 100)), "interval": [float(r.min() * 100), float(r.max() * 100)]}
                  for i, (sha, r) in enumerate(zip(shas, runs))]
        step = commits * 2 // 3
        found.append({"machine": "m", "configuration": hostile if s == 0 else "c%d" % s, "shaders": "small",
                      "measure": "time", "unit": "ms", "points": points,
                      "changes": [{"id": s + 1, "before_sha": shas[step - 1], "after_sha": shas[step],
                                   "range": shas[step - 1:step + 1], "change_pct": 6.0, "direction": "slower",
                                   "status": "detected", "culprit": "", "note": ""}]})
    return found


class Page(unittest.TestCase):
    def test_the_page_draws_each_series_and_its_changes_newest_first_with_hostile_text_as_text(self):
        import shutil
        import tempfile
        from selenium.webdriver.common.by import By
        from sbench.history import page
        from test_report import start_browser
        directory = tempfile.mkdtemp(prefix="shaderbench-page-")
        self.addCleanup(shutil.rmtree, directory)
        browser = start_browser(directory)
        self.addCleanup(browser.quit)
        path = os.path.join(directory, "history.html")
        page.write(path, made_history(3, 30), last=25)
        browser.get("file://" + path)
        browser.execute_script("window.shaderbench.drawAll()")
        rows = [r.text for r in browser.find_elements(By.CSS_SELECTOR, "table.changes tbody tr")]
        self.assertEqual([r.split()[0] for r in rows], ["3", "2", "1"])
        self.assertIn("</script><b id=x>&amp;\\x1b[31m", rows[2])
        self.assertEqual(browser.find_elements(By.ID, "x"), [])
        drawn = browser.execute_script("""return window.shaderbench.charts.map((c) => [c.data.datasets.map((d) =>
            d.data.length), c.scales.x.ticks.length > 0])""")
        # 25 commits of 5 runs; two levels as steps; one marker, at the step (commit 20, the 15th of the last 25).
        self.assertEqual(drawn, [[[125, 25, 25, 25, 6, 1], True]] * 3)
        self.assertEqual(browser.execute_script("return window.shaderbench.data.series[0].changes[0].x"), 15)
        self.assertEqual([e for e in browser.get_log("browser") if e["level"] == "SEVERE"], [])


class Changes(History):
    """A built history of the fake driver (+30 % from commit 12 of 18), a
    nightly comparison recorded at each commit (runs with 3 % noise, and each
    commit's own binary) into SQLite and into a PostgreSQL, then the change
    detected (the same on both), confirmed, bisected to its commit and
    ignored from the command line."""

    def compare(self, *argv):
        proc = subprocess.run([TOOL, *argv], text=True, capture_output=True, env=dict(os.environ, TMPDIR=self.tmp))
        return proc.returncode, proc.stdout, proc.stderr

    def test_detected_once_confirmed_and_bisected_to_its_commit(self):
        repo, c = self.history([1000 + i % 2 for i in range(12)] + [1300 + i % 2 for i in range(6)])
        store = "sqlite:///" + os.path.join(self.dir, "history.sqlite")
        pg, pg_dir = postgres.start()
        self.addCleanup(postgres.stop, pg_dir)
        status, out, err = self.tool("run", "-n", "3", "--json", self.json, "ref:FAKE_BENCH=ok", "new:FAKE_BENCH=ok")
        self.assertEqual(status, 0, err)
        with open(self.json) as f:
            night = json.load(f)
        rng = numpy.random.default_rng(5)
        for number, sha in enumerate(c):
            night["created"] = "2026-12-%02dT02:00:00" % (number + 1)
            for result in night["results"]:
                for run in result["runs"]:
                    run["ms"] = round((1300 if number >= 12 and result["configuration"] == "new" else 1000)
                                      * math.exp(rng.normal(0, 0.03)))
                    run["libraries"] = [{"path": "/b/libfakedrv.so",
                                         "sha256": hashlib.sha256(sha.encode()).hexdigest()}]
            path = os.path.join(self.dir, "night%d.json" % number)
            with open(path, "w") as f:
                json.dump(night, f)
            for url in (store, pg):
                status, out, err = self.compare("record", path, "--repo", repo, "--commit", "new=" + sha,
                                                "--store", url)
                self.assertEqual(status, 0, err)
        listings = []
        for url in (store, pg):
            listings.append(os.path.join(self.dir, "changes%d.json" % len(listings)))
            for expected in (1, 0):  # the second time it is the same change, not a new one
                status, out, err = self.compare("changes", "--detect", "--fail-on-new", "--json", listings[-1],
                                                "--store", url)
                self.assertEqual(status, expected, (out, err))
        (change,), on_pg = (json.loads(read(path)) for path in listings)
        self.assertEqual(on_pg, [change], "the same answer from either store")
        note = "a known cost of \x1b[31mX"
        self.assertEqual(self.compare("change", str(change["id"]), "--ignore", note, "--store", pg)[0], 0)
        self.assertEqual(json.loads(self.compare("changes", "--store", pg, "--json", "-")[1])[0]["note"], note)
        self.assertIn("slower, ignored", self.compare("changes", "--store", pg)[1])
        self.assertEqual({k: change[k] for k in ("configuration", "measure", "before", "after", "direction", "status")},
                         {"configuration": "new", "measure": "time", "before": c[11], "after": c[12],
                          "direction": "slower", "status": "detected"})
        self.assertIn(c[12], change["range"])
        self.assertAlmostEqual(change["change_pct"], 30.0, delta=4.0)
        judge = ["change", str(change["id"]), "--store", store, "--repo", repo, "--build", BUILD, *USE,
                 "--builds", os.path.join(self.dir, "builds"), "--max-runs", "6", "--binary", FAKE, "--shaders",
                 self.pair]
        for option, said in (("--confirm", "confirmed"), ("--bisect", "bisected to %s" % c[12])):
            status, out, err = self.compare(*judge[:2], option, *judge[2:])
            self.assertEqual((status, out.splitlines()[-1:]), (0, ["change %d: %s" % (change["id"], said)]), err)
        status, out, err = self.compare("changes", "--store", store)
        self.assertRegex(out, r"new pair time\s+%s\.\.%s .* slower, bisected at %s" % (
            c[11][:12], c[12][:12], c[12][:12]))
        status, out, err = self.compare("history", "--store", store, "--html", os.path.join(self.dir, "h.html"))
        self.assertEqual(status, 0, err)


if __name__ == "__main__":
    unittest.main()
