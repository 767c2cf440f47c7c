"""The comparison itself: runs of each configuration, round by round.

A CONFIG is a built-in name (llvmpipe, softpipe, zink) or NAME:VAR=VALUE[,VAR=VALUE...],
for example old:LD_LIBRARY_PATH=/opt/mesa-old/lib; --env NAME:VAR=VALUE adds one
variable whose value may hold commas (--env dbg:LP_DEBUG=fs,tgsi). Without any,
every built-in configuration whose driver is present is compared; each is set
against the first (or --against NAME), round by round, with a verdict on its
time and memory: slower, faster, same within the threshold, or inconclusive
(-n auto runs rounds until every verdict is settled; with --corpus, until
the corpus's verdict is). Each run is
one full benchmark (1000 programs): on your display when DISPLAY is set (its
window is found by its process and closed as its close button would close
it), otherwise on a private X server of its own. Runs of the configurations
are interleaved, so that a drift of the machine touches all of them alike. A
run that prints nothing for --stall-timeout seconds is stopped and recorded as
hung; a crash is recorded too, and the other runs go on. With --json the
results file is rewritten after every run, so an interrupted or killed
comparison loses at most the run in progress (see --resume; a file beyond
4 MiB is rewritten less often when that costs more than a twentieth of
the time, and a comparison killed outright may lose the runs since).

--corpus runs the pairs of a corpus made by `compare corpus` (see its -h),
all of them or a seeded --sample of those --filter keeps: each round takes
every pair once per configuration, the pairs in a seeded order of the
round's own, a pair's configurations back to back, first one way, then the
other. The plan keeps the corpus, so --resume runs exactly what is left.

--fail-on-regression makes a gate of the comparison (or of report, diff
and --baseline): each time and memory verdict against the baseline must show
that the change is at most +--threshold percent (default 5): the upper bound
of its interval at or below it. Under -n auto, rounds go on until each has
passed or failed, or --max-runs is reached.
"""

import argparse
import contextlib
import datetime
import os
import shlex
import shutil
import stat
import sys

from . import common, record as recording
from .common import (Refused, add_store_options, check_outputs, failed_any, gate, load, print_gate, refuse, show,
                     threshold, write_outputs)
from ..results import document as results
from ..running import counting, plan as plans
from ..analysis import clocks, corpus, sequential, stats, verdicts
from ..system import interrupts, files as outputs, scratch
from ..system.text import printable, progress

NAME = "run"
USAGE = "[run] [options] [CONFIG ...]"
HELP = "compare configurations, round by round (the default: CONFIG... without a subcommand)"
MAX_RUNS = 10000
EPILOG = "CONFIG: llvmpipe, softpipe, zink, or NAME:VAR=VALUE[,VAR=VALUE...]"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__, epilog=EPILOG,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    add_options(parser)
    return parser


def run_count(text):
    return text if text == "auto" else common.number_in(1, MAX_RUNS, int)(text)


