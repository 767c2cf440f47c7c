"""The instructions clock: the work of the 1000 programs, counted from the
loop's entry to its return, which a busy machine does not stretch as it
stretches time.

Two counters give it: the kernel's hardware counter of user-mode
instructions retired (every thread of the benchmark; through
shaderbench-count, a small tracer that stops the benchmark at the loop's
entry and return and switches the counter there), and valgrind's callgrind
(the loop's own thread: its toggle is per thread; about 30 times a native
run's time). `auto` takes the hardware counter where the kernel has one.
Both find the loop by its name, which the benchmark exports in its dynamic
symbol table so that stripping keeps it.
"""

import os
import shutil
import subprocess

from ..results import callgrind
from ..system import proc
from ..system.text import printable

COUNTERS = ("auto", "hardware", "callgrind")
TRACER = "shaderbench-count"
LOOP = "run_compile_link_loop*"  # C++ names carry their parameters
COUNT_FILE = "count.out"
CALLGRIND_SLOWDOWN = 30
# Tests only: the software task clock (in ns) stands in for the instructions event on a machine
# with no PMU, so that the tracer's whole path runs; the count is then no count of instructions.
EVENT_VARIABLE = "SHADERBENCH_COUNT_EVENT"
NAMES = {"hardware": "the hardware counter", "callgrind": "valgrind's callgrind"}


def event():
    return "task-clock" if os.environ.get(EVENT_VARIABLE) == "task-clock" else "instructions"


def tracer(binary):
    """The tracer: beside the benchmark (a build tree), else where the
    package puts it (<prefix>/lib/shaderbench, the tool being in
    <prefix>/share/shaderbench/tools); None where neither has it."""
    here = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(os.path.dirname(binary), TRACER),
                 os.path.join(here, "..", "..", "..", "..", "..", "lib", "shaderbench", TRACER)):
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
    return None


def why_not(counter, binary):
    """Why counter cannot count here, as a phrase; None when it can."""
    if counter == "callgrind":
        return None if shutil.which("valgrind") else "valgrind is not installed (Debian package valgrind)"
    path = tracer(binary)
    if path is None:
        return "no %s beside %s or in the package's lib/shaderbench" % (TRACER, printable(binary))
    try:
        probe = subprocess.run([path, "probe", event()], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "%s could not be run: %s" % (TRACER, error)
    said = probe.stdout.decode(errors="replace").strip().splitlines()
    return None if probe.returncode == 0 else printable((said or ["it says nothing"])[0][:300])


def choose(name, binary):
    """(counter, the line that says which counts and what it costs); raises
    ValueError with one line when name (auto, hardware, callgrind) cannot
    count here, and nothing may run."""
    tried = ["hardware", "callgrind"] if name == "auto" else [name]
    reasons = []
    for counter in tried:
        reason = why_not(counter, binary)
        if reason is None:
            return counter, chosen_line(counter)
        reasons.append("%s: %s" % (NAMES[counter], reason))
    raise ValueError("cannot count instructions here: %s" % "; ".join(reasons))


def chosen_line(counter):
    if counter == "hardware":
        return ("counting %s with the hardware counter: user mode, every thread, from the loop's entry to "
                "its return" % ("the task clock (ns) in place of instructions" if event() != "instructions"
                                else "instructions"))
    return ("counting instructions with valgrind's callgrind (the loop's own thread): each run takes about "
            "%d times a native run" % CALLGRIND_SLOWDOWN)


def wrapper(counter, binary, directory):
    """(the command prefix the benchmark runs under, the file its count goes to)."""
    out = os.path.join(directory, COUNT_FILE)
    if counter == "hardware":
        return (tracer(binary), "run", event(), out), out
    return ("valgrind", "--quiet", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=" + LOOP,
            "--callgrind-out-file=" + out), out


def benchmark_pid(counter, pid):
    """The benchmark's own process: the tracer's child (valgrind runs in
    the benchmark's process, the tracer beside it); None once it is gone."""
    return proc.first_child(pid) if counter == "hardware" else pid


def read_count(counter, path):
    """(the count, None) from the file the counter wrote, or (None, why)."""
    try:
        with open(path, "rb") as found:
            return (read_tracer if counter == "hardware" else callgrind_total)(found)
    except FileNotFoundError:
        return None, "%s wrote no count (the loop never returned)" % NAMES[counter]
    except OSError as error:
        return None, "the count could not be read: %s" % error


def read_tracer(found):
    """The tracer's line: EVENT COUNT ENABLED_NS RUNNING_NS; a count the
    kernel multiplexed (running less than enabled) is refused, since it is
    an estimate of the whole and not the whole."""
    fields = found.read(200).split()
    if len(fields) != 4 or fields[0].decode(errors="replace") != event() or not all(f.isdigit() for f in fields[1:]):
        return None, "the tracer's count is not a count: %r" % b" ".join(fields)[:80]
    value, enabled, running = map(int, fields[1:])
    if enabled != running:
        return None, "the counter ran %.1f %% of the loop (shared with other counters)" % (
            running / enabled * 100 if enabled else 0)
    return value, None


def callgrind_total(found):
    """(the loop's instructions, None) from a callgrind output file, read by
    its format (results/callgrind.py: the self costs, checked against the
    file's own totals), or (None, why)."""
    try:
        total = callgrind.functions(found)[1]
    except callgrind.Unreadable as error:
        return None, "callgrind's file: %s" % error
    if total == 0:
        return None, "callgrind counted nothing: the benchmark exports no %s (a build from before it did)" % LOOP
    return total, None
