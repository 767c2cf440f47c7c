"""Compare OpenGL drivers with shaderbench: repeated runs, per-program costs,
results that carry their provenance, and A/B verdicts.

  compare [-n RUNS] [--shaders DIR]... [--cache MODE] [--calls] [--json FILE]
          [--csv FILE] [--plot FILE.png] [--timeline FILE.png] [--baseline OLD.json] [CONFIG ...]
  compare --resume FILE.json             run what an interrupted comparison still lacks
  compare --report FILE.json...          the table and charts of saved results
  compare --diff OLD.json NEW.json       verdicts between two results files

A CONFIG is a built-in name (llvmpipe, softpipe, zink) or NAME:VAR=VALUE[,VAR=VALUE...],
for example old:LD_LIBRARY_PATH=/opt/mesa-old/lib. Without any, every built-in
configuration whose driver is present is compared. Each run is one full
benchmark (1000 programs), on a private X server of its own when there is no
display; its window is closed once its report is printed. Runs of the
configurations are interleaved, so that a drift of the machine touches all of
them alike. A run that prints nothing for --stall-timeout seconds is stopped
and recorded as hung; a crash is recorded too, and the other runs go on. With
--json the results file is rewritten after every run, so an interrupted or
killed comparison loses at most the run in progress (see --resume).

Exit status: 0 when every run was clean (and, with --fail-on-regression,
nothing got slower or took more memory); 1 when a run or a configuration
failed (or, with --fail-on-regression, something regressed); 2 for a bad
argument or input file, refused before anything runs; 130 or 143 when
interrupted by SIGINT or SIGTERM.
"""

import argparse
import datetime
import os
import shutil
import sys
import tempfile

from . import campaign, harness, interrupts, plan as plans, results, runner, tables, verdicts

CACHE_MODES = ("isolated", "off", "user")
OUTPUTS = (("json", "--json"), ("csv", "--csv"), ("plot", "--plot"), ("timeline_png", "--timeline"),
           ("trace_events", "--trace-events"), ("calls_chart", "--calls-chart"))


class Refused(Exception):
    """A bad argument or input, refused before anything runs (status 2)."""


