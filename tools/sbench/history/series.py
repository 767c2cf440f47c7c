"""What the store holds, read back as series: one machine x configuration x
workload x measure, one point per commit of the driver."""

import contextlib
import hashlib

from . import store as stores
from ..analysis import clocks

UNITS = {"time": "ms", "memory": "MiB", "instructions": "instructions"}
VALUE = {"time": "ms", "memory": "commit_mib", "instructions": "instructions"}


def unit(one):
    """A series' unit as its header and axis say it: a count with its counter."""
    counter = one.get("counter")
    return one["unit"] + (" counted " + clocks.COUNTER_NAMES.get(counter, "by " + counter) if counter else "")


def machine_name(row):
    """A machine as people call it: its --machine tag, else its host name."""
    return row["tag"] or row["name"] or row["cpu"]


def series_list(store, machine=None, configuration=None, shaders=None, measure=None):
    """[dict(id, name, machine, configuration, shaders, measure, unit, and
    what else keys it: counter (None but for instructions), tag, host, gpu, cpu, cores, memory, binary, files,
    cache, environment)], each filter (machine: a --machine tag or a host name)
    matched exactly when given; name: as named() gives it among them."""
    found = stores.rows(store, """
        SELECT s.id, s.measure, s.unit, s.counter, m.tag, m.name, m.cpu, m.cores, m.memory_gib, m.gpu,
               c.name AS configuration, c.environment, w.label AS shaders, w.binary_sha256, w.shaders_sha256, w.cache
        FROM series s JOIN machines m ON m.id = s.machine_id JOIN configurations c ON c.id = s.configuration_id
             JOIN workloads w ON w.id = s.workload_id
        ORDER BY m.tag, m.name, c.name, w.label, s.measure, s.id""")
    listed = []
    for row in found:
        if machine is not None and machine not in (row["tag"], row["name"]):
            continue
        if (configuration is not None and row["configuration"] != configuration
                or shaders is not None and row["shaders"] != shaders
                or measure is not None and row["measure"] != measure):
            continue
        listed.append({"id": row["id"], "machine": machine_name(row), "configuration": row["configuration"],
                       "shaders": row["shaders"], "measure": row["measure"], "unit": row["unit"],
                       "counter": row["counter"] or None,
                       "tag": row["tag"] or "none", "host": row["name"], "gpu": row["gpu"] or "none",
                       "cpu": row["cpu"], "cores": row["cores"],
                       "memory": "%d GiB" % row["memory_gib"], "binary": row["binary_sha256"][:12],
                       "files": row["shaders_sha256"][:12], "cache": row["cache"],
                       "environment": hashlib.sha256(row["environment"].encode()).hexdigest()[:12]})
    return named(listed)


# What tells apart series whose machine, configuration, pair and measure read alike, in the order a name
# adds it.
APART = ("counter", "tag", "host", "gpu", "cpu", "cores", "memory", "binary", "files", "cache", "environment")


def named(listed):
    """listed, each series with its "name": machine, configuration, pair and
    measure, and where two of them would still read alike, what tells those
    apart (host, GPU, binary, ...); so that no two read alike."""
    alike = {}
    for one in listed:
        alike.setdefault((one["machine"], one["configuration"], one["shaders"], one["measure"]), []).append(one)
    for base, group in alike.items():
        differ = [key for key in APART if len({one[key] for one in group}) > 1]
        for one in group:
            one["name"] = " ".join(base) + (" [%s]" % ", ".join("%s %s" % (key, one[key]) for key in differ)
                                            if differ else "")
    return listed


