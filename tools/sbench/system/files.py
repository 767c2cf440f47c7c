"""The files the tool writes: checked before anything runs, never one of its
inputs nor a file git tracks in the tool's own checkout, each written whole
or not at all, and a results file held by one comparison at a time.

Every output is written to a temporary file beside its target, made durable
and renamed over it, so that an interrupt or a full disk leaves the old file
or the new one, never half of one, with the old one's mode. A symlink is
followed (the file it points to is replaced and the link stays), unless
another user could have planted it in a shared directory such as /tmp.
Standard output ("-"), FIFOs and devices are written in place.
"""

import contextlib
import errno
import fcntl
import os
import re
import stat
import subprocess
import sys
import tempfile

from .interrupts import owner, shielded
from .text import printable


STANDARD_OUTPUT = "-"
MAX_LINKS = 40  # as the kernel allows in one path


def standard_output(path):
    """Whether path names this process's standard output: "-", or a name of
    the same file (/dev/stdout, or a file that standard output goes to)."""
    if path == STANDARD_OUTPUT:
        return True
    try:
        found = os.stat(path)
        return os.path.samestat(found, os.fstat(1)) and not os.path.samestat(found, os.stat(os.devnull))
    except OSError:
        return False


def _planted(link, link_stat):
    """Whether a link is one that another user could have planted: in a
    sticky, world-writable directory (/tmp), owned neither by us nor by the
    directory's owner. The kernel's fs.protected_symlinks refuses the same
    links, where it is on; here it is applied whatever the machine's setting."""
    directory = os.stat(os.path.dirname(link) or ".")
    shared = directory.st_mode & stat.S_ISVTX and directory.st_mode & stat.S_IWOTH
    return bool(shared) and link_stat.st_uid not in (os.geteuid(), directory.st_uid)


def target(path):
    """(the file a write to path replaces, whether it is written in place).
    Links are followed one at a time, each refused (OSError) if another user
    could have planted it; the directories stay as named, so that the
    kernel's own checks apply to them. Standard output, a FIFO, a device or
    an open file under /proc is written in place, never replaced."""
    if path == STANDARD_OUTPUT:
        return path, True
    named = path if os.path.isabs(path) else os.path.join(os.getcwd(), path)
    for _ in range(MAX_LINKS):
        try:
            link_stat = os.lstat(named)
        except FileNotFoundError:
            return named, False
        if not stat.S_ISLNK(link_stat.st_mode):
            return named, not stat.S_ISREG(link_stat.st_mode) and not stat.S_ISDIR(link_stat.st_mode)
        if _planted(named, link_stat):
            raise OSError(errno.EPERM, "a link owned by another user in a shared directory; not followed")
        if named.startswith("/proc/"):  # /dev/stdout's /proc/self/fd/1: an open file, not a name
            return named, True
        named = os.path.join(os.path.dirname(named), os.readlink(named))
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP))


def unwritable(path):
    """Why path cannot be written, or None: tried with a scratch file beside it."""
    try:
        real, in_place = target(path)
    except OSError as error:
        return error.strerror or str(error)
    if real == STANDARD_OUTPUT:
        return None
    if os.path.isdir(real):
        return "is a directory"
    if os.path.exists(real) and not os.access(real, os.W_OK):
        return "not writable"
    if in_place:
        return None
    try:
        with tempfile.NamedTemporaryFile(dir=os.path.dirname(real), prefix=".shaderbench-"):
            pass
    except OSError as error:
        return error.strerror or str(error)
    return None


def same_file(a, b):
    """Whether two paths name one file, through links, existing or not."""
    a, b = ("/dev/stdout" if path == STANDARD_OUTPUT else path for path in (a, b))
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def clash(outputs, inputs):
    """The first output that is an input or another output, as a phrase, or None.
    outputs and inputs: [(option, path)]."""
    for i, (option, path) in enumerate(outputs):
        for other_option, other in inputs + outputs[:i]:
            if same_file(path, other):
                return "%s %s is the same file as %s %s" % (option, path, other_option, other)
    return None


def inside(outputs, trees):
    """The first output inside one of trees (directories only read), as a
    phrase, or None. outputs and trees: [(option, path)]."""
    for option, path in outputs:
        if path == STANDARD_OUTPUT:
            continue
        try:
            real = os.path.realpath(target(path)[0])
        except OSError:
            continue  # refused as unwritable
        for tree_option, tree in trees:
            top = os.path.realpath(tree)
            if os.path.commonpath([real, top]) == top:
                return "%s %s is inside %s %s, which is only read" % (option, path, tree_option, tree)
    return None


def _checkout(directory):
    """The top of the git checkout that holds directory, or None."""
    here = os.path.realpath(directory)
    while not os.path.exists(os.path.join(here, ".git")):
        if os.path.dirname(here) == here:
            return None
        here = os.path.dirname(here)
    return here


