"""The Debian package: reproducible, clean under lintian, installable, its dependencies following what the tool
imports, starts and reads, its manual pages rendering without a warning, and a comparison run from it."""

import ast
import glob
import gzip
import importlib.util
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
SOURCES = [os.path.join(ROOT, "tools", "compare"), os.path.join(ROOT, "tools", "run-headless")] + sorted(
    glob.glob(os.path.join(ROOT, "tools", "sbench", "**", "*.py"), recursive=True))
# Where the tool starts a program: the list or tuple given to these calls, or as a wrapper.
STARTERS = {"run", "Popen", "call", "check_call", "check_output", "which", "child"}
WORK = DEB = None
CHECKS = {}  # the slow checks (lintian, apt, the second build), started with the module: name: (process, output)


def setUpModule():
    global WORK, DEB
    WORK = unittest.enterModuleContext(tempfile.TemporaryDirectory(prefix="sbench-package-test-"))
    subprocess.run(build_command("first"), check=True, stdout=subprocess.DEVNULL)
    DEB = packed("first")
    # Its temporary files (lintian's mldbm-*) go to the test's own directory, which is removed.
    for name, argv in (("lintian", ["lintian", "--fail-on", "error", DEB]),
                       ("apt", ["apt-get", "install", "--simulate", DEB]), ("again", build_command("second"))):
        with open(os.path.join(WORK, name + ".out"), "w") as out:
            CHECKS[name] = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, text=True,
                                            env=dict(os.environ, TMPDIR=WORK)), out.name
        unittest.addModuleCleanup(CHECKS[name][0].wait)
        unittest.addModuleCleanup(CHECKS[name][0].kill)


def build_command(name):
    """The command that packs the build tree as `--target package` does, into WORK/name."""
    return ["cpack", "--config", os.environ["SHADERBENCH_CPACK_CONFIG"], "-B", os.path.join(WORK, name)]


def packed(name):
    (deb,) = glob.glob(os.path.join(WORK, name, "*.deb"))
    return deb


def checked(name):
    """(status, output) of a check started with the module."""
    proc, path = CHECKS[name]
    proc.wait(timeout=300)
    return proc.returncode, pathlib.Path(path).read_text()


def control(field):
    return subprocess.run(["dpkg-deb", "-f", DEB, field], check=True, capture_output=True, text=True).stdout


def package_names(relations):
    """Every package a Depends-style field names, alternatives included."""
    return {re.split(r"[\s(:]", alternative.strip())[0]
            for relation in relations.split(",") if relation.strip() for alternative in relation.split("|")}


def owners(paths):
    """{path: (the Debian package that installed it, whether that is Essential)}."""
    found = {path: [path, os.path.realpath(path)] for path in paths}  # dpkg may know /usr/bin/x as /bin/x
    listed = subprocess.run(["dpkg", "-S"] + sorted({p for names in found.values() for p in names}),
                            capture_output=True, text=True).stdout
    holder = {line.split(": ", 1)[1]: line.split(":")[0] for line in listed.splitlines()}
    packages = {path: next((holder[p] for p in names if p in holder), None) for path, names in found.items()}
    assert None not in packages.values(), "no package holds some of %s" % packages
    fields = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Essential}\n"] + sorted(set(packages.values())),
                            check=True, capture_output=True, text=True).stdout.split()
    essential = {name for name, flag in zip(fields[::2], fields[1::2]) if flag == "yes"}
    return {path: (package, package in essential) for path, package in packages.items()}


def needs(tree):
    """(modules imported, programs started, absolute paths read) of one parsed source."""
    imported, programs, paths = set(), set(), set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import) or (isinstance(node, ast.ImportFrom) and not node.level):
            names = [alias.name for alias in node.names] if isinstance(node, ast.Import) else [node.module]
            imported.update(name.split(".")[0] for name in names)
        elif isinstance(node, ast.Call):
            name = node.func.attr if isinstance(node.func, ast.Attribute) else getattr(node.func, "id", "")
            given = (node.args[:1] if name in STARTERS else []) + [k.value for k in node.keywords if k.arg == "wrapper"]
            for value in given:
                first = value.elts[0] if isinstance(value, (ast.List, ast.Tuple)) and value.elts else value
                if isinstance(first, ast.Constant) and isinstance(first.value, str):
                    programs.add(first.value)
        elif isinstance(node, ast.Constant) and re.fullmatch(r"/usr/\S+", str(node.value)):
            paths.add(node.value)
    return imported, programs, paths


