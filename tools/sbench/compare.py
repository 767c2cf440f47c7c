"""Compare OpenGL drivers with shaderbench: repeated runs, per-program costs,
results that carry their provenance, and A/B verdicts.

  compare [-n RUNS|auto] [--shaders DIR]... [--cache MODE] [--calls] [--display private|:N]
          [--env NAME:VAR=VALUE]... [--json FILE] [--csv FILE] [--plot FILE.png]
          [--timeline FILE.png] [--baseline OLD.json] [CONFIG ...]
  compare --resume FILE.json             run what an interrupted comparison still lacks
  compare --report FILE.json...          the table and charts of saved results
  compare --diff OLD.json NEW.json       verdicts between two results files
  compare --calibrate AA.json            how often the verdicts err, on your own A/A runs

A CONFIG is a built-in name (llvmpipe, softpipe, zink) or NAME:VAR=VALUE[,VAR=VALUE...],
for example old:LD_LIBRARY_PATH=/opt/mesa-old/lib; --env NAME:VAR=VALUE adds one
variable whose value may hold commas (--env dbg:LP_DEBUG=fs,tgsi). Without any,
every built-in configuration whose driver is present is compared; each is set
against the first (or --against NAME), round by round, with a verdict on its
time and memory: slower, faster, same within the threshold, or inconclusive
(-n auto runs rounds until every verdict is settled). Each run is
one full benchmark (1000 programs): on your display when DISPLAY is set (its
window is found by its process and closed as its close button would close
it), otherwise on a private X server of its own. Runs of the configurations
are interleaved, so that a drift of the machine touches all of them alike. A
run that prints nothing for --stall-timeout seconds is stopped and recorded as
hung; a crash is recorded too, and the other runs go on. With --json the
results file is rewritten after every run, so an interrupted or killed
comparison loses at most the run in progress (see --resume).

--fail-on-regression makes a gate of the comparison (or of --report, --diff
and --baseline): each time and memory verdict against the baseline must show
that the change is at most +--threshold percent (default 5): the upper bound
of its interval at or below it. Under -n auto, rounds go on until each has
passed or failed, or --max-runs is reached.

Exit status:
  0    every run was clean (and, with --fail-on-regression, every gated
       verdict passed)
  1    a run or a configuration failed; or, with --fail-on-regression,
       something is shown slower or to take more memory by more than the
       threshold, or has no runs to judge
  2    a bad argument or input file, refused before anything runs
  3    with --fail-on-regression: no run failed and nothing is shown to have
       regressed, but a gated verdict is not settled (a line says what would
       settle it); never 0 on not knowing
  130, 143, 129  interrupted by SIGINT, SIGTERM or SIGHUP
"""

import argparse
import contextlib
import datetime
import json
import math
import os
import re
import shlex
import shutil
import stat
import sys

from . import campaign, desktop, interrupts, outputs, plan as plans, results, runner, scratch, stats, tables, verdicts, watchdog
from .outputs import printable

CACHE_MODES = results.CACHE_MODES
OUTPUTS = (("json", "--json"), ("csv", "--csv"), ("plot", "--plot"), ("timeline_png", "--timeline"),
           ("trace_events", "--trace-events"), ("calls_chart", "--calls-chart"), ("html", "--html"))
MAX_RUNS = 10000


class Refused(Exception):
    """A bad argument or input, refused before anything runs (status 2)."""


def default_binary(here):
    # In the source tree: build/shaderbench; installed: <prefix>/bin beside share/.
    for path in (os.path.join(here, "..", "build", "shaderbench"),
                 os.path.join(here, "..", "..", "..", "bin", "shaderbench")):
        if os.access(path, os.X_OK):
            return os.path.abspath(path)
    return None


