""".shader_test files (a file, directory trees, or several) made into a
corpus: a directory holding a pair per file that makes one, each in the
program's own layout (NAME/shaders/ with the two files by their fixed
names, which --shaders accepts), and manifest.json, which says where each
pair came from, its [require] lines, and every file skipped and why.

The same files give the same corpus, byte for byte: files are taken in the
order of their paths' bytes, names come from those paths, and the manifest
holds nothing of the moment or the machine. Whatever a file holds or is
(a link, a FIFO, a huge file, a name with ..), nothing is read outside the
trees given but the files given, nothing written outside the corpus, and
the corpus appears whole or not at all: it is written in a temporary
directory beside it, then renamed into place.
"""

import hashlib
import json
import os
import re
import shutil
import stat
import tempfile

from . import shader_test
from ..results.program_output import PAIR
from ..system import files, interrupts

FORMAT = "shaderbench-corpus/1"
MANIFEST = "manifest.json"
SUFFIX = ".shader_test"
MAX_FILE_BYTES = 4 << 20  # the largest hand-written file is some 200 KB
NAME_PART = 80

# File-level reasons a file is skipped, besides shader_test's.
LINK = "a symbolic link, not followed"
NOT_FILE = "not a regular file"
TOO_LARGE = "larger than %d MiB" % (MAX_FILE_BYTES >> 20)
UNREADABLE = "unreadable"
SAME_PAIR = "the same pair as a file before it"


class CorpusError(ValueError):
    """A corpus that cannot be made; the text is one line."""


def pair_name(path):
    """A directory name for the pair from the file at path (its path as the
    manifest has it): what of the path is safe, and a digest of the whole, so
    that paths alike once cleaned still differ."""
    raw = os.fsencode(path)
    stem = raw[:-len(SUFFIX)] if raw.endswith(SUFFIX.encode()) else raw
    cleaned = re.sub(rb"[^A-Za-z0-9._+-]+", b"-", stem).strip(b".-")[-NAME_PART:].lstrip(b".-")
    return "%s-%s" % (cleaned.decode() or "pair", hashlib.sha256(raw).hexdigest()[:10])


def walk(source):
    """[(path as the manifest has it, path to open, reason or None)] of one
    source: a file is taken whatever its name; a tree's *.shader_test files,
    each named from the tree's own name down; links inside a tree are not
    followed (they may lead out of it)."""
    source = source.rstrip("/") or "/"
    if not os.path.isdir(source):
        return [(os.path.basename(source), os.path.realpath(source), None)]  # a link given is the user's choice
    top, found, stack = os.path.basename(os.path.abspath(source)), [], [source]
    while stack:  # not os.walk, which recurses: a tree some 300 deep would stop it
        directory = stack.pop()
        try:
            with os.scandir(directory) as listing:
                entries = list(listing)
        except OSError as error:
            found.append((os.path.join(top, os.path.relpath(directory, source)), directory,
                          "%s: %s" % (UNREADABLE, error.strerror)))
            continue
        for entry in entries:
            shown = os.path.join(top, os.path.relpath(entry.path, source))
            if entry.is_dir(follow_symlinks=False):
                stack.append(entry.path)
            elif entry.name.endswith(SUFFIX):
                found.append((shown, entry.path, LINK if entry.is_symlink() else None))
    return found


