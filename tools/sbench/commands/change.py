"""One change found in the history, judged: --ignore TEXT or --fixed set its
status; --confirm builds the commit recorded before its range and the
range's last commit with the bisect's builder and runs a fresh paired, gated
comparison of the two builds on this machine (the change becomes confirmed,
or rejected when the later build is not worse by more than the threshold);
--bisect bisects the same span and stores the culprit. --confirm and --bisect take the bisect's --repo, --build
and --use, and its --builds, --binary, --shaders, --max-runs, --threshold
and --keep-builds, checked as the bisect checks them. A change of a series
of instructions is judged on counted runs (--clock instructions), counted by
--counter (default auto: the hardware counter where the kernel has one).

Exit status: 0 done; 1 the builds or runs failed; 2 a bad argument or store;
3 the comparison could not tell within its runs (the status is left)."""

import os
import sys
import tempfile

from ..system import interrupts
from ..history import found_changes, store as stores
from ..running import counting
from ..system.text import printable
from . import bisect
from .bisect import assignment
from .common import add_store_options, with_store

NAME = "change"
USAGE = "change ID (--confirm | --bisect | --ignore TEXT | --fixed) [--repo DIR --build CMD --use VAR=VALUE...]"
HELP = "confirm, bisect, ignore or close one change found in the history"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    parser.add_argument("id", type=int, metavar="ID", help="the change's id (as changes lists it)")
    what = parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--confirm", action="store_true", help="build both sides and compare them afresh")
    what.add_argument("--bisect", action="store_true", help="bisect the change's range, store the culprit")
    what.add_argument("--ignore", metavar="TEXT", help="mark it ignored, with why")
    what.add_argument("--fixed", action="store_true", help="mark it fixed")
    add_store_options(parser, commits=False)
    parser.add_argument("--repo", metavar="DIR", help="the driver's git repository (for --confirm, --bisect)")
    parser.add_argument("--build", metavar="CMD", help="builds {src} and installs into {prefix}, as bisect's")
    parser.add_argument("--use", action="append", type=assignment, default=[], metavar="VAR=VALUE",
                        help="a variable of each run, as bisect's; may be repeated")
    bisect.add_step_options(parser)
    parser.add_argument("--counter", choices=counting.COUNTERS, metavar="|".join(counting.COUNTERS),
                        help="what counts the runs that judge a change of instructions (as run's --counter; "
                             "default auto)")
    return parser


def bisected(row, good, bad, args, here):
    """(bisect's exit status, [[before, after]] it found) of GOOD..BAD."""
    with tempfile.TemporaryDirectory(prefix="shaderbench-change-") as directory:
        saved = os.path.join(directory, "bisect.json")
        passed = {key: getattr(args, key) for key in bisect.STEP_OPTIONS}
        if row["measure"] == "instructions":  # judged as it was found: on the count
            passed.update(measure="time", clock="instructions", counter=args.counter or "auto")
        else:
            passed.update(measure=row["measure"])
        status = bisect.run(bisect.arguments(good, bad, args.repo, args.build, args.use, json=saved, json_kept=False,
                                             faster=row["direction"] not in found_changes.REGRESSIONS, **passed),
                            here)
        if not os.path.exists(saved):
            return status, []
        import json
        with open(saved) as f:
            return status, json.load(f).get("changes", [])


def recorded_before(store, row):
    """The commit recorded last before the change's range: where its bisect starts."""
    from ..history import series as serieses
    commits = [p["commit"] for p in serieses.series_points(store, row["series_id"]) if p["commit"]]
    first = commits.index(row["range"][0]) if row["range"][0] in commits else 0
    return commits[first - 1] if first else row["before_sha"]


def run(args, here):
    refused = ((args.confirm or args.bisect) and not (args.repo and args.build and args.use)
               and "--confirm and --bisect need --repo, --build and --use, as bisect does"
               or args.counter and not (args.confirm or args.bisect) and "--counter goes with --confirm or --bisect")
    with interrupts.raising():
        status, judged = with_store(args.store, lambda store: judge(store, args, here), refused, write=True)
    return judged if status is None else status


def judge(store, args, here):
    """The status of judging change args.id as the command line says."""
    (row,) = found_changes.listed(store, change_id=args.id) or [None]
    if row is None:
        raise stores.StoreError("no change %d in store %s" % (args.id, store["shown"]))
    if args.ignore is not None or args.fixed:
        found_changes.set_status(store, args.id, "fixed" if args.fixed else "ignored", note=args.ignore)
        print("change %d: %s" % (args.id, "fixed" if args.fixed else "ignored"))
        return 0
    if not row["before_sha"] or not row["range"]:
        raise stores.StoreError("change %d has no commits to build" % args.id)
    if args.counter and row["measure"] != "instructions":
        raise stores.StoreError("--counter goes with a change of instructions; change %d is of %s"
                                % (args.id, row["measure"]))
    # Both take the whole range: a creep's size is between the levels either side of it, not of one step.
    status, found = bisected(row, recorded_before(store, row), row["range"][-1], args, here)
    if status == bisect.REFUSED:  # the bisect said why, in its one line
        return 2
    if args.confirm and status in (0, 4):
        judged = "confirmed" if status == 0 else "rejected"
        found_changes.set_status(store, args.id, judged)
        print("change %d: %s" % (args.id, judged))
        return 0
    if args.bisect and status == 0 and found:
        culprit = found[0][1]
        found_changes.set_status(store, args.id, "bisected", culprit=culprit)
        print("change %d: bisected to %s" % (args.id, printable(culprit)))
        return 0
    print("change %d: left %s (the bisect exited %d)" % (args.id, printable(row["status"]), status), file=sys.stderr)
    return 3 if status == 3 else 1
