"""One HTML page per comparison, for sharing: the verdicts first, then the
table, each configuration's rounds, timelines, memory and per-call split,
the failures and the provenance. Self-contained: Chart.js (Debian's
libjs-chart.js) and the data are inlined, so the page opens offline, from
disk, a CI artifact or a mail, and makes no request. The text in it (table
cells, verdict lines) is the terminal's own, made by the same functions.
"""

import datetime
import json
import os
import shlex

import numpy

from . import corpus_summary, tables
from ..results import calls
from ..results.document import BUILT_IN
from ..analysis import clocks, corpus, stats, verdicts
from ..system import files as outputs
from ..system.text import printable

CHART_JS = "/usr/share/javascript/chart.js/chart.min.js"
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")
# A table of more rows starts folded: laying out thousands of them took most of a corpus page's second; opened,
# they are laid out then.
FOLD_ROWS = 200
# What report.js draws from: the rest of the page's data is in its HTML.
DRAWN = ("threshold", "verdicts", "corpus", "sections", "together")
INLINE_ESCAPES = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026"})


def _rounded(values, digits=3):
    return None if values is None else [None if v is None else round(float(v), digits) for v in values]


def timeline(result):
    """Per program over the runs that recorded a timeline: the median, p10
    and p90 of the time, each run's time, and the median commit and resident
    memory in MiB; None without a timeline."""
    timed = [run for run in result["runs"] if run.get("program_ms")]
    if not timed:
        return None
    times = numpy.array([run["program_ms"] for run in timed])
    found = {"median": _rounded(numpy.median(times, axis=0)),
             "p10": _rounded(numpy.percentile(times, 10, axis=0)),
             "p90": _rounded(numpy.percentile(times, 90, axis=0)),
             "runs": [{"run": run.get("run", i + 1), "ms": _rounded(run["program_ms"])} for i, run in enumerate(timed)]}
    for key in ("commit_kib", "rss_kib"):
        series = [run[key] for run in timed if run.get(key)]
        found[key[:-4] + "_mib"] = _rounded(numpy.median(series, axis=0) / 1024, 2) if series else None
    return found


def band(series, digits=3):
    """The median, p10 and p90 per program of series (a run a row)."""
    found = numpy.percentile(numpy.array(series, dtype=float), [50, 10, 90], axis=0)
    return {name: _rounded(values, digits) for name, values in zip(("median", "p10", "p90"), found)}


def counted_by(runs):
    """(how runs were counted, as the page says it ("by callgrind"; None for
    runs that were timed), whether valgrind ran them: their times and memory
    are then valgrind's, not native)."""
    counters = clocks.counters(runs)
    return (" and ".join(clocks.COUNTER_NAMES.get(name, printable(name)) for name in counters) or None,
            "callgrind" in counters)


def _ratio(values, base):
    return [None if b is None or v is None or b <= 0 else round(v / b, 4) for v, b in zip(values, base)]


def together(document, with_host=False):
    """Per shader pair, every configuration that recorded a timeline on one
    chart of time per program (and of commit after each program, in MiB),
    each with its p10 to p90 band, and beneath it each one's median against
    the baseline's, program by program: where a change begins shows there."""
    baseline = verdicts.settings(document)[0]
    groups = {}
    for result in document["results"]:
        timed = [run for run in result["runs"] if run.get("program_ms")]
        if timed and not result["failure"]:
            groups.setdefault(verdicts.shaders_key(result), []).append((result, timed))
    found = []
    for members in groups.values():
        base = next((m for m in members if m[0]["configuration"] == baseline), None)
        if base is None or len(members) < 2:
            continue
        members = [base] + [m for m in members if m is not base]
        entry = {"title": printable(base[0]["shaders"]["label"]) + (
                     " on " + printable(document["host"]["name"]) if with_host else ""),
                 "baseline": printable(baseline), "time": [], "memory": [],
                 "valgrind": counted_by([run for _, timed in members for run in timed])[1]}
        for measure, figure, digits in (("time", lambda run: run["program_ms"], 3),
                                        ("memory", lambda run: [kib / 1024 for kib in run["commit_kib"]], 2)):
            for result, timed in members:
                series = [figure(run) for run in timed if measure == "time" or run.get("commit_kib")]
                if series:
                    entry[measure].append(dict(band(series, digits), name=printable(result["configuration"])))
            if len(entry[measure]) < 2 or entry[measure][0]["name"] != entry["baseline"]:
                entry[measure] = []
            for line in entry[measure][1:]:
                line["ratio"] = _ratio(line["median"], entry[measure][0]["median"])
        found.append(entry)
    return found


def replay(record):
    if not record:
        return None
    if not calls.replayed(record):
        return {"failure": record["failure"]}
    return {"series": {name: _rounded(record[key]) for key, name in calls.CALLS if None not in record[key]}}


