"""Compare OpenGL drivers with shaderbench: repeated runs, per-program costs,
results that carry their provenance, and A/B verdicts.

Without a subcommand the arguments are run's (compare -n 3 llvmpipe), and the
first spellings still work as they always did:
  compare --resume FILE.json             as run --resume FILE.json
  compare --report FILE.json...          as report FILE.json...
  compare --diff OLD.json NEW.json       as diff OLD.json NEW.json
  compare --calibrate AA.json            as calibrate AA.json
A first argument that is a subcommand's name is that subcommand. A CONFIG is
never such a bare word (only the built-in names llvmpipe, softpipe and zink
are): a configuration named report is given as report:VAR=VALUE, and goes
after the subcommand or an option (compare run report:VAR=1).

Exit status:
  0    every run was clean (and, with --fail-on-regression, every gated
       verdict passed)
  1    a run or a configuration failed; or, with --fail-on-regression,
       something is shown slower or to take more memory by more than the
       threshold, or has no runs to judge
  2    a bad argument or input file, refused before anything runs
  3    with --fail-on-regression: no run failed and nothing is shown to have
       regressed, but a gated verdict is not settled (a line says what would
       settle it); never 0 on not knowing
  130, 143, 129  interrupted by SIGINT, SIGTERM or SIGHUP
"""

import argparse
import contextlib
import importlib
import sys

from .system import files as outputs
from .commands import common, run

# The subcommands, in the order of a user's work; `compare -h` lists them so.
# A new one is a module of sbench.commands with NAME, USAGE, HELP,
# add_parser(subparsers) and run(args, here) (and check(parser, args) when
# its options have rules that argparse cannot say), named here.
COMMAND_NAMES = ["run", "corpus", "report", "diff", "calibrate", "bisect", "record", "history", "changes", "change"]


def command(name):
    """The module of a subcommand. Only the one asked for is imported: the
    others (the store's, the bisect's) cost a call a tenth of a second."""
    return importlib.import_module("." + name, "sbench.commands")


def command_parser(names=COMMAND_NAMES):
    """(the parser of `compare COMMAND ...` with the subcommands named, their parsers in that order)."""
    modules = [command(name) for name in names]
    usage = "\n   or: ".join(["compare " + module.USAGE for module in modules] + ["compare COMMAND -h"])
    parser = argparse.ArgumentParser(prog="compare", usage=usage, description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    subparsers = parser.add_subparsers(metavar="COMMAND", prog="compare",
                                       title="subcommands, in the order of a user's work")
    return parser, [module.add_parser(subparsers) for module in modules]


def parse_arguments(argv):
    """The command line without a subcommand, as it was before there were
    any: run's options, and the flags that were its other modes, each with
    the rules it always had (users' scripts and README use it)."""
    parser = argparse.ArgumentParser(prog="compare", description=__doc__.splitlines()[0],
                                     epilog=run.EPILOG)
    run.add_options(parser, more=add_modes)
    args = parser.parse_args(argv)
    runs_nothing = args.report or args.diff or args.calibrate
    if runs_nothing and (args.configs or args.env or args.shaders or args.baseline or args.resume or args.calls
                         or args.display or args.runs or args.max_runs or (args.json and args.report)):
        parser.error("--report, --diff and --calibrate run nothing: no CONFIG, --env, --shaders, --baseline, "
                     "--resume, --calls, --display, -n or --max-runs (and --report no --json)")
    if sum(bool(x) for x in (args.report, args.diff, args.calibrate)) > 1:
        parser.error("--report, --diff and --calibrate do not go together")
    if args.diff:
        args.old, args.new = args.diff
    run.check(parser, args)
    return args


def add_modes(parser):
    """The other modes as they were first spelled, as flags."""
    parser.add_argument("--report", nargs="+", metavar="FILE.json", help="show saved results; run nothing")
    parser.add_argument("--diff", nargs=2, metavar=("OLD.json", "NEW.json"),
                        help="verdicts between two results files; run nothing")
    parser.add_argument("--calibrate", metavar="AA.json",
                        help="from a comparison of one driver against itself under two names, the rate of false "
                             "verdicts, the power against known slowdowns and the rounds needed; run nothing")


def main(argv, here):
    if argv and argv[0] in ["-h", "--help"] + COMMAND_NAMES:
        if argv[0] not in COMMAND_NAMES:
            command_parser()[0].parse_args(argv)  # the help, then exits
        # Parsed by the subcommand's own parser, so that its errors show its own usage.
        module, (chosen,) = command(argv[0]), command_parser([argv[0]])[1]
        args = chosen.parse_args(argv[1:])
        if hasattr(module, "check"):
            module.check(chosen, args)
    else:
        args = parse_arguments(argv)
        module = command("report" if args.report else "diff" if args.diff else "calibrate" if args.calibrate
                         else "run")
    # An output on standard output ("-", /dev/stdout) has it to itself: the table goes to standard error.
    wanted = [path for _, path in common.wanted_outputs(args)]
    with contextlib.redirect_stdout(sys.stderr) if any(map(outputs.standard_output, wanted)) \
            else contextlib.nullcontext():
        return module.run(args, here)
