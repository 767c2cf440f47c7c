"""The history's series, per commit of the driver: the runs, their median,
an interval around it, and the changes found there; runs nothing.

The interval is the median's, from the runs' order statistics (at least 95 %
where there are 6 runs or more; with fewer, the runs' range). Points recorded
without --commit come after the others, in the order they were recorded.

Exit status: 0; 1 when no series is recorded (or none matches the filters);
2 a store that cannot be used or an output refused."""

import json
import math
import statistics
import sys

from ..system import files as outputs, interrupts
from ..history import found_changes, series as serieses, trend_page
from ..presentation import tables
from ..system.text import printable
from . import common
from .common import add_store_options, with_store

NAME = "history"
USAGE = "history [options]"
HELP = "the recorded series, per commit: runs, median, interval and the changes found"
CSV_FIELDS = ("machine", "configuration", "shaders", "measure", "unit", "position", "commit", "recorded", "runs",
              "median", "low", "high", "changes")
CHANGE_FIELDS = ("id", "before_sha", "after_sha", "range", "commits", "change_pct", "direction", "status", "culprit",
                 "note")


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    add_store_options(parser, commits=False)
    parser.add_argument("--machine", metavar="NAME", help="only this machine: the name run and record give it "
                                                          "with --machine, else its host name")
    parser.add_argument("--config", metavar="C", help="only this configuration")
    # Not --shaders, which is a directory everywhere else; that spelling is kept for scripts.
    parser.add_argument("--pair", "--shaders", dest="pair", metavar="LABEL",
                        help="only the shader pair of this label (--shaders is an older spelling)")
    parser.add_argument("--measure", choices=tuple(serieses.UNITS), help="only this measure (instructions: "
                        "the counts of counted comparisons, --clock instructions)")
    parser.add_argument("--last", type=lambda text: _positive(text), metavar="N",
                        help="only the last N points of each series")
    parser.add_argument("--json", metavar="FILE", help="write the series, each run's figures too, as JSON "
                                                       "(to standard output: -)")
    parser.add_argument("--csv", metavar="FILE", help="write a row per point as CSV (to standard output: -)")
    parser.add_argument("--html", metavar="FILE.html",
                        help="write the trend page: the changes, and a chart per series of its last N commits "
                             "(default %d)" % trend_page.LAST)
    return parser


def _positive(text):
    import argparse
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("%r is not a whole number from 1" % text)
    return int(text)


def median_interval(runs, level=0.95):
    """(low, high): the order statistics around the median that hold it with
    at least level, from the binomial; the range when too few runs can."""
    ordered, n = sorted(runs), len(runs)
    if n == 0:
        return None, None
    best = (ordered[0], ordered[-1])
    for k in range((n - 1) // 2, -1, -1):
        # P(X_(k+1) <= median <= X_(n-k)) = 1 - 2 P(Binomial(n, 1/2) <= k)
        tail = sum(math.comb(n, i) for i in range(k + 1)) / 2 ** n
        if 1 - 2 * tail >= level:
            best = (ordered[k], ordered[n - 1 - k])
            break
    return best


def gather(store, args):
    """The series asked for, each with its points (and each point its median,
    interval and the changes whose later side is its commit)."""
    found, by_series = [], {}
    for change in reversed(found_changes.listed(store)):  # oldest first, as the chart marks them
        by_series.setdefault(change["series_id"], []).append({key: change[key] for key in CHANGE_FIELDS})
    for one in serieses.series_list(store, args.machine, args.config, args.pair, args.measure):
        points = serieses.series_points(store, one["id"], args.last, figures=True)
        changes = by_series.get(one["id"], [])
        for point in points:
            point["median"] = statistics.median(point["runs"]) if point["runs"] else None
            point["interval"] = list(median_interval(point["runs"]))
            point["changes"] = [c["id"] for c in changes if point["commit"] and c["after_sha"] == point["commit"]]
        found.append(dict(one, points=points, changes=changes))
    return found


def _number(value, whole=False):
    return "-" if value is None else "%.0f" % value if whole else "%.1f" % value


def text(found):
    lines = []
    for one in found:
        lines.append("%s (%s)" % (printable(one["name"]), printable(serieses.unit(one))))
        whole = one["measure"] == "instructions"  # a count is a whole number, and wider than ms
        if any(p["commit"] is None for p in one["points"]):
            lines.append("  points without a commit (recorded without --commit) are ordered by when they were "
                         "recorded")
        lines.append("  %-21s %8s %5s %10s %21s  %s" % ("commit", "position", "runs", "median", "interval", "changes"))
        by_id = {c["id"]: c for c in one["changes"]}
        for point in one["points"]:
            commit = printable(point["commit"][:12]) if point["commit"] else "(%s)" % printable(point["recorded"][:19])
            found_here = ", ".join("#%d %+.1f %% %s (%s)" % (
                i, by_id[i]["change_pct"], printable(by_id[i]["direction"]), printable(by_id[i]["status"]))
                                   for i in point["changes"])
            low, high = point["interval"]
            lines.append("  %-21s %8s %5d %10s %21s  %s" % (
                commit, "-" if point["position"] is None else point["position"], len(point["runs"]),
                _number(point["median"], whole), "%s to %s" % (_number(low, whole), _number(high, whole)),
                found_here))
        lines.append("")
    return "\n".join(lines) + ("\n" if not found else "")


def json_text(found):
    """The series as a JSON list, a series a line: indenting every run's
    figures would take Python's own encoder, several times slower than the
    one in C on a year of nightly runs."""
    return "[\n" + ",\n".join(json.dumps(one, allow_nan=False) for one in found) + "\n]\n" if found else "[]\n"


def csv_rows(found):
    for one in found:
        for point in one["points"]:
            yield {"machine": one["machine"], "configuration": one["configuration"], "shaders": one["shaders"],
                   "measure": one["measure"], "unit": serieses.unit(one), "position": point["position"],
                   "commit": point["commit"], "recorded": point["recorded"], "runs": len(point["runs"]),
                   "median": point["median"], "low": point["interval"][0], "high": point["interval"][1],
                   "changes": " ".join(str(i) for i in point["changes"])}


def run(args, here):
    with interrupts.raising():
        status, found = with_store(args.store, lambda store: gather(store, args), common.outputs_refused(args))
        if status is not None:
            return status
        sys.stdout.write(text(found) if found else "no series recorded%s\n" % (
            " that match" if any((args.machine, args.config, args.pair, args.measure)) else ""))
        if args.json:
            outputs.write(args.json, lambda f: f.write(json_text(found)))
        if args.csv:
            # Text escaped, and never the start of a spreadsheet formula (as the comparison's CSV).
            tables.write_csv(args.csv, ({k: printable(v) if isinstance(v, str) else v for k, v in row.items()}
                                        for row in csv_rows(found)), CSV_FIELDS)
        if args.html:
            trend_page.write(args.html, found, last=args.last or trend_page.LAST)
        return 0 if found else 1
