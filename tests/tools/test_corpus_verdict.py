"""The corpus verdict: its statistics and false-discovery rule on simulated corpora with known changes, the
summary's width, report's summary and gate on a hand-made corpus, and the page's chart of every pair."""

import csv
import json
import os
import sys
import unittest

import numpy

from sbench.analysis import answers, corpus, gate, stats
from sbench.presentation import corpus_summary
from test_compare import ROOT, Files, run_main

sys.path.insert(0, os.path.join(ROOT, "benchmarks"))
import corpus_rates  # noqa: E402  (the simulated corpora the error rates are measured on)

HOSTILE = "</script><script>alert(1)</script>\x1b[31m" + "/deep" * 30 + "/=cmd.shader_test"


class Statistics(unittest.TestCase):

    def test_known_changes_give_the_corpus_verdict_the_gate_and_the_calls_they_should(self):
        # (case, each pair's change, pairs failing to link, threshold, time verdict, gate status, hurt, helped)
        cases = (("A/A", [0.0] * 200, (), 5, "same", 0, 0, 0),
                 ("A/A with no margin", [0.0] * 200, (), 0, "inconclusive", 3, 0, 0),
                 ("one pair hurt strongly", [0.0] * 99 + [0.5] + [0.0] * 100, (), 5, "same", 0, 1, 0),
                 ("one pair helped strongly", [-0.4] + [0.0] * 199, (), 5, "same", 0, 0, 1),
                 ("every pair +5 %", [0.05] * 200, (), 2, "slower", 1, None, 0),
                 ("one side fails to link", [0.0] * 200, ((7, "b"),), 5, "same", 1, 0, 0),
                 ("both sides fail to link", [0.0] * 200, ((7, "a"), (7, "b")), 5, "same", 0, 0, 0))
        for case, changes, no_link, threshold, word, status, hurt, helped in cases:
            document = corpus_rates.simulated(numpy.random.default_rng(5), changes, no_link=no_link)
            judged = corpus.judge(document, threshold=threshold, gate=True)
            found = judged["configurations"][0]
            called = [i for i, row in enumerate(found["pairs"]) if row["called"]]
            self.assertEqual((found["time"]["verdict"], gate.corpus_gate_text(judged)[0], found["helped"],
                              found["linked"], len(found["one_sided"])),
                             (word, status, helped, 200 - len(no_link[:1]), len(no_link) == 1), case)
            if hurt is not None:  # exactly the pairs changed, and only those
                self.assertEqual(called, [i for i, c in enumerate(changes) if c][:hurt + helped], case)
            self.assertEqual(answers.gate_of(found["memory"]), "pass", case)
        # Counted, memory is judged nowhere: twice the memory on one side neither fails the gate nor is called.
        document = corpus_rates.simulated(numpy.random.default_rng(5), [0.0] * 20)
        for result in document["results"]:
            for run in result["runs"]:
                run.update(instructions=run["ms"] * 1000, counter="callgrind",
                           commit_mib=run["commit_mib"] * (2 if result["configuration"] == "b" else 1))
        judged = corpus.judge(document, threshold=5, gate=True, clock="instructions")
        self.assertEqual((judged["configurations"][0]["memory"]["verdict"], gate.corpus_gate_text(judged)[0]),
                         (answers.UNAVAILABLE, 0))

    def test_n_auto_stops_on_noise_only_where_more_rounds_cannot_narrow_the_spread_between_pairs(self):
        # (case, each pair's change, per-run noise, seed, the stop after round 6 of at most 20)
        cases = (("pairs differ", [0.3, -0.2] * 5, 0.01, 0, "Stopped after 6 rounds: at the spread measured over 10 "
                  "pairs (25.5 % a pair on b corpus time, 25.5 % at 20 rounds), 20 rounds would not settle"),
                 ("rounds differ", [0.0] * 10, 0.12, 3, None))  # its 7.1 % a pair, 4.4 % at 20 rounds: settles
        for case, changes, noise, seed, stopped in cases:
            document = corpus_rates.simulated(numpy.random.default_rng(seed), changes, noise=noise, rounds=6)
            document["plan"].update(auto=True, runs=20)
            judged = corpus.judge(document)
            found = corpus.auto_stop(judged, 6, 20)
            self.assertEqual((judged["configurations"][0]["time"]["verdict"], found and found[:len(stopped or "")]),
                             ("inconclusive", stopped), case)

    def test_a_lone_pair_is_called_where_its_interval_says_so_and_the_rule_steps_up(self):
        rng = numpy.random.default_rng(3)
        for _ in range(200):
            logs = rng.normal(rng.uniform(-0.15, 0.15), 0.04, 5)
            verdict = stats.paired_verdict(numpy.ones(5), numpy.exp(logs), 5, answers.TIME_WORDS)
            self.assertEqual(corpus.benjamini_hochberg([corpus.p_value(logs, 5)]) == [True],
                             verdict["verdict"] in answers.TIME_WORDS, logs)
        self.assertEqual(corpus.benjamini_hochberg([0.03, 0.9, 0.03, 0.03]), [True, False, True, True])
        self.assertEqual(corpus.benjamini_hochberg([0.011, 0.9, 0.04]), [True, False, False])


