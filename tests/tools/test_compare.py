"""tools/compare: its parsing, statistics and configurations, and one real run."""

import csv
import importlib.machinery
import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.path.join(ROOT, "tools", "compare")
compare = importlib.machinery.SourceFileLoader("compare", TOOL).load_module()
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from support import SMALL_FRAGMENT, SMALL_VERTEX  # noqa: E402

PROGRESS = b"".join(b"%04d/1000\n" % i for i in range(1000))


class Configurations(unittest.TestCase):

    def test_built_in_and_user_defined(self):
        self.assertEqual(compare.parse_config("zink"),
                         ("zink", {"LIBGL_ALWAYS_SOFTWARE": "1", "GALLIUM_DRIVER": "zink"}, "zink"))
        self.assertEqual(compare.parse_config("old:LD_LIBRARY_PATH=/opt/a:/opt/b,GALLIUM_DRIVER=llvmpipe"),
                         ("old", {"LD_LIBRARY_PATH": "/opt/a:/opt/b", "GALLIUM_DRIVER": "llvmpipe"}, None))
        self.assertEqual(compare.parse_config("empty:MESA_DEBUG="), ("empty", {"MESA_DEBUG": ""}, None))

    def test_malformed_configurations_are_refused(self):
        for text in ("nosuchdriver", ":A=1", "name:", "name:A", "name:1A=2", "name:A=1,,B=2"):
            with self.assertRaises(ValueError, msg=text):
                compare.parse_config(text)


class RunOutput(unittest.TestCase):

    def test_a_clean_run(self):
        out = PROGRESS + b"Compiled all shaders in 83801ms\nCommitted mem: 6736MB\n"
        self.assertEqual(compare.parse_run(0, out, b""), (83801, 6736, None))

    def test_commit_unavailable_keeps_the_time(self):
        out = PROGRESS + b"Compiled all shaders in 12ms\nCommitted mem: unavailable\n"
        self.assertEqual(compare.parse_run(0, out, b""), (12, None, None))

    def test_failures_carry_their_reason(self):
        failed = b"".join(b"glLinkProgram() failed\n%04d/1000\n" % i for i in range(1000))
        cases = [
            ((0, failed + b"Compiled all shaders in 5ms\nCommitted mem: 0MB\n", b""),
             "1000 of 1000 programs failed to link"),
            ((1, b"Unable to load file\n", b""), "Unable to load file"),
            ((1, b"", b"Error: GLX: Failed to create context: GLXBadFBConfig\n"),
             "Error: GLX: Failed to create context: GLXBadFBConfig"),
            ((-11, PROGRESS[:50], b""), "exit status -11, no report"),
        ]
        for args, reason in cases:
            self.assertEqual(compare.parse_run(*args)[2], reason)


class Statistics(unittest.TestCase):

    def test_median_spread_and_per_program_figures(self):
        row = compare.summarise("x", "r", [900, 1000, 1300, 1100], [40, 50, 50, 60])
        self.assertEqual((row["median_ms"], row["min_ms"], row["max_ms"]), (1050, 900, 1300))
        self.assertAlmostEqual(row["ms_per_program"], 1.05)
        self.assertEqual((row["median_mib"], row["min_mib"], row["max_mib"]), (50, 40, 60))
        self.assertAlmostEqual(row["kib_per_program"], 51.2)

    def test_unknown_memory_stays_unknown(self):
        row = compare.summarise("x", "r", [10], [None])
        self.assertIsNone(row["median_mib"])
        self.assertIn(" - ", compare.format_table([row]))


class RealRun(unittest.TestCase):

    def test_one_run_gives_table_csv_and_chart_and_a_failure_does_not_stop_the_rest(self):
        work = tempfile.mkdtemp(prefix="shaderbench-compare-test-")
        os.mkdir(os.path.join(work, "pair"))
        for name, text in (("largeShaderExample_vs_source.txt", SMALL_VERTEX),
                           ("largeShaderExample_ps_source.txt", SMALL_FRAGMENT)):
            with open(os.path.join(work, "pair", name), "wb") as f:
                f.write(text)
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        binary = os.environ.get("SHADERBENCH", os.path.join(ROOT, "build", "shaderbench"))
        result = subprocess.run(
            [TOOL, "-n", "1", "--binary", binary, "--shaders", os.path.join(work, "pair"),
             "--csv", os.path.join(work, "out.csv"), "--plot", os.path.join(work, "out.png"),
             "softpipe", "old-gl:MESA_GL_VERSION_OVERRIDE=1.5"],
            env=env, capture_output=True, text=True, timeout=300)

        self.assertEqual(result.returncode, 1, result.stderr)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith("configuration  runs  median ms"), result.stdout)
        self.assertRegex(lines[2], r"^softpipe +1 +\d+ +\d+ +\d+ +\d+\.\d\d +\d+ +\d+  softpipe$")
        self.assertRegex(lines[3], r"^old-gl: FAILED: Error: ")
        self.assertIn("[softpipe 1/1]", result.stderr)

        with open(os.path.join(work, "out.csv")) as f:
            rows = list(csv.DictReader(f))
        self.assertEqual([(r["configuration"], r["renderer"], r["runs"]) for r in rows],
                         [("softpipe", "softpipe", "1")])
        self.assertGreater(float(rows[0]["median_ms"]), 0)

        with open(os.path.join(work, "out.png"), "rb") as f:
            png = f.read()
        self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
        width, height = struct.unpack(">II", png[16:24])
        self.assertEqual((width, height), (1000, 450))
        self.assertGreater(len(png), 10000)


if __name__ == "__main__":
    unittest.main(verbosity=2)
