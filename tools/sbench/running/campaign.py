"""A comparison's runs: every configuration on every shader pair, interleaved
round by round, each run on an X server of its own, the results saved after
every run, and the failure policy:

- A run that fails before its first program (missing files, no context, a
  source too large), whose programs fail to link, or whose loop could not be
  counted would fail the same way every time: its configuration stops
  there, with that reason.
- A crash, a hang or any other failure is recorded with the run and the
  configuration's remaining runs go on.
- An interrupt stops the run in progress; every finished run stays.

A resumed comparison runs exactly what its plan still lacks.
"""

import contextlib
import os
import time

from . import desktop, observe, plan as plans, replay
from ..results import program_output as output
from ..corpus import selection
from ..system import scratch
from ..system.text import minutes, progress


def probe(configs, pairs, display, cache, explicit):
    """The results to fill, one per (configuration, pair), with each driver's
    renderer, and the configurations kept. A built-in configuration whose
    driver is missing or does not load is skipped when the user did not name
    it; otherwise its results carry the reason and it runs nothing."""
    results, kept = [], []
    for name, env, word in configs:
        renderer, version, reason = plans.driver_info(env, display, cache)
        if renderer is not None and word and word not in renderer:
            reason = "driver missing: the renderer is %r" % renderer
        if reason and word and not explicit:
            progress("[%s] skipped: %s" % (name, reason))
            continue
        kept.append((name, env, word))
        for pair in pairs:
            results.append({"configuration": name, "environment": env, "renderer": renderer,
                            "gl_version": version, "cache": cache, "shaders": plans.shader_info(*pair),
                            "failure": reason, "runs": [], "failed_runs": []})
    return results, kept


def attempts(result):
    return len(result["runs"]) + len(result["failed_runs"])


def runs_left(document):
    """The runs the plan still lacks (the replays of --calls not counted)."""
    return sum(0 if result["failure"] else max(0, document["plan"]["runs"] - attempts(result))
               for result in document["results"])


def calls_left(document):
    return [r for r in document["results"] if document["plan"]["calls"] and not r["failure"]
            and r["runs"] and "calls" not in r]


def stop_reason(run, failed):
    """Why this run stops its configuration, or None (see the module's text)."""
    if failed:
        # So would a run whose loop could not be counted: its binary or the counter is at fault.
        return failed["reason"] if failed["ending"] == "exit" and failed["programs"] == 0 \
            or failed["ending"] == "count" else None
    failures = run["link_failures"]
    return failures and "%d of %d programs failed to link" % (failures, output.PROGRAMS) or None


@contextlib.contextmanager
def pair_workdir(pair_dir):
    """A fresh working directory whose shaders/ is the pair, as the program reads it."""
    with scratch.directory("compare") as workdir:
        os.symlink(pair_dir, os.path.join(workdir, "shaders"))
        yield workdir


def round_order(document, round_number):
    """The round's runs as groups, a pair's configurations in each: a corpus
    run takes its pairs in the round's seeded order, each pair's
    configurations back to back, forwards and backwards by turns; otherwise
    every configuration on every pair, in the plan's order and backwards
    by turns of rounds, a group a run."""
    results, corpus = document["results"], document["plan"].get("corpus")
    if not corpus:
        backwards = document["plan"].get("order") == "alternating" and round_number % 2 == 0
        return [[result] for result in (results[::-1] if backwards else results)]
    by_pair = {}
    for result in results:
        by_pair.setdefault(result["shaders"]["label"], []).append(result)
    order = selection.shuffled(list(by_pair), corpus["seed"], round_number)
    return [by_pair[label][::1 if (i + round_number) % 2 else -1] for i, label in enumerate(order)]


def run(document, save, display, stall, after_round=lambda number: False):
    """Runs what the document's plan still lacks, saving the document (save())
    after every run; its "complete" is the caller's to set. after_round(N) is
    asked after each whole round (again for rounds a resumed comparison had
    done) whether to stop there. Interrupts (interrupts.Interrupted) go on up
    once the run in progress is stopped. display: a desktop.Display, or None
    for a private server per run."""
    plan = document["plan"]
    took, left = [0.0, 0], runs_left(document)  # a running sum: a mean over every run, every run, is quadratic
    most = ("max %d" if plan.get("auto") else "%d") % plan["runs"]
    for round_number in range(1, plan["runs"] + 1):
        groups = [[r for r in group if not r["failure"] and attempts(r) < round_number]
                  for group in round_order(document, round_number)]
        groups = [group for group in groups if group]
        for done, group in enumerate(groups):
            pairs = ", pairs %d done, %d left" % (done, len(groups) - done) if plan.get("corpus") else ""
            left = run_group(document, group, save, display, stall, (round_number, most, pairs), took, left)
        if after_round(round_number):
            break
    run_calls(document, save, display, stall)


def run_group(document, group, save, display, stall, where, took, left):
    """The runs of one group of a round (round_order); returns the runs
    left after it. took: [seconds, runs] so far, for the time left."""
    plan, (round_number, most, pairs) = document["plan"], where
    for result in group:
        if result["failure"]:  # stopped by an earlier run of this group
            continue
        label = "[%s %s %d/%s]" % (result["configuration"], result["shaders"]["label"], round_number, most)
        started = time.monotonic()
        typical = took[0] / took[1] if took[1] else None

        def show(line, label=label, started=started, left=left, typical=typical):
            eta = ""
            if typical is not None:
                remaining = typical * left - (time.monotonic() - started)
                eta = ", about %s left" % minutes(max(0, remaining))
            progress("%s program %s%s%s" % (label, line.split("/")[0], pairs, eta), final=False)

        with desktop.xserver(display) as run_display, pair_workdir(result["shaders"]["directory"]) as workdir:
            run, failed = observe.run_once(document["binary"]["path"], workdir, run_display,
                                           result["environment"], plan["cache"], plan["timeline"], stall,
                                           round_number, show, counter=plan.get("counter"))
        took[0], took[1] = took[0] + time.monotonic() - started, took[1] + 1
        left -= 1
        if run:
            result["runs"].append(run)
        else:
            result["failed_runs"].append(failed)
        result["failure"] = stop_reason(run, failed)
        if result["failure"]:
            left -= plan["runs"] - round_number
            progress("%s FAILED: %s" % (label, result["failure"]))
        elif failed:
            progress("%s failed: %s" % (label, failed["reason"]))
        else:
            memory = "-" if run["commit_mib"] is None else run["commit_mib"]
            progress("%s %d ms, %s MiB" % (label, run["ms"], memory) if run.get("instructions") is None else
                     "%s %d instructions (under the counter: %d ms, %s MiB)" % (label, run["instructions"], run["ms"],
                                                                                memory))
        save(document)
    return left


def run_calls(document, save, display, stall):
    """--calls: one replay per configuration and pair that ran."""
    plan = document["plan"]
    for result in calls_left(document):
        label = "[%s %s calls]" % (result["configuration"], result["shaders"]["label"])
        with pair_workdir(result["shaders"]["directory"]) as workdir:
            result["calls"] = replay.measure(document["binary"]["path"], workdir, display,
                                             result["environment"], plan["cache"], stall,
                                             lambda text, label=label: progress("%s %s" % (label, text), final=False))
        progress("%s %s" % (label, result["calls"].get("failure") or "replayed"))
        save(document)
