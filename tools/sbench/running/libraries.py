"""The GL and driver libraries a benchmark process actually mapped, and their
SHA-256: what ran, as opposed to what the environment meant to load.

The list is read from /proc/PID/maps while the process runs (once its
context exists) and hashed after the run has ended, so that hashing a large
library (libLLVM) does not take the CPU from the run being timed. A file is
hashed once per tool process while it stays the same file.

The maps file is the kernel's, but the paths in it are any names a user gave
their files: it is read with a bound, and a line or path that is not plainly
one file's is skipped.
"""

import fnmatch
import hashlib
import os
import stat

from ..results.document import MAX_LIBRARIES, plain_path
from ..system import proc

# The GL dispatch, the drivers and the compiler they load (basenames).
GL_NAMES = ("libGL*", "libGLX*", "libEGL*", "libOpenGL*", "libglapi*", "libgallium*", "*_dri.so",
            "libvulkan*", "libLLVM*")
MAX_MAPS_BYTES = 16 << 20    # some 100,000 mappings; a GL process has a few thousand
MAX_LIBRARY_BYTES = 4 << 30  # libLLVM is some 100 MiB
BLOCK = 1 << 20
DELETED = " (deleted)"

_hashes = {}  # (path, device, inode, size, mtime in ns) -> SHA-256, for this tool process


def parse_maps(data, also_under=()):
    """The sorted, distinct paths of the GL and driver libraries in a maps
    file's bytes, and of every file under a directory of also_under (real
    paths, as the kernel writes them)."""
    found = set()
    for line in data.split(b"\n"):
        fields = line.split(None, 5)
        # address perms offset device inode path; a mapping of no file has no path or inode 0.
        if len(fields) != 6 or not fields[5].startswith(b"/") or not fields[4].isdigit() or fields[4] == b"0":
            continue
        path = os.fsdecode(fields[5])
        # A file deleted (or replaced) since it was mapped: what is at its path now is not what ran.
        # The kernel writes a line break in a name as \012: such a name cannot be told apart.
        if path.endswith(DELETED) or "\\012" in path or not plain_path(path):
            continue
        if (any(fnmatch.fnmatchcase(os.path.basename(path), name) for name in GL_NAMES)
                or any(inside(path, directory) for directory in also_under)):
            found.add(path)
    return sorted(found)


def mapped(pid, also_under=()):
    """parse_maps of process pid's maps now, with also_under's symbolic links
    resolved; None when they cannot be read (no /proc, or the process is gone:
    a zombie's are empty)."""
    data = proc.maps(pid, MAX_MAPS_BYTES)
    if data is None:
        return None
    if len(data) > MAX_MAPS_BYTES:
        data = data[:data.rfind(b"\n", 0, MAX_MAPS_BYTES)]  # whole lines only
    return parse_maps(data, [os.path.realpath(directory) for directory in also_under])


def inside(path, directory):
    """Whether path lies within directory (both real paths), by components:
    /opt/xy is not under /opt/x."""
    return os.path.commonpath([path, directory]) == directory


def described(paths):
    """[{"path", "sha256"}] of paths, in their order; a path that is no longer
    a readable regular file within MAX_LIBRARY_BYTES is left out."""
    found = []
    for path in paths[:MAX_LIBRARIES]:
        digest = sha256(path)
        if digest is not None:
            found.append({"path": path, "sha256": digest})
    return found


def sha256(path):
    """The SHA-256 of the file at path, from this process's cache while the
    file is unchanged; None when it cannot be read as a library."""
    try:
        # Not blocking: a FIFO put where a library was would hang the open.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        found = os.fstat(fd)
        if not stat.S_ISREG(found.st_mode) or found.st_size > MAX_LIBRARY_BYTES:
            return None
        key = (path, found.st_dev, found.st_ino, found.st_size, found.st_mtime_ns)
        if key not in _hashes:
            digest = hashlib.sha256()
            for block in iter(lambda: os.read(fd, BLOCK), b""):
                digest.update(block)
            _hashes[key] = digest.hexdigest()
        return _hashes[key]
    except OSError:
        return None
    finally:
        os.close(fd)


def outside(libraries, prefix):
    """None when a recorded library ({"path", ...}, or a path) lies under
    prefix (its symbolic links resolved); else one line saying that the run
    loaded nothing from prefix, and which GL library it loaded instead."""
    directory = os.path.realpath(prefix)
    paths = [entry["path"] if isinstance(entry, dict) else entry for entry in libraries or ()]
    if any(inside(path, directory) for path in paths):
        return None
    if libraries is None:
        return "loaded nothing from %s: the libraries it loaded were not recorded" % prefix
    # The library the application itself asked for, before the ones it pulled in; where there are
    # several (one that forwards to another), each of them.
    for name in ("libGL.so*", "libGLX.so*", "libEGL.so*", "libOpenGL.so*", "libGL*", "*"):
        instead = [path for path in paths if fnmatch.fnmatchcase(os.path.basename(path), name)]
        if instead:
            return "loaded nothing from %s: %s" % (prefix, ", ".join(
                "%s %s %s" % (os.path.basename(path), "came from" if i == 0 else "from", path)
                for i, path in enumerate(instead)))
    return "loaded nothing from %s, and no GL library at all" % prefix