def default_binary(here):
    # In the source tree: build/shaderbench; installed: <prefix>/bin beside share/.
    for path in (os.path.join(here, "..", "build", "shaderbench"),
                 os.path.join(here, "..", "..", "..", "bin", "shaderbench")):
        if os.access(path, os.X_OK):
            return os.path.abspath(path)
    return None


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="compare", description=__doc__.strip().splitlines()[0],
        epilog="CONFIG: llvmpipe, softpipe, zink, or NAME:VAR=VALUE[,VAR=VALUE...]")
    parser.add_argument("configs", nargs="*", metavar="CONFIG")
    parser.add_argument("-n", "--runs", type=int, help="runs per configuration (default 5)")
    parser.add_argument("--shaders", action="append", metavar="DIR",
                        help="a directory holding a shader pair, or its shaders/ (the program's own layout); "
                             "may be repeated (default: the samples)")
    parser.add_argument("--cache", choices=CACHE_MODES,
                        help="the driver's disk cache: a fresh one per run (default), off, or the user's")
    parser.add_argument("--no-timeline", dest="timeline", action="store_false", default=None,
                        help="do not record per-program times, memory and CPU time")
    parser.add_argument("--calls", action="store_true", default=None,
                        help="one extra run per configuration and pair, recorded with apitrace and replayed "
                             "with glretrace --pcpu, for the time of each GL call")
    parser.add_argument("--stall-timeout", type=float, default=runner.DEFAULT_STALL_SECONDS, metavar="SECONDS",
                        help="stop a run that prints nothing for this long (default 300)")
    parser.add_argument("--json", metavar="FILE", help="write every run and its provenance to FILE, after each run")
    parser.add_argument("--csv", metavar="FILE", help="write the table as CSV")
    parser.add_argument("--plot", metavar="FILE.png", help="write a chart of totals")
    parser.add_argument("--timeline", dest="timeline_png", metavar="FILE.png",
                        help="write a chart of per-program time and memory")
    parser.add_argument("--trace-events", metavar="FILE.json",
                        help="write every run as a trace for Perfetto's UI or chrome://tracing")
    parser.add_argument("--calls-chart", metavar="FILE.png", help="write a chart of each call's time per program")
    parser.add_argument("--binary", help="the shaderbench executable")
    parser.add_argument("--resume", metavar="FILE.json",
                        help="run what the comparison saved in FILE still lacks, adding to FILE")
    parser.add_argument("--report", nargs="+", metavar="FILE.json", help="show saved results; run nothing")
    parser.add_argument("--diff", nargs=2, metavar=("OLD.json", "NEW.json"),
                        help="verdicts between two results files; run nothing")
    parser.add_argument("--baseline", metavar="OLD.json", help="verdicts against OLD after this comparison")
    parser.add_argument("--threshold", type=float, default=2.0, metavar="PCT",
                        help="noise band of a verdict, in percent (default 2)")
    parser.add_argument("--fail-on-regression", action="store_true",
                        help="exit with status 1 when anything is slower or takes more memory")
    args = parser.parse_args(argv)
    if args.runs is not None and args.runs < 1:
        parser.error("-n must be at least 1")
    if args.stall_timeout <= 0:
        parser.error("--stall-timeout must be above 0")
    runs_nothing = args.report or args.diff
    if runs_nothing and (args.configs or args.shaders or args.json or args.baseline or args.resume or args.calls):
        parser.error("--report and --diff run nothing: no CONFIG, --shaders, --json, --baseline, --resume or --calls")
    if args.report and args.diff:
        parser.error("--report and --diff do not go together")
    if args.resume and args.json and os.path.abspath(args.json) != os.path.abspath(args.resume):
        parser.error("--resume adds to its own file: no --json")
    try:
        args.configs = [plans.parse_config(text) for text in args.configs]
    except ValueError as error:
        parser.error(str(error))
    names = [name for name, _, _ in args.configs]
    if len(set(names)) != len(names):
        parser.error("two configurations are named %s" % next(n for n in names if names.count(n) > 1))
    return args


def unwritable(path):
    """Why path cannot be written, or None: tried with a scratch file beside it."""
    if os.path.isdir(path):
        return "is a directory"
    if os.path.exists(path) and not os.access(path, os.W_OK):
        return "not writable"
    try:
        with tempfile.NamedTemporaryFile(dir=os.path.dirname(os.path.abspath(path)), prefix=".shaderbench-"):
            pass
    except OSError as error:
        return error.strerror or str(error)
    return None


def check_outputs(args):
    for key, option in OUTPUTS:
        path = getattr(args, key)
        reason = path and unwritable(path)
        if reason:
            raise Refused("%s %s: %s" % (option, path, reason))


def load(path):
    try:
        return results.load(path)
    except results.ResultsError as error:
        raise Refused(str(error))


def show(args, documents, title, with_host=False):
    """The table, the failures, the per-call table, and every file asked for."""
    rows = tables.table_rows(documents, with_host)
    if rows:
        sys.stdout.write(tables.format_table(rows))
        if any(row["replay_link_p50_ms"] is not None for row in rows):
            sys.stdout.write(tables.REPLAY_NOTE)
    sys.stdout.write(tables.failures_text(documents))
    calls_text = tables.calls_table(documents)
    if calls_text:
        sys.stdout.write("\n" + calls_text)
    if args.csv and rows:
        tables.write_csv(args.csv, rows)
    if args.trace_events:
        from . import trace_events
        trace_events.write(args.trace_events, documents)
    if args.plot or args.timeline_png or args.calls_chart:
        from . import charts
        every_result = [r for d in documents for r in d["results"]]
        if args.plot and rows:
            charts.write_totals(args.plot, rows, title)
        if args.timeline_png:
            charts.write_timeline(args.timeline_png, every_result, title)
        if args.calls_chart:
            charts.write_calls(args.calls_chart, every_result, title)
    return rows


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
        raise Refused("no shaderbench executable at %s; build it or give --binary" % binary
                      if binary else "no shaderbench executable found; build it or give --binary")
    if args.calls and not (shutil.which("apitrace") and shutil.which("glretrace")):
        raise Refused("--calls needs apitrace and glretrace (Debian package apitrace)")
    settings = [value if value is not None else (saved[key] if saved else default) for key, value, default in
                (("runs", args.runs, 5), ("cache", args.cache, "isolated"), ("timeline", args.timeline, True),
                 ("calls", args.calls, False))]
    plan = plans.make_plan(configs, pairs, binary, *settings)
    if saved:
        differences = plans.plan_differences(saved, plan)
        if differences:
            raise Refused("%s: a different plan: %s" % (args.resume, "; ".join(differences)))
    return resumed, plan


