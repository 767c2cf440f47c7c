"""A valid results file mutated 600 times with a fixed seed, each fed to the loader and every reader; the first
few read and refused also through the command line with every output. Each gives a result, or status 2 and a line."""

import concurrent.futures
import contextlib
import json
import multiprocessing
import os
import pathlib
import random
import tempfile
import traceback
import unittest

from sbench import compare
from sbench.presentation import tables
from sbench.results import calls, document as results, trace_events
from sbench.running import plan
from sbench.analysis import verdicts
from sbench.commands import common, run
from test_compare import FAKE, ROOT, recorded_run, run_main

TOOLS = os.path.join(ROOT, "tools")
MUTATIONS, COMMAND_LINE = 600, {"read": 6, "refused": 3}
VALUES = [None, True, 0, -1, 2.5, "", "two\nlines", "\udcff", "a\x00b", [], {}, [1, 2], {"a": 1}, 10 ** 400, 1e300,
          "NaN", "Infinity", 4096, -0.0]


def valid_document(binary, pair):
    """Two configurations: runs with a timeline and without, a failed run, a replay and a failed one."""
    configs = [plan.parse_config("a:GALLIUM_DRIVER=softpipe"), plan.parse_config("b:GALLIUM_DRIVER=llvmpipe")]
    document = results.new_document(plan.make_plan(configs, [(pair, "pair")], binary, 3, "isolated", True, True),
                                    {"name": "host", "kernel": "6", "cpu": "cpu", "cores": 2})
    replay = dict({key: [0.5] * 1000 for key, _ in calls.CALLS}, source="replay", link_status_ms=[None] * 1000)
    untimed = dict(recorded_run(), run=2, program_ms=None, commit_kib=None, rss_kib=None, timeline="off")
    failed = {"run": 3, "reason": "crashed (SIGSEGV) after program 2", "ending": "crash", "programs": 3,
              "status": None, "signal": "SIGSEGV", "stderr": ["x"], "seconds": 1.5, "progress_s": [0.1, 0.2, 0.3]}
    for name, env, _ in configs:
        timed = dict(recorded_run(), run=1) if name == "a" else dict(untimed, run=1)
        document["results"].append({
            "configuration": name, "environment": env, "renderer": name, "gl_version": "4.5", "cache": "isolated",
            "shaders": plan.shader_info(pair, "pair"), "failure": None, "runs": [timed, untimed],
            "failed_runs": [failed], "calls": replay if name == "a" else {"failure": "the replay hung"}})
    return document


def places(value):
    """Every (container, key) of the document; of a long list, its first three and its last."""
    keys = list(value) if isinstance(value, dict) else [i for i in range(len(value)) if i < 3 or i == len(value) - 1]
    return [spot for key in keys for spot in [(value, key)] + (
        places(value[key]) if isinstance(value[key], (dict, list)) else [])]


def mutate(text, rng):
    """(what was done, the mutated text)."""
    kind = rng.choice(["delete", "replace", "replace", "length", "duplicate", "truncate", "nest", "environment",
                       "unsampled"])
    if kind == "truncate":
        cut = rng.randrange(len(text))
        return "cut at %d" % cut, text[:cut]
    if kind == "nest":
        depth = rng.choice([20, 200, 100000])
        key = rng.choice(['"cpu": ', '"renderer": ', '"failure": ', '"ms": ', '"label": '])  # one-line values
        start = text.index(key) + len(key)
        end = text.index("\n", start) - (text[text.index("\n", start) - 1] == ",")
        return "%s nested %d deep" % (key, depth), text[:start] + "[" * depth + "]" * depth + text[end:]
    document = json.loads(text)
    container, key = rng.choice(places(document))
    if kind == "delete":
        del container[key]
    elif kind == "replace":
        container[key] = rng.choice(VALUES)
    elif kind == "length" and isinstance(container[key], list):
        container[key] = container[key][:-1] if rng.random() < 0.5 else container[key] + container[key][:1]
    elif kind == "duplicate" and isinstance(container, list):
        container.append(json.loads(json.dumps(container[key])))
    elif kind == "environment":  # what no process can be given, or one more plain variable
        key, config = rng.choice(["A=B", "", "A\x00", "B"]), rng.choice(document["plan"]["configurations"])
        config["environment"][key] = rng.choice(["1", "x\x00y"])
    elif kind == "unsampled":  # one series of a timeline missing, the others there
        key = rng.choice(["program_ms", "commit_kib", "rss_kib"])
        next(r for result in document["results"] for r in result["runs"] if r["commit_kib"])[key] = None
    text = json.dumps(document).replace('"NaN"', "NaN").replace('"Infinity"', "Infinity")  # as a broken writer
    return "%s %r" % (kind, key), text


