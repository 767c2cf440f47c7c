"""What a comparison shows: a row per (configuration, shader pair), as aligned
text (narrow enough for a terminal of 100 columns, or every column) and as
CSV, the failures under the table, and the per-call table of the replays."""

import csv
import statistics

from ..results import calls
from ..analysis import answers, clocks, stats, verdicts
from ..system import files as outputs
from ..system.text import printable


def verdict_columns(record):
    """A verdict record as flat columns, for CSV."""
    row = {"against": record["against"]}
    for measure in ("time", "memory"):
        v = record[measure]
        low, high = v["interval_pct"] or (None, None)
        row.update({measure + "_verdict": v["verdict"], measure + "_change_pct": v["change_pct"],
                    measure + "_low_pct": low, measure + "_high_pct": high,
                    measure + "_more": v["more"] and "%d to %d" % tuple(v["more"]),
                    measure + "_noise_pct": v.get("noise_pct"),
                    measure + "_gate": v.get("gate")})
    v = record["time"]
    row.update(verdict_method=v["method"], verdict_level=v["level"], threshold_pct=v["threshold_pct"],
               clock=record.get("clock", "wall"),
               rounds=v.get("rounds"), runs_old=(v.get("runs") or [None])[0],
               runs_new=(v.get("runs") or [None, None])[1])
    return row


VERDICT_COLUMNS = (["against"] + ["%s_%s" % (m, f) for m in ("time", "memory")
                                  for f in ("verdict", "change_pct", "low_pct", "high_pct", "more", "noise_pct",
                                            "gate")]
                   + ["verdict_method", "verdict_level", "threshold_pct", "clock", "rounds", "runs_old", "runs_new"])
TIMELINE_FIELDS = ["program_p50_ms", "program_p90_ms", "program_p99_ms", "program_max_ms",
                   "first_program_ms", "first_vs_rest", "cpu_per_wall",
                   "commit_kib_per_program", "commit_last_vs_first", "rss_kib_per_program",
                   "rss_last_vs_first"]
CSV_FIELDS = (["configuration", "shaders", "cache", "host", "renderer", "runs", "failed", "median_ms", "min_ms",
               "max_ms", "spread_pct", "median_instructions", "median_mib", "min_mib", "max_mib"]
              + TIMELINE_FIELDS + calls.SUMMARY_FIELDS
              + VERDICT_COLUMNS)
VERDICT_CSV_FIELDS = ["configuration", "shaders"] + VERDICT_COLUMNS
COLUMNS = [  # heading, row key, decimals
    ("configuration", "configuration", None), ("shaders", "shaders", None), ("host", "host", None),
    ("cache", "cache", None), ("runs", "runs", 0), ("failed", "failed", 0), ("median ms", "median_ms", 0),
    ("±%", "spread_pct", 1), ("instructions", "median_instructions", 0), ("min ms", "min_ms", 0),
    ("max ms", "max_ms", 0), ("p50", "program_p50_ms", 1),
    ("p90", "program_p90_ms", 1),
    ("p99", "program_p99_ms", 1), ("max", "program_max_ms", 1), ("first", "first_program_ms", 1),
    ("CPU/wall", "cpu_per_wall", 2),
    ("median MiB", "median_mib", 0), ("KiB/program", "commit_kib_per_program", 0),
    ("last/first", "commit_last_vs_first", 2),
    ("vs ms", "replay_compile_vertex_p50_ms", 1), ("fs ms", "replay_compile_fragment_p50_ms", 1),
    ("link ms", "replay_link_p50_ms", 1), ("link %", "replay_link_share_pct", 0),
    ("replay/timed", "replay_vs_timed", 2),
    ("verdict", "verdict", None), ("renderer", "renderer", None)]
# What answers the question, in 100 columns. ±%: the time's spread, half its range in % of the median.
NARROW = ["configuration", "shaders", "host", "runs", "failed", "median ms", "±%", "instructions", "p50", "p99",
          "median MiB", "verdict"]
