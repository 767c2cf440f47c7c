"""What the benchmark does with the shader files it is given."""

import os
import unittest

from support import (FAILED_PROGRESS, FRAGMENT_FILE, PROGRESS, REPORT, SMALL_FRAGMENT,
                     SMALL_VERTEX, VERTEX_FILE, XTestCase)

MAX_SOURCE_LENGTH = 0x100000 - 41


def padded(source, length):
    """source followed by a comment line that brings it to exactly length bytes."""
    filler = length - len(source) - 3
    return source + b"//" + b"x" * filler + b"\n"


class ShaderInputs(XTestCase):

    def run_and_escape(self):
        """A run that reaches its report; returns everything printed."""
        proc, reader, out = self.run_to_report()
        self.escape()
        status, rest, err = self.finish(proc, reader)
        self.assertEqual((status, rest, err), (0, b"", b""))
        return out

    def assert_clean_run(self, out):
        self.assertTrue(out.startswith(PROGRESS), out[:300])
        self.assertRegex(out[len(PROGRESS):], REPORT)

    def assert_refused(self, expected_stdout):
        proc, reader = self.start()
        status, out, err = self.finish(proc, reader)
        self.assertEqual((status, out, err), (1, expected_stdout, b""))

    def test_a_pair_that_does_not_link_runs_every_iteration(self):
        self.write_shaders(fragment=b"#version 110\nvoid mane()\n{\n}\n")
        out = self.run_and_escape()
        self.assertTrue(out.startswith(FAILED_PROGRESS), out[:300])
        self.assertRegex(out[len(FAILED_PROGRESS):], REPORT)

    def test_empty_files_compile_as_the_stamp_alone_and_fail_to_link(self):
        self.write_shaders(b"", b"")
        out = self.run_and_escape()
        self.assertTrue(out.startswith(FAILED_PROGRESS), out[:300])

    def test_text_after_a_nul_never_reaches_the_driver(self):
        self.write_shaders(SMALL_VERTEX + b"\0 this is not GLSL {{{", SMALL_FRAGMENT + b"\0\0 nor this")
        self.assert_clean_run(self.run_and_escape())

    def test_crlf_sources_and_a_missing_final_newline_are_fine(self):
        self.write_shaders(SMALL_VERTEX.replace(b"\n", b"\r\n"),
                           SMALL_FRAGMENT.rstrip(b"\n") + b" // ends in a comment, no newline")
        self.assert_clean_run(self.run_and_escape())

    def test_a_source_that_exactly_fills_the_working_buffer_runs(self):
        self.write_shaders(padded(SMALL_VERTEX, MAX_SOURCE_LENGTH), SMALL_FRAGMENT)
        self.assert_clean_run(self.run_and_escape())

    def test_one_byte_more_is_refused_before_the_loop(self):
        self.write_shaders(SMALL_VERTEX, padded(SMALL_FRAGMENT, MAX_SOURCE_LENGTH + 1))
        self.assert_refused(b"Shader source too large\n")

    def test_each_missing_file_is_reported_vertex_first(self):
        for vertex, fragment, lines in ((None, SMALL_FRAGMENT, 1), (SMALL_VERTEX, None, 1), (None, None, 2)):
            with self.subTest(vertex=vertex is not None, fragment=fragment is not None):
                for name in (VERTEX_FILE, FRAGMENT_FILE):
                    path = os.path.join(self.dir, "shaders", name)
                    if os.path.exists(path):
                        os.remove(path)
                self.write_shaders(vertex, fragment)
                self.assert_refused(b"Unable to load file\n" * lines)

    def test_no_shaders_directory_at_all(self):
        self.assert_refused(b"Unable to load file\n" * 2)

    def test_the_vertex_file_is_read_before_the_fragment_file_and_each_once(self):
        self.write_shaders(vertex=None, fragment=None)
        log = os.path.join(self.dir, "opens.log")
        proc, reader = self.start(wrapper=("strace", "-f", "-qq", "-e", "trace=openat", "-o", log))
        self.assertEqual(self.finish(proc, reader)[:2], (1, b"Unable to load file\n" * 2))
        with open(log) as f:
            opens = [name for line in f for name in (VERTEX_FILE, FRAGMENT_FILE) if name in line]
        self.assertEqual(opens, [VERTEX_FILE, FRAGMENT_FILE])

    def test_a_directory_where_a_file_should_be(self):
        self.write_shaders(fragment=None)
        os.mkdir(os.path.join(self.dir, "shaders", FRAGMENT_FILE))
        self.assert_refused(b"Unable to load file\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
