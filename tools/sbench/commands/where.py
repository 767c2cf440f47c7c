"""Where the instructions went: one run of each of two configurations under
valgrind's callgrind (the loop's own thread, from its entry to its return),
and the functions whose instructions changed most between them, self and
inclusive, each with its library (a stripped library's by address).

A comparison says whether B does more work than A; this says in which
functions. It is one run of each, whatever clock judged the comparison: a
count barely varies from run to run, so one run shows where the work went.
Both callgrind files are kept in --keep DIR (callgrind.out.NAME), for
KCachegrind or callgrind_annotate. A run takes about 30 times a native one.
"""

import argparse
import json
import os
import shutil
import sys

from . import common
from .common import Refused, refuse
from ..results import callgrind, document as results
from ..running import counting, plan as plans
from ..system import files as outputs, interrupts, scratch
from ..system.text import printable, progress

NAME = "where"
USAGE = "where [options] --keep DIR CONFIG_A CONFIG_B"
HELP = "which functions B's instructions went to, against A: one callgrind run of each"
SHOWN = 15
WIDTH = 100


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__, epilog="CONFIG: as run's (see run -h)",
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("configs", nargs=2, metavar="CONFIG", help="A, then B: B's instructions set against A's")
    parser.add_argument("--keep", required=True, metavar="DIR",
                        help="the directory the two callgrind files are written into (callgrind.out.NAME)")
    parser.add_argument("--shaders", metavar="DIR", help="the shader pair (default: the samples)")
    parser.add_argument("--top", type=common.number_in(1, 10 ** 6, int), default=SHOWN, metavar="N",
                        help="the functions shown (default %d); --json has as many" % SHOWN)
    parser.add_argument("--cache", choices=results.CACHE_MODES, default="isolated",
                        help="the driver's disk cache: a fresh one per run (default), off, or the user's")
    common.add_display(parser)
    common.add_stall(parser)
    common.add_binary(parser)
    parser.add_argument("--json", metavar="FILE", help="the table as JSON")
    parser.add_argument("--html", metavar="FILE.html", help="the table as a page, to open offline in a browser")
    return parser


def run(args, here):
    try:
        configs, pair, binary, kept = prepare(args, here)
    except Refused as error:
        refuse(error)
        return 2
    scratch.remove_stale()
    scratch.start_watchdog()
    with interrupts.raising():
        try:
            for config, path in zip(configs, kept):
                counted_run(binary, pair, config, path, args)
            sides = [(config[0], path, *callgrind.read(path)) for config, path in zip(configs, kept)]
        except (Refused, callgrind.Unreadable) as error:
            refuse(error)
            return 1
        except (RuntimeError, OSError) as error:  # no X server; the kept file's disk full or gone
            refuse("stopped: %s" % error)
            return 1
        except interrupts.Interrupted as interrupt:
            progress("interrupted (%s)" % interrupt)
            return interrupt.status
    rows = callgrind.changes(sides[0][2], sides[1][2])
    found = {"sides": [{"configuration": name, "file": path, "instructions": total}
                       for name, path, _, total in sides], "functions": rows[:args.top]}
    if args.json:
        outputs.write(args.json, lambda f: json.dump(found, f, indent=1))
    if args.html:
        write_page(args.html, found)
    sys.stdout.write(text(found))
    return 0


def prepare(args, here):
    """(the two configurations, the pair's directory, the binary, the two
    files to keep); raises Refused."""
    try:
        configs = [plans.parse_config(text) for text in args.configs]
        plans.check_configs(configs, args.cache)
        pair = plans.find_pair(args.shaders or os.path.join(here, "..", "shaders"))
    except ValueError as error:
        raise Refused(str(error))
    from .run import checked_binary
    binary = checked_binary(args.binary, here)
    reason = counting.why_not("callgrind", binary)
    if reason:
        raise Refused("cannot count instructions here: %s" % reason)
    if not os.path.isdir(args.keep):
        raise Refused("--keep %s: not a directory" % printable(args.keep))
    kept = [os.path.join(args.keep, "callgrind.out." + name) for name, _, _ in configs]
    inputs = [("--binary", binary)] + [("--shaders", os.path.join(pair, name)) for name in plans.PAIR]
    common.check_outputs(args, inputs)
    for path in kept:
        why = outputs.unwritable(path)
        if why:
            raise Refused("--keep: %s" % why)
    return configs, pair, binary, kept


def counted_run(binary, pair, config, kept, args):
    """One callgrind run of config, its file copied whole to kept; raises
    Refused with the run's failure (a loop that was not counted among them)."""
    from ..running import campaign, desktop, observe  # here: nothing of X is loaded before a run
    name, env, _ = config
    display = None if args.display in (None, "private") else desktop.user_display(args.display)
    progress("%s: one run under callgrind (about %d times a native run)" % (name, counting.CALLGRIND_SLOWDOWN))
    with desktop.xserver(display) as run_display, campaign.pair_workdir(pair) as workdir:
        _, failed = observe.run_once(binary, workdir, run_display, env, args.cache, False, args.stall_timeout, 1,
                                     lambda line: progress("[%s] program %s" % (name, line.split("/")[0]), False),
                                     counter="callgrind")
        if failed:
            raise Refused("%s: its run failed: %s" % (name, failed["reason"]))

        def copy(target):
            with open(os.path.join(workdir, counting.COUNT_FILE), "rb") as source:
                shutil.copyfileobj(source, target)
        outputs.write(kept, copy, binary=True)


def signed(value):
    return "%+d" % value if value else "0"


def text(found):
    """The table, at most WIDTH columns: each side's count, then the functions."""
    (a, b), lines = found["sides"], []
    change = (b["instructions"] - a["instructions"]) / a["instructions"] * 100 if a["instructions"] else 0.0
    lines.append("where the instructions went, %s against %s (callgrind, the loop's own thread):"
                 % (printable(b["configuration"]), printable(a["configuration"])))
    for side, also in ((a, ""), (b, " (%+.3f %%)" % change)):
        lines.append("  %s: %d instructions%s, kept in %s" % (printable(side["configuration"]), side["instructions"],
                                                              also, printable(side["file"])))
    names = ["self " + side["configuration"][:9] for side in (a, b)]
    lines.append("%14s %14s %14s %14s  %s" % ("self change", *names, "incl. change", "library function"))
    for row in found["functions"]:
        where = "%s %s" % (printable(row["object"]), printable(row["function"]))
        lines.append("%14s %14d %14d %14s  %s" % (signed(row["self_change"]), *row["self"],
                                                  signed(row["inclusive_change"]), where))
    if not found["functions"]:
        lines.append("  no function's instructions changed")
    return "".join(line[:WIDTH] + "\n" for line in lines)


def write_page(path, found):
    """The table as a page (presentation/where_page.py): jinja2 is loaded only where one is asked for."""
    from ..presentation import where_page
    where_page.write(path, found)
