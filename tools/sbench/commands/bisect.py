"""bisect: which commit of a driver's history made it slower (or faster, or
take more memory), on builds the tool makes, keeps and checks.

  compare bisect GOOD BAD --repo DIR --build CMD --use VAR=VALUE... [options]

The commits are those of the first-parent line from GOOD to BAD: a change
that a merge brought in is reported as that merge, with the merged range,
to bisect next. Each commit is built once, from a clone of DIR in the
builds directory
(DIR's own working tree and index are never touched), by CMD run by
/bin/sh in the commit's source tree; CMD and each --use value may hold
{src} (the commit's source tree), {prefix} (where its build installs) and
{commit} (its full hash). The runs of a commit get the --use variables, and
must load a library from its {prefix}, else the bisect stops. First GOOD
and BAD are compared in paired rounds; then each midpoint runs in rounds
with the two ends of its segment until it is shown like GOOD, like BAD, or
plainly between them (then both halves are searched, and every change is
reported). One that does not build, whose runs fail, or that cannot be told
within --max-runs is skipped, as git bisect skip does. A commit whose
libraries are byte-identical to an end's takes that end's verdict and runs
nothing.

Exit status: 0 the change was found; 1 a run, a build of GOOD or BAD, or a
check failed; 2 a bad argument, refused before anything runs; 3 GOOD and BAD
could not be told apart within --max-runs; 4 nothing to bisect (BAD is not
worse than GOOD by more than the threshold, or they are the same commit).
130, 143, 129: interrupted (the results file, with --json, can be resumed).

With --git-bisect-run, the commit checked out in DIR (HEAD) is set against
GOOD and BAD and the status is git bisect run's: 0 like GOOD, 1 like BAD (or
between), 125 cannot tell, does not build, or is not on the first-parent
line (git bisect start --first-parent keeps to it), 128 a check failed
(aborts the bisect); an interrupt aborts it too and marks nothing.

With --record, each run goes into the history (see record -h) as it ends,
in a transaction of its own: a point at the commit it ran, in a series
whose configuration is "bisect".
"""

import argparse
import contextlib
import os
import shlex
import sys

from ..analysis import verdicts
from ..bisection import summary as bisect_report, builds, search
from ..results import document as results
from ..running import counting, plan as plans
from ..system import interrupts, files as outputs, scratch
from ..system.text import printable, progress
from ..history import comparisons, store as stores
from . import common
from .record import resolve_commits
from .run import checked_binary, chosen_display

NAME = "bisect"
HELP = "which commit of a driver's history made it slower, on builds it makes and checks"
USAGE = "bisect GOOD BAD --repo DIR --build CMD --use VAR=VALUE... [options]"

FOUND, FAILED, REFUSED, UNSETTLED, NOTHING = 0, 1, 2, 3, 4
GIT_GOOD, GIT_BAD, GIT_SKIP, GIT_ABORT = 0, 1, 125, 128
DEFAULT_KEEP = 50
DEFAULT_BUILD_TIMEOUT = 3600.0
DEFAULT_MAX_RUNS = 20


