"""The files a subcommand writes besides the results file: one writer per
format, each with the same interface, write(path, shown), where shown holds
what the terminal showed (the documents, the table's rows, the verdicts and
the gate's lines), so that every file says what the terminal said.

EXPORTERS is the one table of them: the attribute the option sets, the
option, its metavar and help, the word said while it is written, and the
writer. The charts' and the page's libraries (matplotlib, jinja2) are
imported by their writer only, when that file is asked for.
"""


def html(path, shown):
    from . import report_page
    report_page.write(path, shown["documents"], shown["sources"], shown["title"], shown["threshold"],
                      with_host=shown["with_host"], records=shown["records"], gate_lines=shown["gate_lines"],
                      corpora=shown["corpora"])


def csv(path, shown):
    from . import tables
    tables.write_csv(path, shown["rows"])


def pairs_csv(path, shown):
    from . import corpus_summary
    corpus_summary.write_csv(path, [judged for judged in shown["corpora"] if judged])


def trace_events(path, shown):
    from ..results import trace_events as trace
    trace.write(path, shown["documents"])


def plot(path, shown):
    from . import charts
    charts.write_totals(path, shown["rows"], shown["title"])


def timeline(path, shown):
    from . import charts
    charts.write_timeline(path, [r for d in shown["documents"] for r in d["results"]], shown["title"])


def calls_chart(path, shown):
    from . import charts
    charts.write_calls(path, [r for d in shown["documents"] for r in d["results"]], shown["title"])


# (attribute, option, metavar, help, what is said while it is written, writer, needs table rows)
EXPORTERS = (
    ("html", "--html", "FILE.html", "write one self-contained page: verdicts, table, timelines, memory, calls, "
     "failures and provenance, to open offline in a browser", "writing", html, False),
    ("csv", "--csv", "FILE", "write the table as CSV (to standard output: -)", "writing", csv, True),
    ("pairs_csv", "--pairs-csv", "FILE", "write each pair's figures of a comparison of a corpus as CSV: its "
     "change, interval, p-value and whether it was called hurt or helped (to standard output: -)", "writing",
     pairs_csv, False),
    ("trace_events", "--trace-events", "FILE.json", "write every run as a trace for Perfetto's UI or "
     "chrome://tracing", "writing", trace_events, False),
    ("plot", "--plot", "FILE.png", "write a chart of totals", "drawing", plot, True),
    ("timeline_png", "--timeline", "FILE.png", "write a chart of per-program time and memory", "drawing",
     timeline, False),
    ("calls_chart", "--calls-chart", "FILE.png", "write a chart of each call's time per program", "drawing",
     calls_chart, False),
)


def export(args, shown, say=lambda text: None):
    """Writes every file of EXPORTERS that args asks for, in the table's
    order; say(text) tells which is next. A file that needs the table's rows
    is left unwritten when there are none."""
    for key, option, _, _, doing, writer, needs_rows in EXPORTERS:
        path = getattr(args, key, None)
        if path and (shown["rows"] or not needs_rows):
            say("%s %s %s" % (doing, option, path))
            writer(path, shown)