def read(path):
    """The bytes of a regular file, or a reason it is skipped. No link is
    followed, and a FIFO or device is never waited on."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        return LINK if os.path.islink(path) else "%s: %s" % (UNREADABLE, error.strerror)
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return NOT_FILE
        try:
            data = f.read(MAX_FILE_BYTES + 1)
        except OSError as error:
            return "%s: %s" % (UNREADABLE, error.strerror)
    return TOO_LARGE if len(data) > MAX_FILE_BYTES else data


def gather(sources, versions=False):
    """(pairs, skipped): pairs [(name, vertex, fragment, manifest entry)],
    skipped [(file, reason)], both in the order of the files' paths.
    versions: a #version line added where [require] asks for one
    (shader_test.add_versions), each entry saying where ("version_added")."""
    entries = sorted((entry for source in sources for entry in walk(source)), key=lambda e: os.fsencode(e[0]))
    shown = [entry[0] for entry in entries]
    twice = next((name for i, name in enumerate(shown[1:]) if name == shown[i]), None)
    if twice is not None:
        raise CorpusError("%s is given twice (two sources of one name?)" % twice)
    pairs, skipped, seen = [], [], {}
    for file, path, reason in entries:
        made = reason or read(path)
        made = made if isinstance(made, str) else shader_test.pair(made, versions)
        if isinstance(made, str):
            skipped.append((file, made))
            continue
        vertex, fragment, section, written, require, added = made
        content = hashlib.sha256(hashlib.sha256(vertex).digest() + hashlib.sha256(fragment).digest()).digest()
        if content in seen:
            skipped.append((file, "%s (%s)" % (SAME_PAIR, seen[content])))
            continue
        seen[content] = file
        entry = {"name": pair_name(file), "source": {"file": file, "section": section}, "require": require,
                 "written": written}
        if versions:  # absent otherwise: a corpus of the bytes as they stand is as it always was
            entry["version_added"] = added
        pairs.append((entry["name"], vertex, fragment, entry))
    return pairs, skipped


def reason_key(reason):
    """The reason as counted: the detail after a colon or parenthesis dropped."""
    return reason.split(":")[0].split(" (")[0] if reason.startswith((UNREADABLE, SAME_PAIR)) else reason


def manifest(pairs, skipped):
    counts = {}
    for _, reason in skipped:
        counts[reason_key(reason)] = counts.get(reason_key(reason), 0) + 1
    return {"format": FORMAT, "pairs": [entry for *_, entry in pairs],
            "skipped": {"counts": dict(sorted(counts.items())),
                        "files": [{"file": file, "reason": reason} for file, reason in skipped]}}


def _write_file(path, data):
    with open(path, "xb") as f:
        f.write(data)


def write_corpus(output, pairs, document):
    """The corpus at output, made in a temporary directory beside it and
    renamed into place; nothing is left of it if anything fails."""
    if os.path.lexists(output):
        raise CorpusError("%s exists: the corpus goes into a new directory" % output)
    parent, temporary = os.path.dirname(os.path.abspath(output)), None
    try:
        temporary = tempfile.mkdtemp(dir=parent, prefix=".%s." % os.path.basename(os.path.abspath(output)),
                                     suffix=".tmp")
        for name, vertex, fragment, _ in pairs:
            shaders = os.path.join(temporary, name, "shaders")
            os.makedirs(shaders)
            for file_name, data in zip(PAIR, (vertex, fragment)):
                _write_file(os.path.join(shaders, file_name), data)
        _write_file(os.path.join(temporary, MANIFEST),
                    (json.dumps(document, indent=1, ensure_ascii=True) + "\n").encode())
        os.chmod(temporary, 0o777 & ~files.current_umask())
        os.sync()  # once, not a file at a time (tens of thousands): durable before it is in place
        os.rename(temporary, output)
    except BaseException as error:
        with interrupts.shielded():
            if temporary:
                shutil.rmtree(temporary, ignore_errors=True)
        if isinstance(error, OSError):
            raise CorpusError("cannot make %s: %s" % (output, error.strerror or error))
        raise


def import_files(output, sources, versions=False):
    """Makes the corpus at output from sources (versions: see gather);
    returns its manifest."""
    for source in sources:
        if not os.path.exists(source):
            raise CorpusError("%s: no such file or directory" % source)
    pairs, skipped = gather(sources, versions)
    document = manifest(pairs, skipped)
    write_corpus(output, pairs, document)
    return document
