"""The changes table: what the detector finds in each series, stored once,
and what people then make of it (confirmed, rejected, bisected, fixed,
ignored).

A change found again where an earlier one of its series and direction lies
(their ranges touch) is that change: a detected one is updated, keeping its
id, when newer data has moved its commits or size; one already judged is
left as it was, so a rejected change is never reported anew."""

import json

import numpy

from . import detect, schema, series as serieses, store as stores

DIRECTIONS = {("time", 1): "slower", ("time", -1): "faster", ("memory", 1): "more memory",
              ("memory", -1): "less memory"}
REGRESSIONS = ("slower", "more memory")


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


def found_in(store, one, threshold_pct):
    """What the detector finds in one series: [dict(before_sha, after_sha,
    range, change_pct, direction)], and its record (name, version,
    parameters, seed)."""
    figures, same, commits = values(serieses.series_points(store, one["id"]))
    if not figures:
        return [], None
    answer = detect.detect(figures, same, threshold_pct=threshold_pct)
    return [{"before_sha": commits[c["index"] - 1], "after_sha": commits[c["index"]],
             "range": [commits[i] for i in c["candidates"]], "change_pct": c["change_pct"],
             "direction": DIRECTIONS[one["measure"], c["direction"]]} for c in answer["changes"]], answer


def detect_all(store, threshold_pct):
    """Runs the detector over every series and stores what is new; returns
    the ids of the changes stored anew."""
    new = []
    for one in serieses.series_list(store):
        found, answer = found_in(store, one, threshold_pct)
        if not found:
            continue
        with stores.transaction(store):
            known = listed(store, one["id"])
            for change in found:
                seen = [old for old in known if _touch(old, change)]
                record = {"detector": detect.NAME, "version": detect.VERSION, "seed": answer["seed"],
                          "parameters": json.dumps(answer["parameters"], sort_keys=True), "now": schema.now(),
                          "series": one["id"], "before": change["before_sha"], "after": change["after_sha"],
                          "range": json.dumps(change["range"]), "pct": change["change_pct"],
                          "direction": change["direction"]}
                if seen:
                    if seen[0]["status"] == "detected":
                        stores.execute(store, """
                            UPDATE changes SET before_sha = :before, after_sha = :after, commit_range = :range,
                                   detector_version = :version,
                                   change_pct = :pct, parameters = :parameters, seed = :seed, updated = :now
                            WHERE id = :id""", dict(record, id=seen[0]["id"]))
                    continue
                row = stores.one(store, """
                    INSERT INTO changes (series_id, detector, detector_version, parameters, seed, before_sha,
                                         after_sha, commit_range, change_pct, direction, status, created, updated)
                    VALUES (:series, :detector, :version, :parameters, :seed, :before, :after, :range, :pct,
                            :direction, 'detected', :now, :now)
                    ON CONFLICT (series_id, detector, before_sha, after_sha) DO NOTHING RETURNING id""", record)
                if row:
                    new.append(row["id"])
                    known.append(dict(change, id=row["id"], status="detected"))
    return new


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
    return rows


def as_json(row):
    return {"id": row["id"], "machine": row["machine"], "configuration": row["configuration"],
            "shaders": row["shaders"], "measure": row["measure"], "before": row["before_sha"] or None,
            "after": row["after_sha"] or None, "range": row["range"], "change_pct": row["change_pct"],
            "direction": row["direction"], "status": row["status"], "culprit": row["culprit"] or None,
            "note": row["note"] or None, "detector": row["detector"], "detector_version": row["detector_version"],
            "parameters": json.loads(row["parameters"]), "seed": row["seed"]}


def set_status(store, change_id, status, culprit=None, note=None):
    with stores.transaction(store):
        stores.execute(store, """UPDATE changes SET status = :status, culprit = COALESCE(:culprit, culprit),
                                 note = COALESCE(:note, note), updated = :now WHERE id = :id""",
                       {"status": status, "culprit": culprit, "note": note, "now": schema.now(), "id": change_id})
