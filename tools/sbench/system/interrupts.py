"""Ctrl-C, SIGTERM and SIGHUP (a closed terminal) as an exception, and
cleanup that they cannot cut short.

Inside raising(), the first of these signals raises Interrupted wherever the
tool is, so that every `finally` on the way out stops what it started. It is
not an Exception, so that no handler meant for a failed step takes it for
one: it always reaches the top. Signals after the first are ignored: the
tool is already on its way out. It waits instead of being raised:

- inside shielded() (stopping a process, removing a directory, writing a
  results file), until the block has finished;
- while a context manager marked owner() sets up or cleans up what it owns
  (or Python's context-manager machinery enters or leaves it), until it has
  finished: raised there, it could land in a `finally` before the cleanup
  has begun and skip it;
- while a finalizer (__del__) runs, since Python drops what one raises;
- while subprocess waits for or polls a process, since it holds a lock then
  (so a loop that waits for a process with a timeout sleeps in its own
  frame: see scratch.wait).
It is tried again every millisecond.
"""

import contextlib
import signal
import subprocess
import time

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
RETRY_SECONDS = 0.001
_state = {"shielded": 0, "pending": None, "raised": False}
_owners = set()
_MACHINERY = {contextlib._GeneratorContextManager.__enter__.__code__,
              contextlib._GeneratorContextManager.__exit__.__code__}


class Interrupted(BaseException):
    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.status = 128 + signum  # as a shell reports it: 130, 143, 129


def owner(generator_function):
    """Marks a generator-based context manager (under @contextmanager) as
    one that owns what it makes: see the module's text."""
    _owners.add(generator_function.__code__)
    return generator_function


def _must_wait(frame):
    """Whether the interrupt must wait: an owner sets up or cleans up; a
    finalizer runs (an exception raised in one is printed and dropped); or
    subprocess waits for a process (raised there, between taking its lock
    and the `try` that gives it back, the lock stays taken and the next
    wait for that process, the one that stops it, never returns)."""
    while frame is not None:
        code = frame.f_code
        if code in _owners or code.co_name == "__del__" or code.co_filename == subprocess.__file__:
            return True
        if code in _MACHINERY:
            manager = frame.f_locals.get("self")
            if getattr(getattr(manager, "gen", None), "gi_code", None) in _owners:
                return True
        frame = frame.f_back
    return False


def _raise_or_wait(signum, frame):
    if _state["shielded"]:
        _state["pending"] = signum  # raised at the block's end
        return
    started = time.monotonic()
    if _must_wait(frame):
        _state["pending"] = signum
        signal.setitimer(signal.ITIMER_REAL, max(RETRY_SECONDS, 4 * (time.monotonic() - started)))
    else:
        _state.update(raised=True, pending=None)
        raise Interrupted(signum)


def _handler(signum, frame):
    if _state["raised"] or _state["pending"]:
        return
    _raise_or_wait(signum, frame)


def _retry(_signum, frame):
    if _state["pending"] and not _state["raised"]:
        _raise_or_wait(_state["pending"], frame)


@contextlib.contextmanager
def raising():
    """SIGINT, SIGTERM and SIGHUP raise Interrupted inside this block."""
    old = {signum: signal.signal(signum, _handler) for signum in SIGNALS}
    old[signal.SIGALRM] = signal.signal(signal.SIGALRM, _retry)
    _state.update(shielded=0, pending=None, raised=False)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
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
            _state.update(raised=True, pending=None)
            raise Interrupted(pending)
