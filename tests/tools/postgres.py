"""A throwaway PostgreSQL 15 for tests and benchmarks: made in a scratch
directory under /tmp (which the postgres user can reach, unlike a checkout
under a 0700 home), listening on a Unix socket there only, removed at the
end. A machine without it is an error, never a reason to skip."""

import os
import shutil
import subprocess
import tempfile

BIN = "/usr/lib/postgresql/15/bin"


def _as_postgres(*command):
    subprocess.run(["runuser", "-u", "postgres", "--"] + list(command), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def start():
    """(url, directory) of a new, running server with a database of its own."""
    if not os.path.exists(os.path.join(BIN, "initdb")):
        raise RuntimeError("PostgreSQL 15 is not installed (Debian package postgresql)")
    directory = tempfile.mkdtemp(prefix="sbench-pg-", dir="/tmp")
    try:
        shutil.chown(directory, "postgres")
        data = os.path.join(directory, "data")
        _as_postgres(BIN + "/initdb", "-D", data, "-A", "trust", "-U", "postgres", "-N")
        _as_postgres(BIN + "/pg_ctl", "-w", "-D", data, "-l", os.path.join(directory, "log"), "-o",
                     "-k %s -c listen_addresses='' -c fsync=off -c max_connections=40" % directory, "start")
        _as_postgres(BIN + "/createdb", "-h", directory, "-U", "postgres", "history")
    except BaseException:
        stop(directory)
        raise
    return "postgresql://postgres@/history?host=%s" % directory, directory


def fresh_database(directory, name):
    """The URL of a new, empty database on the server in directory."""
    _as_postgres(BIN + "/createdb", "-h", directory, "-U", "postgres", name)
    return "postgresql://postgres@/%s?host=%s" % (name, directory)


def stop(directory):
    data = os.path.join(directory, "data")
    if os.path.exists(os.path.join(data, "postmaster.pid")):
        subprocess.run(["runuser", "-u", "postgres", "--", BIN + "/pg_ctl", "-w", "-D", data, "-m", "fast",
                        "stop"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(directory, ignore_errors=True)
