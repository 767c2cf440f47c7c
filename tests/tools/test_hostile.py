"""What another local user, or a results file someone sent, can try against
the tool: links and locks planted in a shared directory, FIFOs and devices as
outputs, files too large to be results, text meant for a terminal or a
spreadsheet, look-alike labels, and a --resume of someone else's program.
The other user is nobody (the tests run as root); the shared directory is a
sticky one made here, fs.protected_symlinks left as the machine has it."""

import contextlib
import csv
import fcntl
import io
import json
import os
import resource
import shutil
import stat
import subprocess
import tempfile
import unittest

from sbench import compare, plan, results
from test_compare import TOOL, document, result, run_main

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE = os.path.join(HERE, "fake_bench.py")
NOBODY = 65534
ESCAPES = "\x1b]0;retitled\x07\x1b[2J"  # a terminal's new title, then a cleared screen


def as_nobody(*command):
    subprocess.run(["runuser", "-u", "nobody", "--", *command], check=True)


class Hostile(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="shaderbench-hostile-")
        self.addCleanup(shutil.rmtree, self.dir)
        os.chmod(self.dir, 0o755)  # nobody may reach the shared directory, not our files
        self.shared, self.precious, self.pair = (os.path.join(self.dir, name)
                                                 for name in ("shared", "precious", "pair"))
        os.mkdir(self.shared)
        os.chmod(self.shared, 0o1777)
        with open(self.precious, "w") as f:
            f.write("secret\n")
        os.chmod(self.precious, 0o600)
        os.mkdir(self.pair)
        for name in plan.PAIR:
            with open(os.path.join(self.pair, name), "w") as f:
                f.write("void main() {}\n")
        self.results = self.write(document([result("a", "p1", [1000] * 5, [50] * 5),
                                            result("b", "p1", [1100] * 5, [50] * 5)]))

    def write(self, content, name="r.json"):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(content if isinstance(content, str) else json.dumps(content))
        return path

    def assert_precious_untouched(self):
        with open(self.precious) as f:
            self.assertEqual((f.read(), stat.S_IMODE(os.stat(self.precious).st_mode)), ("secret\n", 0o600))

    def comparison(self, *argv):
        """A comparison of the fake, as far as it gets before it would start an X server."""
        return run_main("--binary", FAKE, "--shaders", self.pair, "-n", "1", *argv, "fake:FAKE_BENCH=ok")

    def test_links_and_locks_planted_in_a_shared_directory_are_refused_in_one_line(self):
        linked, theirs, link = (os.path.join(self.shared, name) for name in ("r.json", "s.json", "c.csv"))
        as_nobody("ln", "-s", self.precious, linked + ".lock")
        as_nobody("touch", theirs + ".lock")
        as_nobody("ln", "-s", self.precious, link)
        for (status, _, err), line in (
                (self.comparison("--json", linked), "r.json.lock cannot be taken: a symbolic link"),
                (self.comparison("--json", theirs), "belongs to another user (uid %d)" % NOBODY),
                (run_main("--report", self.results, "--csv", link),
                 "c.csv: a link owned by another user in a shared directory; not followed")):
            self.assertEqual((status, err.count("\n")), (2, 1), err)
            self.assertIn(line, err)
        self.assert_precious_untouched()
        # A link of our own there is followed as anywhere.
        os.symlink(os.path.join(self.dir, "ours.csv"), os.path.join(self.shared, "ours.csv"))
        self.assertEqual(run_main("--report", self.results, "--csv", os.path.join(self.shared, "ours.csv"))[0], 0)
        self.assertTrue(os.path.islink(os.path.join(self.shared, "ours.csv")))
        self.assertTrue(os.path.isfile(os.path.join(self.dir, "ours.csv")))

    def test_outputs_keep_their_mode_and_owner_and_fifos_devices_and_standard_output_are_written_in_place(self):
        private, theirs = os.path.join(self.dir, "private.csv"), os.path.join(self.dir, "theirs.csv")
        for path, mode in ((private, 0o600), (theirs, 0o640)):
            self.write("old\n", os.path.basename(path))
            os.chmod(path, mode)
        os.chown(theirs, NOBODY, NOBODY)
        fifo, device = os.path.join(self.dir, "fifo"), os.path.join(self.dir, "null")
        os.mkfifo(fifo)
        os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a /dev/null of our own
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # open first: the trace (a few KB) fits in the pipe
        self.addCleanup(os.close, reader)
        status, _, err = run_main("--report", self.results, "--csv", private, "--plot", theirs, "--trace-events", fifo,
                                  "--html", device)
        self.assertEqual(status, 0, err)
        found = [(stat.S_IMODE(s.st_mode), s.st_uid) for s in map(os.stat, (private, theirs))]
        self.assertEqual(found, [(0o600, 0), (0o640, NOBODY)])
        self.assertIn("traceEvents", json.loads(os.read(reader, 1 << 16)))
        self.assertEqual([stat.S_ISFIFO(os.stat(fifo).st_mode), stat.S_ISCHR(os.stat(device).st_mode)], [True, True])

        # Standard output, as - or /dev/stdout: the CSV alone, the table on standard error.
        for name in ("-", "/dev/stdout"):
            run = subprocess.run([TOOL, "--report", self.results, "--csv", name], capture_output=True, text=True,
                                 timeout=60)
            rows = list(csv.DictReader(io.StringIO(run.stdout)))
            self.assertEqual((run.returncode, [r["configuration"] for r in rows]), (0, ["a", "b"]), run.stderr)
            self.assertIn("median ms", run.stderr)
        self.assertIn("--json -: a results file is rewritten after every run", self.comparison("--json", "-")[2])

    def test_what_cannot_be_a_results_file_is_refused_before_it_is_read(self):
        huge = os.path.join(self.dir, "huge.json")
        with open(huge, "w") as f:
            f.truncate(results.MAX_BYTES + 1)  # sparse: takes no disk
        for path, line in (("/dev/zero", "not a results file (a NUL byte at byte 0)"),
                           (huge, "larger than a results file may be")):
            # Within a 1 GiB heap: reading the whole of either would end in a MemoryError.
            run = subprocess.run([TOOL, "--report", path], capture_output=True, text=True, timeout=60,
                                 preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_DATA, (1 << 30, 1 << 30)))
            self.assertEqual((run.returncode, run.stderr.count("\n")), (2, 1), run.stderr)
            self.assertIn(line, run.stderr)

    def test_text_from_a_results_file_reaches_no_terminal_or_spreadsheet_as_a_command(self):
        # A formula in every text cell; a verdict whose change is negative stays a number.
        found = [result("a", "p1", [1000] * 5, [50] * 5), result("=HYPERLINK(\"http://x\")", "p1", [900] * 5, [50] * 5)]
        found[0]["renderer"], found[1]["renderer"] = "@SUM(1)", "-2+3"
        table = os.path.join(self.dir, "t.csv")
        self.assertEqual(run_main("--report", self.write(document(found)), "--csv", table)[0], 0)
        with open(table) as f:
            rows = list(csv.DictReader(f))
        self.assertEqual([(r["configuration"], r["renderer"]) for r in rows],
                         [("a", "'@SUM(1)"), ("'=HYPERLINK(\"http://x\")", "'-2+3")])
        self.assertEqual(rows[1]["time_verdict"], "faster")
        self.assertLess(float(rows[1]["time_change_pct"]), 0)

        # Escapes, in --report's stopped line, --diff's failure and a lock's holder.
        stopped = dict(document(found), stopped="Stopped: " + ESCAPES)
        failed = dict(result("a", "p1", [], []), failure="no context" + ESCAPES)
        lock = self.write(ESCAPES, "l.json.lock")
        with open(lock, "r+") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            said = [run_main("--report", self.write(stopped, "s.json")),
                    run_main("--diff", self.write(document([failed]), "f.json"), self.results),
                    self.comparison("--json", os.path.join(self.dir, "l.json"))]
        self.assertEqual([text.count("\x1b") for _, out, err in said for text in (out, err)], [0] * 6)
        self.assertEqual([text for _, out, err in said for text in (out, err) if "\\x1b]0;retitled\\x07" in text],
                         [said[0][1], said[1][1], said[2][2]])

    def test_pairs_that_print_alike_get_their_own_labels_and_their_own_verdicts(self):
        self.assertEqual(plan.pair_labels(["/p1/c\udcff", "/p2/c\\xff", "/p2/d"]), ["p1/c\\xff", "p2/c\\xff", "d"])
        self.assertEqual(plan.pair_labels(["/p/c\udcff", "/p/c\\xff"]), ["c\\xff (1)", "c\\xff (2)"])
        # Saved with one label twice: b is slower on the second pair only, and its rows say so.
        found = [result("a", "q1", [1000] * 5, [50] * 5), result("a", "q2", [1000] * 5, [50] * 5),
                 result("b", "q1", [1000] * 5, [50] * 5), result("b", "q2", [1500] * 5, [50] * 5)]
        for r in found:
            r["shaders"]["label"] = "c\\xff"
        table = os.path.join(self.dir, "t.csv")
        status, text, _ = run_main("--report", self.write(document(found)), "--csv", table)
        with open(table) as f:
            self.assertEqual([r["time_verdict"] for r in csv.DictReader(f)], ["", "", "same", "slower"])
        self.assertEqual([line.split()[-2:] for line in text.splitlines()[4:6]], [["±2", "%"], ["+50.0", "%"]])

    def test_resume_shows_what_it_will_run_and_runs_no_program_of_another_user(self):
        script = os.path.join(self.dir, "bench")
        shutil.copy(FAKE, script)
        configs = [plan.parse_config("evil:LD_PRELOAD=/x/evil.so")]
        saved = results.new_document(plan.make_plan(configs, [(self.pair, "pair")], script, 3, "isolated", True, False),
                                     {"name": "h"})
        path = os.path.join(self.dir, "resume.json")
        results.save(path, saved)

        def prepare(*argv):
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                try:
                    compare.prepare(compare.parse_arguments(["--resume", path, *argv]), HERE)
                except compare.Refused as refused:
                    return str(refused), err.getvalue()
            return None, err.getvalue()

        os.chown(script, NOBODY, NOBODY)
        self.assertIn("names the binary %s, which belongs to another user (uid %d): give --binary" % (script, NOBODY),
                      prepare()[0])
        os.chown(script, 0, 0)
        os.chmod(script, 0o775)
        self.assertIn("which others can write", prepare()[0])
        self.assertEqual(prepare("--binary", script), (None, "compare: resuming %s: the binary %s (SHA-256 %s)\n"
                                                       "compare:   evil: LD_PRELOAD=/x/evil.so\n"
                                                       % (path, script, saved["binary"]["sha256"])))


if __name__ == "__main__":
    unittest.main(verbosity=2)