def command_line(directory, number, text):
    """(status, standard error) of --report with every output on one mutated file."""
    path = os.path.join(directory, "cli-%d.json" % number)
    pathlib.Path(path).write_text(text)
    outputs = (("--csv", ".csv"), ("--plot", "p.png"), ("--timeline", "t.png"), ("--calls-chart", "c.png"),
               ("--trace-events", ".trace.json"), ("--html", ".html"))
    return run_main("--report", path, *(x for option, suffix in outputs  # what it raises comes back, traceback and all
                                        for x in (option, os.path.join(directory, "out-%d%s" % (number, suffix)))))[::2]


class Fuzz(unittest.TestCase):

    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(
            prefix="shaderbench-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
        os.mkdir(os.path.join(self.dir, "pair"))
        for name in plan.PAIR:
            pathlib.Path(self.dir, "pair", name).write_text("void main() {}\n")
        self.document = valid_document(FAKE, os.path.join(self.dir, "pair"))

    def read_everything(self, document, path):
        rows = tables.table_rows([document], True)
        tables.format_table(rows) if rows else None
        tables.failures_text([document]) + tables.calls_table([document])
        tables.write_csv(os.path.join(self.dir, "t.csv"), rows)
        trace_events.document_events([document])  # the command-line cases write them too
        verdicts.diff(self.document["results"], document["results"], 2.0)
        verdicts.within(document)
        if document.get("plan"):  # what --resume checks before anything runs
            with contextlib.suppress(common.Refused):
                run.prepare(compare.parse_arguments(["--resume", path])[1], TOOLS)

    def test_mutated_results_files_give_a_result_or_one_line(self):
        rng, text, path = random.Random(20261208), json.dumps(self.document, indent=0), os.path.join(self.dir, "r.json")
        # The command-line cases draw charts: a forked worker runs them meanwhile.
        worker = concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork"))
        self.addCleanup(worker.shutdown)
        outcomes, command_lines = {"refused": 0, "read": 0}, []
        for number in range(MUTATIONS):
            what, mutated = mutate(text, rng)
            pathlib.Path(path).write_text(mutated)
            try:
                self.read_everything(results.load(path), path)
                outcome = "read"
            except results.ResultsError as error:
                self.assertNotIn("\n", str(error))
                outcome = "refused"
            except Exception:
                self.fail("mutation %d (%s):\n%s" % (number, what, traceback.format_exc()))
            outcomes[outcome] += 1
            if outcomes[outcome] <= COMMAND_LINE[outcome]:
                command_lines.append((number, what, outcome, worker.submit(command_line, self.dir, number, mutated)))
        for number, what, outcome, future in command_lines:  # refused there too, or read and written out
            status, err = future.result()
            self.assertTrue(status == 2 and err.count("\n") == 1 if outcome == "refused" else status in (0, 1),
                            "mutation %d (%s) on the command line: status %s\n%s" % (number, what, status, err))
        self.assertTrue(min(outcomes.values()) > 120 and len(command_lines) == sum(COMMAND_LINE.values()), outcomes)


if __name__ == "__main__":
    unittest.main(verbosity=2)
