"""Store saved results in the history, each file in one transaction. A run
is its comparison (the id its results file was given when it started, kept
by --resume) and its number: recording adds the runs the store lacks, so a
partial copy, the whole file, a re-indented copy and a resumed file store
each run once ("already recorded" when nothing was added). A record adds
what an earlier one lacked (a --commit, a --machine tag) and refuses what
contradicts it. Every file is read and checked first; a bad one is refused
before anything is written.

--commit CONFIG=REV says which commit of the driver (in --repo, default the
current directory) a configuration ran: a commit of the first-parent line of
the checked-out HEAD (one a merge brought in is refused, naming the merge).
Without it, a configuration's results have no commit and take their place in
the history by when they were recorded."""

import os
import sys

from ..results import document as results
from ..system import interrupts
from ..system.git import GitError, git, is_ancestor
from ..history import comparisons, store as stores
from ..system.text import printable
from .common import Refused, add_store_options

NAME = "record"
USAGE = "record [options] FILE.json..."
HELP = "store saved results in the history (a SQLite file, or a PostgreSQL a fleet shares)"


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    parser.add_argument("files", nargs="+", metavar="FILE.json", help="a results file (--json of a comparison)")
    add_store_options(parser)
    return parser


def resolve_commits(given, repo, line="HEAD"):
    """{configuration: dict(root, name, sha, position)} of --commit CONFIG=REV,
    each placed on the first-parent line of line (what --repo has checked
    out; a bisect's: its BAD commit)."""
    try:
        return _resolved(given, repo, line)
    except GitError as error:
        raise Refused(str(error))


def _resolved(given, repo, line):
    found = {}
    for text in given:
        name, equals, rev = text.partition("=")
        if not equals or not name or not rev:
            raise Refused("--commit %s: give it as CONFIG=REV (new=HEAD)" % text)
        repo = repo or "."
        if git(repo, "rev-parse", "--is-shallow-repository").strip() == "true":
            raise Refused("--repo %s is a shallow clone, where a commit's place on the first-parent line is "
                          "unknown: deepen it with git -C %s fetch --unshallow" % (repo, repo))
        if rev.startswith("-"):
            raise Refused("--commit %s: %r is not a commit" % (text, rev))
        sha = git(repo, "rev-parse", "--verify", "--end-of-options", rev + "^{commit}").strip()
        position = int(git(repo, "rev-list", "--first-parent", "--count", sha))
        _on_line(repo, text, sha, position, line)
        root = git(repo, "rev-list", "--first-parent", "--max-parents=0", sha).split()[-1]
        found[name] = {"root": root, "name": os.path.basename(os.path.abspath(repo)), "sha": sha,
                       "position": position}
    return found


def _on_line(repo, text, sha, position, line):
    """Refuses a commit off the first-parent line of line: its own parents
    would give it a position that a commit of the line holds too, and a
    change would be put on it rather than on the merge that brought it in."""
    length = int(git(repo, "rev-list", "--first-parent", "--count", line))
    if position <= length and git(repo, "rev-list", "--first-parent", "--skip=%d" % (length - position),
                                  "--max-count=1", line).strip() == sha:
        return
    if not is_ancestor(repo, sha, line):
        raise Refused("--commit %s: %s is not in the history of %s in %s: check out the line the history "
                      "follows, at that commit or a later one" % (text, sha[:12], line, repo))
    after = set(git(repo, "rev-list", "--ancestry-path", "%s..%s" % (sha, line)).split())
    merge = [c for c in git(repo, "rev-list", "--first-parent", "%s..%s" % (sha, line)).split() if c in after][-1]
    raise Refused("--commit %s: %s is not on the first-parent line of %s in %s: merge %s (position %s) brought it "
                  "in; record that merge, since a branch's own commits take positions the line's commits hold"
                  % (text, sha[:12], line, repo, merge[:12],
                     git(repo, "rev-list", "--first-parent", "--count", merge).strip()))


def run(args, here):
    with interrupts.raising():
        try:
            return record_files(args)
        except (Refused, results.ResultsError, stores.StoreError) as error:
            print("compare: %s" % printable(error), file=sys.stderr)
            return 2
        except interrupts.Interrupted as interrupt:
            print("compare: interrupted (%s): the file being recorded was not" % interrupt, file=sys.stderr)
            return interrupt.status


def record_files(args):
    loaded = [(path, results.load(path)) for path in args.files]
    commits = resolve_commits(args.commit, args.repo)
    names = {r["configuration"] for _, document in loaded for r in document["results"]}
    for name in commits:
        if name not in names:
            raise Refused("--commit %s=...: no configuration of that name in %s" % (name, " ".join(args.files)))
    store = stores.connect(args.store)
    try:
        for path, document in loaded:
            try:
                done = comparisons.write(store, document, commits, args.machine, path)
            except comparisons.Contradiction as error:
                raise Refused("%s: %s" % (path, error))
            if done["new"]:
                print("%s: recorded, %d runs (comparison %d)" % (printable(path), done["runs"], done["comparison"]))
            elif done["runs"] or done["applied"]:
                said = ["added %d runs" % done["runs"]] if done["runs"] else []
                said += ["set %s" % ", ".join(done["applied"])] if done["applied"] else []
                print("%s: %s (comparison %d)" % (printable(path), printable("; ".join(said)), done["comparison"]))
            else:
                print("%s: already recorded" % printable(path))
                continue
            undated = sorted({r["configuration"] for r in document["results"]} - set(commits))
            if undated:
                print("  without --commit, %s %s ordered by when it was recorded"
                      % (", ".join(map(printable, undated)), "is" if len(undated) == 1 else "are"))
    finally:
        stores.close(store)
    return 0


def recorder(args, source):
    """record(document) for run --record: each call writes the runs not yet
    in the store, in a transaction of their own; record(None) closes the
    store. A store that fails later costs no run: the results file keeps
    them all, and a line says so once."""
    commits = resolve_commits(args.commit, args.repo)
    try:
        store = stores.connect(args.store)
    except stores.StoreError as error:
        raise Refused(str(error))
    done, told = set(), []

    def write(document):
        if document is None:
            stores.close(store)
            return
        try:
            comparisons.write(store, document, commits, args.machine, source, skip=done)
        except stores.StoreError as error:  # every error of the store's driver comes as one
            if not told:
                told.append(error)
                print("compare: recording into %s failed (%s); the runs from here are not in the history%s"
                      % (printable(store["shown"]), printable(" ".join(str(error).split())),
                         ": record the results file once it ends" if source else ""), file=sys.stderr)
            return
        for result in document["results"]:
            numbered = [(run.get("run") or i + 1) for i, run in enumerate(result["runs"])]
            done.update((result["configuration"], result["shaders"]["label"], n)
                        for n in numbered + [f["run"] for f in result["failed_runs"]])
    return write
