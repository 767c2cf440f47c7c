"""X displays: private servers that only we can use, the user's own desktop,
and the benchmark's window on either.

A private server is an Xvfb on a display number it picks itself (others may
be running), locked with a fresh MIT-MAGIC-COOKIE-1 in a directory only we
can read: the benchmark, the probes and this tool hold the cookie, and any
other client is refused. On the user's desktop the window may be framed by a
window manager and sit next to windows of the same title, so it is found by
the process that made it (_NET_WM_PID), anywhere in the window tree, and it
is closed as its close button would close it. Nothing else on a display is
touched, and no key is ever sent to a display we did not start.
"""

import collections
import contextlib
import os
import selectors
import shutil
import socket
import struct
import subprocess
import threading
import time

from Xlib import X, XK, Xatom, display as xdisplay, error as xerror, protocol
from Xlib.ext import res, xtest

from ..system import proc, scratch
from ..system.interrupts import shielded

WINDOW_TITLE = "Shader RAM usage test"
FAMILY_LOCAL = 256  # Xauthority's family for a connection on this host

# Everything python-xlib raises for a display that is gone, refuses us, or a
# window that went away while we looked.
X_ERRORS = (xerror.DisplayError, xerror.ConnectionClosedError, xerror.XError, OSError)

# name: ":3"; xauthority: the cookie's file (None: the user's default);
# private: a server of ours, which goes with the block that started it.
Display = collections.namedtuple("Display", "name xauthority private")


def user_display(name):
    """The user's display as their environment reaches it."""
    return Display(name, os.environ.get("XAUTHORITY"), False)


# ---------------------------------------------------------------------------
# Private X servers
# ---------------------------------------------------------------------------

def write_cookie(path):
    """An authority file holding one fresh cookie for every display of this
    host (an empty display number matches any): the server reads it at its
    start, before it knows its number, and clients find it afterwards."""
    def field(data):
        return struct.pack(">H", len(data)) + data
    entry = (struct.pack(">H", FAMILY_LOCAL) + field(socket.gethostname().encode()) + field(b"")
             + field(b"MIT-MAGIC-COOKIE-1") + field(os.urandom(16)))
    with shielded():  # never an open descriptor that nobody closes
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.write(fd, entry)
        finally:
            os.close(fd)


# Measured here: Xvfb reports its display 0.37 s after its start (at most 0.45 s in 20 starts while the test
# suite loaded both cores); a limit far beyond that only catches a server that will never answer.
XSERVER_START_SECONDS = 60.0


@contextlib.contextmanager
def xserver(display=None, timeout=XSERVER_START_SECONDS):
    """Yields display if one is given, else the Display of a private server
    that lives as long as the block: its cookie directory and its process
    each belong to the block from the instant they exist, so that however
    the block ends (an interrupt at any point included) the server is
    stopped and its cookie removed."""
    if display:
        yield display
        return
    if not shutil.which("Xvfb"):
        raise RuntimeError("no Xvfb to run on: install it (Debian package xvfb)")
    with scratch.directory("x") as directory:  # 0700
        xauthority = os.path.join(directory, "Xauthority")
        write_cookie(xauthority)
        # A session of its own: Ctrl-C on the terminal reaches us, and we stop it
        # after whatever runs on it, not before.
        with scratch.pipe() as ends, scratch.child(
                # -noreset: left to itself the server resets as its last client goes, and a client that
                # connects meanwhile is refused ("unable to open display"): 23 of 600 back-to-back clients
                # beside three busy loops, none with it. Our servers serve clients one after another.
                ["Xvfb", "-displayfd", str(ends[1]), "-auth", xauthority, "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-noreset"], scratch.stop_process,
                pass_fds=(ends[1],), stdin=subprocess.DEVNULL, preexec_fn=scratch.own_session,
                start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL):
            with shielded():  # ours closed, Xvfb's exit closes the pipe and we see it
                os.close(ends[1])
                ends[1] = None
            number = _read_display_number(ends[0], time.monotonic() + timeout)
            yield Display(":" + number, xauthority, True)


def _read_display_number(fd, deadline):
    number = b""
    with selectors.DefaultSelector() as selector:
        selector.register(fd, selectors.EVENT_READ)
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                raise RuntimeError("Xvfb did not report its display in time")
            chunk = os.read(fd, 64)
            if not chunk:
                raise RuntimeError("Xvfb exited before reporting its display")
            number += chunk
    return number.decode().strip()


# ---------------------------------------------------------------------------
# Connections, and what runs on a desktop
# ---------------------------------------------------------------------------

