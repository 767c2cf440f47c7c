"""One run of the benchmark, and how it ended.

Every way a run can end is decided here, for ./run, tools/run-headless and
tools/compare alike. There is no limit on a run's length: silence is a hang.

  report  The program printed its report. Its window is closed as its close
          button would close it (unless the user closes it) and it must then
          exit with status 0.
  hang    Nothing on standard output or standard error for `stall` seconds,
          before the report or after the close: the benchmark and everything it
          started are stopped.     "hung after program 517: no output for 300 s"
  crash   Ended by a signal.       "crashed (SIGSEGV) after program 517"
  exit    Ended by itself without its report, or with a status other than 0.
          "exited with status 1 before its first program: Unable to load file"
  output  Reported, but its output is not the program's (a line out of place).
  window  Reported, but its window could not be found or closed: stopped.

An interrupt of the tool (interrupts.Interrupted) stops the run in progress
the same way as a hang, and goes on up to the caller.
"""

import signal
import time

from . import desktop, harness
from ..results import program_output as output
from ..system import scratch


def seconds(value):
    return "%g s" % value


def _where(last, reported):
    if reported:
        return "after its report"
    return "after program %d" % last if last is not None else "before its first program"


def _ending(reported, hung, close_error, status, parsed, err, last, stall):
    """(ending, reason): reason is None for a clean run."""
    where = _where(last, reported)
    if close_error:
        return "window", close_error
    if hung:
        if reported:
            return "hang", "hung after its report: still running %s after its window was closed" % seconds(stall)
        return "hang", "hung %s: no output for %s" % (where, seconds(stall))
    if status is not None and status < 0:
        # Nothing kills itself with SIGKILL: it came from outside, most likely from the kernel when memory ran
        # out (the benchmark is the first it kills).
        killed = ": killed by another process, or by the kernel when memory ran out" if -status == signal.SIGKILL \
            else ""
        return "crash", "crashed (%s) %s%s" % (signal.Signals(-status).name, where, killed)
    if status != 0 or not reported:
        # The program's own message (a missing file), else GLFW's or the driver's.
        messages = parsed["other"] + [line for line in err.decode(errors="replace").splitlines() if line.strip()]
        reason = "exited with status %s %s" % (status, where)
        return "exit", reason + (": " + messages[0].strip() if messages else "")
    if not parsed["complete"]:
        unexpected = (parsed["other"] or ["the progress lines are not 0000 to 0999"])[0]
        return "output", "unexpected output: %r" % unexpected[:200]
    return "report", None


def run(binary, cwd, display, env, stall=harness.DEFAULT_STALL_SECONDS, on_line=None, wrapper=(), close_window=True):
    """Runs the benchmark once, to its end.

    on_line(line, process) is called with each line of standard output as it
    arrives. With close_window False the window is left to the user once the
    report is out, with no limit on how long they keep it.

    Returns a dict: ending and reason (as above; reason None for a clean run),
    status (the exit status, negative for a signal), stderr (bytes), parsed
    (output.parse of stdout), arrivals (time.monotonic_ns of each progress
    line), started_ns, seconds.
    """
    started = time.monotonic_ns()
    arrivals, last, lines = [], [None], []

    def watch(line):
        lines.append(line)  # kept as it comes, so that a hang still shows how far it got
        index = output.progress_index(line)
        if index is not None:
            arrivals.append(time.monotonic_ns())
            last[0] = index
        if on_line:
            on_line(line, proc)

    reported, hung, close_error = False, False, None
    try:
        with harness.benchmark(binary, cwd, env, display, wrapper=wrapper) as proc:
            reader = harness.LineReader(proc)
            try:
                reported = harness.ends_with_line(
                    reader.read_until(output.REPORT_PREFIX, on_line=watch, stall=stall), output.REPORT_PREFIX)
                if reported and close_window:
                    try:
                        window = desktop.find_window(display, proc.pid, alive=lambda: proc.poll() is None)
                        if window is not None:
                            desktop.send_close(display, window)
                    except (RuntimeError, *desktop.X_ERRORS) as error:  # no window, or the X server went away
                        close_error = "its window could not be closed: %s" % error
                if close_error is None:
                    lines.append(harness.finish(proc, reader,
                                                stall=None if reported and not close_window else stall)[1])
            except TimeoutError:
                hung = True
    except scratch.CouldNotStart as error:  # the binary or the wrapper went away, or cannot be run
        return {"ending": "exit", "reason": "could not start: %s" % error, "status": None, "stderr": b"",
                "parsed": output.parse(b""), "arrivals": [], "started_ns": started, "seconds": 0.0}
    parsed = output.parse(b"".join(lines))
    ending, reason = _ending(reported, hung, close_error, proc.returncode, parsed, reader.err, last[0], stall)
    return {"ending": ending, "reason": reason, "status": proc.returncode, "stderr": reader.err,
            "parsed": parsed, "arrivals": arrivals, "started_ns": started,
            "seconds": (time.monotonic_ns() - started) / 1e9}


def exit_status(result):
    """The status a command line that ran the benchmark ends with: the
    program's own, 128 + N for a signal as a shell reports it, 1 for a hang or
    a benchmark that could not be started."""
    status = result["status"]
    if result["ending"] in ("hang", "window") or status is None:
        return 1
    return 128 - status if status < 0 else status
