#!/usr/bin/python3
"""How large the trend page of 50 series over 200 commits gets (5 runs a
commit, a change in each), and how long headless Chromium takes from the
start of navigation until every chart is drawn. Not run by ctest;
docs/history.md has its figures.

Usage: PYTHONPATH=tools:tests/tools benchmarks/history_page.py [LOADS]"""

import os
import shutil
import statistics
import sys
import tempfile
import time

from sbench.history import trend_page
from test_detect import made_history
from test_report import start_browser

loads = int(sys.argv[1]) if len(sys.argv) > 1 else 5
directory = tempfile.mkdtemp(prefix="shaderbench-page-bench-")
try:
    path = os.path.join(directory, "history.html")
    trend_page.write(path, made_history(50, 200))
    browser = start_browser(directory)
    try:
        times, whole = [], []
        for _ in range(loads):
            browser.get("file://" + path)
            while not browser.execute_script("return window.shaderbench.drawn"):
                time.sleep(0.01)
            times.append(browser.execute_script("return window.shaderbench.drawnAt"))
            whole.append(browser.execute_script(
                "const t = performance.now(); window.shaderbench.drawAll(); return performance.now() - t"))
        print("page %.1f KiB; from navigation to the charts in view painted: median %.0f ms, worst %.0f ms; "
              "the other charts made at once after: median %.0f ms (%d loads)"
              % (os.path.getsize(path) / 1024, statistics.median(times), max(times), statistics.median(whole), loads))
        browser.save_screenshot(os.path.join(os.environ.get("SCREENSHOT_DIR", directory), "history.png"))
    finally:
        browser.quit()
finally:
    shutil.rmtree(directory)
