#!/usr/bin/python3 -S
"""A stand-in for shaderbench that goes wrong as FAKE_BENCH says. ok: 1000 progress lines, the report, then a
window that closes on Escape or WM_DELETE_WINDOW; hang:N: programs 0 to N, then silence, with a sleeping child;
burst: every line in one write, then 2 s idle before the window; crash:N: then SIGSEGV (FAKE_SIGNAL=KILL: SIGKILL);
exit:N: then status 1 (N = -1 prints "Unable to load file"); garbage: a stray line;
nowindow: no window; grab: the server held grabbed (as twm placing a window), no window; noclose: a window that
ignores being closed; decoy: no run, only a window with the program's title that ignores keys and closing
(FAKE_CLAIM_PID: the _NET_WM_PID it claims); burn:MS: two threads each spend MS ms of CPU after program 0.
FAKE_MS: the total reported (1234); FAKE_JITTER: a fraction it varies by, the same per start; FAKE_DRIVER: a
library to load, whose int fake_ms is the total (negative: a crash). FAKE_MARKER: a file that gets "started" per
start and "window", "reported", "close ignored", "key ignored" as the run gets there; FAKE_ONLY_RUN=K: the mode
for the K-th start only, "ok" for the others. FAKE_NO_LINK=WORD: every program fails to link where the pair's
fragment shader holds WORD. It talks to X through libX11 and starts without site: python3-xlib
and the site directories cost each start about 55 ms of CPU, and a suite starts it about 165 times."""

import ctypes
import fcntl
import functools
import math
import os
import signal
import sys
import termios
import time

line = functools.partial(print, flush=True)
KEY_PRESS, CLIENT_MESSAGE, KEY_PRESS_MASK, CARDINAL = 2, 33, 1, 6
# Each function's result, then its arguments: p a pointer, x an XID (window, atom), i an int, l a long, s a string.
TYPES = {"p": ctypes.c_void_p, "x": ctypes.c_ulong, "i": ctypes.c_int, "l": ctypes.c_long, "s": ctypes.c_char_p}
SIGNATURES = {"XOpenDisplay": "pp", "XDefaultRootWindow": "xp", "XInternAtom": "xpsi", "XSelectInput": "ipxl",
              "XCreateSimpleWindow": "xpxiiiiixx", "XStoreName": "ipxs", "XChangeProperty": "ipxxxiipi",
              "XSetWMProtocols": "ipxpi", "XMapWindow": "ipx", "XSync": "ipi", "XNextEvent": "ipp", "XGrabServer": "ip"}


def x11():
    """libX11 with the signatures used here, and a connection to $DISPLAY."""
    lib = ctypes.CDLL("libX11.so.6")
    for name, (returns, *takes) in SIGNATURES.items():
        getattr(lib, name).restype, getattr(lib, name).argtypes = TYPES[returns], [TYPES[t] for t in takes]
    d = lib.XOpenDisplay(None)
    if not d:
        sys.exit("fake: cannot open display %r" % os.environ.get("DISPLAY"))
    return lib, d


def note(text):
    if os.environ.get("FAKE_MARKER"):
        with open(os.environ["FAKE_MARKER"], "a") as f:
            f.write(text + "\n")


def programs(last, stray_after=None, first=0, unlinked=False):
    for i in range(first, last + 1):
        if unlinked:
            line("glLinkProgram() failed")
        line("%04d/1000" % i)
        if i == stray_after:
            line("something else")


def burn(seconds):
    end = time.thread_time() + seconds
    while time.thread_time() < end:
        pass


