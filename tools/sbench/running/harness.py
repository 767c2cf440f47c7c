"""Running shaderbench as a process: in a process group of its own, its
output read line by line so that every wait is on what it prints, and the
driver's shader cache kept out of the user's own. Its display, and its
window on it, are desktop's; this module talks no X, so that what only
names a display (a plan's environment) need not load it.
"""

import collections
import contextlib
import os
import selectors
import signal
import subprocess
import time

from ..system import scratch
from ..system.interrupts import shielded
DEFAULT_STALL_SECONDS = 300.0
MAX_STALL_SECONDS = 7 * 24 * 3600  # a week: beyond it a limit means nothing, and select() cannot wait that long


# ---------------------------------------------------------------------------
# Running the benchmark
# ---------------------------------------------------------------------------

def display_environment(display):
    """The variables that reach a display (a desktop.Display): for the
    benchmark and the probes."""
    env = {"DISPLAY": display.name}
    if display.xauthority:
        env["XAUTHORITY"] = display.xauthority
    return env


def cache_environment(mode, directory=None):
    """The variables that point Mesa's and NVIDIA's on-disk shader caches where
    mode says: "isolated" (directory, private to one run), "off", or "user"
    (the environment as it is)."""
    if mode == "isolated":
        return {"MESA_SHADER_CACHE_DIR": directory, "MESA_SHADER_CACHE_DISABLE": "false",
                "__GL_SHADER_DISK_CACHE_PATH": directory, "__GL_SHADER_DISK_CACHE": "1"}
    if mode == "off":
        return {"MESA_SHADER_CACHE_DISABLE": "true", "__GL_SHADER_DISK_CACHE": "0"}
    if mode == "user":
        return {}
    raise ValueError("unknown cache mode %r" % mode)


@contextlib.contextmanager
def driver_cache(mode):
    """Yields cache_environment(mode); an isolated cache gets a fresh directory
    of its own, removed afterwards, so nothing lands in the user's cache."""
    if mode != "isolated":
        yield cache_environment(mode)
        return
    with scratch.directory("cache") as directory:
        yield cache_environment(mode, directory)


STDERR_KEPT = 65536  # the tail of a run's standard error that is kept


class LineReader:
    """Reads a process's standard output line by line and keeps the tail of its
    standard error, reading both as they come so that neither pipe fills up.

    Every wait has a limit: an absolute deadline, or a silence (no byte on
    either stream) of `stall` seconds; reaching one raises TimeoutError."""

    def __init__(self, proc):
        self.lines = collections.deque()  # whole lines read, not yet returned
        self.pending = b""  # the start of the next line
        self.err = b""
        self.closed = False
        self.last_output = time.monotonic()
        self.stdout = proc.stdout
        self.selector = selectors.DefaultSelector()
        for pipe in (proc.stdout, proc.stderr):
            if pipe:
                self.selector.register(pipe, selectors.EVENT_READ)

    def check_limit(self, deadline, stall):
        """Raises TimeoutError once the deadline has passed or the silence has
        lasted stall seconds; otherwise returns the seconds left (None: no limit)."""
        limits = [deadline] if deadline is not None else []
        if stall is not None:
            limits.append(self.last_output + stall)
        left = min(limits) - time.monotonic() if limits else None
        if left is not None and left <= 0:
            raise TimeoutError("no output in time")
        return left

    def _wait(self, deadline, stall):
        """Reads whatever arrives next on either stream."""
        left = self.check_limit(deadline, stall)
        for key, _ in self.selector.select(left):
            chunk = os.read(key.fileobj.fileno(), 65536)
            if not chunk:
                self.selector.unregister(key.fileobj)
                self.closed |= key.fileobj is self.stdout
            elif key.fileobj is self.stdout:
                *whole, self.pending = (self.pending + chunk).split(b"\n")
                self.lines.extend(line + b"\n" for line in whole)
            else:
                self.err = (self.err + chunk)[-STDERR_KEPT:]
            self.last_output = time.monotonic() if chunk else self.last_output

    def readline(self, deadline=None, stall=None):
        """Returns the next line as bytes, None at end of file; raises TimeoutError."""
        while not self.lines and not self.closed:
            self._wait(deadline, stall)
        if self.lines:
            return self.lines.popleft()
        if self.pending:  # the last line, without its newline
            line, self.pending = self.pending, b""
            return line
        return None

    def read_until(self, prefix, deadline=None, on_line=None, stall=None):
        """Reads up to and including the first line that starts with prefix, or to
        the end of the output (prefix None reads it all); calls on_line with each line."""
        out = []
        while True:
            line = self.readline(deadline, stall)
            if line is None:
                return b"".join(out)
            out.append(line)
            if on_line:
                on_line(line)
            if prefix is not None and line.startswith(prefix):
                return b"".join(out)

    def read_stderr(self, deadline=None, stall=None):
        """Reads standard error to its end; returns all that was kept of it."""
        while self.selector.get_map():
            self._wait(deadline, stall)
        return self.err


def ends_with_line(out, prefix):
    """Whether the last whole line of out starts with prefix."""
    return out.endswith(b"\n") and out.splitlines(True)[-1].startswith(prefix)


@contextlib.contextmanager
def benchmark(binary, cwd, env=None, display=None, wrapper=()):
    """Yields the benchmark's process (under wrapper, a command prefix), its
    output on pipes, in a process group of its own, so that stopping it stops
    everything it started and Ctrl-C on the terminal reaches only us; it is
    stopped when the block ends. display (a desktop.Display) gives it DISPLAY
    and XAUTHORITY; None, no display. Raises scratch.CouldNotStart."""
    run_env = dict(os.environ if env is None else env)
    for name in ("DISPLAY", "XAUTHORITY"):
        run_env.pop(name, None)
    if display is not None:
        run_env.update(display_environment(display))
    with scratch.child([*wrapper, binary], stop_benchmark, cwd=cwd, env=run_env,
                       stdin=subprocess.DEVNULL, preexec_fn=scratch.benchmark_child,
                       start_new_session=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        yield proc


def finish(proc, reader, deadline=None, stall=None):
    """Reads the rest of the output and waits for the end of the run; returns
    (status, rest of stdout, stderr). Raises TimeoutError."""
    rest = reader.read_until(None, deadline, stall=stall)
    err = reader.read_stderr(deadline, stall)
    while proc.poll() is None:
        reader.check_limit(deadline, stall)
        time.sleep(0.01)
    return proc.returncode, rest, err


def signal_group(proc, signum):
    try:
        os.killpg(proc.pid, signum)
    except ProcessLookupError:
        pass  # nothing of it is left


def stop_benchmark(proc, grace=5.0):
    """Stops the benchmark and everything in its process group: SIGTERM, then
    SIGKILL for whatever is left after grace seconds."""
    with shielded():
        signal_group(proc, signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            pass
        signal_group(proc, signal.SIGKILL)
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()
