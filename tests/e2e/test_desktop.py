"""The comparison on a desktop that frames windows (twm) or composites them (openbox, xcompmgr), next to another
process's window of the same title, which it must not touch; a private server refuses whoever lacks its cookie,
and is not reset between its clients."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import unittest

from Xlib import Xatom
from support import BINARY, ROOT, write_small_pair
from sbench.running import desktop, harness
from sbench.system import scratch

TOOL = os.path.join(ROOT, "tools", "compare")
DECOY = os.path.join(ROOT, "tests", "tools", "fake_bench.py")
# Measured with the suite on both cores: twm takes the root in 0.12 s at most, openbox in 0.42 s (8 starts each).
MANAGER_SECONDS = 120


def noted(marker):  # what the fake benchmark has noted so far
    return pathlib.Path(marker).read_text() if os.path.exists(marker) else ""


class Desktops(unittest.TestCase):

    def setUp(self):
        self.display = self.enterContext(desktop.xserver())
        self.dir = self.enterContext(tempfile.TemporaryDirectory())
        self.env = dict({k: v for k, v in os.environ.items() if k != "XAUTHORITY"},
                        **harness.display_environment(self.display))

    def start(self, command, **env):
        """Starts command on the display, what it says going to a file of its own."""
        with open(os.path.join(self.dir, os.path.basename(command[0]) + ".err"), "wb") as err:
            return self.enterContext(scratch.child(command, scratch.stop_process, env=dict(self.env, **env),
                                                   stdout=subprocess.DEVNULL, stderr=err,
                                                   preexec_fn=scratch.die_with_parent))

    def until(self, condition, manager, what):
        """Waits for condition; the window manager's exit fails the test at once, with what it said."""
        deadline = time.monotonic() + MANAGER_SECONDS
        while not condition():
            if manager.poll() is not None:
                said = pathlib.Path(self.dir, os.path.basename(manager.args[0]) + ".err").read_text()
                self.fail("%s: the window manager exited with status %d: %s" % (what, manager.returncode, said))
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.05)

    def compare_next_to_a_decoy(self, *window_manager):
        """Runs the comparison on this desktop; returns where the results say it ran."""
        # The decoy's window is mapped before the manager starts: openbox loses one mapped while it starts. It
        # claims the process of a benchmark whose window is not up yet, and is not taken for that one's window.
        benchmark, marker = self.start(["sleep", "600"]), os.path.join(self.dir, "decoy")
        decoy = self.start([DECOY], FAKE_BENCH="decoy", FAKE_MARKER=marker, FAKE_CLAIM_PID=str(benchmark.pid))
        self.until(lambda: "window\n" in noted(marker), decoy, "no decoy window")
        with self.assertRaisesRegex(RuntimeError, "no window of process %d appeared" % benchmark.pid):
            desktop.find_window(self.display, benchmark.pid, timeout=1)
        window = desktop.find_window(self.display, decoy.pid)
        manager = [self.start(command) for command in window_manager][0]
        seen_as_a_desktop = self.display._replace(private=False)
        self.until(lambda: desktop.describe(seen_as_a_desktop)["window_manager"], manager, "no window manager came up")

        def framed():
            with desktop.connect(self.display) as d:
                return d.create_resource_object("window", window).query_tree().parent != d.screen().root
        self.until(framed, manager, "the window manager framed no window")

        write_small_pair(os.path.join(self.dir, "small"))
        saved = os.path.join(self.dir, "r.json")
        run = subprocess.run([TOOL, "-n", "1", "--binary", BINARY, "--shaders", os.path.join(self.dir, "small"),
                              "--json", saved, "--stall-timeout", "30", "softpipe"],
                             env=self.env, capture_output=True, text=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual((noted(marker), decoy.poll()), ("started\nwindow\n", None), "the decoy got a key or a close")
        document = json.loads(pathlib.Path(saved).read_text())
        self.assertEqual([len(r["runs"][0]["program_ms"]) for r in document["results"]], [1000])
        return document["display"]

    def test_on_a_framing_desktop(self):
        twmrc = os.path.join(self.dir, "twmrc")
        pathlib.Path(twmrc).write_text("RandomPlacement\nNoGrabServer\n")  # place windows without a mouse, never grab
        self.assertEqual(self.compare_next_to_a_decoy(["twm", "-f", twmrc]), {
            "name": self.display.name, "private": False, "window_manager": "unnamed", "compositor": False,
            "windows_found_by": "X-Resource"})

    def test_on_a_compositing_desktop(self):
        self.assertEqual(self.compare_next_to_a_decoy(["openbox"], ["xcompmgr"]), {
            "name": self.display.name, "private": False, "window_manager": "Openbox", "compositor": True,
            "windows_found_by": "X-Resource"})

    def test_a_private_server_refuses_a_client_without_its_cookie_and_is_not_reset_when_its_last_client_goes(self):
        # A reset wipes the root's properties; a client connecting during one is refused.
        with desktop.connect(self.display) as d:  # with the cookie
            d.screen().root.change_property(d.intern_atom("SHADERBENCH_KEPT"), Xatom.STRING, 8, b"kept")
            d.sync()
        for xauthority in (os.devnull, os.path.join(self.dir, "none")):  # refused, or cut off
            self.assertRaises(desktop.X_ERRORS,
                              desktop.connect(desktop.Display(self.display.name, xauthority, True)).__enter__)
        other_user = subprocess.run(["runuser", "-u", "nobody", "--", sys.executable, "-c",
                                     "from Xlib import display; display.Display(%r)" % self.display.name],
                                    capture_output=True, text=True, timeout=30)
        self.assertRegex(other_user.stderr, "Authorization required|ConnectionResetError")
        self.assertEqual(os.stat(os.path.dirname(self.display.xauthority)).st_mode & 0o777, 0o700)
        time.sleep(0.5)  # the moment a reset would take place: only its absence is asserted
        with desktop.connect(self.display) as d:
            kept = d.screen().root.get_full_property(d.intern_atom("SHADERBENCH_KEPT"), Xatom.STRING)
            self.assertEqual(kept and kept.value, b"kept")


if __name__ == "__main__":
    unittest.main(verbosity=2)
