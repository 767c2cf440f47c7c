"""The store's tables, its schema_version, and the migrations from each
earlier version.

Every row is found again by a natural key under a UNIQUE constraint, so that
recording the same thing twice, or from two runners at once, gives one row
(INSERT ... ON CONFLICT). A key part that is not known is '' or 0, never NULL:
NULLs are all distinct to a UNIQUE constraint, and would let duplicates in.

A fresh store is made from TABLES; an older one is brought to VERSION by
MIGRATIONS, one version at a time, in the transaction that checks it. A
store of a later version than the tool's is refused: its rows may mean what
this tool cannot know.
"""

import hashlib
import json
import re

from . import sql

VERSION = 4

# {id} and {blob} are the only words that differ between SQLite and PostgreSQL.
ID = {"sqlite": "INTEGER PRIMARY KEY", "postgresql": "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"}
BLOB = {"sqlite": "BLOB", "postgresql": "BYTEA"}
STATUSES = ("detected", "confirmed", "rejected", "bisected", "fixed", "ignored")

_MACHINES = """CREATE TABLE machines (
 id {id},
 cpu TEXT NOT NULL, cores INTEGER NOT NULL,
 memory_gib INTEGER NOT NULL,          -- MemTotal moves by a few MiB with the kernel: whole GiB do not
 gpu TEXT NOT NULL DEFAULT '',         -- '' when the results do not say
 tag TEXT NOT NULL DEFAULT '',         -- record --machine NAME
 name TEXT NOT NULL DEFAULT '',        -- the host name last seen, not part of the key
 UNIQUE (cpu, cores, memory_gib, gpu, tag))"""
# Without a --machine tag, the host name is part of the key too: two hosts of one hardware are two machines.
_MACHINES_3 = _MACHINES.replace(" name TEXT", " host TEXT NOT NULL DEFAULT '',        -- '' when tagged\n name TEXT"
                                ).replace("gpu, tag))", "gpu, tag, host))")
_REPOSITORIES = """CREATE TABLE repositories (
 id {id},
 root TEXT NOT NULL UNIQUE,            -- the first commit of its first-parent line: the same in every clone
 name TEXT NOT NULL DEFAULT '')"""
_COMMITS = """CREATE TABLE commits (
 id {id},
 repository_id BIGINT NOT NULL REFERENCES repositories (id),
 sha TEXT NOT NULL,
 position BIGINT NOT NULL,             -- git rev-list --first-parent --count
 UNIQUE (repository_id, sha))"""
_CONFIGURATIONS = """CREATE TABLE configurations (
 id {id},
 name TEXT NOT NULL,
 environment TEXT NOT NULL,            -- JSON, keys sorted
 UNIQUE (name, environment))"""
_WORKLOADS = """CREATE TABLE workloads (
 id {id},
 label TEXT NOT NULL,
 shaders_sha256 TEXT NOT NULL,         -- of the pair's files' names and SHA-256s
 binary_sha256 TEXT NOT NULL,
 cache TEXT NOT NULL,
 UNIQUE (label, shaders_sha256, binary_sha256, cache))"""
_SERIES_3 = """CREATE TABLE series (
 id {id},
 machine_id BIGINT NOT NULL REFERENCES machines (id),
 configuration_id BIGINT NOT NULL REFERENCES configurations (id),
 workload_id BIGINT NOT NULL REFERENCES workloads (id),
 measure TEXT NOT NULL CHECK (measure IN ('time', 'memory')),
 unit TEXT NOT NULL,
 UNIQUE (machine_id, configuration_id, workload_id, measure))"""
# A count is a series of its counter's: the hardware counter counts every thread, callgrind the loop's own.
_MEASURES = "measure IN ('time', 'memory', 'instructions')"
_SERIES = _SERIES_3.replace("measure IN ('time', 'memory')", _MEASURES).replace(
    " UNIQUE", " counter TEXT NOT NULL DEFAULT '',     -- what counted, else ''\n UNIQUE").replace(
    "workload_id, measure))", "workload_id, measure, counter))")
_COMPARISONS_3 = """CREATE TABLE comparisons (
 id {id},
 digest TEXT NOT NULL UNIQUE,          -- id:ID (the results file's id), else run:SHA-256 of its start, host, plan
 machine_id BIGINT NOT NULL REFERENCES machines (id),
 host_name TEXT NOT NULL, kernel TEXT NOT NULL, memory_mib BIGINT NOT NULL,
 created TEXT NOT NULL,                -- as the results file says
 recorded TEXT NOT NULL,               -- UTC, when it came into the store
 complete INTEGER NOT NULL,
 against_id BIGINT REFERENCES configurations (id),
 plan TEXT NOT NULL,                   -- JSON
 source TEXT NOT NULL DEFAULT '')"""