class Outputs(Files):

    def hand_made(self, pairs=12):
        document = corpus_rates.simulated(numpy.random.default_rng(2), [0.3] + [0.0] * (pairs - 1), rounds=4,
                                          no_link=((3, "b"),))
        document["plan"]["shaders"][5]["source"] = {"file": HOSTILE, "section": "fragment"}
        document["plan"]["configurations"][1]["name"] = "b" * 40
        for result in document["results"]:
            result["configuration"] = result["configuration"].replace("b", "b" * 40)
        return document

    def test_the_summary_fits_100_columns_and_names_each_pair_by_the_end_of_its_source(self):
        lines = corpus_summary.summary_lines(corpus.judge(self.hand_made()))
        self.assertEqual([line for line in lines if len(line) > 100 or "\x1b" in line or line.endswith("...")], [])
        self.assertTrue(lines[0].startswith("LINKS ON ONE SIDE ONLY, 1 pair") and "shader_3." in lines[1])
        self.assertTrue(any(line.endswith("/deep/=cmd.shader_test") for line in lines), lines)

    def test_report_shows_the_summary_the_gate_the_csv_and_the_page_and_a_plain_comparison_as_before(self):
        document = self.hand_made()
        table, html = os.path.join(self.work, "pairs.csv"), os.path.join(self.work, "page.html")
        status, text, _ = run_main("report", self.write(None, json.dumps(document)), "--fail-on-regression",
                                   "--pairs-csv", table, "--html", html)
        self.assertEqual((status, text.index("LINKS ON ONE SIDE ONLY") < text.index("Corpus of 12 pairs"),
                          "\nGate FAILED (status 1, time on the wall clock): a pair links on one side only:" in text,
                          "configuration" in text.split("\n")[0]), (1, True, True, False))
        with open(table) as f:
            rows = list(csv.DictReader(f))
        self.assertEqual([(r["pair"], r["links"], r["called"]) for r in rows if r["links"] != "links" or r["called"]],
                         [("p0", "links", "hurt"), ("p3", "fails to link", "")])
        self.assertEqual(rows[5]["source"][:2], "</")  # a cell as text; only a formula's start is defused
        with open(html) as f:
            page = f.read()
        data = json.loads(page.split('<script id="data" type="application/json">')[1].split("</script>")[0])
        points = data["corpus"][0]["charts"][0]["points"]
        self.assertEqual((len(points), points[-1]["called"], [p["change"] for p in points]),
                         (11, "hurt", sorted(p["change"] for p in points)))
        self.assertTrue(HOSTILE[:17] not in page and any(p["name"].startswith("</script>") for p in points))
        self.assertEqual((data["verdicts"], "A corpus is judged as a whole" in page), ([], True))  # not a pair's
        # A corpus record or a pair's source that is not one: refused in one line before anything is shown.
        for part, key, said in ((document["plan"]["corpus"], "seed", "plan.corpus has no 'seed'"),
                                (document["plan"]["shaders"][0]["source"], "file", "source has no 'file'")):
            value = part.pop(key)
            status, _, err = run_main("report", self.write(None, json.dumps(document)), "--html", html)
            self.assertEqual((status, err.count("\n"), said in err), (2, 1, True), err)
            part[key] = value
        del document["plan"]["corpus"]
        text = run_main("report", self.write(None, json.dumps(document)))[1]
        self.assertTrue("Corpus" not in text and "time:   slower +" in text and text.startswith("configuration"))


if __name__ == "__main__":
    unittest.main()
