"""Compare OpenGL drivers with shaderbench: repeated runs, per-program costs,
results that carry their provenance, and A/B verdicts.

  compare [-n RUNS] [--shaders DIR]... [--cache MODE] [--json FILE] [--csv FILE]
          [--plot FILE.png] [--timeline FILE.png] [--baseline OLD.json] [CONFIG ...]
  compare --report FILE.json...          the table and charts of saved results
  compare --diff OLD.json NEW.json       verdicts between two results files

A CONFIG is a built-in name (llvmpipe, softpipe, zink) or NAME:VAR=VALUE[,VAR=VALUE...],
for example old:LD_LIBRARY_PATH=/opt/mesa-old/lib. Without any, every built-in
configuration whose driver is present is compared. Each run is one full
benchmark (1000 programs) on a private X server when there is no display; its
window is closed once its report is printed. Runs of the configurations are
interleaved, so that a drift of the machine touches all of them alike. The
exit status is 0 when every configuration ran cleanly (and, with
--fail-on-regression, nothing got slower or took more memory), 1 otherwise.
"""

import argparse
import csv
import datetime
import hashlib
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from . import harness, output, stats

SCHEMA = "shaderbench-compare/1"
PAIR = ("largeShaderExample_vs_source.txt", "largeShaderExample_ps_source.txt")
CACHE_MODES = ("isolated", "off", "user")

# Built-in configurations: environment, and the word the renderer string must
# hold, so that a driver Mesa silently replaced is caught.
BUILT_IN = {
    "llvmpipe": ({"GALLIUM_DRIVER": "llvmpipe"}, "llvmpipe"),
    "softpipe": ({"GALLIUM_DRIVER": "softpipe"}, "softpipe"),
    "zink": ({"LIBGL_ALWAYS_SOFTWARE": "1", "GALLIUM_DRIVER": "zink"}, "zink"),
}


# ---------------------------------------------------------------------------
# Configurations and provenance
# ---------------------------------------------------------------------------

def parse_config(text):
    """A built-in name or NAME:VAR=VALUE[,VAR=VALUE...] -> (name, env, expected renderer word)."""
    if text in BUILT_IN:
        env, word = BUILT_IN[text]
        return text, dict(env), word
    name, sep, assignments = text.partition(":")
    if not sep or not name or not assignments:
        raise ValueError("%r is neither a built-in configuration (%s) nor NAME:VAR=VALUE[,...]"
                         % (text, ", ".join(BUILT_IN)))
    env = {}
    for assignment in assignments.split(","):
        var, eq, value = assignment.partition("=")
        if not eq or not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", var):
            raise ValueError("%r: %r is not VAR=VALUE" % (text, assignment))
        env[var] = value
    return name, env, None


def run_environment(env, display, cache_env):
    """The environment of one run: ours, the configuration's, then the cache mode's."""
    return {**os.environ, **env, **cache_env, "DISPLAY": display}