def assignment(text):
    """--use's VAR=VALUE, kept as given, refused as a configuration's would be."""
    try:
        plans.assignment(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error))
    return text


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, usage="compare " + USAGE,
                                   description=__doc__.strip().split("\n\n")[0],
                                   epilog="\n\n".join(__doc__.strip().split("\n\n")[1:]),
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.set_defaults(json_kept=True)  # False: a caller's --json is its own temporary file, not to be named
    parser.add_argument("good", metavar="GOOD", help="a commit as it was (a hash, a branch, a tag)")
    parser.add_argument("bad", metavar="BAD", help="a later commit that is worse")
    parser.add_argument("--repo", required=True, metavar="DIR", help="the driver's git repository (only read)")
    parser.add_argument("--build", required=True, metavar="CMD", help="builds {src} and installs into {prefix}")
    parser.add_argument("--use", action="append", type=assignment, required=True, metavar="VAR=VALUE",
                        help="a variable of each run, its value taken whole; may be repeated")
    parser.add_argument("--rebuild", action="store_true",
                        help="build each commit it takes anew, even one kept from before")
    parser.add_argument("--build-timeout", type=common.number_in(0, 7 * 86400, low_open=True),
                        default=DEFAULT_BUILD_TIMEOUT, metavar="SECONDS",
                        help="a build that runs longer is stopped and its commit skipped (default 3600)")
    parser.add_argument("--measure", choices=("time", "memory"), default="time")
    common.add_clock(parser, "wall")
    common.add_counter(parser, "the resumed bisect's, else auto")
    parser.add_argument("--faster", action="store_true", help="bisect a speed-up (or a fall of memory)")
    parser.add_argument("--cache", choices=results.CACHE_MODES, default="isolated")
    add_step_options(parser)
    common.add_display(parser)
    common.add_stall(parser)
    parser.add_argument("--json", metavar="FILE", help="write every step and run to FILE, after each run")
    parser.add_argument("--html", metavar="FILE.html", help="write a page of the search")
    parser.add_argument("--resume", metavar="FILE.json",
                        help="go on with the bisect saved in FILE (give the same arguments again)")
    parser.add_argument("--git-bisect-run", action="store_true",
                        help="set DIR's HEAD against GOOD and BAD, with git bisect run's exit status")
    parser.add_argument("--record", action="store_true",
                        help="write every finished run into the history as it goes, a point at the commit it ran "
                             "(see record -h)")
    common.add_store_options(parser, commits=False)
    parser.add_argument("--machine", metavar="NAME", help="with --record: the machine's tag (see record -h)")
    return parser


# What add_step_options defines, as the attributes of parsed arguments: what change passes on.
STEP_OPTIONS = ("builds", "keep_builds", "threshold", "max_runs", "shaders", "binary")


def add_step_options(parser):
    """What a bisect's steps are run with that change --confirm and --bisect
    pass on: defined once, so that both take and check them alike."""
    parser.add_argument("--builds", metavar="DIR", help="where builds are kept (default: "
                        "$XDG_CACHE_HOME/shaderbench/builds)")
    parser.add_argument("--keep-builds", type=common.number_in(1, 100000, int), default=DEFAULT_KEEP, metavar="N",
                        help="the most builds kept; the least recently used go first (default %d)" % DEFAULT_KEEP)
    parser.add_argument("--threshold", type=common.number_in(0, 100), default=verdicts.DEFAULT_THRESHOLD,
                        metavar="PCT", help="BAD must differ from GOOD by more than this (default %g)"
                        % verdicts.DEFAULT_THRESHOLD)
    parser.add_argument("--max-runs", type=common.number_in(3, 10000, int), default=DEFAULT_MAX_RUNS, metavar="N",
                        help="the most rounds of one step (default %d)" % DEFAULT_MAX_RUNS)
    parser.add_argument("--shaders", metavar="DIR", help="the shader pair (default: the samples)")
    common.add_binary(parser)


def arguments(good, bad, repo, build, use, **given):
    """bisect's arguments for GOOD..BAD, as its parser would give them, for a
    caller that runs it as a function: every default, then given."""
    parser = add_parser(argparse.ArgumentParser(prog="compare").add_subparsers())
    args = parser.parse_args([good, bad, "--repo", repo, "--build", build, "--use", use[0]])
    vars(args).update(given, use=list(use))
    check(parser, args)
    return args


def check(parser, args):
    if not args.record and (args.store or args.machine):
        parser.error("--store and --machine go with --record")
    if args.record and args.git_bisect_run:
        parser.error("--record goes with a bisect, not with --git-bisect-run")


def settings_of(args, pair, repo, counter):
    """What decides the bisect's runs and verdicts, as it is saved and as a
    resumed one must match."""
    return {"repo": repo, "build": args.build, "use": args.use, "shaders": pair, "measure": args.measure,
            "sign": -1 if args.faster else 1, "threshold": args.threshold, "max_runs": args.max_runs,
            "build_timeout": args.build_timeout, "cache": args.cache, "stall": args.stall_timeout,
            "clock": args.clock or "wall", "counter": counter}


