"""The instructions clock: the counters' refusal on this machine, the tracer's whole path with the task clock standing
in for instructions, callgrind's count of the fake-GL loop, and verdicts, gates and tables on counted runs."""

import json
import os
import pathlib
import re
import subprocess
import unittest
import unittest.mock

from sbench.results import callgrind
from sbench.running import counting
from test_compare import Files, document, result, run_main

BINARY = os.environ["SHADERBENCH"]
LOOP = os.environ.get("SHADERBENCH_COUNTED_LOOP") or os.path.join(os.path.dirname(BINARY), "tests", "counted_loop")
TRACER = os.path.join(os.path.dirname(BINARY), counting.TRACER)
QUICK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shaders", "quick")
SPIN_MS = 100  # the loop itself takes about 1 ms of CPU time, 7 million instructions
# Two loops as callgrind writes them (events Dr then Ir, trailing zeros left out, names compressed per kind, each
# file with ids of its own), against a stripped driver: B spends 100 more in 0x...b9d30 itself, 100 more in malloc
# under it, and 50 in a function A never calls.
HEAD = "# callgrind format\nversion: 1\ncreator: callgrind-3.19.0\npositions: line\nevents: Dr Ir\nsummary: 9 %d\n"
LOOP_A = HEAD % 750 + """
ob=(1) /usr/lib/x86_64-linux-gnu/dri/swrast_dri.so
fl=(1) ???
fn=(1) 0x00000000000b9d30
0 7 300
cob=(2) /usr/lib/x86_64-linux-gnu/libc.so.6
cfl=(2) ???
cfn=(2) malloc
calls=10 0
0 20 200
fn=(3) 0x00000000000c0000
0 4
+1 1 100
ob=(2)
fl=(2)
fn=(2)
0 2 200
ob=(3) /opt/bench/shaderbench
fl=(3) loop.cpp
fn=(4) run_compile_link_loop(char const*, char const*)
12 1 100
fi=(4) inline.h
3 1 50
fe=(3)
cob=(1)
cfn=(1)
calls=1 0
* 0 500
cob=(1)
cfn=(3)
calls=1 0
* 0 100
"""
LOOP_B = HEAD % 1000 + """
ob=(1) /opt/bench/shaderbench
fl=(1) loop.cpp
fn=(1) run_compile_link_loop(char const*, char const*)
12 0 150
cob=(2) /usr/lib/x86_64-linux-gnu/dri/swrast_dri.so
cfn=(2) 0x00000000000b9d30
calls=1 0
* 0 700
cob=(2)
cfn=(3) 0x00000000000c0000
calls=1 0
* 0 100
cob=(2)
cfn=(4) 0x00000000000d0000
calls=1 0
* 0 50
ob=(2)
fl=(2) ???
fn=(2)
0 0 400
cob=(3) /usr/lib/x86_64-linux-gnu/libc.so.6
cfn=(5) malloc
calls=15 0
* 0 300
fn=(3)
0 0 100
fn=(4)
0 0 50
ob=(3)
fn=(5)
0 0 300
"""


