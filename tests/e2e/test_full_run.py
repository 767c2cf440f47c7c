"""A whole run with a real driver, as a user starts it: natively on the sample
shaders; in the sanitized build and under Wine (SHADERBENCH_WINE_RUN), which
are there for their own code paths, not the pair's cost, on the small pair
(SHADERBENCH_SMALL_PAIR)."""

import os
import shutil
import subprocess
import unittest

from support import SAMPLE_DIR, XTestCase, harness, output

WINE_RUN = os.environ.get("SHADERBENCH_WINE_RUN")
SMALL_PAIR = bool(os.environ.get("SHADERBENCH_SMALL_PAIR"))


class SampleShaders(XTestCase):
    wrapper = (WINE_RUN, "--stream") if WINE_RUN else ()

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if WINE_RUN:
            # Wine's server starts apart from the benchmark's pipes (it would hold
            # them open) and, cleanups running last first, stops before the X server.
            cls.addClassCleanup(subprocess.run, [WINE_RUN, "--stop"], timeout=120)
            subprocess.run([WINE_RUN, "--start"], env=dict(os.environ, **harness.display_environment(cls.display)),
                           check=True, timeout=120)

    def test_full_run_prints_only_progress_and_report_and_ends_on_escape(self):
        if SMALL_PAIR:
            self.write_shaders()
        else:
            shutil.copytree(SAMPLE_DIR, os.path.join(self.dir, "shaders"))
        proc, reader = self.start()
        out = self.read_until(reader, output.REPORT_PREFIX)
        parsed = self.assert_complete(out)
        self.assertIsNotNone(parsed["commit_mib"], "the commit probe works here")
        self.escape()
        self.assertEqual(self.finish(proc, reader), (0, b"", b""))
        print("\n" + b"".join(out.splitlines(True)[-2:]).decode().strip())


if __name__ == "__main__":
    unittest.main(verbosity=2)
