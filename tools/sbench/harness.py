"""Running shaderbench the way a desktop user does, without a desktop.

A private X server (never a fixed display number, since others may be
running), the benchmark's window found by its title, input sent as a desktop
sends it (keys through XTEST or XSendEvent, the close button as a
WM_DELETE_WINDOW message), the driver's shader cache kept out of the user's
own, and the benchmark's output read line by line so that every wait is on
what it prints.
"""

import contextlib
import ctypes
import os
import selectors
import shutil
import signal
import subprocess
import tempfile
import time

from Xlib import X, XK, display as xdisplay, error as xerror, protocol
from Xlib.ext import xtest

from .output import REPORT_PREFIX

WINDOW_TITLE = "Shader RAM usage test"
PR_SET_PDEATHSIG = 1


# ---------------------------------------------------------------------------
# X server
# ---------------------------------------------------------------------------

def _die_with_parent():
    """Run in a child before exec: if we are killed (a test runner's timeout),
    the kernel stops what we started too, so nothing is left running."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def start_xserver(timeout=20.0):
    """Starts a private Xvfb and returns (process, display name such as ":3")."""
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
         "-nolisten", "tcp"],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + timeout
    try:
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            selector = selectors.DefaultSelector()
            selector.register(pipe, selectors.EVENT_READ)
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    raise RuntimeError("Xvfb did not report its display in time")
                chunk = pipe.read(64)
                if not chunk:
                    raise RuntimeError("Xvfb exited before reporting its display")
                number += chunk
    except BaseException:
        stop_process(proc)
        raise
    return proc, ":" + number.decode().strip()


def stop_process(proc, grace=5.0):
    """Stops a process we started, by its id: SIGTERM, then SIGKILL."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# ---------------------------------------------------------------------------
# Window and input
# ---------------------------------------------------------------------------

def find_window(display_name, title=WINDOW_TITLE, timeout=20.0):
    """Waits for a mapped top-level window with this title; returns its id."""
    d = xdisplay.Display(display_name)
    try:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for child in d.screen().root.query_tree().children:
                try:
                    if (child.get_wm_name() == title
                            and child.get_attributes().map_state == X.IsViewable):
                        return child.id
                except xerror.XError:
                    pass  # the window went away while we looked
            time.sleep(0.02)
        raise RuntimeError("no window titled %r appeared" % title)
    finally:
        d.close()


def send_keys(display_name, window_id, key):
    """Presses and releases a key through XTEST, the window focused first, as a keyboard would."""
    d = xdisplay.Display(display_name)
    try:
        window = d.create_resource_object("window", window_id)
        window.set_input_focus(X.RevertToParent, X.CurrentTime)
        code = d.keysym_to_keycode(XK.string_to_keysym(key))
        xtest.fake_input(d, X.KeyPress, code)
        xtest.fake_input(d, X.KeyRelease, code)
        d.sync()
    finally:
        d.close()


def send_close(display_name, window_id):
    """Asks the window to close, as a window manager's close button does."""
    d = xdisplay.Display(display_name)
    try:
        window = d.create_resource_object("window", window_id)
        protocols = d.intern_atom("WM_PROTOCOLS")
        delete = d.intern_atom("WM_DELETE_WINDOW")
        message = protocol.event.ClientMessage(
            window=window, client_type=protocols,
            data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(message, event_mask=X.NoEventMask)
        d.sync()
    finally:
        d.close()


# ---------------------------------------------------------------------------
# Running the benchmark
# ---------------------------------------------------------------------------

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
    directory = tempfile.mkdtemp(prefix="shaderbench-cache-") if mode == "isolated" else None
    try:
        yield cache_environment(mode, directory)
    finally:
        if directory:
            shutil.rmtree(directory, ignore_errors=True)


class LineReader:
    """Reads a pipe line by line with a deadline on every wait."""

    def __init__(self, pipe):
        self.pipe = pipe
        self.pending = b""
        self.closed = False
        self.selector = selectors.DefaultSelector()
        self.selector.register(pipe, selectors.EVENT_READ)

    def readline(self, deadline):
        """Returns the next line as bytes, None at end of file; raises TimeoutError."""
        while b"\n" not in self.pending and not self.closed:
            left = deadline - time.monotonic()
            if left <= 0 or not self.selector.select(left):
                raise TimeoutError("no output in time")
            chunk = os.read(self.pipe.fileno(), 65536)
            if chunk:
                self.pending += chunk
            else:
                self.closed = True
        if b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            return line + b"\n"
        if self.pending:
            line, self.pending = self.pending, b""
            return line
        return None

    def read_until(self, prefix, deadline, on_line=None):
        """Reads up to and including the first line that starts with prefix, or to
        the end of the output (prefix None reads it all); calls on_line with each line."""
        out = b""
        while True:
            line = self.readline(deadline)
            if line is None:
                return out
            out += line
            if on_line:
                on_line(line)
            if prefix is not None and line.startswith(prefix):
                return out


def ends_with_line(out, prefix):
    """Whether the last whole line of out starts with prefix."""
    return out.endswith(b"\n") and out.splitlines(True)[-1].startswith(prefix)


def start_benchmark(binary, cwd, env=None, display=None, wrapper=()):
    """Starts the benchmark (under wrapper, a command prefix) with its output on pipes."""
    run_env = dict(os.environ if env is None else env)
    run_env.pop("DISPLAY", None)
    if display is not None:
        run_env["DISPLAY"] = display
    return subprocess.Popen([*wrapper, binary], cwd=cwd, env=run_env,
                            stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish(proc, reader, deadline):
    """Reads the rest of the output and waits for the end of the run; returns
    (status, rest of stdout, stderr). Raises subprocess.TimeoutExpired."""
    rest = reader.read_until(None, deadline)
    status = proc.wait(max(0.1, deadline - time.monotonic()))
    return status, rest, proc.stderr.read()


def stop_benchmark(proc):
    stop_process(proc)
    proc.stdout.close()
    proc.stderr.close()


def run_to_report(binary, cwd, display, env=None, timeout=600.0, on_line=None, wrapper=()):
    """Runs one benchmark to its report, then closes its window with Escape.

    Returns (exit status, stdout bytes, stderr bytes). on_line(line, process)
    is called with each line of standard output as it arrives. A run that
    fails before its report (missing file, no context) ends with its own status.
    """
    proc = start_benchmark(binary, cwd, env, display, wrapper=wrapper)
    try:
        reader = LineReader(proc.stdout)
        deadline = time.monotonic() + timeout
        out = reader.read_until(REPORT_PREFIX, deadline, on_line and (lambda line: on_line(line, proc)))
        if ends_with_line(out, REPORT_PREFIX):
            send_keys(display, find_window(display), "Escape")
        status, rest, err = finish(proc, reader, deadline)
        return status, out + rest, err
    finally:
        stop_benchmark(proc)


def run_isolated(binary, cwd, display, **kwargs):
    """run_to_report with the driver's shader cache isolated (see driver_cache)."""
    with driver_cache("isolated") as cache:
        return run_to_report(binary, cwd, display, {**os.environ, **cache}, **kwargs)