def tool_needs():
    """What the tool needs: the modules it imports that a plain comparison of the extracted package loads,
    the rest of the modules it imports, programs it starts, files it reads."""
    loaded = {line.rsplit("|", 1)[1].strip().split(".")[0] for line in comparison().stderr.splitlines()
              if line.startswith("import time:")}
    found = [needs(ast.parse(pathlib.Path(source).read_text())) for source in SOURCES]
    some, programs, paths = (set().union(*column) for column in zip(*found))
    some -= set(sys.stdlib_module_names) | {"sbench"}
    return some & loaded, some - loaded, programs, paths


def comparison():
    """The extracted package's comparison of softpipe in WORK/out (once), with what it imported."""
    out = os.path.join(WORK, "out")
    if not os.path.isdir(out):
        pair = os.path.join(out, "pair")
        os.makedirs(pair)
        for name, line in (("vs", "void main() { gl_Position = gl_Vertex; }"),
                           ("ps", "void main() { gl_FragColor = vec4(1.0); }")):
            pathlib.Path(pair, "largeShaderExample_%s_source.txt" % name).write_text(line + "\n")
        comparison.ran = compare("-n", "1", "softpipe", "--shaders", pair, "--json", "r.json", "--csv", "r.csv",
                                 python=["/usr/bin/python3", "-X", "importtime"])
    return comparison.ran