_COMPARISONS = _COMPARISONS_3.replace(
    " source TEXT", " counter TEXT NOT NULL DEFAULT '',     -- what counted its runs, else ''\n source TEXT")
_RESULTS = """CREATE TABLE results (
 id {id},
 comparison_id BIGINT NOT NULL REFERENCES comparisons (id),
 configuration_id BIGINT NOT NULL REFERENCES configurations (id),
 workload_id BIGINT NOT NULL REFERENCES workloads (id),
 commit_id BIGINT REFERENCES commits (id),
 renderer TEXT, gl_version TEXT, failure TEXT,
 calls {blob},                         -- zlib of the replay's JSON
 UNIQUE (comparison_id, configuration_id, workload_id))"""
_RUNS_1 = """CREATE TABLE runs (
 id {id},
 result_id BIGINT NOT NULL REFERENCES results (id),
 number INTEGER NOT NULL,
 failed INTEGER NOT NULL,
 ms BIGINT, cpu_ms DOUBLE PRECISION, commit_mib BIGINT, link_failures INTEGER,
 program_ms {blob},                    -- "n", zlib of int64 nanoseconds in byte planes; NULL once pruned
 commit_kib {blob}, rss_kib {blob},    -- "k", the same of the KiB steps between samples
 details TEXT NOT NULL,                -- JSON: the rest of the run as measured
 UNIQUE (result_id, number))"""
_LIBRARY_SETS = """CREATE TABLE library_sets (
 id {id},
 digest TEXT NOT NULL UNIQUE,          -- SHA-256 of the sorted SHA-256s: equal sets, equal code
 libraries TEXT NOT NULL)"""
_CHANGES_3 = """CREATE TABLE changes (
 id {id},
 series_id BIGINT NOT NULL REFERENCES series (id),
 detector TEXT NOT NULL, detector_version TEXT NOT NULL,
 parameters TEXT NOT NULL,             -- JSON
 seed BIGINT NOT NULL,
 before_sha TEXT NOT NULL DEFAULT '', after_sha TEXT NOT NULL DEFAULT '',
 commit_range TEXT NOT NULL,           -- JSON list of the full SHAs it may lie in
 change_pct DOUBLE PRECISION NOT NULL,
 direction TEXT NOT NULL CHECK (direction IN ('slower', 'faster', 'more memory', 'less memory')),
 status TEXT NOT NULL CHECK (status IN ('detected', 'confirmed', 'rejected', 'bisected', 'fixed', 'ignored')),
 culprit TEXT NOT NULL DEFAULT '', note TEXT NOT NULL DEFAULT '',
 created TEXT NOT NULL, updated TEXT NOT NULL,
 UNIQUE (series_id, detector, before_sha, after_sha))"""
_DIRECTIONS = """direction IN ('slower', 'faster', 'more memory', 'less memory',
                                         'more instructions', 'fewer instructions')"""
_CHANGES = _CHANGES_3.replace("direction IN ('slower', 'faster', 'more memory', 'less memory')", _DIRECTIONS)
_INDEXES = ["CREATE INDEX results_by_series ON results (configuration_id, workload_id)",
            "CREATE INDEX comparisons_by_machine ON comparisons (machine_id)"]

# The first version: no library sets, no changes. Kept as it was, so that its
# migration can be tried on a store it made.
FIRST = [_MACHINES, _REPOSITORIES, _COMMITS, _CONFIGURATIONS, _WORKLOADS, _SERIES_3, _COMPARISONS_3, _RESULTS,
         _RUNS_1] + _INDEXES
TABLES = [_MACHINES_3, _REPOSITORIES, _COMMITS, _CONFIGURATIONS, _WORKLOADS, _SERIES, _COMPARISONS, _RESULTS,
          _LIBRARY_SETS,
          _RUNS_1.replace(" details TEXT", " libraries_id BIGINT REFERENCES library_sets (id),\n details TEXT")
          .replace(" UNIQUE", " instructions BIGINT,                  -- a counted run's count\n UNIQUE"),
          _CHANGES] + _INDEXES
# MIGRATIONS[v]: from version v to v + 1.
MIGRATIONS = {1: [_LIBRARY_SETS, "ALTER TABLE runs ADD COLUMN libraries_id BIGINT REFERENCES library_sets (id)",
                  _CHANGES_3],
              2: [lambda store: _machines_by_host(store), lambda store: _rekey_comparisons(store)],
              3: ["ALTER TABLE comparisons ADD COLUMN counter TEXT NOT NULL DEFAULT ''",
                  "ALTER TABLE runs ADD COLUMN instructions BIGINT", lambda store: _widened(store),
                  lambda store: _counted(store)]}