def number_in(low, high, kind=float, low_open=False):
    """An argparse type: a finite number of kind from low to high."""
    def convert(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a number" % text)
        if not math.isfinite(value) or value < low or value > high or (low_open and value == low):
            raise argparse.ArgumentTypeError("%s is not %s %g to %g" % (
                text, "above" if low_open else "from", low, high))
        return value
    return convert


def run_count(text):
    return text if text == "auto" else number_in(1, MAX_RUNS, int)(text)


def display_name(text):
    if text != "private" and not re.fullmatch(r"[A-Za-z0-9.\-_/]*:\d+(\.\d+)?", text):
        raise argparse.ArgumentTypeError("%r is neither private nor an X display such as :1" % text)
    return text


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="compare", description=__doc__.strip().splitlines()[0],
        epilog="CONFIG: llvmpipe, softpipe, zink, or NAME:VAR=VALUE[,VAR=VALUE...]")
    parser.add_argument("configs", nargs="*", metavar="CONFIG")
    parser.add_argument("-n", "--runs", type=run_count, metavar="RUNS|auto",
                        help="runs per configuration (default 5), or auto: rounds until every verdict is "
                             "settled, at least 3, at most --max-runs")
    parser.add_argument("--max-runs", type=number_in(3, MAX_RUNS, int), metavar="N",
                        help="the most rounds -n auto makes (default 20)")
    parser.add_argument("--against", metavar="NAME",
                        help="the configuration the others are set against (default: the first)")
    parser.add_argument("--env", action="append", default=[], metavar="NAME:VAR=VALUE",
                        help="one more variable for configuration NAME (a new one if not named), "
                             "its value taken whole, commas and all; may be repeated")
    parser.add_argument("--shaders", action="append", metavar="DIR",
                        help="a directory holding a shader pair, or its shaders/ (the program's own layout); "
                             "may be repeated (default: the samples)")
    parser.add_argument("--cache", choices=CACHE_MODES,
                        help="the driver's disk cache: a fresh one per run (default), off, or the user's")
    parser.add_argument("--display", type=display_name, metavar="private|:N",
                        help="where the runs' windows open: a private X server per run, or this display "
                             "(default: DISPLAY when set, else private)")
    parser.add_argument("--no-timeline", dest="timeline", action="store_false", default=None,
                        help="do not record per-program times, memory and CPU time")
    parser.add_argument("--calls", action="store_true", default=None,
                        help="one extra run per configuration and pair, recorded with apitrace and replayed "
                             "with glretrace --pcpu, for the time of each GL call")
    parser.add_argument("--stall-timeout", type=number_in(0, runner.MAX_STALL_SECONDS, low_open=True),
                        default=runner.DEFAULT_STALL_SECONDS, metavar="SECONDS",
                        help="stop a run that prints nothing for this long (default 300)")
    parser.add_argument("--json", metavar="FILE", help="write every run and its provenance to FILE, after each run")
    parser.add_argument("--csv", metavar="FILE", help="write the table as CSV (to standard output: -)")
    parser.add_argument("--plot", metavar="FILE.png", help="write a chart of totals")
    parser.add_argument("--timeline", dest="timeline_png", metavar="FILE.png",
                        help="write a chart of per-program time and memory")
    parser.add_argument("--trace-events", metavar="FILE.json",
                        help="write every run as a trace for Perfetto's UI or chrome://tracing")
    parser.add_argument("--calls-chart", metavar="FILE.png", help="write a chart of each call's time per program")
    parser.add_argument("--html", metavar="FILE.html",
                        help="write one self-contained page: verdicts, table, timelines, memory, calls, failures "
                             "and provenance, to open offline in a browser")
    parser.add_argument("--wide", action="store_true",
                        help="show every column of the table (default: what fits in 100 columns)")
    parser.add_argument("--binary", help="the shaderbench executable")
    parser.add_argument("--resume", metavar="FILE.json",
                        help="run what the comparison saved in FILE still lacks, adding to FILE")
    parser.add_argument("--report", nargs="+", metavar="FILE.json", help="show saved results; run nothing")
    parser.add_argument("--diff", nargs=2, metavar=("OLD.json", "NEW.json"),
                        help="verdicts between two results files; run nothing")
    parser.add_argument("--calibrate", metavar="AA.json",
                        help="from a comparison of one driver against itself under two names, the rate of false "
                             "verdicts, the power against known slowdowns and the rounds needed; run nothing")
    parser.add_argument("--baseline", metavar="OLD.json", help="verdicts against OLD after this comparison")
    parser.add_argument("--threshold", type=number_in(0, 100), metavar="PCT",
                        help="a change within this many percent is the same; the gate's margin (default %g)"
                             % verdicts.DEFAULT_THRESHOLD)
    parser.add_argument("--fail-on-regression", action="store_true",
                        help="a gate: exit 0 only when every verdict shows no slowdown and no growth of memory "
                             "beyond the threshold, 1 when one is shown beyond it (or a run failed), 3 when "
                             "the runs cannot tell")
    args = parser.parse_args(argv)
    runs_nothing = args.report or args.diff or args.calibrate
    if runs_nothing and (args.configs or args.env or args.shaders or args.baseline or args.resume or args.calls
                         or args.display or args.runs or args.max_runs or (args.json and args.report)):
        parser.error("--report, --diff and --calibrate run nothing: no CONFIG, --env, --shaders, --baseline, "
                     "--resume, --calls, --display, -n or --max-runs (and --report no --json)")
    if args.max_runs and args.runs != "auto":
        parser.error("--max-runs goes with -n auto")
    if sum(bool(x) for x in (args.report, args.diff, args.calibrate)) > 1:
        parser.error("--report, --diff and --calibrate do not go together")
    if args.resume and args.json and not outputs.same_file(args.json, args.resume):
        parser.error("--resume adds to its own file: no --json")
    try:
        configs = [plans.parse_config(text) for text in args.configs]
        plans.check_configs(configs, "user")  # names; the variables once the cache mode is known
        for text in args.env:
            configs = plans.add_variable(configs, text)
    except ValueError as error:
        parser.error(str(error))
    args.configs = configs
    return args


