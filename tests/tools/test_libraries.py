"""Which GL and driver libraries a run really loaded: read from a process's maps (odd ones included), hashed,
checked when read back, and a real run through a forwarding libGL.so.1 that makes each link slower by a known delay."""

import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest

from sbench.presentation import report_page as report
from sbench.results import document as results, program_output as output
from sbench.running import desktop, libraries, observe
from sbench.system import proc
from test_compare import document, result
from test_faults import BINARY, FAKE, ToolCase

MAPS = b"""\
7f0000000000-7f0000001000 r--p 00000000 08:01 2001                       /usr/lib/x86_64-linux-gnu/libGL.so.1.7.0
7f0000001000-7f0000002000 r-xp 00001000 08:01 2001                       /usr/lib/x86_64-linux-gnu/libGL.so.1.7.0
7f0000002000-7f0000003000 r--p 00000000 08:01 2002                       /usr/lib/x86_64-linux-gnu/dri/swrast_dri.so
7f0000003000-7f0000004000 r--p 00000000 08:01 2003                       /usr/lib/x86_64-linux-gnu/libgallium-24.2.so
7f0000004000-7f0000005000 r--p 00000000 08:01 2004                       /usr/lib/x86_64-linux-gnu/libLLVM-15.so.1
7f0000005000-7f0000006000 r--p 00000000 08:01 2005                       /usr/lib/x86_64-linux-gnu/libc.so.6
7f0000006000-7f0000007000 r--p 00000000 08:01 2006                       /opt/my build/lib/libGL.so.1
7f0000007000-7f0000008000 r--p 00000000 08:01 2007                       /opt/my build/lib/helper.so\x20
7f0000008000-7f0000009000 r--p 00000000 08:01 2008                       /opt/my buildx/lib/libfoo.so
7f0000009000-7f000000a000 r--p 00000000 08:01 2009                       /home/u/x /usr/lib/libEGL.so.1
7f000000a000-7f000000b000 r--p 00000000 08:01 2010                  /usr/lib/x86_64-linux-gnu/libGLX_mesa.so.0 (deleted)
7f000000b000-7f000000c000 rw-p 00000000 00:00 0\x20
7f000000c000-7f000000d000 rw-s 00000000 00:01 3001                       /memfd:libGL_dri.so (deleted)
7f000000d000-7f000000e000 rw-s 00000000 00:05 3002                       /dev/dri/renderD128
7f000000e000-7f000000f000 rw-s 00000000 00:0e 3003                       anon_inode:libGL_dri.so
7f000000f000-7f0000010000 r--p 00000000 00:00 0                          /opt/my build/lib/inode_zero_dri.so
7f0000010000-7f0000011000 r--p 00000000 08:01 2011                       /opt/my build/lib/bad\xffname_dri.so
7f0000011000-7f0000012000 r--p 00000000 08:01 2012                       /opt/my build/lib/two\\012lines_dri.so
7f0000012000-7f0000013000 r--p 00000000 08:01 x2013                      /usr/lib/libGLX.so.0
garbage line libGL.so.1"""


