"""git on a repository the user named: one way to run it for the whole
tool, its output as text, a failure as GitError in git's own words."""

import subprocess


class GitError(Exception):
    """A git command that failed; the text names it and says git's reason."""


def git(repo, *argv):
    """The output of a git command that only reads the repository."""
    done = subprocess.run(["git", "-C", repo, *argv], stdin=subprocess.DEVNULL, capture_output=True)
    if done.returncode:
        raise GitError("git %s: %s" % (" ".join(argv), done.stderr.decode(errors="replace").strip()))
    return done.stdout.decode(errors="replace")


def is_ancestor(repo, commit, of):
    """Whether commit is in the history of of (git's answer is its status)."""
    return subprocess.run(["git", "-C", repo, "merge-base", "--is-ancestor", commit, of],
                          stdin=subprocess.DEVNULL, capture_output=True).returncode == 0