def window_until_closed(obeys=True):
    """A window as GLFW makes it, kept until Escape or the close button."""
    x, d = x11()
    window = x.XCreateSimpleWindow(d, x.XDefaultRootWindow(d), 0, 0, 640, 480, 0, 0, 0)
    x.XSelectInput(d, window, KEY_PRESS_MASK)
    x.XStoreName(d, window, b"Shader RAM usage test")
    pid = ctypes.c_long(int(os.environ.get("FAKE_CLAIM_PID", os.getpid())))
    x.XChangeProperty(d, window, x.XInternAtom(d, b"_NET_WM_PID", 0), CARDINAL, 32, 0, ctypes.byref(pid), 1)
    delete = ctypes.c_ulong(x.XInternAtom(d, b"WM_DELETE_WINDOW", 0))
    x.XSetWMProtocols(d, window, ctypes.byref(delete), 1)
    x.XMapWindow(d, window)
    x.XSync(d, 0)
    note("window")
    event = (ctypes.c_long * 24)()  # an XEvent: its type an int first; a client message's data.l[0] at long 7
    while True:
        x.XNextEvent(d, event)
        kind = event[0] & 0xFFFFFFFF
        closing = kind == CLIENT_MESSAGE and event[7] == delete.value
        if closing or kind == KEY_PRESS:
            if obeys:
                return
            note("close ignored" if closing else "key ignored")


def main():
    mode, _, count = os.environ.get("FAKE_BENCH", "ok").partition(":")
    note("started")
    marker, starts = os.environ.get("FAKE_MARKER"), 1
    if marker:
        with open(marker) as f:
            starts = sum(entry == "started\n" for entry in f)
        if os.environ.get("FAKE_ONLY_RUN", str(starts)) != str(starts):
            mode = "ok"
    jitter = float(os.environ.get("FAKE_JITTER", "0")) * math.sin(starts * 2.4)
    ms = round(float(os.environ.get("FAKE_MS", "1234")) * (1 + jitter))
    last = int(count or 0)
    if os.environ.get("FAKE_DRIVER"):
        driver_ms = ctypes.c_int.in_dll(ctypes.CDLL(os.environ["FAKE_DRIVER"]), "fake_ms").value
        mode, last = ("crash", 0) if driver_ms < 0 else (mode, last)
        ms = round(driver_ms * (1 + jitter))
    if mode == "grab":
        x, held = x11()
        x.XGrabServer(held)
        x.XSync(held, 0)
    if mode == "decoy":
        window_until_closed(obeys=False)
    elif mode == "hang":
        programs(last)
        import subprocess  # here, as concurrent.futures below: only the modes that use them pay for them
        subprocess.Popen(["sleep", "600"])
        time.sleep(600)
    elif mode == "crash":
        programs(last)
        with open("/proc/self/oom_score_adj") as f:
            sys.stderr.write("fake: about to crash, oom_score_adj %s" % f.read())
        sys.stderr.flush()
        os.kill(os.getpid(), getattr(signal, "SIG" + os.environ.get("FAKE_SIGNAL", "SEGV")))
    elif mode == "burn":
        programs(0)
        while fcntl.ioctl(1, termios.FIONREAD, b"\0" * 4) != b"\0" * 4:  # the tool has read program 0's line
            time.sleep(0.001)
        import concurrent.futures
        with concurrent.futures.ThreadPoolExecutor(2) as pool:  # its threads have ended when it ends
            list(pool.map(burn, [last / 1000] * 2))
    elif mode == "burst":  # read all at once, and nothing runs while the tool goes through the lines
        os.write(1, b"".join(b"%04d/1000\n" % i for i in range(1000)) + b"Compiled all shaders in %dms\n"
                 b"Committed mem: 56MB\n" % ms)
        time.sleep(2)
        window_until_closed()
        return 0
    elif mode == "exit":
        programs(last)
        if last < 0:
            line("Unable to load file")
        return 1
    word, unlinked = os.environ.get("FAKE_NO_LINK", "").encode(), False
    if word:
        with open("shaders/largeShaderExample_ps_source.txt", "rb") as f:
            unlinked = word in f.read()
    programs(999, stray_after=500 if mode == "garbage" else None, first=int(mode == "burn"), unlinked=unlinked)
    line("Compiled all shaders in %dms" % ms)
    line("Committed mem: 56MB")
    if mode in ("nowindow", "grab"):
        while fcntl.ioctl(1, termios.FIONREAD, b"\0" * 4) != b"\0" * 4:  # until the report is read
            time.sleep(0.01)
        note("reported")
        time.sleep(600)
    window_until_closed(obeys=mode != "noclose")
    return 0


if __name__ == "__main__":
    sys.exit(main())
