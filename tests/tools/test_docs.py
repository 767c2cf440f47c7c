"""docs/usage.md shows each command's -h as the parsers print it now:
tools/usage-doc --check fails when a parser changed and the page did not."""

import os
import pathlib
import re
import subprocess
import tempfile
import unittest

from sbench import compare
from test_compare import ROOT

PAGE = os.path.join(ROOT, "docs", "usage.md")


def usage_doc(*argv):
    return subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tools", "usage-doc"), *argv], capture_output=True,
                          text=True)


class UsagePage(unittest.TestCase):
    def test_the_page_holds_every_commands_current_help_and_a_stale_block_is_reported_then_rewritten(self):
        page = pathlib.Path(PAGE).read_text()
        for args in ["compare", "run-headless"] + ["compare " + name for name in compare.COMMAND_NAMES]:
            self.assertIn("<!-- help: %s -->" % args, page)
        done = usage_doc("--check")
        self.assertEqual((done.returncode, done.stderr), (0, ""), "regenerate with tools/usage-doc")
        directory = self.enterContext(tempfile.TemporaryDirectory(prefix="shaderbench-docs-"))
        stale = os.path.join(directory, "usage.md")
        block = page.index("<!-- help: compare run -->")
        pathlib.Path(stale).write_text(page[:block] + page[block:].replace("```text\n", "```text\nan older help\n", 1))
        done = usage_doc("--check", stale)
        self.assertEqual((done.returncode, done.stderr.count("\n")), (1, 1), done.stderr)
        self.assertIn("the help of compare run differs", done.stderr)
        self.assertEqual(usage_doc(stale).returncode, 0)
        self.assertEqual(pathlib.Path(stale).read_text(), page)

    def test_compare_h_gives_each_status_a_subcommand_ends_with_and_names_it(self):
        statuses = dict(re.findall(r"^  (\d+) +(.*(?:\n  {5}.*)*)", compare.__doc__, re.M))
        for name in compare.COMMAND_NAMES:
            own = re.search(r"^Exit status:(.*?)(?:\n\n|\Z)", compare.command(name).__doc__, re.M | re.S)
            for status in set(re.findall(r"\b\d+\b", own.group(1)) if own else ()) - {"0", "2", "130", "143", "129"}:
                self.assertRegex(statuses.get(status, ""), r"\b%s\b(?!s)" % name, (name, status))


if __name__ == "__main__":
    unittest.main()
