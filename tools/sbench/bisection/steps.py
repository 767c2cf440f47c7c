"""A bisect's runs: each commit built (builds), run in rounds against the ends
of its segment, and classified (bisection); the document that keeps it all.

The document is saved after every run. Each step keeps its rounds, so that a
resumed bisect replays the steps already made from their rounds (the search
takes the same path on the same figures) and runs only what it still lacks.
A run whose driver came from somewhere other than its commit's build stops
the bisect: its figures would be another build's.
"""

import datetime
import os
import time

from . import builds, search
from ..results import document as results
from ..running import campaign, desktop, libraries, observe, plan as plans
from ..analysis import clocks, sequential

SCHEMA = "shaderbench-bisect/1"
MOST_FAILED_ROUNDS = 3  # rounds an end's failed runs may cost one step before the bisect stops


class Stop(Exception):
    """The bisect cannot go on: one line says why."""


def new_document(settings, commits, binary, merges=None):
    """merges: the merges on the line of commits, as builds.first_parent_line gives them."""
    return {"schema": SCHEMA, "id": results.new_id(),
            "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"), "complete": False,
            "host": plans.host_info(), "binary": plans.binary_info(binary),
            "settings": settings, "commits": commits, "merges": merges or {}, "subjects": {}, "builds": {},
            "steps": [], "changes": [], "runs": 0, "seconds": 0.0}


def retry_failed(document):
    """Drops the rounds in which a run failed, so that a resumed bisect runs
    them again (the runs may work now); returns how many were dropped."""
    dropped = 0
    for step in document["steps"]:
        kept = [runs for runs in step["rounds"] if not any("failed" in run for run in runs)]
        dropped += len(step["rounds"]) - len(kept)
        step["rounds"] = kept
    return dropped


def environment(settings, paths):
    """The variables of a commit's runs: each --use with its placeholders filled."""
    return {name: builds.substitute(value, paths, quote=False)
            for name, value in plans.assignments("--use", settings["use"]).items()}


def note_loaded(state, loaded, prefix):
    """Keeps the paths, relative to prefix, of the libraries a run loaded from
    it: what fingerprint() compares between builds."""
    top = os.path.realpath(prefix)
    for lib in loaded or []:
        real = os.path.realpath(lib["path"])
        if libraries.inside(real, top):
            state["loaded"].add(os.path.relpath(real, top))


def fingerprint(prefix, relative):
    """The SHA-256 of each library (paths relative to a prefix, as earlier
    runs loaded them) in this prefix: two commits with the same fingerprint
    run the same binary."""
    return tuple((name, libraries.sha256(os.path.join(prefix, name))) for name in sorted(relative))


def context(document, root, save, binary, rebuild=False, recorded=None):
    """What one bisect keeps while it runs (not saved). binary: what runs,
    as the command line named it; never the path the document holds.
    recorded(commit, run): told of each run as it finishes (run numbered
    among that commit's runs in the whole bisect)."""
    return {"document": document, "root": root, "save": save, "binary": binary, "rebuild": rebuild,
            "prefixes": {}, "loaded": set(), "step": 0, "recorded": recorded or (lambda commit, run: None)}


def built(state, commit):
    """Builds commit (or takes its kept build); its record, noted in the document."""
    settings, document = state["document"]["settings"], state["document"]
    if commit not in document["subjects"]:
        document["subjects"][commit] = list(builds.describe(settings["repo"], commit))
    record = builds.build(settings["repo"], commit, state["root"], settings["build"], settings["build_timeout"],
                          lambda text: campaign.progress("[%s]" % text, final=False), settings["use"],
                          state["rebuild"] and commit not in state["prefixes"])
    if commit not in document["builds"]:  # the first time the bisect took it, kept or made
        document["builds"][commit] = {"status": record["status"], "reason": record["reason"],
                                      "reused": record["reused"], "seconds": record["seconds"]}
    if commit not in state["prefixes"]:
        campaign.progress("[%s] %s: %s" % (commit[:12], record["why"] if record["reused"] else
                                           "build " + (record["reason"] or "made in %d s" % record["seconds"]),
                                           os.path.basename(record["directory"])))
    state["prefixes"][commit] = record
    return record


