"""The package's layout: its modules import, none imports one that imports
it back, docs/development.md maps each, and the subcommands that read saved
files run where X and apitrace cannot be loaded."""

import ast
import gzip
import importlib
import os
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
    with open(path) as f:
        tree = ast.parse(f.read())
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            base = package[:len(package) - node.level + 1] if node.level else []
            base = base + (node.module.split(".") if node.module else [])
            for alias in node.names:  # a module of a package, or a name in a module
                target = ".".join(base + [alias.name])
                found.add(target if target in known else ".".join(base))
        elif isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
    return {target for target in found if target in known and target != name}


def cycle(graph):
    """A list of modules each importing the next and the last the first, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for target in sorted(graph[node]):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state:
                found = visit(target, path + [target])
                if found:
                    return found
        state[node] = "done"

    for node in sorted(graph):
        found = node not in state and visit(node, [node])
        if found:
            return found
    return None


class Layout(unittest.TestCase):

    def test_every_module_imports_and_none_imports_itself_back(self):
        known = modules()
        for name in known:
            importlib.import_module(name)
        graph = {name: imported(name, path, known) for name, path in known.items()}
        self.assertEqual(cycle(graph), None)
        self.assertEqual(cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}}), ["a", "b", "c", "a"])  # it finds one

    def test_the_module_map_names_every_module_and_only_those(self):
        with open(os.path.join(ROOT, "docs", "development.md")) as f:
            listed = set(re.findall(r"^- `([\w/]+\.py)`:", f.read(), re.M))
        present = {os.path.relpath(path, PACKAGE) for path in modules().values() if not path.endswith("__init__.py")}
        self.assertEqual((sorted(present - listed), sorted(listed - present)), ([], []))

    def test_saved_results_are_read_without_x_or_apitrace(self):
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(work, "sitecustomize.py"), "w") as f:
                f.write("import sys\nsys.modules.update(dict.fromkeys(%r))\n" % (NOT_LOADABLE,))
            saved = os.path.join(work, "s.json")
            with gzip.open(os.path.join(ROOT, "tests", "tools", "data", "small-softpipe-llvmpipe.json.gz")) as f, \
                    open(saved, "wb") as out:
                shutil.copyfileobj(f, out)
            env = dict(os.environ, PYTHONPATH=work + os.pathsep + TOOLS, PYTHONDONTWRITEBYTECODE="1")
            probe = subprocess.run([sys.executable, "-c", "import Xlib"], env=env, capture_output=True, text=True)
            self.assertIn("halted", probe.stderr)  # the blocker works
            for args, status in ((["report", saved, "--csv", os.path.join(work, "t.csv")], 0),
                                 (["--report", saved], 0), (["diff", saved, saved], 0), (["--diff", saved, saved], 0),
                                 (["calibrate", saved], 2)):  # two rounds: refused, after its modules are loaded
                run = subprocess.run([sys.executable, os.path.join(TOOLS, "compare"), *args], env=env,
                                     capture_output=True, text=True, cwd=work)
                self.assertEqual((run.returncode, "Traceback" in run.stderr), (status, False), (args, run.stderr))


if __name__ == "__main__":
    unittest.main()
