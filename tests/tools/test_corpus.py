"""Corpora: .shader_test files of every kind imported, hostile ones too; the seeded sample; a corpus run on the
fake benchmark, interrupted and resumed."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import unittest

from sbench.corpus import importer, selection, shader_test as st
from sbench.results import document as results
from test_faults import TOOL, ToolCase, read_lines, until

VS = b"void main()\n{\n\tgl_Position = vec4(0.0); // \xff odd byte\n}\n"
FS = b"void main() { gl_FragColor = vec4(1.0); }\n"
FS2 = b"void main() { gl_FragColor = vec4(0.5); }\n"
REQUIRE = b"[require]\nGLSL >= 1.30\n# a comment\nGL_ARB_gpu_shader5\n\n"
V130, V400 = b"#version 130\n", b"#version 400\n"
FILES = {  # name: (text, the pair's vertex and fragment shaders, or the reason it is skipped[, the same with
    # --version-from-require where that differs])
    "both": (REQUIRE + b"[vertex shader]\n" + VS + b"[fragment shader]\n" + FS + b"[test]\ndraw rect -1 -1 2 2\n",
             (VS, FS), (V130 + VS, V130 + FS)),
    "unversioned": (REQUIRE + b"[vertex shader]\n" + VS + b"[fragment shader]\n" + V130 + FS2, (VS, V130 + FS2),
                    (V130 + VS, V130 + FS2)),
    "unversioned_es": (b"[require]\nGLSL ES >= 3.00\n[vertex shader]\n" + VS + b"[fragment shader]\n" + FS2,
                       (VS, FS2), st.ES_UNVERSIONED),
    "required_passthrough": (b"[require]\nGLSL >= 4.0\n[vertex shader passthrough]\n[fragment shader]\n" + FS2,
                             (st.passthrough_vertex(b""), FS2), (st.passthrough_vertex(V400), V400 + FS2)),
    "passthrough": (b"[vertex shader passthrough]\n[fragment shader]\n#version 130\n" + FS,
                    (b"#version 130\nin vec4 vertex;\nvoid main()\n{\n    gl_Position = vertex;\n}\n",
                     b"#version 130\n" + FS)),
    "fragment_alone": (b"[fragment shader]\n" + FS, (st.passthrough_vertex(b""), FS)),
    "vertex_alone": (b"[vertex shader]\n#version 300 es\n" + VS, (b"#version 300 es\n" + VS, b"#version 300 es\n"
                     b"precision mediump float;\nout vec4 color;\nvoid main()\n{\n    color = vec4(1.0);\n}\n")),
    "same": (b"# the same two shaders\n[vertex shader]\n" + VS + b"[fragment shader]\n" + FS, importer.SAME_PAIR,
             (VS, FS)),  # once "both" has its #version lines, no longer the same
    "geometry": (b"[vertex shader]\n" + VS + b"[geometry shader]\nx\n[fragment shader]\n" + FS, st.OTHER_STAGE),
    "tessellation": (b"[tessellation control shader]\nx\n[fragment shader]\n" + FS, st.OTHER_STAGE),
    "compute": (b"[compute shader]\nvoid main() {}\n", st.OTHER_STAGE),
    "two_units": (b"[vertex shader]\n" + VS + b"[fragment shader]\n" + FS + b"[fragment shader]\n" + FS,
                  st.SEVERAL_UNITS),
    "assembly": (b"[vertex program]\n!!ARBvp1.0\nEND\n[fragment shader]\n" + FS, st.ASSEMBLY_PROGRAM),
    "spirv": (b"[vertex shader spirv]\n; SPIR-V\n[fragment shader]\n" + FS, st.SPIRV),
    "no_shader": (REQUIRE + b"[test]\nprobe all rgba 0 0 0 0\n", st.NO_SHADER),
    "empty": (b"[vertex shader]\n \n[fragment shader]\n" + FS, st.EMPTY),
    "..dots": (b"[fragment shader]\n\r\n" + FS, (st.passthrough_vertex(b""), b"\r\n" + FS)),
    "\udcffodd": (b"[vertex shader]\n" + VS + b"[fragment shader]\n#version 110\n" + FS, (VS, b"#version 110\n" + FS)),
}
WHERE = {"same": "sub", "compute": "/".join(["d"] * 1000)}  # os.walk recurses: this deep stopped it


def corpus_tree(directory):
    """A tree of FILES, a link out of it, a FIFO and a file too large; returns its root."""
    root = os.path.join(directory, "tests")
    for name, (text, *_) in FILES.items():
        where = root
        for part in WHERE.get(name, "").split("/"):  # a level at a time: os.makedirs recurses too
            where = os.path.join(where, part)
            os.makedirs(where, exist_ok=True)
        pathlib.Path(where, name + importer.SUFFIX).write_bytes(text)
    pathlib.Path(directory, "outside").write_bytes(FILES["both"][0])
    os.symlink(os.path.join(directory, "outside"), os.path.join(root, "link" + importer.SUFFIX))
    os.mkfifo(os.path.join(root, "fifo" + importer.SUFFIX))
    pathlib.Path(root, "huge" + importer.SUFFIX).write_bytes(b"[fragment shader]\n" + b" " * importer.MAX_FILE_BYTES)
    return root


def tree_bytes(directory):
    return {os.path.relpath(os.path.join(d, f), directory): pathlib.Path(d, f).read_bytes()
            for d, _, files in os.walk(directory) for f in files}


class Import(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", "--", self.dir], check=True)  # shutil.rmtree recurses

    def test_every_kind_of_file_made_a_pair_or_skipped_by_reason_the_same_every_time(self):
        root = corpus_tree(self.dir)
        for versions, out in (([], "out"), (["--version-from-require"], "versioned")):
            out = os.path.join(self.dir, out)
            run = subprocess.run([TOOL, "corpus", "-o", out, *versions, root], capture_output=True, timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            manifest = json.loads(pathlib.Path(out, importer.MANIFEST).read_text())
            pairs = {os.path.basename(p["source"]["file"])[:-len(importer.SUFFIX)]: p for p in manifest["pairs"]}
            skipped = {os.path.basename(f["file"])[:-len(importer.SUFFIX)]: f["reason"].split(" (")[0]
                       for f in manifest["skipped"]["files"]}
            for name, (_, *expected) in FILES.items():
                expected = expected[len(expected) > 1 and bool(versions)]
                if isinstance(expected, str):
                    self.assertEqual(skipped.get(name), expected, name)
                    continue
                found = pathlib.Path(out, pairs[name]["name"], "shaders")
                self.assertEqual(tuple(found.joinpath(f).read_bytes() for f in importer.PAIR), expected, name)
            self.assertEqual({name: pair.get("version_added", "-") for name, pair in pairs.items()
                              if pair.get("version_added", "-") not in ([], "-")},
                             {"both": ["vertex", "fragment"], "unversioned": ["vertex"],
                              "required_passthrough": ["fragment"]} if versions else {})
            self.assertEqual(({k: v for k, v in skipped.items() if k not in FILES}, pairs["both"]["require"],
                              pairs["both"]["source"], pairs["..dots"]["name"][:13]),
                             ({"link": importer.LINK, "fifo": importer.NOT_FILE, "huge": importer.TOO_LARGE},
                              ["GLSL >= 1.30", "GL_ARB_gpu_shader5"],
                              {"file": "tests/both.shader_test", "section": "vertex shader:6, fragment shader:11"},
                              "tests-..dots-"))
            self.assertEqual(sum(manifest["skipped"]["counts"].values()), len(skipped))
        again = os.path.join(self.dir, "again")
        run = subprocess.run([TOOL, "corpus", "-o", again, "--version-from-require", root], capture_output=True)
        self.assertEqual((run.returncode, tree_bytes(again)), (0, tree_bytes(out)))
        run = subprocess.run([TOOL, "corpus", "-o", out, root], capture_output=True, text=True)
        self.assertEqual((run.returncode, run.stderr), (2, "compare: %s exists: the corpus goes into a new "
                                                           "directory\n" % out))
        self.assertEqual(sorted(os.listdir(self.dir)), ["again", "out", "outside", "tests", "versioned"])

    def test_a_sample_is_the_same_in_every_process_and_a_filter_picks_by_path(self):
        pairs = [{"name": "p%d" % i, "source": {"file": "%s/t%d" % ("ab"[i % 2], i), "section": ""}}
                 for i in range(40)]
        script = ("import json, sys; from sbench.corpus import selection; print(json.dumps([p['name'] for p in "
                  "selection.select(json.loads(sys.argv[1]), 10, 7)]))")
        found = [subprocess.run([sys.executable, "-c", script, json.dumps(pairs[::step])], text=True, check=True,
                                capture_output=True, env=dict(os.environ, PYTHONHASHSEED=seed)).stdout
                 for seed, step in (("1", 1), ("2", -1))]
        sample = [p["name"] for p in selection.select(pairs, 10, 7)]
        self.assertEqual((json.loads(found[0]), sorted(json.loads(found[1]), key=lambda n: int(n[1:]))),
                         (sample, sample))
        self.assertNotEqual(sample, [p["name"] for p in selection.select(pairs, 10, 8)])
        self.assertLess(set(sample), {p["name"] for p in selection.select(pairs, 11, 7)})
        self.assertEqual({p["source"]["file"][0] for p in selection.select(pairs, 10, 7, "b/*")}, {"b"})


def made_corpus(work, texts):
    """The corpus imported from a tree of .shader_test files of these texts, in work."""
    tree, corpus = os.path.join(work, "tree"), os.path.join(work, "corpus")
    os.makedirs(tree)
    for i, text in enumerate(texts):
        pathlib.Path(tree, "%d%s" % (i, importer.SUFFIX)).write_bytes(text)
    subprocess.run([TOOL, "corpus", "-o", corpus, tree], check=True, capture_output=True)
    return corpus


class CorpusRun(ToolCase):
    def test_a_sample_run_in_each_rounds_order_interrupted_and_resumed_exactly(self):
        corpus = made_corpus(self.dir, [FILES[name][0] for name in ("both", "passthrough", "fragment_alone")])
        fake = "FAKE_BENCH=hang:3,FAKE_ONLY_RUN=3,FAKE_MARKER=" + self.marker  # the third start of either hangs
        proc = self.start("-n", "2", "--sample", "2", "--seed", "5", "--json", self.json, "a:" + fake, "b:" + fake,
                          shaders=("--corpus", corpus))
        until(lambda: os.path.exists(self.marker) and read_lines(self.marker).count("started\n") == 3,
              "the third run")
        proc.send_signal(signal.SIGINT)
        lines = proc.communicate(timeout=60)[1]
        self.assertEqual(proc.returncode, 130, lines)
        manifest = pathlib.Path(corpus, importer.MANIFEST)
        text = manifest.read_bytes()
        manifest.write_bytes(text + b" ")
        status, _, err = self.tool("--resume", self.json, shaders=())
        self.assertEqual((status, err.count("\n"), "the corpus is" in err), (2, 1, True), err)
        manifest.write_bytes(text)
        status, _, resumed = self.tool("--resume", self.json, shaders=())
        self.assertEqual(status, 0, resumed)
        document = self.saved()
        chosen = selection.select(json.loads(text)["pairs"], 2, 5)
        self.assertEqual((document["complete"], document["plan"]["corpus"]["sample"],
                          [(r["configuration"], r["shaders"]["label"], r["shaders"]["source"], len(r["runs"]))
                           for r in document["results"]]),
                         (True, 2, [(c, p["name"], p["source"], 2) for c in "ab" for p in chosen]))
        expected = [(c, name, r) for r in (1, 2) for i, name in enumerate(
            selection.shuffled([p["name"] for p in chosen], 5, r)) for c in ("ab" if (i + r) % 2 else "ba")]
        ran = [line[1:].split("]")[0].split() for line in (lines + resumed).splitlines()
               if line.endswith(" ms, 56 MiB")]
        self.assertEqual(ran, [[c, name, "%d/2" % r] for c, name, r in expected])
        # After each round one line for the corpus, none a pair.
        looks = [line.split(" corpus: ")[0] for line in resumed.splitlines() if line.startswith("round")]
        self.assertEqual(looks, ["round 1: b", "round 2: b"])
        self.assert_nothing_left()

    def test_n_auto_stops_on_the_corpus_verdict_and_a_gate_at_once_on_a_pair_linked_on_one_side(self):
        corpus = made_corpus(self.dir, [b"[fragment shader]\nvoid main() { %s; }\n" % body
                                        for body in (b"1.0", b"2.0", b"3.0; // nolink")])
        # (case, options, the others' variables (a's: FAKE_MS=1000), status, why it stopped, each one's corpus
        # time, rounds run)
        cases = (("A/A, and +10 %", [], ["b:FAKE_MS=1000", "c:FAKE_MS=1100"], 0,
                  "Stopped: every verdict settled after 3 rounds.", [("b", "same"), ("c", "slower")], 3),
                 ("one-sided link", ["--fail-on-regression"], ["b:FAKE_MS=1000,FAKE_NO_LINK=nolink"], 1,
                  "Stopped after round 1: 1 pair links on one side only, which fails the gate whatever more rounds "
                  "show.", [("b", "inconclusive")], 1))
        for number, (case, options, others, status, stopped, time, rounds) in enumerate(cases):
            fake = ",FAKE_JITTER=0.005,FAKE_MARKER=%s/m%d" % (self.dir, number)  # the same times every time
            status, out, err = self.tool("-n", "auto", *options, "--json", self.json, "a:FAKE_MS=1000" + fake,
                                         *[config + fake for config in others], shaders=("--corpus", corpus))
            self.assertTrue(os.path.exists(self.json), err)
            document = self.saved()
            os.remove(self.json)
            self.assertEqual((status, document["stopped"],
                              [(c["configuration"], c["time"]["verdict"])
                               for c in document["corpus_verdict"]["configurations"]],
                              max(len(r["runs"]) for r in document["results"])),
                             (status, stopped, time, rounds), case + out + err)
        self.assert_nothing_left()

    def test_a_large_results_file_is_not_rewritten_after_every_run_but_always_at_the_end(self):
        path, save = self.json, results.saver(self.json)
        document = {"plan": {"runs": 2}, "results": [{"runs": [{"ms": 1, "x": "x" * results.PACED_BYTES}],
                                                      "failed_runs": []}]}
        save(document)
        document["results"][0]["runs"].append({"ms": 2})
        save(document)  # put off: it took far more than a twentieth of the time since
        self.assertEqual(len(json.loads(pathlib.Path(path).read_text())["results"][0]["runs"]), 1)
        save(document, paced=False)
        self.assertEqual(json.loads(pathlib.Path(path).read_text()), document)


if __name__ == "__main__":
    unittest.main(verbosity=2)
