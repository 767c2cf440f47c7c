"""A driver's commits, each built once into a directory of its own and kept.

The user's repository is only read: each commit is checked out into a clone
of its own (sharing the repository's objects) in the builds directory, and
built there by the user's command, its output in a log beside it. A build
is known by everything that makes it, its key: the commit, the command
(with {commit} filled in; {src} and {prefix} name the build's own
directory), the --use values that name the prefix and the layout of a
build (FORMAT). A build that finished is recorded in build.json: a built
one is reused, a failed one too (it would fail again) unless --rebuild,
and one that ran past its limit is made again under another limit. One
that an interrupt cut short has no record and is removed and made anew.
Each build is made under a lock of its own, so that bisects sharing the
directory share its finished builds and wait for one being made. Old
builds beyond a limit are removed, least recently used first.

  BUILDS/<commit>-<key>/src        the commit's source tree   ({src})
  BUILDS/<commit>-<key>/prefix     where its build installs   ({prefix})
  BUILDS/<commit>-<key>/build.log  the build's output
  BUILDS/<commit>-<key>/build.json how it ended
  BUILDS/<commit>-<key>.lock       held while it is made, reused or removed
"""

import contextlib
import datetime
import fcntl
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import time

from ..running import harness
from ..system import files as outputs, scratch
from ..system.git import GitError, git, is_ancestor
from ..system.interrupts import owner, shielded

FORMAT = 2  # the layout of a build and its record; a change makes every build anew
HASH = re.compile(r"[0-9a-f]{40}|[0-9a-f]{64}")
NAME = re.compile(r"([0-9a-f]{40}|[0-9a-f]{64})(-[0-9a-f]{16})?")  # without a key: a build of an older layout
PLACEHOLDER = re.compile(r"\{(src|prefix|commit)\}")
RECORD = "build.json"
REAPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reaper.py")


class BuildError(Exception):
    """A repository, range or builds directory the bisect cannot use."""


# What the repository's and the builds' steps raise, each said in one line.
ERRORS = (BuildError, GitError)


def default_root():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "shaderbench", "builds")


def checked_repo(repo):
    """The top of the repository DIR names; DIR must be that top, not a
    directory inside it, nor a bare repository."""
    real = os.path.realpath(repo)
    top = git(real, "rev-parse", "--show-toplevel").strip()
    if not os.path.samefile(top, real):
        raise BuildError("%s is inside the repository %s: give --repo %s" % (repo, top, shlex.quote(top)))
    return real


def commit_of(repo, name):
    """The full hash of a commit named by the user (a branch, a tag, a hash)."""
    if name.startswith("-"):
        raise BuildError("%r is not a commit" % name)
    return git(repo, "rev-parse", "--verify", "--end-of-options", name + "^{commit}").strip()


def first_parent_line(repo, good, bad):
    """([GOOD, ..., BAD], merges): the first-parent line from bad down to good,
    oldest first, and for each merge on it {"merged": its other parents,
    "base": where the merged side left the line}. Commits a merge brought in
    are not on the line: the merge stands for them."""
    if good == bad:
        return [good], {}
    if not is_ancestor(repo, good, bad):
        raise BuildError("%s is not an ancestor of %s" % (good[:12], bad[:12]))
    line = git(repo, "rev-list", "--first-parent", "--parents", "%s..%s" % (good, bad))
    rows = [row.split() for row in line.splitlines()]
    if rows[-1][1:2] != [good]:  # reached only through a merge's other parent
        raise BuildError("%s is not on the first-parent line of %s: a merge brought it in; give as GOOD a "
                         "commit of that line (git log --first-parent %s)" % (good[:12], bad[:12], bad[:12]))
    merges = {}
    for commit, first, *others in rows:
        if others:
            base = git(repo, "merge-base", first, *others).split()
            merges[commit] = {"merged": others, "base": base[0] if base else None}
    return [good] + [row[0] for row in reversed(rows)], merges


def describe(repo, commit):
    """(subject, date) of a commit."""
    subject, _, date = git(repo, "log", "-1", "--format=%s%x00%cI", commit).rstrip("\n").partition("\0")
    return subject, date