def series_points(store, series_id, last=None, figures=False, between=None):
    """The series' points, oldest first: [dict(position, commit, runs,
    libraries, reference_runs, recorded)].

    A point is every clean run of the series at one commit (position: its
    place on the first-parent line). Results recorded without a commit are
    a point per comparison, with position and commit None, after those with
    one, in the order they were recorded. libraries: the digest of the
    libraries every run loaded when they all loaded the same, else None.
    reference_runs: where the comparison named a configuration to compare
    against (a fixed reference beside the driver), its runs on the same
    shaders in the same comparisons; else []. last: only the last N points.
    figures: each point also has "figures", each run's as measured (failed
    ones too, with failed true). between(): called between its statements
    (where a concurrent record would fall)."""
    with snapshot(store):
        found = _read(store, series_id, between)
    if found is None:
        return []
    runs, references = found
    points = {}
    for row in runs:
        if row["value"] is None and not figures:
            continue
        key = ("commit", row["sha"]) if row["sha"] else ("comparison", row["comparison_id"])
        point = points.get(key)
        if point is None:
            point = points[key] = {"position": row["position"], "commit": row["sha"], "runs": [],
                                   "libraries": set(), "reference_runs": [], "recorded": row["recorded"],
                                   "comparisons": [], "figures": []}
        point["figures"].append({"comparison": row["comparison_id"], "run": row["number"],
                                 "failed": bool(row["failed"]), "ms": row["ms"], "cpu_ms": row["cpu_ms"],
                                 "commit_mib": row["commit_mib"], "link_failures": row["link_failures"],
                                 "instructions": row["instructions"]})
        if row["failed"] or row["value"] is None:
            continue
        point["runs"].append(float(row["value"]))
        point["libraries"].add(row["digest"])
        if row["comparison_id"] not in point["comparisons"]:
            point["comparisons"].append(row["comparison_id"])
            point["reference_runs"].extend(references.get(row["comparison_id"], []))
    ordered = sorted((p for p in points.values() if p["commit"]), key=lambda p: p["position"]) \
        + [p for p in points.values() if not p["commit"]]
    for point in ordered:
        digests = point.pop("libraries")
        point["libraries"] = next(iter(digests)) if len(digests) == 1 else None
        del point["comparisons"]
        if not figures:
            del point["figures"]
    return ordered[-last:] if last else ordered


@contextlib.contextmanager
def snapshot(store):
    """Reads of several statements that see one moment of the store: a
    record that commits between them is in none of them or in all. A read
    transaction: on SQLite (WAL) its snapshot is taken at its first read; on
    PostgreSQL, REPEATABLE READ takes one at its first statement."""
    stores.execute(store, "BEGIN" if store["kind"] == "sqlite" else "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
    try:
        yield
    finally:
        with contextlib.suppress(Exception):
            stores.execute(store, "COMMIT")


def _read(store, series_id, between):
    """(the series' runs, each with its result's commit and recording time,
    {comparison id: its reference's values}), or None when there is no such
    series."""
    series = stores.one(store, "SELECT * FROM series WHERE id = :id", {"id": series_id})
    if series is None:
        return None
    # A series' runs are its comparisons' of its counter: a counted run's time and memory are the counter's.
    where = {"m": series["machine_id"], "cfg": series["configuration_id"], "w": series["workload_id"],
             "counter": series["counter"]}
    # What is the same for every run of a result is read once a result, not once a run: every value
    # a row holds costs as much again to decode (psycopg's pure-Python libpq binding).
    results = {row["id"]: row for row in stores.rows(store, """
        SELECT r.id, r.comparison_id, c.recorded, co.sha, co.position
        FROM results r JOIN comparisons c ON c.id = r.comparison_id LEFT JOIN commits co ON co.id = r.commit_id
        WHERE c.machine_id = :m AND r.configuration_id = :cfg AND r.workload_id = :w
              AND c.counter = :counter""", where)}
    if between:
        between()
    digests = {row["id"]: row["digest"] for row in stores.rows(store, "SELECT id, digest FROM library_sets")}
    runs = []
    for row in stores.rows(store, """
            SELECT ru.result_id, ru.libraries_id, ru.failed, ru.number, ru.ms, ru.cpu_ms, ru.commit_mib,
                   ru.link_failures, ru.instructions
            FROM runs ru JOIN results r ON r.id = ru.result_id JOIN comparisons c ON c.id = r.comparison_id
            WHERE c.machine_id = :m AND r.configuration_id = :cfg AND r.workload_id = :w AND c.counter = :counter
            ORDER BY c.recorded, c.id, ru.number""", where):
        row.update(results[row["result_id"]], digest=digests.get(row["libraries_id"]))
        row["value"] = row[VALUE[series["measure"]]]
        runs.append(row)
    references = {}
    for row in stores.rows(store, """
            SELECT r.comparison_id, ru.%s AS value
            FROM runs ru JOIN results r ON r.id = ru.result_id JOIN comparisons c ON c.id = r.comparison_id
            WHERE c.machine_id = :m AND r.workload_id = :w AND r.configuration_id = c.against_id
                  AND c.against_id <> :cfg AND ru.failed = 0 AND c.counter = :counter
            ORDER BY c.id, ru.number""" % VALUE[series["measure"]], where):
        if row["value"] is not None:
            references.setdefault(row["comparison_id"], []).append(float(row["value"]))
    return runs, references
