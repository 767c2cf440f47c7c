"""What survives hangs, crashes, garbage, interrupts and SIGKILL, bad arguments and resuming; fake_bench.py
misbehaves, fake commands on PATH stand in for apitrace, glretrace and Xvfb."""

import concurrent.futures
import contextlib
import csv
import ctypes
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from sbench.running import plan
from test_compare import FAKE, ROOT, TOOL, run_main

HERE = os.path.dirname(FAKE)
BINARY = os.environ.get("SHADERBENCH") or sys.exit("SHADERBENCH must name the shaderbench binary (ctest sets it)")
ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER: whatever the tool leaves running becomes our child


def read_lines(path):
    return pathlib.Path(path).read_text().splitlines(True)


def leftovers(grace=30.0):
    """[(pid, name)] left running, zombies reaped; what is still ending (a watchdog) gets grace seconds."""
    deadline = time.monotonic() + grace
    while True:
        with contextlib.suppress(ChildProcessError):
            while os.waitpid(-1, os.WNOHANG)[0]:
                pass
        found = [int(pid) for pid in pathlib.Path("/proc/self/task/%d/children" % os.getpid()).read_text().split()]
        if not found or time.monotonic() > deadline:
            return [(pid, read_lines("/proc/%d/cmdline" % pid)) for pid in found]
        time.sleep(0.1)


def until(holds, what, seconds=60):
    """Polls holds() (for a file the fake wrote, say) until it holds; fails after seconds."""
    deadline = time.monotonic() + seconds
    while not holds():
        assert time.monotonic() < deadline, "never " + what
        time.sleep(0.02)


def for_nobody(case, tool=False):
    """A directory under /tmp that nobody may enter, whatever the checkout's parents; tool: a copy of the tool."""
    directory = case.enterContext(tempfile.TemporaryDirectory(prefix="shaderbench-nobody-", dir="/tmp",
                                                              ignore_cleanup_errors=True))
    os.chmod(directory, 0o755)
    if tool:
        shutil.copy(TOOL, directory)
        shutil.copytree(os.path.join(ROOT, "tools", "sbench"), os.path.join(directory, "sbench"),
                        ignore=shutil.ignore_patterns("__pycache__"))
    return directory


def as_nobody(case, *argv):
    """argv run as nobody from /; fails the case in one line if nobody could not start it."""
    run = subprocess.run(["runuser", "-u", "nobody", "--", *argv], capture_output=True, text=True, timeout=60, cwd="/")
    if run.returncode in (126, 127):  # runuser's or env's: the program could not be started
        case.fail("nobody cannot run %s: %s" % (argv[0], run.stderr.strip()))
    return run