def run_commit(state, commit, number, display):
    """One run of commit: its record, or {"failed": reason}. A run that loaded
    no library from its build stops the bisect."""
    document = state["document"]
    settings, paths = document["settings"], state["prefixes"][commit]
    with campaign.pair_workdir(settings["shaders"]) as workdir:
        run, failed = observe.run_once(state["binary"], workdir, display, environment(settings, paths),
                                       settings["cache"], False, settings["stall"], number,
                                       libraries_under=(paths["prefix"],), counter=settings.get("counter"))
    document["runs"] += 1
    found = (run or failed).get("libraries")
    ordinal = 1 + sum(c == commit for step in document["steps"] for runs in step["rounds"] for c in step["commits"])
    if run is None:
        state["recorded"](commit, {"run": ordinal, "failed": failed["reason"], "libraries": found})
        return {"failed": failed["reason"], "libraries": found}
    reason = libraries.outside(found or [], paths["prefix"])
    if reason:
        raise Stop("the run of %s %s: check --use" % (commit[:12], reason))
    note_loaded(state, found, paths["prefix"])
    kept = {"ms": run["ms"], "cpu_us": run["cpu_us"], "commit_mib": run["commit_mib"], "libraries": found}
    if settings.get("counter"):  # a counted run's memory is not the program's own (under valgrind, valgrind's)
        kept.update(instructions=run["instructions"], counter=run["counter"], commit_mib=None)
    state["recorded"](commit, dict(kept, run=ordinal))
    return kept


def earlier_runs(state, settings):
    """For a counted bisect, the spread of each build's runs (log counts) in
    each step before the one the search is at: the noise its step pools;
    None for a timed one, whose steps pair their rounds."""
    if not search.counted(settings):
        return None
    return search.spread(search.build_logs(state["document"]["steps"][:state["step"] - 1],
                                           search.measure_key(settings)))


def tell_unpooled(step, done, earlier):
    """Says so when a counted look pairs its rounds: a build of the step
    spread far more than the pool allows (search.pool)."""
    if earlier is not None and len(done) >= 2 and search.pool(done, earlier) is None:
        campaign.progress("[%s round %d] a build's runs spread far more than the others': this look pairs its "
                          "rounds, as a timed step does" % (step["kind"], len(done)))


def step_of(state, commits, kind):
    """The step the search is at: the saved one when a resumed bisect had made
    it (the same commits), else a new one (and what came after is dropped)."""
    document = state["document"]
    index = state["step"]
    state["step"] += 1
    steps = document["steps"]
    if index < len(steps) and steps[index]["commits"] == commits and steps[index]["kind"] == kind:
        return steps[index]
    del steps[index:]
    steps.append({"kind": kind, "commits": commits, "rounds": [], "verdict": None, "reused": None,
                  "skipped": None, "estimate": None})
    return steps[-1]


def remember(state, step):
    """Notes which libraries of their builds the step's runs loaded (a resumed
    bisect learns it from the saved rounds, as the live one did from its runs)."""
    for runs in step["rounds"]:
        for commit, run in zip(step["commits"], runs):
            prefix = state["prefixes"].get(commit, {}).get("prefix")
            if prefix:
                note_loaded(state, run.get("libraries"), prefix)


def run_rounds(state, step, decide, display):
    """Runs rounds of the step's commits until decide(figures) returns an
    answer at a look (sequential.looks), or the step's budget is spent; returns
    the answer or None. A midpoint's failed run ends the step: "skip"."""
    settings = state["document"]["settings"]
    key, most = search.measure_key(settings), settings["max_runs"]
    remember(state, step)
    with desktop.xserver(display) as step_display:  # one server a step: its rounds run back to back
        return rounds_until(state, step, decide, step_display, key, most,
                            sequential.looks(most, search.first_look(settings)))


def rounds_until(state, step, decide, display, key, most, looks):
    dropped = 0
    for round_runs in step["rounds"]:  # a resumed step's rounds, as they ended then
        failed = judge_failures(step, round_runs, dropped)
        if failed:
            return failed
        dropped += any("failed" in run for run in round_runs)
    while True:
        done = search.figures(step, key)
        if len(done) in looks or len(done) >= most:
            answer = decide(done)
            if answer or len(done) >= most:
                return answer
        number = len(step["rounds"]) + 1
        turn = number % len(step["commits"])
        order = list(range(len(step["commits"])))
        order = order[turn:] + order[:turn]
        round_runs = [None] * len(order)
        for index in order:
            commit = step["commits"][index]
            campaign.progress("[%s %s round %d/%d]" % (step["kind"], commit[:12], number, most), final=False)
            round_runs[index] = run_commit(state, commit, number, display)
        step["rounds"].append(round_runs)
        state["save"](state["document"])
        failed = judge_failures(step, round_runs, dropped)
        if failed:
            return failed
        dropped += any("failed" in run for run in round_runs)
        if key == "commit_mib" and any(run.get("commit_mib") is None for run in round_runs if "failed" not in run):
            raise Stop("the runs report no committed memory: --measure memory cannot be bisected here")


