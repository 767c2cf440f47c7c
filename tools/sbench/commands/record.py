"""Store saved results in the history, each file in one transaction, keyed by
its SHA-256: a file recorded twice, or by two runners at once, is stored
once ("already recorded"). Every file is read and checked first; a bad one
is refused before anything is written.

--commit CONFIG=REV says which commit of the driver (in --repo, default the
current directory) a configuration ran; without it, a configuration's
results have no commit and take their place in the history by when they
were recorded."""

import os
import subprocess
import sys

from ..results import document as results
from ..running import plan as plans
from ..system import interrupts
from ..history import record, store as stores
from ..system.text import printable

NAME = "record"
USAGE = "record [options] FILE.json..."
HELP = "store saved results in the history (a SQLite file, or a PostgreSQL a fleet shares)"


def add_store_options(parser, commits=True):
    """--store, and for what writes: --machine, --repo and --commit."""
    parser.add_argument("--store", metavar="URL",
                        help="the history: a path, sqlite:///PATH, postgresql://... or libpq's \"dbname=... host=...\" "
                             "(default: $SHADERBENCH_STORE, else $XDG_DATA_HOME/shaderbench/history.sqlite)")
    if commits:
        parser.add_argument("--machine", metavar="NAME",
                            help="a tag that tells this machine from others with the same CPU, cores and memory "
                                 "(a CI runner's name)")
        parser.add_argument("--repo", metavar="DIR", help="the driver's git repository (default: the current "
                                                          "directory)")
        parser.add_argument("--commit", action="append", default=[], metavar="CONFIG=REV",
                            help="the commit of the driver that CONFIG ran (new=HEAD); may be repeated")


def with_store(url, work, refused=None, write=False):
    """(None, work(store)), the store at url opened for it (never made: a
    read writes nothing, a write migrates an older schema) and closed after;
    (2, None) with one line when refused (why the command cannot go on, said
    first) or when the store cannot be used; (the status, None) on an
    interrupt. For inside interrupts.raising()."""
    try:
        if refused:
            raise stores.StoreError(refused)
        store = stores.connect(url, write=write, create=False)
        try:
            return None, work(store)
        finally:
            stores.close(store)
    except stores.StoreError as error:
        print("compare: %s" % printable(error), file=sys.stderr)
        return 2, None
    except interrupts.Interrupted as interrupt:
        return interrupt.status, None


def add_parser(subparsers):
    parser = subparsers.add_parser(NAME, help=HELP, description=__doc__)
    parser.add_argument("files", nargs="+", metavar="FILE.json", help="a results file (--json of a comparison)")
    add_store_options(parser)
    return parser


class Refused(Exception):
    pass


def git(repo, *argv):
    done = subprocess.run(["git", "-C", repo, *argv], stdin=subprocess.DEVNULL, capture_output=True)
    if done.returncode:
        raise Refused("git %s: %s" % (" ".join(argv), done.stderr.decode(errors="replace").strip()))
    return done.stdout.decode(errors="replace")


def resolve_commits(given, repo):
    """{configuration: dict(root, name, sha, position)} of --commit CONFIG=REV."""
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
        root = git(repo, "rev-list", "--first-parent", "--max-parents=0", sha).split()[-1]
        found[name] = {"root": root, "name": os.path.basename(os.path.abspath(repo)), "sha": sha,
                       "position": position}
    return found


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
    loaded = []
    for path in args.files:
        document = results.load(path)
        try:
            loaded.append((path, document, plans.sha256(path)))
        except OSError as error:
            raise Refused("%s: %s" % (path, error.strerror or error))
    commits = resolve_commits(args.commit, args.repo)
    names = {r["configuration"] for _, document, _ in loaded for r in document["results"]}
    for name in commits:
        if name not in names:
            raise Refused("--commit %s=...: no configuration of that name in %s" % (name, " ".join(args.files)))
    store = stores.connect(args.store)
    try:
        for path, document, digest in loaded:
            try:
                comparison, written = record.write(store, document, digest, commits, args.machine, path)
            except stores.errors(store) as error:
                raise stores.StoreError("store %s: %s" % (store["shown"], " ".join(str(error).split())))
            if comparison is None:
                print("%s: already recorded" % printable(path))
                continue
            print("%s: recorded, %d runs (comparison %d)" % (printable(path), written, comparison))
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
            record.write(store, document, record.live_digest(document), commits, args.machine, source,
                         live=True, skip=done)
        except (stores.StoreError, stores.errors(store)) as error:
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


def bisect_recorder(args, document, shaders):
    """record(commit, run) for bisect --record: each finished run goes into
    the history in a transaction of its own, a point at the commit it ran
    (one comparison per commit of the bisect, keyed by the bisect's start,
    so that a resumed bisect adds to the same ones); record(None, None)
    closes the store. Its configuration is "bisect", with the --use
    variables as given, so that every commit's runs are one series. A store
    that fails later costs no run: the bisect goes on, and a line says so
    once."""
    try:
        store = stores.connect(args.store)
    except stores.StoreError as error:
        raise Refused(str(error))
    settings, commits, told = document["settings"], {}, []
    environment = dict(text.partition("=")[::2] for text in settings["use"])
    plan = {"bisect": {k: settings[k] for k in ("repo", "build", "use", "measure", "cache")},
            "configurations": [{"name": BISECT, "environment": environment}]}

    def write(commit, run):
        if commit is None:
            stores.close(store)
            return
        try:
            if commit not in commits:
                commits[commit] = resolve_commits(["%s=%s" % (BISECT, commit)], settings["repo"])
            failed = "failed" in run
            measured = dict(run, reason=run["failed"], failed=True) if failed else run
            point = {"host": document["host"], "created": document["created"], "complete": False,
                     "binary": document["binary"], "plan": dict(plan, commit=commit),
                     "results": [{"configuration": BISECT, "environment": environment, "renderer": None,
                                  "gl_version": None, "cache": settings["cache"], "shaders": shaders,
                                  "failure": None, "runs": [] if failed else [measured],
                                  "failed_runs": [measured] if failed else []}]}
            record.write(store, point, record.live_digest(point), commits[commit], args.machine,
                         args.json or args.resume or "", live=True)
        except (Refused, stores.StoreError, stores.errors(store)) as error:
            if not told:
                told.append(error)
                print("compare: recording into %s failed (%s); the runs from here are not in the history"
                      % (printable(store["shown"]), printable(" ".join(str(error).split()))), file=sys.stderr)
    return write


BISECT = "bisect"