class ToolCase(unittest.TestCase):
    """The tool as a user runs it, with a TMPDIR of its own so that nothing it leaves there goes unseen."""

    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="shaderbench-faults-",
                                                                 ignore_cleanup_errors=True))
        self.tmp, self.json, self.marker, self.pair = (os.path.join(self.dir, name)
                                                       for name in ("tmp", "r.json", "started", "pair"))
        os.makedirs(os.path.join(self.pair, "shaders"))
        os.mkdir(self.tmp)
        for name, statement in zip(plan.PAIR, ("gl_Position = vec4(0.0);", "gl_FragColor = vec4(1.0);")):
            pathlib.Path(self.pair, "shaders", name).write_text("void main() { %s }\n" % statement)

    def start(self, *argv, binary=FAKE, env=None, cwd=None, shaders=None):
        """The tool started on binary and the case's pair (or shaders: other options that give the shaders)."""
        shaders = ("--shaders", self.pair) if shaders is None else shaders
        return self.popen("--binary", binary, *shaders, *argv, env=env, cwd=cwd)

    def popen(self, *argv, env=None, cwd=None):
        base = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
        return subprocess.Popen([TOOL, *argv], text=True, env={**base, "TMPDIR": self.tmp, **(env or {})}, cwd=cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def tool(self, *argv, binary=FAKE, env=None, shaders=None):
        proc = self.start(*argv, binary=binary, env=env, shaders=shaders)
        out, err = proc.communicate(timeout=240)
        return proc.returncode, out, err

    def fakes(self, within=None, **scripts):
        """PATH with a directory of fake commands (in within, or the case's) first: name=shell script body."""
        directory = os.path.join(within or self.dir, "bin")
        os.makedirs(directory, exist_ok=True)
        for name, body in scripts.items():
            pathlib.Path(directory, name).write_text("#!/bin/sh\n" + body + "\n")
            os.chmod(os.path.join(directory, name), 0o755)
        return {"PATH": directory + os.pathsep + os.environ["PATH"]}

    def saved(self, path=None):
        return json.loads(pathlib.Path(path or self.json).read_text())

    def assert_nothing_left(self):
        self.assertEqual(leftovers(), [])
        self.assertEqual(os.listdir(self.tmp), [], "working or cache directories left behind")


class Faults(ToolCase):

    def test_hangs_crashes_and_garbage_are_recorded_and_the_other_runs_go_on(self):
        # Only the fakes that hang get a short --stall-timeout: a loaded machine may keep any run silent for 1 s.
        hung = os.path.join(self.dir, "hung.json")
        status, out, err = self.tool("-n", "2", "--stall-timeout", "1", "--json", hung, "hang:FAKE_BENCH=hang:5")
        self.assertEqual((status, "Traceback" in err), (1, False), err)
        self.assertRegex(out, r"\nhang +pair +0 +2 +- ")
        status, out, err = self.tool(
            "-n", "2", "--json", self.json, "good:FAKE_BENCH=ok", "crash:FAKE_BENCH=crash:517",
            "missing:FAKE_BENCH=exit:-1", "flaky:FAKE_BENCH=crash:3,FAKE_ONLY_RUN=2,FAKE_MARKER=" + self.marker,
            "garbage:FAKE_BENCH=garbage")
        self.assertEqual((status, "Traceback" in err), (1, False), err)
        self.assert_nothing_left()
        self.assertRegex(out, r"(?s)\ngood +pair +2 +0 +1234 .*\nflaky +pair +1 +1 +1234 ")
        self.assertIn("\nmissing pair: FAILED: exited with status 1 before its first program: ", out)
        document = self.saved()
        found = {r["configuration"]: r for r in document["results"] + self.saved(hung)["results"]}
        self.assertEqual({name: (len(r["runs"]), [(f["run"], f["reason"], f["programs"]) for f in r["failed_runs"]])
                          for name, r in found.items()}, {
            "good": (2, []),
            "hang": (0, [(n, "hung after program 5: no output for 1 s", 6) for n in (1, 2)]),
            "crash": (0, [(n, "crashed (SIGSEGV) after program 517", 518) for n in (1, 2)]),
            "missing": (0, [(1, "exited with status 1 before its first program: Unable to load file", 0)]),
            "flaky": (1, [(2, "crashed (SIGSEGV) after program 3", 4)]),
            "garbage": (0, [(n, "unexpected output: 'something else'", 1000) for n in (1, 2)])}, out)
        self.assertEqual((document["complete"], *map(found["crash"]["failed_runs"][0].get, ("signal", "stderr"))),
                         (True, "SIGSEGV", ["fake: about to crash, oom_score_adj 1000"]))  # the first the kernel kills

    def test_a_server_held_by_another_client_fails_the_run_as_soon_as_it_gives_no_answer(self):
        # The fake holds its own server grabbed, as twm does while it waits for a click to place a window.
        status, out, err = self.tool("-n", "1", "--json", self.json, "fake:FAKE_BENCH=grab",
                                     env={"SHADERBENCH_X_ANSWER_SECONDS": "1"})
        (failed,) = self.saved()["results"][0]["failed_runs"]
        self.assertEqual((status, failed["ending"]), (1, "window"), err)
        self.assertRegex(failed["reason"], r"^its window could not be closed: the X server :\d+ gave no answer in 1 s "
                         r"\(held by another client, such as a window manager waiting for a click\?\)$")
        self.assertIn("\n[fake pair 1/1] failed: %s\n" % failed["reason"], "\n" + err)
        self.assert_nothing_left()

    def test_every_interrupt_in_every_phase_keeps_the_finished_runs_and_leaves_nothing(self):
        env = self.fakes(
            apitrace='out=$5; shift 5; : > "$out"; exec "$@"',  # trace --api gl --output FILE COMMAND
            glretrace='echo replaying >> "$FAKE_MARKER"; echo "# call no cpu_start cpu_dura name"; exec sleep 600')

        def marker_says(text):  # noted once the tool is there: report read, close sent, replay started
            return lambda marker, _: until(lambda: os.path.exists(marker) and text + "\n" in read_lines(marker), text)

        phases = {  # arguments (one run finishes in each), how to know the tool is there
            "finding the window": (["-n", "2", "fake:FAKE_BENCH=nowindow,FAKE_ONLY_RUN=2"], marker_says("reported")),
            "closing the window": (["-n", "2", "fake:FAKE_BENCH=noclose,FAKE_ONLY_RUN=2"],
                                   marker_says("close ignored")),
            "replaying": (["-n", "1", "--calls", "fake:FAKE_BENCH=ok"], marker_says("replaying")),
            "drawing charts": (["-n", "1", "--plot", "{dir}/p.png", "--timeline", "{dir}/t.png", "fake:FAKE_BENCH=ok"],
                               lambda _, proc: next(line for line in proc.stderr if "drawing --plot" in line))}

        def case(number, phase, signum):
            argv, ready = phases[phase]
            directory = tempfile.mkdtemp(dir=self.dir)
            marker, results_file = os.path.join(directory, "marker"), os.path.join(directory, "r.json")
            argv = [a.format(dir=directory) for a in argv[:-1]] + [argv[-1] + ",FAKE_MARKER=" + marker]
            proc = self.start("--json", results_file, *argv, env=env)
            try:
                ready(marker, proc)
                proc.send_signal(signum)
                proc.communicate(timeout=60)
            finally:
                proc.kill()
            document = self.saved(results_file)
            (result,) = document["results"]
            return (proc.returncode - signum, document["complete"], len(result["runs"]), "calls" in result,
                    sorted(os.listdir(directory)))

        # One handler takes every signal, whatever the phase: each signal in some phase, each phase once.
        cases = list(zip(phases, (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGINT)))
        with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
            found = list(pool.map(case, range(len(cases)), *zip(*cases)))
        for (phase, signum), got in zip(cases, found):
            self.assertEqual(got, (128, False, 1, False, ["marker", "r.json"]), "%s while %s" % (signum.name, phase))
        self.assert_nothing_left()

    def test_sigkill_loses_only_the_run_in_progress_a_second_comparison_waits_its_turn_and_resume_completes(self):
        # The second run hangs (for a minute, if nobody stopped it); the first is kept.
        argv = ["-n", "3", "--json", self.json, "--stall-timeout", "60", "--clock", "cpu",
                "fake:FAKE_BENCH=hang:3,FAKE_ONLY_RUN=2,FAKE_MARKER=" + self.marker]
        proc = self.start(*argv, env={"TMPDIR": "tmp"}, cwd=self.dir)  # relative: the watchdog runs from /
        next(line for line in proc.stderr if " 1/3] " in line)
        until(lambda: read_lines(self.marker).count("started\n") >= 2, "the second run")
        status, out, err = self.tool(*argv)  # the same results file, while the first holds it
        self.assertEqual((status, err), (2, "compare: %s is in use by another comparison (PID %d); see %s.lock\n"
                                         % (self.json, proc.pid, self.json)))
        proc.kill()
        proc.communicate(timeout=60)
        document = self.saved()
        self.assertEqual((document["complete"], len(document["results"][0]["runs"])), (False, 1))
        # The tool could stop nothing; its watchdog stops the fake's child and removes its directories.
        self.assertEqual((leftovers(), os.listdir(self.tmp)), ([], []))

        for extra, reason in ((["--binary", BINARY], "the binary %s is not the one" % BINARY),
                              (["--clock", "wall"], "clock is wall, the results have cpu")):
            status, out, err = self.tool("--resume", self.json, *extra, binary=FAKE)
            self.assertEqual((status, err.count("\n"), reason in err), (2, 1, True), err)
        status, out, err = self.tool("--resume", self.json)  # its lock was left by a killed holder: free
        self.assertEqual(status, 0, err)
        document = self.saved()
        self.assertEqual((document["complete"], len(document["results"][0]["runs"]), len(document["resumed"]),
                          document["plan"]["clock"]), (True, 3, 1, "cpu"))
        self.assert_nothing_left()

    def test_bad_arguments_are_refused_before_anything_runs_and_pairs_are_told_apart(self):
        mine = shutil.copytree(self.pair, os.path.join(self.dir, "mybench"), ignore=lambda _, names: [plan.PAIR[1]])
        cases = [  # extra arguments, the one line expected
            (["--json", "/no/such/dir/r.json"], "--json /no/such/dir/r.json: No such file or directory"),
            (["--csv", self.dir], "--csv %s: is a directory" % self.dir),
            (["--shaders", mine], "--shaders %s: no %s" % (mine, os.path.join(mine, "shaders", plan.PAIR[1]))),
            (["--shaders", self.tmp + "/no"], "--shaders %s/no: no such directory" % self.tmp),
            (["--shaders", FAKE], "--shaders %s: not a directory (give the directory that holds the pair)" % FAKE),
            (["--shaders", os.path.join(self.pair, "shaders")],
             "--shaders %s/shaders: the same pair as --shaders %s" % (self.pair, self.pair)),
            (["other:MESA_SHADER_CACHE_DIR=/tmp/c"],
             "other: MESA_SHADER_CACHE_DIR is set by the tool for every run (see --cache and --display)")]
        for extra, line in cases:  # in this process: the same code, without starting a process each time
            self.assertEqual(run_main("--binary", FAKE, "--shaders", self.pair, "-n", "1", *extra,
                                      "fake:FAKE_MARKER=" + self.marker), (2, "", "compare: %s\n" % line))
        self.assertFalse(os.path.exists(self.marker), "a run started")
        # Two pairs named alike (one under a name not UTF-8) get labels apart; the fake, the tool where nobody reads.
        shared = for_nobody(self, tool=True)
        self.pair, fake = shutil.copytree(self.pair, os.path.join(shared, "pair")), shutil.copy(FAKE, shared)
        twins = [os.path.join(shared, side, "shaders") for side in ("a", "c\udcff")]
        for twin in twins:
            shutil.copytree(os.path.join(self.pair, "shaders"), twin)
            with open(os.path.join(twin, plan.PAIR[0]), "a") as f:
                f.write("// %s\n" % twin.encode(errors="surrogateescape"))
        saved, csv_file = os.path.join(shared, "r.json"), os.path.join(self.dir, "t.csv")
        status, out, err = self.tool("-n", "1", *[a for twin in twins for a in ("--shaders", twin)], "--json", saved,
                                     "--csv", csv_file, "fake:FAKE_BENCH=ok", binary=fake)
        self.assertEqual(status, 0, err)
        self.assertEqual([re.findall(r"\nfake +(\S+) +1 +1234 ", out), [row["shaders"] for row in csv.DictReader(
            read_lines(csv_file))]], [["pair", "a/shaders", "c\\xff/shaders"]] * 2)  # the table's, the CSV's
        # nobody may not write the results file: refused before an X server starts.
        seen = tempfile.mkdtemp(dir=shared)  # where nobody's fake Xvfb, and its temporary files, would be
        os.chmod(seen, 0o777)
        refused = as_nobody(self, "env", "-u", "PYTHONPATH", "TMPDIR=" + seen,
                            "PATH=" + self.fakes(shared, Xvfb="echo started >> %s/xvfb" % seen)["PATH"],
                            os.path.join(shared, "compare"), "--resume", saved)
        self.assertEqual((refused.returncode, refused.stderr, os.listdir(seen)),
                         (2, "compare: --resume %s: not writable\n" % saved, []))

    def test_cpu_time_counts_every_thread_to_the_microsecond_those_that_ended_too(self):
        # Two threads each burn 150 ms of CPU once the tool has read program 0's line, and end before program
        # 1: a sum over the living threads would count none of it. The tool reads the clock just after the
        # line: on a busy machine it may be preempted in between while they burn, hence the bound below 300.
        # A burst of all the lines, read at once while the process sleeps, measured nothing in between:
        # unmeasured, not 0 (a figure a resumed bisect refuses). Beside a busy core its reads may part.
        status, _, err = self.tool("-n", "1", "--json", self.json, "--no-timeline", "burn:FAKE_BENCH=burn:150",
                                   "burst:FAKE_BENCH=burst")
        self.assertEqual(status, 0, err)
        (run,), (burst,) = (result["runs"] for result in self.saved()["results"])
        self.assertTrue(280000 <= run["cpu_us"] < 400000, run["cpu_us"])  # and what printing the lines cost
        self.assertTrue(0 < run["runnable_us"] < 300000, run)  # the main thread's: it only printed and waited
        self.assertEqual((burst["ms"], 0 in (burst["cpu_us"], burst["runnable_us"])), (1234, False), burst)


class Auto(ToolCase):

    def test_auto_stops_once_settled_or_at_the_most_and_a_resumed_one_keeps_its_rule(self):
        def config(name, ms, jitter):
            return "%s:FAKE_MS=%d,FAKE_JITTER=%g,FAKE_MARKER=%s" % (name, ms, jitter, os.path.join(self.dir, name))

        # Gated, and beside the other: big is 50 % slower, its memory the same: settled at the first look.
        settling = self.start("-n", "auto", "--max-runs", "4", "--fail-on-regression", config("a", 1000, 0.01),
                              config("big", 1500, 0.01))

        # 1 % apart, and each varies by 5 % the other way round: not settled by round 4. The baseline's
        # fourth run hangs until the interrupt, so that it always lands in round 4.
        argv = ["-n", "auto", "--max-runs", "4", "--fail-on-regression", "--json", self.json,
                config("c", 1000, 0.05) + ",FAKE_BENCH=hang:0,FAKE_ONLY_RUN=4", config("tiny", 1010, -0.05)]
        proc = self.start(*argv)
        marker = os.path.join(self.dir, "c")
        until(lambda: proc.poll() is not None or os.path.exists(marker) and read_lines(marker).count("started\n") >= 4,
              "the fourth round")
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=60)
        # round 4 alternates the order: the other configuration may have run its fourth already
        self.assertEqual((proc.returncode, len(self.saved()["results"][0]["runs"])), (130, 3))
        status, out, err = self.tool("--resume", self.json)  # no -n: the plan's rule, and its gate, go on
        document = self.saved()
        verdicts = [(r["configuration"], r["time"]["verdict"], r["time"]["rounds"]) for r in document["verdicts"]]
        self.assertEqual((status, [len(r["runs"]) for r in document["results"]], document["complete"], verdicts),
                         (3, [4, 4], True, [("tiny", "inconclusive", 4)]))
        self.assertIn("\nStopped: still not settled after 4 rounds, the most --max-runs allows: tiny pair time.\n"
                      "Gate NOT SETTLED (status 3, time on the wall clock): ", out)
        out, err = settling.communicate(timeout=240)
        self.assertEqual(settling.returncode, 1, err)
        self.assertRegex(out, r"\nbig pair\n  time:   slower \+(49|50)\.\d % .* \(3 rounds.*\n  memory: same "
                              r"within ±5 % \+0\.0 % .*\n\(rounds paired; 93\.\d\d % intervals at each look "
                              r"\(after rounds 3, 4\)")
        self.assert_nothing_left()