# What a bisect saved before a setting existed ran with: the wall clock, and no counter.
SAVED_BEFORE = {"clock": "wall", "counter": None}


def chosen_counter(args, resumed, binary):
    """The counter of a counted bisect (None for a timed one): --counter, else
    the resumed bisect's, else auto; Refused with one line when it cannot
    count here, or where a count would not answer the question."""
    if args.clock != "instructions":
        if args.counter:
            raise common.Refused("--counter goes with --clock instructions")
        return None
    if args.measure == "memory":
        raise common.Refused("--clock instructions judges the time only: a counted run's memory is not the "
                             "program's own (bisect memory on --clock wall)")
    saved = (resumed or {}).get("settings", {}).get("counter")  # the file may be another's: a name of ours only
    try:
        chosen, line = counting.choose(args.counter or (saved if saved in counting.COUNTERS else "auto"), binary)
    except ValueError as error:
        raise common.Refused(str(error))
    progress(line)
    return chosen


def prepare(args, here):
    """(document, builds directory, binary): everything checked that would
    fail later, with the checks a comparison makes of its outputs and
    variables. What runs is the binary the command line names (or the
    default one): a resumed file's is only compared with it."""
    from ..bisection import steps as bisecting  # here, not above: report, diff and calibrate load no X
    try:
        repo = builds.checked_repo(args.repo)
        good, bad = builds.commit_of(repo, args.good), builds.commit_of(repo, args.bad)
        commits, merges = builds.first_parent_line(repo, good, bad)
        root = builds.checked_root(args.builds or builds.default_root())
        pair = plans.find_pair(args.shaders or os.path.join(here, "..", "shaders"))
    except (*builds.ERRORS, ValueError, OSError) as error:
        raise common.Refused(str(error))
    binary = checked_binary(args.binary, here)
    if args.resume and args.json and not outputs.same_file(args.json, args.resume):
        raise common.Refused("--resume adds to its own file: no --json")
    common.check_environment([("--use", common.variables("--use", args.use), None)], args.cache)
    inputs = [("--binary", binary)] + [("--shaders", os.path.join(pair, name)) for name in plans.PAIR]
    common.check_outputs(args, inputs, trees=[("--repo", repo)], store=args.record)
    try:
        document = bisecting.load(args.resume) if args.resume else None
    except ValueError as error:
        raise common.Refused(str(error))
    settings = settings_of(args, os.path.abspath(pair), repo, chosen_counter(args, document, binary))
    if not args.resume:
        return bisecting.new_document(settings, commits, binary, merges), root, binary
    differs = [key for key in settings if document["settings"].get(key, SAVED_BEFORE.get(key)) != settings[key]]
    if differs or document["commits"] != commits:
        raise common.Refused("%s: a different bisect (%s): give the same arguments as before"
                             % (args.resume, ", ".join(differs) or "commits"))
    if document["binary"]["sha256"] != plans.binary_info(binary)["sha256"]:
        raise common.Refused("%s: ran another shaderbench binary" % args.resume)
    if document["binary"]["path"] != binary:
        progress("%s ran %s; this bisect runs %s (the same SHA-256)" % (
            args.resume, printable(document["binary"]["path"]), binary))
    document["merges"] = merges
    dropped = bisecting.retry_failed(document)
    if dropped:
        progress("%s: %d rounds with a failed run are run again" % (args.resume, dropped))
    return document, root, binary


def run(args, here):
    try:
        document, root, binary = prepare(args, here)
    except common.Refused as error:
        common.refuse(error)
        return GIT_ABORT if args.git_bisect_run else REFUSED
    path = args.resume or args.json
    try:
        recorded = bisect_recorder(args, document, plans.shader_info(
            document["settings"]["shaders"], plans.pair_labels([args.shaders or os.path.join(here, "..", "shaders")])[0]
        )) if args.record else None
    except common.Refused as error:
        common.refuse(error)
        return REFUSED
    try:
        with outputs.locked(path) if path else contextlib.nullcontext():
            if args.git_bisect_run:
                return git_step(args, document, root, path, binary)
            return bisect(args, document, root, path, binary, recorded)
    except outputs.Locked as error:
        common.refuse(error)
        return GIT_ABORT if args.git_bisect_run else REFUSED
    finally:
        if recorded:
            recorded(None, None)


