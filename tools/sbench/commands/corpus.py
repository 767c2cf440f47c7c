"""Makes a corpus of shader pairs from .shader_test files: a pair per file
that has a vertex and a fragment shader (their bytes as they stand), or one
of them (a fragment shader alone, or with [vertex shader passthrough], gets
a pass-through vertex shader of its GLSL version; a vertex shader alone, a
fragment shader that writes one colour). Files the program cannot run are
skipped and counted by reason: other stages, several compilation units for
one stage, assembly programs, SPIR-V, a missing or empty section, and a pair
the same as one before it. Each pair's source file, sections and [require]
lines are in the corpus's manifest.json. Run it with run --corpus DIR.

The shaders are the files' bytes as they stand, unless --version-from-require:
then a shader with no #version line, in a file whose [require] asks for
GLSL >= X.YY above 1.10, gets "#version XYY" as its first line (as the
runner the files are written for supplies it; without it such a pair fails
to link), and each pair in the manifest says which stages got one
("version_added"). A file that asks for GLSL ES instead is skipped then."""

import sys

from .common import refuse
from ..system import interrupts
from ..system.text import printable

NAME = "corpus"
USAGE = "corpus -o DIR [--version-from-require] SOURCE..."
HELP = "make a corpus of shader pairs from .shader_test files; runs nothing"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    parser.add_argument("-o", "--output", required=True, metavar="DIR",
                        help="the corpus to make: a new directory")
    parser.add_argument("--version-from-require", action="store_true",
                        help="a #version line, first, in each shader that has none, from the file's [require] "
                             "GLSL >= X.YY (above 1.10)")
    parser.add_argument("sources", nargs="+", metavar="SOURCE",
                        help="a .shader_test file, or a directory searched for them (links in it not followed)")
    return parser


def summary(manifest, output):
    written = [pair["written"] for pair in manifest["pairs"]]
    added = [pair["version_added"] for pair in manifest["pairs"] if "version_added" in pair]
    lines = ["%s: %d pairs (%d with both shaders from the file, %d with a pass-through vertex shader written, "
             "%d with a fragment shader written%s), %d files skipped"
             % (output, len(written), written.count(None), written.count("vertex"), written.count("fragment"),
                "; %d with a #version line added from [require]" % sum(map(bool, added)) if added else "",
                len(manifest["skipped"]["files"]))]
    lines += ["  %6d  %s" % (count, reason) for reason, count in
              sorted(manifest["skipped"]["counts"].items(), key=lambda item: (-item[1], item[0]))]
    return "".join(printable(line) + "\n" for line in lines)


def run(args, here):
    from ..corpus import importer
    try:
        with interrupts.raising():
            manifest = importer.import_files(args.output, args.sources, args.version_from_require)
    except importer.CorpusError as error:
        refuse(error)
        return 2
    except interrupts.Interrupted as interrupt:
        refuse("interrupted (%s): no corpus made" % interrupt)
        return interrupt.status
    sys.stdout.write(summary(manifest, args.output))
    return 0