class Headless(unittest.TestCase):

    def test_a_hang_a_crash_and_what_it_cannot_run_end_with_one_line_and_a_status(self):
        for command, env, status, line in (
                ([FAKE], {"FAKE_BENCH": "hang:2"}, 1, "hung after program 2: no output for 1 s"),
                ([FAKE], {"FAKE_BENCH": "crash:2"}, 128 + signal.SIGSEGV, "crashed (SIGSEGV) after program 2"),
                ([FAKE], {"FAKE_BENCH": "crash:2", "FAKE_SIGNAL": "KILL"}, 128 + signal.SIGKILL,
                 "crashed (SIGKILL) after program 2: killed by another process, or by the kernel when memory ran out"),
                (["/nonexistent"], {}, 127, "/nonexistent: no such file"),
                ([os.path.join(HERE, "test_faults.py")], {}, 126, "%s/test_faults.py: not an executable file" % HERE),
                (["fake_bench.py"], {}, 127, "fake_bench.py: not found on PATH"),
                (["fake_bench.py"], {"PATH": HERE}, 1, "no Xvfb to run on: install it (Debian package xvfb)"),
                (["sh", "/nonexistent.exe"], {}, 127, "/nonexistent.exe: no such file")):
            run = subprocess.run([os.path.join(ROOT, "tools", "run-headless"), "--stall-timeout", "1"] + command,
                                 env=dict(os.environ, **env), capture_output=True, text=True, timeout=60)
            self.assertEqual((run.returncode, run.stderr.splitlines()[-1], leftovers()),
                             (status, "run-headless: " + line, []), run.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