def tracked(outputs, own):
    """The first output that is a file git tracks in the checkout the tool
    runs from, as a phrase, or None. own: a file of the tool's, which git
    must track there too (a checkout that merely holds an installed tool is
    not its own). outputs: [(option, path)]."""
    top = _checkout(os.path.dirname(own))
    named = []
    for option, path in outputs if top else ():
        with contextlib.suppress(OSError):  # unwritable ones are refused as such
            real = os.path.realpath(target(path)[0]) if path != STANDARD_OUTPUT else ""
            if real and os.path.commonpath([real, top]) == top:
                named.append((option, path, os.path.relpath(real, top)))
    if not named:
        return None
    mine = os.path.relpath(os.path.realpath(own), top)
    try:
        listed = subprocess.run(["git", "--literal-pathspecs", "-C", top, "ls-files", "-z", "--", mine]
                                + [relative for _, _, relative in named], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return None  # no git: nothing can be known tracked
    found = set(os.fsdecode(listed.stdout).split("\0"))
    for option, path, relative in named if mine in found else ():
        if relative in found:
            return "%s %s is a file git tracks in the tool's own checkout %s" % (option, path, top)
    return None


def current_umask():
    """The process's umask (reading it means setting it: set back at once)."""
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _text(fd, binary):
    text = {} if binary else {"encoding": "utf-8", "errors": "backslashreplace", "newline": ""}
    return os.fdopen(fd, "wb" if binary else "w", **text)


def _write_in_place(real, produce, binary):
    """Into standard output, a FIFO or a device as it is: nothing to replace,
    and an interrupt may cut it short (a FIFO may wait for its reader)."""
    ours = re.fullmatch(r"/proc/(?:self|%d)/fd/(\d+)" % os.getpid(), real)
    if real == STANDARD_OUTPUT or ours:  # one of our own descriptors: its offset, and >> appending, go on
        sys.stdout.flush()
        fd = os.dup(int(ours.group(1)) if ours else 1)
    else:  # the link of /proc/PID/fd/N is the kernel's own; any other is not followed now
        fd = os.open(real, os.O_WRONLY | os.O_CLOEXEC | (0 if real.startswith("/proc/") else os.O_NOFOLLOW))
    with _text(fd, binary) as f:
        produce(f)


def _keep_owner_and_mode(fd, old):
    """The new file as the one it replaces was: its mode, and its owner and
    group where we may give them; otherwise as open() would have made it."""
    if old is None:
        os.fchmod(fd, 0o666 & ~current_umask())
        return
    for ids in ((old.st_uid, old.st_gid), (-1, old.st_gid)):
        try:
            os.fchown(fd, *ids)
            break
        except PermissionError:
            pass
    os.fchmod(fd, stat.S_IMODE(old.st_mode) & 0o777)


def write(path, produce, binary=False):
    """Replaces path's target with what produce(file) writes, atomically and
    durably, keeping its mode. An interrupt waits until the file is whole or
    gone. Standard output ("-"), FIFOs and devices are written in place."""
    real, in_place = target(path)
    if in_place:
        return _write_in_place(real, produce, binary)
    directory = os.path.dirname(real)
    with shielded():
        try:
            old = os.lstat(real)
        except FileNotFoundError:
            old = None
        if old is not None and not stat.S_ISREG(old.st_mode):
            old = None  # made a link since: the rename replaces the link, whatever it points to
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=".%s." % os.path.basename(real), suffix=".tmp")
        try:
            _keep_owner_and_mode(fd, old)
            with _text(fd, binary) as f:
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


def _open_lock(lock_path, path):
    """A descriptor of our lock file, new or left by an earlier comparison of
    ours; None when it went away meanwhile. Never a link, nor a file of
    another user: those are refused (Locked)."""
    flags = os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC
    try:
        return os.open(lock_path, flags | os.O_CREAT | os.O_EXCL, 0o666)
    except FileExistsError:
        pass
    fd, reason = None, None
    try:
        fd = os.open(lock_path, flags)
        found = os.fstat(fd)
    except FileNotFoundError:
        return None
    except OSError as error:  # ELOOP: a link; EACCES: most likely another user's file
        reason = "a symbolic link" if error.errno == errno.ELOOP else error.strerror
        found = os.lstat(lock_path)
    if stat.S_ISREG(found.st_mode) and found.st_uid != os.geteuid():
        reason = "it belongs to another user (uid %d); remove it if no comparison of theirs runs" % found.st_uid
    elif not reason and not stat.S_ISREG(found.st_mode):
        reason = "not a regular file"
    if reason:
        if fd is not None:
            os.close(fd)
        raise Locked("%s: its lock %s cannot be taken: %s" % (path, lock_path, reason))
    return fd


@contextlib.contextmanager
@owner
def locked(path):
    """Holds FILE.lock beside path's target for the block, with our PID in it;
    raises Locked, naming the holder, when another process holds it, or when
    the lock is a link or another user's file."""
    try:
        lock_path = target(path)[0] + ".lock"
    except OSError as error:
        raise Locked("%s: %s" % (path, error.strerror))
    while True:
        fd = _open_lock(lock_path, path)
        if fd is None:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 32, 0).decode(errors="replace").strip() or "unknown"
            os.close(fd)
            raise Locked("%s is in use by another comparison (PID %s); see %s" % (path, printable(holder), lock_path))
        except BaseException:
            os.close(fd)
            raise
        # The holder before us may have removed the file between our open and
        # our lock: then the lock is on a file nobody else will find. Again.
        try:
            if os.fstat(fd).st_ino == os.lstat(lock_path).st_ino:
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
                if os.fstat(fd).st_ino == os.lstat(lock_path).st_ino:  # still ours, not one put in its place
                    os.unlink(lock_path)
            os.close(fd)