def comparison_key(created, host, plan):
    """The key of a comparison whose file has no id (written before files had
    one): what never changes in it, its start, host and plan (as stored);
    never the file's bytes, which a re-indent or a later save changes."""
    text = json.dumps([created, host, plan], sort_keys=True, separators=(",", ":"))
    return "run:" + hashlib.sha256(text.encode()).hexdigest()


def _machines_by_host(store):
    """Untagged machines keyed by their host name too: the table made anew
    (SQLite cannot change a UNIQUE constraint in place), and a machine whose
    comparisons came from several hosts split, a machine and series each."""
    if store["kind"] == "sqlite":
        # The rows come back under their ids before the commit, which checks the deferred references.
        sql.execute(store, "PRAGMA defer_foreign_keys = ON")
        sql.execute(store, "CREATE TEMP TABLE machines_2 AS SELECT * FROM machines")
        sql.execute(store, "DROP TABLE machines")
        _ddl(store, _MACHINES_3)
        sql.execute(store, "INSERT INTO machines (id, cpu, cores, memory_gib, gpu, tag, name) "
                           "SELECT id, cpu, cores, memory_gib, gpu, tag, name FROM machines_2")
        sql.execute(store, "DROP TABLE machines_2")
    else:
        sql.execute(store, "ALTER TABLE machines ADD COLUMN host TEXT NOT NULL DEFAULT ''")
        sql.execute(store, "ALTER TABLE machines DROP CONSTRAINT machines_cpu_cores_memory_gib_gpu_tag_key")
        sql.execute(store, "ALTER TABLE machines ADD UNIQUE (cpu, cores, memory_gib, gpu, tag, host)")
    for machine in sql.rows(store, "SELECT * FROM machines WHERE tag = ''"):
        hosts = [row["host_name"] for row in sql.rows(store, """
            SELECT host_name, MIN(id) AS first FROM comparisons WHERE machine_id = :m
            GROUP BY host_name ORDER BY first""", {"m": machine["id"]})] or [machine["name"]]
        sql.execute(store, "UPDATE machines SET host = :h, name = :h WHERE id = :m",
                    {"h": hosts[0], "m": machine["id"]})
        for host in hosts[1:]:
            made = sql.one(store, """
                INSERT INTO machines (cpu, cores, memory_gib, gpu, tag, host, name)
                VALUES (:cpu, :cores, :memory_gib, :gpu, '', :h, :h) RETURNING id""", dict(machine, h=host))["id"]
            moved = {"new": made, "m": machine["id"], "h": host}
            sql.execute(store, "UPDATE comparisons SET machine_id = :new WHERE machine_id = :m AND host_name = :h",
                        moved)
            sql.execute(store, """
                INSERT INTO series (machine_id, configuration_id, workload_id, measure, unit)
                SELECT :new, configuration_id, workload_id, measure, unit FROM series WHERE machine_id = :m""", moved)
    drop_empty_series(store, counted=False)


def _widened(store):
    """Series keyed by their counter too, and the measure and directions of
    counts allowed: on SQLite, which cannot change a CHECK or a UNIQUE
    constraint in place, both tables made anew under their ids."""
    if store["kind"] == "sqlite":
        sql.execute(store, "PRAGMA defer_foreign_keys = ON")
        for table, text, columns in (
                ("series", _SERIES, "id, machine_id, configuration_id, workload_id, measure, unit"),
                ("changes", _CHANGES, "*")):
            sql.execute(store, "CREATE TEMP TABLE %s_3 AS SELECT * FROM %s" % (table, table))
            sql.execute(store, "DROP TABLE %s" % table)
            _ddl(store, text)
            sql.execute(store, "INSERT INTO %s%s SELECT %s FROM %s_3" % (
                table, "" if columns == "*" else " (%s)" % columns, columns, table))
            sql.execute(store, "DROP TABLE %s_3" % table)
        return
    for statement in ("ALTER TABLE series DROP CONSTRAINT series_measure_check, ADD CHECK (%s)" % _MEASURES,
                      "ALTER TABLE series ADD COLUMN counter TEXT NOT NULL DEFAULT ''",
                      "ALTER TABLE series DROP CONSTRAINT series_machine_id_configuration_id_workload_id_measure_key",
                      "ALTER TABLE series ADD UNIQUE (machine_id, configuration_id, workload_id, measure, counter)",
                      "ALTER TABLE changes DROP CONSTRAINT changes_direction_check, ADD CHECK (%s)" % _DIRECTIONS):
        sql.execute(store, statement)


