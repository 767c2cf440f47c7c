"""What the kernel says of a process in /proc: the one place its files are
parsed. Every reader returns None when there is no /proc, or the process is
gone (or, for the memory lines, a zombie) by the time we look."""

import ctypes
import os
import time

# Fields of /proc/PID/stat after the command's name, which may hold spaces
# and parentheses of its own: counted from the state, field 3 of the line.
STATE, PARENT, SESSION, USER_TICKS, SYSTEM_TICKS, START_TICKS = 0, 1, 3, 11, 12, 19
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024
_LIBC = ctypes.CDLL(None, use_errno=True)


def _read(path, limit=65536):
    """Up to limit bytes of a file of /proc, in one read: a comparison reads
    three for each line the benchmark prints, and a file object's set-up
    (its buffer, a seek, a terminal check) cost twice the read itself."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return os.read(fd, limit)
    finally:
        os.close(fd)


def stat(pid):
    """The fields of /proc/PID/stat from the state on, as bytes."""
    try:
        fields = _read("/proc/%s/stat" % pid).rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return fields if len(fields) > START_TICKS else None


def number(pid, field):
    """One numeric field of stat (SESSION, PARENT...)."""
    fields = stat(pid)
    try:
        return None if fields is None else int(fields[field])
    except ValueError:
        return None


def start_time(pid):
    """A process's start in clock ticks since boot; None if it is gone or has
    ended (a zombie): with its PID it names one process, even after the PID
    is reused."""
    fields = stat(pid)
    try:
        return None if fields is None or fields[STATE] == b"Z" else int(fields[START_TICKS])
    except ValueError:
        return None


def cpu_ms(pid):
    """User and system time of all its threads so far, in milliseconds."""
    fields = stat(pid)
    try:
        return None if fields is None else (int(fields[USER_TICKS]) + int(fields[SYSTEM_TICKS])) * 1000 / CLOCK_TICKS
    except ValueError:
        return None


def memory_kib(pid):
    """(commit, resident) in KiB: VmData plus VmStk, and VmRSS, as the data
    and resident fields of /proc/PID/statm give them (the library test holds
    them to status's), which the kernel makes in a third of the time it
    takes for status; None for a zombie, whose fields are all 0."""
    try:
        fields = _read("/proc/%d/statm" % pid).split()
        size, resident, data = int(fields[0]), int(fields[1]), int(fields[5])
    except (OSError, IndexError, ValueError):
        return None
    return None if size == 0 else (data * PAGE_KIB, resident * PAGE_KIB)


def maps(pid, limit):
    """Up to limit + 1 bytes of /proc/PID/maps (a zombie's are empty)."""
    try:
        with open("/proc/%d/maps" % pid, "rb") as f:
            return f.read(limit + 1) or None
    except OSError:
        return None


def process_ids():
    """The PIDs of every process now."""
    try:
        return [int(name) for name in os.listdir("/proc") if name.isdigit()]
    except OSError:
        return []


def owner(pid):
    """The user ID a process runs as."""
    try:
        return os.stat("/proc/%d" % pid).st_uid
    except OSError:
        return None


def cpu_ns(pid):
    """The CPU time of a whole process in nanoseconds (not from /proc), or None once it is gone.

    From its process CPU-time clock (clock_getcpuclockid): the kernel's sum
    over every thread, those that have exited included, kept to the
    nanosecond. /proc/PID/task/*/schedstat is as fine, but lists only the
    threads still alive, so a driver's worker that ended mid-run would take
    its work with it; /proc/PID/stat has it all, but in clock ticks."""
    clock = ctypes.c_int()
    if _LIBC.clock_getcpuclockid(pid, ctypes.byref(clock)) != 0:
        return None
    try:
        return time.clock_gettime_ns(clock.value)
    except OSError:
        return None


def runnable_ns(pid):
    """The main thread's time on a CPU plus its time waiting for one, in
    nanoseconds (/proc/PID/schedstat), or None: near the wall time, it
    computed all along, and what CPU time misses was the wait for a core."""
    try:
        on_cpu, waiting = _read("/proc/%d/schedstat" % pid).split()[:2]
        return int(on_cpu) + int(waiting)
    except (OSError, ValueError):
        return None


def first_child(pid):
    """The first child of a process's main thread (/proc/PID/task/PID/children), or None."""
    try:
        found = _read("/proc/%d/task/%d/children" % (pid, pid)).split()
        return int(found[0]) if found else None
    except (OSError, ValueError):
        return None
