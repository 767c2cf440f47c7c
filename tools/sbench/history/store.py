"""Where the history lives: the store's URL, and a handle on it (a dict over
sqlite3 or psycopg) with its schema made or migrated. What is said through
the handle is in sql.py; its names are taken here too, so that a caller
needs one module.
"""

import contextlib
import os

from . import schema
from .sql import BUSY_SECONDS, StoreError, close, errors, execute, execute_many, one, rows, transaction  # noqa: F401

ENVIRONMENT = "SHADERBENCH_STORE"
PREFIXES_PG = ("postgresql://", "postgres://")


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
