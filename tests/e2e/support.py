"""What the end-to-end tests share: a private X server per test class, a
temporary working directory per test with the shaders it needs, and the
benchmark started on pipes so that every wait is on what it prints."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import xharness  # noqa: E402

BINARY = os.path.abspath(os.environ.get("SHADERBENCH", os.path.join(ROOT, "build", "shaderbench")))
SAMPLE_DIR = os.path.join(ROOT, "shaders")
VERTEX_FILE = "largeShaderExample_vs_source.txt"
FRAGMENT_FILE = "largeShaderExample_ps_source.txt"

# A pair that every driver links in a millisecond or two, for the tests that
# are about anything but the driver's cost.
SMALL_VERTEX = (b"#version 110\nattribute vec4 position;\nvarying vec4 colour;\n"
                b"void main()\n{\n    colour = position * 0.5 + 0.5;\n    gl_Position = position;\n}\n")
SMALL_FRAGMENT = (b"#version 110\nvarying vec4 colour;\n"
                  b"void main()\n{\n    gl_FragColor = colour;\n}\n")

PROGRESS = b"".join(b"%04d/1000\n" % i for i in range(1000))
FAILED_PROGRESS = b"".join(b"glLinkProgram() failed\n%04d/1000\n" % i for i in range(1000))
REPORT = re.compile(rb"Compiled all shaders in [0-9]+ms\nCommitted mem: -?[0-9]+MB\n\Z")

RUN_TIMEOUT = float(os.environ.get("SHADERBENCH_RUN_TIMEOUT", "300"))


class XTestCase(unittest.TestCase):
    """A test class with its own X server; each test gets its own directory."""

    xserver_args = ()
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.xserver, cls.display = xharness.start_xserver(cls.xserver_args)
        # A class cleanup runs even when the rest of a class's set-up fails.
        cls.addClassCleanup(xharness.stop_process, cls.xserver)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="shaderbench-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write_shaders(self, vertex=SMALL_VERTEX, fragment=SMALL_FRAGMENT):
        """Writes the pair into shaders/; None leaves that file out."""
        os.makedirs(os.path.join(self.dir, "shaders"), exist_ok=True)
        for name, data in ((VERTEX_FILE, vertex), (FRAGMENT_FILE, fragment)):
            if data is not None:
                with open(os.path.join(self.dir, "shaders", name), "wb") as f:
                    f.write(data)

    def start(self, env=None, display=True, args=(), wrapper=()):
        """Starts the benchmark here; returns (process, line reader)."""
        run_env = dict(os.environ)
        run_env.update(env or {})
        run_env.pop("DISPLAY", None)
        # Given only to the benchmark, never to the X server or to us.
        if os.environ.get("SHADERBENCH_PRELOAD"):
            run_env["LD_PRELOAD"] = os.environ["SHADERBENCH_PRELOAD"]
        proc = xharness.start_benchmark(BINARY, self.dir, run_env,
                                        self.display if display else None, args, wrapper)
        self.addCleanup(self.close_pipes, proc)
        self.addCleanup(xharness.stop_process, proc)
        return proc, xharness.LineReader(proc.stdout)

    @staticmethod
    def close_pipes(proc):
        proc.stdout.close()
        proc.stderr.close()

    def read_until(self, reader, prefix, timeout=RUN_TIMEOUT):
        """Reads lines up to and including the first that starts with prefix."""
        out = b""
        deadline = time.monotonic() + timeout
        while True:
            line = reader.readline(deadline)
            if line is None:
                self.fail("output ended before %r; it was:\n%s" % (prefix, out[-2000:].decode(errors="replace")))
            out += line
            if line.startswith(prefix):
                return out

    def finish(self, proc, reader, timeout=30.0):
        """Waits for the end of the run; returns (status, rest of stdout, stderr)."""
        deadline = time.monotonic() + timeout
        out = reader.read_rest(deadline)
        try:
            status = proc.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.fail("the run did not end")
        return status, out, proc.stderr.read()

    def assert_still_running(self, proc, seconds=1.0):
        try:
            proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return
        self.fail("the run ended (status %d) when it should have kept its window" % proc.returncode)

    def window(self):
        return xharness.find_window(self.display)

    def escape(self):
        xharness.send_keys(self.display, self.window(), "Escape")

    def run_to_report(self, env=None):
        """Runs to the report and returns (process, reader, everything printed)."""
        proc, reader = self.start(env)
        return proc, reader, self.read_until(reader, b"Committed mem:")
