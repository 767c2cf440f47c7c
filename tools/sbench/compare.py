"""Compare OpenGL drivers with shaderbench: repeated runs, per-program costs,
results that carry their provenance, and A/B verdicts.

Without a subcommand the arguments are run's (compare -n 3 llvmpipe), and the
first spellings still work, each as the subcommand it names, its options
those of the subcommand:
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
       verdict passed); bisect: the change was found
  1    a run or a configuration failed; or, with --fail-on-regression,
       something is shown slower or to take more memory by more than the
       threshold, or has no runs to judge; bisect: a run, a build of GOOD
       or BAD, or a check failed; change: its builds or runs failed;
       history: no series recorded (or none that matches); changes
       --fail-on-new: a new regression was stored
  2    a bad argument, input file or store, refused before anything runs
  3    with --fail-on-regression: no run failed and nothing is shown to have
       regressed, but a gated verdict is not settled (a line says what would
       settle it); never 0 on not knowing; bisect: GOOD and BAD could not
       be told apart within --max-runs; change: its comparison could not
       tell within its runs
  4    bisect: nothing to bisect (BAD is not worse than GOOD by more than
       the threshold, or they are the same commit)
  130, 143, 129  interrupted by SIGINT, SIGTERM or SIGHUP
(bisect --git-bisect-run answers as git bisect run asks: see bisect -h)
"""

import argparse
import contextlib
import importlib
import sys

from .system import files as outputs
from .commands import common

# The subcommands, in the order of a user's work; `compare -h` lists them so.
# A new one is a module of sbench.commands with NAME, USAGE, HELP,
# add_parser(subparsers) and run(args, here) (and check(parser, args) when
# its options have rules that argparse cannot say), named here.
COMMAND_NAMES = ["run", "corpus", "report", "diff", "calibrate", "where", "bisect", "record", "history", "changes",
                 "change"]


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


# The first spellings of the modes that run nothing: each is its subcommand under another name, its files
# given where they stood, so that its own parser reads them and its own rules hold.
ALIASES = {"--report": "report", "--diff": "diff", "--calibrate": "calibrate"}


def aliased(argv):
    """(the subcommand's name, its arguments) of a command line: a first word
    that names one is it; else an alias (anywhere before --) is its
    subcommand; else it is run's."""
    if argv and argv[0] in COMMAND_NAMES:
        return argv[0], argv[1:]
    for i, word in enumerate(argv):
        if word == "--":
            break
        flag, equals, value = word.partition("=")
        if flag in ALIASES:
            return ALIASES[flag], argv[:i] + [value] * bool(equals) + argv[i + 1:]
    return "run", argv


def parse_arguments(argv):
    """(the subcommand's module, its arguments), parsed and checked by its own
    parser, so that its errors show its own usage."""
    name, rest = aliased(argv)
    module, (chosen,) = command(name), command_parser([name])[1]
    args = chosen.parse_args(rest)
    if hasattr(module, "check"):
        module.check(chosen, args)
    return module, args


def main(argv, here):
    if argv and argv[0] in ("-h", "--help"):
        command_parser()[0].parse_args(argv)  # the help, then exits
    module, args = parse_arguments(argv)
    # An output on standard output ("-", /dev/stdout) has it to itself: the table goes to standard error.
    wanted = [path for _, path in common.wanted_outputs(args)]
    with contextlib.redirect_stdout(sys.stderr) if any(map(outputs.standard_output, wanted)) \
            else contextlib.nullcontext():
        return module.run(args, here)