def substitute(text, paths, quote):
    """text with {src}, {prefix} and {commit} replaced, each once, in one pass
    (a value that holds a placeholder stays as it is); quoted for a shell
    when quote."""
    return PLACEHOLDER.sub(lambda found: shlex.quote(paths[found.group(1)]) if quote else paths[found.group(1)],
                           text)


def _safe_parent(found):
    """Whether a directory above the builds lets no other user rename what is
    in it: ours or root's, and not writable by others unless sticky (/tmp),
    where only an entry's owner may rename it, and every entry on our path
    is ours or root's."""
    if found.st_uid not in (os.geteuid(), 0):
        return "belongs to another user (uid %d)" % found.st_uid
    if found.st_mode & (stat.S_IWGRP | stat.S_IWOTH) and not found.st_mode & stat.S_ISVTX:
        return "others can write to it"
    return None


def checked_root(root):
    """The builds directory's real path, made if missing (mode 0700). Another
    user's, or one that others can write, or one below a directory where
    others could rename it or a parent of it, is refused: its builds would
    run as ours. Once checked, no other user can change what the path names."""
    os.makedirs(root, mode=0o700, exist_ok=True)
    real = os.path.realpath(root)
    found = os.stat(real)
    if found.st_uid != os.geteuid():
        raise BuildError("%s belongs to another user (uid %d)" % (root, found.st_uid))
    if found.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise BuildError("%s: others can write to it" % root)
    child = real
    while os.path.dirname(child) != child:
        child = os.path.dirname(child)
        reason = _safe_parent(os.stat(child))
        if reason:
            raise BuildError("%s: its parent %s %s, so its builds could be swapped" % (root, child, reason))
    return real


def key_of(commit, command, use):
    """What names a build: everything that makes it."""
    made = {"format": FORMAT, "commit": commit,
            "command": substitute(command, {"src": "{src}", "prefix": "{prefix}", "commit": commit}, quote=False),
            "use": sorted(value for value in use if "{prefix}" in value)}
    return hashlib.sha256(json.dumps(made, sort_keys=True).encode()).hexdigest()[:16]


def paths_of(root, commit, key):
    if not HASH.fullmatch(commit):
        raise BuildError("%r is not a full commit hash" % commit)
    directory = os.path.join(root, "%s-%s" % (commit, key))
    return {"directory": directory, "src": os.path.join(directory, "src"),
            "prefix": os.path.join(directory, "prefix"), "commit": commit,
            "log": os.path.join(directory, "build.log"), "lock": directory + ".lock"}


def recorded(directory):
    """The record of a finished build in directory, or None."""
    try:
        with open(os.path.join(directory, RECORD), "rb") as f:
            record = json.loads(f.read(1 << 16))
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict) or record.get("status") not in ("built", "failed", "timeout") or \
            record.get("format") != FORMAT:
        return None
    return record


@contextlib.contextmanager
@owner
def held(lock_path, wait=None):
    """Holds the lock file of a build for the block and yields True; yields
    False at once when another holds it and wait is None, else calls wait()
    and waits for it."""
    fd, mine = None, False
    try:
        while not mine:
            with shielded():
                fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                if wait is None:
                    break
                wait()
                wait = lambda: None
                fcntl.flock(fd, fcntl.LOCK_EX)
            # A pruner may have removed the file between our open and our lock: then again.
            with contextlib.suppress(FileNotFoundError):
                mine = os.fstat(fd).st_ino == os.lstat(lock_path).st_ino
            if not mine:
                with shielded():
                    os.close(fd)
                    fd = None
        yield mine
    finally:
        if fd is not None:
            with shielded():
                os.close(fd)