def _counted(store):
    """Counted comparisons recorded before the store kept counts: each run's
    count moved from its details to its column, each comparison's counter
    set, and a series of the counts made where the comparison was not a
    corpus's; its time and memory (the counter's, not the driver's) are no
    longer points of any series, and a series left without any goes."""
    counters, moved = {}, []
    for row in sql.rows(store, """SELECT ru.id, ru.details, r.comparison_id FROM runs ru
                                  JOIN results r ON r.id = ru.result_id WHERE ru.details LIKE '%"instructions":%'"""):
        details = json.loads(row["details"])
        count = details.pop("instructions", None)
        if isinstance(count, int) and not isinstance(count, bool):
            counters.setdefault(row["comparison_id"], details.get("counter"))
            moved.append({"id": row["id"], "count": count,
                          "details": json.dumps(details, sort_keys=True, separators=(",", ":"))})
    sql.execute_many(store, "UPDATE runs SET instructions = :count, details = :details WHERE id = :id", moved)
    for comparison, counter in counters.items():
        plan = json.loads(sql.one(store, "SELECT plan FROM comparisons WHERE id = :c", {"c": comparison})["plan"])
        named = {"c": comparison, "counter": plan.get("counter") or counter or "hardware"}
        sql.execute(store, "UPDATE comparisons SET counter = :counter WHERE id = :c", named)
        if not isinstance(plan.get("corpus"), dict):  # a corpus's own series is of its rounds' means, not of a pair
            sql.execute(store, """
                INSERT INTO series (machine_id, configuration_id, workload_id, measure, unit, counter)
                SELECT DISTINCT c.machine_id, r.configuration_id, r.workload_id, 'instructions', 'instructions',
                       :counter
                FROM results r JOIN comparisons c ON c.id = r.comparison_id WHERE c.id = :c
                ON CONFLICT DO NOTHING""", named)
    drop_empty_series(store)


def drop_empty_series(store, counted=True):
    """Deletes the series left without results (their runs were moved to
    another machine, or were counted), unless a change names them.
    counted: the store keeps counts (version 4 on)."""
    sql.execute(store, """
        DELETE FROM series WHERE NOT EXISTS (SELECT 1 FROM changes ch WHERE ch.series_id = series.id)
        AND NOT EXISTS (SELECT 1 FROM results r JOIN comparisons c ON c.id = r.comparison_id
                        WHERE c.machine_id = series.machine_id AND r.configuration_id = series.configuration_id
                              AND r.workload_id = series.workload_id%s)"""
                % (" AND c.counter = series.counter" if counted else ""))


def _rekey_comparisons(store):
    """Comparisons keyed by their file's SHA-256 keyed as comparison_key
    says, and those that are one comparison (a partial copy, the whole
    file, the same re-indented, its record as it ran) made one."""
    groups = {}
    for row in sql.rows(store, "SELECT id, digest, created, host_name, plan FROM comparisons ORDER BY id"):
        key = row["digest"] if row["digest"].startswith("run:") else \
            comparison_key(row["created"], row["host_name"], json.loads(row["plan"]))
        groups.setdefault(key, []).append(row)
    for key, rows in groups.items():
        keep = next((row for row in rows if row["digest"] == key), rows[0])
        for other in rows:
            if other is not keep:
                merge(store, keep["id"], other["id"])
        sql.execute(store, "UPDATE comparisons SET digest = :key WHERE id = :id", {"key": key, "id": keep["id"]})


def merge(store, keep, gone):
    """Comparison gone's results and runs into comparison keep, each run
    (a result's number) once; then gone is deleted."""
    for result in sql.rows(store, "SELECT * FROM results WHERE comparison_id = :g", {"g": gone}):
        kept = sql.one(store, """SELECT id FROM results WHERE comparison_id = :k AND configuration_id = :c
                                    AND workload_id = :w""",
                       {"k": keep, "c": result["configuration_id"], "w": result["workload_id"]})
        if kept is None:
            sql.execute(store, "UPDATE results SET comparison_id = :k WHERE id = :r", {"k": keep, "r": result["id"]})
            continue
        moved = {"kept": kept["id"], "r": result["id"], "commit": result["commit_id"]}
        sql.execute(store, """UPDATE runs SET result_id = :kept WHERE result_id = :r
                                 AND number NOT IN (SELECT number FROM runs WHERE result_id = :kept)""", moved)
        sql.execute(store, "DELETE FROM runs WHERE result_id = :r", moved)
        sql.execute(store, "UPDATE results SET commit_id = COALESCE(commit_id, :commit) WHERE id = :kept", moved)
        sql.execute(store, "DELETE FROM results WHERE id = :r", moved)
    sql.execute(store, """UPDATE comparisons SET complete = (SELECT MAX(complete) FROM comparisons
                             WHERE id IN (:k, :g)) WHERE id = :k""", {"k": keep, "g": gone})
    sql.execute(store, "DELETE FROM comparisons WHERE id = :g", {"g": gone})


