"""The output parser, the verdicts' arithmetic, results files and the command line, and short real runs."""

import collections
import contextlib
import csv
import gzip
import io
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import numpy

from sbench import compare
from sbench.results import calls, document as results, program_output as output
from sbench.running import campaign, plan
from sbench.analysis import answers, calibration, clocks, sequential, stats, verdicts
from sbench.system import interrupts, files as outputs
from sbench.commands import run as run_command

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "compare")
FAKE = os.path.join(ROOT, "tests", "tools", "fake_bench.py")
DATA = os.path.join(ROOT, "tests", "tools", "data")
ITERATIONS = b"".join(output.progress_line(i) for i in range(1000))
REPORT = ("%s\n%s\n" % (output.TIME % 83801, output.COMMIT % 6736)).encode()
BASE = [1000, 1010, 990, 1005, 995]


class Parsers(unittest.TestCase):

    def test_complete_runs_and_what_breaks_them(self):
        failed = ITERATIONS.replace(b"0007/1000", output.LINK_FAILED.encode() + b"\n0007/1000")
        for data, *expected in (  # output, complete, failed, ms, MiB
                (ITERATIONS + REPORT, True, [], 83801, 6736),
                (failed + REPORT, True, [7], 83801, 6736),
                (ITERATIONS + REPORT.replace(b"6736MB", b"unavailable"), True, [], 83801, None),
                (ITERATIONS + REPORT.replace(b"6736MB", b"-2MB"), True, [], 83801, -2),
                (ITERATIONS + REPORT[:-1], False, [], 83801, None),  # no final newline
                (ITERATIONS.replace(b"0500/1000\n", b"") + REPORT, False, [], 83801, 6736),  # one missing
                (ITERATIONS.replace(b"\n", b"\r\n") + REPORT, False, [], 83801, 6736),  # CR LF
                (ITERATIONS + REPORT + ITERATIONS[:10], False, [], 83801, 6736),  # anything after
                (output.LOAD_FAILED.encode() + b"\n", False, [], None, None)):
            self.assertEqual([output.parse(data)[k] for k in ("complete", "failed", "ms", "commit_mib")], expected,
                             data[-60:])

    def test_variables_commas_names_and_what_the_tool_sets_itself(self):
        self.assertEqual(plan.parse_config("old:LD_LIBRARY_PATH=/opt/a:/opt/b,MESA_DEBUG="),
                         ("old", {"LD_LIBRARY_PATH": "/opt/a:/opt/b", "MESA_DEBUG": ""}, None))
        configs = plan.add_variable([plan.parse_config("llvmpipe")], "llvmpipe:LP_DEBUG=fs,tgsi")
        self.assertEqual(configs, [("llvmpipe", {"GALLIUM_DRIVER": "llvmpipe", "LP_DEBUG": "fs,tgsi"}, "llvmpipe")])
        for text in ("nosuchdriver", ":A=1", "name:", "name:A", "name:1A=2", "name:A=1,,B=2", "x:A=1,A=2",
                     "two\nlines:A=1"):
            self.assertRaises(ValueError, plan.parse_config, text)
        self.assertRaises(ValueError, plan.add_variable, configs, "llvmpipe:LP_DEBUG=x")
        for cache, var in (("off", "MESA_SHADER_CACHE_DISABLE"), ("user", "DISPLAY")):  # isolated: test_faults
            self.assertRaises(ValueError, plan.check_configs, [("c", {var: "x"}, None)], cache)
        plan.check_configs([("c", {"MESA_SHADER_CACHE_DIR": "/c"}, None)], "user")  # with the user's cache, theirs


