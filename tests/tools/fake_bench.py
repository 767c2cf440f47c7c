#!/usr/bin/python3
"""A stand-in for shaderbench that goes wrong on purpose, as FAKE_BENCH says:
ok (1000 progress lines, the report, then a window that closes on a key, as
the real one), hang:N (programs 0 to N, then silence, with a child that
sleeps too), crash:N (then SIGSEGV), exit:N (then status 1; N = -1 prints
"Unable to load file" instead), garbage (a full run with a stray line).
FAKE_MARKER names a file that gets a line per start; with FAKE_ONLY_RUN=K
the mode applies to the K-th start only, the others run "ok"."""

import os
import signal
import subprocess
import sys
import time

from Xlib import X, display


def line(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def programs(last, stray_after=None):
    for i in range(last + 1):
        line("%04d/1000" % i)
        if i == stray_after:
            line("something else")


def window_until_a_key():
    d = display.Display()
    window = d.screen().root.create_window(0, 0, 640, 480, 0, X.CopyFromParent, event_mask=X.KeyPressMask)
    window.set_wm_name("Shader RAM usage test")
    window.map()
    d.sync()
    while d.next_event().type != X.KeyPress:
        pass


def main():
    mode, _, count = os.environ.get("FAKE_BENCH", "ok").partition(":")
    marker = os.environ.get("FAKE_MARKER")
    if marker:
        with open(marker, "a") as f:
            f.write("started\n")
        with open(marker) as f:
            starts = len(f.readlines())
        if os.environ.get("FAKE_ONLY_RUN", str(starts)) != str(starts):
            mode = "ok"
    last = int(count or 0)
    if mode == "hang":
        programs(last)
        subprocess.Popen(["sleep", "600"])
        time.sleep(600)
    elif mode == "crash":
        programs(last)
        sys.stderr.write("fake: about to crash\n")
        sys.stderr.flush()
        os.kill(os.getpid(), signal.SIGSEGV)
    elif mode == "exit":
        programs(last)
        if last < 0:
            line("Unable to load file")
        return 1
    programs(999, stray_after=500 if mode == "garbage" else None)
    line("Compiled all shaders in 1234ms")
    line("Committed mem: 56MB")
    window_until_a_key()
    return 0


if __name__ == "__main__":
    sys.exit(main())
