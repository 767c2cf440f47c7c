"""The files the tool writes: checked before anything runs, never one of its
inputs, each written whole or not at all, and a results file held by one
comparison at a time.

Every output is written to a temporary file beside its target, made durable
and renamed over it, so that an interrupt or a full disk leaves the old file
or the new one, never half of one. A symlink is followed: the file it points
to is replaced and the link stays.
"""

import contextlib
import fcntl
import os
import tempfile

from .interrupts import owner, shielded


def printable(text):
    """text as it may be shown on a terminal or in a file: bytes that are not
    UTF-8 (a path's) as \\xNN, control characters and line breaks escaped."""
    shown = []
    for c in str(text):
        if 0xDC80 <= ord(c) <= 0xDCFF:  # a byte that was not UTF-8, as Python decodes a path
            shown.append("\\x%02x" % (ord(c) - 0xDC00))
        else:
            shown.append(c if c.isprintable() else c.encode("unicode_escape").decode("ascii"))
    return "".join(shown)


def target(path):
    """The file a write to path replaces: symlinks followed."""
    return os.path.realpath(path)


def unwritable(path):
    """Why path cannot be written, or None: tried with a scratch file beside it."""
    real = target(path)
    if os.path.isdir(real):
        return "is a directory"
    if os.path.exists(real) and not os.access(real, os.W_OK):
        return "not writable"
    try:
        with tempfile.NamedTemporaryFile(dir=os.path.dirname(real), prefix=".shaderbench-"):
            pass
    except OSError as error:
        return error.strerror or str(error)
    return None


def same_file(a, b):
    """Whether two paths name one file, through links, existing or not."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return target(a) == target(b)


def clash(outputs, inputs):
    """The first output that is an input or another output, as a phrase, or None.
    outputs and inputs: [(option, path)]."""
    for i, (option, path) in enumerate(outputs):
        for other_option, other in inputs + outputs[:i]:
            if same_file(path, other):
                return "%s %s is the same file as %s %s" % (option, path, other_option, other)
    return None


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write(path, produce, binary=False):
    """Replaces path's target with what produce(file) writes, atomically and
    durably. An interrupt waits until the file is whole or gone."""
    real = target(path)
    directory = os.path.dirname(real)
    with shielded():
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=".%s." % os.path.basename(real), suffix=".tmp")
        try:
            os.fchmod(fd, 0o666 & ~_umask())  # as open() would have made it, not mkstemp's 0600
            text = {} if binary else {"encoding": "utf-8", "errors": "backslashreplace", "newline": ""}
            with os.fdopen(fd, "wb" if binary else "w", **text) as f:
                produce(f)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, real)
        except BaseException:
            os.unlink(temporary)
            raise
        directory_fd = os.open(directory, os.O_RDONLY)  # the rename too must reach the disk
        try:
            os.fsync(directory_fd)
        finally:
            os.close(directory_fd)


class Locked(Exception):
    """Another comparison holds the file."""


@contextlib.contextmanager
@owner
def locked(path):
    """Holds FILE.lock beside path's target for the block, with our PID in it;
    raises Locked, naming the holder, when another process holds it."""
    lock_path = target(path) + ".lock"
    while True:
        fd = os.open(lock_path, os.O_RDWR | os.O_CREAT, 0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 32, 0).decode(errors="replace").strip() or "unknown"
            os.close(fd)
            raise Locked("%s is in use by another comparison (PID %s); see %s" % (path, holder, lock_path))
        except BaseException:
            os.close(fd)
            raise
        # The holder before us may have removed the file between our open and
        # our lock: then the lock is on a file nobody else will find. Again.
        try:
            if os.fstat(fd).st_ino == os.stat(lock_path).st_ino:
                break
        except FileNotFoundError:
            pass
        os.close(fd)
    try:
        os.ftruncate(fd, 0)
        os.pwrite(fd, b"%d\n" % os.getpid(), 0)
        yield
    finally:
        with shielded():
            with contextlib.suppress(OSError):
                os.unlink(lock_path)
            os.close(fd)