def driver_info(env, display, cache):
    """(renderer, GL version, None) as glxinfo reports them, or (None, None, reason)."""
    try:
        with harness.driver_cache(cache) as cache_env:
            out = subprocess.run(["glxinfo", "-B"], env=run_environment(env, display, cache_env),
                                 capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, None, "glxinfo failed: %s" % error
    renderer = re.search(r"OpenGL renderer string: (.*)", out.stdout)
    version = re.search(r"OpenGL version string: (.*)", out.stdout)
    if out.returncode != 0 or not renderer:
        # libGL's own "error" line says more than the X protocol dump after it.
        errors = out.stderr.strip().splitlines() or ["no OpenGL context"]
        return None, None, next((line for line in errors if "error" in line.lower()), errors[-1]).strip()
    return renderer.group(1).strip(), version.group(1).strip() if version else None, None


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def shader_info(directory):
    files = {}
    for name in PAIR:
        path = os.path.join(directory, name)
        files[name] = ({"size": os.path.getsize(path), "sha256": sha256(path)}
                       if os.path.isfile(path) else None)
    return {"directory": os.path.abspath(directory), "files": files}


def host_info():
    info = {"name": platform.node(), "kernel": platform.release(), "cpu": platform.machine(),
            "cores": os.cpu_count(), "memory_mib": None}
    try:
        with open("/proc/cpuinfo") as f:
            models = re.findall(r"^model name\s*:\s*(.*)$", f.read(), re.M)
        info["cpu"] = models[0] if models else info["cpu"]
        with open("/proc/meminfo") as f:
            info["memory_mib"] = int(re.search(r"MemTotal:\s*(\d+) kB", f.read()).group(1)) // 1024
    except (OSError, AttributeError):
        pass
    return info


# ---------------------------------------------------------------------------
# One run, observed from outside
# ---------------------------------------------------------------------------

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def sample_process(pid):
    """(commit KiB, resident KiB, CPU ms of all threads) of a running process,
    from /proc; None where there is no /proc or the process is gone."""
    try:
        with open("/proc/%d/status" % pid, "rb") as f:
            status = dict(line.split(b":", 1) for line in f.read().splitlines() if b":" in line)
        with open("/proc/%d/stat" % pid, "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()  # after the command's name
    except (OSError, IndexError):
        return None
    kib = {name: int(status[name].split()[0]) for name in (b"VmData", b"VmStk", b"VmRSS")}
    # utime and stime, fields 14 and 15 of the line, in clock ticks.
    return kib[b"VmData"] + kib[b"VmStk"], kib[b"VmRSS"], (int(fields[11]) + int(fields[12])) * 1000 / CLOCK_TICKS


def run_once(binary, workdir, display, env, cache, timeline, show=None):
    """One benchmark run. Returns (run record, None), (run record, reason) when
    programs failed to link, or (None, reason) when there is no report.

    With timeline, each progress line's arrival time and the process's commit,
    resident set and CPU time are recorded as the line arrives."""
    arrivals, samples = [], []

    def observe(line, proc):
        if output.is_progress(line):
            if timeline:
                arrivals.append(time.monotonic_ns())
                samples.append(sample_process(proc.pid))
            if show:
                show(line.decode(errors="replace").strip())

    before = resource.getrusage(resource.RUSAGE_SELF)
    with harness.driver_cache(cache) as cache_env:
        status, out, err = harness.run_to_report(binary, workdir, display,
                                                 run_environment(env, display, cache_env), on_line=observe)
    after = resource.getrusage(resource.RUSAGE_SELF)

    parsed = output.parse(out)
    if status != 0 or parsed["ms"] is None or not parsed["complete"]:
        errors = [line for line in err.decode(errors="replace").splitlines() if line.strip()]
        return None, ((parsed["other"] + errors)[:1] or ["exit status %d, no report" % status])[0]
    run = {"ms": parsed["ms"], "commit_mib": parsed["commit_mib"], "cpu_ms": None,
           "link_failures": len(parsed["failed"]), "program_ms": None, "commit_kib": None,
           "rss_kib": None, "timeline": "off",
           "observer_cpu_ms": (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1000}
    if timeline:
        run["program_ms"] = stats.program_times(parsed["ms"], arrivals)
        run["timeline"] = "recorded"
        if None in samples:
            run["timeline"] = "times only: no /proc for the process's memory and CPU time"
        else:
            run["commit_kib"] = [sample[0] for sample in samples]
            run["rss_kib"] = [sample[1] for sample in samples]
            run["cpu_ms"] = samples[-1][2] - samples[0][2]
    # Kept in the results, but a driver that fails to link is not a clean run.
    failures = run["link_failures"]
    return run, failures and "%d of %d programs failed to link" % (failures, output.PROGRAMS) or None


# ---------------------------------------------------------------------------
# A comparison
# ---------------------------------------------------------------------------

def progress(text, final=True):
    """Shows where the comparison is on standard error: on a terminal the
    passing lines overwrite each other, elsewhere only the final ones appear."""
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K" + text + ("\n" if final else ""))
    elif final:
        sys.stderr.write(text + "\n")
    sys.stderr.flush()


def minutes(seconds):
    return "%d min %02d s" % divmod(int(seconds), 60) if seconds >= 60 else "%d s" % seconds


def compare(configs, pair_dirs, binary, display, runs, cache, timeline, explicit=True):
    """Runs every configuration on every shader pair, runs interleaved.

    Returns a result per (configuration, pair). A built-in configuration whose
    driver is missing or does not load is skipped when the user did not name
    it, and fails when they did."""
    results, work = [], []
    for name, env, word in configs:
        renderer, version, reason = driver_info(env, display, cache)
        if renderer is not None and word and word not in renderer:
            reason = "driver missing: the renderer is %r" % renderer
        if reason and word and not explicit:
            progress("[%s] skipped: %s" % (name, reason))
            continue
        for pair_dir in pair_dirs:
            result = {"configuration": name, "environment": env, "renderer": renderer,
                      "gl_version": version, "cache": cache, "shaders": shader_info(pair_dir),
                      "runs": [], "failure": reason}
            results.append(result)
            if not reason:
                workdir = tempfile.mkdtemp(prefix="shaderbench-compare-")
                os.symlink(os.path.abspath(pair_dir), os.path.join(workdir, "shaders"))
                work.append((result, env, workdir))

    durations = []
    total = runs * len(work)
    try:
        for round_number in range(1, runs + 1):
            for result, env, workdir in work:
                if result["failure"]:
                    continue
                label = "[%s %s %d/%d]" % (result["configuration"], pair_label(result),
                                           round_number, runs)
                started = time.monotonic()
                left = total - len(durations)

                def show(line, label=label, started=started, left=left):
                    eta = ""
                    if durations:
                        remaining = statistics.mean(durations) * left - (time.monotonic() - started)
                        eta = ", about %s left" % minutes(max(0, remaining))
                    progress("%s program %s%s" % (label, line.split("/")[0], eta), final=False)

                run, reason = run_once(binary, workdir, display, env, cache, timeline, show)
                durations.append(time.monotonic() - started)
                if run:
                    result["runs"].append(run)
                if reason:
                    result["failure"] = reason
                    total -= runs - round_number
                    progress("%s FAILED: %s" % (label, reason))
                    continue
                progress("%s %d ms, %s MiB" % (label, run["ms"], number(run["commit_mib"])))
    finally:
        for _, _, workdir in work:
            shutil.rmtree(workdir, ignore_errors=True)
    return results


def pair_label(result):
    return os.path.basename(result["shaders"]["directory"].rstrip("/")) or "/"


# ---------------------------------------------------------------------------
# Tables
# ---------------------------------------------------------------------------

def summarise(result, host=None):
    """One row of the table from one (configuration, pair) result."""
    runs = result["runs"]
    times = [run["ms"] for run in runs]
    mibs = [run["commit_mib"] for run in runs if run["commit_mib"] is not None]
    row = {"configuration": result["configuration"], "shaders": pair_label(result),
           "cache": result["cache"], "renderer": result["renderer"], "host": host, "runs": len(runs),
           "median_ms": statistics.median(times), "min_ms": min(times), "max_ms": max(times),
           "median_mib": statistics.median(mibs) if mibs else None,
           "min_mib": min(mibs) if mibs else None, "max_mib": max(mibs) if mibs else None}
    row.update({key: None for key in TIMELINE_FIELDS})
    row.update(stats.timeline_summary(runs))
    return row


TIMELINE_FIELDS = ["program_p50_ms", "program_p90_ms", "program_p99_ms", "program_max_ms",
                   "first_program_ms", "first_vs_rest", "cpu_per_wall",
                   "commit_kib_per_program", "commit_last_vs_first", "rss_kib_per_program",
                   "rss_last_vs_first"]
CSV_FIELDS = ["configuration", "shaders", "cache", "host", "renderer", "runs", "median_ms", "min_ms",
              "max_ms", "median_mib", "min_mib", "max_mib"] + TIMELINE_FIELDS
COLUMNS = [  # heading, row key, decimals
    ("configuration", "configuration", None), ("shaders", "shaders", None), ("host", "host", None),
    ("cache", "cache", None), ("runs", "runs", 0), ("median ms", "median_ms", 0), ("min ms", "min_ms", 0),
    ("max ms", "max_ms", 0), ("p50", "program_p50_ms", 1), ("p90", "program_p90_ms", 1),
    ("p99", "program_p99_ms", 1), ("max", "program_max_ms", 1), ("first", "first_program_ms", 1),
    ("CPU/wall", "cpu_per_wall", 2),
    ("median MiB", "median_mib", 0), ("KiB/program", "commit_kib_per_program", 0),
    ("last/first", "commit_last_vs_first", 2), ("renderer", "renderer", None)]


def number(value, digits=0):
    return "-" if value is None else "%.*f" % (digits, value)


def format_table(rows):
    """The rows as aligned text; the host column only when a row names one."""
    columns = [c for c in COLUMNS if c[0] != "host" or any(row["host"] for row in rows)]
    head = [c[0] for c in columns]
    body = [[str(row[key] or "-") if digits is None else number(row[key], digits)
             for _, key, digits in columns] for row in rows]
    widths = [max(len(line[i]) for line in [head] + body) for i in range(len(head))]
    text = []
    for line in [head] + body:
        cells = [cell.ljust(w) if columns[i][2] is None else cell.rjust(w)
                 for i, (cell, w) in enumerate(zip(line, widths))]
        text.append("  ".join(cells).rstrip())
    text.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(text) + "\n"


def write_csv(path, rows):
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, CSV_FIELDS, extrasaction="ignore")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: ("" if row[k] is None else row[k]) for k in CSV_FIELDS})


