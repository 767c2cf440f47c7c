"""Where the history lives: the store's URL, and a handle on it (a dict over
sqlite3 or psycopg) with its schema made or migrated. What is said through
the handle is in sql.py; its names are taken here too, so that a caller
needs one module.
"""

import contextlib
import os
import re
import urllib.parse

from . import schema
from .sql import BUSY_SECONDS, StoreError, close, errors, execute, execute_many, one, rows, transaction  # noqa: F401

ENVIRONMENT = "SHADERBENCH_STORE"
# libpq's key=value form (dbname=history user=ci, service=history): what a path seldom starts with.
_KEY_VALUE = re.compile(r"\s*[A-Za-z_]+\s*=")
_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*:")
COMPANIONS = ("", "-wal", "-shm", "-journal")  # a SQLite file and the files SQLite keeps beside it


def default_path():
    data = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(data, "shaderbench", "history.sqlite")


def parse(url):
    """(kind, target, shown): kind "sqlite" (target a path) or "postgresql"
    (target what libpq reads: a URL in any letter case of its scheme, or its
    key=value form; a service, .pgpass, PG* variables). url None:
    SHADERBENCH_STORE, else the default file. A password, a sqlite: naming
    no file and any other scheme are refused, never taken as a file name."""
    chosen = url or os.environ.get(ENVIRONMENT) or None
    if chosen is None:
        return "sqlite", default_path(), default_path()
    scheme = _SCHEME.match(chosen)
    # "xyz:" of a URL xyz://...; "" for anything else
    scheme = scheme.group(0).lower() if scheme and chosen[scheme.end():].startswith("//") else ""
    if scheme in ("postgresql:", "postgres:"):
        chosen = scheme + chosen[len(scheme):]  # libpq knows its scheme in lower case only
    elif chosen.lower().startswith("sqlite:"):
        path = chosen[len("sqlite://"):] if scheme else ""
        if not path:
            raise StoreError("store %r names no file: give sqlite:///ABSOLUTE/PATH, sqlite://RELATIVE/PATH or "
                             "a path" % chosen)
        return "sqlite", path, path
    elif scheme:  # the rest not shown: it may hold a password
        raise StoreError("store: a %s// URL is not a store: give a path, sqlite:///PATH or postgresql://..."
                         % scheme)
    elif not _KEY_VALUE.match(chosen):
        return "sqlite", chosen, chosen
    import psycopg.conninfo
    try:
        parts = psycopg.conninfo.conninfo_to_dict(chosen)
    except psycopg.Error as error:
        # Not echoed: the text libpq could not read may hold a password.
        raise StoreError("store: not a PostgreSQL URL or connection string (%s); a file of such a name: give "
                         "it as ./NAME" % str(error).strip().splitlines()[0].split(" after ")[0])
    if parts.get("password"):
        raise StoreError("store URL or connection string holds a password, which anyone can read in ps: put "
                         "it in ~/.pgpass or a service file instead")
    return "postgresql", chosen, chosen


def files(url):
    """The files of the store at url: a SQLite file and its companions; none
    for PostgreSQL. Raises StoreError as parse does."""
    kind, target, _ = parse(url)
    return [target + suffix for suffix in COMPANIONS] if kind == "sqlite" else []


def connect(url=None, write=True, create=True, first=False):
    """A handle on this tool's store at url (see parse); raises StoreError. A
    file or database that is not this tool's store is refused untouched.
    write: the schema is made (create) or migrated to the tool's; otherwise
    nothing is written, and an empty, missing or older store is refused.
    first: an empty store gets the first schema version instead (to try its
    migration)."""
    kind, target, shown = parse(url)
    store = {"kind": kind, "shown": shown}
    if kind == "sqlite":
        store["conn"] = _sqlite(target, shown, write, create, url is None and not os.environ.get(ENVIRONMENT))
    else:
        store["conn"] = _postgresql(target)
    try:
        if kind == "sqlite" and write:
            # WAL lets readers go on while one writer writes; it needs a local file system.
            if one(store, "PRAGMA journal_mode = WAL")["journal_mode"].lower() != "wal":
                raise StoreError("store %s: cannot be put in WAL mode (is it on a network file system?)" % shown)
        if first:
            schema.prepare(store, schema.FIRST, 1)
        else:
            schema.prepare(store, write=write, create=create)
    except BaseException:
        close(store)
        raise
    return store


def _open_sqlite(path, mode):
    import sqlite3
    absolute = "/" + os.path.abspath(path).lstrip("/")  # "//x" would be a URI's authority
    conn = sqlite3.connect("file:%s?mode=%s" % (urllib.parse.quote(absolute), mode), uri=True,
                           timeout=BUSY_SECONDS, isolation_level=None)
    conn.row_factory = sqlite3.Row
    return conn


def _sqlite(path, shown, write, create, default):
    """A connection to the file at path; a write one only once a connection
    that cannot write has found it to be this tool's store (or empty)."""
    import sqlite3
    exists = os.path.exists(path)
    if not exists and not (write and create):
        raise StoreError("store %s: no such file: nothing is recorded there (record makes it)" % shown)
    try:
        if exists and write:
            seen = {"kind": "sqlite", "shown": shown, "conn": _open_sqlite(path, "ro")}
            try:
                schema.version(seen)
            finally:
                close(seen)
            if not os.access(path, os.W_OK):  # SQLite would open it all the same, and fail at the first write
                raise StoreError("store %s: cannot be written (a read-only file): history and changes without "
                                 "--detect only read it" % shown)
        elif default:
            with contextlib.suppress(OSError):
                os.makedirs(os.path.dirname(path), exist_ok=True)
        conn = _open_sqlite(path, "rwc" if write else "ro")
        conn.execute("PRAGMA foreign_keys = ON")
    except sqlite3.Error as error:
        raise StoreError("store %s: cannot be opened: %s" % (shown, error))
    return conn


def _postgresql(uri):
    import psycopg
    import psycopg.rows
    try:
        conn = psycopg.connect(uri, autocommit=True, row_factory=psycopg.rows.dict_row)
        # Set here, not as options=, which would replace the URL's own options and PGOPTIONS (a search_path).
        conn.execute("SET lock_timeout = '%ds'" % BUSY_SECONDS)
    except psycopg.Error as error:
        raise StoreError("store %s: cannot be opened: %s" % (uri, " ".join(str(error).split())))
    return conn
