"""The GL calls of a real run, recorded by apitrace and read back call by call."""

import os
import pickle
import re
import subprocess
import time
import unittest

from support import REPORT, SMALL_FRAGMENT, SMALL_VERTEX, XTestCase

GL_VERTEX_SHADER = 0x8B31
GL_FRAGMENT_SHADER = 0x8B30
GL_LINK_STATUS = 0x8B82
GLX_CONTEXT_MAJOR_VERSION = 0x2091
GLX_CONTEXT_MINOR_VERSION = 0x2092
FAKE_CALL = 1  # apitrace's flag for calls it adds itself

# The vertex file has CR/LF line ends and text after a NUL, which must not reach the driver.
VERTEX = SMALL_VERTEX.replace(b"\n", b"\r\n") + b"\0 not GLSL {{{"
VERTEX_TEXT = VERTEX.split(b"\0")[0]
FRAGMENT = SMALL_FRAGMENT.rstrip(b"\n")
STAMP = re.compile(rb"\r\n// temp random str ([0-9a-f]{8}) ([0-9a-f]{8})\r\n\Z")
ITERATION_CALLS = ["glCreateShader", "glShaderSource", "glCompileShader",
                   "glCreateShader", "glShaderSource", "glCompileShader",
                   "glCreateProgram", "glAttachShader", "glAttachShader", "glLinkProgram",
                   "glGetProgramiv", "glDetachShader", "glDetachShader",
                   "glDeleteShader", "glDeleteShader"]
TEARDOWN = {"glXSwapBuffers", "glXMakeCurrent", "glXDestroyWindow", "glXDestroyContext"}


def boot_ms():
    return int(time.clock_gettime(time.CLOCK_BOOTTIME) * 1000) & 0xFFFFFFFF


def load_calls(trace):
    """Every call apitrace recorded, as (name, {argument: value}, result), fakes left out."""

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
            _, name, args, result, flags = reader.load()
        except EOFError:
            break
        if not flags & FAKE_CALL:
            calls.append((name.decode(), {key.decode(): value for key, value in args}, result))
    pickler.stdout.close()
    pickler.wait()
    return calls


class CallStream(XTestCase):

    def test_each_iteration_makes_exactly_the_listed_calls(self):
        self.write_shaders(VERTEX, FRAGMENT)
        trace = os.path.join(self.dir, "run.trace")
        first_tick = boot_ms()
        proc, reader = self.start(wrapper=("apitrace", "trace", "--output", trace))
        out = self.read_until(reader, b"Committed mem:")
        last_tick = boot_ms()
        self.assertRegex(out[out.index(b"Compiled"):], REPORT)
        self.escape()
        status, _, _ = self.finish(proc, reader)
        self.assertEqual(status, 0)

        calls = load_calls(trace)
        names = [call[0] for call in calls]
        (context,) = [args for name, args, _ in calls if name == "glXCreateContextAttribsARB"]
        attributes = dict(zip(context["attrib_list"][0::2], context["attrib_list"][1::2]))
        self.assertEqual((attributes[GLX_CONTEXT_MAJOR_VERSION], attributes[GLX_CONTEXT_MINOR_VERSION]),
                         (2, 0), "an OpenGL 2.0 context is asked for")

        self.assertNotIn("glDeleteProgram", names)
        start = names.index("glCreateShader")
        texts = set()
        for i in range(1000):
            group = calls[start + 15 * i:start + 15 * (i + 1)]
            self.assertEqual([call[0] for call in group], ITERATION_CALLS, "iteration %d" % i)
            a = [call[1] for call in group]
            self.assertEqual(a[0], {"type": GL_VERTEX_SHADER})
            self.assertEqual(a[3], {"type": GL_FRAGMENT_SHADER})
            vs, fs, prog = group[0][2], group[3][2], group[6][2]
            for source, file_text, shader in ((a[1], VERTEX_TEXT, vs), (a[4], FRAGMENT, fs)):
                self.assertEqual((source["shader"], source["count"], source["length"]), (shader, 1, 0))
                (text,) = source["string"]
                self.assertTrue(text.startswith(file_text), "iteration %d" % i)
                stamp = STAMP.match(text[len(file_text):])
                self.assertIsNotNone(stamp, text[-60:])
                self.assertEqual(int(stamp.group(2), 16), i)
                tick = int(stamp.group(1), 16)
                self.assertTrue(first_tick <= tick <= last_tick, (first_tick, tick, last_tick))
                texts.add(text)
            self.assertEqual(a[2], {"shader": vs})
            self.assertEqual(a[5], {"shader": fs})
            self.assertEqual([a[7], a[8]], [{"program": prog, "shader": vs}, {"program": prog, "shader": fs}])
            self.assertEqual(a[9], {"program": prog})
            self.assertEqual((a[10]["program"], a[10]["pname"]), (prog, GL_LINK_STATUS))
            self.assertEqual([a[11], a[12]], [{"program": prog, "shader": vs}, {"program": prog, "shader": fs}])
            self.assertEqual([a[13], a[14]], [{"shader": vs}, {"shader": fs}])
        self.assertEqual(len(texts), 2000, "every text handed to the driver differs")

        after = names[start + 15000:]
        self.assertIn("glXSwapBuffers", after)
        self.assertLessEqual(set(after), TEARDOWN, "after the loop, nothing but buffer swaps")


if __name__ == "__main__":
    unittest.main(verbosity=2)