# ---------------------------------------------------------------------------
# Results files
# ---------------------------------------------------------------------------

def results_document(results, binary):
    return {"schema": SCHEMA,
            "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "host": host_info(), "binary": {"path": os.path.abspath(binary), "sha256": sha256(binary)},
            "results": results}


def load_results(path):
    with open(path) as f:
        document = json.load(f)
    if document.get("schema") != SCHEMA:
        raise ValueError("%s is not a %s results file" % (path, SCHEMA))
    return document


def table_rows(documents, with_host):
    rows = []
    for document in documents:
        for result in document["results"]:
            if result["runs"] and not result["failure"]:
                rows.append(summarise(result, document["host"]["name"] if with_host else None))
    return rows


# ---------------------------------------------------------------------------
# Verdicts
# ---------------------------------------------------------------------------

def pair_key(result):
    return (result["configuration"],
            tuple((f or {}).get("sha256") for f in result["shaders"]["files"].values()))


def match_results(old, new):
    """Pairs of results to compare: by configuration and shader pair, or the two
    results whatever their names when each side holds exactly one. Returns
    (pairs, results found only in old, only in new)."""
    old = [r for r in old if r["runs"]]
    new = [r for r in new if r["runs"]]
    if len(old) == 1 and len(new) == 1:
        return [(old[0], new[0])], [], []
    new_by_key = {pair_key(r): r for r in new}
    pairs = [(r, new_by_key[pair_key(r)]) for r in old if pair_key(r) in new_by_key]
    old_keys = {pair_key(r) for r in old}
    return (pairs, [r for r in old if pair_key(r) not in new_by_key],
            [r for r in new if pair_key(r) not in old_keys])


