"""The window: an OpenGL 2.0 context asked for (apitrace); kept after the report
until Escape or the close button; without one, GLFW's errors and status 1."""

import os
import pickle
import subprocess
import unittest

from support import FRAGMENT_FILE, VERTEX_FILE, XTestCase, desktop, output

GLX_CONTEXT_MAJOR_VERSION = 0x2091
GLX_CONTEXT_MINOR_VERSION = 0x2092
FAKE_CALL = 1  # apitrace's flag for calls it adds itself


def load_calls(trace):
    """Every call apitrace recorded, as (name, {argument: value}), fakes left out."""

    class Reader(pickle.Unpickler):
        def find_class(self, module, name):
            if name == "Pointer":
                return int
            raise pickle.UnpicklingError(name)

    pickler = subprocess.Popen(["apitrace", "pickle", trace], stdout=subprocess.PIPE)
    reader = Reader(pickler.stdout, encoding="bytes")
    calls = []
    while True:
        try:
            _, name, args, _, flags = reader.load()
        except EOFError:
            break
        if not flags & FAKE_CALL:
            calls.append((name.decode(), {key.decode(): value for key, value in args}))
    pickler.stdout.close()
    pickler.wait()
    return calls


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

        calls = load_calls(trace)
        (context,) = [args for name, args in calls if name == "glXCreateContextAttribsARB"]
        attributes = dict(zip(context["attrib_list"][0::2], context["attrib_list"][1::2]))
        self.assertEqual((attributes[GLX_CONTEXT_MAJOR_VERSION], attributes[GLX_CONTEXT_MINOR_VERSION]), (2, 0))
        texts = [args["string"][0] for name, args in calls if name == "glShaderSource"]
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
        proc, reader = self.start(wrapper=("strace", "-f", "-qq", "-e", "trace=openat", "-o", log))
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
