"""What another local user (nobody: the tests run as root) or a shared results file can try: links and locks
planted in a sticky directory (fs.protected_symlinks as the machine has it), FIFOs and devices as outputs, files
too large to be results, terminal escapes and formulas in text, look-alike labels, another user's program."""

import csv
import fcntl
import json
import os
import pathlib
import resource
import shutil
import stat
import subprocess
import unittest

from sbench.results import document as results
from sbench.running import plan
from test_compare import ROOT, TOOL, document, result, run_main
from test_faults import FAKE, as_nobody, for_nobody

NOBODY = 65534
ESCAPES = "\x1b]0;retitled\x07\x1b[2J"  # a terminal's new title, then a cleared screen


class Hostile(unittest.TestCase):

    def setUp(self):
        self.dir = for_nobody(self)  # nobody may reach the shared directory in it
        os.mkdir(self.path("shared"))
        os.chmod(self.path("shared"), 0o1777)
        self.results = self.write(document([result("a", times=[1000] * 5), result("b", times=[1100] * 5)]))

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, content, name="r.json"):
        pathlib.Path(self.path(name)).write_text(content if isinstance(content, str) else json.dumps(content))
        return self.path(name)

    def comparison(self, *argv):  # refused before an X server starts, or it would run the fake
        return run_main("--binary", FAKE, "-n", "1", *argv, "fake:FAKE_BENCH=ok")

    def test_links_and_locks_of_another_user_are_refused_and_outputs_keep_their_mode_or_are_written_in_place(self):
        os.chmod(self.write("secret\n", "precious"), 0o600)
        for command in (["ln", "-s", self.path("precious"), self.path("shared/r.json.lock")], ["ln", "-s",
                        self.path("precious"), self.path("shared/c.csv")], ["touch", self.path("shared/s.json.lock")]):
            self.assertEqual(as_nobody(self, *command).stderr, "")
        for (status, _, err), line in (
                (self.comparison("--json", self.path("shared/r.json")), "r.json.lock cannot be taken: a symbolic link"),
                (self.comparison("--json", self.path("shared/s.json")), "belongs to another user (uid %d)" % NOBODY),
                (self.comparison("--json", "-"), "a results file is rewritten after every run"),
                (run_main("--report", self.results, "--csv", self.path("shared/c.csv")), "link owned by another user")):
            self.assertEqual((status, err.count("\n"), line in err), (2, 1, True), err)
        with open(self.path("precious")) as f:
            self.assertEqual((f.read(), stat.S_IMODE(os.stat(f.fileno()).st_mode)), ("secret\n", 0o600))

        # A private file and one of nobody's are replaced as they were; a FIFO and a device are written into.
        for name, mode, owner in (("private.csv", 0o600, 0), ("theirs.png", 0o640, NOBODY)):
            os.chmod(self.write("old\n", name), mode)
            os.chown(self.path(name), owner, owner)
        os.mkfifo(self.path("fifo"))
        os.mknod(self.path("null"), stat.S_IFCHR, os.makedev(1, 3))  # a /dev/null of our own
        reader = os.open(self.path("fifo"), os.O_RDONLY | os.O_NONBLOCK)  # first: the trace (a few KB) fits in it
        self.addCleanup(os.close, reader)
        self.assertEqual(run_main("--report", self.results, *(x for option, name in (
            ("--csv", "private.csv"), ("--plot", "theirs.png"), ("--trace-events", "fifo"), ("--html", "null"))
            for x in (option, self.path(name))))[0], 0)
        found = [os.stat(self.path(name)) for name in ("private.csv", "theirs.png", "fifo", "null")]
        self.assertEqual([(stat.S_IFMT(s.st_mode), stat.S_IMODE(s.st_mode), s.st_uid) for s in found[:2]]
                         + [stat.S_IFMT(s.st_mode) for s in found[2:]],
                         [(stat.S_IFREG, 0o600, 0), (stat.S_IFREG, 0o640, NOBODY), stat.S_IFIFO, stat.S_IFCHR])
        self.assertIn("traceEvents", json.loads(os.read(reader, 1 << 16)))
        for name in ("-", "/dev/stdout"):  # standard output has the CSV alone; the table goes to standard error
            run = subprocess.run([TOOL, "--report", self.results, "--csv", name], capture_output=True, text=True)
            self.assertEqual((run.returncode, run.stdout.split("\n")[1][:2], "median ms" in run.stderr),
                             (0, "a,", True))

        # What cannot be a results file is refused before it is read whole (which would not fit in 1 GiB).
        os.truncate(self.write("", "huge.json"), results.MAX_BYTES + 1)  # sparse: takes no disk
        for path, line in (("/dev/zero", "(a NUL byte at byte 0)"), (self.path("huge.json"), "larger than a results")):
            run = subprocess.run([TOOL, "--report", path], capture_output=True, text=True,
                                 preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_DATA, (1 << 30, 1 << 30)))
            self.assertEqual((run.returncode, run.stderr.count("\n"), line in run.stderr), (2, 1, True), run.stderr)

    def test_text_from_a_results_file_reaches_no_terminal_or_spreadsheet_as_a_command_nor_the_wrong_row(self):
        # A formula in every text cell; a verdict whose change is negative stays a number.
        found = [result("a", "p1", [1000] * 5, [50] * 5), result('=HYPERLINK("http://x")', "p1", [900] * 5, [50] * 5)]
        found[0]["renderer"], found[1]["renderer"] = "@SUM(1)", "-2+3"
        self.assertEqual(run_main("--report", self.write(document(found)), "--csv", self.path("t.csv"))[0], 0)
        rows = [[r[k] for k in ("configuration", "renderer", "time_verdict", "time_change_pct")]
                for r in csv.DictReader(pathlib.Path(self.path("t.csv")).read_text().splitlines())]
        self.assertEqual(rows[0][:3] + rows[1][:3], ["a", "'@SUM(1)", "", "'=HYPERLINK(\"http://x\")", "'-2+3",
                                                     "faster"])
        self.assertLess(float(rows[1][3]), 0)

        # Escapes, in --report's stopped line, --diff's failure and a lock's holder.
        failed = dict(result("a", "p1", [], []), failure="no context" + ESCAPES)
        with open(self.write(ESCAPES, "l.json.lock"), "r+") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            said = [run_main("--report", self.write(dict(document(found), stopped="Stopped: " + ESCAPES), "s.json")),
                    run_main("--diff", self.write(document([failed]), "f.json"), self.results),
                    self.comparison("--json", self.path("l.json"))]
        self.assertEqual([text.count("\x1b") for _, out, err in said for text in (out, err)], [0] * 6)
        self.assertEqual([text for _, out, err in said for text in (out, err) if "\\x1b]0;retitled\\x07" in text],
                         [said[0][1], said[1][1], said[2][2]])

        # Pairs that print alike get labels of their own; saved with one label twice, each row has its verdict.
        self.assertEqual(plan.pair_labels(["/p1/c\udcff", "/p2/c\\xff", "/p2/d"]), ["p1/c\\xff", "p2/c\\xff", "d"])
        self.assertEqual(plan.pair_labels(["/p/c\udcff", "/p/c\\xff"]), ["c\\xff (1)", "c\\xff (2)"])
        found = [dict(result(name, pair, [ms] * 5, [50] * 5), shaders=dict(result(name, pair, [], [])["shaders"],
                                                                           label="c\\xff"))
                 for name, pair, ms in (("a", "q1", 1000), ("a", "q2", 1000), ("b", "q1", 1000), ("b", "q2", 1500))]
        text = run_main("--report", self.write(document(found)))[1]
        self.assertEqual([line.split()[-2:] for line in text.splitlines()[4:6]], [["±5", "%"], ["+50.0", "%"]])

    def test_resume_shows_what_it_would_run_and_runs_no_program_of_another_user(self):
        script, path = shutil.copy(FAKE, self.path("bench")), self.path("resume.json")
        pairs = [(plan.find_pair(os.path.join(ROOT, "shaders")), "pair")]
        saved = results.new_document(plan.make_plan([plan.parse_config("evil:LD_PRELOAD=/x/evil.so")], pairs, script,
                                                    3, "isolated", True, False), {"name": "h"})
        results.save(path, saved)
        os.chown(script, NOBODY, NOBODY)
        self.assertEqual(run_main("--resume", path), (2, "", (
            "compare: resuming {0}: the binary {1} (SHA-256 {2})\ncompare:   evil: LD_PRELOAD=/x/evil.so\n"
            "compare: {0} names the binary {1}, which belongs to another user (uid {3}): give --binary {1} to run it "
            "all the same\n"
        ).format(path, script, saved["binary"]["sha256"], NOBODY)))
        os.chown(script, 0, 0)
        os.chmod(script, 0o775)
        self.assertIn("which others can write", run_main("--resume", path)[2])
        # Named again, it is taken: what refuses this one is the run count.
        self.assertIn("a different plan: runs is 9", run_main("--resume", path, "--binary", script, "-n", "9")[2])


if __name__ == "__main__":
    unittest.main(verbosity=2)