def diff(old, new, threshold):
    """Verdict lines between two lists of results; returns (text, whether
    anything got slower or took more memory)."""
    pairs, only_old, only_new = match_results(old, new)
    lines, regression = [], False
    for before, after in pairs:
        name = "%s %s" % (before["configuration"], pair_label(before))
        if (before["configuration"], pair_label(before)) != (after["configuration"], pair_label(after)):
            name += " -> %s %s" % (after["configuration"], pair_label(after))
        time_verdict = stats.verdict([r["ms"] for r in before["runs"]], [r["ms"] for r in after["runs"]],
                                     threshold, ("slower", "faster"))
        memory_verdict = stats.verdict([r["commit_mib"] for r in before["runs"]],
                                       [r["commit_mib"] for r in after["runs"]],
                                       threshold, ("more memory", "less memory"))
        lines.append("%s\n  time:   %s\n  memory: %s" % (name, stats.describe(time_verdict),
                                                         stats.describe(memory_verdict)))
        regression |= time_verdict["verdict"] == "slower" or memory_verdict["verdict"] == "more memory"
    for side, results in (("old", only_old), ("new", only_new)):
        for result in results:
            lines.append("%s %s: only in the %s results" % (result["configuration"], pair_label(result), side))
    return "\n".join(lines) + "\n", regression


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

def default_binary(here):
    # In the source tree: build/shaderbench; installed: <prefix>/bin beside share/.
    for path in (os.path.join(here, "..", "build", "shaderbench"),
                 os.path.join(here, "..", "..", "..", "bin", "shaderbench")):
        if os.access(path, os.X_OK):
            return os.path.abspath(path)
    return None