def section(result, host):
    """What the page shows of one configuration and pair."""
    rounds = [{"run": run.get("run", i + 1), "ms": run["ms"], "mib": run["commit_mib"],
               "instructions": run.get("instructions"), "failed": None} for i, run in enumerate(result["runs"])]
    rounds += [{"run": f["run"], "ms": None, "mib": None, "instructions": None, "failed": printable(f["reason"])}
               for f in result["failed_runs"]]
    counter, valgrind = counted_by(result["runs"] + result["failed_runs"])
    return {"title": "%s %s" % (printable(result["configuration"]), printable(result["shaders"]["label"])),
            "counter": counter, "valgrind": valgrind,
            "host": host and printable(host), "failure": result["failure"] and printable(result["failure"]),
            "rounds": sorted(rounds, key=lambda r: r["run"]), "timeline": timeline(result),
            "calls": replay(result.get("calls"))}


def verdict_rows(records, host=None):
    """A row per verdict for the chart and its words: the terminal's line."""
    rows = []
    for record in records:
        for measure in ("time", "memory"):
            v = record[measure]
            rows.append({"label": "%s %s %s%s" % (printable(record["configuration"]), printable(record["shaders"]),
                                                  clocks.measure_name(record, measure),
                                                  " on %s" % printable(host) if host else ""),
                         "against": printable(record["against"]),
                         "text": stats.describe(v) + (", gate: %s" % v["gate"] if record.get("gate") else ""),
                         "verdict": v["verdict"], "change": v["change_pct"],
                         "low": (v["interval_pct"] or [None, None])[0], "high": (v["interval_pct"] or [None, None])[1]})
    return rows


def failures(documents):
    found = []
    for document in documents:
        for result in document["results"]:
            for failed in result["failed_runs"]:
                found.append({"name": "%s %s" % (printable(result["configuration"]),
                                                 printable(result["shaders"]["label"])),
                              "host": printable(document["host"]["name"]), "run": failed["run"],
                              "ending": failed.get("ending", "-"), "programs": failed["programs"],
                              "reason": printable(failed["reason"]),
                              "stderr": [printable(line) for line in failed.get("stderr", [])]})
    return found


def provenance(document, source):
    plan = document.get("plan")
    configs = {}
    for result in document["results"]:
        config = configs.setdefault(result["configuration"], {
            "name": printable(result["configuration"]), "renderer": printable(result["renderer"] or "-"),
            "gl_version": printable(result["gl_version"] or "-"),
            "environment": " ".join(printable("%s=%s" % kv) for kv in result["environment"].items()),
            "libraries": []})
        # What its runs loaded: the same few files in every run, unless the build changed under them.
        for run in result["runs"] + result["failed_runs"]:
            for library in run.get("libraries") or ():
                shown = "%s %s" % (printable(library["path"]), library["sha256"][:12])
                if shown not in config["libraries"]:
                    config["libraries"].append(shown)
    pairs = {}
    for result in document["results"]:
        pairs.setdefault(result["shaders"]["directory"], {
            "label": printable(result["shaders"]["label"]), "directory": printable(result["shaders"]["directory"]),
            "files": [{"name": name, "size": (info or {}).get("size"), "sha256": (info or {}).get("sha256")}
                      for name, info in result["shaders"]["files"].items()]})
    return {"source": printable(source), "host": {k: printable(v) for k, v in document["host"].items()},
            "binary": {k: printable(v) for k, v in document["binary"].items()},
            "created": document.get("created"), "resumed": document.get("resumed", []),
            "complete": document["complete"], "display": document.get("display"),
            "configurations": list(configs.values()), "pairs": list(pairs.values()),
            "plan": None if plan is None else {k: printable(json.dumps(v)) for k, v in plan.items()
                                               if k not in ("configurations", "shaders", "binary")},
            "command": plan and printable(command_line(plan)), "stopped": document.get("stopped")}