def add_options(parser):
    """The comparison's options, in the order its usage line shows them."""
    parser.add_argument("configs", nargs="*", metavar="CONFIG")
    parser.add_argument("-n", "--runs", type=run_count, metavar="RUNS|auto",
                        help="runs per configuration (default 5), or auto: rounds until every verdict (with "
                             "--corpus, the corpus's) is settled, at least 3, at most --max-runs")
    parser.add_argument("--max-runs", type=common.number_in(3, MAX_RUNS, int), metavar="N",
                        help="the most rounds -n auto makes (default 20)")
    parser.add_argument("--against", metavar="NAME",
                        help="the configuration the others are set against (default: the first)")
    parser.add_argument("--env", action="append", default=[], metavar="NAME:VAR=VALUE",
                        help="one more variable for configuration NAME (a new one if not named), "
                             "its value taken whole, commas and all; may be repeated")
    common.add_shaders(parser)
    add_corpus(parser)
    parser.add_argument("--cache", choices=results.CACHE_MODES,
                        help="the driver's disk cache: a fresh one per run (default), off, or the user's")
    common.add_display(parser)
    parser.add_argument("--no-timeline", dest="timeline", action="store_false", default=None,
                        help="do not record per-program times, memory and CPU time")
    parser.add_argument("--keep-timeline", dest="timeline", action="store_true",
                        help="record them (the default, but for --corpus: some 33 KB a run)")
    parser.add_argument("--calls", action="store_true", default=None,
                        help="one extra run per configuration and pair, recorded with apitrace and replayed "
                             "with glretrace --pcpu, for the time of each GL call")
    common.add_stall(parser)
    common.add_outputs(parser, [key for key, _ in common.OUTPUTS])
    common.add_wide(parser)
    common.add_binary(parser)
    parser.add_argument("--resume", metavar="FILE.json",
                        help="run what the comparison saved in FILE still lacks, adding to FILE")
    parser.add_argument("--baseline", metavar="OLD.json", help="verdicts against OLD after this comparison")
    common.add_allow_different(parser)
    common.add_threshold(parser)
    common.add_gate(parser)
    parser.add_argument("--record", action="store_true",
                        help="write every finished run into the history as it goes (see record -h)")
    add_store_options(parser)
    common.add_clock(parser)
    common.add_counter(parser)


def add_corpus(parser):
    parser.add_argument("--corpus", metavar="DIR",
                        help="run the pairs of a corpus (see corpus -h) instead of --shaders: each round takes "
                             "every pair once per configuration, the pairs in a seeded order of the round's own")
    parser.add_argument("--sample", type=common.number_in(1, 10 ** 9, int), metavar="N",
                        help="with --corpus: a seeded sample of N of its pairs (the same for the same seed)")
    parser.add_argument("--seed", type=common.number_in(0, 2 ** 63, int), metavar="S",
                        help="with --corpus: the seed of the sample and of each round's order (default 0)")
    parser.add_argument("--filter", metavar="GLOB",
                        help="with --corpus: only the pairs whose source file's path matches GLOB "
                             "(as the manifest has it; * matches / too), before --sample")


def check(parser, args):
    """The rules of the comparison's options, and its CONFIGs and --env parsed
    into args.configs; parser.error (status 2) on the first broken."""
    if args.max_runs and args.runs != "auto":
        parser.error("--max-runs goes with -n auto")
    if args.allow_different and not args.baseline:
        parser.error("--allow-different goes with --baseline or diff")
    if args.resume and args.json and not outputs.same_file(args.json, args.resume):
        parser.error("--resume adds to its own file: no --json")
    if args.corpus and args.shaders:
        parser.error("--corpus and --shaders do not go together")
    if not args.corpus and (args.sample or args.seed is not None or args.filter is not None):
        parser.error("--sample, --seed and --filter go with --corpus")
    if not args.record and (args.store or args.machine or args.repo or args.commit):
        parser.error("--store, --machine, --repo and --commit go with --record")
    try:
        configs = [plans.parse_config(text) for text in args.configs]
        plans.check_configs(configs, "user")  # names; the variables once the cache mode is known
        for text in args.env:
            configs = plans.add_variable(configs, text)
    except ValueError as error:
        parser.error(str(error))
    args.configs = configs


def run(args, here):
    try:
        baseline = load(args.baseline) if args.baseline else None
        resumed, plan = prepare(args, here)
        # What the plan will run, as results: refused against the baseline before anything runs.
        planned = {"binary": plan["binary"], "results": [{"configuration": c["name"], "shaders": pair}
                                                         for c in plan["configurations"] for pair in plan["shaders"]]}
        differed = common.allowed_differences(baseline, planned, args.allow_different,
                                              (args.baseline, "this comparison")) if baseline else []
        common.check_clock(plan["clock"], [(args.baseline, baseline)] if baseline else [])
        recorder = recording.recorder(args, args.resume or args.json or "") if args.record else None
    except Refused as error:
        refuse(error)
        return 2
    path = args.resume or args.json
    try:
        with outputs.locked(path) if path else contextlib.nullcontext():
            return compare(args, resumed, plan, baseline, path, differed, recorder)
    except outputs.Locked as error:
        refuse(error)
        return 2
    finally:
        if recorder:
            recorder(None)


