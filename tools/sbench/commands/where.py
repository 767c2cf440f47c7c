"""Where the instructions went: one run of each of two configurations under
valgrind's callgrind (the loop's own thread, from its entry to its return),
and the functions whose instructions changed most between them, self and
inclusive, each with its library (a stripped library's by address).

A comparison says whether B does more work than A; this says in which
functions. It is one run of each, whatever clock judged the comparison: a
count barely varies from run to run, so one run shows where the work went.
Both callgrind files are kept in --keep DIR (callgrind.out.NAME), for
KCachegrind or callgrind_annotate. A run takes about 30 times a native one.

With --bisect FILE (a bisect's --json), the first bad commit it named is set
against its parent, each run with the bisect's variables on the build the
bisect kept (in --builds DIR, as the bisect's), and with its pair and cache
unless given; a run that loads nothing from its build stops it.
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
USAGE = "where [options] --keep DIR (CONFIG_A CONFIG_B | --bisect FILE)"
HELP = "which functions B's instructions went to, against A: one callgrind run of each"
SHOWN = 15
WIDTH = 100


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, usage="compare " + USAGE, description=__doc__,
                                   epilog="CONFIG: as run's (see run -h)",
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("configs", nargs="*", metavar="CONFIG", help="A, then B: B's instructions set against A's")
    parser.add_argument("--bisect", metavar="FILE.json",
                        help="the first bad commit of this saved bisect against its parent, on the builds it kept")
    parser.add_argument("--builds", metavar="DIR", help="with --bisect: where its builds are kept (default: "
                        "$XDG_CACHE_HOME/shaderbench/builds)")
    parser.add_argument("--keep", required=True, metavar="DIR",
                        help="the directory the two callgrind files are written into (callgrind.out.NAME)")
    parser.add_argument("--shaders", metavar="DIR", help="the shader pair (default: the samples)")
    parser.add_argument("--top", type=common.number_in(1, 10 ** 6, int), default=SHOWN, metavar="N",
                        help="the functions shown (default %d); --json has as many" % SHOWN)
    parser.add_argument("--cache", choices=results.CACHE_MODES,
                        help="the driver's disk cache: a fresh one per run (default: the bisect's, else isolated), "
                             "off, or the user's")
    common.add_display(parser)
    common.add_stall(parser)
    common.add_binary(parser)
    parser.add_argument("--json", metavar="FILE", help="the table as JSON")
    parser.add_argument("--html", metavar="FILE.html", help="the table as a page, to open offline in a browser")
    return parser


def run(args, here):
    try:
        configs, pair, binary, kept, culprit = prepare(args, here)
    except Refused as error:
        refuse(error)
        return 2
    scratch.remove_stale()
    scratch.start_watchdog()
    with interrupts.raising():
        try:
            for config, path, prefix in zip(configs, kept, culprit.get("prefixes", (None, None))):
                counted_run(binary, pair, config, path, args, prefix)
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
    if culprit:
        found["bisect"] = {key: culprit[key] for key in ("file", "parent", "commit", "subject")}
    if args.json:
        outputs.write(args.json, lambda f: json.dump(found, f, indent=1))
    if args.html:
        write_page(args.html, found)
    sys.stdout.write(text(found))
    return 0


def prepare(args, here):
    """(the two configurations, the pair's directory, the binary, the two
    files to keep, and with --bisect what culprit() found, else {}); raises
    Refused."""
    if len(args.configs) != (0 if args.bisect else 2):
        raise Refused("--bisect names both sides: no CONFIG" if args.bisect else "give two configurations, A and B")
    found = culprit(args) if args.bisect else {}
    args.cache = args.cache or found.get("cache") or "isolated"
    try:
        configs = found.get("configs") or [plans.parse_config(text) for text in args.configs]
        plans.check_configs(configs, args.cache)
        pair = plans.find_pair(args.shaders or found.get("shaders") or os.path.join(here, "..", "shaders"))
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
    common.check_outputs(args, inputs + ([("--bisect", args.bisect)] if args.bisect else []))
    for path in kept:
        why = outputs.unwritable(path)
        if why:
            raise Refused("--keep: %s" % why)
    return configs, pair, binary, kept, found


def culprit(args):
    """The first bad commit that the bisect saved in args.bisect named, and
    its parent: {"configs": theirs, each with the bisect's variables on its
    kept build, "prefixes", "shaders", "cache", and what the output names}.
    The file is another run's: one that another user could have written is
    refused, since its variables (LD_PRELOAD) would run as ours."""
    from ..bisection import builds, steps  # here: the bisection's steps import X
    from .run import untrusted
    try:
        document = steps.load(args.bisect)
        reason = untrusted(args.bisect)
        root = builds.checked_root(args.builds or builds.default_root())
    except (ValueError, OSError, *builds.ERRORS) as error:
        raise Refused(str(error))
    if reason:
        raise Refused("--bisect %s %s: its variables would run as you" % (printable(args.bisect), reason))
    commits, settings = document["commits"], document["settings"]
    change = document["changes"][0] if document["changes"] else None
    if not change or commits.index(change[1]) != commits.index(change[0]) + 1:
        raise Refused("%s names no first bad commit%s" % (printable(args.bisect), "" if not change else
                      ": it could be any of %d commits" % (commits.index(change[1]) - commits.index(change[0]))))
    found = {"file": os.path.abspath(args.bisect), "parent": change[0], "commit": change[1],
             "subject": document["subjects"].get(change[1], ["?"])[0], "configs": [], "prefixes": []}
    try:
        for commit in change:
            paths = builds.paths_of(root, commit, builds.key_of(commit, settings["build"], settings["use"]))
            kept = builds.recorded(paths["directory"])
            if not kept or kept["status"] != "built":
                raise Refused("the build of %s is gone from %s: compare bisect --resume %s, with the bisect's "
                              "arguments, makes it again" % (commit[:12], printable(root), printable(args.bisect)))
            found["configs"].append((commit[:12], steps.environment(settings, paths), None))
            found["prefixes"].append(paths["prefix"])
        found.update(shaders=str(settings["shaders"]), cache=settings["cache"])
    except (KeyError, TypeError, ValueError, *builds.ERRORS) as error:
        raise Refused("%s: not a bisect of this tool (its settings: %s)" % (printable(args.bisect), error))
    return found


def counted_run(binary, pair, config, kept, args, prefix=None):
    """One callgrind run of config, its file copied whole to kept; raises
    Refused with the run's failure (a loop that was not counted among them),
    or when it loaded nothing from prefix (a bisect's build)."""
    from ..running import campaign, desktop, libraries, observe  # here: nothing of X is loaded before a run
    name, env, _ = config
    display = None if args.display in (None, "private") else desktop.user_display(args.display)
    progress("%s: one run under callgrind (about %d times a native run)" % (name, counting.CALLGRIND_SLOWDOWN))
    with desktop.xserver(display) as run_display, campaign.pair_workdir(pair) as workdir:
        run, failed = observe.run_once(binary, workdir, run_display, env, args.cache, False, args.stall_timeout, 1,
                                       lambda line: progress("[%s] program %s" % (name, line.split("/")[0]), False),
                                       libraries_under=(prefix,) if prefix else (), counter="callgrind")
        if failed:
            raise Refused("%s: its run failed: %s" % (name, failed["reason"]))
        reason = prefix and libraries.outside(run["libraries"], prefix)
        if reason:
            raise Refused("the run of %s %s" % (name, reason))

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
    if found.get("bisect"):
        lines.append("%s is the first bad commit (%s), against its parent %s:" % (
            found["bisect"]["commit"][:12], printable(found["bisect"]["subject"]), found["bisect"]["parent"][:12]))
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