def recorded_run(first_ms=50, per_program_kib=200, base_kib=90000, seed=1):
    """A run as the tool records it: arrival gaps of about 1 ms, commit growing linearly."""
    rng = numpy.random.default_rng(seed)
    arrivals = numpy.cumsum(rng.uniform(0.5, 1.5, 1000) * 1e6).astype(int).tolist()
    ms = round((arrivals[-1] - arrivals[0]) / 1e6 + first_ms)
    commit = [base_kib + per_program_kib * (i + 1) for i in range(1000)]
    return {"ms": ms, "commit_mib": per_program_kib * 1000 // 1024, "cpu_ms": 0.8 * (arrivals[-1] - arrivals[0]) / 1e6,
            "link_failures": 0, "program_ms": stats.program_times(ms, arrivals), "commit_kib": commit,
            "rss_kib": [c // 2 for c in commit]}


class Verdicts(unittest.TestCase):

    def test_summary_of_recorded_runs(self):
        summary = stats.timeline_summary([recorded_run(seed=1), recorded_run(seed=2)])
        self.assertEqual([round(summary[k], 2) for k in ("commit_kib_per_program", "rss_kib_per_program",
                                                         "commit_last_vs_first", "cpu_per_wall")], [200, 100, 1, 0.8])
        self.assertTrue(0.9 < summary["program_p50_ms"] < 1.1 and summary["first_vs_rest"] > 5, summary)
        # Growth that doubles its pace after program 500 is not straight.
        bent = recorded_run()
        bent["commit_kib"] = [c + (max(0, i - 500) * 200) for i, c in enumerate(bent["commit_kib"])]
        self.assertAlmostEqual(stats.timeline_summary([bent])["commit_last_vs_first"], 2.0)
        self.assertEqual(stats.timeline_summary([dict(bent, program_ms=None)]), {})

    def test_rounds_are_paired_and_every_answer_is_a_number_or_says_why_not(self):
        rng = numpy.random.default_rng(7)
        drift = 1000 * numpy.linspace(1.15, 0.85, 6)  # the machine slows down over the comparison
        old = drift * (1 + rng.normal(0, 0.005, 6))
        new = old * 1.05 * (1 + rng.normal(0, 0.005, 6))
        paired = stats.paired_verdict(old, new, 2.0, answers.TIME_WORDS)
        self.assertEqual((paired["verdict"], stats.unpaired_verdict(old, new, 2.0, answers.TIME_WORDS)["verdict"]),
                         ("slower", "inconclusive"))  # the drift is noise to unpaired runs, not to rounds
        self.assertTrue(3 < paired["interval_pct"][0] < 5 < paired["interval_pct"][1] < 7, paired)
        by_round, by_run = stats.paired_verdict, stats.unpaired_verdict
        for verdict, old, new, text in (
                (by_round, [6736] * 5, [6780] * 5, "same within ±2 % +0.7 % [+0.7, +0.7] (5 rounds)"),
                (by_run, [6736] * 5, [13472] * 4, "more memory +100.0 % [+100.0, +100.0] (5 and 4 runs)"),
                (by_round, [0] * 3, [0] * 3, "same within ±2 % +0.0 % [+0.0, +0.0] (3 rounds)"),
                (by_round, [0, 0], [0, 5], "inconclusive (2 rounds; no change in % from a baseline of 0"),
                (by_round, [100], [200], "too few runs (1 round)"),
                (by_round, [100, 104, 99], [101, 99, 104], "inconclusive +0.3 % [-11.3, +13.5] (3 rounds; noise 5.0 %"
                 " a round; 18 to 175 more rounds would likely settle it)")):
            found = verdict(old, new, 2.0, answers.MEMORY_WORDS)
            self.assertIn(text, stats.describe(found))
            self.assertTrue(all(numpy.isfinite(x) for x in [found["change_pct"] or 0] + (found["interval_pct"] or [])))

    def test_on_recorded_runs_of_one_driver_false_verdicts_are_rare_and_slowdowns_found(self):
        # llvmpipe against itself (docs/measurements.md), floors a little below; loaded pools' heavy tails: at 5 %.
        floors = {  # threshold, least power, the gate's least passes of an unchanged build and blocks of a double one
            "aa-llvmpipe-sample": (2.0, {("paired", 10, 1.10): 0.40, ("paired", "auto", 1.10): 0.08}, (0, 0)),
            "aa-llvmpipe-small": (2.0, {("paired", 10, 1.10): 0.30, ("paired", "auto", 1.10): 0.35}, (0, 0)),
            "aa-llvmpipe-quick-24": (5.0, {}, (0, 0)), "aa-llvmpipe-quick-quiet-30": (5.0, {}, (0.95, 0.60)),
            "aa-llvmpipe-quick-cpu-loaded-30 cpu_rounds": (5.0, {}, (0.55, 0.15)),
            "aa-llvmpipe-quick-cpu-quiet-30 cpu_rounds": (5.0, {}, (0.85, 0.65))}
        for name, (threshold, floor, (passes, blocks)) in floors.items():
            path, _, key = name.partition(" ")
            rounds = json.loads(gzip.decompress(pathlib.Path(DATA, path + ".json.gz").read_bytes()))[key or "rounds"]
            rows = calibration.measure(rounds, rules=("paired", "unpaired"), threshold_pct=threshold, gate=False)
            self.assertEqual([r for r in rows if r["scale"] == 1.0 and r["slower"] + r["faster"] > 0.05], [], name)
            power = {(r["rule"], r["rounds"], r["scale"]): r["slower"] for r in rows}
            self.assertEqual([key for key, least in floor.items() if power[key] < least], [], (name, power))
            if floor:
                self.assertGreater(power[("paired", 10, 1.10)], power[("unpaired", 10, 1.10)] + 0.2, name)
            self.assertEqual({r["most"] for r in rows}, {min(20, len(rounds))}, "a draw holds more than the pool")
            # Without a threshold to hide behind, -n auto's looks still err at most 5 % of the time.
            (auto,) = calibration.measure(rounds, sizes=(), scales=(1.0,), rules=("paired",), threshold_pct=0.0,
                                          gate=False)
            self.assertLessEqual(auto["slower"] + auto["faster"], 0.05, name)
            # The gate at its default 5 %: an unchanged build is rarely blocked, a change on the margin rarely passes.
            unchanged, margin, double = calibration.measure(rounds, sizes=(), scales=(), rules=())
            self.assertTrue(unchanged["fail"] <= 0.05 and margin["pass"] <= 0.05 and unchanged["pass"] >= passes
                            and double["fail"] >= blocks, (name, unchanged, margin, double))
        # Counted (callgrind), gated at 1 %: three rounds agree now and then to a thousandth of a per cent.
        for name in ("aa-llvmpipe-quick-count-loaded-10", "aa-llvmpipe-quick-count-shared-5",
                     "aa-llvmpipe-quick-count-quiet-5"):
            rounds = json.loads(gzip.decompress(pathlib.Path(DATA, name + ".json.gz").read_bytes()))["count_rounds"]
            unchanged, margin, double = calibration.measure(rounds, sizes=(), scales=(), rules=(), threshold_pct=1.0,
                                                            floor=clocks.noise_floor("instructions"))
            self.assertTrue(unchanged["pass"] >= 0.99 and unchanged["median_rounds"] == 3 and margin["pass"] <= 0.05
                            and double["fail"] >= 0.99, (name, unchanged, margin, double))

    def test_calibration_stops_each_draw_where_and_as_n_auto_would(self):
        rounds = json.loads(gzip.decompress(pathlib.Path(DATA, "aa-llvmpipe-quick-quiet-30.json.gz").read_bytes()))
        drawn_rows = calibration.shuffles(numpy.random.default_rng(1), 30, 12, 20)
        picked = numpy.array(rounds["rounds"], dtype=float)[drawn_rows]
        ends = collections.Counter()
        for gate, scale, threshold in ((False, 1.0, 5.0), (False, 1.04, 2.0), (True, 1.02, 1.0), (True, 0.98, 1.0)):
            a, b, a_mib, b_mib = picked[..., 0], picked[..., 1] * scale, picked[..., 2], picked[..., 3]
            drawn = list(zip(*calibration.auto(a, b, a_mib, b_mib, threshold, 20, gate)))
            for row, expected in enumerate(drawn):  # the row as a comparison run by -n auto would look at it
                saved = dict(document([result("a", "p", a[row], a_mib[row]), result("b", "p", b[row], b_mib[row])]),
                             plan={"runs": 20, "auto": True, "gate": gate, "threshold": threshold})
                stopped = next((n, records, reason) for n in sequential.looks(20) for records in
                               [verdicts.within(saved, up_to=n)] for reason in
                               [sequential.auto_stop(records, n, 20)] if reason)
                self.assertEqual((stopped[1][0]["time"]["gate" if gate else "verdict"], stopped[0]), expected,
                                 (gate, scale, row, stopped[2]))
                ends[stopped[2].split()[1]] += 1
        self.assertEqual(set(ends), {"every", "still", "after"}, ends)  # settled, at --max-runs, too noisy


def result(name, shaders_sha="p1", times=BASE, mibs=(50,) * 5, cpus=None):
    """A result of configuration name on pair shaders_sha, of runs taking times, using mibs (and cpus ms of CPU)."""
    return {"configuration": name, "environment": {}, "renderer": name, "gl_version": None, "cache": "isolated",
            "failure": None, "failed_runs": [],
            "shaders": {"directory": "/x/" + shaders_sha, "label": shaders_sha,
                        "files": {f: {"size": 1, "sha256": shaders_sha} for f in plan.PAIR}},
            "runs": [{"ms": t, "commit_mib": m, "cpu_ms": None, "link_failures": 0, "program_ms": None,
                      "commit_kib": None, "rss_kib": None, **({"cpu_us": round(c * 1000)} if cpus else {})}
                     for t, m, c in zip(times, mibs, cpus or times)]}


def document(found):
    return {"schema": results.SCHEMA, "complete": True, "host": {"name": "h"}, "plan": None,
            "binary": {"path": TOOL, "sha256": "0"}, "results": found}


def run_main(*argv):
    """(status, standard output, standard error) of the command line, run in this process."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = compare.main(list(argv), os.path.join(ROOT, "tools"))
        except SystemExit as exit:  # argparse
            status = exit.code
    return status, out.getvalue(), err.getvalue()


class Files(unittest.TestCase):
    def setUp(self):
        self.work = self.enterContext(tempfile.TemporaryDirectory())

    def write(self, found, text=None):
        with tempfile.NamedTemporaryFile("w", suffix=".json", dir=self.work, delete=False) as f:
            f.write(text if text is not None else json.dumps(document(found)))
        return f.name


class ResultsFiles(Files):

    def test_rows_match_by_configuration_and_pair_or_as_the_only_two(self):
        old = [result("a"), result("b"), result("a", "p2", mibs=[9] * 5)]
        new = [result("b", times=[round(t * 1.3) for t in BASE]), result("a", mibs=[60] * 5), result("c")]
        table, saved = os.path.join(self.work, "t.csv"), os.path.join(self.work, "v.json")
        status, text, _ = run_main("--diff", self.write(old), self.write(new), "--fail-on-regression",
                                   "--threshold", "2", "--csv", table, "--json", saved)
        self.assertRegex(text, r"a p1\n  time:   same within ±2 % .*\n"
                               r"  memory: more memory \+20\.0 % \[\+20\.0, \+20\.0\] \(5 and 5 runs\)\n"
                               r"b p1\n  time:   slower \+30\.0 %")
        self.assertEqual((status, "a p2: only in the old results, missing from the new\nc p1: only in the new results"
                          in text), (1, True))
        with open(saved) as f, open(table) as g:  # as JSON and CSV: the change, the interval, the method, the runs
            second, rows = json.load(f)["verdicts"][1], list(csv.DictReader(g))
        self.assertEqual((second["configuration"], second["time"]["method"], second["time"]["runs"]),
                         ("b", stats.UNPAIRED, [5, 5]))
        self.assertEqual([(r["configuration"], r["time_verdict"], r["runs_old"], r["verdict_method"]) for r in rows],
                         [("a", "same", "5", stats.UNPAIRED), ("b", "slower", "5", stats.UNPAIRED)])
        self.assertAlmostEqual(float(rows[1]["time_low_pct"]), second["time"]["interval_pct"][0])
        # One row each: compared whatever their names.
        status, text, _ = run_main("--diff", self.write([old[0]]), self.write([new[2]]))
        self.assertEqual((status, "a p1 -> c p1\n  time:   same within ±5 %" in text), (0, True), text)

    def test_a_verdict_between_different_shader_files_or_binaries_is_refused_unless_allowed(self):
        old, other_pair = self.write([result("a")]), self.write([result("c", "p2")])
        other_binary = self.write(None, json.dumps(dict(document([result("a")]), binary={"path": "/b", "sha256": "1"})))
        pair = "different shader files: old a p1, new c p2: %s, %s differ by SHA-256" % plan.PAIR
        binary = "different binaries: old %s (SHA-256 0), new /b (SHA-256 1)" % TOOL
        refused = "compare: %s against %s: %s: give --allow-different %s to compare them all the same\n"
        for new, allowed, status, out, err in (  # what it says first on each
                (other_pair, [], 2, "", refused % (old, other_pair, pair, "pair")),
                (other_pair, ["pair"], 0, pair + "\nOld against new", ""),
                (other_binary, ["pair"], 2, "", refused % (old, other_binary, binary, "binary")),
                (other_binary, ["binary", "pair"], 0, binary + "\nOld against new", "")):
            allowing = [a for kind in allowed for a in ("--allow-different", kind)]
            found = run_main("diff", old, new, "--fail-on-regression", *allowing)
            self.assertEqual((found[0], found[1][:len(out)], found[2]), (status, out, err))

    def test_what_is_not_a_results_file_is_refused_in_one_line_naming_it(self):
        good = json.dumps(document([result("a", "p1", [1000] * 5, [50] * 5)]))
        valid = self.write(None, good)
        for text, reason in (  # file text, what the line says
                ("[1, 2]", "the top level should be an object"),
                ("hello", "not JSON"),
                (good.replace('"ms": 1000', '"ms": "1000"', 1), 'results[0].runs[0].ms should be a whole number, not'),
                (good.replace('"ms": 1000', '"ms": NaN', 1), "NaN is not a number"),
                (good.replace('"results"', '"findings"'), "the document has no 'results'"),
                (good.replace(results.SCHEMA, "other/1"), 'its schema is "other/1"'),
                (good.replace('"schema"', '"id": "x\\u001b", "schema"', 1), "the document.id should be 32 lowercase"),
                (good.replace('"program_ms": null', '"program_ms": [1.0]', 1), "program_ms should hold 1000 numbers"),
                (good.replace('{"name": "h"}', '{"name": "h", "cpu": %s}' % ("[" * 40 + "]" * 40)), "more than 16"),
                ("[" * 100000 + "]" * 100000, "nested too deeply"),
                (good.replace('"ms": 1000', '"ms": 1%s' % ("0" * 400), 1), "runs[0].ms is a huge number, out of range"),
                (good.replace('"cpu_ms": null', '"cpu_ms": 1e400', 1), "runs[0].cpu_ms is Infinity, out of range"),
                (good.replace('"configuration": "a"', '"configuration": "a\\nb"'), "configuration should be printable"),
                (good.replace('"environment": {}', '"environment": {"A=B": "1"}', 1), '"A=B"="1", which no process'),
                (good.replace('"commit_kib": null', '"commit_kib": %s' % ([1] * 1000), 1), "commit_kib but no rss_kib"),
                (json.dumps(document([dict(result("a", "p1", [1000] * 5, [50] * 5), calls=dict(
                    {key: [1.0] * 1000 for key in results.CALL_KEYS}, source="replay", link_ms=[None] * 1000))])),
                 "results[0].calls.link_ms[0] should be a whole number or a number, not null")):
            path = self.write(None, text)
            for argv in (["--report", path], ["--diff", valid, path], ["--baseline", path], ["--resume", path]):
                status, out, err = run_main(*argv)
                self.assertEqual((status, out), (2, ""), argv)
                self.assertRegex(err, r"\Acompare: %s: .*%s.*\n\Z" % (re.escape(path), re.escape(reason)))
        # A reader that goes away (| head) ends the tool as SIGPIPE would, without a word.
        read_end, write_end = os.pipe()
        os.close(read_end)
        gone = subprocess.run([TOOL, "--report", valid], stdout=write_end, stderr=subprocess.PIPE, timeout=60)
        os.close(write_end)
        self.assertEqual((gone.returncode, gone.stderr), (141, b""))
        # A file of the first schema still reads, as complete, with labels and without failed runs.
        old = re.sub(r'"(complete|failed_runs|label)": [^,]*, ', "",
                     good.replace(results.SCHEMA, "shaderbench-compare/1"))
        upgraded = results.load(self.write(None, old))
        self.assertEqual((upgraded["complete"], upgraded["results"][0]["shaders"]["label"],
                          upgraded["results"][0]["failed_runs"]), (True, "p1", []))

    def test_each_subcommand_gives_what_its_first_spelling_gave_and_takes_only_its_own_options(self):
        with gzip.open(os.path.join(DATA, "small-softpipe-llvmpipe.json.gz"), "rt") as f:
            recorded = self.write(None, f.read())
        old, new = (self.write([result("a", "p1", times, [mib] * 5)]) for times, mib in ((BASE, 50), (BASE[::-1], 60)))
        gated = ["--fail-on-regression", "--threshold", "1"]
        pairs = [(["--report", recorded], ["report", recorded]),
                 (["--report", recorded] + gated, ["report", recorded] + gated),
                 (["--resume", old], ["run", "--resume", old]),  # refused alike: a file without a plan
                 (["--diff", old, new] + gated, ["diff", old, new] + gated)]
        binary = shutil.copy(FAKE, self.work)  # a copy: the CSV would overwrite it, were it not refused
        run = ["-n", "1", "--binary", binary, "--csv", binary, "f:FAKE_BENCH=ok"]  # refused before any X server starts
        refused = [["report", old, "--json", "r.json"], ["diff", old, old, "--plot", "p.png"],
                   ["calibrate", old, "--fail-on-regression"]]  # refused alike in both spellings, by one parser
        found = [(run_main(*first), run_main(*second)) for first, second in pairs + [(run, ["run"] + run)] + [
            (["--" + argv[0]] + argv[1:], argv) for argv in refused]]
        self.assertEqual([first for first, _ in found], [second for _, second in found])
        self.assertEqual([first[0] for first, _ in found], [0, 1, 2, 1, 2, 2, 2, 2])
        self.assertIn("--csv %s is the same file as --binary" % binary, found[4][1][2])
        for argv in refused + [["run", "--report", old], ["report", old, "-n", "3"]]:
            status, out, err = run_main(*argv)
            self.assertEqual((status, out, "compare %s: error: unrecognized arguments" % argv[0] in err), (2, "", True))
        # After a subcommand a word is a CONFIG whatever its name; first, it is the subcommand.
        self.assertIn("'report' is neither a built-in configuration", run_main("run", "report")[2])
        self.assertIn("the following arguments are required: FILE.json", run_main("report")[2])

    def test_options_out_of_range_and_outputs_that_would_clobber_are_refused(self):
        saved, other = self.write([result("a", "p1", [1000] * 5, [50] * 5)]), os.path.join(self.work, "x.csv")
        os.symlink(saved, os.path.join(self.work, "link.json"))
        for argv, line in (
                (["--stall-timeout", "inf"], "--stall-timeout: inf is not above 0"),
                (["--stall-timeout", "nan"], "--stall-timeout: nan is not above 0"),
                (["--threshold", "nan"], "--threshold: nan is not from 0"),
                (["-n", "0"], "-n/--runs: 0 is not from 1"),
                (["--display", "nowhere"], "'nowhere' is neither private nor an X display"),
                (["--report", saved, "--csv", saved], "--csv %s is the same file as --report %s" % (saved, saved)),
                (["--report", saved, "--plot", os.path.join(self.work, "link.json")], "is the same file as --report"),
                (["--report", saved, "--csv", other, "--timeline", other], "%s is the same file as --csv" % other),
                (["--baseline", saved, "--json", saved, "--binary", FAKE], "is the same file as --baseline")):
            status, _, err = run_main(*argv)
            self.assertEqual((status, line in err.splitlines()[-1]), (2, True), (argv, err))

    def test_an_output_is_replaced_whole_through_its_link_and_a_results_file_has_one_holder(self):
        real, link = os.path.join(self.work, "real.csv"), os.path.join(self.work, "link.csv")
        os.symlink(real, link)

        def half_then_interrupted(f):
            f.write("half")
            raise interrupts.Interrupted(signal.SIGINT)
        outputs.write(link, lambda f: f.write("old\n"))
        self.assertRaises(interrupts.Interrupted, outputs.write, link, half_then_interrupted)
        self.assertEqual((os.path.islink(link), pathlib.Path(real).read_text(), sorted(os.listdir(self.work))),
                         (True, "old\n", ["link.csv", "real.csv"]))
        with outputs.locked(link):
            holder = subprocess.run([sys.executable, "-c", "from sbench.system import files as outputs\n"
                                     "with outputs.locked(%r): pass" % real], capture_output=True, text=True,
                                    env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "tools")))
            self.assertIn("Locked: %s is in use by another comparison (PID %d)" % (real, os.getpid()), holder.stderr)
        with outputs.locked(real):  # free again, and its lock file gone with it
            pass
        self.assertEqual(sorted(os.listdir(self.work)), ["link.csv", "real.csv"])


class Gates(Files):

    def test_a_gate_exits_0_only_on_a_pass_1_on_a_regression_and_3_when_the_runs_cannot_tell(self):
        for times, mibs, status, line in (  # new times, new MiB, status, a line of what it says
                ([1300, 1313, 1287, 1306, 1294], [50] * 5, 1, "a p1 time: FAILED: at least +28.8 %"),
                (BASE, [60] * 5, 1, "a p1 memory: FAILED: at least +20.0 %"),
                ([t + 3 for t in BASE], [50] * 5, 0, "Gate passed (status 0, time on the wall clock): nothing is slow"),
                ([t * 1.2 for t in [1000, 800, 1250, 900, 1100]], [50] * 5, 3, "a p1 time: not settled: inconclusive"),
                (BASE, [None] * 5, 0, "a p1 memory: not gated: the runs report no figure"),
                ([t * 1.055 for t in BASE[::-1]], [50] * 5, 3, "to settle it: up to about 17 more runs a side (-n 22")):
            old = result("a", "p1", BASE, [None] * 5 if mibs[0] is None else [50] * 5)
            new = result("a", "p1", [round(t) for t in times], mibs)
            found = run_main("--diff", self.write([old]), self.write([new]), "--fail-on-regression")
            self.assertEqual((found[0], line in found[1]), (status, True), found[1])
            # The same runs as one comparison's rounds, judged from its saved file.
            found = run_main("--report", self.write([old, dict(new, configuration="b")]), "--fail-on-regression")
            self.assertEqual(found[0], status, found[1])
        self.assertEqual(run_main("--diff", self.write([old]), self.write([new]))[0], 0)  # no gate, no judgment
        # Nothing on the new side to judge fails it.
        old = [result("a", "p1", [1000] * 5, [50] * 5), result("b", "p1", [1000] * 5, [50] * 5)]
        crashed = dict(result("a", "p1", [], []), failed_runs=[{"run": n, "reason": "crashed (SIGSEGV)", "programs": 3,
                                                               "progress_s": None} for n in (1, 2)])
        for new, why in (([crashed, old[1]], "a p1: nothing to compare: all 2 runs failed in the new results"),
                         ([old[1]], "a p1: only in the old results, missing from the new"),
                         ([], "nothing was compared")):
            text, failing, _ = verdicts.diff(old, new, 2.0)
            self.assertTrue(failing and why in text, (new, text))
        self.assertFalse(verdicts.diff(old, old, 2.0)[1])

    def test_the_cpu_clock_judges_when_asked_and_the_wall_clock_says_when_it_would_settle(self):
        wall, cpu = ([1000, 1200, 900, 1100, 1050], [1100, 1000, 1150, 950, 1000]), [990, 1000, 995, 1005, 1000]
        sides = [result(name, "p1", times, [50] * 5, [c * scale + 3 * i for c in cpu[::1 - 2 * i]])
                 for scale in (1, 3) for i, (name, times) in enumerate(zip("ab", wall))]
        # Under load: a third of the wall time on a CPU, but the main thread always running or waiting for one.
        waited = [dict(r, runs=[dict(run, cpu_us=run["cpu_us"] // 3, runnable_us=run["ms"] * 1000)
                                for run in r["runs"]]) for r in sides[:2]]
        one, threads, old, new, loaded = map(self.write, (sides[:2], sides[2:], sides[:1], [sides[1]], waited))
        untimed = self.write([result("a", "p1", wall[0], [50] * 5)])
        hint = ("The CPU clock would likely settle b p1 time: its noise is 0.8 % a round against the wall clock's "
                "17.7 %, with CPU over wall 0.97 (the driver compiles on the calling thread): --clock cpu\n")
        for argv, status, text, shown in (
                (["report", one, "--fail-on-regression"], 3, "  " + hint, True),
                (["report", one], 0, "time on the wall clock)\n" + hint, True),
                (["report", threads], 0, "--clock cpu", False),  # three times the wall time: threads at work
                (["report", loaded], 0, "with its main thread running or waiting for a core 1.00 (the driver", True),
                (["report", one, "--fail-on-regression", "--clock", "cpu"], 0,
                 "Gate passed (status 0, time on the CPU clock (the process's CPU time)): ", True),
                (["report", one, "--clock", "cpu"], 0, "  CPU same ±5 %\n", True),  # the table's verdict
                (["diff", old, new, "--clock", "cpu"], 0, "(runs unpaired; 95 % intervals; time on the CPU clo", True),
                (["diff", untimed, new, "--clock", "cpu"], 2, "%s has runs recorded without their" % untimed, True)):
            found = run_main(*argv)
            self.assertEqual((found[0], text in found[1] + found[2]), (status, shown), (argv, found))

    def test_a_report_of_several_files_judges_each_on_its_own_runs_and_exits_with_the_worst(self):
        passing = [result("a"), result("b", times=[t + 3 for t in BASE])]
        crashed = {"run": 6, "reason": "crashed (SIGSEGV)", "ending": "crash", "programs": 3, "status": None,
                   "signal": "SIGSEGV", "stderr": [], "seconds": 1.0, "progress_s": []}
        files = {"passed": passing, "FAILED": [passing[0], dict(passing[1], failed_runs=[crashed])],
                 "NOT SETTLED": [passing[0], result("b", times=[1200, 960, 1500, 1080, 1320])]}
        paths = {verdict: self.write(found) for verdict, found in files.items()}
        for first, second, status in (("NOT SETTLED", "passed", 3), ("passed", "NOT SETTLED", 3),
                                      ("FAILED", "passed", 1), ("passed", "FAILED", 1)):
            found = run_main("report", paths[first], paths[second], "--fail-on-regression")
            gates = re.findall(r"^Gate (passed|FAILED|NOT SETTLED) \(status \d, time on the wall clock\): "
                               r"(a run or a configuration failed)?", found[1], re.M)
            why = "a run or a configuration failed"
            self.assertEqual((found[0], gates), (status, [(v, why * (v == "FAILED")) for v in (first, second)]))

    def test_auto_stops_at_a_look_once_answered_or_at_once_when_it_cannot_be(self):
        def looked(times, mibs, round_number, base_failure=None):
            found = [result("a", "p1", [1000] * len(times), mibs), result("b", "p1", times, mibs)]
            if base_failure:
                found[0].update(runs=[], failure=base_failure)
            found = [dict(r, runs=[dict(run, run=n + 1) for n, run in enumerate(r["runs"])]) for r in found]
            saved = dict(document(found), plan={"runs": 20, "auto": True, "gate": True, "threshold": 5.0,
                                                "configurations": [{"name": "a"}, {"name": "b"}]})
            with contextlib.redirect_stderr(io.StringIO()):
                return run_command.look(saved, round_number), saved.get("stopped")

        ratios = numpy.random.default_rng(3).normal(0, 0.18, 6)
        noisy = [round(1000 * x) for x in numpy.exp(ratios - ratios.mean())]  # unchanged, 18 % a round
        for times, mibs, round_number, stops, line in (
                ([1500] * 3, [None] * 3, 3, True, "Stopped: every gated verdict passed or failed after 3 rounds."),
                ([1500] * 4, [50] * 4, 4, False, None),  # not a look
                (noisy, [50] * 6, 6, True, "20 rounds would not settle a threshold of 5 %"),
                (noisy[:3], [50] * 3, 3, False, None)):  # too soon to trust the noise
            stopped, reason = looked(times, mibs, round_number)
            self.assertEqual((stopped, reason is None), (stops, line is None), reason)
            self.assertIn(line or "", reason or "")
        self.assertEqual(looked([1000], [50], 1, base_failure="no context"), (True, "Stopped after 1 round: the "
                         "baseline a failed (no context): nothing to set the others against."))

    def test_rounds_alternate_which_configuration_runs_first(self):
        saved = dict(document([result(name, "p1", [], []) for name in "ab"]), plan={"order": "alternating"})
        self.assertEqual([[group[0]["configuration"] for group in campaign.round_order(saved, n)] for n in (1, 2, 3)],
                         [["a", "b"], ["b", "a"], ["a", "b"]])  # the order a comparison's runs go in


class RealRun(Files):

    def test_short_runs_and_their_replays_write_results_charts_and_a_trace_and_leave_no_cache(self):
        user_cache, tmp = (os.path.join(self.work, *p) for p in [("home", ".cache"), ("tmp",)])  # llvmpipe fills it
        for directory, statement in (("pair", "gl_FragColor"), ("broken", "gl_FragColour"),
                                     (user_cache, ""), (tmp, "")):
            os.makedirs(os.path.join(self.work, directory))
            sources = ("gl_Position = vec4(0.0);", statement + " = vec4(1.0);") * bool(statement)
            for name, text in zip(plan.PAIR, sources):
                pathlib.Path(self.work, directory, name).write_text("void main() { %s }\n" % text)
        env = dict(os.environ, HOME=os.path.dirname(user_cache), XDG_CACHE_HOME=user_cache, TMPDIR=tmp)
        env.pop("DISPLAY", None)
        files = {name: os.path.join(self.work, name) for name in ("r.json", "t.png", "p.png", "c.png", "t.json")}
        run = subprocess.run(
            [TOOL, "-n", "1", "--binary", os.environ["SHADERBENCH"], "--shaders", os.path.join(self.work, "pair"),
             "--shaders", os.path.join(self.work, "broken"), "--json", files["r.json"], "--timeline", files["t.png"],
             "--plot", files["p.png"], "--calls", "--calls-chart", files["c.png"], "--trace-events", files["t.json"],
             "llvmpipe"], env=env, capture_output=True, text=True, timeout=300)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("\nllvmpipe broken: FAILED: 1000 of 1000 programs failed to link\n", run.stdout)
        self.assertEqual((os.listdir(tmp), "mesa_shader_cache" in os.listdir(user_cache)), ([], False))
        timed, broken = json.loads(pathlib.Path(files["r.json"]).read_text())["results"]
        self.assertEqual((timed["renderer"].split()[0], timed["cache"], broken["runs"][0]["link_failures"]),
                         ("llvmpipe", "isolated", 1000))
        (record,) = timed["runs"]
        self.assertEqual([len(record[key]) for key in ("program_ms", "commit_kib", "rss_kib")], [1000] * 3)
        self.assertAlmostEqual(sum(record["program_ms"]), record["ms"], places=6)
        self.assertGreater(record["commit_kib"][-1], record["commit_kib"][0])
        replay = timed["calls"]
        self.assertEqual([len(replay[key]) for key, _ in calls.CALLS] + [replay["source"], replay["link_status_ms"][0]],
                         [1000] * 5 + ["replay", None])
        self.assertTrue(0 < min(replay["link_ms"]) and replay["trace_bytes"] > 0)
        events = json.loads(pathlib.Path(files["t.json"]).read_text())["traceEvents"]  # a process a result
        self.assertEqual(collections.Counter((e["pid"], e["tid"]) for e in events if e["name"] == "program"),
                         {(1, 1): 1000, (2, 1): 1000, (1, 2): 1000})  # tid 2: the replay, of the pair that links
        self.assertEqual({pathlib.Path(files[n]).read_bytes()[:4] for n in ("t.png", "p.png", "c.png")}, {b"\x89PNG"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