def checked_binary(given, here):
    """The shaderbench executable to run: given (made absolute), else the
    one beside the tool; Refused in one line when it is none."""
    binary = os.path.abspath(given) if given else default_binary(here)
    if not (binary and os.path.isfile(binary) and os.access(binary, os.X_OK)):
        raise Refused("no shaderbench executable at %s; build it or give --binary" % printable(binary)
                      if binary else "no shaderbench executable found; build it or give --binary")
    return binary


def default_binary(here):
    # In the source tree: build/shaderbench; installed: <prefix>/bin beside share/.
    for path in (os.path.join(here, "..", "build", "shaderbench"),
                 os.path.join(here, "..", "..", "..", "bin", "shaderbench")):
        if os.access(path, os.X_OK):
            return os.path.abspath(path)
    return None


def chosen_display(args):
    """The display the runs use: None for a private server per run."""
    name = args.display or os.environ.get("DISPLAY")
    from ..running import desktop  # here, not above: report, diff and calibrate load no X
    return None if not name or name == "private" else desktop.user_display(name)


def prepare(args, here):
    """(the resumed document or None, the plan), with everything checked that
    would fail later; raises Refused otherwise."""
    resumed = load(args.resume) if args.resume else None
    if resumed and not resumed.get("plan"):
        raise Refused("%s: written before comparisons could be resumed (no plan in it)" % args.resume)
    saved = resumed["plan"] if resumed else None
    configs = args.configs or (plans.plan_configs(saved) if saved
                               else [plans.parse_config(name) for name in plans.BUILT_IN])
    corpus, pairs = chosen_pairs(args, saved, here)
    binary = checked_binary(args.binary or (saved["binary"]["path"] if saved else None), here)
    if args.calls and not (shutil.which("apitrace") and shutil.which("glretrace")):
        raise Refused("--calls needs apitrace and glretrace (Debian package apitrace)")
    auto = args.runs == "auto" if args.runs is not None else bool(saved and saved.get("auto"))
    runs = (args.max_runs if auto else args.runs) if args.runs is not None else None
    settings = {key: value if value is not None else (saved.get(key, default) if saved else default)
                for key, value, default in
                (("runs", runs, 20 if auto else 5), ("cache", args.cache, "isolated"),
                 ("timeline", args.timeline, not corpus),
                 ("calls", args.calls, False), ("auto", auto, False), ("against", args.against, None),
                 ("threshold", args.threshold, verdicts.DEFAULT_THRESHOLD),
                 ("gate", args.fail_on_regression or None, False), ("clock", args.clock, "wall"))}
    settings["counter"] = counter(args, saved, settings["clock"], binary)
    if settings["against"] is not None and settings["against"] not in [name for name, _, _ in configs]:
        raise Refused("--against %s: no configuration of that name" % settings["against"])
    common.check_environment(configs, settings["cache"])
    inputs = [("--binary", binary)] + [("--shaders", os.path.join(d, name)) for d, *_ in pairs for name in plans.PAIR]
    check_outputs(args, inputs + ([("--baseline", args.baseline)] if args.baseline else []), store=args.record)
    plan = plans.make_plan(configs, pairs, binary, corpus=corpus, **settings)
    if saved:
        differences = plans.plan_differences(saved, plan)
        if differences:
            raise Refused("%s: a different plan: %s" % (args.resume, "; ".join(differences)))
        show_plan(args.resume, plan)
        reason = None if args.binary else untrusted(binary)
        if reason:
            raise Refused("%s names the binary %s, which %s: give --binary %s to run it all the same"
                          % (args.resume, binary, reason, shlex.quote(binary)))
    return resumed, plan


