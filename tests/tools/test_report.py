"""The HTML report and the trend page in headless Chromium: drawn whole from the one file, with no request and no
console error, saying what the terminal says, from a recorded results file and from what can go wrong with one."""

import copy
import gzip
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import unittest.mock
import urllib.parse

import numpy
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

from sbench.commands import where
from sbench.history import trend_page, trials
from sbench.presentation import report_page, where_page
from sbench.results import callgrind
from test_compare import Files, run_main

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "compare")
FAKE = os.path.join(HERE, "fake_bench.py")
RECORDED = os.path.join(HERE, "data", "small-softpipe-llvmpipe.json.gz")
SAMPLES = os.path.join(HERE, "..", "..", "shaders")  # only read: the fake compiles nothing


def start_browser(directory):
    """Chromium with its profile and its temporary files (org.chromium.*) in directory: the caller's to remove."""
    options = Options()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,1000",
                     "--disable-background-networking", "--disable-component-update", "--no-first-run",
                     "--user-data-dir=" + os.path.join(directory, "profile")):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    service = Service("/usr/bin/chromedriver", env=dict(os.environ, TMPDIR=directory))
    return webdriver.Chrome(service=service, options=options)


class Report(Files):

    @classmethod
    def setUpClass(cls):
        # Under /tmp: the path of Chromium's socket in it must fit in 108 bytes, wherever the checkout is.
        browser_dir = tempfile.mkdtemp(prefix="shaderbench-browser-", dir="/tmp")
        cls.addClassCleanup(shutil.rmtree, browser_dir)  # after quit: cleanups run last first
        cls.browser = start_browser(browser_dir)
        cls.addClassCleanup(cls.browser.quit)
        cls.recorded = json.loads(gzip.decompress(pathlib.Path(RECORDED).read_bytes()))

    def open(self, page, drawn=True):
        """(console entries, URLs the page itself requested: not Chromium's own pages') of loading page, once its
        script has drawn it (drawn False: a page without one)."""
        self.browser.get_log("browser"), self.browser.get_log("performance")  # what came before
        url = pathlib.Path(page).as_uri()  # a space in the checkout's path is %20 in it
        self.browser.get(url)
        deadline = time.monotonic() + 30
        while drawn and not self.browser.execute_script("return !!(window.shaderbench && window.shaderbench.drawn)"):
            self.assertLess(time.monotonic(), deadline, "the page was never drawn")
            time.sleep(0.05)
        requests = [json.loads(entry["message"])["message"] for entry in self.browser.get_log("performance")]
        return (self.browser.get_log("browser"),
                [urllib.parse.unquote(r["params"]["request"]["url"]) for r in requests
                 if r["method"] == "Network.requestWillBeSent" and r["params"].get("documentURL") == url])

    def raw_in_data(self, page):
        """The <, > and & that stand as they are in the page's inline data, where none may: "<!--" then "<script "
        there swallows the page's scripts."""
        text = pathlib.Path(page).read_text()
        start = text.index('<script id="data" type="application/json">')
        return set(text[text.index(">", start) + 1:text.index("</script>", start)]) & set("<>&")

    def points(self):
        """{chart: [points of each dataset]} as the page holds them."""
        return self.browser.execute_script(
            "const found = {}; for (const [name, chart] of Object.entries(window.shaderbench.charts))"
            " found[name] = chart.data.datasets.map((d) => d.data.length); return found;")

    def test_a_page_is_whole_offline_and_says_what_the_terminal_says(self):
        results, page = self.write(None, json.dumps(self.recorded)), os.path.join(self.work, "report.html")
        text = run_main("--report", results, "--wide", "--html", page)[1]
        self.assertEqual(self.open(page), ([], ["file://" + page]))  # no console entry, nothing fetched

        # Every chart drawn, with every point: 1000 per program series, one per run and round.
        runs = len(self.recorded["results"][0]["runs"])
        self.assertEqual(self.points(), {
            "verdicts": [2, 2, 2], **{"rounds-%d" % i: [runs, runs] for i in (0, 1)},
            **{"time-%d" % i: [1000] * (3 + runs) for i in (0, 1)}, **{"memory-%d" % i: [1000, 1000] for i in (0, 1)},
            **{"calls-%d" % i: [1000] * 4 for i in (0, 1)},
            **{"together-%s-0" % m: [1000] * 6 for m in ("time", "memory")},
            **{"together-%s-0-ratio" % m: [1000] for m in ("time", "memory")}})
        # Both configurations on one chart, each with its band; beneath, the other against the baseline.
        self.assertEqual(self.browser.execute_script(
            "return ['time-0', 'time-0-ratio'].map((k) => window.shaderbench.charts['together-' + k].data.datasets"
            ".map((d) => d.label))"), [["%s %s" % (name, line) for name in ("softpipe", "llvmpipe")
                                       for line in ("p90", "p10", "median")], ["llvmpipe / softpipe"]])

        # The verdicts and the table's cells are the terminal's, word for word.
        shown = [cell.text for cell in self.browser.find_elements(By.CSS_SELECTOR, "td.verdict-text")]
        self.assertEqual(shown, re.findall(r"^  (?:time|memory): +(.+)$", text, re.M))
        table = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
                 for row in self.browser.find_elements(By.CSS_SELECTOR, "#results-table tbody tr")]
        self.assertEqual(table, [re.split(r"  +", line.strip()) for line in text.split("\n")[2:2 + len(table)]])

        # Hovering over program 500 of a timeline names it.
        canvas = self.browser.find_element(By.ID, "time-0")
        x, y = self.browser.execute_script("const c = window.shaderbench.charts['time-0']; return [c.scales.x"
                                           ".getPixelForValue(500), (c.chartArea.top + c.chartArea.bottom) / 2];")
        ActionChains(self.browser).move_to_element_with_offset(
            canvas, x - canvas.size["width"] / 2, y - canvas.size["height"] / 2).perform()
        self.assertEqual(self.browser.execute_script(
            "return window.shaderbench.charts['time-0'].tooltip.title"), ["program 500"])

    def test_the_page_shows_the_gate_the_terminal_printed_in_every_mode(self):
        ungated = self.write(None, json.dumps(self.recorded))  # made without a gate, judged by one now
        for argv, status in (
                (["run", "-n", "1", "--binary", FAKE, "--shaders", SAMPLES, "a:FAKE_MS=1000",
                  "b:FAKE_MS=1000,FAKE_BENCH=crash:5"], 1),  # a failed run fails the gate
                (["diff", ungated, ungated], 3), (["report", ungated], 1)):
            page = os.path.join(self.work, argv[0] + ".html")
            run = subprocess.run([TOOL, *argv, "--fail-on-regression", "--html", page], capture_output=True,
                                 text=True, timeout=300, env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
            self.open(page)
            shown = self.browser.execute_script("const gate = document.querySelector('pre.gate');"
                                                " return gate && gate.textContent + '\\n';")
            printed = "".join(re.findall(r"^Gate .*\n(?:  .*\n)*", run.stdout, re.M))
            self.assertEqual((run.returncode, shown), (status, printed), run.stderr)
        self.assertTrue(all(", gate: " in cell.text for cell in self.browser.find_elements(
            By.CSS_SELECTOR, "td.verdict-text")))

    def test_diffs_failures_missing_replays_no_timeline_and_several_hosts_render(self):
        failed, no_timeline, other_host, counted = (copy.deepcopy(self.recorded) for _ in range(4))
        failed["results"][1]["runs"].pop()
        failed["results"][1]["failed_runs"].append({
            "run": 2, "reason": "crashed (SIGSEGV) after program 517", "ending": "crash", "programs": 518,
            "status": None, "signal": "SIGSEGV", "stderr": ["driver: out of cheese"], "seconds": 2.0, "progress_s": []})
        for result in no_timeline["results"]:
            result["runs"] = [dict(run, program_ms=None, commit_kib=None, rss_kib=None, timeline="off")
                              for run in result["runs"]]
        other_host["host"]["name"] = "elsewhere"
        counted["plan"].update(clock="instructions", counter="callgrind")
        for n, run in enumerate(run for result in counted["results"] for run in result["runs"]):
            run.update(instructions=7_000_000_000 + 100_000_000 * n, counter="callgrind")
        # "<!--" then "<script" in the data swallowed the page's rest; "</script>" in it would end the data. On
        # the page with the failed run and the missing replays: what it swallowed would be missing.
        hostile = copy.deepcopy(failed)
        hostile["results"][0]["calls"] = {"failure": "the replay hung after program 3: no output for 300 s"}
        del hostile["results"][1]["calls"]
        hostile["host"]["name"], hostile["stopped"] = "<!--<script>", "</script><script>window.injected = 1</script>"
        hostile["results"][1]["renderer"] = renderer = "</script><img src=x onerror='window.injected = 1'>&amp;"
        hostile["results"][1]["configuration"] = hostile["plan"]["configurations"][1]["name"] = "x<!--<script"
        cases = [([self.recorded, failed], ["Old (", "runs unpaired"]),  # --diff
                 ([hostile], ["crashed (SIGSEGV) after program 517", "driver: out of cheese",
                              "No per-call figures: the replay hung after program 3",
                              "<!--<script>", "injected = 1</script>", renderer, "x<!--<script small"]),
                 ([self.recorded, other_host], ["elsewhere"]),
                 ([counted], ["Judged on the instructions counted (by callgrind), not on time",
                              "llvmpipe small instructions", "instructions (by callgrind)", "7300000000",
                              "ms (under valgrind: not native)", "Time per program (under valgrind: not native)",
                              "instructions counted by callgrind", "ms per program (log), under valgrind"]),
                 ([no_timeline], ["No per-program timeline"])]
        for number, (documents, expected) in enumerate(cases):
            page = os.path.join(self.work, "case-%d.html" % number)
            files = [self.write(None, json.dumps(d)) for d in documents]
            run_main("--diff" if number == 0 else "--report", *files, "--html", page)
            console, requests = self.open(page)
            body = self.browser.find_element(By.TAG_NAME, "body").text + "\n" + self.browser.execute_script(
                "return Object.values(window.shaderbench.charts).map((c) => c.data.datasets.map((d) => d.label)"
                ".concat(Object.values(c.options.scales).map((s) => s.title && s.title.text))).flat().join('\\n')")
            injected = self.browser.execute_script("return window.injected")
            self.assertEqual((console, requests, [e for e in expected if e not in body], injected,
                              self.raw_in_data(page)), ([], ["file://" + page], [], None, set()))
        self.assertNotIn("time-0", self.points())  # the last: no timeline, no timeline chart

    def test_a_page_of_many_sections_draws_the_first_at_once_and_the_others_as_they_come_into_view(self):
        many = copy.deepcopy(self.recorded)  # a corpus's page: a section for every pair and configuration
        first, configuration = many["results"][0], many["plan"]["configurations"][0]
        many["results"] = [dict(copy.deepcopy(first), configuration="c%d" % n) for n in range(24)]
        many["plan"]["configurations"] = [dict(configuration, name="c%d" % n) for n in range(24)]
        page = os.path.join(self.work, "many.html")
        with unittest.mock.patch.object(report_page, "FOLD_ROWS", 20):
            run_main("--report", self.write(None, json.dumps(many)), "--html", page)
        self.assertEqual(self.open(page), ([], ["file://" + page]))
        # The table of more rows than that starts folded, the one pair's files do not.
        self.assertEqual(self.browser.execute_script("return Array.from(document.querySelectorAll('details'),"
                                                     " (d) => [d.open, d.querySelectorAll('tbody tr').length])"),
                         [[False, 24]])
        drawn = lambda: {int(name[7:]) for name in self.points() if name.startswith("rounds-")}  # noqa: E731
        self.assertEqual(drawn(), set(range(20)))
        for n in range(20, 24):
            self.browser.execute_script("document.getElementById('section-%d').scrollIntoView()" % n)
            deadline = time.monotonic() + 30
            while n not in drawn():
                self.assertLess(time.monotonic(), deadline, drawn())
                time.sleep(0.05)

    def test_wheres_page_is_the_table_it_prints_with_names_from_hostile_binaries_as_text(self):
        hostile = ("lib<b>.so", "</script><b>&amp;")
        before = {("swrast_dri.so", "0x00000000000b9d30"): [300, 500], ("libc.so.6", "malloc"): [200, 200],
                  hostile: [70, 90]}
        after = {("swrast_dri.so", "0x00000000000b9d30"): [400, 700], ("libc.so.6", "malloc"): [300, 300],
                 hostile: [20, 20]}
        found = {"sides": [{"configuration": name, "file": "/kept/callgrind.out." + name, "instructions": total}
                           for name, total in (("a", 1000), ("x<!--<script", 1250))],
                 "functions": callgrind.changes(before, after)}
        path = os.path.join(self.work, "where.html")
        where_page.write(path, found)
        console, requests = self.open(path, drawn=False)
        shown = {table: [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
                         for row in self.browser.find_elements(By.CSS_SELECTOR, "table.%s tbody tr" % table)]
                 for table in ("sides", "functions")}
        printed = where.text(found).splitlines()
        self.assertEqual(shown, {
            "sides": [list(m.groups(default="")) for m in map(re.compile(
                r"^  (.*): (\d+) instructions(?: \((.*)\))?, kept in (.*)$").match, printed[1:3])],
            "functions": [line.split(None, 4)[:4] + line.split(None, 4)[4].split(" ", 1) for line in printed[4:]]})
        self.assertEqual((len(shown["functions"]), console, requests, self.browser.find_elements(By.TAG_NAME, "b")),
                         (3, [], ["file://" + path], []))

    def test_the_trend_page_draws_each_series_and_its_changes_newest_first_with_hostile_text_as_text(self):
        # 3 series of 30 commits of 5 runs, a step of +6 % at 20, and a change stored there.
        pool, rng, found = trials.noise_pool(os.path.join(HERE, "data")), numpy.random.default_rng(11), []
        for s in range(3):
            runs = trials.history(pool, rng, 30, [(20, 6.0)])
            shas = [hashlib.sha1(b"%d %d" % (s, i)).hexdigest() for i in range(30)]
            points = [{"position": i + 1, "commit": sha, "recorded": "2026-12-09T00:00:00", "runs": list(r * 100),
                       "median": float(numpy.median(r * 100)), "interval": [float(r.min() * 100), float(r.max() * 100)]}
                      for i, (sha, r) in enumerate(zip(shas, runs))]
            found.append({"machine": "m", "configuration": ["</script><b id=x>&amp;\x1b[31m", "x<!--<script", "c"][s],
                          "shaders": "small", "measure": "time", "unit": "ms", "points": points,
                          "changes": [{"id": s + 1, "before_sha": shas[19], "after_sha": shas[20], "range": shas[19:21],
                                       "change_pct": 6.0, "direction": "slower", "status": "detected", "culprit": "",
                                       "note": ""}]})
        path = os.path.join(self.work, "history.html")
        trend_page.write(path, found, last=25)
        console, requests = self.open(path)
        self.browser.execute_script("window.shaderbench.drawAll()")
        rows = [r.text for r in self.browser.find_elements(By.CSS_SELECTOR, "table.changes tbody tr")]
        self.assertEqual(([r.split()[0] for r in rows], "</script><b id=x>&amp;\\x1b[31m" in rows[2],
                          self.browser.find_elements(By.ID, "x")), (["3", "2", "1"], True, []))
        drawn = self.browser.execute_script("""return window.shaderbench.charts.map((c) => [c.data.datasets.map((d) =>
            d.data.length), c.scales.x.ticks.length > 0])""")
        # 25 commits of 5 runs; two levels as steps; one marker, at the step (the 15th of the last 25).
        self.assertEqual(drawn, [[[125, 25, 25, 25, 6, 1], True]] * 3)
        self.assertEqual(self.browser.execute_script("return window.shaderbench.data.series[0].changes[0].x"), 15)
        self.assertEqual((console + self.browser.get_log("browser"), requests, self.raw_in_data(path)),
                         ([], ["file://" + path], set()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
