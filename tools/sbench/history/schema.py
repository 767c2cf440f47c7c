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

import re

from . import sql as stores

VERSION = 2

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
_SERIES = """CREATE TABLE series (
 id {id},
 machine_id BIGINT NOT NULL REFERENCES machines (id),
 configuration_id BIGINT NOT NULL REFERENCES configurations (id),
 workload_id BIGINT NOT NULL REFERENCES workloads (id),
 measure TEXT NOT NULL CHECK (measure IN ('time', 'memory')),
 unit TEXT NOT NULL,
 UNIQUE (machine_id, configuration_id, workload_id, measure))"""
_COMPARISONS = """CREATE TABLE comparisons (
 id {id},
 digest TEXT NOT NULL UNIQUE,          -- SHA-256 of the results file, or run:... for one recorded as it ran
 machine_id BIGINT NOT NULL REFERENCES machines (id),
 host_name TEXT NOT NULL, kernel TEXT NOT NULL, memory_mib BIGINT NOT NULL,
 created TEXT NOT NULL,                -- as the results file says
 recorded TEXT NOT NULL,               -- UTC, when it came into the store
 complete INTEGER NOT NULL,
 against_id BIGINT REFERENCES configurations (id),
 plan TEXT NOT NULL,                   -- JSON
 source TEXT NOT NULL DEFAULT '')"""
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
_CHANGES = """CREATE TABLE changes (
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
_INDEXES = ["CREATE INDEX results_by_series ON results (configuration_id, workload_id)",
            "CREATE INDEX comparisons_by_machine ON comparisons (machine_id)"]

# The first version: no library sets, no changes. Kept as it was, so that its
# migration can be tried on a store it made.
FIRST = [_MACHINES, _REPOSITORIES, _COMMITS, _CONFIGURATIONS, _WORKLOADS, _SERIES, _COMPARISONS, _RESULTS,
         _RUNS_1] + _INDEXES
TABLES = [_MACHINES, _REPOSITORIES, _COMMITS, _CONFIGURATIONS, _WORKLOADS, _SERIES, _COMPARISONS, _RESULTS,
          _LIBRARY_SETS,
          _RUNS_1.replace(" details TEXT", " libraries_id BIGINT REFERENCES library_sets (id),\n details TEXT"),
          _CHANGES] + _INDEXES
# MIGRATIONS[v]: from version v to v + 1.
MIGRATIONS = {1: [_LIBRARY_SETS, "ALTER TABLE runs ADD COLUMN libraries_id BIGINT REFERENCES library_sets (id)",
                  _CHANGES]}

_LOCK = 7291031  # PostgreSQL advisory lock: one process makes or migrates the schema at a time


def _ddl(store, text):
    stores.execute(store, text.format(id=ID[store["kind"]], blob=BLOB[store["kind"]]))


# SQLite's header field for the program a file belongs to: set when a store is made or migrated.
APPLICATION_ID = 0x53424848  # "SBHH"


def _tables(version):
    """The names of the tables a store of this tool has at a version."""
    texts = FIRST + [text for step in range(1, version) for text in MIGRATIONS.get(step, [])]
    made = (re.match(r"CREATE TABLE (?:IF NOT EXISTS )?(\w+)", text) for text in texts)
    return {match.group(1) for match in made if match}


def version(store):
    """The store's schema version, 0 when it is empty; raises StoreError
    when it is not this tool's store (another program's tables, its
    application id in SQLite's header), having written nothing. Stores made
    before the application id was set are known by their schema_version and
    their tables."""
    if store["kind"] == "sqlite":
        found = stores.rows(store, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%'")
        application = stores.one(store, "PRAGMA application_id")["application_id"]
    else:
        # The catalog as a query sees it now (to_regclass may answer from a cache older than a lock).
        found = stores.rows(store, "SELECT tablename AS name FROM pg_catalog.pg_tables "
                                   "WHERE schemaname = current_schema()")
        application = 0
    tables = {row["name"] for row in found}
    foreign = stores.StoreError("store %s: not a shaderbench history (another program's database?): left as "
                                "it is" % store["shown"])
    if application not in (0, APPLICATION_ID):
        raise foreign
    if "schema_version" not in tables:
        if tables:
            raise foreign
        return 0
    try:
        seen = stores.one(store, "SELECT MAX(version) AS version FROM schema_version")["version"]
    except stores.StoreError as error:
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
        raise stores.StoreError("store %s has schema version %d, newer than this tool's (%d): use a newer "
                                "shaderbench" % (store["shown"], seen, VERSION))
    if seen == to:
        return
    if seen == 0 and not (write and create):
        raise stores.StoreError("store %s: nothing is recorded there (record makes it)" % store["shown"])
    if not write:
        raise stores.StoreError("store %s has schema version %d, older than this tool's (%d): a write (record) "
                                "migrates it" % (store["shown"], seen, VERSION))
    with stores.transaction(store):
        if store["kind"] == "postgresql":
            stores.execute(store, "SELECT pg_advisory_xact_lock(%d)" % _LOCK)
        seen = version(store)  # again, inside the lock: another process may have made it meanwhile
        if seen > VERSION:
            raise stores.StoreError("store %s has schema version %d, newer than this tool's (%d)"
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
        stores.execute(store, "INSERT INTO schema_version (version, applied) VALUES (:v, :at)",
                       {"v": seen, "at": now()})
        if store["kind"] == "sqlite" and to == VERSION:
            stores.execute(store, "PRAGMA application_id = %d" % APPLICATION_ID)


def now():
    import datetime
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="microseconds")
