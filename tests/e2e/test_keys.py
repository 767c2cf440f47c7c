"""How a run ends: Escape and the close button, and nothing else."""

import unittest

from Xlib import display as xdisplay

from support import PROGRESS, REPORT, XTestCase, xharness


def window_size(display_name, window_id):
    d = xdisplay.Display(display_name)
    try:
        geometry = d.create_resource_object("window", window_id).get_geometry()
        return geometry.width, geometry.height
    finally:
        d.close()


class EndingTheRun(XTestCase):

    def setUp(self):
        super().setUp()
        self.write_shaders()

    def test_escape_ends_the_run_with_status_0(self):
        proc, reader, out = self.run_to_report()
        self.assertEqual(window_size(self.display, self.window()), (640, 480))
        self.assert_still_running(proc, 0.5)
        self.escape()
        status, rest, err = self.finish(proc, reader)
        self.assertEqual((status, rest, err), (0, b"", b""))
        self.assertTrue(out.startswith(PROGRESS))
        self.assertRegex(out[len(PROGRESS):], REPORT)

    def test_close_button_ends_the_run_with_status_0(self):
        proc, reader, _ = self.run_to_report()
        xharness.send_close(self.display, self.window())
        self.assertEqual(self.finish(proc, reader), (0, b"", b""))

    def test_other_keys_and_escape_release_do_not_end_the_run(self):
        proc, reader, _ = self.run_to_report()
        window = self.window()
        for key in ("a", "Return", "space", "q"):
            xharness.send_keys(self.display, window, key)
        xharness.send_synthetic_key(self.display, window, "Escape", "release")
        self.assert_still_running(proc, 1.0)
        self.escape()
        self.assertEqual(self.finish(proc, reader), (0, b"", b""))

    def test_escape_during_the_benchmark_ends_the_run_after_it(self):
        proc, reader = self.start()
        out = self.read_until(reader, b"0001/1000")
        self.escape()
        # No further input: the press waits for the first poll of the idle loop.
        status, rest, err = self.finish(proc, reader, timeout=120)
        self.assertEqual((status, err), (0, b""))
        out += rest
        self.assertTrue(out.startswith(PROGRESS), out[:200])
        self.assertRegex(out[len(PROGRESS):], REPORT)

    def test_arguments_change_nothing(self):
        proc, reader = self.start(args=("--help", "-n", "5", "shaders/other.txt"))
        out = self.read_until(reader, b"Committed mem:")
        self.assertTrue(out.startswith(PROGRESS))
        self.assertRegex(out[len(PROGRESS):], REPORT)
        self.escape()
        self.assertEqual(self.finish(proc, reader), (0, b"", b""))


if __name__ == "__main__":
    unittest.main(verbosity=2)