def chosen_pairs(args, saved, here):
    """(the corpus's record or None, the pairs): --corpus's, --shaders', or
    the resumed plan's; raises Refused."""
    try:
        if args.corpus or (saved and saved.get("corpus") and not args.shaders):
            given = args.corpus or saved["corpus"]["directory"]
            kept = saved["corpus"] if not args.corpus else {}
            sample, seed, pattern = ((args.sample, args.seed or 0, args.filter) if args.corpus
                                     else (kept["sample"], kept["seed"], kept["filter"]))
            return plans.corpus_pairs(given, sample, seed, pattern)
        if args.shaders or not saved:
            return None, plans.find_pairs(args.shaders or [os.path.join(here, "..", "shaders")])
        return None, [(plans.find_pair(d), label, source) for d, label, source in plans.plan_pairs(saved)]
    except (ValueError, KeyError, TypeError) as error:  # a saved corpus record that is not one
        raise Refused(str(error) if isinstance(error, ValueError) else "%s: its corpus is not one" % args.resume)


def counter(args, saved, clock, binary):
    """The counter of a counted comparison (None for one that is timed),
    its choice said in one line; Refused with one line when none can count."""
    if clock != "instructions":
        if args.counter:
            raise Refused("--counter goes with --clock instructions")
        return None
    try:
        chosen, line = counting.choose(args.counter or (saved or {}).get("counter") or "auto", binary)
    except ValueError as error:
        raise Refused(str(error))
    progress(line)
    return chosen


def untrusted(binary):
    """Why a binary that a results file names may not be run without being
    named again, or None: another user's (root's aside), or writable by others."""
    found = os.stat(binary)
    if found.st_uid not in (os.geteuid(), 0):
        return "belongs to another user (uid %d)" % found.st_uid
    if found.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return "others can write"
    return None


def show_plan(path, plan):
    """What a resumed comparison is about to run, from a file that may not
    be the user's own: the binary, and each configuration's environment."""
    lines = ["resuming %s: the binary %s (SHA-256 %s)" % (path, plan["binary"]["path"], plan["binary"]["sha256"])]
    lines += ["  %s: %s" % (c["name"], " ".join("%s=%s" % kv for kv in c["environment"].items()) or "no variables")
              for c in plan["configurations"]]
    sys.stderr.write("".join("compare: %s\n" % printable(line) for line in lines))


