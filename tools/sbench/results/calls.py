"""Where each program's time goes, call by call, from a replay.

For --calls, one extra run per configuration and shader pair is recorded with
`apitrace trace` and replayed, on the same configuration and cache mode, with
`glretrace --pcpu`, which reports how long each GL call took. The replay is a
second execution of the same calls, not the timed run: its figures never
enter the timed runs' statistics or verdicts.

glretrace replays only calls with side effects: the loop's link status query
(glGetProgramiv) is skipped, so each program shows 14 of its 15 calls and the
status query has no time of its own (link_status_ms holds nulls). apitrace
adds calls of its own to the trace, a glBindAttribLocation per active vertex
attribute before each link so that the replay binds what the run bound:
they are not the program's, and are left out. The trace
lives in a temporary directory, removed whatever happens. Recording and
replay are runs like any other: a hang or a crash stops them (see runner)
and leaves {"failure": reason} instead of figures.
"""

import os
import signal
import statistics
import subprocess

import numpy

from ..running import desktop, harness, program_output as output, plan, runner
from ..system import scratch

# The loop's calls for one program, as the replay shows them.
PROGRAM_CALLS = ("glCreateShader", "glShaderSource", "glCompileShader",
                 "glCreateShader", "glShaderSource", "glCompileShader",
                 "glCreateProgram", "glAttachShader", "glAttachShader", "glLinkProgram",
                 "glDetachShader", "glDetachShader", "glDeleteShader", "glDeleteShader")
# The calls that get a series of their own, by their place in PROGRAM_CALLS;
# the others add up to other_ms.
OWN_SERIES = {2: "compile_vertex_ms", 5: "compile_fragment_ms", 9: "link_ms"}
NOT_REPLAYED = {"link_status_ms": "glretrace does not replay glGetProgramiv, a query without side effects"}
APITRACE_OWN = ("glBindAttribLocation", "glBindAttribLocationARB")
CALLS = (("compile_vertex_ms", "vertex compile"), ("compile_fragment_ms", "fragment compile"),
         ("link_ms", "link"), ("link_status_ms", "link status"), ("other_ms", "other"))
FIGURES = ("p50_ms", "p90_ms", "share_pct", "last_vs_first")


def summary_key(key, figure):
    """The name of a call's figure in a table row or CSV: replay_link_p50_ms."""
    return "replay_%s_%s" % (key[:-len("_ms")], figure)


SUMMARY_FIELDS = [summary_key(key, figure) for key, _ in CALLS for figure in FIGURES] + [
    "replay_program_p50_ms", "replay_vs_timed"]


def parse_profile(text, programs=output.PROGRAMS):
    """Per-call milliseconds from `glretrace --pcpu` output (text).

    Returns (series, problem): series maps each of the five keys of CALLS to a
    list with an entry per complete program found; problem is None when there
    were exactly `programs` programs, each its 14 calls in order, else why not.
    Calls before the first glCreateShader (set-up) and after the last program
    (buffer swaps) belong to no program, nor do apitrace's own."""
    columns, calls = None, []
    for line in text.splitlines():
        fields = line.split()
        if line.startswith("#") and "cpu_dura" in fields:
            columns = fields[1:]
        elif fields[:1] == ["call"] and columns and len(fields) == len(columns) and fields[-1] not in APITRACE_OWN:
            calls.append((fields[-1], int(fields[columns.index("cpu_dura")]) / 1e6))
    series = {key: [] for key, _ in CALLS}
    if columns is None:
        return series, "no glretrace --pcpu profile in the replay's output"
    names = [name for name, _ in calls]
    start = names.index(PROGRAM_CALLS[0]) if PROGRAM_CALLS[0] in names else len(names)
    size = len(PROGRAM_CALLS)
    while start + size <= len(calls) and tuple(names[start:start + size]) == PROGRAM_CALLS:
        durations = [ms for _, ms in calls[start:start + size]]
        for key, _ in CALLS:
            series[key].append(None)
        for place, key in OWN_SERIES.items():
            series[key][-1] = durations[place]
        series["other_ms"][-1] = sum(ms for place, ms in enumerate(durations) if place not in OWN_SERIES)
        start += size
    found = len(series["link_ms"])
    if found != programs:
        return series, "the replay showed %d of %d programs" % (found, programs)
    if PROGRAM_CALLS[0] in names[start:]:
        return series, "the replay showed calls out of the loop's order after program %d" % (found - 1)
    return series, None


