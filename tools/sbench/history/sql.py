"""The one way to talk to a store: statements, rows and transactions over
a handle (a dict) on Python's sqlite3 or psycopg, one SQL text for both.

SQL is written with :name placeholders (sqlite3's); for PostgreSQL they are
turned into %(name)s. Both connections run in autocommit, and a write is
always inside transaction(), so that what it writes is all there or not at
all: BEGIN IMMEDIATE on SQLite (so that two writers never deadlock on the
upgrade of a read lock: the second waits for the busy timeout), BEGIN on
PostgreSQL with a lock timeout of the same length.
"""

import contextlib
import re

BUSY_SECONDS = 30


class StoreError(Exception):
    """A store that cannot be opened or used; the text says which and why."""


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


@contextlib.contextmanager
def _said(store):
    """Any error of the driver as a StoreError in one line that names the
    store (a file that cannot be written, a role without the rights), so
    that no command shows a traceback for it; a lock held past the busy
    timeout says so."""
    try:
        yield
    except errors(store) as error:
        message = " ".join(str(error).split())
        if "locked" in message or "lock timeout" in message:
            raise StoreError("store %s is locked by another writer: waited %d s for it"
                             % (store["shown"], BUSY_SECONDS))
        raise StoreError("store %s: %s" % (store["shown"], message or type(error).__name__)) from None


def execute(store, text, params=None):
    """Runs one statement; its cursor."""
    with _said(store):
        return store["conn"].execute(_sql(store, text), params or {})


def execute_many(store, text, params):
    """Runs one statement over each of a list of parameters, in one call
    (psycopg sends them all before it waits for an answer); the number of
    rows they changed."""
    if not params:
        return 0
    with _said(store):
        if store["kind"] == "sqlite":
            return store["conn"].executemany(text, params).rowcount
        with store["conn"].cursor() as cursor:
            cursor.executemany(_sql(store, text), params)
            return cursor.rowcount


def rows(store, text, params=None):
    cursor = execute(store, text, params)
    with _said(store):
        return [dict(row) for row in cursor.fetchall()]


def one(store, text, params=None):
    """The first row as a dict, or None."""
    cursor = execute(store, text, params)
    with _said(store):
        row = cursor.fetchone()
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
