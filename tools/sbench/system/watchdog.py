"""What the tool starts, stopped even when the tool itself is killed outright.

SIGKILL gives the tool no chance to stop what it started. The benchmark goes
with it (it asks the kernel for a signal when its parent dies), but what the
benchmark started, a driver's helper or Wine's server, would live on under
init. So a tool process starts one watchdog: a small process in a session
of its own that reads a pipe whose other end only the tool holds. Every
program the tool starts in a session of its own names that session on the
pipe before it runs, and the tool takes the name back once it has stopped
the whole session. When the pipe ends, because the tool has ended however
it ended, the watchdog kills what is still in the sessions it was given,
removes what the tool left in the temporary directory (scratch, which
starts it), and exits.
"""

import contextlib
import os
import signal
import subprocess

from . import proc

_pipe = {"fd": None}


def start(program):
    """Starts this process's watchdog, once: program, an argv to which the
    pipe's reading end is added, calls watch() on it."""
    if _pipe["fd"] is not None:
        return
    read_end, write_end = os.pipe()  # neither is inherited by what else we start
    try:
        subprocess.Popen(program + [str(read_end)], pass_fds=(read_end,),
                         start_new_session=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, cwd="/")
    except OSError:
        os.close(write_end)  # no watchdog: what the tool stops itself is all that is stopped
        return
    finally:
        os.close(read_end)
    _pipe["fd"] = write_end


def _tell(text):
    if _pipe["fd"] is not None:
        try:
            os.write(_pipe["fd"], text.encode())
        except OSError:  # the watchdog is gone (killed by hand): the runs go on without it
            pass


def watch_session():
    """In a child that leads a session of its own, before it runs its program
    (preexec_fn): names its session to the watchdog."""
    _tell("+%d\n" % os.getpid())


def session_stopped(session):
    _tell("-%d\n" % session)


def kill_session(session, leader=True):
    """Kills every process of ours still in the session; its leader too
    unless leader is False (one the caller has stopped and reaped, whose PID
    may already name another process)."""
    for pid in proc.process_ids():
        if (leader or pid != session) and proc.number(pid, proc.SESSION) == session and proc.owner(pid) == os.getuid():
            with contextlib.suppress(OSError):  # gone meanwhile
                os.kill(pid, signal.SIGKILL)


def watch(fd):
    """The watchdog's own work: reads the sessions named on the pipe until it
    ends, then kills what is left in them."""
    sessions, pending = set(), b""
    while True:
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        *lines, pending = (pending + chunk).split(b"\n")
        for line in lines:
            if line.startswith(b"+"):
                sessions.add(int(line[1:]))
            else:
                sessions.discard(int(line[1:]))
    for session in sessions:
        kill_session(session)
