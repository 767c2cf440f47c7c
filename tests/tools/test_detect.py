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
import psycopg

import postgres
from sbench.history import detect, found_changes, store as stores, trials

from test_bisect import BUILD, USE, History, empty_history, read
from test_compare import run_main
from test_counting import LOOP
from test_faults import FAKE, TOOL, until
from test_report import RECORDED

UNITS = trials.noise_pool(os.path.join(os.path.dirname(__file__), "data"))
PG = {}


def setUpModule():
    _, PG["dir"] = postgres.start()
    unittest.addModuleCleanup(postgres.stop, PG["dir"])


class Detector(unittest.TestCase):
    def test_unchanged_histories_stay_quiet_and_steps_and_creeps_are_found(self):
        # Floors a little below the full-size figures (docs/history.md), at 4 % noise a run.
        figures = trials.measure(UNITS, draws=24, false_commits=80)
        self.assertEqual([figures[k] >= floor for k, floor in (("found_at_4", 0.85), ("placed_at_4", 0.8),
                          ("found_by_8", 0.95), ("creep_found", 1.0))] + [figures["false_per_500"] <= 1.0], [True] * 5,
                         figures)
        # Three +2 % steps split only at the middle one: the means either side are diluted by the steps on them.
        runs = trials.history(UNITS, numpy.random.default_rng(386), 80, [(40 + 10 * k, 2.0) for k in range(3)])
        self.assertTrue(any(trials.near(c, 50, 11) for c in detect.detect(runs)["changes"]))

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


def nights(test, urls, repo, commits, levels, noise, seed=5):
    """A nightly comparison recorded at each commit into each store: llvmpipe at its level, softpipe (the
    reference) at 1000 ms, each commit's own binary."""
    night, rng = json.loads(gzip.decompress(pathlib.Path(RECORDED).read_bytes())), numpy.random.default_rng(seed)
    for number, (sha, level) in enumerate(zip(commits, levels)):
        libraries = [{"path": "/b/libfakedrv.so", "sha256": hashlib.sha256(sha.encode()).hexdigest()}]
        night["created"] = "2026-12-%02dT02:00:00" % (number + 1)
        for result, run in ((result, run) for result in night["results"] for run in result["runs"]):
            ms = level if result["configuration"] == "llvmpipe" else 1000
            run["ms"] = round(ms * math.exp(rng.normal(0, noise)))
            run["libraries"] = libraries
        path = os.path.join(test.dir, "night%d.json" % number)
        pathlib.Path(path).write_text(json.dumps(night))
        for url in urls:
            test.assertEqual(run_main("record", path, "--repo", repo, "--commit", "llvmpipe=" + sha, "--store", url)
                             [::2], (0, ""))


def stored(url, change_id, status=None):
    """(id, updated) of every change in the store at url, after setting change_id's status when given."""
    store = stores.connect(url)
    try:
        if status:
            found_changes.set_status(store, change_id, status)
        return stores.rows(store, "SELECT id, updated FROM changes ORDER BY id")
    finally:
        stores.close(store)