def started(document, path):
    scratch.remove_stale()
    scratch.start_watchdog()
    save = (lambda doc: results.save(path, doc)) if path else (lambda doc: None)
    save(document)
    return save


def bisect(args, document, root, path, binary, recorded=None):
    from ..bisection import steps as bisecting
    display = chosen_display(args)
    save, status = started(document, path), FAILED
    clock = bisecting.clock(document)
    with interrupts.raising():
        try:
            outcome = bisecting.bisect(document, root, save, display, binary, args.rebuild, recorded)
            status = {"found": FOUND, "nothing": NOTHING, "same": NOTHING, "unsettled": UNSETTLED}[outcome]
            clock()
            sys.stdout.write("".join(line + "\n" for line in outcome_lines(document, outcome) + where_lines(
                args, document, outcome, path)))
            document["complete"] = True
            if args.html:
                bisect_report.write_html(args.html, document, outputs.write)
        except bisecting.Stop as error:
            common.refuse("bisect stopped: %s" % error)
        except interrupts.Interrupted as interrupt:
            status = interrupt.status
            progress("interrupted (%s): %s" % (interrupt, "go on with --resume %s" % path if path
                                               else "nothing kept (no --json)"))
        except (RuntimeError, OSError, *builds.ERRORS) as error:
            common.refuse("bisect stopped: %s" % error)
        clock()
        with contextlib.suppress(OSError):
            save(document)
        used = {"%s-%s" % (c, builds.key_of(c, args.build, args.use)) for c in document["builds"]}
        removed = builds.prune(root, args.keep_builds, protected=used)
        if removed:
            progress("removed %d old builds (--keep-builds %d)" % (len(removed), args.keep_builds))
    return status


def outcome_lines(document, outcome):
    commits = document["commits"]
    if outcome == "nothing":
        return ["nothing to bisect: GOOD and BAD are the same commit"]
    confirm = document["steps"][0]
    change = bisect_report.shown(confirm["estimate"], document["settings"]["sign"]) if confirm["estimate"] else "?"
    what = {("time", 1): "slower", ("time", -1): "faster", ("memory", 1): "larger in memory",
            ("memory", -1): "smaller in memory"}[document["settings"]["measure"], document["settings"]["sign"]]
    what += {"cpu_us": " in CPU time", "instructions": " in instructions counted"}.get(
        search.measure_key(document["settings"]), "")
    if outcome == "same":
        return ["nothing to bisect: %s is not %s than %s by more than %g %% (%s, %d rounds)"
                % (commits[-1][:12], what, commits[0][:12], document["settings"]["threshold"], change,
                   len(confirm["rounds"]))]
    if outcome == "unsettled":
        return ["cannot tell whether %s is %s than %s by more than %g %% within %d rounds (%s): "
                "no search made; raise --max-runs or --threshold"
                % (commits[-1][:12], what, commits[0][:12], document["settings"]["threshold"],
                   len(confirm["rounds"]), change)]
    return (bisect_report.answer_lines(document) + [""] + bisect_report.step_lines(document) + [""]
            + bisect_report.summary_lines(document))


def where_lines(args, document, outcome, path):
    """The command that sets the first bad commit against its parent, function
    by function (commands/where.py), when the bisect named one."""
    commits, changes = document["commits"], document["changes"]
    if outcome != "found" or not args.json_kept or commits.index(changes[0][1]) != commits.index(changes[0][0]) + 1:
        return []
    command = "compare where --bisect %s --keep DIR%s" % (
        shlex.quote(path or "FILE"), " --builds " + shlex.quote(args.builds) if args.builds else "")
    return ["Where its instructions went, against its parent's (one callgrind run of each build):",
            "    %s%s" % (command, "" if path else "   (FILE: this bisect's --json)")]


