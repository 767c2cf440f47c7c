"""The Windows build end to end under Wine, on a private X server with Mesa."""

import os
import shutil
import subprocess
import time
import unittest

from support import (PROGRESS, REPORT, ROOT, SAMPLE_DIR,
                     VERTEX_FILE, XTestCase, xharness)

WINE_RUN = os.path.join(ROOT, "tools", "windows", "wine-run")
HOLD_FILE = os.environ.get("HOLD_FILE", "")


class UnderWine(XTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Cleanups run last first: Wine stops before the X server, or Wine
        # reports a broken connection.
        cls.addClassCleanup(subprocess.run, [WINE_RUN, "--stop"], timeout=120)
        # The wineserver and its helpers, started apart from any test's pipes.
        subprocess.run([WINE_RUN, "--start"], env=dict(os.environ, DISPLAY=cls.display),
                       check=True, timeout=120)

    def start(self, env=None, display=True, args=(), wrapper=(WINE_RUN, "--stream")):
        return super().start(env, display, args, wrapper)

    def assert_refused(self, expected_stdout):
        proc, reader = self.start()
        self.assertEqual(self.finish(proc, reader, timeout=60), (1, expected_stdout, b""))

    def test_full_run_on_the_sample_shaders(self):
        shutil.copytree(SAMPLE_DIR, os.path.join(self.dir, "shaders"))
        proc, reader, out = self.run_to_report()
        self.assertTrue(out.startswith(PROGRESS), out[:300])
        report = out[len(PROGRESS):]
        self.assertRegex(report, REPORT)
        self.escape()
        self.assertEqual(self.finish(proc, reader, timeout=60), (0, b"", b""))
        print("\n" + report.decode().strip())

    def test_close_button(self):
        self.write_shaders()
        proc, reader, _ = self.run_to_report()
        xharness.send_close(self.display, self.window())
        self.assertEqual(self.finish(proc, reader, timeout=60), (0, b"", b""))

    def test_missing_file(self):
        self.write_shaders(vertex=None)
        self.assert_refused(b"Unable to load file\n")

    def test_a_file_another_program_holds_with_share_mode_0(self):
        self.write_shaders()
        holder = subprocess.Popen(
            [WINE_RUN, "--stream", HOLD_FILE, "shaders\\" + VERTEX_FILE], cwd=self.dir,
            env=dict(os.environ, DISPLAY=self.display),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(xharness.stop_process, holder)
        line = xharness.LineReader(holder.stdout).readline(time.monotonic() + 60)
        self.assertEqual(line.rstrip(), b"held")
        self.assert_refused(b"Unable to load file\n")
        holder.stdin.close()
        self.assertEqual(holder.wait(60), 0)
        # Released, the same files run.
        proc, reader, _ = self.run_to_report()
        self.escape()
        self.assertEqual(self.finish(proc, reader, timeout=60), (0, b"", b""))

    def test_no_display(self):
        self.write_shaders()
        proc, reader = self.start(display=False)
        status, out, err = self.finish(proc, reader, timeout=60)
        self.assertEqual((status, out), (1, b""), err)
        self.assertTrue(err.startswith(b"Error: "), err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
