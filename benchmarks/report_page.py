#!/usr/bin/python3
"""How large the HTML report gets, and how long headless Chromium takes to
draw it (its script done) and paint it (the frame after), for 3
configurations x 2 shader pairs x 10 runs with timelines and a replay each
(built from the recorded results that the tests use). Not run by ctest; docs/measurements.md has its figures.

Usage: PYTHONPATH=tools:tests/tools benchmarks/report_page.py [LOADS]
       PYTHONPATH=tools:tests/tools benchmarks/report_page.py PAGE.html [LOADS]   (a page already written:
       a copy of it is drawn)"""

import copy
import gzip
import json
import os
import shutil
import statistics
import sys
import tempfile

from sbench.presentation import report_page as report
from test_report import RECORDED, start_browser


def large_document():
    """The recorded comparison grown to 3 configurations, 2 pairs, 10 runs each."""
    with gzip.open(RECORDED, "rt") as f:
        document = json.load(f)
    first = document["results"][0]
    results = []
    for c, name in enumerate(("a", "b", "c")):
        for p, label in enumerate(("small", "other")):
            result = copy.deepcopy(first)
            result["configuration"], result["shaders"]["label"] = name, label
            result["shaders"]["files"] = {k: dict(v, sha256="%s%d" % (v["sha256"][:-1], p))
                                          for k, v in result["shaders"]["files"].items()}
            runs = [copy.deepcopy(first["runs"][i % len(first["runs"])]) for i in range(10)]
            for i, run in enumerate(runs):
                scale = 1 + 0.1 * c + 0.01 * i
                run.update(run=i + 1, ms=round(run["ms"] * scale), program_ms=[t * scale for t in run["program_ms"]])
            result["runs"] = runs
            results.append(result)
    document["results"] = results
    document["plan"]["configurations"] = [dict(document["plan"]["configurations"][0], name=n) for n in "abc"]
    return document


def main(loads, given=None):
    directory = tempfile.mkdtemp(prefix="shaderbench-page-")
    page = os.path.join(directory, "report.html")
    if given:
        shutil.copyfile(given, page)
    else:
        report.write(page, [large_document()], ["benchmark"], "3 configurations x 2 pairs x 10 runs")
    size = os.path.getsize(page)
    browser = start_browser(directory)
    try:
        times, painted = [], []
        for _ in range(loads):
            browser.get("file://" + page)
            times.append(browser.execute_script("return window.shaderbench.drawnMs"))
            painted.append(browser.execute_async_script(  # null from a page made before it said when it painted
                "const done = arguments[0], given = performance.now() + 5000, wait = () =>"
                " (window.shaderbench.paintedMs || performance.now() > given ?"
                " done(window.shaderbench.paintedMs || null) : setTimeout(wait, 10)); wait();"))
        points, charts = browser.execute_script(
            "const all = Object.values(window.shaderbench.charts);"
            " return [all.reduce((n, c) => n + c.data.datasets.reduce((m, d) => m + d.data.length, 0), 0), all.length]")
    finally:
        browser.quit()
        shutil.rmtree(directory)
    painted = [t for t in painted if t is not None] or [float("nan")]
    print("page %.2f MB, %d points in %d charts drawn; the script done in %.0f ms (%s), painted in %.0f ms (%s)"
          " (medians of %d loads, from the navigation's start)" % (
              size / 1e6, points, charts, statistics.median(times), ", ".join("%.0f" % t for t in times),
              statistics.median(painted), ", ".join("%.0f" % t for t in painted), loads))


if __name__ == "__main__":
    named = sys.argv[1:2] if sys.argv[1:2] and sys.argv[1].endswith(".html") else []
    rest = sys.argv[1 + len(named):]
    main(int(rest[0]) if rest else 5, *named)