def start(args, resumed, plan, display):
    """The document the runs go into: the resumed one, whose drivers must be the
    same, or a new one with each configuration's driver probed."""
    configs = plans.plan_configs(plan)
    with harness.xserver(display) as probe_display:
        if resumed:
            for name, env, _ in configs:
                renderer = plans.driver_info(env, probe_display, plan["cache"])[0]
                before = next((r["renderer"] for r in resumed["results"] if r["configuration"] == name), None)
                if before is not None and renderer != before:
                    raise Refused("%s: the renderer of %s is now %r, the results have %r"
                                  % (args.resume, name, renderer, before))
            resumed.setdefault("resumed", []).append(
                datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"))
            resumed["complete"] = False
            return resumed
        found, kept = campaign.probe(configs, plans.plan_pairs(plan), probe_display, plan["cache"],
                                     bool(args.configs))
    names = {name for name, _, _ in kept}
    plan["configurations"] = [c for c in plan["configurations"] if c["name"] in names]
    document = results.new_document(plan, plans.host_info())
    document["results"] = found
    return document


def main(argv, here):
    args = parse_arguments(argv)
    try:
        if args.diff:
            old, new = (load(path) for path in args.diff)
            text, regression = verdicts.diff(old["results"], new["results"], args.threshold)
            sys.stdout.write(text)
            return 1 if regression and args.fail_on_regression else 0
        check_outputs(args)
        if args.report:
            documents = [load(path) for path in args.report]
            return 0 if show(args, documents, "shaderbench", with_host=True) else 1
        baseline = load(args.baseline) if args.baseline else None
        resumed, plan = prepare(args, here)
    except Refused as error:
        print("compare: %s" % error, file=sys.stderr)
        return 2

    path = args.resume or args.json
    document, status = None, None
    with interrupts.raising():
        try:
            document = start(args, resumed, plan, os.environ.get("DISPLAY"))
            save = (lambda doc: results.save(path, doc)) if path else (lambda doc: None)
            save(document)
            campaign.run(document, save, os.environ.get("DISPLAY"), args.stall_timeout)
        except Refused as error:
            print("compare: %s" % error, file=sys.stderr)
            return 2
        except interrupts.Interrupted as interrupt:
            status = interrupt.status
            campaign.progress("interrupted (%s): keeping the finished runs" % interrupt)
            if document is None:
                return status
            if path:
                results.save(path, document)
        except (RuntimeError, OSError) as error:  # no X server; the results file's disk full or gone
            print("compare: stopped: %s" % error, file=sys.stderr)
            if document is None:
                return 1
            status = 1

    rows = show(args, [document], "shaderbench, cache %s" % document["plan"]["cache"])
    if status is not None:
        return status
    failed = any(r["failure"] or r["failed_runs"] or (r.get("calls") or {}).get("failure")
                 for r in document["results"])
    status = 1 if failed or not rows else 0
    if baseline:
        text, regression = verdicts.diff(baseline["results"], document["results"], args.threshold)
        sys.stdout.write("\n" + text)
        if regression and args.fail_on_regression:
            status = 1
    return status
