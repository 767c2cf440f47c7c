#!/usr/bin/python3
"""A stand-in for shaderbench that goes wrong as FAKE_BENCH says. ok: 1000 progress lines, the report, then a
window that closes on Escape or WM_DELETE_WINDOW; hang:N: programs 0 to N, then silence, with a sleeping child;
burst: every line in one write, then 2 s idle before the window; crash:N: then SIGSEGV; exit:N: then status 1
(N = -1 prints "Unable to load file"); garbage: a stray line;
nowindow: no window; grab: the server held grabbed (as twm placing a window), no window; noclose: a window that
ignores being closed; decoy: no run, only a window with the program's title that ignores keys and closing
(FAKE_CLAIM_PID: the _NET_WM_PID it claims); burn:MS: two threads each spend MS ms of CPU after program 0.
FAKE_MS: the total reported (1234); FAKE_JITTER: a fraction it varies by, the same per start; FAKE_DRIVER: a
library to load, whose int fake_ms is the total (negative: a crash). FAKE_MARKER: a file that gets "started" per
start and "window", "reported", "close ignored", "key ignored" as the run gets there; FAKE_ONLY_RUN=K: the mode
for the K-th start only, "ok" for the others."""

import fcntl
import functools
import math
import os
import signal
import sys
import termios
import time

from Xlib import X, Xatom, display

line = functools.partial(print, flush=True)


def note(text):
    if os.environ.get("FAKE_MARKER"):
        with open(os.environ["FAKE_MARKER"], "a") as f:
            f.write(text + "\n")


def programs(last, stray_after=None, first=0):
    for i in range(first, last + 1):
        line("%04d/1000" % i)
        if i == stray_after:
            line("something else")


def burn(seconds):
    end = time.thread_time() + seconds
    while time.thread_time() < end:
        pass


def window_until_closed(obeys=True):
    """A window as GLFW makes it, kept until Escape or the close button."""
    d = display.Display()
    window = d.screen().root.create_window(0, 0, 640, 480, 0, X.CopyFromParent, event_mask=X.KeyPressMask)
    window.set_wm_name("Shader RAM usage test")
    window.change_property(d.intern_atom("_NET_WM_PID"), Xatom.CARDINAL, 32,
                           [int(os.environ.get("FAKE_CLAIM_PID", os.getpid()))])
    delete = d.intern_atom("WM_DELETE_WINDOW")
    window.set_wm_protocols([delete])
    window.map()
    d.sync()
    note("window")
    while True:
        event = d.next_event()
        closing = event.type == X.ClientMessage and event.data[1][0] == delete
        if closing or event.type == X.KeyPress:
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
        import ctypes  # here, as subprocess below: the two cost every other start 8 to 10 ms of CPU
        driver_ms = ctypes.c_int.in_dll(ctypes.CDLL(os.environ["FAKE_DRIVER"]), "fake_ms").value
        mode, last = ("crash", 0) if driver_ms < 0 else (mode, last)
        ms = round(driver_ms * (1 + jitter))
    if mode == "grab":
        held = display.Display()
        held.grab_server()
        held.sync()
    if mode == "decoy":
        window_until_closed(obeys=False)
    elif mode == "hang":
        programs(last)
        import subprocess
        subprocess.Popen(["sleep", "600"])
        time.sleep(600)
    elif mode == "crash":
        programs(last)
        sys.stderr.write("fake: about to crash\n")
        sys.stderr.flush()
        os.kill(os.getpid(), signal.SIGSEGV)
    elif mode == "burn":
        programs(0)
        import concurrent.futures  # here too: 13 ms
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
    programs(999, stray_after=500 if mode == "garbage" else None, first=int(mode == "burn"))
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
