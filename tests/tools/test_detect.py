"""The change detector on histories made from recorded runs of one driver
against itself (the A/A pools), with steps put in at known commits: its
error rates at a reduced draw count (benchmarks/detect_rates.py measures
them at full size), the same answer on the same data, and the same-binary
rule."""

import glob
import os
import unittest

import numpy

from sbench.history import detect, trials

UNITS = trials.noise_pool(sorted(glob.glob(os.path.join(os.path.dirname(__file__), "data", "aa-*.json.gz"))))


class Rates(unittest.TestCase):
    def test_unchanged_histories_stay_quiet_and_steps_and_creeps_are_found(self):
        # Floors a little below the full-size figures (docs/history.md), at 4 % noise a run.
        figures = trials.measure(UNITS, draws=24, false_commits=80)
        self.assertLessEqual(figures["false_per_500"], 1.0, figures)
        self.assertGreaterEqual(figures["found_at_4"], 0.85, figures)
        self.assertGreaterEqual(figures["placed_at_4"], 0.8, figures)
        self.assertGreaterEqual(figures["found_by_8"], 0.95, figures)
        self.assertEqual(figures["creep_found"], 1.0, figures)


class Answers(unittest.TestCase):
    def test_same_data_same_answer_and_no_change_between_identical_binaries(self):
        runs = trials.history(UNITS, numpy.random.default_rng(3), 30, [(15, -8.0)])
        first, again = detect.detect(runs), detect.detect([list(r) for r in runs])
        self.assertEqual(first, again)
        (change,) = first["changes"]
        self.assertEqual((change["index"], change["direction"]), (15, -1))
        self.assertAlmostEqual(change["change_pct"], -8.0, delta=2.0)
        self.assertEqual(first["seed"], detect.seed_of([numpy.log(r) for r in runs], [False] + [True] * 29 + [False],
                                                       first["parameters"]))
        # Commits 14 to 17 loaded what 13 loaded: the change can only be placed at 13 or 18.
        same = [i in (14, 15, 16, 17) for i in range(30)]
        for found in detect.detect(runs, same)["changes"]:
            self.assertIn(found["index"], (13, 18))
            self.assertFalse(any(same[found["low"]:found["high"] + 1]), found)
        self.assertEqual(detect.detect(runs[:7])["changes"], [], "fewer than 4 commits a side")


if __name__ == "__main__":
    unittest.main()
