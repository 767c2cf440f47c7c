"""The comparison on a desktop: run with DISPLAY set on a display where a
window manager frames windows (twm) or composites them (openbox with
xcompmgr), next to another process's window of the same title, which it must
not touch. And a private server that refuses whoever lacks its cookie."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

from support import BINARY, FRAGMENT_FILE, ROOT, SMALL_FRAGMENT, SMALL_VERTEX, VERTEX_FILE
from sbench import desktop, interrupts

TOOL = os.path.join(ROOT, "tools", "compare")
DECOY = os.path.join(ROOT, "tests", "tools", "fake_bench.py")


class Desktops(unittest.TestCase):

    def setUp(self):
        self.xserver, self.display = desktop.start_xserver()
        self.addCleanup(desktop.stop_xserver, self.xserver, self.display)
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.env = dict({k: v for k, v in os.environ.items() if k != "XAUTHORITY"},
                        **desktop.environment(self.display))

    def start(self, command, **env):
        proc = subprocess.Popen(command, env=dict(self.env, **env), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, preexec_fn=desktop.die_with_parent)
        self.addCleanup(desktop.stop_process, proc)
        return proc

    def until(self, condition, what):
        deadline = time.monotonic() + 20
        while not condition():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.05)

    def compare_next_to_a_decoy(self, *window_manager):
        """Runs the comparison on this desktop; returns where the results say it ran."""
        for command in window_manager:
            self.start(command)
        seen_as_a_desktop = self.display._replace(private=False)
        self.until(lambda: desktop.describe(seen_as_a_desktop)["window_manager"], "no window manager came up")
        marker = os.path.join(self.dir.name, "decoy")
        decoy = self.start([DECOY], FAKE_BENCH="decoy", FAKE_MARKER=marker)
        window = desktop.find_window(self.display, decoy.pid)

        def framed():
            with desktop.connect(self.display) as d:
                return d.create_resource_object("window", window).query_tree().parent != d.screen().root
        self.until(framed, "the window manager framed no window")

        os.mkdir(os.path.join(self.dir.name, "small"))
        for name, data in ((VERTEX_FILE, SMALL_VERTEX), (FRAGMENT_FILE, SMALL_FRAGMENT)):
            with open(os.path.join(self.dir.name, "small", name), "wb") as f:
                f.write(data)
        saved = os.path.join(self.dir.name, "r.json")
        run = subprocess.run([TOOL, "-n", "1", "--binary", BINARY, "--shaders", os.path.join(self.dir.name, "small"),
                              "--json", saved, "--stall-timeout", "30", "softpipe"],
                             env=self.env, capture_output=True, text=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(marker) as f:
            self.assertEqual((f.read(), decoy.poll()), ("started\nwindow\n", None), "the decoy got a key or a close")
        with open(saved) as f:
            document = json.load(f)
        self.assertEqual([len(r["runs"][0]["program_ms"]) for r in document["results"]], [1000])
        return document["display"]

    def test_on_a_framing_desktop(self):
        twmrc = os.path.join(self.dir.name, "twmrc")
        with open(twmrc, "w") as f:
            f.write("RandomPlacement\nNoGrabServer\n")  # place windows without a mouse, never grab the server
        self.assertEqual(self.compare_next_to_a_decoy(["twm", "-f", twmrc]), {
            "name": self.display.name, "private": False, "window_manager": "unnamed", "compositor": False})

    def test_on_a_compositing_desktop(self):
        self.assertEqual(self.compare_next_to_a_decoy(["openbox"], ["xcompmgr"]), {
            "name": self.display.name, "private": False, "window_manager": "Openbox", "compositor": True})

    def test_a_private_server_refuses_a_client_without_its_cookie(self):
        with desktop.connect(self.display) as d:  # with it
            self.assertTrue(d.screen().root)
        for xauthority in (os.devnull, os.path.join(self.dir.name, "none")):  # refused, or cut off
            self.assertRaises(desktop.X_ERRORS,
                              desktop.connect(desktop.Display(self.display.name, xauthority, True)).__enter__)
        other_user = subprocess.run(["runuser", "-u", "nobody", "--", sys.executable, "-c",
                                     "from Xlib import display; display.Display(%r)" % self.display.name],
                                    capture_output=True, text=True, timeout=30)
        self.assertRegex(other_user.stderr, "Authorization required|ConnectionResetError")
        self.assertEqual(os.stat(os.path.dirname(self.display.xauthority)).st_mode & 0o777, 0o700)

    def test_an_interrupt_while_a_server_stops_still_removes_its_cookie(self):
        stop = desktop.stop_process

        def interrupted(proc, grace=5.0):  # Ctrl-C just as the server is being stopped
            os.kill(os.getpid(), signal.SIGINT)
            stop(proc, grace)
        with interrupts.raising():
            proc, display = desktop.start_xserver()
            self.addCleanup(stop, proc)
            with mock.patch.object(desktop, "stop_process", interrupted):
                self.assertRaises(interrupts.Interrupted, desktop.stop_xserver, proc, display)
        self.assertEqual((proc.poll() is None, os.path.exists(os.path.dirname(display.xauthority))), (False, False))


if __name__ == "__main__":
    unittest.main(verbosity=2)