class Changes(History):
    def test_a_creep_is_detected_once_confirmed_over_its_range_and_bisected(self):
        """Two +3 % steps, at commits 4 and 8 of 12 (each commit its own version of the fake driver), a nightly
        comparison (0.5 % noise) at each into SQLite and PostgreSQL: the creep detected alike on both, confirmed
        by the commit before its range against its last, bisected and ignored."""
        repo, c = self.history([1000] * 4 + [1030] * 4 + [1061] * 4)
        urls = ["sqlite:///" + os.path.join(self.dir, "history.sqlite"),
                postgres.fresh_database(PG["dir"], "creep%d" % os.getpid())]
        nights(self, urls, repo, c, [1000] * 4 + [1030] * 4 + [1061] * 4, 0.005)
        listings = [os.path.join(self.dir, "changes%d.json" % i) for i in range(2)]
        for url, listing in zip(urls, listings):
            self.assertEqual(run_main("changes", "--detect", "--fail-on-new", "--json", listing, "--store", url)[0], 1)
        (change,), on_pg = (json.loads(read(path)) for path in listings)
        self.assertEqual(on_pg, [change], "the same answer from either store")
        self.assertEqual([change[k] for k in ("configuration", "measure", "before", "after", "range", "direction",
                                              "status", "commits")] + [abs(change["change_pct"] - 6.1) <= 1.5],
                         ["llvmpipe", "time", c[3], c[4], c[4:9], "slower", "detected", 1, True], change)
        note = "a known cost of \x1b[31mX"
        self.assertEqual(run_main("change", str(change["id"]), "--ignore", note, "--store", urls[1])[0], 0)
        self.assertIn("slower, ignored", run_main("changes", "--store", urls[1], "--json", listings[1])[1])
        self.assertEqual(json.loads(read(listings[1]))[0]["note"], note)
        # Confirmed and bisected by the tool as a user starts it: its builds and runs in processes of their own.
        # Its first step alone (+3 %) is within the threshold: the range is what is confirmed.
        judge = ["change", str(change["id"]), "--store", urls[0], "--repo", repo, "--build", BUILD, *USE, "--builds",
                 os.path.join(self.dir, "builds"), "--max-runs", "6", "--binary", FAKE, "--shaders", self.pair]
        for option, said in (("--confirm", "confirmed"), ("--bisect", "bisected to %s" % c[8])):
            done = subprocess.run([TOOL, *judge[:2], option, *judge[2:]], text=True, capture_output=True,
                                  env=dict(os.environ, TMPDIR=self.tmp))
            self.assertEqual((done.returncode, done.stdout.splitlines()[-1:], "where --bisect" in done.stdout),
                             (0, ["change %d: %s" % (change["id"], said)], False), done.stderr)  # its file is gone
        self.assertRegex(run_main("changes", "--store", urls[0])[1], r"llvmpipe small time\s+%s\.\.%s +1 commit .* "
                         r"slower, bisected at %s" % (c[3][:12], c[4][:12], c[8][:12]))
        html = os.path.join(self.dir, "h.html")
        self.assertTrue(run_main("history", "--store", urls[0], "--html", html)[0] == 0 and os.path.isfile(html))

    def test_steps_joined_into_a_creep_keep_one_row_and_a_detect_that_finds_nothing_new_writes_nothing(self):
        """Two +3 % steps, 6 nights apart, the nights at every third commit of a history of empty commits."""
        repo, c = empty_history(self.dir, 54)
        c = c[2::3]
        urls = [os.path.join(self.dir, "h.sqlite"), postgres.fresh_database(PG["dir"], "joined%d" % os.getpid())]
        nights(self, urls, repo, c, [1000] * 6 + [1030] * 6 + [1061] * 6, 0.005)
        html, listing = os.path.join(self.dir, "h.html"), os.path.join(self.dir, "changes.json")
        for url in urls:
            # Each step alone at a threshold of 3 %. On PostgreSQL two detects at once, let go together from a
            # lock the test holds: the second finds the first's changes, and spends no id on them.
            held = url.startswith("postgresql") and psycopg.connect(url, autocommit=False)
            if held:
                held.execute("LOCK TABLE changes IN ACCESS EXCLUSIVE MODE")
            spellings = ("--min-change", "--threshold")[:1 + bool(held)]  # the older one a script may use
            looks = [subprocess.Popen([TOOL, "changes", "--detect", spelling, "3", "--store", url],
                                      stdout=subprocess.DEVNULL) for spelling in spellings]
            if held:
                until(lambda: held.execute("SELECT COUNT(*) FROM pg_locks WHERE NOT granted").fetchone()[0] == 2,
                      "both detects waiting for the table")
                held.commit()
            self.assertEqual([look.wait() for look in looks], [0] * len(looks))
            # The first one's confirmation rejects it (it is under 5 %).
            self.assertEqual([c["id"] for c in stored(url, 1, "rejected")], [1, 2], url)
            if held:
                self.assertEqual(held.execute("SELECT last_value FROM pg_sequences WHERE sequencename = "
                                              "'changes_id_seq'").fetchone(), (2,))
                held.close()
            # At 5 %, the creep they make: its first step's commits, the rejected step found again in it.
            self.assertEqual(run_main("changes", "--detect", "--fail-on-new", "--json", listing, "--store", url)[0], 1)
            ((change,), ids) = json.loads(read(listing)), stored(url, 0)
            self.assertEqual([change[k] for k in ("id", "before", "after", "range", "status", "commits")],
                             [2, c[5], c[6], c[6:13], "detected", 3], url)
            status, out, _ = run_main("changes", "--detect", "--fail-on-new", "--store", url)
            self.assertEqual((status, stored(url, 0)), (0, ids), "nothing moved: nothing written")
            self.assertRegex(out, r" %s\.\.%s +3 commits " % (c[5][:12], c[6][:12]))
            # The page says the same, and a command that would run.
            self.assertEqual(run_main("history", "--store", url, "--html", html)[0], 0)
            self.assertIn("%s..%s (3 commits)" % (c[5][:12], c[6][:12]), read(html))
            self.assertIn("change 2 --confirm --repo DIR --build COMMAND --use ", read(html))
            for counter, says in (((), "nowhere"), (("--counter", "callgrind"), "goes with a change of instructions")):
                status, _, err = run_main("change", "2", "--confirm", *counter, "--repo", self.dir + "/nowhere",
                                          "--build", "true", "--use", "A=1", "--store", url)
                self.assertEqual((status, err.count("\n"), says in err), (2, 1, True), err)
            # Rejected, and found again where it was: it stays so.
            stored(url, 2, "rejected")
            self.assertEqual(run_main("changes", "--detect", "--fail-on-new", "--store", url)[0], 0)
            self.assertIn("slower, rejected", run_main("changes", "--store", url)[1])

    def counted_nights(self, urls, repo, commits, step_at):
        """A counted comparison of the fake-GL loop (ref, the reference; drv; same) made once, and recorded at
        each commit with its counts set: drv 1 % more from commit step_at on, same wobbling by ±0.02 %, each run
        0.01 % noise."""
        counted = os.path.join(self.dir, "counted.json")
        status, _, err = run_main("-n", "2", "--clock", "instructions", "--counter", "callgrind", "--binary", LOOP,
                                  "--display", "private", "--json", counted, "ref:X=1", "drv:X=2", "same:X=3")
        self.assertEqual(status, 0, err)
        rng = numpy.random.default_rng(11)
        for number, sha in enumerate(commits):
            night = json.loads(read(counted))
            level = {"ref": 1, "drv": 1.01 if number >= step_at else 1, "same": 1 + rng.uniform(-2e-4, 2e-4)}
            for result, run in ((result, run) for result in night["results"] for run in result["runs"]):
                run["instructions"] = round(7e9 * level[result["configuration"]] * math.exp(rng.normal(0, 1e-4)))
                run["libraries"] = [{"path": "/b/libfakedrv.so", "sha256": hashlib.sha256(sha.encode()).hexdigest()}]
            path = os.path.join(self.dir, "night%d.json" % number)
            pathlib.Path(path).write_text(json.dumps(dict(night, id="%032x" % number)))
            for url in urls:
                self.assertEqual(run_main("record", path, "--repo", repo, "--commit", "drv=" + sha, "--commit",
                                          "same=" + sha, "--store", url)[::2], (0, ""))

    def test_a_count_finds_a_one_percent_step_not_a_wobble_and_a_confirm_that_cannot_count_refuses(self):
        """12 commits, the step at 6, into SQLite and PostgreSQL."""
        repo, c = empty_history(self.dir, 12)
        urls = [os.path.join(self.dir, "h.sqlite"), postgres.fresh_database(PG["dir"], "counted%d" % os.getpid())]
        self.counted_nights(urls, repo, c, 6)
        listing = os.path.join(self.dir, "changes.json")
        for url in urls:
            self.assertEqual(run_main("changes", "--detect", "--min-change", "1", "--fail-on-new", "--json", listing,
                                      "--store", url)[0], 1)
            (change,) = json.loads(read(listing))
            self.assertEqual([change[k] for k in ("configuration", "measure", "before", "after", "direction")]
                             + [round(change["change_pct"], 1)], ["drv", "instructions", c[5], c[6],
                                                                  "more instructions", 1.0], change)
            # Counted runs make no series of time or memory: theirs are the counter's.
            self.assertEqual(run_main("history", "--store", url, "--measure", "time")[:2],
                             (1, "no series recorded that match\n"))
            page = os.path.join(self.dir, "h.html")
            out = run_main("history", "--store", url, "--config", "drv", "--last", "1", "--html", page)[1]
            self.assertRegex(out, r"^\S+ drv shaders instructions \(instructions counted by callgrind\)\n.*\n"
                                  r" +%s +12 +2 +70\d{8} " % c[-1][:12])
            self.assertEqual([text in read(page) for text in ("(instructions counted by callgrind)</h3>",
                                                              "% more instructions", "(ms)")], [True, True, False])
            # Its confirmation is a counted bisect with the counter named (the bisect's own on-count runs are
            # tested with it); where nothing can count, its one line says why.
            status, _, err = run_main("change", str(change["id"]), "--confirm", "--counter", "hardware", "--repo",
                                      repo, "--build", "true", "--use", "X=1", "--binary", LOOP, "--store", url)
            self.assertEqual((status, err.count("\n")), (2, 1), err)
            self.assertTrue(err.startswith("compare: cannot count instructions here: the hardware counter"), err)


if __name__ == "__main__":
    unittest.main()