def page_data(documents, sources, threshold=None, diff=None, with_host=False, records=None, gate_lines=(),
              corpora=None):
    """Everything the page shows, as plain data. diff: (old, new, records) for
    --diff; with_host: a host column, as the terminal's table has it; records:
    each document's verdicts as the terminal showed them (default: made as
    its plan says); gate_lines: the gate's, as the terminal printed them;
    corpora: each document's corpus verdict, likewise."""
    if records is None:
        records = [verdicts.within(document, threshold) for document in documents]
    if corpora is None:
        corpora = [corpus.judge(document, threshold) for document in documents]
    rows = tables.table_rows(documents, with_host, records)
    columns = tables.shown_columns(rows, wide=True)
    # A corpus is judged as a whole, as the terminal judges it: a verdict a pair, each with its own 5 % of error,
    # is what its summary replaces (each pair's change is on its chart, and in --pairs-csv).
    verdict_lines = [row for document, found, judged in zip(documents, records, corpora) if not judged
                     for row in verdict_rows(found, document["host"]["name"] if with_host else None)]
    if diff:
        verdict_lines = verdict_rows(diff[2]) + verdict_lines
    judged = (diff[2] if diff else []) or [r for found in records for r in found]  # a diff judges as it was asked
    sections = [section(result, document["host"]["name"] if with_host else None)
                for document in documents for result in document["results"]]
    return {"threshold": verdicts.settings(documents[0], threshold)[1], "gate": list(gate_lines),
            "verdicts": verdict_lines, "diff": diff and {"old": printable(diff[0]), "new": printable(diff[1])},
            "corpus": [corpus_summary.page_entry(judged) for judged in corpora if judged],
            "heading": [c[0] for c in columns], "fold_rows": FOLD_ROWS, "numeric": [c[2] is not None for c in columns],
            "rows": tables.cells(rows, columns),
            "sections": sections, "valgrind": any(s["valgrind"] for s in sections),
            "together": [entry for document in documents for entry in together(document, with_host)],
            "clock": clocks.clock_name(judged), "counted": bool(judged) and judged[0].get("clock") == "instructions",
            "failures": failures(documents),
            "provenance": [provenance(document, source) for document, source in zip(documents, sources)]}


def render(template, script, data, title, drawn=None):
    """A self-contained page: template (of TEMPLATES) with the shared style
    inline and, for a script (None: a page without one), the chart library,
    script and data as JSON for the script: its keys drawn (None: all).
    What only the template shows is not inlined twice."""
    import jinja2  # only where a page is made
    inline = {}
    scripts = (("chart_js", CHART_JS), ("page_js", os.path.join(TEMPLATES, script))) if script else ()
    for name, path in (*scripts, ("report_css", os.path.join(TEMPLATES, "report.css"))):
        with open(path) as f:
            inline[name] = f.read()
    environment = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True)
    # Inside a script element "</script" ends it and "<!--" with "<script" swallows the rest of the page: no
    # <, > or & reaches the HTML parser (JSON reads \u003c as <). Non-ASCII is escaped too (ensure_ascii).
    inlined = data if drawn is None else {key: data[key] for key in drawn}
    data_json = json.dumps(inlined, allow_nan=False, separators=(",", ":")).translate(INLINE_ESCAPES)
    return environment.get_template(template).render(
        title=title, data=data, data_json=data_json, **inline,
        made=datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"))


def html(data, title):
    return render("report.html", "report.js", data, title, DRAWN)


def write(path, documents, sources, title, threshold=None, diff=None, with_host=False, records=None, gate_lines=(),
          corpora=None):
    text = html(page_data(documents, sources, threshold, diff, with_host, records, gate_lines, corpora), title)
    outputs.write(path, lambda f: f.write(text))


def command_line(plan):
    """A command line that repeats the comparison of a plan."""
    argv = ["tools/compare", "-n", "auto" if plan.get("auto") else str(plan["runs"])]
    argv += ["--max-runs", str(plan["runs"])] if plan.get("auto") else []
    argv += ["--cache", plan["cache"]] + ([] if plan["timeline"] else ["--no-timeline"])
    argv += (["--calls"] if plan["calls"] else []) + ["--binary", plan["binary"]["path"]]
    argv += ["--against", plan["against"]] if plan.get("against") else []
    argv += ["--threshold", "%g" % plan["threshold"]] if "threshold" in plan else []
    argv += ["--fail-on-regression"] if plan.get("gate") else []
    argv += ["--clock", plan["clock"]] if plan.get("clock", "wall") != "wall" else []
    argv += ["--counter", plan["counter"]] if plan.get("counter") else []
    corpus = plan.get("corpus")
    if corpus:
        argv += ["--corpus", corpus["directory"], "--seed", str(corpus["seed"])]
        argv += ["--sample", str(corpus["sample"])] if corpus["sample"] is not None else []
        argv += ["--filter", corpus["filter"]] if corpus["filter"] is not None else []
    for pair in [] if corpus else plan["shaders"]:
        argv += ["--shaders", pair["directory"]]
    for config in plan["configurations"]:
        if config["name"] in BUILT_IN and BUILT_IN[config["name"]][0] == config["environment"]:
            argv.append(config["name"])
            continue
        plain = {k: v for k, v in config["environment"].items() if "," not in v}
        argv.append("%s:%s" % (config["name"], ",".join("%s=%s" % kv for kv in plain.items())) if plain else "")
        argv += ["--env=%s:%s=%s" % (config["name"], k, v) for k, v in config["environment"].items() if k not in plain]
    return " ".join(shlex.quote(a) for a in argv if a)