def git_step(args, document, root, path, binary):
    """One commit for git bisect run: HEAD against GOOD and BAD."""
    from ..bisection import steps as bisecting
    display = chosen_display(args)
    save = started(document, path)
    try:
        head = builds.commit_of(document["settings"]["repo"], "HEAD")
    except builds.ERRORS as error:
        common.refuse(error)
        return GIT_ABORT
    commits = document["commits"]
    if head in (commits[0], commits[-1]):
        return GIT_GOOD if head == commits[0] else GIT_BAD
    if head not in commits:  # a commit a merge brought in: the line's merge stands for it
        sys.stdout.write("%s: skip (not on the first-parent line from GOOD to BAD; git bisect start "
                         "--first-parent walks that line only)\n" % head)
        return GIT_SKIP
    with interrupts.raising():
        try:
            verdict = bisecting.git_step(document, root, save, display, head, binary, args.rebuild)
        except interrupts.Interrupted as interrupt:
            return interrupt.status  # above 127: git aborts the bisect and marks nothing
        except (bisecting.Stop, RuntimeError, OSError, *builds.ERRORS) as error:
            common.refuse("bisect stopped: %s" % error)
            return GIT_ABORT
    sys.stdout.write("%s: %s\n" % (head, verdict))
    return {"good": GIT_GOOD, "bad": GIT_BAD, "between": GIT_BAD}.get(verdict, GIT_SKIP)


def bisect_recorder(args, document, shaders):
    """record(commit, run) for bisect --record: each finished run goes into
    the history in a transaction of its own, a point at the commit it ran
    (one comparison per commit of the bisect, keyed by the bisect's id,
    which --resume keeps, so that a resumed bisect adds to the same ones);
    record(None, None) closes the store. Its configuration is "bisect", with the --use
    variables as given, so that every commit's runs are one series. A store
    that fails later costs no run: the bisect goes on, and a line says so
    once."""
    try:
        store = stores.connect(args.store)
    except stores.StoreError as error:
        raise common.Refused(str(error))
    settings, commits, told = document["settings"], {}, []
    environment = plans.assignments("--use", settings["use"])
    # The clock and counter too: a counted bisect whose first run at a commit failed is still a count's.
    plan = {"bisect": {k: settings[k] for k in ("repo", "build", "use", "measure", "cache")},
            "configurations": [{"name": BISECT, "environment": environment}],
            "clock": settings.get("clock", "wall"), "counter": settings.get("counter")}

    def write(commit, run):
        if commit is None:
            stores.close(store)
            return
        try:
            if commit not in commits:
                commits[commit] = resolve_commits(["%s=%s" % (BISECT, commit)], settings["repo"],
                                                  document["commits"][-1])
            failed = "failed" in run
            measured = dict(run, reason=run["failed"], failed=True) if failed else run
            point = {"host": document["host"], "created": document["created"], "complete": False,
                     "binary": document["binary"], "plan": dict(plan, commit=commit),
                     "results": [{"configuration": BISECT, "environment": environment, "renderer": None,
                                  "gl_version": None, "cache": settings["cache"], "shaders": shaders,
                                  "failure": None, "runs": [] if failed else [measured],
                                  "failed_runs": [measured] if failed else []}]}
            if document.get("id"):  # a comparison of the bisect's own per commit
                point["id"] = "%s-%s" % (document["id"], commit)
            comparisons.write(store, point, commits[commit], args.machine, args.json or args.resume or "")
        except (common.Refused, stores.StoreError) as error:
            if not told:
                told.append(error)
                print("compare: recording into %s failed (%s); the runs from here are not in the history"
                      % (printable(store["shown"]), printable(" ".join(str(error).split()))), file=sys.stderr)
    return write


BISECT = "bisect"  # the configuration a bisect's runs are recorded under: one series for every commit