# A server answers a request in milliseconds; one that has not answered in
# this long is held by another client (a window manager that grabbed it while
# it waits for a click) and may never answer. SHADERBENCH_X_ANSWER_SECONDS
# sets another limit.
X_ANSWER_SECONDS = 5.0
ANSWER_VARIABLE = "SHADERBENCH_X_ANSWER_SECONDS"


def answer_seconds():
    """How long one request may wait for the server's answer."""
    try:
        value = float(os.environ.get(ANSWER_VARIABLE, ""))
    except ValueError:
        return X_ANSWER_SECONDS
    return value if 0 < value < float("inf") else X_ANSWER_SECONDS


def _open(display, seconds, no_answer):
    """python-xlib's Display for display, made in a thread of its own: even
    the connection's set-up waits without limit on a server held by another
    client. Raises no_answer after seconds; the thread is then left to end
    when the server lets it."""
    made = {}

    def make():
        try:
            made["display"] = xdisplay.Display(display.name)
        except BaseException as error:  # handed to the caller
            made["error"] = error
    saved = os.environ.get("XAUTHORITY")
    if display.xauthority:
        os.environ["XAUTHORITY"] = display.xauthority
    try:
        thread = threading.Thread(target=make, daemon=True)
        thread.start()
        thread.join(seconds)
    finally:
        if saved is None:
            os.environ.pop("XAUTHORITY", None)
        else:
            os.environ["XAUTHORITY"] = saved
    if thread.is_alive():
        raise no_answer
    if "error" in made:
        raise made["error"]
    return made["display"]


@contextlib.contextmanager
def connect(display, seconds=None):
    """A connection to display with its own cookie (python-xlib reads
    XAUTHORITY when it connects), cut off once a request has waited
    `seconds` for its answer: python-xlib waits without limit, so a server
    that gives none would stall the tool for good. The request left waiting
    then raises RuntimeError, which says so. seconds: answer_seconds()
    unless given."""
    seconds = answer_seconds() if seconds is None else seconds
    no_answer = RuntimeError("the X server %s gave no answer in %g s (held by another client, such as a "
                             "window manager waiting for a click?)" % (display.name, seconds))
    d = _open(display, seconds, no_answer)
    expired, closed, waiting = threading.Event(), threading.Event(), [None]
    plain = d.display.send_and_recv

    def send_and_recv(*args, **kwargs):  # every wait of python-xlib on the server goes through it
        waiting[0] = time.monotonic()
        try:
            return plain(*args, **kwargs)
        finally:
            waiting[0] = None
    d.display.send_and_recv = send_and_recv

    def watch():
        while not closed.wait(min(0.1, seconds / 4)):
            since = waiting[0]
            if since is not None and time.monotonic() - since > seconds:
                expired.set()
                with contextlib.suppress(OSError):
                    d.display.socket.shutdown(socket.SHUT_RDWR)  # the wait in select() ends, the request fails
                return
    threading.Thread(target=watch, daemon=True).start()
    try:
        yield d
    except X_ERRORS:
        if expired.is_set():
            raise no_answer from None
        raise
    finally:
        closed.set()
        with contextlib.suppress(*X_ERRORS):
            d.close()


def _text_property(d, window, name):
    value = window.get_full_property(d.intern_atom(name), X.AnyPropertyType)
    if value is None:
        return None
    text = value.value
    return text.decode(errors="replace") if isinstance(text, bytes) else str(text)


def describe(display):
    """What runs on the display, for the provenance: its name, whether it is
    a private server, its window manager (the name it gives itself; "unnamed"
    for one that gives none, such as twm; None when none runs) and whether a
    compositing manager runs. Only reads: nothing on the display changes."""
    info = {"name": display.name, "private": display.private, "window_manager": None, "compositor": None,
            "windows_found_by": "X-Resource"}
    if display.private:
        return info
    try:
        with connect(display) as d:
            root = d.screen().root
            check = root.get_full_property(d.intern_atom("_NET_SUPPORTING_WM_CHECK"), Xatom.WINDOW)
            if check is not None and len(check.value):
                info["window_manager"] = _text_property(
                    d, d.create_resource_object("window", check.value[0]), "_NET_WM_NAME") or "unnamed"
            elif root.get_attributes().all_event_masks & X.SubstructureRedirectMask:
                info["window_manager"] = "unnamed"  # someone manages the root's children
            owner = d.get_selection_owner(d.intern_atom("_NET_WM_CM_S%d" % d.get_default_screen()))
            info["compositor"] = owner != X.NONE
            info["windows_found_by"] = window_owner_rule(d)
    except (RuntimeError, *X_ERRORS) as error:
        info["window_manager"] = "unknown: %s" % error
    return info