def start(args, resumed, plan, display):
    """The document the runs go into: the resumed one, whose drivers must be the
    same, or a new one with each configuration's driver probed."""
    from ..running import campaign, desktop
    configs = plans.plan_configs(plan)
    where = desktop.describe(display) if display else {"name": None, "private": True, "window_manager": None,
                                                       "compositor": None, "windows_found_by": "X-Resource"}
    with desktop.xserver(display) as probe_display:
        if resumed:
            for name, env, _ in configs:
                renderer = plans.driver_info(env, probe_display, plan["cache"])[0]
                before = next((r["renderer"] for r in resumed["results"] if r["configuration"] == name), None)
                if before is not None and renderer != before:
                    raise Refused("%s: the renderer of %s is now %r, the results have %r"
                                  % (args.resume, name, renderer, before))
            resumed.setdefault("resumed", []).append(
                datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"))
            resumed.setdefault("resumed_displays", []).append(where)
            resumed["complete"] = False
            return resumed
        found, kept = campaign.probe(configs, plans.plan_pairs(plan), probe_display, plan["cache"],
                                     bool(args.configs))
    names = {name for name, _, _ in kept}
    if plan["against"] is not None and plan["against"] not in names:
        raise Refused("--against %s: its driver is missing" % plan["against"])
    plan["configurations"] = [c for c in plan["configurations"] if c["name"] in names]
    document = results.new_document(plan, plans.host_info())
    document["display"] = where
    document["results"] = found
    return document


def look(document, round_number):
    """After each whole round: the verdicts so far on the terminal and, with
    -n auto, whether to stop (sequential.auto_stop, or for a corpus
    corpus.auto_stop, on its verdict alone). The reason goes into the
    results."""
    plan = document["plan"]
    if corpus.is_corpus(document):  # a line a configuration, not one a pair: a corpus has hundreds
        judged = corpus.judge(document, up_to=round_number)
        for found in judged["configurations"]:
            progress("round %d: %s corpus: time %s, memory %s; %d hurt, %d helped of %d pairs" % (
                round_number, found["configuration"], stats.describe(found["time"]), stats.describe(found["memory"]),
                found["hurt"], found["helped"], found["linked"]))
        reason = plan.get("auto") and corpus.auto_stop(judged, round_number, plan["runs"])
    else:
        records = verdicts.within(document, up_to=round_number)
        for record in records:
            progress("round %d: %s %s: %s" % (
                round_number, printable(record["configuration"]), printable(record["shaders"]), ", ".join(
                    "%s %s%s" % (clocks.measure_name(record, m), stats.describe(record[m]),
                                 ", gate: %s" % record[m]["gate"] if record["gate"] else "")
                    for m in ("time", "memory"))))
        reason = plan.get("auto") and sequential.auto_stop(records, round_number, plan["runs"])
    if reason:
        document["stopped"] = reason
    return bool(reason)


def compare(args, resumed, plan, baseline, path, differed=(), recorder=None):
    """Runs the comparison into the document at path (None: kept in memory),
    each save recorded into the history too when recorder; returns the exit
    status. differed: the lines of what differs from the baseline, allowed,
    said before its verdicts."""
    from ..running import campaign
    display = chosen_display(args)
    scratch.remove_stale()  # what a tool killed outright (SIGKILL) left in the temporary directory
    scratch.start_watchdog()  # so that if this one is, what it started is stopped all the same
    written = results.saver(path) if path else (lambda doc, paced: None)

    def save(doc, paced=True):
        written(doc, paced)
        if recorder:
            recorder(doc)
    document, status = None, None
    with interrupts.raising():
        try:
            document = start(args, resumed, plan, display)
            save(document)
            campaign.run(document, save, display, args.stall_timeout, lambda n: look(document, n))
            judged = common.corpora([document])
            rows, (document["verdicts"],) = show([document], wide=args.wide, judged=judged)
            if judged[0]:
                document["corpus_verdict"] = judged[0]
            status = 1 if failed_any(document, judged[0]) or not rows else 0
            gated = args.fail_on_regression or bool(document["plan"].get("gate"))
            judgements, within = [], document["verdicts"] or not baseline
            if within:  # one configuration against --baseline: judged below
                judgements.append(judged[0] or (document["verdicts"], threshold(args, document), False, status == 1))
            if baseline:
                text, missing, records = verdicts.diff(baseline["results"], document["results"],
                                                       threshold(args, document), gated,
                                                       document["plan"].get("clock", "wall"))
                judgements.append((records, threshold(args, document), missing, status == 1))
            status, blocks = gate(gated, judgements, status)
            write_outputs(args, [document], rows, "shaderbench, cache %s" % document["plan"]["cache"],
                          progress, [path or "this comparison"], records=[document["verdicts"]],
                          gate_lines=sum(blocks, []), corpora=judged)
            print_gate(blocks[0] if within else [])
            if baseline:
                sys.stdout.write("\n" + "".join(line + "\n" for line in differed) + text)
                print_gate(blocks[-1])
            document["complete"] = True  # only once every output is written
            save(document, paced=False)
            return status
        except Refused as error:
            refuse(error)
            return 2
        except interrupts.Interrupted as interrupt:
            status = interrupt.status
            progress("interrupted (%s): keeping the finished runs" % interrupt)
        except (RuntimeError, OSError) as error:  # no X server; the results file's disk full or gone
            refuse("stopped: %s" % error)
            status = 1
        # Any further signal is ignored from here: the tool is on its way out.
        if document is None:
            return status
        with contextlib.suppress(OSError):  # a full disk, or the terminal is gone (SIGHUP)
            if path:
                save(document, paced=False)
            show([document], wide=args.wide)  # what finished; no other file is written after an interrupt
    return status
