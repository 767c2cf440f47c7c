"""The table, verdicts, page and charts of saved results, from one machine
or several, as the comparison showed them; runs nothing."""

from . import common

NAME = "report"
USAGE = "report [options] FILE.json..."
HELP = "the table, verdicts, page and charts of saved results; runs nothing"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    # Named as --report's files are, so that both spellings reach report() alike.
    parser.add_argument("report", nargs="+", metavar="FILE.json", help="a results file (--json of a comparison)")
    common.add_threshold(parser)
    common.add_gate(parser)
    common.add_clock(parser, "each file's plan's, else wall")
    common.add_wide(parser)
    common.add_outputs(parser, ("csv", "pairs_csv", "plot", "timeline_png", "trace_events", "calls_chart", "html"))
    return parser


def run(args, here):
    return common.from_saved(report, args)


def report(args):
    common.check_outputs(args, [("--report", path) for path in args.report])
    documents = [common.load(path) for path in args.report]
    common.check_clock(args.clock, zip(args.report, documents))
    corpora = common.corpora(documents, args.threshold, args.fail_on_regression or None, args.clock)
    rows, records = common.show(documents, args.threshold, with_host=True, wide=args.wide,
                                gate=args.fail_on_regression or None, clock=args.clock, judged=corpora)
    # As each comparison itself would have ended, on its own runs; the status is the worst of theirs.
    status, blocks = common.gate(args.fail_on_regression, [
        judged or (found, common.threshold(args, document), False, common.failed_any(document) or not rows)
        for document, found, judged in zip(documents, records, corpora)], 0 if rows else 1)
    common.write_outputs(args, documents, rows, "shaderbench", sources=args.report, with_host=True,
                         records=records, gate_lines=sum(blocks, []), corpora=corpora)
    common.print_gate(sum(blocks, []))
    return status
