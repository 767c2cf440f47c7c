"""What the benchmark prints, and the one parser of it.

The literals below are the program's own lines (src/bench/output.h holds the
same in C++); everything that reads a run's output goes through parse()."""

import re

PROGRAMS = 1000
PROGRESS = "%04d/1000"
LINK_FAILED = "glLinkProgram() failed"
TIME = "Compiled all shaders in %dms"
COMMIT = "Committed mem: %dMB"
COMMIT_UNAVAILABLE = "Committed mem: unavailable"
LOAD_FAILED = "Unable to load file"
TOO_LARGE = "Shader source too large"
REPORT_PREFIX = COMMIT_UNAVAILABLE.split(":")[0].encode() + b":"
# The files it reads its pair from, in shaders/ (src/bench/source_file_posix.cpp): vertex, fragment.
PAIR = ("largeShaderExample_vs_source.txt", "largeShaderExample_ps_source.txt")


def _pattern(literal, number=r"(-?\d+)"):
    return re.compile(re.escape(literal).replace("%04d", r"(\d{4})").replace("%d", number))


_PROGRESS = _pattern(PROGRESS)
_TIME = _pattern(TIME)
_COMMIT = re.compile(_pattern(COMMIT).pattern + "|" + re.escape(COMMIT_UNAVAILABLE))


def progress_index(line):
    """The index a progress line (bytes) reports, or None for any other line."""
    match = _PROGRESS.fullmatch(line.rstrip(b"\n").decode(errors="replace"))
    return int(match.group(1)) if match else None


def progress_line(index):
    return (PROGRESS % index).encode() + b"\n"


def parse(stdout):
    """Reads one run's standard output (bytes).

    Returns a dict: progress (the indices of the progress lines, in order),
    failed (the indices whose link failed), ms and commit_mib (None when absent
    or unavailable), other (lines that are none of the program's, in place), and
    complete: True when the output is exactly 1000 iterations in order, each
    with at most one failure line before its progress line, then the two report
    lines, every line ended by a newline.
    """
    lines = stdout.decode(errors="replace").split("\n")
    in_order = lines.pop() == ""  # the last line ends with a newline
    result = {"progress": [], "failed": [], "ms": None, "commit_mib": None, "other": []}
    failure_pending = False
    stage = 0  # 0: iterations, 1: after the time line, 2: after the commit line
    for line in lines:
        progress = _PROGRESS.fullmatch(line)
        time = _TIME.fullmatch(line)
        commit = _COMMIT.fullmatch(line)
        if stage == 0 and progress:
            index = int(progress.group(1))
            if failure_pending:
                result["failed"].append(index)
            result["progress"].append(index)
            failure_pending = False
        elif stage == 0 and line == LINK_FAILED and not failure_pending:
            failure_pending = True
        elif stage == 0 and time and not failure_pending:
            result["ms"] = int(time.group(1))
            stage = 1
        elif stage == 1 and commit:
            result["commit_mib"] = None if commit.group(1) is None else int(commit.group(1))
            stage = 2
        else:
            result["other"].append(line)
            in_order = False
    result["complete"] = in_order and stage == 2 and result["progress"] == list(range(PROGRAMS))
    return result
