"""One comparison run, watched from outside, and what it leaves in the results.

As each progress line arrives the tool notes the time and reads the
process's commit, resident set and CPU time from /proc; at the first, which
GL and driver libraries it mapped (hashed once the run is over). The run then becomes
either a run (it reported: its numbers and timeline) or a failed run (how it
ended, how far it got, the end of its standard error). How a run ends is
decided in runner; whether a failure stops its configuration, in campaign.
"""

import resource
import signal

from . import counting, harness, libraries, plan, runner
from ..results import program_output as output
from ..analysis import stats
from ..system import proc

STDERR_LINES_KEPT = 20


def sample_process(pid):
    """(commit KiB, resident KiB, CPU ms of all threads) of a running process,
    from /proc; None where there is no /proc, or the process is gone or a
    zombie (whose memory reads as 0) by the time we look."""
    kib = proc.memory_kib(pid)
    cpu_ms = proc.cpu_ms(pid)
    if kib is None or cpu_ms is None:
        return None
    return (*kib, cpu_ms)


def run_once(binary, workdir, display, env, cache, timeline, stall, number, show=None, libraries_under=(),
             counter=None):
    """One benchmark run. Returns (run, failed run): run is the record of a
    run that reported (with its link failures counted), failed run the record
    of one that did not; the other is None. Both carry the libraries the
    process mapped (libraries.described), besides every file it mapped from
    under a directory of libraries_under; a run's are null where /proc could
    not tell; a failed run has them only where they were read. counter
    (counting.COUNTERS, not auto): the run is counted, and a run without
    its count is a failed one."""
    samples, maps, cpu_ns, main_ns, watched = [], [], [], [], []
    wrapper, count_file = counting.wrapper(counter, binary, workdir) if counter else ((), None)
    # Under valgrind the process's CPU time and memory are valgrind's: not read.
    native = counter != "callgrind"

    def observe(line, child):
        index = output.progress_index(line)
        if not watched:  # the benchmark's own process, found once
            watched.append(counting.benchmark_pid(counter, child.pid) if counter else child.pid)
        pid = watched[0]
        readable = native and pid is not None
        if index is not None:
            # First, as close to the line as can be: the span from the first line to the last is counted.
            # A run that reports printed 0000 first and 0999 last, so only those two are read.
            if index in (0, output.PROGRAMS - 1) and readable:
                for found, reading in ((cpu_ns, proc.cpu_ns(pid)), (main_ns, proc.runnable_ns(pid))):
                    found[:] = [found[0] if found else reading, reading]
            if not maps:  # the context, and so the driver, exists before the first program
                maps.append(None if pid is None else libraries.mapped(pid, libraries_under))
            if timeline:
                samples.append(sample_process(pid) if readable else None)
            if show:
                show(line.decode(errors="replace").strip())

    before = resource.getrusage(resource.RUSAGE_SELF)
    with harness.driver_cache(cache) as cache_env:
        result = runner.run(binary, workdir, display, plan.run_environment(env, display, cache_env),
                            stall, on_line=observe, wrapper=wrapper)
    after = resource.getrusage(resource.RUSAGE_SELF)
    count, why = counting.read_count(counter, count_file) if counter and not result["reason"] else (None, None)
    if why:
        result.update(ending="count", reason="no count: " + why)
    loaded = None if not maps or maps[0] is None else libraries.described(maps[0])
    if result["reason"]:
        failed = failed_run(result, number)
        if loaded is not None:
            failed["libraries"] = loaded
        return None, failed

    parsed = result["parsed"]
    run = {"run": number, "ms": parsed["ms"], "commit_mib": parsed["commit_mib"], "cpu_ms": None,
           **{key: span_us(span) for key, span in (("cpu_us", cpu_ns), ("runnable_us", main_ns))},
           "link_failures": len(parsed["failed"]), "program_ms": None, "commit_kib": None,
           "rss_kib": None, "timeline": "off", "libraries": loaded,
           "observer_cpu_ms": (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1000}
    if counter:
        run.update(instructions=count, counter=counter)
    if timeline:
        run["program_ms"] = stats.program_times(parsed["ms"], result["arrivals"])
        run["timeline"] = "recorded"
        if None in samples:
            run["timeline"] = ("times only: no /proc for the process's memory and CPU time" if native else
                               "times only: under valgrind the process's memory and CPU time are valgrind's")
        else:
            run["commit_kib"] = [sample[0] for sample in samples]
            run["rss_kib"] = [sample[1] for sample in samples]
            run["cpu_ms"] = samples[-1][2] - samples[0][2]
    return run, None


def span_us(span):
    """A span of readings in whole microseconds; None where it was not read,
    or where nothing ran between its two ends: the two lines were read
    together, after the process had gone idle (999 programs take longer)."""
    if not span or None in span:
        return None
    return round((span[1] - span[0]) / 1000) or None


def failed_run(result, number):
    """The record of a run that ended without a clean report."""
    status = result["status"]
    err = result["stderr"].decode(errors="replace").splitlines()
    return {"run": number, "reason": result["reason"], "ending": result["ending"],
            "programs": len(result["parsed"]["progress"]),
            "status": status if status is None or status >= 0 else None,
            "signal": signal.Signals(-status).name if status is not None and status < 0 else None,
            "stderr": [line[:500] for line in err if line.strip()][-STDERR_LINES_KEPT:],
            "seconds": result["seconds"],
            "progress_s": [(t - result["started_ns"]) / 1e9 for t in result["arrivals"]]}
