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
    common.add_wide(parser)
    common.add_outputs(parser, ("csv", "plot", "timeline_png", "trace_events", "calls_chart", "html"))
    return parser


def run(args, here):
    return common.from_saved(report, args)


def report(args):
    common.check_outputs(args, [("--report", path) for path in args.report])
    documents = [common.load(path) for path in args.report]
    rows, records = common.show(documents, args.threshold, with_host=True, wide=args.wide,
                                gate=args.fail_on_regression or None)
    common.write_outputs(args, documents, rows, "shaderbench", sources=args.report, with_host=True)
    status = 0 if rows else 1
    if args.fail_on_regression:  # as the comparison itself would have ended
        for document, found in zip(documents, records):
            status = common.judged(True, found, False, common.threshold(args, document),
                                   1 if common.failed_any(document) else status)
    return status