def check_outputs(args, inputs):
    """Refuses an output that cannot be written, or that is an input or another output."""
    wanted = [(option, getattr(args, key)) for key, option in OUTPUTS if getattr(args, key)]
    if getattr(args, "resume", None):
        wanted = [(option, path) for option, path in wanted if option != "--json"] + [("--resume", args.resume)]
    for option, path in wanted:
        reason = outputs.unwritable(path)
        if not reason and option in ("--json", "--resume") and not getattr(args, "diff", None):
            with contextlib.suppress(OSError):
                if outputs.target(path)[1]:
                    reason = "a results file is rewritten after every run: give it a regular file"
        if reason:
            raise Refused("%s %s: %s" % (option, path, reason))
    reason = outputs.clash(wanted, inputs)
    if reason:
        raise Refused(reason)


def refuse(error):
    """A refusal in one line on standard error, its text escaped: it may
    quote a results file, or a lock file another user wrote."""
    print("compare: %s" % printable(error), file=sys.stderr)


def load(path):
    try:
        return results.load(path)
    except results.ResultsError as error:
        raise Refused(str(error))


def write_verdicts(args, records, old, new):
    """--diff's verdicts, in --csv and --json, and its page."""
    if args.html:
        from . import report
        report.write(args.html, [old, new], ["old: " + args.diff[0], "new: " + args.diff[1]], "shaderbench: --diff",
                     threshold(args), diff=(args.diff[0], args.diff[1], records), with_host=True)
    if args.csv:
        tables.write_verdicts_csv(args.csv, records)
    if args.json:
        outputs.write(args.json, lambda f: json.dump({"schema": "shaderbench-verdicts/1", "old": args.diff[0],
                                                      "new": args.diff[1], "verdicts": records}, f, indent=1))


def write_outputs(args, documents, rows, title, say=lambda text: None, sources=None, with_host=False):
    """Every file asked for but the results file; say(text) tells which is next."""
    if args.html:
        from . import report
        say("writing --html %s" % args.html)
        report.write(args.html, documents, sources or ["this comparison"], title, args.threshold,
                     with_host=with_host)
    if args.csv and rows:
        say("writing --csv %s" % args.csv)
        tables.write_csv(args.csv, rows)
    if args.trace_events:
        from . import trace_events
        say("writing --trace-events %s" % args.trace_events)
        trace_events.write(args.trace_events, documents)
    every_result = [r for d in documents for r in d["results"]]
    for option, path, draw in (("--plot", args.plot if rows else None, lambda charts: charts.write_totals),
                               ("--timeline", args.timeline_png, lambda charts: charts.write_timeline),
                               ("--calls-chart", args.calls_chart, lambda charts: charts.write_calls)):
        if path:
            say("drawing %s %s" % (option, path))
            from . import charts
            draw(charts)(path, rows if option == "--plot" else every_result, title)


def show(documents, threshold=None, with_host=False, wide=False, gate=None):
    """The table, the failures, each comparison's verdicts (made anew from its
    runs, judged by a gate when gate, or when its plan had one) and the
    per-call table; returns (the rows, the verdicts of each document)."""
    records = [verdicts.within(document, threshold, gate=gate) for document in documents]
    rows = tables.table_rows(documents, with_host, records)
    if rows:
        sys.stdout.write(tables.format_table(rows, wide))
        if wide and any(row["replay_link_p50_ms"] is not None for row in rows):
            sys.stdout.write(tables.REPLAY_NOTE)
    sys.stdout.write(tables.failures_text(documents))
    for document, found in zip(documents, records):
        if found:
            sys.stdout.write("\n" + verdicts.within_text(found, document["host"]["name"] if with_host else None))
        if document.get("stopped"):
            sys.stdout.write("%s\n" % printable(document["stopped"]))
    calls_text = tables.calls_table(documents)
    if calls_text:
        sys.stdout.write("\n" + calls_text)
    return rows, records