class Maps(unittest.TestCase):

    def test_whole_files_of_gl_and_drivers_or_under_the_directories_named_from_a_file_or_a_live_process(self):
        self.assertEqual(libraries.parse_maps(MAPS, ["/opt/my build"]), [
            "/home/u/x /usr/lib/libEGL.so.1",  # a space in a name is the name's, not a field's end
            "/opt/my build/lib/helper.so ", "/opt/my build/lib/libGL.so.1",
            "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "/usr/lib/x86_64-linux-gnu/libGL.so.1.7.0",
            "/usr/lib/x86_64-linux-gnu/libLLVM-15.so.1", "/usr/lib/x86_64-linux-gnu/libgallium-24.2.so"])
        # A gone process's are unknown, and its memory unsampled (below).
        with tempfile.TemporaryDirectory() as work:
            link = os.path.join(work, "bin")
            os.symlink(os.path.dirname(os.path.realpath(sys.executable)), link)
            self.assertIn(os.path.realpath(sys.executable), libraries.mapped(os.getpid(), [link]))
            self.assertNotIn(os.path.realpath(sys.executable), libraries.mapped(os.getpid()))
        self.assertIsNotNone(observe.sample_process(os.getpid()))
        # Its memory as status tells it, of a process blocked in a read, whose memory stays put.
        with subprocess.Popen([sys.executable, "-c", "print(flush=True); input()"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE) as still:
            still.stdout.readline()
            kib = {line.split(":")[0]: int(line.split()[1]) for line in
                   pathlib.Path("/proc/%d/status" % still.pid).read_text().splitlines() if line.startswith("Vm")}
            self.assertEqual(observe.sample_process(still.pid)[:2], (kib["VmData"] + kib["VmStk"], kib["VmRSS"]))
            still.communicate(b"\n")
        gone = subprocess.Popen(["sleep", "10"])
        gone.kill()
        for reap in (lambda: os.waitid(os.P_PID, gone.pid, os.WEXITED | os.WNOWAIT), gone.wait):  # zombie, reaped
            reap()  # either way: no maps, no memory in its status
            self.assertEqual((libraries.mapped(gone.pid), observe.sample_process(gone.pid)), (None, None))
        self.assertEqual([proc.cpu_ns(gone.pid), proc.cpu_ns(os.getpid()) > 0], [None, True])

    def test_a_failed_run_keeps_them_once_it_got_as_far_as_its_first_program(self):
        under = os.path.dirname(os.path.realpath(sys.executable))  # the fake is a Python script
        with tempfile.TemporaryDirectory() as workdir, desktop.xserver(None) as display:
            # A hang, as the process is still there to be read once its line is (a crash may not be).
            for mode, kept in (("hang:3", [os.path.realpath(sys.executable)]), ("exit:-1", None)):
                _, failed = observe.run_once(FAKE, workdir, display, {"FAKE_BENCH": mode}, "off", False, 1, 1,
                                             libraries_under=[under])
                self.assertEqual([library["path"] for library in failed.get("libraries", [])] or None, kept, mode)

    def test_files_are_hashed_once_while_unchanged_and_what_is_no_file_is_left_out(self):
        with tempfile.TemporaryDirectory() as work:
            lib, fifo = os.path.join(work, "libGL.so.1"), os.path.join(work, "fifo_dri.so")
            pathlib.Path(lib).write_bytes(b"first")
            os.mkfifo(fifo)  # opened, it would block a reader that waits for a writer
            first = hashlib.sha256(b"first").hexdigest()
            paths = [lib, fifo, work, os.path.join(work, "gone.so"), lib]
            self.assertEqual(libraries.described(paths), [{"path": lib, "sha256": first}] * 2)
            stamp = os.stat(lib).st_mtime_ns
            pathlib.Path(lib).write_bytes(b"other")
            os.utime(lib, ns=(stamp, stamp))  # to every stat the same file: the cache answers
            self.assertEqual(libraries.described([lib])[0]["sha256"], first)
            os.utime(lib, ns=(stamp, stamp + 1))
            self.assertEqual(libraries.described([lib])[0]["sha256"], hashlib.sha256(b"other").hexdigest())

    def test_a_run_that_loaded_nothing_from_the_prefix_is_named_with_what_it_loaded(self):
        system = [{"path": "/usr/lib/x86_64-linux-gnu/" + name, "sha256": "0" * 64}
                  for name in ("dri/swrast_dri.so", "libGLX.so.0.0.0", "libGL.so.1.7.0")]
        with tempfile.TemporaryDirectory() as work:
            os.symlink(os.path.join(work, "xy"), os.path.join(work, "link"))
            built = system + [{"path": os.path.join(os.path.realpath(work), "xy/lib/libGL.so.1"), "sha256": "1" * 64}]
            self.assertIsNone(libraries.outside(built, os.path.join(work, "link")))
            self.assertIsNone(libraries.outside(built, os.path.join(work, "xy", "")))
            elsewhere = os.path.join(work, "x")  # a prefix of the text of the path, not of the path
            self.assertEqual(libraries.outside(built, elsewhere),
                             "loaded nothing from %s: libGL.so.1.7.0 came from /usr/lib/x86_64-linux-gnu/"
                             "libGL.so.1.7.0, libGL.so.1 from %s" % (elsewhere, built[-1]["path"]))
            self.assertIn("not recorded", libraries.outside(None, elsewhere))
            self.assertIn("no GL library at all", libraries.outside([], elsewhere))


class ReadBack(unittest.TestCase):

    def test_a_libraries_field_is_checked_and_files_without_one_still_load(self):
        good = {"path": "/usr/lib/libGL.so.1", "sha256": "ab" * 32}
        cases = [  # libraries, what the error says (None: loads)
            ([good, dict(good, path="/opt/a b/libGL.so.1 ")], None),
            (None, None),
            ("libGL", "runs[0].libraries should be a list"),
            (["/usr/lib/libGL.so.1"], "runs[0].libraries[0] should be an object"),
            ([dict(good, path="libGL.so.1")], "runs[0].libraries[0].path should be an absolute, printable path"),
            ([dict(good, path="/a\nb")], "libraries[0].path should be an absolute"),
            ([dict(good, path="/" * 4097)], "at most 4096 characters"),
            ([dict(good, path=7)], "libraries[0].path should be text"),
            ([dict(good, sha256="AB" * 32)], "libraries[0].sha256 should be 64 lowercase hexadecimal digits"),
            ([dict(good, sha256="ab" * 32 + "\n")], "64 lowercase hexadecimal digits"),
            ([{"path": "/x"}], "libraries[0] has no 'sha256'"),
            ([good] * 1001, "holds 1001 libraries, more than a run records (1000)")]
        for found, error in cases:
            with self.subTest(error=error):
                checked = result("a", "p1", [1000], [50])
                checked["runs"][0]["libraries"] = found
                checked["failed_runs"] = [{"run": 2, "reason": "crashed (SIGSEGV)", "programs": 3, "progress_s": None}]
                text = json.dumps(document([checked]))
                if error is None:
                    self.assertEqual(results.loads(text, "r.json")["results"][0]["runs"][0]["libraries"], found)
                    continue
                with self.assertRaisesRegex(results.ResultsError, r"^r\.json: results\[0\]\..*%s" % re.escape(error)):
                    results.loads(text, "r.json")
                checked["failed_runs"][0]["libraries"], checked["runs"][0]["libraries"] = found, [good]
                with self.assertRaisesRegex(results.ResultsError, r"results\[0\]\.failed_runs\[0\]\.libraries"):
                    results.loads(json.dumps(document([checked])), "r.json")


LINK_DELAY_US = 2000  # over the pair's 1000 links, 2 s: far above what a run of it varies by
# A libGL.so.1 that forwards to the system's but spends a set delay in each glLinkProgram: a known slowdown.
FORWARD_GL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "forward_gl.c")


