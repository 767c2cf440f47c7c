"""The changes table: what the detector finds in each series, stored once,
and what people then make of it (confirmed, rejected, bisected, fixed,
ignored).

A change found again where earlier ones of its series and direction lie
(their ranges touch) is that change: a detected one is updated, keeping its
id, when newer data has moved its commits or size, and where it joins
several, the newest keeps its id and the others go. One already judged is
left as it was, but for a rejected one the detector finds again on new
evidence (see _reopens): it is detected again, and reported as new. A
detect that finds what is stored writes nothing."""

import json

import numpy

from ..system.text import printable
from . import detect, schema, series as serieses, store as stores

DIRECTIONS = {("time", 1): "slower", ("time", -1): "faster", ("memory", 1): "more memory",
              ("memory", -1): "less memory", ("instructions", 1): "more instructions",
              ("instructions", -1): "fewer instructions"}
# What --fail-on-new fails on, and a bisect of it looks for as the worse side.
REGRESSIONS = ("slower", "more memory", "more instructions")


def values(points):
    """(per commit its figures, same_binary, commits) of the points with a
    commit: each run's ratio to the reference that ran beside it (paired run
    by run when both have as many, else to the reference's median), or
    the runs themselves without one."""
    figures, same, commits, previous = [], [], [], None
    for point in points:
        runs = [r for r in point["runs"] if r and r > 0]
        if not point["commit"] or not runs:
            continue
        reference = [r for r in point["reference_runs"] if r and r > 0]
        if reference:
            runs = [r / b for r, b in zip(runs, reference)] if len(reference) == len(runs) else \
                [r / float(numpy.median(reference)) for r in runs]
        figures.append(runs)
        same.append(previous is not None and point["libraries"] is not None and point["libraries"] == previous)
        commits.append(point["commit"])
        previous = point["libraries"]
    return figures, same, commits


def _touch(old, new):
    return old["direction"] == new["direction"] and bool(set(old["range"]) & set(new["range"])
                                                         | {old["after_sha"]} & set(new["range"]))


def _key(change):
    return change["before_sha"], change["after_sha"]


def _reopens(old, change, order, threshold_pct):
    """Whether a rejected change found again is new evidence: some commit of
    its range now lies outside the span its confirmation compared (from the
    commit before its range to the range's last), or it is larger by more
    than the threshold."""
    ends = [order.get(sha) for sha in old["range"][:1] + old["range"][-1:]]
    if len(ends) < 2 or None in ends:
        return True
    return (any(not ends[0] <= order.get(sha, -1) <= ends[1] for sha in change["range"])
            or abs(change["change_pct"]) >= abs(old["change_pct"]) + threshold_pct)


def found_in(store, one, threshold_pct):
    """What the detector finds in one series: [dict(before_sha, after_sha,
    range, change_pct, direction)], its record (name, version, parameters,
    seed) and {commit: its place among the series' commits}."""
    figures, same, commits = values(serieses.series_points(store, one["id"]))
    if not figures:
        return [], None, {}
    answer = detect.detect(figures, same, threshold_pct=threshold_pct)
    return [{"before_sha": commits[c["index"] - 1], "after_sha": commits[c["index"]],
             "range": [commits[i] for i in c["candidates"]], "change_pct": c["change_pct"],
             "direction": DIRECTIONS[one["measure"], c["direction"]]} for c in answer["changes"]], answer, \
        {sha: i for i, sha in enumerate(commits)}


def plan(known, found, order, threshold_pct):
    """[(change, survivor id, reopened, absorbed ids)]: what storing the
    changes found takes, given the series' stored ones (known, updated here
    as if written). A change found is the stored ones it touches that no
    other change found has claimed: the newest of them takes its commits,
    range and size (an id that goes is then never the largest, which SQLite
    would give out again) and the others are absorbed, so that no two rows
    ever claim one key; survivor None: it is new; reopened: one of them was
    rejected. Nothing is planned where a judged change it touches stands (all
    but a rejected one found again on new evidence), where its commits are a
    change of the other direction, or where the survivor says what was found
    already."""
    planned, claimed = [], set()
    for change in found:
        holder = [old for old in known if _key(old) == _key(change)]
        seen = [old for old in known if id(old) not in claimed and (_touch(old, change) or old in holder)]
        if any(old["direction"] != change["direction"] for old in holder) or any(
                old["status"] != "detected"
                and not (old["status"] == "rejected" and _reopens(old, change, order, threshold_pct))
                for old in seen):
            continue
        survivor = max(seen, key=lambda old: old["id"]) if seen else None
        absorbed = [old for old in seen if old is not survivor]
        if survivor is not None and not absorbed and survivor["status"] == "detected" and all(
                survivor[k] == change[k] for k in ("before_sha", "after_sha", "range", "change_pct")):
            claimed.add(id(survivor))
            continue
        planned.append((change, survivor and survivor["id"], any(old["status"] == "rejected" for old in seen),
                        [old["id"] for old in absorbed]))
        known[:] = [old for old in known if old not in absorbed]
        if survivor is None:
            survivor = dict(change, id=None)
            known.append(survivor)
        survivor.update(change, status="detected")
        claimed.add(id(survivor))
    return planned