class Counting(Files):

    def test_without_a_hardware_counter_here_the_user_sees_one_line_and_nothing_runs(self):
        if os.path.isdir("/sys/bus/event_source/devices/cpu"):
            self.skipTest("this kernel has a PMU: the hardware counter counts")
        saved = os.path.join(self.work, "r.json")
        for argv, line in (
                (["--counter", "hardware"], "compare: cannot count instructions here: the hardware counter: this "
                                            "kernel has no hardware counter of instructions (no PMU: usual in a "
                                            "virtual machine)\n"),
                (["--counter", "auto", "--binary", LOOP + ".absent"], "compare: no shaderbench executable at")):
            status, _, err = run_main("--clock", "instructions", "--binary", BINARY, *argv, "--json", saved)
            self.assertEqual((status, err.startswith(line), err.count("\n")), (2, True, 1), err)
        self.assertEqual(run_main("--counter", "callgrind", "--binary", BINARY)[2],
                         "compare: --counter goes with --clock instructions\n")
        self.assertFalse(os.path.exists(saved))

    def test_the_tracer_counts_from_the_loops_entry_to_its_return_ends_as_the_program_ends_and_counts_each_run(self):
        self.enterContext(unittest.mock.patch.dict(os.environ, {counting.EVENT_VARIABLE: "task-clock"}))
        self.assertEqual(counting.choose("auto", BINARY)[0], "hardware")
        # The fake-GL loop spends SPIN_MS of its CPU time before the loop and as much after it: a window wider
        # than the loop counts them. The tracer is the one beside the benchmark.
        wrapper, path = counting.wrapper("hardware", BINARY, self.work)
        before = os.times()
        status = subprocess.run([*wrapper, LOOP], capture_output=True, cwd=self.work,
                                env=dict(os.environ, COUNTED_LOOP_SPIN_MS=str(SPIN_MS))).returncode
        after = os.times()
        count, why = counting.read_count("hardware", path)
        spent = (after.children_user + after.children_system - before.children_user - before.children_system) * 1e9
        self.assertEqual((why, status), (None, 0))
        # The loop's time, not the spins' on either side of it (ticks of 10 ms round the process's time).
        self.assertTrue(0 < count < SPIN_MS * 1e6 < spent / 2 + 2e7, (count, spent))
        # A program that exports no loop is refused at its start, and leaves no count.
        ran = subprocess.run([TRACER, "run", "task-clock", os.path.join(self.work, "c"), "/bin/true"],
                             capture_output=True, text=True)
        self.assertEqual((ran.returncode, "exports no _Z21run_compile_link_loop" in ran.stderr), (127, True))
        self.assertEqual(counting.read_count("hardware", os.path.join(self.work, "c"))[1],
                         "the hardware counter wrote no count (the loop never returned)")
        # A program that ends by a signal once counted: so does the tracer, and the user sees the crash.
        beside = os.path.join(self.work, "bin")
        os.mkdir(beside)
        for path in (LOOP, TRACER):
            os.symlink(path, os.path.join(beside, os.path.basename(path)))
        status, text, err = run_main("-n", "1", "--clock", "instructions", "--display", "private", "--binary",
                                     os.path.join(beside, "counted_loop"), "a:COUNTED_LOOP_SIGNAL=11", "b:X=1")
        self.assertEqual((status, re.findall(r"^.* failed: .*$", text, re.M)),
                         (1, ["a shaders: run 1 failed: crashed (SIGSEGV) after its report"]), err)
        # A comparison of the benchmark counts each run through the tracer.
        saved = os.path.join(self.work, "r.json")
        status, text, err = run_main("-n", "2", "--clock", "instructions", "--binary", BINARY, "--shaders", QUICK,
                                     "--display", "private", "--json", saved, "a:GALLIUM_DRIVER=softpipe",
                                     "b:GALLIUM_DRIVER=softpipe")
        self.assertEqual(status, 0, err)
        self.assertIn("counting the task clock (ns) in place of instructions with the hardware counter", err)
        runs = [run for found in json.loads(pathlib.Path(saved).read_text())["results"] for run in found["runs"]]
        # Each counted, and watched in the benchmark's own process (not the tracer's): its driver and CPU time.
        self.assertEqual([(run["counter"], run["instructions"] > 0, run["cpu_us"] > 0,
                           any("swrast_dri" in found["path"] for found in run["libraries"])) for run in runs],
                         [("hardware", True, True, True)] * 4)
        self.assertRegex(text, r"  instructions: \w")

    def test_two_callgrind_files_set_side_by_side_by_library_and_function_self_and_inclusive(self):
        paths = [self.write(None, text) for text in (LOOP_A, LOOP_B)]
        (before, total_a), (after, total_b) = map(callgrind.read, paths)
        self.assertEqual((total_a, total_b, before[("swrast_dri.so", "0x00000000000c0000")]), (750, 1000, [100, 100]))
        self.assertEqual([(row["object"], row["function"], row["self"], row["inclusive"])
                          for row in callgrind.changes(before, after)],
                         [("swrast_dri.so", "0x00000000000b9d30", [300, 400], [500, 700]),
                          ("libc.so.6", "malloc", [200, 300], [200, 300]),
                          ("swrast_dri.so", "0x00000000000d0000", [0, 50], [0, 50]),
                          ("shaderbench", "run_compile_link_loop(char const*, char const*)", [150, 150], [750, 1000])])
        for damage, why in (("fn=(3)\n0 0 100", "the name id (3) is used before it is defined"),
                            ("summary: 9 1000", "its self costs sum to 1000 instructions, its totals say 1")):
            broken = self.write(None, LOOP_B.replace(damage, damage.replace("(3)", "(9)").replace("9 1000", "9 1")))
            with self.assertRaisesRegex(callgrind.Unreadable, re.escape(why.replace("(3)", "(9)"))):
                callgrind.read(broken)

    def test_where_runs_each_side_once_under_callgrind_keeps_its_file_and_agrees_with_its_annotator(self):
        saved, page = os.path.join(self.work, "where.json"), pathlib.Path(self.work, "where.html")
        spin = ",COUNTED_LOOP_SPIN_MS=10"  # before and after the loop: in no count
        status, text, err = run_main("where", "--binary", LOOP, "--keep", self.work, "--display", "private", "--top",
                                     "1000", "--json", saved, "--html", str(page), "a:SHADERBENCH_SIDE=a" + spin,
                                     "b:SHADERBENCH_SIDE=b" + spin)
        self.assertEqual(status, 0, err)
        found = json.loads(pathlib.Path(saved).read_text())
        a, b = found["sides"]
        self.assertIn("<td>%d</td>" % b["instructions"], page.read_text())  # the page of that table
        self.assertTrue(max(map(len, text.splitlines())) <= 100 and text.startswith(
            "where the instructions went, b against a (callgrind, the loop's own thread):\n  a: %d instructions, kept"
            % a["instructions"]), text)
        # Each kept file is callgrind's own: its annotator's inclusive count of every function is ours.
        shown = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", b["file"]],
                               capture_output=True, text=True, check=True).stdout
        theirs = {(os.path.basename(m[3]), m[2]): int(m[1].replace(",", ""))
                  for m in re.finditer(r"^ *([\d,]+) \([ \d.]+%\) +\S*?:(.*) \[(.*)\]$", shown, re.M)}
        ours = {key: costs[1] for key, costs in callgrind.read(b["file"])[0].items() if costs[1]}
        self.assertEqual((theirs, len(ours) > 20), (ours, True))
        self.assertIn(("counted_loop", "run_compile_link_loop(char const*, char const*)"), ours)
        self.assertNotIn(("counted_loop", "spin_outside_the_loop(long)"), ours)
        # A run that counts nothing stops it with one line, as does a --keep that is no directory, before any run.
        for binary, keep, expected, said in (("/bin/true", self.work, 1, "compare: a: its run failed: exited"),
                                             (LOOP, saved, 2, "compare: --keep %s: not a directory" % saved)):
            status, _, err = run_main("where", "--binary", binary, "--keep", keep, "--display", "private", "a:X=1",
                                      "b:X=2")
            self.assertEqual((status, err.splitlines()[-1].startswith(said)), (expected, True), err)

    def test_counted_runs_are_judged_on_their_count_with_memory_not_judged(self):
        def counted_result(name, counts, mibs):
            found = result(name, "p1", [1000] * 5, mibs)
            for run, count in zip(found["runs"], counts):
                run.update(instructions=count, counter="callgrind")
            return found
        base = [7_214_000_000 + 10_000 * i for i in range(5)]
        old, new = counted_result("a", base, [50] * 5), counted_result("b", [c * 1.1 for c in base], [90] * 5)
        new["runs"] = [dict(run, instructions=round(run["instructions"])) for run in new["runs"]]
        saved = dict(document([old, new]), plan=None)
        status, text, _ = run_main("--report", self.write(None, json.dumps(saved)), "--clock", "instructions",
                                   "--fail-on-regression")
        self.assertEqual(status, 1, text)
        for line in ("  instructions: slower +10.0 % [+10.0, +10.0] (5 rounds)",
                     "  memory: not judged on counted runs, which answer for instructions only",
                     "; the instructions counted (by callgrind))",
                     "Gate FAILED (status 1, the instructions counted (by callgrind))",
                     "(ms and MiB: under valgrind, which ran the runs callgrind counted: not native)",
                     "  b p1 memory: not gated: not judged"):
            self.assertIn(line, text)
        self.assertRegex(text, r"instructions +p50.*\n.*\n.*7214020000 .* baseline\n.*7935422000 .*instructions "
                               r"slower \+10\.0 %")
        calibrated = run_main("calibrate", self.write([old, new]), "--clock", "instructions")
        self.assertIn("5 rounds of b against a, 500 draws of each size (seed 20261208), the instructions counted "
                      "(by callgrind):", calibrated[1], calibrated)
        # The same runs judged on the wall clock (memory too); runs never counted are refused the count.
        self.assertIn("memory: more memory +80.0 %", run_main("--report", self.write([old, new]))[1])
        status, _, err = run_main("--diff", self.write([result("a", times=[1000] * 5)]), self.write([new]), "--clock",
                                  "instructions")
        self.assertEqual((status, "has runs recorded without a count of their instructions" in err), (2, True))


if __name__ == "__main__":
    unittest.main()