def stop_build(proc, grace=5.0):
    """Stops a build and all it started: its process group gets SIGTERM
    (its reaper among it, which then ends what left the group), then
    SIGKILL."""
    with shielded():
        harness.signal_group(proc, signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            pass
        harness.signal_group(proc, signal.SIGKILL)
        proc.wait()


def why_kept(kept, timeout, rebuild):
    """Why a kept record is taken as it is, or None to build again."""
    if rebuild:
        return None
    if kept["status"] == "built":
        return "build kept from before (made %s by the same command, for the same variables)" % kept["finished"]
    if kept["status"] == "failed":
        return "build kept from before: it %s (%s, the same command; --rebuild tries again)" % (
            kept["reason"], kept["finished"])
    if kept["timeout"] == timeout:
        return "build kept from before: it %s (--rebuild tries again)" % kept["reason"]
    return None


def build(repo, commit, root, command, timeout, show, use=(), rebuild=False):
    """The record of commit's build: made now, or the one kept from before
    (its "reused" then True, and "why" says why). show(text) is called about
    once a second while it builds, and once if it waits for another bisect's
    build of it. A record: status (built, failed, timeout), reason, seconds,
    plus the paths (src, prefix, log)."""
    paths = paths_of(root, commit, key_of(commit, command, use))
    waiting = lambda: show("waiting for another bisect's build of %s (%s)" % (commit[:12], paths["lock"]))
    with held(paths["lock"], waiting):
        kept = recorded(paths["directory"])
        why = kept and why_kept(kept, timeout, rebuild)
        if why:
            os.utime(os.path.join(paths["directory"], RECORD))  # recently used: pruned last
            return dict(kept, reused=True, why=why, **paths)
        return dict(make(repo, commit, paths, command, timeout, show), reused=False, why=None, **paths)


def make(repo, commit, paths, command, timeout, show):
    with shielded():
        shutil.rmtree(paths["directory"], ignore_errors=True)  # a build an interrupt cut short, or made again
        os.makedirs(paths["prefix"])
    git(repo, "clone", "--quiet", "--shared", "--no-checkout", os.path.abspath(repo), paths["src"])
    git(paths["src"], "-c", "advice.detachedHead=false", "checkout", "--quiet", "--detach", commit)
    started = time.monotonic()
    status, reason = "built", None
    argv = [sys.executable, "-I", "-B", REAPER, "/bin/sh", "-c", substitute(command, paths, quote=True)]
    with open(paths["log"], "wb") as log, \
            scratch.child(argv, stop_build, cwd=paths["src"], stdin=subprocess.DEVNULL, stdout=log,
                          stderr=subprocess.STDOUT, preexec_fn=scratch.benchmark_child, start_new_session=True) as proc:
        while proc.poll() is None:
            elapsed = time.monotonic() - started
            if elapsed > timeout:
                status, reason = "timeout", "ran past --build-timeout (%g s)" % timeout
                break
            show("building %s: %d s" % (commit[:12], elapsed))
            scratch.wait(proc, min(1.0, max(0.01, timeout - elapsed)))
        if status == "built" and proc.returncode:
            status, reason = "failed", "failed with status %d: see %s" % (proc.returncode, paths["log"])
    record = {"format": FORMAT, "commit": commit, "command": command, "timeout": timeout, "status": status,
              "reason": reason, "seconds": round(time.monotonic() - started, 3),
              "finished": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")}
    outputs.write(os.path.join(paths["directory"], RECORD), lambda f: json.dump(record, f))
    return record


def prune(root, keep, protected=()):
    """Removes the least recently used finished builds beyond the newest keep,
    never one in protected (directory names) nor one another bisect holds;
    returns the names removed."""
    found = []
    for name in os.listdir(root):
        record = os.path.join(root, name, RECORD)
        if NAME.fullmatch(name) and name not in protected and os.path.isfile(record):
            found.append((os.stat(record).st_mtime, name))
    removed = []
    for _, name in sorted(found, reverse=True)[max(0, keep - len(protected)):]:
        lock = os.path.join(root, name) + ".lock"
        with held(lock) as mine:
            if mine:
                with shielded():
                    shutil.rmtree(os.path.join(root, name), ignore_errors=True)
                    with contextlib.suppress(OSError):
                        os.unlink(lock)
                removed.append(name)
    return removed
