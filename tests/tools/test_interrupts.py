"""An interrupt at every step of each block that makes a directory or file, starts a process or takes a lock,
raised as the tool's handler raises it: after each, no directory, file or process may be left."""

import os
import pathlib
import signal
import sys
import tempfile
import time
import unittest
from unittest import mock

from sbench.running import desktop, harness
from sbench.system import interrupts, files as outputs, scratch

# Where what is made and what shields it are: every bytecode there is a step, every line elsewhere.
FINE = tuple(os.path.abspath(module.__file__) for module in (scratch, interrupts, outputs))
# A stand-in for Xvfb: reports display 99 on the descriptor it is given, then waits to be stopped.
FAKE_XVFB = '''while [ $# -gt 0 ]; do [ "$1" = -displayfd ] && fd=$2; shift; done
echo 99 > /proc/self/fd/$fd
exec sleep 600'''


def interrupted_at(block, instant):
    """(steps seen, whether interrupted) of block() with SIGINT's handler called at its instant-th step (None:
    never): a bytecode of FINE or a line elsewhere, outside shielded blocks (where every step is the same)."""
    seen = [0]

    def step(frame, event, _arg):
        if event in ("line", "opcode") and not interrupts._state["shielded"]:
            seen[0] += 1
            if seen[0] == instant:
                interrupts._handler(signal.SIGINT, frame)
        return step

    def call(frame, _event, _arg):
        if interrupts._state["shielded"]:
            return None  # a call made inside a shielded block ends inside it: nothing to count
        frame.f_trace_opcodes = frame.f_code.co_filename in FINE
        return step

    with interrupts.raising():
        sys.settrace(call)
        try:
            block()
            while interrupts._state["pending"]:  # held back at the block's very end: due any moment
                time.sleep(interrupts.RETRY_SECONDS)
        except interrupts.Interrupted:
            return seen[0], True
        finally:
            sys.settrace(None)
    return seen[0], False


def children():
    return [int(pid) for pid in pathlib.Path("/proc/self/task/%d/children" % os.getpid()).read_text().split()]


class EveryInstant(unittest.TestCase):

    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="shaderbench-interrupts-",
                                                                 ignore_cleanup_errors=True))
        self.tmp, self.work, bin_dir = (os.path.join(self.dir, name) for name in ("tmp", "work", "bin"))
        for directory in (self.tmp, self.work, bin_dir):
            os.mkdir(directory)
        for name, text in (("Xvfb", FAKE_XVFB), ("bench", "exec sleep 600")):
            pathlib.Path(bin_dir, name).write_text("#!/bin/sh\n" + text + "\n")
            os.chmod(os.path.join(bin_dir, name), 0o755)
        self.bench = os.path.join(bin_dir, "bench")
        self.enterContext(mock.patch.dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"]))
        self.enterContext(mock.patch.object(tempfile, "tempdir", self.tmp))
        self.addCleanup(self.stop_leftovers)

    def stop_leftovers(self):
        for pid in children():
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)

    def assert_nothing_left_at_any_instant(self, block, kept=()):
        """kept: files of the work directory that may be left, whole; removed each time."""
        steps, _ = interrupted_at(block, None)
        self.assertGreater(steps, 10)
        for instant in range(1, steps + 1):
            _, interrupted = interrupted_at(block, instant)
            left = (os.listdir(self.tmp), [name for name in os.listdir(self.work) if name not in kept], children())
            self.assertEqual((interrupted, left), (True, ([], [], [])), "interrupted at step %d" % instant)
            for name in kept:
                if os.path.exists(os.path.join(self.work, name)):
                    self.assertEqual(pathlib.Path(self.work, name).read_text(), "{}",
                                     "a file written in part, at step %d" % instant)
                    os.unlink(os.path.join(self.work, name))

    def test_private_x_servers_cache_directories_benchmarks_locks_and_outputs(self):
        path = os.path.join(self.work, "r.json")

        def xserver():
            with desktop.xserver() as display:
                self.assertEqual(display.name, ":99")

        def cache():
            with harness.driver_cache("isolated") as env:
                self.assertTrue(os.path.isdir(env["MESA_SHADER_CACHE_DIR"]))

        def benchmark():
            with harness.benchmark(self.bench, self.work) as proc:
                self.assertIsNone(proc.poll())

        def lock():
            with outputs.locked(path):
                self.assertTrue(os.path.exists(path + ".lock"))

        def write():  # its file may be left, whole
            outputs.write(path, lambda f: f.write("{}"))
        for block, kept in ((xserver, ()), (cache, ()), (benchmark, ()), (lock, ()), (write, ["r.json"])):
            with self.subTest(block.__name__):
                self.assert_nothing_left_at_any_instant(block, kept)

    def test_a_process_waited_for_in_a_loop_does_not_hold_an_interrupt_back(self):
        # The loop a build is watched in; the process interrupts us once the loop has begun to wait for it.
        seconds, begun = [], os.path.join(self.work, "begun")
        with self.assertRaises(interrupts.Interrupted), interrupts.raising(), scratch.child(
                ["sh", "-c", 'until [ -e "$1" ]; do sleep 0.01; done; kill -INT $PPID; exec sleep 600', "sh", begun],
                scratch.stop_process) as proc:
            open(begun, "w").close()
            while proc.poll() is None and len(seconds) < 2:
                scratch.wait(proc, 5.0)
                seconds.append(1)
        self.assertEqual(seconds, [])  # not held back until the process was stopped


if __name__ == "__main__":
    unittest.main(verbosity=2)