_LOCK = 7291031  # PostgreSQL advisory lock: one process makes or migrates the schema at a time


def _ddl(store, text):
    if callable(text):  # a step that moves rows, not only tables
        return text(store)
    sql.execute(store, text.format(id=ID[store["kind"]], blob=BLOB[store["kind"]]))


# SQLite's header field for the program a file belongs to: set when a store is made or migrated.
APPLICATION_ID = 0x53424848  # "SBHH"


def _tables(version):
    """The names of the tables a store of this tool has at a version."""
    texts = FIRST + [text for step in range(1, version) for text in MIGRATIONS.get(step, [])]
    made = (re.match(r"CREATE TABLE (?:IF NOT EXISTS )?(\w+)", text) for text in texts if isinstance(text, str))
    return {match.group(1) for match in made if match}


def version(store):
    """The store's schema version, 0 when it is empty; raises StoreError
    when it is not this tool's store (another program's tables, its
    application id in SQLite's header), having written nothing. Stores made
    before the application id was set are known by their schema_version and
    their tables."""
    if store["kind"] == "sqlite":
        found = sql.rows(store, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%'")
        application = sql.one(store, "PRAGMA application_id")["application_id"]
    else:
        # The catalog as a query sees it now (to_regclass may answer from a cache older than a lock).
        found = sql.rows(store, "SELECT tablename AS name FROM pg_catalog.pg_tables "
                                "WHERE schemaname = current_schema()")
        application = 0
    tables = {row["name"] for row in found}
    foreign = sql.StoreError("store %s: not a shaderbench history (another program's database?): left as "
                             "it is" % store["shown"])
    if application not in (0, APPLICATION_ID):
        raise foreign
    if "schema_version" not in tables:
        if tables:
            raise foreign
        return 0
    try:
        seen = sql.one(store, "SELECT MAX(version) AS version FROM schema_version")["version"]
    except sql.StoreError as error:
        if "permission denied" in str(error):
            raise
        raise foreign
    if not isinstance(seen, int) or seen < 1 or (application != APPLICATION_ID and seen <= VERSION
                                                 and not _tables(seen) <= tables):
        raise foreign
    return seen


def prepare(store, tables=None, to=VERSION, write=True, create=True):
    """Makes the schema in an empty store, or migrates an older one, in one
    transaction that other processes wait for; refuses a newer store.
    tables, to: another schema to make (the first, for a test of its
    migration). Not write: nothing is written, and an empty or older store
    is refused; not create: an empty one is."""
    seen = version(store)
    if seen > VERSION:
        raise sql.StoreError("store %s has schema version %d, newer than this tool's (%d): use a newer "
                             "shaderbench" % (store["shown"], seen, VERSION))
    if seen == to:
        return
    if seen == 0 and not (write and create):
        raise sql.StoreError("store %s: nothing is recorded there (record makes it)" % store["shown"])
    if not write:
        raise sql.StoreError("store %s has schema version %d, older than this tool's (%d): a write (record) "
                             "migrates it" % (store["shown"], seen, VERSION))
    with sql.transaction(store):
        if store["kind"] == "postgresql":
            sql.execute(store, "SELECT pg_advisory_xact_lock(%d)" % _LOCK)
        seen = version(store)  # again, inside the lock: another process may have made it meanwhile
        if seen > VERSION:
            raise sql.StoreError("store %s has schema version %d, newer than this tool's (%d)"
                                 % (store["shown"], seen, VERSION))
        if seen == to:
            return
        if seen == 0:
            _ddl(store, "CREATE TABLE schema_version (version INTEGER NOT NULL PRIMARY KEY, applied TEXT NOT NULL)")
            for text in tables or TABLES:
                _ddl(store, text)
            seen = to
        else:
            for step in range(seen, to):
                for text in MIGRATIONS[step]:
                    _ddl(store, text)
            seen = to
        sql.execute(store, "INSERT INTO schema_version (version, applied) VALUES (:v, :at)",
                    {"v": seen, "at": now()})
        if store["kind"] == "sqlite" and to == VERSION:
            sql.execute(store, "PRAGMA application_id = %d" % APPLICATION_ID)


def now():
    import datetime
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="microseconds")