def chosen_display(args):
    """The display the runs use: None for a private server per run."""
    name = args.display or os.environ.get("DISPLAY")
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
    try:
        if args.shaders or not saved:
            pairs = plans.find_pairs(args.shaders or [os.path.join(here, "..", "shaders")])
        else:
            pairs = [(plans.find_pair(directory), label) for directory, label in plans.plan_pairs(saved)]
    except ValueError as error:
        raise Refused(str(error))
    binary = (os.path.abspath(args.binary) if args.binary
              else saved["binary"]["path"] if saved else default_binary(here))
    if not (binary and os.path.isfile(binary) and os.access(binary, os.X_OK)):
        raise Refused("no shaderbench executable at %s; build it or give --binary" % printable(binary)
                      if binary else "no shaderbench executable found; build it or give --binary")
    if args.calls and not (shutil.which("apitrace") and shutil.which("glretrace")):
        raise Refused("--calls needs apitrace and glretrace (Debian package apitrace)")
    auto = args.runs == "auto" if args.runs is not None else bool(saved and saved.get("auto"))
    runs = (args.max_runs if auto else args.runs) if args.runs is not None else None
    settings = {key: value if value is not None else (saved.get(key, default) if saved else default)
                for key, value, default in
                (("runs", runs, 20 if auto else 5), ("cache", args.cache, "isolated"), ("timeline", args.timeline, True),
                 ("calls", args.calls, False), ("auto", auto, False), ("against", args.against, None),
                 ("threshold", args.threshold, verdicts.DEFAULT_THRESHOLD),
                 ("gate", args.fail_on_regression or None, False))}
    if settings["against"] is not None and settings["against"] not in [name for name, _, _ in configs]:
        raise Refused("--against %s: no configuration of that name" % settings["against"])
    try:
        plans.check_configs(configs, settings["cache"])
    except ValueError as error:
        raise Refused(str(error))
    inputs = [("--binary", binary)] + [("--shaders", os.path.join(d, name)) for d, _ in pairs for name in plans.PAIR]
    check_outputs(args, inputs + ([("--baseline", args.baseline)] if args.baseline else []))
    plan = plans.make_plan(configs, pairs, binary, **settings)
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


def threshold(args, document=None):
    given = args.threshold
    return given if given is not None else ((document or {}).get("plan") or {}).get("threshold",
                                                                                   verdicts.DEFAULT_THRESHOLD)


def show_saved(args):
    """--diff, --report and --calibrate: saved results, nothing run."""
    if args.calibrate:
        from . import calibration
        document = load(args.calibrate)
        rounds = [r for r in calibration.pool(document) if None not in r] if len(document["results"]) == 2 else []
        if len(rounds) < 5:
            raise Refused("%s: --calibrate needs two configurations with at least 5 rounds both ran" % args.calibrate)
        sys.stdout.write("%d rounds of %s against %s, %d draws of each size (seed %d):\n" % (
            len(rounds), *(printable(r["configuration"]) for r in document["results"][::-1]), calibration.DRAWS,
            calibration.SEED))
        sys.stdout.write(calibration.format_table(calibration.measure(rounds, threshold_pct=threshold(args))))
        return 0
    if args.diff:
        check_outputs(args, [("--diff", path) for path in args.diff])
        old, new = (load(path) for path in args.diff)
        text, missing, records = verdicts.diff(old["results"], new["results"], threshold(args),
                                               args.fail_on_regression)
        sys.stdout.write(text)
        write_verdicts(args, records, old, new)
        return judged(args.fail_on_regression, records, missing, threshold(args), 0)
    check_outputs(args, [("--report", path) for path in args.report])
    documents = [load(path) for path in args.report]
    rows, records = show(documents, args.threshold, with_host=True, wide=args.wide,
                         gate=args.fail_on_regression or None)
    write_outputs(args, documents, rows, "shaderbench", sources=args.report, with_host=True)
    status = 0 if rows else 1
    if args.fail_on_regression:  # as the comparison itself would have ended
        for document, found in zip(documents, records):
            status = judged(True, found, False, threshold(args, document), 1 if failed_any(document) else status)
    return status


