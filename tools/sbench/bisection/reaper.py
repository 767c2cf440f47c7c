"""Runs a command and, when it ends, ends everything it started.

A build may start daemons of its own (a compiler server, a helper that
calls setsid): they leave its process group and its session, so stopping
those does not reach them, and they could go on writing into the prefix
after the build was recorded. This process becomes their reaper
(PR_SET_CHILD_SUBREAPER): whatever the command leaves behind is
re-parented here, and is killed once the command has ended, or at once on
SIGTERM (the build stopped at its limit, or the tool interrupted).

Run as a program: reaper.py ARGV...; its status is the command's.
"""

import ctypes
import os
import signal
import subprocess
import sys

PR_SET_CHILD_SUBREAPER = 36


class Stopped(Exception):
    pass


def children():
    with open("/proc/self/task/%d/children" % os.getpid()) as f:
        return [int(pid) for pid in f.read().split()]


def end_descendants():
    """Kills our children until none is left; what a killed one had started
    comes to us in turn."""
    while True:
        found = children()
        if not found:
            try:  # zombies are not listed as children, but must be reaped
                while os.waitpid(-1, os.WNOHANG)[0]:
                    pass
            except ChildProcessError:
                pass
            return
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return


def stop(signum, frame):
    raise Stopped()


def main(argv):
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1):
        sys.stderr.write("reaper: no PR_SET_CHILD_SUBREAPER: %s\n" % os.strerror(ctypes.get_errno()))
        return 127
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    status = 128 + signal.SIGTERM
    try:
        try:
            status = subprocess.call(argv)
        except OSError as error:
            sys.stderr.write("reaper: %s: %s\n" % (argv[0], error))
            status = 127
        status = 128 - status if status < 0 else status
    except Stopped:
        pass
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    end_descendants()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
