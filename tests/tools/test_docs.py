"""docs/usage.md shows each command's -h as the parsers print it now:
tools/usage-doc --check fails when a parser changed and the page did not."""

import os
import shutil
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
        with open(PAGE) as f:
            page = f.read()
        for args in ["compare", "run-headless"] + ["compare " + name for name in compare.COMMAND_NAMES]:
            self.assertIn("<!-- help: %s -->" % args, page)
        done = usage_doc("--check")
        self.assertEqual((done.returncode, done.stderr), (0, ""), "regenerate with tools/usage-doc")
        directory = tempfile.mkdtemp(prefix="shaderbench-docs-")
        self.addCleanup(shutil.rmtree, directory)
        stale = os.path.join(directory, "usage.md")
        block = page.index("<!-- help: compare run -->")
        with open(stale, "w") as f:
            f.write(page[:block] + page[block:].replace("```text\n", "```text\nan older option\n", 1))
        done = usage_doc("--check", stale)
        self.assertEqual((done.returncode, done.stderr.count("\n")), (1, 1), done.stderr)
        self.assertIn("the help of compare run differs", done.stderr)
        self.assertEqual(usage_doc(stale).returncode, 0)
        with open(stale) as f:
            self.assertEqual(f.read(), page)


if __name__ == "__main__":
    unittest.main()
