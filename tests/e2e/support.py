"""What the end-to-end tests share: a private X server per class; per test a directory and a driver cache."""

import contextlib
import os
import pathlib
import sys
import tempfile
import time
import unittest

from sbench.results import program_output as output
from sbench.running import desktop, harness
from sbench.system import proc as processes

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The binary under test, as ctest names it from whatever build tree it runs in.
BINARY = os.environ.get("SHADERBENCH") or sys.exit("SHADERBENCH must name the shaderbench binary (ctest sets it)")
SAMPLE_DIR = os.path.join(ROOT, "shaders")
VERTEX_FILE = "largeShaderExample_vs_source.txt"
FRAGMENT_FILE = "largeShaderExample_ps_source.txt"

# A pair every driver links in a millisecond or two, for tests not about its cost.
SMALL_VERTEX = b"#version 110\nvoid main()\n{\n    gl_Position = vec4(0.0);\n}\n"
SMALL_FRAGMENT = b"#version 110\nvoid main()\n{\n    gl_FragColor = vec4(1.0);\n}\n"


def write_small_pair(directory):
    os.makedirs(directory)
    for name, data in ((VERTEX_FILE, SMALL_VERTEX), (FRAGMENT_FILE, SMALL_FRAGMENT)):
        pathlib.Path(directory, name).write_bytes(data)


class XTestCase(unittest.TestCase):
    """A test class with its own X server; each test gets its own directory."""

    wrapper = ()

    @classmethod
    def setUpClass(cls):
        # A class cleanup runs even when the rest of a class's set-up fails.
        cls.display = cls.enterClassContext(desktop.xserver())

    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="shaderbench-e2e-", ignore_cleanup_errors=True))

    def write_shaders(self):
        write_small_pair(os.path.join(self.dir, "shaders"))

    def start(self, env=None, display=True, wrapper=None):
        """Starts the benchmark here; returns (process, line reader)."""
        run_env = dict(os.environ)
        run_env.update(harness.cache_environment("isolated", os.path.join(self.dir, "cache")))
        run_env.update(env or {})
        # Given only to the benchmark, never to the X server or to us.
        if os.environ.get("SHADERBENCH_PRELOAD"):
            run_env["LD_PRELOAD"] = os.environ["SHADERBENCH_PRELOAD"]
        proc = self.enterContext(harness.benchmark(BINARY, self.dir, run_env, self.display if display else None,
                                                   wrapper=self.wrapper if wrapper is None else wrapper))
        self.proc = proc
        return proc, harness.LineReader(proc)

    def read_until(self, reader, prefix, timeout=300):
        out = reader.read_until(prefix, time.monotonic() + timeout)
        self.assertTrue(harness.ends_with_line(out, prefix), "output ended before %r: %r" % (prefix, out[-2000:]))
        return out

    def finish(self, proc, reader, timeout=60.0):
        """Waits for the end of the run; returns (status, rest of stdout, stderr). A run that does not end fails
        the test saying who is left: the benchmark (what should end it never reached it), or processes that
        hold its output open."""
        try:
            return harness.finish(proc, reader, time.monotonic() + timeout)
        except TimeoutError:
            pipes = {"pipe:[%d]" % os.fstat(stream.fileno()).st_ino: name
                     for name, stream in (("stdout", proc.stdout), ("stderr", proc.stderr))}
            holders = []
            for pid in set(processes.process_ids()) - {os.getpid()}:
                with contextlib.suppress(OSError):  # gone meanwhile
                    fds = "/proc/%d/fd/" % pid
                    held = sorted({pipes.get(os.readlink(fds + fd)) for fd in os.listdir(fds)} - {None})
                    if held:
                        command = pathlib.Path("/proc/%d/cmdline" % pid).read_bytes().replace(b"\0", b" ")
                        holders.append("%d %s(%s)" % (pid, command.decode(errors="replace"), "+".join(held)))
            self.fail("the run did not end in %g s; its status %r; its output held open by %s"
                      % (timeout, proc.poll(), holders))

    def assert_complete(self, out):
        """Every iteration linked, in order, followed by the report."""
        parsed = output.parse(out)
        self.assertTrue(parsed["complete"] and not parsed["failed"], "unexpected output: %r" % out[:300])
        return parsed

    def window(self):
        """The window of the benchmark started last."""
        return desktop.find_window(self.display, self.proc.pid)

    def escape(self):
        desktop.send_keys(self.display, self.window(), "Escape")