def apitrace_version():
    try:
        found = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "apitrace"],
                               capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    return found.stdout.strip() or "unknown"


def replay(trace, display, env, stall, show):
    """Runs `glretrace --pcpu` on the trace; returns (stdout text, reason it failed or None)."""
    lines, links = [], [0]  # kept as they come, so that a hang still shows how far it got

    def collect(line):
        lines.append(line)
        if line.endswith(b" glLinkProgram\n"):
            show("replaying, program %d" % links[0])
            links[0] += 1

    status = None
    try:
        with harness.benchmark(trace, os.path.dirname(trace), env, display,
                               wrapper=("glretrace", "--pcpu", "--min-cpu-time=0")) as proc:
            reader = harness.LineReader(proc)
            reader.read_until(None, on_line=collect, stall=stall)
            status = harness.finish(proc, reader, stall=stall)[0]
    except TimeoutError:
        pass
    text = b"".join(lines).decode(errors="replace")
    if status == 0:
        return text, None
    found = len(parse_profile(text)[0]["link_ms"])
    where = "after program %d" % (found - 1) if found else "before its first program"
    if status is None:
        return text, "the replay hung %s: no output for %s" % (where, runner.seconds(stall))
    if status < 0:
        return text, "the replay crashed (%s) %s" % (signal.Signals(-status).name, where)
    errors = [line for line in reader.err.decode(errors="replace").splitlines() if "error" in line.lower()]
    return text, "the replay exited with status %d %s%s" % (status, where, ": " + errors[0] if errors else "")


def measure(binary, workdir, display, env, cache, stall, show=lambda text: None):
    """Records one run of the configuration and replays it. Returns the record
    for the results: the five series, or {"failure": reason}. show(text) is
    told how far it got."""
    def recording(line, _proc):
        if output.progress_index(line) is not None:
            show("recording with apitrace, program %d" % output.progress_index(line))

    with scratch.directory("trace") as directory:
        trace = os.path.join(directory, "run.trace")
        with desktop.xserver(display) as run_display, harness.driver_cache(cache) as cache_env:
            recorded = runner.run(binary, workdir, run_display, plan.run_environment(env, run_display, cache_env),
                                  stall, on_line=recording,
                                  wrapper=("apitrace", "trace", "--api", "gl", "--output", trace))
        if recorded["reason"]:
            return {"failure": "recording with apitrace failed: %s" % recorded["reason"]}
        if not os.path.isfile(trace):
            return {"failure": "apitrace wrote no trace"}
        with desktop.xserver(display) as run_display, harness.driver_cache(cache) as cache_env:
            text, reason = replay(trace, run_display, plan.run_environment(env, run_display, cache_env), stall, show)
        series, problem = parse_profile(text)
        if reason or problem:
            return {"failure": reason or problem}
        return {"source": "replay", "apitrace": apitrace_version(), "trace_bytes": os.path.getsize(trace),
                "recorded_ms": recorded["parsed"]["ms"], "not_replayed": NOT_REPLAYED, **series}


def replayed(record):
    return bool(record) and "failure" not in record


def summarise(record, timed_program_ms):
    """Per call: median, p90, share of the program's replayed time, and the
    median over the last 100 programs against the first 100; then the
    replay's median program against the timed runs' (timed_program_ms)."""
    summary = {key: None for key in SUMMARY_FIELDS}
    if not replayed(record):
        return summary
    totals = [sum(record[key][i] or 0 for key, _ in CALLS) for i in range(len(record["link_ms"]))]
    for key, _ in CALLS:
        values = record[key]
        if None in values:
            continue
        first = statistics.median(values[:100])
        summary.update(zip((summary_key(key, figure) for figure in FIGURES), (
            statistics.median(values), float(numpy.percentile(values, 90)),
            100 * sum(values) / sum(totals) if sum(totals) else None,
            statistics.median(values[-100:]) / first if first else None)))
    summary["replay_program_p50_ms"] = statistics.median(totals)
    if timed_program_ms:
        summary["replay_vs_timed"] = summary["replay_program_p50_ms"] / timed_program_ms
    return summary
