"""The window: an OpenGL 2.0 context asked for (apitrace); kept after the report
until Escape or the close button; without one, GLFW's errors and status 1."""

import os
import re
import subprocess
import unittest

from support import FRAGMENT_FILE, VERTEX_FILE, XTestCase, desktop, output


def traced(trace, name):
    """The arguments of each call to name that apitrace recorded."""
    dumped = subprocess.run(["apitrace", "dump", "--multiline=no", "--color=never", "--grep=^%s$" % name, trace],
                            check=True, capture_output=True, text=True).stdout
    return re.findall(r"(?m)^\d+ %s\((.*)\)" % name, dumped)


class Window(XTestCase):

    def test_a_2_0_context_1000_unique_texts_and_escape_during_the_benchmark_ends_the_run_after_its_report(self):
        self.write_shaders()
        trace = os.path.join(self.dir, "run.trace")
        proc, reader = self.start(wrapper=("apitrace", "trace", "--output", trace))
        out = self.read_until(reader, output.progress_line(1))
        with desktop.connect(self.display) as d:
            geometry = d.create_resource_object("window", self.window()).get_geometry()
        self.assertEqual((geometry.width, geometry.height), (640, 480))
        # Not polled during the benchmark: the press waits for the idle loop.
        self.escape()
        status, rest, err = self.finish(proc, reader, timeout=120)
        self.assertEqual((status, [line for line in err.splitlines() if not line.startswith(b"apitrace: ")]), (0, []))
        self.assert_complete(out + rest)

        (context,) = traced(trace, "glXCreateContextAttribsARB")
        self.assertRegex(context, r"MAJOR_VERSION_ARB, 2, GLX_CONTEXT_MINOR_VERSION_ARB, 0\b")
        texts = [re.sub(r"^shader = \d+, ", "", args) for args in traced(trace, "glShaderSource")]
        self.assertEqual(len(set(texts)), 2000, "every text handed to the driver differs")

    def test_the_window_stays_after_the_report_until_the_close_button(self):
        self.write_shaders()
        proc, reader = self.start()
        self.read_until(reader, output.REPORT_PREFIX)
        self.assertRaises(subprocess.TimeoutExpired, proc.wait, 1.0)
        desktop.send_close(self.display, self.window())
        self.assertEqual(self.finish(proc, reader), (0, b"", b""))

    def test_both_files_are_tried_vertex_first_and_the_run_ends_with_status_1(self):
        log = os.path.join(self.dir, "opens.log")
        # Stopped only at openat: stopped at every call, the driver's start-up (16,000 getpid) took 10 s.
        proc, reader = self.start(wrapper=("strace", "-f", "--seccomp-bpf", "-qq", "-e", "trace=openat", "-o", log))
        self.assertEqual(self.finish(proc, reader), (1, (output.LOAD_FAILED + "\n").encode() * 2, b""))
        with open(log) as f:
            opens = [name for entry in f for name in (VERTEX_FILE, FRAGMENT_FILE) if name in entry]
        self.assertEqual(opens, [VERTEX_FILE, FRAGMENT_FILE])

    def test_without_a_display_or_opengl_2_only_errors_and_status_1(self):
        self.write_shaders()
        for env, display, said in (({}, False, b"DISPLAY"), ({"MESA_GL_VERSION_OVERRIDE": "1.5"}, True, b"Error: ")):
            status, out, err = self.finish(*self.start(env, display))
            self.assertEqual((status, out), (1, b""), err)
            self.assertTrue(said in err and all(line.startswith("Error: ") for line in err.decode().splitlines()), err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
