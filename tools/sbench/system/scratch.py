"""Temporary directories and child processes that no interrupt can strand.

Each is owned by a `with` block from the instant it exists: it is made, and
becomes the block's, in one step that an interrupt waits for (see
interrupts.shielded), and it is removed or stopped in another. So there is
no moment at which a directory or a process exists and no block knows it.

A directory is named after the process that made it (its PID and start
time), so that one left by a tool that was killed outright can be told from
one a live tool is using, and removed at the next start (remove_stale).
"""

import contextlib
import ctypes
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

from . import proc, watchdog
from .interrupts import owner, shielded

PREFIX = "shaderbench-"
PR_SET_PDEATHSIG = 1


def die_with_parent():
    """Run in a child before exec: if we are killed (a test runner's timeout),
    the kernel stops what we started too, so nothing is left running."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def own_session():
    """Run before exec in a child that leads a session of its own (the
    benchmark, an X server): it dies with us, and the watchdog stops what is
    left of its session if we are killed outright."""
    die_with_parent()
    watchdog.watch_session()


def first_to_go():
    """Run before exec in a child that may take all the memory there is (the
    benchmark on a pathological shader, a driver's build): should the
    machine run out, the kernel kills it first, not a program of the user's
    desktop. Raising one's own score needs no privilege; without /proc the
    score is left as it was."""
    try:
        with open("/proc/self/oom_score_adj", "w") as f:
            f.write("1000")
    except OSError:
        pass


def benchmark_child():
    """own_session and first_to_go: a child that runs work we measure or build."""
    own_session()
    first_to_go()


def owner_tag():
    """This process as its directories are named: PID.STARTTIME."""
    return "%d.%s" % (os.getpid(), proc.start_time(os.getpid()))


@contextlib.contextmanager
@owner
def directory(kind):
    """Yields a fresh directory (mode 0700) in the temporary directory, named
    shaderbench-KIND-OWNER-XXXXXXXX, and removes it with all it holds when the
    block ends, however it ends."""
    made = []
    try:
        with shielded():
            made.append(tempfile.mkdtemp(prefix="%s%s-%s-" % (PREFIX, kind, owner_tag())))
        yield made[0]
    finally:
        if made:
            with shielded():
                shutil.rmtree(made[0], ignore_errors=True)


class CouldNotStart(RuntimeError):
    """A program that could not be started (missing, not executable, ...)."""


@contextlib.contextmanager
@owner
def child(argv, stop, **popen):
    """Yields a subprocess.Popen of argv, and calls stop(process) when the
    block ends, however it ends (then, for one in a session of its own,
    kills whatever is still in its session). Raises CouldNotStart when it
    cannot be started: then there is nothing to stop."""
    started = []
    try:
        with shielded():
            try:
                started.append(subprocess.Popen(argv, **popen))
            except OSError as error:
                raise CouldNotStart(str(error)) from None
        yield started[0]
    finally:
        if started:
            with shielded():
                stop(started[0])
                if popen.get("start_new_session"):  # what left its process group, but not its session
                    watchdog.kill_session(started[0].pid, leader=False)
                    watchdog.session_stopped(started[0].pid)


def wait(proc, seconds, step=0.01):
    """Whether proc ended within seconds. It sleeps here, not in subprocess:
    an interrupt that lands inside subprocess's waiting is held back until
    that returns, so a loop of timed waits there would hold Ctrl-C back
    almost for good."""
    deadline = time.monotonic() + seconds
    while proc.poll() is None:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        time.sleep(min(step, left))
    return True


def stop_process(proc, grace=5.0):
    """Stops a process we started, by its id: SIGTERM, then SIGKILL."""
    with shielded():
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(grace)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


@contextlib.contextmanager
@owner
def pipe():
    """Yields [read end, write end]; either may be closed early by setting it
    to None after closing it. Whatever is still open is closed at the end."""
    ends = []
    try:
        with shielded():
            ends.extend(os.pipe())
        yield ends
    finally:
        with shielded():
            for fd in ends:
                if fd is not None:
                    os.close(fd)


# The watchdog's process: this package, imported by path (-I leaves the
# environment's out), given the pipe's end as its last argument.
WATCHDOG = [sys.executable, "-I", "-B", "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
            "from sbench.system import scratch; scratch.watchdog_program(int(sys.argv[4]), *sys.argv[2:4])",
            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))]


def start_watchdog():
    """Starts this process's watchdog (see watchdog), once. It is given our
    temporary directory: finding its own, Python would write and remove a
    probe file there, which could be seen after we have ended."""
    watchdog.start(WATCHDOG + [owner_tag(), tempfile.gettempdir()])


def watchdog_program(fd, maker, top):
    """The watchdog, once the tool (owner tag maker) is gone: what it started
    is killed, then what it left in the temporary directory top removed."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    watchdog.watch(fd)
    # The pipe ends as the tool's files close, while /proc may still show it running.
    remove_stale(top, gone=maker)


_OURS = re.compile(re.escape(PREFIX) + r"[a-z]+-(\d+)\.(\d+|None)-[^/]+")


def remove_stale(top=None, gone=None):
    """Removes the directories of ours in top (default: the temporary
    directory) that a tool process which no longer runs left behind, as a
    SIGKILL does. Only directories that this user owns, that are not links,
    and whose maker is gone (no process with its PID and start time, or the
    owner tag gone)."""
    top = top or tempfile.gettempdir()
    try:
        names = os.listdir(top)
    except OSError:
        return
    for name in names:
        match = _OURS.fullmatch(name)
        if not match:
            continue
        pid, started = int(match.group(1)), match.group(2)
        if "%d.%s" % (pid, started) != gone and str(proc.start_time(pid)) == started:
            continue  # its maker still runs (this process too)
        path = os.path.join(top, name)
        try:
            info = os.lstat(path)
        except OSError:
            continue
        if stat.S_ISDIR(info.st_mode) and info.st_uid == os.getuid():
            with shielded():
                shutil.rmtree(path, ignore_errors=True)
