"""A driver's commits, each built once into a directory of its own and kept.

The user's repository is only read: each commit is checked out into a clone
of its own (sharing the repository's objects) in the builds directory, and
built there by the user's command, its output in a log beside it. A build
that finished (built, failed or timed out) is recorded in build.json and
never made again; one that an interrupt cut short has no record and is
removed and made anew. Old builds beyond a limit are removed, least
recently used first.

  BUILDS/<commit>/src        the commit's source tree   ({src})
  BUILDS/<commit>/prefix     where its build installs   ({prefix})
  BUILDS/<commit>/build.log  the build's output
  BUILDS/<commit>/build.json how it ended
"""

import json
import os
import re
import shlex
import shutil
import signal
import stat
import subprocess
import time

from ..running import harness
from ..system import files as outputs, scratch
from ..system.interrupts import shielded

HASH = re.compile(r"[0-9a-f]{40}|[0-9a-f]{64}")
PLACEHOLDERS = ("{src}", "{prefix}", "{commit}")
RECORD = "build.json"


class BuildError(Exception):
    """A repository, range or builds directory the bisect cannot use."""


def default_root():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "shaderbench", "builds")


def git(repo, *argv):
    """The output of a git command that only reads the repository."""
    done = subprocess.run(["git", "-C", repo, *argv], stdin=subprocess.DEVNULL, capture_output=True)
    if done.returncode:
        raise BuildError("git %s: %s" % (" ".join(argv), done.stderr.decode(errors="replace").strip()))
    return done.stdout.decode(errors="replace")


def commit_of(repo, name):
    """The full hash of a commit named by the user (a branch, a tag, a hash)."""
    if name.startswith("-"):
        raise BuildError("%r is not a commit" % name)
    return git(repo, "rev-parse", "--verify", "--end-of-options", name + "^{commit}").strip()


def commits_between(repo, good, bad):
    """[GOOD, ..., BAD]: the first-parent line from good to bad, oldest first."""
    if good == bad:
        return [good]
    if subprocess.run(["git", "-C", repo, "merge-base", "--is-ancestor", good, bad],
                      stdin=subprocess.DEVNULL, capture_output=True).returncode:
        raise BuildError("%s is not an ancestor of %s" % (good[:12], bad[:12]))
    line = git(repo, "rev-list", "--reverse", "--first-parent", "--ancestry-path", "%s..%s" % (good, bad)).split()
    return [good] + line


def describe(repo, commit):
    """(subject, date) of a commit."""
    subject, _, date = git(repo, "log", "-1", "--format=%s%x00%cI", commit).rstrip("\n").partition("\0")
    return subject, date


def substitute(text, paths, quote):
    """text with {src}, {prefix} and {commit} replaced; quoted for a shell when quote."""
    for placeholder in PLACEHOLDERS:
        value = paths[placeholder[1:-1]]
        text = text.replace(placeholder, shlex.quote(value) if quote else value)
    return text


def checked_root(root):
    """The builds directory, made if missing (mode 0700). Another user's, or
    one that others can write, is refused: its builds would run as ours."""
    os.makedirs(root, mode=0o700, exist_ok=True)
    found = os.stat(root)
    if found.st_uid != os.geteuid():
        raise BuildError("%s belongs to another user (uid %d)" % (root, found.st_uid))
    if found.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise BuildError("%s: others can write to it" % root)
    return os.path.realpath(root)


def paths_of(root, commit):
    if not HASH.fullmatch(commit):
        raise BuildError("%r is not a full commit hash" % commit)
    directory = os.path.join(root, commit)
    return {"directory": directory, "src": os.path.join(directory, "src"),
            "prefix": os.path.join(directory, "prefix"), "commit": commit,
            "log": os.path.join(directory, "build.log")}


def recorded(root, commit):
    """The record of a finished build of commit, or None."""
    path = os.path.join(paths_of(root, commit)["directory"], RECORD)
    try:
        with open(path, "rb") as f:
            record = json.loads(f.read(1 << 16))
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict) or record.get("status") not in ("built", "failed", "timeout"):
        return None
    return record


def stop_build(proc, grace=5.0):
    """Stops a build and all it started (its process group): SIGTERM, then SIGKILL."""
    with shielded():
        harness.signal_group(proc, signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            pass
        harness.signal_group(proc, signal.SIGKILL)
        proc.wait()


def build(repo, commit, root, command, timeout, show):
    """The record of commit's build: made now, or the one kept from before
    (its "reused" then True). show(text) is called about once a second while
    it builds. A record: status (built, failed, timeout), reason, seconds,
    plus the paths (src, prefix, log)."""
    paths = paths_of(root, commit)
    kept = recorded(root, commit)
    if kept:
        os.utime(os.path.join(paths["directory"], RECORD))  # recently used: pruned last
        return dict(kept, reused=True, **paths)
    with shielded():
        shutil.rmtree(paths["directory"], ignore_errors=True)  # a build an interrupt cut short
        os.makedirs(paths["prefix"])
    git(repo, "clone", "--quiet", "--shared", "--no-checkout", os.path.abspath(repo), paths["src"])
    git(paths["src"], "-c", "advice.detachedHead=false", "checkout", "--quiet", "--detach", commit)
    started = time.monotonic()
    status, reason = "built", None
    with open(paths["log"], "wb") as log, \
            scratch.child(["/bin/sh", "-c", substitute(command, paths, quote=True)], stop_build,
                          cwd=paths["src"], stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                          preexec_fn=scratch.own_session, start_new_session=True) as proc:
        while proc.poll() is None:
            elapsed = time.monotonic() - started
            if elapsed > timeout:
                status, reason = "timeout", "build ran past --build-timeout (%g s)" % timeout
                break
            show("building %s: %d s" % (commit[:12], elapsed))
            time.sleep(min(1.0, max(0.01, timeout - elapsed)))
        if status == "built" and proc.returncode:
            status, reason = "failed", "build failed with status %d: see %s" % (proc.returncode, paths["log"])
    record = {"commit": commit, "status": status, "reason": reason,
              "seconds": round(time.monotonic() - started, 3)}
    outputs.write(os.path.join(paths["directory"], RECORD), lambda f: json.dump(record, f))
    return dict(record, reused=False, **paths)


def prune(root, keep, protected=()):
    """Removes the least recently used finished builds beyond the newest keep,
    never one in protected; returns the commits removed."""
    found = []
    for name in os.listdir(root):
        record = os.path.join(root, name, RECORD)
        if HASH.fullmatch(name) and name not in protected and os.path.isfile(record):
            found.append((os.stat(record).st_mtime, name))
    removed = [name for _, name in sorted(found, reverse=True)[max(0, keep - len(protected)):]]
    for name in removed:
        with shielded():
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)
    return removed
