"""From a comparison of one driver against itself under two names, the rate
of false verdicts, the power against known slowdowns and the rounds needed;
runs nothing."""

import sys

from . import common
from ..analysis import clocks
from ..system.text import printable

NAME = "calibrate"
USAGE = "calibrate [--threshold PCT] [--clock wall|cpu|instructions] AA.json"
HELP = "how often the verdicts err, on your own A/A runs; runs nothing"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    # Named as --calibrate's file is, so that both spellings reach calibrate() alike.
    parser.add_argument("calibrate", metavar="AA.json",
                        help="a results file of two configurations, the same driver under two names")
    common.add_threshold(parser)
    common.add_clock(parser, "wall")
    return parser


def run(args, here):
    return common.from_saved(calibrate, args)


def calibrate(args):
    from ..analysis import calibration
    document = common.load(args.calibrate)
    common.check_clock(args.clock or "wall", [(args.calibrate, document)])
    rounds = [r for r in calibration.pool(document, args.clock or "wall") if None not in r] \
        if len(document["results"]) == 2 else []
    if len(rounds) < 5:
        raise common.Refused("%s: --calibrate needs two configurations with at least 5 rounds both ran"
                             % args.calibrate)
    sys.stdout.write("%d rounds of %s against %s, %d draws of each size (seed %d), %s:\n" % (
        len(rounds), *(printable(r["configuration"]) for r in document["results"][::-1]), calibration.DRAWS,
        calibration.SEED, clocks.judged([{"clock": args.clock or "wall", "counters": clocks.counters(
            [run for result in document["results"][:2] for run in result["runs"]])}])))
    sys.stdout.write(calibration.format_table(calibration.measure(
        rounds, threshold_pct=common.threshold(args), floor=clocks.noise_floor(args.clock or "wall"))))
    return 0
