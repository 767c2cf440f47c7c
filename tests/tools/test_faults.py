"""What survives: hangs, crashes, garbage, interrupts and SIGKILL of the
comparison tool, bad arguments refused before anything runs, and resuming.
Fake benchmarks (fake_bench.py) do the misbehaving; one real run on softpipe
is interrupted and resumed."""

import contextlib
import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from sbench import observe, plan

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.path.join(ROOT, "tools", "compare")
FAKE = os.path.join(HERE, "fake_bench.py")
BINARY = os.path.abspath(os.environ.get("SHADERBENCH", os.path.join(ROOT, "build", "shaderbench")))
PR_SET_CHILD_SUBREAPER = 36

# Whatever the tool leaves running when it ends becomes our child: we can see it.
ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1)


def leftovers(grace=3.0):
    """[(pid, name)] of what the tool left running, the zombies reaped."""
    deadline = time.monotonic() + grace
    while True:
        with contextlib.suppress(ChildProcessError):
            while os.waitpid(-1, os.WNOHANG)[0]:
                pass
        with open("/proc/self/task/%d/children" % os.getpid()) as f:
            found = [int(pid) for pid in f.read().split()]
        if not found or time.monotonic() > deadline:
            return [(pid, open("/proc/%d/cmdline" % pid).read().replace("\0", " ")) for pid in found]
        time.sleep(0.1)


