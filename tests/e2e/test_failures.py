"""When the windowing system or the driver cannot give an OpenGL 2.0 window:
GLFW's errors on standard error, nothing on standard output, status 1."""

import unittest

from support import XTestCase


class FailureCase(XTestCase):

    def assert_fails_cleanly(self, env=None, display=True):
        self.write_shaders()
        proc, reader = self.start(env, display)
        status, out, err = self.finish(proc, reader)
        self.assertEqual((status, out), (1, b""), err)
        lines = err.decode().splitlines()
        self.assertTrue(lines, "no error was reported")
        for line in lines:
            self.assertTrue(line.startswith("Error: "), err)
        return err


class WithoutGlx(FailureCase):
    xserver_args = ("-extension", "GLX")

    def test_a_server_without_glx(self):
        self.assert_fails_cleanly()


class WithGlx(FailureCase):

    def test_no_display(self):
        err = self.assert_fails_cleanly(display=False)
        self.assertIn(b"DISPLAY", err)

    def test_a_driver_that_cannot_give_opengl_2(self):
        self.assert_fails_cleanly({"MESA_GL_VERSION_OVERRIDE": "1.5"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