def _write(store, record, survivor, reopened, absorbed):
    """Stores one planned change; its id when it is new (or a rejected one
    found again), else None."""
    for gone in absorbed:
        stores.execute(store, "DELETE FROM changes WHERE id = :id", {"id": gone})
    if survivor is not None:
        stores.execute(store, """
            UPDATE changes SET before_sha = :before, after_sha = :after, commit_range = :range,
                   detector_version = :version, change_pct = :pct, parameters = :parameters, seed = :seed,
                   status = 'detected', updated = :now
            WHERE id = :id""", dict(record, id=survivor))
        return survivor if reopened else None
    # A plain INSERT: the lock taken makes sure the key is free, and ON CONFLICT would spend an identity
    # value on PostgreSQL even when it inserts nothing.
    return stores.one(store, """
        INSERT INTO changes (series_id, detector, detector_version, parameters, seed, before_sha,
                             after_sha, commit_range, change_pct, direction, status, created, updated)
        VALUES (:series, :detector, :version, :parameters, :seed, :before, :after, :range, :pct,
                :direction, 'detected', :now, :now) RETURNING id""", record)["id"]


def detect_all(store, threshold_pct):
    """Runs the detector over every series and stores what moved; returns
    the ids of the changes stored anew (or found again after a rejection).
    A series where nothing moved is not written to."""
    new = []
    for one in serieses.series_list(store):
        found, answer, order = found_in(store, one, threshold_pct)
        if not found or not plan(_stored(store, one["id"]), found, order, threshold_pct):
            continue
        with stores.transaction(store):
            if store["kind"] == "postgresql":  # one writer of changes at a time: the keys looked up stay free
                stores.execute(store, "LOCK TABLE changes IN SHARE ROW EXCLUSIVE MODE")
            for change, *stored in plan(_stored(store, one["id"]), found, order, threshold_pct):
                record = {"detector": detect.NAME, "version": detect.VERSION, "seed": answer["seed"],
                          "parameters": json.dumps(answer["parameters"], sort_keys=True), "now": schema.now(),
                          "series": one["id"], "before": change["before_sha"], "after": change["after_sha"],
                          "range": json.dumps(change["range"]), "pct": change["change_pct"],
                          "direction": change["direction"]}
                made = _write(store, record, *stored)
                if made is not None:
                    new.append(made)
    return new


def _stored(store, series_id):
    """A series' stored changes, newest first, their ranges as lists: what a
    detect plans against (names and counts are for showing them)."""
    rows = stores.rows(store, "SELECT * FROM changes WHERE series_id = :series ORDER BY id DESC", {"series": series_id})
    for row in rows:
        row["range"] = json.loads(row.pop("commit_range"))
    return rows


def listed(store, series_id=None, change_id=None):
    """The changes, newest first, each with its series' names and range as a list."""
    where, params = [], {}
    if series_id is not None:
        where.append("ch.series_id = :series")
        params["series"] = series_id
    if change_id is not None:
        where.append("ch.id = :id")
        params["id"] = change_id
    rows = stores.rows(store, """
        SELECT ch.*, m.tag, m.name, m.cpu, c.name AS configuration, w.label AS shaders, s.measure
        FROM changes ch JOIN series s ON s.id = ch.series_id JOIN machines m ON m.id = s.machine_id
             JOIN configurations c ON c.id = s.configuration_id JOIN workloads w ON w.id = s.workload_id
        %s ORDER BY ch.id DESC""" % ("WHERE " + " AND ".join(where) if where else ""), params)
    shown = {row["series_id"] for row in rows}  # each series named so that none of those shown read alike
    names = {one["id"]: one["name"] for one in serieses.named([one for one in serieses.series_list(store)
                                                               if one["id"] in shown])}
    for row in rows:
        row["range"] = json.loads(row.pop("commit_range"))
        row["machine"] = serieses.machine_name(row)
        row["series"] = names[row["series_id"]]
    return counted(store, rows)


def counted(store, rows):
    """rows, each with "commits": how many commits of the repository lie
    between its before and after (their first-parent positions' difference,
    what git rev-list --count before..after says), None where one is not
    known; the nights need not have run at every commit."""
    shas = sorted({row[k] for row in rows for k in ("before_sha", "after_sha") if row[k]})
    positions = {}
    for start in range(0, len(shas), 500):  # within any SQLite's limit of parameters
        chunk = {"s%d" % i: sha for i, sha in enumerate(shas[start:start + 500])}
        found = stores.rows(store, "SELECT sha, MAX(position) AS position FROM commits WHERE sha IN (%s) "
                                   "GROUP BY sha" % ", ".join(":" + k for k in chunk), chunk)
        positions.update((r["sha"], r["position"]) for r in found)
    for row in rows:
        ends = [positions.get(row["before_sha"]), positions.get(row["after_sha"])]
        row["commits"] = None if None in ends else ends[1] - ends[0]
    return rows


def sides(row, width=12):
    """before..after, as the terminal and the page write a change's commits."""
    return "%s..%s" % tuple(printable(row[k][:width]) or "?" for k in ("before_sha", "after_sha"))


def commit_count(count):
    return "? commits" if count is None else "%d commit%s" % (count, "" if count == 1 else "s")


def as_json(row):
    return {"id": row["id"], "machine": row["machine"], "configuration": row["configuration"],
            "shaders": row["shaders"], "measure": row["measure"], "before": row["before_sha"] or None,
            "after": row["after_sha"] or None, "range": row["range"], "commits": row["commits"],
            "change_pct": row["change_pct"], "direction": row["direction"], "status": row["status"],
            "culprit": row["culprit"] or None, "note": row["note"] or None, "detector": row["detector"],
            "detector_version": row["detector_version"], "parameters": json.loads(row["parameters"]),
            "seed": row["seed"]}


def set_status(store, change_id, status, culprit=None, note=None):
    with stores.transaction(store):
        stores.execute(store, """UPDATE changes SET status = :status, culprit = COALESCE(:culprit, culprit),
                                 note = COALESCE(:note, note), updated = :now WHERE id = :id""",
                       {"status": status, "culprit": culprit, "note": note, "now": schema.now(), "id": change_id})
