"""Makes a corpus of shader pairs from .shader_test files: a pair per file
that has a vertex and a fragment shader (their bytes as they stand), or one
of them (a fragment shader alone, or with [vertex shader passthrough], gets
a pass-through vertex shader of its GLSL version; a vertex shader alone, a
fragment shader that writes one colour). Files the program cannot run are
skipped and counted by reason: other stages, several compilation units for
one stage, assembly programs, SPIR-V, a missing or empty section, and a pair
the same as one before it. Each pair's source file, sections and [require]
lines are in the corpus's manifest.json. Run it with run --corpus DIR."""

import sys

from .common import refuse
from ..system import interrupts
from ..system.text import printable

NAME = "corpus"
USAGE = "corpus -o DIR SOURCE..."
HELP = "make a corpus of shader pairs from .shader_test files; runs nothing"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    parser.add_argument("-o", "--output", required=True, metavar="DIR",
                        help="the corpus to make: a new directory")
    parser.add_argument("sources", nargs="+", metavar="SOURCE",
                        help="a .shader_test file, or a directory searched for them (links in it not followed)")
    return parser


def summary(manifest, output):
    written = [pair["written"] for pair in manifest["pairs"]]
    lines = ["%s: %d pairs (%d with both shaders from the file, %d with a pass-through vertex shader written, "
             "%d with a fragment shader written), %d files skipped"
             % (output, len(written), written.count(None), written.count("vertex"), written.count("fragment"),
                len(manifest["skipped"]["files"]))]
    lines += ["  %6d  %s" % (count, reason) for reason, count in
              sorted(manifest["skipped"]["counts"].items(), key=lambda item: (-item[1], item[0]))]
    return "".join(printable(line) + "\n" for line in lines)


def run(args, here):
    from ..corpus import importer
    try:
        with interrupts.raising():
            manifest = importer.import_files(args.output, args.sources)
    except importer.CorpusError as error:
        refuse(error)
        return 2
    except interrupts.Interrupted as interrupt:
        refuse("interrupted (%s): no corpus made" % interrupt)
        return interrupt.status
    sys.stdout.write(summary(manifest, args.output))
    return 0