class ToolCase(unittest.TestCase):
    """The tool run as a user runs it, in a directory of its own, with a TMPDIR
    of its own so that nothing it leaves there goes unseen."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="shaderbench-faults-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.tmp, self.json, self.marker, self.pair = (os.path.join(self.dir, name)
                                                       for name in ("tmp", "r.json", "started", "pair"))
        os.makedirs(os.path.join(self.pair, "shaders"))
        os.mkdir(self.tmp)
        for name, statement in zip(plan.PAIR, ("gl_Position = vec4(0.0);", "gl_FragColor = vec4(1.0);")):
            with open(os.path.join(self.pair, "shaders", name), "w") as f:
                f.write("void main() { %s }\n" % statement)

    def start(self, *argv, binary=FAKE):
        env = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
        return subprocess.Popen([TOOL, "--binary", binary, "--shaders", self.pair, *argv], text=True,
                                env=dict(env, TMPDIR=self.tmp), stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def tool(self, *argv, binary=FAKE):
        proc = self.start(*argv, binary=binary)
        out, err = proc.communicate(timeout=240)
        return proc.returncode, out, err

    def saved(self):
        with open(self.json) as f:
            return json.load(f)

    def assert_nothing_left(self):
        self.assertEqual(leftovers(), [])
        self.assertEqual(os.listdir(self.tmp), [], "working or cache directories left behind")

    def interrupt_after_first_run(self, proc, signum):
        """Sends signum once the first run is saved and the second has started."""
        next(line for line in proc.stderr if " 1/3] " in line)
        time.sleep(0.4)
        proc.send_signal(signum)
        return proc.communicate(timeout=60)


class Faults(ToolCase):

    def test_hangs_crashes_and_garbage_are_recorded_and_the_other_runs_go_on(self):
        status, out, err = self.tool(
            "-n", "3", "--stall-timeout", "1", "--json", self.json, "good:FAKE_BENCH=ok",
            "hang:FAKE_BENCH=hang:5", "crash:FAKE_BENCH=crash:517", "missing:FAKE_BENCH=exit:-1",
            "flaky:FAKE_BENCH=crash:3,FAKE_ONLY_RUN=2,FAKE_MARKER=" + self.marker, "garbage:FAKE_BENCH=garbage")
        self.assertEqual((status, "Traceback" in err), (1, False), err)
        self.assert_nothing_left()
        for row in (r"good +pair +isolated +3 +0 +1234 ", r"hang +pair +isolated +0 +3 +- ",
                    r"flaky +pair +isolated +2 +1 +1234 "):
            self.assertRegex(out, "\n" + row)
        self.assertIn("\nmissing pair: FAILED: exited with status 1 before its first program: Unable to load file\n",
                      out)
        document = self.saved()
        found = {r["configuration"]: r for r in document["results"]}
        self.assertEqual({name: (len(r["runs"]), [(f["run"], f["reason"], f["programs"]) for f in r["failed_runs"]])
                          for name, r in found.items()}, {
            "good": (3, []),
            "hang": (0, [(n, "hung after program 5: no output for 1 s", 6) for n in (1, 2, 3)]),
            "crash": (0, [(n, "crashed (SIGSEGV) after program 517", 518) for n in (1, 2, 3)]),
            "missing": (0, [(1, "exited with status 1 before its first program: Unable to load file", 0)]),
            "flaky": (2, [(2, "crashed (SIGSEGV) after program 3", 4)]),
            "garbage": (0, [(n, "unexpected output: 'something else'", 1000) for n in (1, 2, 3)])})
        self.assertEqual([document["complete"]] + [found["crash"]["failed_runs"][0][key] for key in ("signal", "stderr")],
                         [True, "SIGSEGV", ["fake: about to crash"]])

    def test_interrupts_and_sigkill_keep_every_finished_run_and_resume_completes_the_plan(self):
        # The second run hangs (for a minute, if nobody stopped it); the first is kept.
        argv = ["-n", "3", "--json", self.json, "--stall-timeout", "60",
                "fake:FAKE_BENCH=hang:3,FAKE_ONLY_RUN=2,FAKE_MARKER=" + self.marker]
        for signum, status in ((signal.SIGTERM, 143), (signal.SIGINT, 130), (signal.SIGKILL, -9)):
            os.remove(self.marker) if os.path.exists(self.marker) else None
            proc = self.start(*argv)
            out, err = self.interrupt_after_first_run(proc, signum)
            self.assertEqual(proc.returncode, status, err)
            document = self.saved()
            self.assertEqual((document["complete"], len(document["results"][0]["runs"])), (False, 1), signum)
            if signum == signal.SIGKILL:  # nothing could stop the fake's own child
                time.sleep(1)
                [os.kill(pid, signal.SIGKILL) for pid, _ in leftovers(grace=0)]
                shutil.rmtree(self.tmp)  # and its directories
                os.mkdir(self.tmp)
                continue
            self.assertRegex(out, r"\nfake +pair +isolated +1 +1234 ")
            self.assert_nothing_left()

        for extra, reason in ((["-n", "4"], "runs is 4, the results have 3"),
                              (["--binary", BINARY], "the binary %s is not the one" % BINARY)):
            status, out, err = self.tool("--resume", self.json, *extra, binary=FAKE)
            self.assertEqual((status, err.count("\n"), reason in err), (2, 1, True), err)
        status, out, err = self.tool("--resume", self.json)
        self.assertEqual(status, 0, err)
        document = self.saved()
        self.assertEqual((document["complete"], len(document["results"][0]["runs"]), len(document["resumed"])),
                         (True, 3, 1))
        self.assert_nothing_left()

    def test_bad_arguments_are_refused_before_anything_runs_and_pairs_are_told_apart(self):
        mine = os.path.join(self.dir, "mybench")
        os.makedirs(os.path.join(mine, "shaders"))
        shutil.copy(os.path.join(self.pair, "shaders", plan.PAIR[0]), os.path.join(mine, "shaders"))
        cases = [  # extra arguments, the one line expected
            (["--json", "/no/such/dir/r.json"], "--json /no/such/dir/r.json: No such file or directory"),
            (["--csv", self.dir], "--csv %s: is a directory" % self.dir),
            (["--timeline", "/no/t.png"], "--timeline /no/t.png: No such file or directory"),
            (["--shaders", mine], "--shaders %s: no %s" % (mine, os.path.join(mine, "shaders", plan.PAIR[1]))),
            (["--shaders", self.tmp + "/no"], "--shaders %s/no: no such directory" % self.tmp),
        ]
        for extra, line in cases:
            status, out, err = self.tool("-n", "1", *extra, "fake:FAKE_MARKER=" + self.marker)
            self.assertEqual((status, out, err), (2, "", "compare: %s\n" % line))
        self.assertFalse(os.path.exists(self.marker), "a run started")
        # Pairs in the program's own layout, whose labels tell apart two pairs named alike.
        twins = [os.path.join(self.dir, side, "shaders") for side in ("a", "b")]
        for twin in twins:
            shutil.copytree(os.path.join(self.pair, "shaders"), twin)
        status, out, err = self.tool("-n", "1", "--shaders", twins[0], "--shaders", twins[1], "fake:FAKE_BENCH=ok")
        self.assertEqual(status, 0, err)
        self.assertEqual(re.findall(r"\nfake +(\S+) +isolated", out), ["pair", "a/shaders", "b/shaders"])

    def test_a_zombie_or_vanished_process_gives_no_sample(self):
        proc = subprocess.Popen(["true"])
        os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)  # ended, not reaped: a zombie
        self.assertIsNone(observe.sample_process(proc.pid))
        proc.wait()
        self.assertIsNone(observe.sample_process(proc.pid))  # gone
        self.assertIsNotNone(observe.sample_process(os.getpid()))


class Headless(unittest.TestCase):

    def test_a_hang_and_a_crash_end_with_one_line_and_a_status(self):
        for mode, status, line in (("hang:2", 1, "hung after program 2: no output for 1 s"),
                                   ("crash:2", 128 + signal.SIGSEGV, "crashed (SIGSEGV) after program 2")):
            run = subprocess.run([os.path.join(ROOT, "tools", "run-headless"), "--stall-timeout", "1", FAKE],
                                 env=dict(os.environ, FAKE_BENCH=mode), capture_output=True, text=True, timeout=60)
            self.assertEqual((run.returncode, run.stdout.splitlines()[-1], run.stderr.splitlines()[-1], leftovers()),
                             (status, "0002/1000", "run-headless: " + line, []))


class RealInterrupt(ToolCase):

    def test_sigint_during_the_second_softpipe_run_then_resume(self):
        proc = self.start("-n", "3", "--json", self.json, "softpipe", binary=BINARY)
        out, err = self.interrupt_after_first_run(proc, signal.SIGINT)
        self.assertEqual(proc.returncode, 130, err)
        self.assertEqual(len(self.saved()["results"][0]["runs"]), 1)
        self.assert_nothing_left()
        status, out, err = self.tool("--resume", self.json, binary=BINARY)
        self.assertEqual(status, 0, err)
        self.assertEqual([len(r["runs"]) for r in self.saved()["results"]], [3])
        self.assertRegex(out, r"\nsoftpipe +pair +isolated +3 ")
        self.assert_nothing_left()


if __name__ == "__main__":
    unittest.main(verbosity=2)
