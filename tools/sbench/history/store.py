"""Where the history lives, and the one way to talk to it: a handle (a dict)
over Python's sqlite3 or psycopg, one SQL text for both.

SQL is written with :name placeholders (sqlite3's); for PostgreSQL they are
turned into %(name)s. Both connections run in autocommit, and a write is
always inside transaction(), so that what it writes is all there or not at
all: BEGIN IMMEDIATE on SQLite (so that two writers never deadlock on the
upgrade of a read lock: the second waits for the busy timeout), BEGIN on
PostgreSQL with a lock timeout of the same length.
"""

import contextlib
import os
import re

BUSY_SECONDS = 30
ENVIRONMENT = "SHADERBENCH_STORE"
PREFIXES_PG = ("postgresql://", "postgres://")


class StoreError(Exception):
    """A store that cannot be opened or used; the text says which and why."""


def default_path():
    data = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(data, "shaderbench", "history.sqlite")


def parse(url):
    """(kind, target, shown): kind "sqlite" (target a path) or "postgresql"
    (target libpq's URI, its own forms: a service, .pgpass, PG* variables).
    url None: SHADERBENCH_STORE, else the default file."""
    chosen = url or os.environ.get(ENVIRONMENT) or None
    if chosen is None:
        return "sqlite", default_path(), default_path()
    if chosen.startswith(PREFIXES_PG):
        import psycopg.conninfo
        try:
            parts = psycopg.conninfo.conninfo_to_dict(chosen)
        except psycopg.Error as error:
            raise StoreError("store %s: not a PostgreSQL URL (%s)" % (chosen, str(error).strip().splitlines()[0]))
        if parts.get("password"):
            raise StoreError("store URL holds a password, which anyone can read in ps: put it in ~/.pgpass "
                             "or a service file instead")
        return "postgresql", chosen, chosen
    if chosen.startswith("sqlite://"):
        chosen = chosen[len("sqlite://"):]
    if not chosen:
        raise StoreError("store %r names no file" % url)
    return "sqlite", chosen, chosen


def connect(url=None, create=True, first=False):
    """A handle on the store at url (see parse), its schema made or migrated
    to the tool's; raises StoreError. create=False: a missing SQLite file is
    refused rather than made. first: an empty store gets the first schema
    version instead (to try its migration)."""
    kind, target, shown = parse(url)
    store = {"kind": kind, "shown": shown}
    if kind == "sqlite":
        store["conn"] = _sqlite(target, create, url is None and not os.environ.get(ENVIRONMENT))
    else:
        store["conn"] = _postgresql(target)
    from . import schema
    try:
        if first:
            schema.prepare(store, schema.FIRST, 1)
        else:
            schema.prepare(store)
    except BaseException:
        close(store)
        raise
    return store


def _sqlite(path, create, default):
    import sqlite3
    if default and create:
        with contextlib.suppress(OSError):
            os.makedirs(os.path.dirname(path), exist_ok=True)
    if not create and not os.path.exists(path):
        raise StoreError("store %s: no such file (nothing recorded there yet)" % path)
    try:
        conn = sqlite3.connect(path, timeout=BUSY_SECONDS, isolation_level=None)
        conn.row_factory = sqlite3.Row
        conn.execute("PRAGMA foreign_keys = ON")
        # WAL lets readers go on while one writer writes; it needs a local file system.
        if conn.execute("PRAGMA journal_mode = WAL").fetchone()[0].lower() != "wal":
            raise StoreError("store %s: cannot be put in WAL mode (is it on a network file system?)" % path)
    except sqlite3.Error as error:
        raise StoreError("store %s cannot be opened: %s" % (path, error))
    return conn


def _postgresql(uri):
    import psycopg
    import psycopg.rows
    try:
        conn = psycopg.connect(uri, autocommit=True, row_factory=psycopg.rows.dict_row,
                               options="-c lock_timeout=%ds" % BUSY_SECONDS)
    except psycopg.Error as error:
        raise StoreError("store %s cannot be opened: %s" % (uri, " ".join(str(error).split())))
    return conn


def close(store):
    with contextlib.suppress(Exception):
        store["conn"].close()


_PLACEHOLDER = re.compile(r"(?<![:\w]):(\w+)")


def _sql(store, text):
    return _PLACEHOLDER.sub(r"%(\1)s", text.replace("%", "%%")) if store["kind"] == "postgresql" else text


def errors(store):
    """The exception classes the store's driver raises."""
    if store["kind"] == "sqlite":
        import sqlite3
        return sqlite3.Error
    import psycopg
    return psycopg.Error


def execute(store, text, params=None):
    """Runs one statement; its cursor. A lock held past the busy timeout is
    a StoreError that says so."""
    try:
        return store["conn"].execute(_sql(store, text), params or {})
    except errors(store) as error:
        message = " ".join(str(error).split())
        if "locked" in message or "lock timeout" in message:
            raise StoreError("store %s is locked by another writer: waited %d s for it"
                             % (store["shown"], BUSY_SECONDS))
        raise


def rows(store, text, params=None):
    return [dict(row) for row in execute(store, text, params).fetchall()]


def one(store, text, params=None):
    """The first row as a dict, or None."""
    row = execute(store, text, params).fetchone()
    return None if row is None else dict(row)


@contextlib.contextmanager
def transaction(store):
    """A write transaction: committed when the block ends, rolled back when
    anything (an interrupt too) leaves it."""
    execute(store, "BEGIN IMMEDIATE" if store["kind"] == "sqlite" else "BEGIN")
    try:
        yield store
    except BaseException:
        with contextlib.suppress(Exception):
            store["conn"].execute("ROLLBACK")
        raise
    execute(store, "COMMIT")