def parse_arguments(argv, here):
    parser = argparse.ArgumentParser(
        description=__doc__.strip().splitlines()[0],
        epilog="CONFIG: llvmpipe, softpipe, zink, or NAME:VAR=VALUE[,VAR=VALUE...]")
    parser.add_argument("configs", nargs="*", metavar="CONFIG")
    parser.add_argument("-n", "--runs", type=int, default=5, help="runs per configuration (default 5)")
    parser.add_argument("--shaders", action="append", metavar="DIR",
                        help="a directory holding a shader pair; may be repeated (default: the samples)")
    parser.add_argument("--cache", choices=CACHE_MODES, default="isolated",
                        help="the driver's disk cache: a fresh one per run (default), off, or the user's")
    parser.add_argument("--no-timeline", dest="timeline", action="store_false",
                        help="do not record per-program times, memory and CPU time")
    parser.add_argument("--json", metavar="FILE", help="write every run and its provenance to FILE")
    parser.add_argument("--csv", metavar="FILE", help="write the table as CSV")
    parser.add_argument("--plot", metavar="FILE.png", help="write a chart of totals")
    parser.add_argument("--timeline", dest="timeline_png", metavar="FILE.png",
                        help="write a chart of per-program time and memory")
    parser.add_argument("--binary", help="the shaderbench executable")
    parser.add_argument("--report", nargs="+", metavar="FILE.json", help="show saved results; run nothing")
    parser.add_argument("--diff", nargs=2, metavar=("OLD.json", "NEW.json"),
                        help="verdicts between two results files; run nothing")
    parser.add_argument("--baseline", metavar="OLD.json", help="verdicts against OLD after this comparison")
    parser.add_argument("--threshold", type=float, default=2.0, metavar="PCT",
                        help="noise band of a verdict, in percent (default 2)")
    parser.add_argument("--fail-on-regression", action="store_true",
                        help="exit with status 1 when anything is slower or takes more memory")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("-n must be at least 1")
    if (args.report or args.diff) and (args.configs or args.shaders or args.json or args.baseline):
        parser.error("--report and --diff run nothing: no CONFIG, --shaders, --json or --baseline")
    if args.report and args.diff:
        parser.error("--report and --diff do not go together")
    try:
        args.configs = [parse_config(text) for text in args.configs]
    except ValueError as error:
        parser.error(str(error))
    args.explicit = bool(args.configs)
    if not args.explicit:
        args.configs = [parse_config(name) for name in BUILT_IN]
    args.shaders = args.shaders or [os.path.join(here, "..", "shaders")]
    for directory in args.shaders:
        if not os.path.isdir(directory):
            parser.error("--shaders %s: no such directory" % directory)
    args.binary = os.path.abspath(args.binary) if args.binary else default_binary(here)
    if not (args.report or args.diff) and not (args.binary and os.access(args.binary, os.X_OK)):
        parser.error("no shaderbench executable found; build it or give --binary")
    return args


def show_results(args, documents, title, with_host=False):
    rows = table_rows(documents, with_host)
    if rows:
        sys.stdout.write(format_table(rows))
    if args.csv and rows:
        write_csv(args.csv, rows)
    if args.plot or args.timeline_png:
        from . import charts
        if args.plot and rows:
            charts.write_totals(args.plot, rows, title)
        if args.timeline_png:
            charts.write_timeline(args.timeline_png, [r for d in documents for r in d["results"]], title)
    return rows


def main(argv, here):
    args = parse_arguments(argv, here)
    try:
        if args.diff:
            old, new = (load_results(path) for path in args.diff)
            text, regression = diff(old["results"], new["results"], args.threshold)
            sys.stdout.write(text)
            return 1 if regression and args.fail_on_regression else 0
        if args.report:
            documents = [load_results(path) for path in args.report]
            return 0 if show_results(args, documents, "shaderbench", with_host=True) else 1
        baseline = load_results(args.baseline) if args.baseline else None
    except (OSError, ValueError, KeyError) as error:
        print("compare: %s" % error, file=sys.stderr)
        return 2

    server = None
    display = os.environ.get("DISPLAY")
    try:
        if not display:
            server, display = harness.start_xserver()
        results = compare(args.configs, args.shaders, args.binary, display, args.runs,
                          args.cache, args.timeline, args.explicit)
    finally:
        if server:
            harness.stop_process(server)

    document = results_document(results, args.binary)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(document, f, indent=1)
    rows = show_results(args, [document], "shaderbench, cache %s" % args.cache)
    failures = [r for r in results if r["failure"]]
    for result in failures:
        print("%s %s: FAILED: %s" % (result["configuration"], pair_label(result), result["failure"]))
    status = 1 if failures or not rows else 0
    if baseline:
        text, regression = diff(baseline["results"], results, args.threshold)
        sys.stdout.write("\n" + text)
        if regression and args.fail_on_regression:
            status = 1
    return status