class ThroughAForwardingLibrary(ToolCase):

    def test_a_run_records_the_library_it_loaded_and_the_delay_built_into_it_slows_every_link(self):
        arch = subprocess.run(["cc", "-print-multiarch"], capture_output=True, text=True, check=True).stdout.strip()
        built = {name: os.path.join(os.path.realpath(self.dir), name, "lib") for name in ("zero", "slow")}
        for directory, delay in zip(built.values(), (0, LINK_DELAY_US)):
            os.makedirs(directory)
            subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-Wall", "-Werror", "-DLINK_DELAY_US=%d" % delay,
                            '-DREAL_LIBGL="%s"' % os.path.join("/usr/lib", arch, "libGL.so.1"), "-o",
                            os.path.join(directory, "libGL.so.1"), FORWARD_GL, "-ldl"], check=True)
        # The tool first asks glxinfo -B for each renderer, through the same library. On softpipe: the same
        # libraries, in half llvmpipe's time.
        status, _, err = self.tool("-n", "1", "--json", self.json, *["%s:LD_LIBRARY_PATH=%s,GALLIUM_DRIVER=softpipe"
                                                                     % item for item in built.items()], binary=BINARY)
        self.assertEqual(status, 0, err)
        self.assert_nothing_left()
        loaded = results.load(self.json)
        found = {r["configuration"]: r for r in loaded["results"]}
        shown = {c["name"]: c["libraries"] for c in report.provenance(loaded, self.json)["configurations"]}
        self.assertEqual([r["renderer"].split()[0] for r in found.values()], ["softpipe"] * 2)
        for name, directory in built.items():
            (record,) = found[name]["runs"]
            paths = [library["path"] for library in record["libraries"]]
            ours = os.path.join(directory, "libGL.so.1")
            digest = hashlib.sha256(pathlib.Path(ours).read_bytes()).hexdigest()
            self.assertIn({"path": ours, "sha256": digest}, record["libraries"])
            self.assertIn("%s %s" % (ours, digest[:12]), shown[name])  # the page names them, per configuration
            self.assertTrue(any(os.path.basename(p).startswith("libGL.so.1") and not p.startswith(directory)
                                for p in paths), paths)  # the real one, beside it
            self.assertTrue(any(p.endswith("_dri.so") or "libgallium" in os.path.basename(p) for p in paths), paths)
        # Every link waits the delay, busy, whatever else the machine does: a floor, and a margin over no delay.
        slow, zero = found["slow"]["runs"][0]["ms"], found["zero"]["runs"][0]["ms"]
        delay_ms = LINK_DELAY_US * output.PROGRAMS / 1000
        self.assertGreaterEqual(slow, delay_ms)
        self.assertGreater(slow - zero, delay_ms / 2, (slow, zero))


if __name__ == "__main__":
    unittest.main(verbosity=2)