VALGRIND_NOTE = "(ms and MiB: under valgrind, which ran the runs callgrind counted: not native)\n"
REPLAY_COLUMNS = set(calls.SUMMARY_FIELDS)
REPLAY_NOTE = ("vs ms, fs ms, link ms: median vertex compile, fragment compile and link per program; link %: the\n"
               "link's share of a program's GL time; replay/timed: the median program of the replay against the\n"
               "median program of the timed runs. These come from one extra run, recorded with apitrace and\n"
               "replayed with glretrace --pcpu: a second execution, not the timed runs.\n")


def number(value, digits=0):
    return "-" if value is None else "%.*f" % (digits, value)


def _spread(values):
    """(median, min, max), or three Nones for no values."""
    return (statistics.median(values), min(values), max(values)) if values else (None, None, None)


def summarise(result, host=None):
    """One row of the table from one (configuration, pair) result."""
    runs = result["runs"]
    row = {"configuration": printable(result["configuration"]), "shaders": printable(result["shaders"]["label"]),
           "cache": printable(result["cache"]), "renderer": result["renderer"] and printable(result["renderer"]),
           "host": host and printable(host), "runs": len(runs),
           "failed": len(result["failed_runs"])}
    row["median_ms"], row["min_ms"], row["max_ms"] = _spread([run["ms"] for run in runs])
    row["spread_pct"] = ((row["max_ms"] - row["min_ms"]) / 2 / row["median_ms"] * 100
                         if row["median_ms"] else None)
    row["median_instructions"], row["min_instructions"], row["max_instructions"] = _spread(
        [run["instructions"] for run in runs if run.get("instructions") is not None])
    row["counters"] = clocks.counters(runs)
    row["median_mib"], row["min_mib"], row["max_mib"] = _spread(
        [run["commit_mib"] for run in runs if run["commit_mib"] is not None])
    row.update({key: None for key in TIMELINE_FIELDS + calls.SUMMARY_FIELDS})
    row.update(stats.timeline_summary(runs))
    timed_program_ms = row["program_p50_ms"] or (row["median_ms"] or 0) / 1000
    row.update(calls.summarise(result.get("calls"), timed_program_ms))
    return row


def table_rows(documents, with_host, records=None):
    """A row per result whose configuration did not stop, with its runs done
    and failed, and its verdict against the baseline where records (a list
    of verdicts.within's per document) hold one."""
    rows = []
    for document, found in zip(documents, records or [[]] * len(documents)):
        against = found[0]["against"] if found else None
        for result in document["results"]:
            if (result["runs"] or result["failed_runs"]) and not result["failure"]:
                row = summarise(result, document["host"]["name"] if with_host else None)
                row.update({key: None for key in VERDICT_COLUMNS})
                record = next((r for r in found if r["configuration"] == result["configuration"]
                               and r["shaders_sha256"] == list(verdicts.shaders_key(result))), None)
                row.update(verdict_columns(record) if record else {})
                row["verdict_record"] = record
                row["verdict"] = short_verdict(record, result["configuration"] == against)
                rows.append(row)
    return rows


def short_verdict(record, baseline):
    """The time verdict in a few words, for the table; "CPU" or
    "instructions" before it when it judged those."""
    if baseline:
        return "baseline"
    if record is None:
        return None
    v, clock = record["time"], {"cpu": "CPU ", "instructions": "instructions "}.get(record.get("clock"), "")
    if v["verdict"] in answers.TIME_WORDS:
        return "%s%s %+.1f %%" % (clock, v["verdict"], round(v["change_pct"], 1) + 0.0)
    return clock + ("same \u00b1%g %%" % v["threshold_pct"] if v["verdict"] == "same" else v["verdict"])