def compare(*argv, python=()):
    """The extracted shaderbench-compare run in WORK/out, with nothing of ours in its environment."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "XAUTHORITY", "PYTHONPATH", "SHADERBENCH")}
    return subprocess.run([*python, extracted("usr/bin/shaderbench-compare"), *argv], cwd=os.path.join(WORK, "out"),
                          env=env, capture_output=True, text=True, timeout=300)


class Package(unittest.TestCase):

    def test_the_same_bytes_twice_named_after_the_last_commit_clean_under_lintian_and_installable_by_apt(self):
        (again, rebuilt), (lint, warnings), (apt, simulated) = map(checked, ("again", "lintian", "apt"))
        print(warnings, end="")  # lintian's, for the log
        self.assertEqual((again, lint, apt), (0, 0, 0), rebuilt + warnings + simulated)
        self.assertRegex(simulated, r"(?m)^Inst shaderbench ")
        self.assertTrue(pathlib.Path(DEB).read_bytes() == pathlib.Path(packed("second")).read_bytes(), "builds differ")
        when, short = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%cd %h", "--abbrev=7",
                                      "--date=format-local:%Y%m%d.%H%M%S"], env={**os.environ, "TZ": "UTC"},
                                     check=True, capture_output=True, text=True).stdout.split()
        version = control("Version").strip()
        # The commit's time first: dpkg orders it after the release and the commit before.
        self.assertRegex(version, r"^\d+\.\d+\.\d+\+git%s\.%s$" % (re.escape(when), short))
        self.assertEqual(os.path.basename(DEB), "shaderbench_%s_amd64.deb" % version)
        with gzip.open(extracted("usr/share/doc/shaderbench/changelog.gz"), "rt") as f:
            self.assertTrue(f.readline().startswith("shaderbench (%s) " % version))

    def test_dependencies_cover_imports_programs_and_files(self):
        depends, recommends = package_names(control("Depends")), package_names(control("Recommends"))
        every, some, programs, paths = tool_needs()
        self.assertTrue({"numpy", "Xlib"} <= every and {"jinja2"} <= some, (every, some))
        self.assertTrue({"Xvfb", "glxinfo", "apitrace"} <= programs, programs)
        located = {m: importlib.util.find_spec(m) for m in every | some}
        where = {p: shutil.which(p) for p in programs}
        self.assertNotIn(None, [*located.values(), *where.values()], ("not installed here", located, where))
        # What, its path, and whether every run needs it.
        wanted = [("module " + m, module.origin, m in every) for m, module in located.items()]
        wanted += [("program " + p, w, False) for p, w in where.items()] + [("file " + f, f, False) for f in paths]
        # The libraries the binary links directly, which dpkg-shlibdeps must have found.
        shown = [subprocess.check_output([*argv, extracted("usr/bin/shaderbench")], text=True)
                 for argv in (["objdump", "-p"], ["ldd"])]
        linked = re.findall(r"NEEDED\s+(\S+)", shown[0])
        found = dict(re.findall(r"(?m)^\s*(\S+) => (/\S+)", shown[1]))
        self.assertIn("libglfw.so.3", linked)
        # Stripped, the benchmark still names its loop for the counter, which the package carries.
        self.assertIn(" T _Z21run_compile_link_loop", subprocess.check_output(
            ["nm", "-D", extracted("usr/bin/shaderbench")], text=True))
        subprocess.run([extracted("usr/lib/shaderbench/shaderbench-count"), "probe", "task-clock"], check=True)
        wanted += [("library " + name, found[name], True) for name in linked]
        held = owners([path for _, path, _ in wanted])
        for what, path, every_run in wanted:
            package, essential = held[path]
            if not essential:
                self.assertIn(package, depends if every_run else depends | recommends, "%s (%s): not in %s" % (
                    package, what, "Depends, as every run needs it" if every_run else "Depends or Recommends"))

    def test_manual_pages_render_without_a_warning(self):
        commands = sorted(os.listdir(extracted("usr/bin")))
        self.assertEqual(commands, ["shaderbench", "shaderbench-compare"])
        for command in commands:
            page = extracted("usr/share/man/man1/%s.1.gz" % command)
            header = pathlib.Path(page).read_bytes()[:10]
            self.assertEqual((header[3] & 0x08, header[4:8]), (0, b"\0\0\0\0"), "%s: gzip without -n" % page)
            shown = subprocess.run(["man", "--warnings", "-l", page], env={**os.environ, "MANWIDTH": "80"},
                                   capture_output=True, text=True)
            self.assertEqual((shown.returncode, shown.stderr), (0, ""), page)
            self.assertRegex(shown.stdout, r"SYNOPSIS\n +%s\b" % re.escape(command))
            if command == "shaderbench-compare":  # its -h, and run's, which takes every other one's options
                for argv in (["-h"], ["run", "-h"]):
                    helped = subprocess.run([extracted("usr/bin/shaderbench-compare")] + argv,
                                            env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
                                            check=True, capture_output=True, text=True).stdout
                    options = [set(re.findall(r"--[a-z][a-z-]+", text)) for text in (helped, shown.stdout)]
                    self.assertLessEqual(options[0], options[1], "options of %s not on the page" % " ".join(argv))
                    for name in re.findall(r"(?m)^    (\w+)", helped) if argv == ["-h"] else []:
                        self.assertRegex(shown.stdout, r"\n +%s:\n +shaderbench-compare +%s " % (name, name))

    def test_the_extracted_package_runs_a_comparison(self):
        out, ran = pathlib.Path(WORK, "out"), comparison()
        self.assertEqual(ran.returncode, 0, ran.stdout + ran.stderr)
        document = json.loads((out / "r.json").read_text())
        self.assertEqual(document["plan"]["binary"]["path"], extracted("usr/bin/shaderbench"))
        self.assertEqual([len(r["runs"]) for r in document["results"]], [1])
        self.assertIn("softpipe", (out / "r.csv").read_text())
        paged = compare("report", "r.json", "--html", "r.html")
        self.assertEqual(paged.returncode, 0, paged.stderr)
        self.assertIn("</html>", (out / "r.html").read_text())
        # Without --shaders it takes the installed pair: writing over it is refused, naming it.
        sample = extracted("usr/share/shaderbench/shaders/largeShaderExample_vs_source.txt")
        refused = compare("llvmpipe", "--csv", sample)
        self.assertEqual(refused.returncode, 2, refused.stderr)
        self.assertIn("is the same file as --shaders %s" % sample, refused.stderr)


def extracted(path):
    """A path in the package's files, unpacked once with dpkg -x."""
    tree = os.path.join(WORK, "root")
    if not os.path.isdir(tree):
        subprocess.run(["dpkg", "-x", DEB, tree], check=True)
    return os.path.join(tree, path)


if __name__ == "__main__":
    unittest.main(verbosity=2)
