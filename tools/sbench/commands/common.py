"""What several subcommands share: their option groups, so that an option
means one thing wherever it is taken, and the refusals, loading, outputs,
table and gate that they all end with."""

import argparse
import contextlib
import math
import os
import re
import sys

from ..presentation import corpus_summary, exporters, tables
from ..results import document as results
from ..running import counting, harness, plan as plans
from ..analysis import clocks, corpus, gate as gating, verdicts
from ..history import store as stores
from ..system import interrupts, files as outputs
from ..system.text import printable

# Every file a subcommand may write but the results file's own saving: (attribute, option),
# in the order -h lists them.
JSON = ("json", "--json", "FILE", "write every run and its provenance to FILE, after each run")
HELP_ORDER = ("json", "csv", "pairs_csv", "plot", "timeline_png", "trace_events", "calls_chart", "html")
OUTPUTS = tuple((key, option) for order in HELP_ORDER
                for key, option, *_ in (JSON,) + exporters.EXPORTERS if key == order)


class Refused(Exception):
    """A bad argument or input, refused before anything runs (status 2)."""


def number_in(low, high, kind=float, low_open=False):
    """An argparse type: a finite number of kind from low to high."""
    def convert(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a number" % text)
        if not math.isfinite(value) or value < low or value > high or (low_open and value == low):
            raise argparse.ArgumentTypeError("%s is not %s %g to %g" % (
                text, "above" if low_open else "from", low, high))
        return value
    return convert


def display_name(text):
    if text != "private" and not re.fullmatch(r"[A-Za-z0-9.\-_/]*:\d+(\.\d+)?", text):
        raise argparse.ArgumentTypeError("%r is neither private nor an X display such as :1" % text)
    return text


def add_shaders(parser):
    parser.add_argument("--shaders", action="append", metavar="DIR",
                        help="a directory holding a shader pair, or its shaders/ (the program's own layout); "
                             "may be repeated (default: the samples)")


def add_display(parser):
    parser.add_argument("--display", type=display_name, metavar="private|:N",
                        help="where the runs' windows open: a private X server per run, or this display "
                             "(default: DISPLAY when set, else private)")


def add_stall(parser):
    parser.add_argument("--stall-timeout", type=number_in(0, harness.MAX_STALL_SECONDS, low_open=True),
                        default=harness.DEFAULT_STALL_SECONDS, metavar="SECONDS",
                        help="stop a run that prints nothing for this long (default 300)")


def add_outputs(parser, keys):
    """The outputs among OUTPUTS whose attribute is in keys."""
    described = {key: (metavar, text) for key, _, metavar, text, *_ in (JSON,) + exporters.EXPORTERS}
    for key, option in OUTPUTS:
        if key in keys:
            metavar, text = described[key]
            parser.add_argument(option, dest=key, metavar=metavar, help=text)


def add_wide(parser):
    parser.add_argument("--wide", action="store_true",
                        help="show every column of the table (default: what fits in 100 columns)")


def add_binary(parser):
    parser.add_argument("--binary", help="the shaderbench executable")


def add_threshold(parser):
    parser.add_argument("--threshold", type=number_in(0, 100), metavar="PCT",
                        help="a change within this many percent is the same; the gate's margin (default %g)"
                             % verdicts.DEFAULT_THRESHOLD)


def add_allow_different(parser):
    parser.add_argument("--allow-different", action="append", choices=verdicts.DIFFERENCES, default=[],
                        metavar="pair|binary",
                        help="give verdicts all the same between runs of different shader files (pair) or of "
                             "different shaderbench binaries (binary), each difference said; may be repeated")


def allowed_differences(old, new, allowed, names):
    """The lines of what differs between the runs of old and new
    (verdicts.differences), when the user allowed each; otherwise raises
    Refused naming the rest. names: (old's, new's), as the user knows them."""
    found = verdicts.differences(old, new)
    refused = [text for kind, text in found if kind not in allowed]
    if refused:
        raise Refused("%s against %s: %s: give %s to compare them all the same" % (
            names[0], names[1], "; ".join(refused), " ".join(
                "--allow-different " + kind for kind in verdicts.DIFFERENCES
                if kind not in allowed and kind in {k for k, _ in found})))
    return [text for _, text in found]


def add_clock(parser, default="the plan's, else wall"):
    parser.add_argument("--clock", choices=clocks.CLOCKS, metavar="|".join(clocks.CLOCKS),
                        help="what the time verdicts%s judge: the program's own total (wall), the CPU "
                             "time its process spent over the same programs, every thread counted (cpu), "
                             "or the instructions counted from the loop's entry to its return, which a busy "
                             "machine does not stretch (instructions: memory is then not judged) (default: %s)"
                        % (", the gate and -n auto" if "plan" in default else "", default))


def add_counter(parser, default="the plan's, else auto"):
    parser.add_argument("--counter", choices=counting.COUNTERS, metavar="|".join(counting.COUNTERS),
                        help="what counts --clock instructions: the kernel's hardware counter (every thread), "
                             "valgrind's callgrind (the loop's thread; runs take about 30 times as long), or "
                             "auto: the hardware counter where the kernel has one (default: %s)" % default)


def check_clock(given, named):
    """Refuses the CPU clock (given, else each document's plan's) for
    results whose runs lack their CPU time to the microsecond (cpu_us), and
    the instructions for runs that were not counted. named: [(path, document)]."""
    for path, document in named:
        clock = given or (document.get("plan") or {}).get("clock")
        key = {"cpu": "cpu_us", "instructions": "instructions"}.get(clock)
        if key and any(run.get(key) is None for r in document["results"] for run in r["runs"]):
            raise Refused("%s has runs recorded without %s: judge them with --clock wall" % (
                path, "their CPU time to the microsecond" if clock == "cpu" else "a count of their instructions"))


def add_gate(parser):
    parser.add_argument("--fail-on-regression", action="store_true",
                        help="a gate: exit 0 only when every verdict shows no slowdown and no growth of memory "
                             "beyond the threshold, 1 when one is shown beyond it (or a run failed), 3 when "
                             "the runs cannot tell")


def wanted_outputs(args):
    """(option, path) of every output the command line asks for."""
    return [(option, getattr(args, key)) for key, option in OUTPUTS if getattr(args, key, None)]


def check_environment(configs, cache):
    """Refuses a configuration that sets a variable the tool sets itself (its
    display, its cache), or one named twice."""
    try:
        plans.check_configs(configs, cache)
    except ValueError as error:
        raise Refused(str(error))


def variables(name, assignments):
    """{VAR: VALUE} of VAR=VALUE texts, each taken whole; one given twice is refused."""
    try:
        return plans.assignments(name, assignments)
    except ValueError as error:
        raise Refused(str(error))


def add_store_options(parser, commits=True):
    """--store, and for what writes: --machine, --repo and --commit."""
    parser.add_argument("--store", metavar="URL",
                        help="the history: a path, sqlite:///PATH, postgresql://... or libpq's \"dbname=... host=...\" "
                             "(default: $SHADERBENCH_STORE, else $XDG_DATA_HOME/shaderbench/history.sqlite)")
    if commits:
        parser.add_argument("--machine", metavar="NAME",
                            help="a tag that tells this machine from others with the same CPU, cores and memory "
                                 "(a CI runner's name)")
        parser.add_argument("--repo", metavar="DIR", help="the driver's git repository (default: the current "
                                                          "directory)")
        parser.add_argument("--commit", action="append", default=[], metavar="CONFIG=REV",
                            help="the commit of the driver that CONFIG ran (new=HEAD); may be repeated")


def outputs_refused(args):
    """Why an output of a command that reads the store (and nothing else) cannot
    be written, for with_store; None when every one can."""
    try:
        check_outputs(args, [], rewritten=False, store=True)
    except Refused as error:
        return str(error)
    return None


def with_store(url, work, refused=None, write=False):
    """(None, work(store)), the store at url opened for it (never made: a
    read writes nothing, a write migrates an older schema) and closed after;
    (2, None) with one line when refused (why the command cannot go on, said
    first) or when the store cannot be used; (the status, None) on an
    interrupt. For inside interrupts.raising()."""
    try:
        if refused:
            raise stores.StoreError(refused)
        store = stores.connect(url, write=write, create=False)
        try:
            return None, work(store)
        finally:
            stores.close(store)
    except stores.StoreError as error:
        print("compare: %s" % printable(error), file=sys.stderr)
        return 2, None
    except interrupts.Interrupted as interrupt:
        return interrupt.status, None


def check_outputs(args, inputs, rewritten=True, trees=(), store=False):
    """The one check of every file a command writes: refuses an output that
    cannot be written, or that is an input or another output, or lies in a
    directory that is only read (trees: [(option, directory)]), or is a
    file git tracks in the tool's own checkout. inputs: [(option, path)] of
    every file the command reads; store: it opens the store (args.store),
    whose SQLite file and the files beside it are inputs too. rewritten:
    --json (or --resume) is a results file, rewritten after every run."""
    wanted = wanted_outputs(args)
    if getattr(args, "resume", None):
        wanted = [(option, path) for option, path in wanted if option != "--json"] + [("--resume", args.resume)]
    if store:
        try:
            inputs = list(inputs) + [("--store", path) for path in stores.files(getattr(args, "store", None))]
        except stores.StoreError as error:
            raise Refused(str(error))
    for option, path in wanted:
        reason = outputs.unwritable(path)
        if not reason and option in ("--json", "--resume") and rewritten:
            with contextlib.suppress(OSError):
                if outputs.target(path)[1]:
                    reason = "a results file is rewritten after every run: give it a regular file"
        if reason:
            raise Refused("%s %s: %s" % (option, path, reason))
    reason = (outputs.clash(wanted, inputs) or outputs.inside(wanted, trees)
              or outputs.tracked(wanted, os.path.abspath(__file__)))
    if reason:
        raise Refused(reason)


def refuse(error):
    """A refusal in one line on standard error, its text escaped: it may
    quote a results file, or a lock file another user wrote."""
    print("compare: %s" % printable(error), file=sys.stderr)


def load(path):
    try:
        return results.load(path)
    except results.ResultsError as error:
        raise Refused(str(error))


def threshold(args, document=None):
    given = getattr(args, "threshold", None)
    planned = ((document or {}).get("plan") or {}).get("threshold", verdicts.DEFAULT_THRESHOLD)
    return given if given is not None else planned


def write_outputs(args, documents, rows, title, say=lambda text: None, sources=None, with_host=False,
                  records=None, gate_lines=(), corpora=None):
    """Every file asked for but the results file; say(text) tells which is next.
    records: each document's verdicts as the terminal showed them; gate_lines:
    the gate's, as it printed them; corpora: each one's corpus verdict (None
    for a comparison of no corpus)."""
    exporters.export(args, {"documents": documents, "rows": rows, "title": title,
                            "sources": sources or ["this comparison"], "threshold": getattr(args, "threshold", None),
                            "with_host": with_host, "records": records, "gate_lines": gate_lines,
                            "corpora": corpora or [None] * len(documents)}, say)


def corpora(documents, threshold=None, gate=None, clock=None):
    """Each document's corpus verdict, as show takes them (None for a comparison of no corpus)."""
    return [corpus.judge(document, threshold, gate, clock) for document in documents]


def show(documents, threshold=None, with_host=False, wide=False, gate=None, clock=None, judged=None):
    """The table, the failures, each comparison's verdicts (made anew from its
    runs, judged by a gate when gate, or when its plan had one, on clock, or
    its plan's) and the per-call table; returns (the rows, the verdicts of
    each document). A comparison of a corpus shows its corpus verdict
    (judged: made beforehand by corpora()) instead of its table and each
    pair's verdicts, which its page and --pairs-csv hold."""
    judged = judged or corpora(documents, threshold, gate, clock)
    records = [verdicts.within(document, threshold, gate=gate, clock=clock) for document in documents]
    rows = tables.table_rows(documents, with_host, records)
    plain = [(document, found) for document, found, verdict in zip(documents, records, judged) if not verdict]
    if rows and len(plain) < len(documents):
        rows_shown = tables.table_rows([d for d, _ in plain], with_host, [found for _, found in plain])
    else:
        rows_shown = rows
    if rows_shown:
        sys.stdout.write(tables.format_table(rows_shown, wide))
        if wide and any(row["replay_link_p50_ms"] is not None for row in rows_shown):
            sys.stdout.write(tables.REPLAY_NOTE)
    sys.stdout.write(tables.failures_text(documents))
    for document, found, verdict in zip(documents, records, judged):
        if verdict:
            sys.stdout.write("\n" + corpus_summary.summary_text(verdict))
        elif found:
            sys.stdout.write("\n" + verdicts.within_text(found, document["host"]["name"] if with_host else None))
        if document.get("stopped"):
            sys.stdout.write("%s\n" % printable(document["stopped"]))
    calls_text = tables.calls_table(documents)
    if calls_text:
        sys.stdout.write("\n" + calls_text)
    return rows, records


def failed_any(document, judged=None):
    """Whether a run or a configuration failed (in a corpus: as corpus.runs_failed says, or its verdict judged,
    made already, said)."""
    if judged:
        return judged["runs_failed"]
    if corpus.is_corpus(document):
        return corpus.runs_failed(document, corpus.by_pair(document))
    return any(r["failure"] or r["failed_runs"] or (r.get("calls") or {}).get("failure") for r in document["results"])


def gate(gated, judgements, status):
    """(exit status, [lines of each judgement]) of a gate, when gated, on
    judgements (see gating.gates), made before anything shows them: the
    terminal prints the lines, the page shows them as they are. Ungated:
    status, and no lines."""
    return gating.gates(judgements) if gated else (status, [[] for _ in judgements])


def print_gate(lines):
    if lines:
        sys.stdout.write("\n".join(lines) + "\n")


def from_saved(read, args):
    """read(args)'s status: a subcommand that reads saved results and runs
    nothing. A refusal is status 2, an interrupt its signal's status."""
    with interrupts.raising():
        try:
            return read(args)
        except Refused as error:
            refuse(error)
            return 2
        except interrupts.Interrupted as interrupt:
            return interrupt.status