# ---------------------------------------------------------------------------
# The benchmark's window
# ---------------------------------------------------------------------------

def belongs_to(pid, root_pid):
    """Whether process pid is root_pid or runs under it: a descendant, or in
    the session it leads (the benchmark starts one of its own), so that a
    wrapper such as apitrace or Wine still counts."""
    seen = 0
    while pid > 1 and seen < 256:
        if pid == root_pid:
            return True
        fields = proc.stat(pid)
        if fields is None:
            return False
        if int(fields[proc.SESSION]) == root_pid:
            return True
        pid, seen = int(fields[proc.PARENT]), seen + 1
    return False


def _windows(d):
    """Every window of the display, parents before children."""
    stack = [d.screen().root]
    while stack:
        window = stack.pop()
        yield window
        try:
            stack.extend(reversed(window.query_tree().children))
        except xerror.XError:
            pass  # it went away while we looked


def _client_pid(d, window):
    """The process whose connection made window, as the X server itself knows
    it (X-Resource): a client cannot claim another's. None for a client of
    another host, whose process the server does not know."""
    reply = d.res_query_client_ids([{"client": window.id, "mask": res.LocalClientPIDMask}])
    return next((value for found in reply.ids for value in found.value), None)


def _claimed_pid(d, window, host, atoms):
    """The process window says made it (_NET_WM_PID, which any client may
    set), on this host; None otherwise."""
    pid = window.get_full_property(atoms["_NET_WM_PID"], Xatom.CARDINAL)
    machine = _text_property(d, window, "WM_CLIENT_MACHINE")
    if pid is None or not len(pid.value) or (machine is not None and machine != host):
        return None  # none, or a process of another host, whose pid means nothing here
    return int(pid.value[0])


def window_owner_rule(d):
    """How the benchmark's window is told from others on this server."""
    return "X-Resource" if d.has_extension(res.extname) else "_NET_WM_PID"


def _ours(d, window, root_pid, host, atoms, rule):
    """Whether window is the benchmark's: with its title, closable with
    WM_DELETE_WINDOW, and made by its process (on this host) as the server
    knows it, or, on a server without X-Resource, as the window claims."""
    protocols = window.get_full_property(atoms["WM_PROTOCOLS"], Xatom.ATOM)
    if window.get_wm_name() != WINDOW_TITLE or protocols is None or atoms["WM_DELETE_WINDOW"] not in protocols.value:
        return False
    pid = _client_pid(d, window) if rule == "X-Resource" else _claimed_pid(d, window, host, atoms)
    return pid is not None and belongs_to(pid, root_pid)


def find_window(display, pid, timeout=20.0, alive=lambda: True):
    """Waits for the window that process pid (or one under it) made; returns
    its id, or None once alive() says the process has ended. The title alone
    never matches: another process's window may carry it, and may claim the
    benchmark's PID too."""
    with connect(display) as d:
        atoms = {name: d.intern_atom(name) for name in ("_NET_WM_PID", "WM_PROTOCOLS", "WM_DELETE_WINDOW")}
        host, rule = socket.gethostname(), window_owner_rule(d)
        deadline = time.monotonic() + timeout
        while True:
            for window in _windows(d):
                try:
                    if _ours(d, window, pid, host, atoms, rule):
                        return window.id
                except xerror.XError:
                    pass  # it went away while we looked
            if not alive():
                return None
            if time.monotonic() > deadline:
                raise RuntimeError("no window of process %d appeared" % pid)
            time.sleep(0.05)


def send_close(display, window_id):
    """Asks the window to close, as a window manager's close button does."""
    with connect(display) as d:
        window = d.create_resource_object("window", window_id)
        message = protocol.event.ClientMessage(
            window=window, client_type=d.intern_atom("WM_PROTOCOLS"),
            data=(32, [d.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        window.send_event(message, event_mask=X.NoEventMask)
        d.sync()


def send_keys(display, window_id, key):
    """Presses and releases a key through XTEST, the window focused first, as
    a keyboard would. Only for a private server: on a desktop the focus may
    move to the user's own window in between."""
    if not display.private:
        raise ValueError("keys are only sent to a private X server")
    with connect(display) as d:
        window = d.create_resource_object("window", window_id)
        window.set_input_focus(X.RevertToParent, X.CurrentTime)
        code = d.keysym_to_keycode(XK.string_to_keysym(key))
        xtest.fake_input(d, X.KeyPress, code)
        xtest.fake_input(d, X.KeyRelease, code)
        d.sync()
