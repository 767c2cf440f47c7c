"""Where each program's time goes, call by call, from a replay.

For --calls, one extra run per configuration and shader pair is recorded with
`apitrace trace` and replayed, on the same configuration and cache mode, with
`glretrace --pcpu`, which reports how long each GL call took. The replay is a
second execution of the same calls, not the timed run: its figures never
enter the timed runs' statistics or verdicts. This module holds the
figures: the profile's parser and each call's summary; running.replay makes
the recording and the replay.

glretrace replays only calls with side effects: the loop's link status query
(glGetProgramiv) is skipped, so each program shows 14 of its 15 calls and the
status query has no time of its own (link_status_ms holds nulls). apitrace
adds calls of its own to the trace, a glBindAttribLocation per active vertex
attribute before each link so that the replay binds what the run bound:
they are not the program's, and are left out.
"""

import statistics

import numpy

from . import program_output as output

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
