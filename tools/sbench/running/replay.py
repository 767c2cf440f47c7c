"""The replay behind --calls: one run recorded with `apitrace trace`, then
replayed with `glretrace --pcpu` on the same configuration and cache mode
(results.calls reads the figures it prints). The trace lives in a temporary
directory, removed whatever happens. Recording and replay are runs like any
other: a hang or a crash stops them (see runner) and leaves
{"failure": reason} instead of figures.
"""

import os
import signal
import subprocess

from . import desktop, harness, plan, runner
from ..results import program_output as output
from ..results import calls
from ..system import scratch


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
    found = len(calls.parse_profile(text)[0]["link_ms"])
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
        series, problem = calls.parse_profile(text)
        if reason or problem:
            return {"failure": reason or problem}
        return {"source": "replay", "apitrace": apitrace_version(), "trace_bytes": os.path.getsize(trace),
                "recorded_ms": recorded["parsed"]["ms"], "not_replayed": calls.NOT_REPLAYED, **series}