def judge_failures(step, round_runs, dropped):
    """"skip:REASON" when the midpoint's run failed in this round; raises Stop
    when an end's runs have failed in MOST_FAILED_ROUNDS rounds of the step."""
    for index, run in enumerate(round_runs):
        if "failed" in run:
            if step["kind"] == "classify" and index == 1:
                return "skip:" + run["failed"]
            if dropped + 1 >= MOST_FAILED_ROUNDS:
                raise Stop("%s failed in %d rounds: %s" % (step["commits"][index][:12], dropped + 1, run["failed"]))
    return None


def levels(document):
    settings = document["settings"]
    return search.bound_level(search.planned_steps(len(document["commits"])), settings["max_runs"],
                              search.first_look(settings))


def confirm(state, display):
    """Whether BAD differs from GOOD: "differs", "same", or None (not settled)."""
    document = state["document"]
    settings = document["settings"]
    good, bad = document["commits"][0], document["commits"][-1]
    step = step_of(state, [good, bad], "confirm")
    sign, one_sided, earlier = settings["sign"], levels(document), earlier_runs(state, settings)
    found = {}

    def decide(done):
        tell_unpooled(step, done, earlier)
        found["verdict"], found["interval"] = search.confirm(done, sign, settings["threshold"], one_sided, earlier)
        return found["verdict"]

    run_rounds(state, step, decide, display)
    step["verdict"], step["estimate"] = found.get("verdict"), found.get("interval")
    state["save"](document)
    return step["verdict"]


def decide_midpoint(state, mid, lo, hi, display):
    """What the commit at index mid is against lo and hi (the segment's ends):
    "good", "bad", "between" or "skip"."""
    document = state["document"]
    settings, commits = document["settings"], document["commits"]
    step = step_of(state, [commits[lo], commits[mid], commits[hi]], "classify")
    record = built(state, commits[mid])
    if record["status"] != "built":
        step["verdict"], step["skipped"] = "skip", "its build " + record["reason"]
        state["save"](document)
        return "skip"
    # The same libraries as an end: the same binary, so the same verdict, with nothing run.
    if state["loaded"] and not step["rounds"]:
        mine = fingerprint(record["prefix"], state["loaded"])
        for end, verdict in ((lo, "good"), (hi, "bad")):
            if all(digest for _, digest in mine) and \
                    mine == fingerprint(state["prefixes"][commits[end]]["prefix"], state["loaded"]):
                step["verdict"], step["reused"] = verdict, commits[end]
                state["save"](document)
                return verdict
    found, earlier = {}, earlier_runs(state, settings)

    def decide(done):
        tell_unpooled(step, done, earlier)
        found["verdict"], found["intervals"] = search.classify(done, settings["sign"], settings["threshold"],
                                                               levels(document), earlier)
        return found["verdict"]

    answer = run_rounds(state, step, decide, display)
    if answer and answer.startswith("skip:"):
        step["verdict"], step["skipped"] = "skip", "its run failed: " + answer[5:]
    else:
        step["verdict"] = answer or "skip"
        step["skipped"] = None if answer else "not settled within %d rounds" % settings["max_runs"]
        step["estimate"] = found.get("intervals")
    state["save"](document)
    return step["verdict"]


def bisect(document, root, save, display, binary, rebuild=False, recorded=None):
    """Runs the bisect into the document; returns its outcome: "nothing"
    (GOOD and BAD are the same commit), "same", "unsettled",
    "found" (document["changes"] filled). recorded: as context's."""
    state = context(document, root, save, binary, rebuild, recorded)
    commits = document["commits"]
    if len(commits) == 1:
        return "nothing"
    for commit in (commits[0], commits[-1]):
        record = built(state, commit)
        if record["status"] != "built":
            raise Stop("%s cannot be bisected: its build %s" % (
                "GOOD" if commit == commits[0] else "BAD", record["reason"]))
    verdict = confirm(state, display)
    if verdict != "differs":
        return "same" if verdict == "same" else "unsettled"
    changes = search.search(len(commits), lambda mid, lo, hi: decide_midpoint(state, mid, lo, hi, display))
    document["changes"] = [[commits[lo], commits[hi]] for lo, hi in changes]
    return "found"


def clock(document):
    """A function that sets the document's wall time: what earlier sessions
    of a resumed bisect took, and this one's so far."""
    before, started = document.get("seconds", 0.0), time.monotonic()

    def tick():
        document["seconds"] = round(before + time.monotonic() - started, 1)
    return tick