def shown_columns(rows, wide=False):
    """The columns a table of rows shows: every one (wide) or the narrow
    set; the host column only when a row names one, the failed column when a
    run failed, the replay's and the verdict's when there is one."""
    return [c for c in COLUMNS
            if (wide or c[0] in NARROW)
            and (c[0] != "host" or any(row["host"] for row in rows))
            and (c[0] != "failed" or any(row["failed"] for row in rows))
            and (c[0] != "verdict" or any(row["verdict"] for row in rows))
            and (c[0] != "instructions" or any(row["median_instructions"] is not None for row in rows))
            and (c[1] not in REPLAY_COLUMNS or any(row[c[1]] is not None for row in rows))]


def cells(rows, columns):
    """Each row's cells as the table prints them."""
    return [[str(row[key] or "-") if digits is None else number(row[key], digits) for _, key, digits in columns]
            for row in rows]


def format_table(rows, wide=False):
    """The rows as aligned text, and a note where valgrind ran them."""
    columns = shown_columns(rows, wide)
    return aligned([c[0] for c in columns], cells(rows, columns), [digits is None for _, _, digits in columns]) + (
        VALGRIND_NOTE if any("callgrind" in row["counters"] for row in rows) else "")


def aligned(head, body, left):
    widths = [max(len(line[i]) for line in [head] + body) for i in range(len(head))]
    text = []
    for line in [head] + body:
        cells = [cell.ljust(w) if left[i] else cell.rjust(w) for i, (cell, w) in enumerate(zip(line, widths))]
        text.append("  ".join(cells).rstrip())
    text.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(text) + "\n"


def failures_text(documents):
    """A line per configuration that stopped and per failed run."""
    lines = []
    for document in documents:
        for result in document["results"]:
            name = "%s %s" % (result["configuration"], result["shaders"]["label"])
            if result["failure"]:
                lines.append("%s: FAILED: %s" % (name, result["failure"]))
            for failed in result["failed_runs"]:
                if failed["reason"] != result["failure"]:
                    lines.append("%s: run %d failed: %s" % (name, failed["run"], failed["reason"]))
            if (result.get("calls") or {}).get("failure"):
                lines.append("%s: no per-call figures: %s" % (name, result["calls"]["failure"]))
    return "".join(printable(line) + "\n" for line in lines)


def calls_table(documents):
    """Per call, for every result with a replay: median, p90, share, last/first."""
    body = []
    for document in documents:
        for result in document["results"]:
            if not result["runs"] or result["failure"] or not calls.replayed(result.get("calls")):
                continue
            summary = calls.summarise(result["calls"], None)
            for i, (key, name) in enumerate(calls.CALLS):
                body.append([printable(result["configuration"]) if i == 0 else "",
                             printable(result["shaders"]["label"]) if i == 0 else "",
                             name] + [number(summary[calls.summary_key(key, figure)], digits)
                                      for figure, digits in zip(calls.FIGURES, (2, 2, 1, 2))])
    if not body:
        return ""
    return ("Per call, from one replayed run (a second execution, not the timed runs):\n"
            + aligned(["configuration", "shaders", "call", "median ms", "p90 ms", "share %", "last/first"], body,
                      [True, True, True, False, False, False, False])
            + "(last/first: median over the last 100 programs against the first 100; link status: glretrace\n"
            + " does not replay the status query, a call without side effects, so it has no time of its own)\n")


FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def csv_cell(value):
    """A cell as a spreadsheet may take it: text that would start a formula
    (a name such as =HYPERLINK(...) from a shared results file) gets a
    leading ', as OWASP advises; numbers stay numbers, negative ones too."""
    if value is None:
        return ""
    if isinstance(value, str) and value.startswith(FORMULA_STARTS):
        return "'" + value
    return value


def write_csv(path, rows, fields=CSV_FIELDS):
    def produce(f):
        writer = csv.DictWriter(f, fields)
        writer.writeheader()
        for row in rows:
            writer.writerow({k: csv_cell(row[k]) for k in fields})
    outputs.write(path, produce)


def write_verdicts_csv(path, records):
    """--diff's verdicts, a row each."""
    write_csv(path, [dict(verdict_columns(r), configuration=r["configuration"], shaders=r["shaders"])
                     for r in records], VERDICT_CSV_FIELDS)
