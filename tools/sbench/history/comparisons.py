"""One comparison into the store, in one transaction: its machine, commits,
configurations, workloads and series found or made by their keys, then
every run as measured.

A corpus comparison (its plan has a "corpus") keeps each pair's runs as
results, but makes no series of a pair (a thousand pairs would be a thousand
lines): each configuration gets one series of the corpus as a whole for
time, and one for memory, a workload of its own (the pairs' digests) whose
run n is the geometric mean over the pairs of their run n: the corpus's
rounds, whose median and interval the history forms as for any runs.

Per-program figures are kept compactly (zlib of whole numbers in byte
planes: per-program times in nanoseconds, memory samples as the steps
between them), in columns of their own, so that they can be pruned later
(set to NULL) without losing a run's totals. A file's runs go in as one
statement, and its keys are looked up once a file.
"""

import hashlib
import json
import re
import zlib

import numpy

from . import schema, series as serieses, store as stores
from ..analysis import corpus as corpora

PCI_ID = re.compile(r"[0-9a-f]{4}:[0-9a-f]{4}")  # a results file's GPU, as plan.gpu_ids gives it
RUN_COLUMNS = ("run", "ms", "cpu_ms", "commit_mib", "link_failures", "program_ms", "commit_kib", "rss_kib",
               "libraries", "instructions")


def storable(text):
    """text as both engines take it: a NUL, or a lone surrogate (a byte of a
    path that was not UTF-8), as its escape; the rest as it was."""
    if text is None:
        return None
    text = str(text)
    if "\0" in text or any(0xD800 <= ord(c) <= 0xDFFF for c in text):
        return "".join("\\x%02x" % (ord(c) - 0xDC00) if 0xDC80 <= ord(c) <= 0xDCFF
                       else c.encode("unicode_escape").decode("ascii") if c == "\0" or 0xD800 <= ord(c) <= 0xDFFF
                       else c for c in text)
    return text


