"""The trend page: one self-contained HTML file of the history, like the
comparison page (Chart.js inlined, no request). The changes first, newest
first, each with the command that confirms or bisects it; then a chart per
series by commit position: each commit's median and its interval, the runs
as faint dots, the means between changes as steps and a marker at each
change. Its input is plain data (commands/history.py's gather), so it is
made and tested without a store. Every string from the store is escaped:
printable() for control characters, the template's autoescape for HTML,
and the inlined JSON has no <, > or &."""

import math

from ..presentation import report_page as report
from ..system import files as outputs
from ..system.text import printable
from . import found_changes, series as serieses

LAST = 200
# What --confirm and --bisect need, to be filled in: the driver's repository, its build, and where a run finds it.
BUILT = "--repo DIR --build COMMAND --use LD_LIBRARY_PATH={prefix}/lib"


def _round(value):
    return None if value is None else round(float(value), 4)


def _short(point):
    return printable(point["commit"][:8]) if point["commit"] else "(%s)" % printable(point["recorded"][:10])


def _title(one):
    # As series.named() gives it (no two alike), else (plain data) the four names that key it mostly.
    return printable(one.get("name") or " ".join(one[k] for k in ("machine", "configuration", "shaders", "measure")))


def steps(points, changes):
    """[(first, end, mean)]: the geometric mean of the medians between
    changes, a change starting a new level at its later commit."""
    starts = {c["after_sha"] for c in changes if c["after_sha"]}
    bounds = [0] + [i for i, p in enumerate(points) if i and p["commit"] in starts] + [len(points)]
    found = []
    for first, end in zip(bounds, bounds[1:]):
        logs = [math.log(p["median"]) for p in points[first:end] if p["median"] and p["median"] > 0]
        if logs:
            found.append((first, end, _round(math.exp(sum(logs) / len(logs)))))
    return found


def change_row(one, change, positions):
    where = [positions[sha] for sha in change["range"] if sha in positions]
    count = change.get("commits")
    return {"id": change["id"], "series": _title(one),
            "status": printable(change["status"]), "range": found_changes.sides(change),
            "commits": "?" if count is None else count,
            "change_pct": _round(change["change_pct"]), "direction": printable(change["direction"]),
            "culprit": printable(change.get("culprit") or ""), "note": printable(change.get("note") or ""),
            "confirm": "compare change %d --confirm %s" % (change["id"], BUILT),
            "bisect": "compare change %d --bisect %s" % (change["id"], BUILT),
            "x": min(where) if where else None}


def page_data(found, last=LAST):
    """What the page shows, as plain data, from the series gather() returns."""
    changes, charts = [], []
    for one in found:
        points = one["points"][-last:] if last else one["points"]
        positions = {p["commit"]: i for i, p in enumerate(points) if p["commit"]}
        rows = [change_row(one, c, positions) for c in one["changes"]]
        changes.extend(rows)
        charts.append({
            "title": _title(one),
            "unit": printable(serieses.unit(one)), "labels": [_short(p) for p in points],
            "median": [_round(p["median"]) for p in points],
            "low": [_round(p["interval"][0]) for p in points], "high": [_round(p["interval"][1]) for p in points],
            "runs": [[i, _round(v)] for i, p in enumerate(points) for v in p["runs"]],
            "steps": steps(points, one["changes"]),
            "changes": [{"x": positions[c["after_sha"]], "id": c["id"], "status": printable(c["status"]),
                         "change_pct": _round(c["change_pct"])}
                        for c in one["changes"] if c["after_sha"] in positions]})
    changes.sort(key=lambda c: -c["id"])
    return {"changes": changes, "series": charts, "last": last}


def html(data, title):
    return report.render("history.html", "history.js", data, title)


def write(path, found, title="shaderbench history", last=LAST):
    text = html(page_data(found, last), title)
    outputs.write(path, lambda f: f.write(text))
