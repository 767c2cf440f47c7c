"""Verdicts between two results files, matched by configuration and shader
pair (or as the only two); runs nothing."""

import json
import sys

from . import common
from ..presentation import tables
from ..analysis import verdicts
from ..system import files as outputs

NAME = "diff"
USAGE = "diff [options] OLD.json NEW.json"
HELP = "verdicts between two results files; runs nothing"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    # Two positionals, not one of two values: argparse cannot show a pair of names for one.
    parser.add_argument("old", metavar="OLD.json", help="the results before the change")
    parser.add_argument("new", metavar="NEW.json", help="the results after it")
    common.add_threshold(parser)
    common.add_gate(parser)
    common.add_clock(parser, "wall")
    # Its files hold verdicts, not runs or a table: said here, as each means here.
    parser.add_argument("--json", metavar="FILE", help="write the verdicts to FILE as JSON")
    parser.add_argument("--csv", metavar="FILE", help="write the verdicts as CSV (to standard output: -)")
    common.add_outputs(parser, ("html",))
    common.add_allow_different(parser)
    return parser


def run(args, here):
    return common.from_saved(diff, args)


def diff(args):
    paths = (args.old, args.new)
    common.check_outputs(args, [("--diff", path) for path in paths], rewritten=False)
    old, new = (common.load(path) for path in paths)
    threshold = common.threshold(args)
    differed = common.allowed_differences(old, new, args.allow_different, paths)
    clock = args.clock or "wall"
    common.check_clock(clock, zip(paths, (old, new)))
    text, missing, records = verdicts.diff(old["results"], new["results"], threshold, args.fail_on_regression, clock)
    status, (lines,) = common.gate(args.fail_on_regression, [(records, threshold, missing, False)], 0)
    sys.stdout.write("".join(line + "\n" for line in differed) + text)
    write_verdicts(args, records, old, new, lines)
    common.print_gate(lines)
    return status


def write_verdicts(args, records, old, new, gate_lines):
    """The verdicts in --csv and --json, and their page with the gate's lines."""
    if args.html:
        from ..presentation import report_page as report
        report.write(args.html, [old, new], ["old: " + args.old, "new: " + args.new], "shaderbench: --diff",
                     common.threshold(args), diff=(args.old, args.new, records), with_host=True,
                     gate_lines=gate_lines)
    if args.csv:
        tables.write_verdicts_csv(args.csv, records)
    if args.json:
        outputs.write(args.json, lambda f: json.dump({"schema": "shaderbench-verdicts/1", "old": args.old,
                                                      "new": args.new, "verdicts": records}, f, indent=1))