def failed_any(document):
    return any(r["failure"] or r["failed_runs"] or (r.get("calls") or {}).get("failure") for r in document["results"])


def judged(gated, records, missing, threshold_pct, status):
    """The exit status once a gate (when gated) has judged the records, from
    the status so far: a failure (1) stays; else the gate's own
    (verdicts.gate_text), its lines printed."""
    if not gated:
        return status
    gated, lines = verdicts.gate_text(records, threshold_pct, missing, status == 1)
    sys.stdout.write("\n".join(lines) + "\n")
    return gated


def main(argv, here):
    args = parse_arguments(argv)
    # An output on standard output ("-", /dev/stdout) has it to itself: the table goes to standard error.
    wanted = [getattr(args, key) for key, _ in OUTPUTS if getattr(args, key)]
    with contextlib.redirect_stdout(sys.stderr) if any(map(outputs.standard_output, wanted)) \
            else contextlib.nullcontext():
        return run_command(args, here)


def run_command(args, here):
    if args.diff or args.report or args.calibrate:
        with interrupts.raising():
            try:
                return show_saved(args)
            except Refused as error:
                refuse(error)
                return 2
            except interrupts.Interrupted as interrupt:
                return interrupt.status
    try:
        baseline = load(args.baseline) if args.baseline else None
        resumed, plan = prepare(args, here)
    except Refused as error:
        refuse(error)
        return 2

    path = args.resume or args.json
    try:
        with outputs.locked(path) if path else contextlib.nullcontext():
            return compare(args, resumed, plan, baseline, path)
    except outputs.Locked as error:
        refuse(error)
        return 2


def look(document, round_number):
    """After each whole round: the verdicts so far on the terminal and, with
    -n auto, whether to stop (verdicts.auto_stop). The reason goes into the
    results."""
    plan = document["plan"]
    records = verdicts.within(document, up_to=round_number)
    for record in records:
        campaign.progress("round %d: %s %s: time %s, memory %s" % (
            round_number, printable(record["configuration"]), printable(record["shaders"]),
            *("%s%s" % (stats.describe(record[m]), ", gate: %s" % record[m]["gate"] if record["gate"] else "")
              for m in ("time", "memory"))))
    if not plan.get("auto"):
        return False
    reason = verdicts.auto_stop(records, round_number, plan["runs"])
    if reason:
        document["stopped"] = reason
    return reason is not None


def compare(args, resumed, plan, baseline, path):
    """Runs the comparison into the document at path (None: kept in memory);
    returns the exit status."""
    display = chosen_display(args)
    scratch.remove_stale()  # what a tool killed outright (SIGKILL) left in the temporary directory
    watchdog.start()  # so that if this one is, what it started is stopped all the same
    save = (lambda doc: results.save(path, doc)) if path else (lambda doc: None)
    document, status = None, None
    with interrupts.raising():
        try:
            document = start(args, resumed, plan, display)
            save(document)
            campaign.run(document, save, display, args.stall_timeout, lambda n: look(document, n))
            rows, (document["verdicts"],) = show([document], wide=args.wide)
            write_outputs(args, [document], rows, "shaderbench, cache %s" % document["plan"]["cache"],
                          campaign.progress, [path or "this comparison"])
            status = 1 if failed_any(document) or not rows else 0
            gated = args.fail_on_regression or bool(document["plan"].get("gate"))
            if document["verdicts"] or not baseline:  # one configuration against --baseline: judged below
                status = judged(gated, document["verdicts"], False, threshold(args, document), status)
            if baseline:
                text, missing, records = verdicts.diff(baseline["results"], document["results"],
                                                       threshold(args, document), gated)
                sys.stdout.write("\n" + text)
                status = judged(gated, records, missing, threshold(args, document), status)
            document["complete"] = True  # only once every output is written
            save(document)
            return status
        except Refused as error:
            refuse(error)
            return 2
        except interrupts.Interrupted as interrupt:
            status = interrupt.status
            campaign.progress("interrupted (%s): keeping the finished runs" % interrupt)
        except (RuntimeError, OSError) as error:  # no X server; the results file's disk full or gone
            refuse("stopped: %s" % error)
            status = 1
        # Any further signal is ignored from here: the tool is on its way out.
        if document is None:
            return status
        with contextlib.suppress(OSError):  # a full disk, or the terminal is gone (SIGHUP)
            if path:
                save(document)
            show([document], wide=args.wide)  # what finished; no other file is written after an interrupt
    return status