def git_step(document, root, save, display, head, binary, rebuild=False):
    """HEAD against GOOD and BAD, for git bisect run: "good", "bad",
    "between" or "skip" (with the reason in the step)."""
    commits = document["commits"]
    state = context(document, root, save, binary, rebuild)
    for commit in (commits[0], commits[-1]):
        if built(state, commit)["status"] != "built":
            raise Stop("%s cannot be bisected: its build %s" % (commit[:12], state["prefixes"][commit]["reason"]))
    verdict = decide_midpoint(state, commits.index(head), 0, len(commits) - 1, display)
    step = document["steps"][-1]
    if step["skipped"]:
        campaign.progress("%s: %s" % (head[:12], step["skipped"]))
    return verdict


STEP_KINDS = ("confirm", "classify")
VERDICTS = (None, "differs", "same", "good", "bad", "between", "skip")


def load(path):
    """A saved bisect, checked (it may be another user's): raises ValueError
    with one line. Only its figures are used: what it would run comes from
    the command line, which must match it."""
    try:
        document = results.read_json(path)
    except results.ResultsError as error:
        raise ValueError(str(error))
    try:
        check(document)
    except (ValueError, KeyError, TypeError, AttributeError) as error:
        raise ValueError("%s: not a bisect of this tool (%s)" % (path, error or "malformed"))
    return document


def check(document):
    """Raises ValueError (or KeyError, TypeError) for what this tool did not write."""
    if document.get("schema") != SCHEMA:
        raise ValueError("its schema is not %s" % SCHEMA)
    results.check_id(document, "its")
    commits = document["commits"]
    if not (isinstance(commits, list) and commits and all(isinstance(c, str) and builds.HASH.fullmatch(c)
                                                          for c in commits)):
        raise ValueError("commits")
    for key, kind in (("settings", dict), ("builds", dict), ("subjects", dict), ("binary", dict), ("steps", list),
                      ("changes", list), ("merges", dict)):
        if not isinstance(document.get(key, {} if key == "merges" else None), kind):
            raise ValueError(key)
    binary = document["binary"]
    if not (isinstance(binary.get("path"), str) and isinstance(binary.get("sha256"), str)
            and results.SHA256.match(binary["sha256"])):
        raise ValueError("its binary")
    for commit, merge in document.get("merges", {}).items():
        if commit not in commits or not isinstance(merge, dict) or not isinstance(merge.get("merged"), list) or \
                not all(isinstance(c, str) and builds.HASH.fullmatch(c) for c in merge["merged"] + [merge.get("base")]):
            raise ValueError("a merge")
    for key in ("runs", "seconds"):
        results.check_number(document, key, "the document", 0)
    for commit, subject in document["subjects"].items():
        if commit not in commits or not (isinstance(subject, list) and len(subject) == 2
                                         and all(isinstance(t, str) for t in subject)):
            raise ValueError("a subject")
    for commit, record in document["builds"].items():
        if commit not in commits or record["status"] not in ("built", "failed", "timeout") or \
                not isinstance(record["reused"], bool) or not isinstance(record["reason"], (str, type(None))):
            raise ValueError("a build")
        results.check_number(record, "seconds", "builds.%s" % commit, 0)
    for i, step in enumerate(document["steps"]):
        check_step(step, commits, "steps[%d]" % i)
    for before, after in document["changes"]:
        if before not in commits or after not in commits:
            raise ValueError("a change")


def check_step(step, commits, where):
    if step["kind"] not in STEP_KINDS or step["verdict"] not in VERDICTS or \
            not all(c in commits for c in step["commits"]) or \
            len(step["commits"]) != (2 if step["kind"] == "confirm" else 3):
        raise ValueError("a step")
    if step["reused"] is not None and step["reused"] not in commits or \
            not isinstance(step["skipped"], (str, type(None))):
        raise ValueError("a step's reuse or skip")
    estimate = step["estimate"]
    if step["kind"] == "confirm" and estimate is not None:
        results.check_numbers(step, "estimate", where, 3, low=-1e6)
    elif estimate is not None:
        if not (isinstance(estimate, dict) and set(estimate) == {"from_start", "to_end", "above_half"}):
            raise ValueError("a step's estimate")
        for key in estimate:
            results.check_numbers(estimate, key, where + ".estimate", 3, nullable=False, low=-1e6)
    for r, runs in enumerate(step["rounds"]):
        if len(runs) != len(step["commits"]):
            raise ValueError("a round")
        for i, run in enumerate(runs):
            at = "%s.rounds[%d][%d]" % (where, r, i)
            results.check_libraries(run, at)
            if "failed" in run:
                if not isinstance(run["failed"], str):
                    raise ValueError("a failed run")
                continue
            results.check_number(run, "ms", at, 1e-9)  # a ratio's side: never 0
            for key in ("commit_mib", "cpu_us", "instructions"):
                if run.get(key) is not None:
                    results.check_number(run, key, at, 1e-9)
            if run.get("counter", "hardware") not in clocks.COUNTERS:
                raise ValueError("a run's counter")
