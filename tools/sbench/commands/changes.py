"""The changes found in the history, newest first: the series, the commits
on either side and how many of the repository's lie between them, its size
and its status.
With --detect, the detector runs over every series first and stores what
is new (E-divisive, seeded from the data: the same data gives the same
answer); a change already stored is that change, updated only where the
data moved it, not found again.

Exit status: 0; 1 with --fail-on-new when a new regression (slower, more
memory, more instructions) was stored; 2 a store that cannot be used or an
output refused."""

import json
import sys

from ..analysis import verdicts
from ..system import files as outputs, interrupts
from ..history import found_changes
from ..system.text import printable
from . import common
from .common import add_store_options, with_store

NAME = "changes"
USAGE = "changes [--detect] [--threshold PCT] [--json F] [--fail-on-new] [--store URL]"
HELP = "the changes found in the history; --detect looks for new ones first"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    add_store_options(parser, commits=False)
    parser.add_argument("--detect", action="store_true", help="run the detector over every series first")
    # Not --threshold, which is a verdict's margin everywhere else; that spelling is kept for scripts.
    parser.add_argument("--min-change", "--threshold", dest="min_change", type=common.number_in(0, 100),
                        default=verdicts.DEFAULT_THRESHOLD, metavar="PCT",
                        help="the smallest change the detector reports: one that cannot reach this size is not "
                             "(default %g; --threshold is an older spelling)" % verdicts.DEFAULT_THRESHOLD)
    parser.add_argument("--json", metavar="FILE", help="write the changes as a JSON list (to standard output: -)")
    parser.add_argument("--fail-on-new", action="store_true",
                        help="exit 1 when --detect stored a new regression (a nightly job's question)")
    return parser


def text(rows, new):
    if not rows:
        return "no change found\n"
    lines = ["%5s  %-40s %-27s %9s  %-11s %s" % ("id", "series", "before..after", "commits", "size", "status")]
    for row in rows:
        shown = printable(row["series"])
        lines.append("%5d  %-40s %-27s %9s  %+6.1f %%  %s%s%s" % (
            row["id"], shown, found_changes.sides(row), found_changes.commit_count(row["commits"]),
            row["change_pct"], printable(row["direction"]) + ", " + printable(row["status"]),
            " at %s" % printable(row["culprit"][:12]) if row["culprit"] else "",
            " (new)" if row["id"] in new else ""))
    return "\n".join(lines) + "\n"


def run(args, here):
    with interrupts.raising():
        status, found = with_store(args.store, lambda store: (
            found_changes.detect_all(store, args.min_change) if args.detect else [], found_changes.listed(store)),
            common.outputs_refused(args), write=args.detect)
    if status is not None:
        return status
    new, rows = found
    if args.json != outputs.STANDARD_OUTPUT:  # there, the JSON alone, for whatever reads it
        sys.stdout.write(text(rows, new))
        sys.stdout.flush()
    if args.json:
        outputs.write(args.json, lambda f: json.dump([found_changes.as_json(r) for r in rows], f, indent=1,
                                                     allow_nan=False))
    regressions = [r for r in rows if r["id"] in new and r["direction"] in found_changes.REGRESSIONS]
    return 1 if args.fail_on_new and regressions else 0