def _json(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"))  # ASCII: any text survives


def pack(values):
    """A per-program series as bytes: b"n" + whole nanoseconds (times in
    ms: the arrivals they come from are nanoseconds, so nothing measured is
    lost), or b"k" + the steps of a series of whole numbers (memory in KiB),
    as little-endian int64s split into byte planes (the high bytes, all
    alike, then compress to almost nothing), zlib-compressed."""
    if values is None:
        return None
    numbers = numpy.array(values)
    if numbers.dtype.kind in "iu":
        kind, numbers = b"k", numpy.diff(numbers.astype("<i8"), prepend=0)
    else:
        if numbers.dtype.kind == "O":
            numbers = numpy.array([numpy.nan if v is None else v for v in values], dtype="<f8")
        times = numbers.astype("<f8")
        missing = numpy.isnan(times)
        times[missing] = 0
        kind, numbers = b"n", numpy.where(missing, _MISSING, numpy.rint(times * 1e6)).astype("<i8")
    return kind + zlib.compress(numbers.view(numpy.uint8).reshape(-1, 8).T.tobytes(), 6)


_MISSING = numpy.iinfo(numpy.int64).min  # a program with no time


def key(document):
    """A comparison's key: the id its results file was given when it started
    (kept by --resume), else what never changes in it (schema.comparison_key).
    A partial copy, a re-indented copy, a resumed file and the record made as
    it ran are one comparison; a run of it is its key and its number."""
    if document.get("id"):
        return "id:" + document["id"]
    return schema.comparison_key(storable(document.get("created") or ""), storable(document["host"].get("name")),
                                 document.get("plan") or {})


class Contradiction(stores.StoreError):
    """A record that says otherwise than the store about what is there."""


def _one(store, text, params):
    return stores.one(store, text, params)["id"]


def _machine(store, host, tag):
    def number(value):
        return value if isinstance(value, int) and not isinstance(value, bool) else 0
    memory = number(host.get("memory_mib"))
    gpus = host.get("gpus") if isinstance(host.get("gpus"), list) else []
    return _one(store, """
        INSERT INTO machines (cpu, cores, memory_gib, gpu, tag, host, name)
        VALUES (:cpu, :cores, :gib, :gpu, :tag, :host, :name)
        ON CONFLICT (cpu, cores, memory_gib, gpu, tag, host) DO UPDATE SET name = excluded.name RETURNING id""",
                {"cpu": storable(host.get("cpu") or ""), "cores": number(host.get("cores")),
                 "gib": (memory + 512) // 1024, "tag": storable(tag or ""), "name": storable(host.get("name")),
                 "host": "" if tag else storable(host.get("name")),
                 "gpu": " ".join(sorted(g for g in gpus if isinstance(g, str) and PCI_ID.fullmatch(g)))})


def _commit(store, commit):
    repository = _one(store, """
        INSERT INTO repositories (root, name) VALUES (:root, :name)
        ON CONFLICT (root) DO UPDATE SET name = excluded.name RETURNING id""",
                      {"root": commit["root"], "name": storable(commit["name"])})
    return _one(store, """
        INSERT INTO commits (repository_id, sha, position) VALUES (:r, :sha, :position)
        ON CONFLICT (repository_id, sha) DO UPDATE SET position = excluded.position RETURNING id""",
                {"r": repository, "sha": commit["sha"], "position": commit["position"]})


def _configuration(store, name, environment):
    return _one(store, """
        INSERT INTO configurations (name, environment) VALUES (:name, :env)
        ON CONFLICT (name, environment) DO UPDATE SET name = excluded.name RETURNING id""",
                {"name": storable(name), "env": _json(environment)})


def _workload(store, result, binary_sha256, known):
    files = sorted((name, (info or {}).get("sha256", "")) for name, info in result["shaders"]["files"].items())
    key = {"label": storable(result["shaders"]["label"]), "binary": storable(binary_sha256),
           "shaders": hashlib.sha256(_json(files).encode()).hexdigest(), "cache": storable(result["cache"])}
    return _cached(known, ("workload", _json(key)), lambda: _one(store, _WORKLOAD, key))


_WORKLOAD = """
    INSERT INTO workloads (label, shaders_sha256, binary_sha256, cache) VALUES (:label, :shaders, :binary, :cache)
    ON CONFLICT (label, shaders_sha256, binary_sha256, cache) DO UPDATE SET cache = excluded.cache RETURNING id"""


def counter(document):
    """What counted a comparison's runs (its plan's counter; a bisect's
    record: its runs'), or '' when they were timed."""
    plan = document.get("plan") or {}
    counted = [run.get("counter") for result in document["results"] for run in result["runs"]
               if run.get("instructions") is not None]
    if plan.get("clock") == "instructions" or counted:
        return plan.get("counter") or next((name for name in counted if name), "hardware")
    return ""


def _series(store, machine, configuration, workload, measure, counted=""):
    stores.execute(store, """
        INSERT INTO series (machine_id, configuration_id, workload_id, measure, unit, counter)
        VALUES (:m, :c, :w, :measure, :unit, :counter)
        ON CONFLICT (machine_id, configuration_id, workload_id, measure, counter) DO NOTHING""",
                   {"m": machine, "c": configuration, "w": workload, "measure": measure,
                    "unit": serieses.UNITS[measure], "counter": counted})


def _libraries(store, found, known):
    if not found:
        return None
    digest = hashlib.sha256("\n".join(sorted({lib["sha256"] for lib in found})).encode()).hexdigest()
    if digest not in known:
        known[digest] = _one(store, """
            INSERT INTO library_sets (digest, libraries) VALUES (:digest, :libraries)
            ON CONFLICT (digest) DO UPDATE SET digest = excluded.digest RETURNING id""",
                             {"digest": digest, "libraries": _json(found)})
    return known[digest]


_RUN = """
    INSERT INTO runs (result_id, number, failed, ms, cpu_ms, commit_mib, link_failures, instructions, libraries_id,
                      program_ms, commit_kib, rss_kib, details)
    VALUES (:result, :number, :failed, :ms, :cpu_ms, :commit_mib, :link_failures, :instructions, :libraries,
            :program_ms, :commit_kib, :rss_kib, :details)
    ON CONFLICT (result_id, number) DO NOTHING"""


def _run(store, result_id, number, run, failed, known):
    """The row of one run, for _RUN."""
    details = {k: v for k, v in run.items() if k not in RUN_COLUMNS}
    return {"result": result_id, "number": number, "failed": int(failed), "ms": run.get("ms"),
            "cpu_ms": run.get("cpu_ms"), "commit_mib": run.get("commit_mib"),
            "link_failures": run.get("link_failures"), "instructions": run.get("instructions"),
            "libraries": _libraries(store, run.get("libraries"), known),
            "program_ms": pack(run.get("program_ms")), "commit_kib": pack(run.get("commit_kib")),
            "rss_kib": pack(run.get("rss_kib")), "details": _json(details)}


def _cached(known, key, make):
    """What make() gives, once per key within one file: the same
    configuration, workload or series recurs on every pair and run."""
    if key not in known:
        known[key] = make()
    return known[key]


def _comparison(store, document, tag, source, commits):
    """(comparison id, machine id, what was applied, {(configuration id,
    workload id): its result's commit id} when it was there before): the
    comparison found by its key or made; a --machine tag it lacked is
    applied, another one refused."""
    digest, host, plan = key(document), document["host"], document.get("plan") or {}
    found = stores.one(store, """SELECT c.id, c.machine_id, m.tag FROM comparisons c
                                 JOIN machines m ON m.id = c.machine_id WHERE c.digest = :d""", {"d": digest})
    applied, before = [], {}
    if found and tag and found["tag"] and storable(tag) != found["tag"]:
        raise Contradiction("comparison %d is recorded with --machine %s, not %s: nothing recorded"
                            % (found["id"], found["tag"], tag))
    machine = found["machine_id"] if found and (found["tag"] or not tag) else _machine(store, host, tag)
    if found:
        before = {(r["configuration_id"], r["workload_id"]): r for r in stores.rows(store, """
            SELECT r.configuration_id, r.workload_id, r.commit_id, co.sha FROM results r
            LEFT JOIN commits co ON co.id = r.commit_id WHERE r.comparison_id = :c""", {"c": found["id"]})}
        if machine != found["machine_id"]:
            stores.execute(store, "UPDATE comparisons SET machine_id = :m WHERE id = :c",
                           {"m": machine, "c": found["id"]})
            schema.drop_empty_series(store)  # the series the comparison left, when it was all they had
            applied.append("--machine %s" % tag)
    names = [c["name"] for c in plan.get("configurations", [])]
    against = plan.get("against") or (names[0] if names else None)
    against_id = None
    if against is not None and against not in commits:  # a fixed reference: the others are set against it
        config = next(c for c in plan["configurations"] if c["name"] == against)
        against_id = _configuration(store, against, config["environment"])
    row = stores.one(store, """
        INSERT INTO comparisons (digest, machine_id, host_name, kernel, memory_mib, created, recorded, complete,
                                 against_id, plan, source, counter)
        VALUES (:digest, :machine, :host, :kernel, :memory, :created, :recorded, :complete, :against, :plan,
                :source, :counter)
        ON CONFLICT (digest) DO UPDATE SET complete = CASE WHEN excluded.complete > comparisons.complete
                                                      THEN excluded.complete ELSE comparisons.complete END,
            counter = CASE WHEN comparisons.counter = '' THEN excluded.counter ELSE comparisons.counter END
        RETURNING id%s""" % (", xmax = 0 AS made" if store["kind"] == "postgresql" else ""),
                     {"digest": digest, "machine": machine, "host": storable(host["name"]),
                      "kernel": storable(host.get("kernel") or ""),
                      "memory": host.get("memory_mib") if isinstance(host.get("memory_mib"), int) else 0,
                      "created": storable(document.get("created") or ""), "recorded": schema.now(),
                      "complete": int(bool(document.get("complete"))), "against": against_id,
                      "plan": _json(plan), "source": storable(source), "counter": counter(document)})
    # Made here, or by another writer since the look above (PostgreSQL's writers do not wait for each other
    # until their keys meet; SQLite's take turns).
    made = row.get("made", not found)
    return row["id"], machine, applied, None if made else before


def write(store, document, commits=None, tag=None, source="", skip=()):
    """Records the document (checked by results.load) in one transaction:
    its comparison found by key() or made, and every run the store lacks.
    commits: {configuration name: dict(root, name, sha, position)}. skip:
    (configuration, label, number) of runs known to be there (run --record
    writes after every run). What an earlier record lacked is applied (a
    result's commit, the comparison's --machine tag); what contradicts it
    raises Contradiction, and nothing is written. Returns dict(comparison,
    new: it was not there before, runs: how many were added, applied: the
    rest that was, as text)."""
    commits, pairs_only, counted = commits or {}, corpora.is_corpus(document), counter(document)
    with stores.transaction(store):
        comparison, machine, applied, before = _comparison(store, document, tag, source, commits)
        measured, known = [], {}
        for result in document["results"]:
            name = result["configuration"]
            commit = _cached(known, ("commit", name), lambda: _commit(store, commits[name])) \
                if name in commits else None
            configuration = _cached(known, ("configuration", name, _json(result["environment"])),
                                    lambda: _configuration(store, name, result["environment"]))
            workload = _workload(store, result, document["binary"]["sha256"], known)
            was = (before or {}).get((configuration, workload))
            if was and commit is not None and was["commit_id"] not in (None, commit):
                raise Contradiction("%s of comparison %d is recorded at commit %s, not %s: nothing recorded"
                                    % (name, comparison, was["sha"][:12], commits[name]["sha"][:12]))
            if was and commit is not None and was["commit_id"] is None and ("applied", name) not in known:
                known["applied", name] = commit
                applied.append("--commit %s=%s" % (name, commits[name]["sha"][:12]))
            if not pairs_only and counted:  # its time and memory are the counter's, not the driver's
                _cached(known, ("series", configuration, workload, "instructions"),
                        lambda: _series(store, machine, configuration, workload, "instructions", counted))
            elif not pairs_only:
                _cached(known, ("series", configuration, workload, "time"),
                        lambda: _series(store, machine, configuration, workload, "time"))
            if not pairs_only and not counted and any(run.get("commit_mib") is not None for run in result["runs"]):
                _cached(known, ("series", configuration, workload, "memory"),
                        lambda: _series(store, machine, configuration, workload, "memory"))
            calls = result.get("calls")
            result_id = _one(store, """
                INSERT INTO results (comparison_id, configuration_id, workload_id, commit_id, renderer, gl_version,
                                     failure, calls)
                VALUES (:comparison, :configuration, :workload, :commit, :renderer, :gl, :failure, :calls)
                ON CONFLICT (comparison_id, configuration_id, workload_id) DO UPDATE
                SET failure = COALESCE(excluded.failure, results.failure), calls = COALESCE(excluded.calls,
                    results.calls), commit_id = COALESCE(results.commit_id, excluded.commit_id) RETURNING id""",
                             {"comparison": comparison, "configuration": configuration, "workload": workload,
                              "commit": commit, "renderer": storable(result["renderer"]),
                              "gl": storable(result["gl_version"]), "failure": storable(result["failure"]),
                              "calls": zlib.compress(_json(calls).encode()) if calls else None})
            label = result["shaders"]["label"]
            runs = [(run.get("run") or i + 1, run, False) for i, run in enumerate(result["runs"])]
            runs += [(failed["run"], failed, True) for failed in result["failed_runs"]]
            measured += [_run(store, result_id, number, run, failed, known)
                         for number, run, failed in runs if (name, label, number) not in skip]
        if pairs_only and document.get("complete"):
            measured += _corpus(store, document, comparison, machine, commits, known)
        # The file's runs in one statement: one round trip for them all, not one a run.
        added = stores.execute_many(store, _RUN, measured)
    return {"comparison": comparison, "new": before is None, "runs": added, "applied": applied}


def corpus_rounds(document):
    """({configuration: {round: dict(ms, cpu_ms, instructions, commit_mib,
    libraries)}}, the pairs counted): the corpus's rounds, over the pairs
    that link on every side (as its verdict takes them), each round one
    where every such pair has a clean run on every side (so that every
    side's mean is over the same runs, and two sides' means set against each
    other give its verdict's change). A round's ms and commit_mib are rounded
    to whole ms and MiB, as a run reports them; its commit_mib, cpu_ms and
    instructions are None unless every run of it has one above 0 (a
    geometric mean of a 0 is 0, whatever the rest)."""
    names = [c["name"] for c in document["plan"]["configurations"]]
    by_pair = {}
    for result in document["results"]:
        by_pair.setdefault(result["shaders"]["label"], {})[result["configuration"]] = result
    rounds = [{name: _timed(found[name]) for name in names} for found in by_pair.values()
              if all(corpora.link_state(found.get(name)) == corpora.LINKS for name in names)]
    common = set.intersection(*(set(runs) for sides in rounds for runs in sides.values())) if rounds else set()
    means = {name: {} for name in names}
    for number in sorted(common):
        for name in names:
            runs = [sides[name][number] for sides in rounds]
            cpu, mibs = [run.get("cpu_ms") for run in runs], [run.get("commit_mib") for run in runs]
            counts = [run.get("instructions") for run in runs]
            digests = {json.dumps(run.get("libraries"), sort_keys=True) for run in runs}
            means[name][number] = {
                "ms": round(_geometric_mean([run["ms"] for run in runs])),
                "cpu_ms": _geometric_mean(cpu) if _positive(cpu) else None,
                "commit_mib": round(_geometric_mean(mibs)) if _positive(mibs) else None,
                "instructions": round(_geometric_mean(counts)) if _positive(counts) else None,
                "libraries": runs[0].get("libraries") if len(digests) == 1 else None}
    return means, len(rounds)


def _timed(result):
    """{round: run} of a result's clean runs that have a time above 0."""
    return {number: run for number, run in ((run.get("run") or i + 1, run) for i, run in enumerate(result["runs"]))
            if isinstance(run.get("ms"), (int, float)) and run["ms"] > 0}


def _positive(values):
    return all(isinstance(v, (int, float)) and not isinstance(v, bool) and v > 0 for v in values)


def _geometric_mean(values):
    return float(numpy.exp(numpy.mean(numpy.log(numpy.asarray(values, dtype=float)))))


def _corpus(store, document, comparison, machine, commits, known):
    """The corpus's own workload, a result and series per configuration, and
    its rounds as runs (rows for _RUN): written once the comparison is
    complete, since before that a round's mean would be over other pairs."""
    (means, counted), by = corpus_rounds(document), counter(document)
    if not any(means.values()):  # no pair links everywhere, or no round is whole: nothing to show a line of
        return []
    digests = sorted({hashlib.sha256(_json(sorted((n, (i or {}).get("sha256", "")) for n, i in
                                                  r["shaders"]["files"].items())).encode()).hexdigest()
                      for r in document["results"]})
    cache = document["results"][0]["cache"]
    key = {"label": "corpus of %d pairs" % len({r["shaders"]["label"] for r in document["results"]}),
           "binary": storable(document["binary"]["sha256"]), "cache": storable(cache),
           "shaders": hashlib.sha256(_json(digests).encode()).hexdigest()}
    workload = _one(store, _WORKLOAD, key)
    rows = []
    for config in document["plan"]["configurations"]:
        name, first = config["name"], next(r for r in document["results"] if r["configuration"] == config["name"])
        configuration = _configuration(store, name, first["environment"])
        # A counted corpus keeps its counts only: its time and memory are the counter's, not the driver's.
        _series(store, machine, configuration, workload, "instructions" if by else "time", by)
        if not by and any(run["commit_mib"] is not None for run in means[name].values()):
            _series(store, machine, configuration, workload, "memory")
        commit = _cached(known, ("commit", name), lambda: _commit(store, commits[name])) if name in commits else None
        result = _one(store, """
            INSERT INTO results (comparison_id, configuration_id, workload_id, commit_id, renderer, gl_version)
            VALUES (:comparison, :configuration, :workload, :commit, :renderer, :gl)
            ON CONFLICT (comparison_id, configuration_id, workload_id) DO UPDATE
            SET commit_id = COALESCE(results.commit_id, excluded.commit_id) RETURNING id""",
                      {"comparison": comparison, "configuration": configuration, "workload": workload,
                       "commit": commit, "renderer": storable(first["renderer"]),
                       "gl": storable(first["gl_version"])})
        rows += [_run(store, result, number, dict(run, link_failures=0, pairs=counted,
                                                  commit_mib=None if by else run["commit_mib"]), False, known)
                 for number, run in means[name].items()]
    return rows
