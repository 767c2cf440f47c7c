"""A whole run on the sample shaders with a real driver, as a user starts it."""

import os
import shutil
import unittest

from support import PROGRESS, REPORT, SAMPLE_DIR, XTestCase


class SampleShaders(XTestCase):

    def test_full_run_prints_only_progress_and_report_and_ends_on_escape(self):
        shutil.copytree(SAMPLE_DIR, os.path.join(self.dir, "shaders"))
        proc, reader, out = self.run_to_report()
        self.assertTrue(out.startswith(PROGRESS), "every iteration linked, none failed")
        report = out[len(PROGRESS):]
        self.assertRegex(report, REPORT)
        self.escape()
        status, rest, err = self.finish(proc, reader)
        self.assertEqual((status, rest, err), (0, b"", b""))
        print("\n" + report.decode().strip())


if __name__ == "__main__":
    unittest.main(verbosity=2)
