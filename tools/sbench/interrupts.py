"""Ctrl-C, SIGTERM and SIGHUP (a closed terminal) as an exception, and
cleanup that they cannot cut short.

Inside raising(), the first of these signals raises Interrupted wherever the
tool is, so that every `finally` on the way out stops what it started. It is
not an Exception, so that no handler meant for a failed step takes it for
one: it always reaches the top. A signal that arrives inside shielded()
(stopping a process, removing a directory, writing a results file) waits
until that block has finished. Signals after the first are ignored: the tool
is already on its way out.
"""

import contextlib
import signal

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_state = {"shielded": 0, "pending": None, "raised": False}


class Interrupted(BaseException):
    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.status = 128 + signum  # as a shell reports it: 130, 143, 129


def _handler(signum, _frame):
    if _state["raised"] or _state["pending"]:
        return
    if _state["shielded"]:
        _state["pending"] = signum
        return
    _state["raised"] = True
    raise Interrupted(signum)


@contextlib.contextmanager
def raising():
    """SIGINT, SIGTERM and SIGHUP raise Interrupted inside this block."""
    old = {signum: signal.signal(signum, _handler) for signum in SIGNALS}
    _state.update(shielded=0, pending=None, raised=False)
    try:
        yield
    finally:
        for signum, handler in old.items():
            signal.signal(signum, handler)


@contextlib.contextmanager
def shielded():
    """A block that an interrupt does not cut short; it is raised at its end."""
    _state["shielded"] += 1
    try:
        yield
    finally:
        _state["shielded"] -= 1
        pending = _state["pending"]
        if not _state["shielded"] and pending and not _state["raised"]:
            _state["raised"] = True
            raise Interrupted(pending)
