"""Results as a trace for Perfetto's UI (ui.perfetto.dev) or chrome://tracing,
in the Trace Event Format: a process per configuration and shader pair, a
thread per run, each program a slice carrying its index, commit and
resident memory as counters, failed runs and hangs as instant events, the
replay of --calls as a thread of its own whose programs hold their calls,
and the provenance of each results file in otherData.

Times are microseconds from the start of each run's first program (for a
failed run, from the start of its process): runs line up for comparison.
"""

import json

from . import calls
from ..system import files as outputs

US_PER_MS = 1000.0


def _meta(pid, tid, name, args):
    return {"ph": "M", "name": name, "pid": pid, "tid": tid, "ts": 0, "args": args}


def _slice(pid, tid, name, start_ms, length_ms, args):
    return {"ph": "X", "name": name, "cat": "shaderbench", "pid": pid, "tid": tid,
            "ts": start_ms * US_PER_MS, "dur": max(0.0, length_ms) * US_PER_MS, "args": args}


def run_events(pid, tid, number, run):
    events = [_meta(pid, tid, "thread_name", {"name": "run %d" % number}),
              _meta(pid, tid, "thread_sort_index", {"sort_index": tid})]
    if not run.get("program_ms"):
        return events + [_slice(pid, tid, "1000 programs (no timeline)", 0, run["ms"],
                                {"ms": run["ms"], "commit_mib": run["commit_mib"]})]
    start = 0.0
    for index, ms in enumerate(run["program_ms"]):
        events.append(_slice(pid, tid, "program", start, ms, {"index": index}))
        start += ms
        if run.get("commit_kib"):
            events.append({"ph": "C", "name": "memory, run %d (MiB)" % number, "pid": pid, "tid": tid,
                           "ts": start * US_PER_MS,
                           "args": {"commit": run["commit_kib"][index] / 1024,
                                    "resident": run["rss_kib"][index] / 1024}})
    return events


def failed_run_events(pid, tid, failed):
    events = [_meta(pid, tid, "thread_name", {"name": "run %d (failed)" % failed["run"]}),
              _meta(pid, tid, "thread_sort_index", {"sort_index": tid})]
    arrivals = failed.get("progress_s") or []
    for index, (earlier, later) in enumerate(zip(arrivals, arrivals[1:]), start=1):
        events.append(_slice(pid, tid, "program", earlier * 1000, (later - earlier) * 1000, {"index": index}))
    events.append({"ph": "i", "s": "t", "name": failed["reason"], "pid": pid, "tid": tid,
                   "ts": failed.get("seconds", arrivals[-1] if arrivals else 0) * 1e6,
                   "args": {"programs": failed["programs"], "stderr": "\n".join(failed.get("stderr", []))}})
    return events


def replay_events(pid, tid, record):
    """The replay's programs laid end to end (the time between GL calls is not
    in it), each holding its calls: the two compiles, the link, then the
    other eleven calls together (the status query is not replayed)."""
    events = [_meta(pid, tid, "thread_name", {"name": "replay (glretrace --pcpu: a second, traced execution)"}),
              _meta(pid, tid, "thread_sort_index", {"sort_index": tid})]
    if not calls.replayed(record):
        return events + [{"ph": "i", "s": "t", "name": "no replay: %s" % record["failure"], "pid": pid, "tid": tid,
                          "ts": 0, "args": {}}]
    start = 0.0
    for index in range(len(record["link_ms"])):
        parts = [(name, record[key][index]) for key, name in calls.CALLS if record[key][index] is not None]
        total = sum(ms for _, ms in parts)
        events.append(_slice(pid, tid, "program", start, total, {"index": index}))
        for name, ms in parts:
            events.append(_slice(pid, tid, name, start, ms, {"index": index}))
            start += ms
    return events


def document_events(documents):
    events, other = [], {"documents": []}
    pid = 0
    for document in documents:
        other["documents"].append({key: document.get(key) for key in ("schema", "created", "complete",
                                                                      "host", "binary")})
        for result in document["results"]:
            pid += 1
            name = "%s %s" % (result["configuration"], result["shaders"]["label"])
            if len(documents) > 1:
                name += " (%s)" % document["host"]["name"]
            events.append(_meta(pid, 0, "process_name", {"name": name}))
            events.append(_meta(pid, 0, "process_labels", {"labels": "%s, cache %s" % (
                result["renderer"] or "no renderer", result["cache"])}))
            tid = 0
            for number, run in enumerate(result["runs"], start=1):
                tid += 1
                events += run_events(pid, tid, run.get("run", number), run)
            for failed in result["failed_runs"]:
                tid += 1
                events += failed_run_events(pid, tid, failed)
            if result.get("calls"):
                tid += 1
                events += replay_events(pid, tid, result["calls"])
            if result["failure"]:
                events.append({"ph": "i", "s": "p", "name": "FAILED: %s" % result["failure"], "pid": pid,
                               "tid": 0, "ts": 0, "args": {}})
    return events, other


def write(path, documents):
    events, other = document_events(documents)
    outputs.write(path, lambda f: json.dump({"traceEvents": events, "displayTimeUnit": "ms", "otherData": other}, f,
                                            allow_nan=False))
