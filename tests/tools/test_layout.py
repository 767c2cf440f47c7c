"""The package's layout: its modules import, none imports one that imports
it back, docs/development.md maps each, and the subcommands that read saved
files run where X and apitrace cannot be loaded."""

import ast
import graphlib
import gzip
import importlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(ROOT, "tools")
PACKAGE = os.path.join(TOOLS, "sbench")
# Put in sys.modules as None, an import of it fails: X's client library, and what starts apitrace.
NOT_LOADABLE = ("Xlib", "sbench.running.replay")
# The packages in layers, lowest first: a module imports from its own package and from those below it only.
LAYERS = (("system",), ("analysis",), ("results",), ("presentation",), ("corpus",), ("running",),
          ("bisection", "history"), ("commands",), ("sbench", "compare"))


def modules():
    """{dotted name: path} of every module of the package."""
    found = {}
    for directory, _, files in os.walk(PACKAGE):
        for name in files:
            if name.endswith(".py"):
                parts = os.path.relpath(os.path.join(directory, name), TOOLS)[:-3].split(os.sep)
                found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = os.path.join(directory, name)
    return found


def imported(name, path, known):
    """The package's modules that module name imports, at its top or inside a function."""
    package = name.split(".") if path.endswith("__init__.py") else name.split(".")[:-1]
    found = set()
    for node in ast.walk(ast.parse(pathlib.Path(path).read_text())):
        if isinstance(node, ast.ImportFrom):
            base = package[:len(package) - node.level + 1] if node.level else []
            base = base + (node.module.split(".") if node.module else [])
            for alias in node.names:  # a module of a package, or a name in a module
                target = ".".join(base + [alias.name])
                found.add(target if target in known else ".".join(base))
        elif isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
    return {target for target in found if target in known and target != name}


class Layout(unittest.TestCase):

    def test_every_module_imports_none_imports_itself_back_and_each_package_only_those_below_it(self):
        known = modules()
        for name in known:
            importlib.import_module(name)
        graph = {name: imported(name, path, known) for name, path in known.items()}
        try:
            graphlib.TopologicalSorter(graph).prepare()
        except graphlib.CycleError as error:
            self.fail("each imports the next: %s" % " -> ".join(error.args[1]))
        layer = {package: i for i, packages in enumerate(LAYERS) for package in packages}
        of = {name: name.split(".")[1] if "." in name else name for name in known}
        self.assertEqual(sorted(set(of.values()) - set(layer)), [], "a package with no layer")
        upward = sorted("%s imports %s" % (name, target) for name, targets in graph.items() for target in targets
                        if of[target] != of[name] and layer[of[target]] >= layer[of[name]])
        self.assertEqual(upward, [])

    def test_the_module_map_names_every_module_and_only_those(self):
        listed = set(re.findall(r"^- `([\w/]+\.py)`:", pathlib.Path(ROOT, "docs", "development.md").read_text(), re.M))
        present = {os.path.relpath(path, PACKAGE) for path in modules().values() if not path.endswith("__init__.py")}
        self.assertEqual((sorted(present - listed), sorted(listed - present)), ([], []))
        summary = importlib.import_module("sbench").__doc__  # and the package's own summary names each part
        self.assertEqual([p for p in {path.split("/")[0] for path in present if "/" in path}
                          if not re.search(r"\b%s\s+\(" % p, summary)], [])

    def test_saved_results_are_read_without_x_or_apitrace(self):
        # One interpreter for all: what the first command loaded stays loaded, and X stays unloadable.
        script = ("import contextlib, io, json, sys\nsys.modules.update(dict.fromkeys(%r))\n"
                  "from sbench import compare\n"
                  "for args in sys.argv[2:]:\n    with contextlib.redirect_stdout(io.StringIO()):\n"
                  "        print(compare.main(json.loads(args), sys.argv[1]), file=sys.stderr)\nimport Xlib\n"
                  % (NOT_LOADABLE,))
        with tempfile.TemporaryDirectory() as work:
            saved = os.path.join(work, "s.json")
            with gzip.open(os.path.join(ROOT, "tests", "tools", "data", "small-softpipe-llvmpipe.json.gz")) as f, \
                    open(saved, "wb") as out:
                shutil.copyfileobj(f, out)
            commands = [["report", saved, "--csv", os.path.join(work, "t.csv")], ["--report", saved],
                        ["diff", saved, saved], ["--diff", saved, saved],
                        ["calibrate", saved]]  # two rounds: refused, after its modules are loaded
            run = subprocess.run([sys.executable, "-c", script, TOOLS, *map(json.dumps, commands)],
                                 env=dict(os.environ, PYTHONPATH=TOOLS), capture_output=True, text=True, cwd=work)
        # Each status, then the blocker at work on an import of X (the last).
        self.assertEqual(re.findall(r"^\d+$", run.stderr, re.M), ["0", "0", "0", "0", "2"], run.stderr)
        self.assertIn("ModuleNotFoundError: import of Xlib halted", run.stderr)

    def test_a_python_without_numpy_is_told_so_in_one_line(self):
        # -S: without the site directories, where NumPy and every module beyond the standard library lie.
        run = subprocess.run([sys.executable, "-S", os.path.join(TOOLS, "compare"), "--help"], capture_output=True,
                             text=True, env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
        self.assertEqual((run.returncode, run.stdout, run.stderr), (2, "", "compare: NumPy (Python's numpy module) is "
                         "missing from %s: the Debian package python3-numpy brings it\n" % sys.executable))


if __name__ == "__main__":
    unittest.main()
