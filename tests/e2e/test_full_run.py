"""A whole run with a real driver on the small pair: natively, sanitized and under Wine (SHADERBENCH_WINE_RUN).
Natively the sample shaders too, as far as their first programs: the rest differ only in their stamp. Under Wine
the unit tests too (SHADERBENCH_UNIT_TESTS), on the same Wine server."""

import os
import shutil
import subprocess
import unittest

from support import SAMPLE_DIR, XTestCase, harness, output

WINE_RUN = os.environ.get("SHADERBENCH_WINE_RUN")
SMALL_PAIR = bool(os.environ.get("SHADERBENCH_SMALL_PAIR"))
SAMPLE_PROGRAMS = 10


class SampleShaders(XTestCase):
    wrapper = (WINE_RUN, "--stream") if WINE_RUN else ()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if WINE_RUN:
            # Wine's server apart from the benchmark's pipes (it would hold them open); stopped before X.
            cls.addClassCleanup(subprocess.run, [WINE_RUN, "--stop"], timeout=120)
            subprocess.run([WINE_RUN, "--start"], env=dict(os.environ, **harness.display_environment(cls.display)),
                           check=True, timeout=120)

    def test_full_run_prints_only_progress_and_report_and_ends_on_escape(self):
        self.write_shaders()
        proc, reader = self.start()
        out = self.read_until(reader, output.REPORT_PREFIX)
        parsed = self.assert_complete(out)
        self.assertIsNotNone(parsed["commit_mib"], "the commit probe works here")
        self.escape()
        self.assertEqual(self.finish(proc, reader), (0, b"", b""))
        print("\n" + b"".join(out.splitlines(True)[-2:]).decode().strip())

    @unittest.skipUnless(WINE_RUN, "natively ctest runs them")
    def test_the_unit_tests_pass(self):
        done = subprocess.run([WINE_RUN, os.environ["SHADERBENCH_UNIT_TESTS"]], capture_output=True, text=True,
                              errors="replace", timeout=300,  # on our display, as the server, never the user's
                              env=dict(os.environ, **harness.display_environment(self.display)))
        self.assertEqual(done.returncode, 0, done.stdout[-6000:] + done.stderr[-2000:])
        self.assertIn("[  PASSED  ]", done.stdout)

    @unittest.skipIf(SMALL_PAIR, "the small pair only")
    def test_the_sample_shaders_compile_and_link(self):
        shutil.copytree(SAMPLE_DIR, os.path.join(self.dir, "shaders"))
        _, reader = self.start()  # stopped at the test's end
        parsed = output.parse(self.read_until(reader, output.progress_line(SAMPLE_PROGRAMS - 1)))
        self.assertEqual((parsed["progress"], parsed["failed"], parsed["other"]),
                         (list(range(SAMPLE_PROGRAMS)), [], []))


if __name__ == "__main__":
    unittest.main(verbosity=2)
