"""Which time the verdicts judge: the program's own total (the wall clock)
or the process's CPU time, and the line that says when the other clock
would settle what this one leaves open."""

import numpy

from . import answers, stats
from ..system.text import printable

# What a time verdict judges: the program's own total ("Compiled all shaders in"), or the CPU time its
# process spent over the same programs (cpu_us: every thread's work, not the wait).
CLOCKS = ("wall", "cpu")
CLOCK_NAMES = {"wall": "the wall clock", "cpu": "the CPU clock"}


def run_time(run, clock="wall"):
    """A run's time in ms on clock; None where it has none (runs recorded
    before the CPU time was read to the microsecond)."""
    if clock == "wall":
        return run["ms"]
    return None if run.get("cpu_us") is None else run["cpu_us"] / 1000


def clocks_seen(old, new, paired):
    """Both clocks' noise in % (a round, or a run) over these runs, and the
    median CPU over wall time of their runs: what tells whether the other
    clock would settle sooner."""
    found = {}
    for clock in CLOCKS:
        times = [[run_time(run, clock) for run in side] for side in (old, new)]
        found[clock + "_noise_pct"] = stats.noise_pct(*times, paired)
    for key, ratio in (("cpu_per_wall", stats.cpu_per_wall), ("runnable_per_wall", stats.runnable_per_wall)):
        ratios = [r for r in map(ratio, old + new) if r is not None]
        found[key] = float(numpy.median(ratios)) if ratios else None
    return found


def clock_name(records):
    """The clock the time verdicts of records judged, in words."""
    clock = records[0].get("clock", "wall") if records else "wall"
    return CLOCK_NAMES[clock] + (" (the process's CPU time)" if clock == "cpu" else "")


NEAR_ONE = (0.8, 1.25)  # CPU (or the main thread's time running or runnable) over wall: compiled on it


def clock_hint(records):
    """A line saying that the CPU clock would settle what the wall clock
    leaves open, or None: when a time verdict on the wall clock is not
    settled (under a gate, not passed or failed) while its wall time's noise
    is at least twice its CPU time's and CPU over wall stays near 1; on a
    loaded machine, where the process waits for a core, the main thread's
    time running or waiting for a core over wall may stand for it."""
    for record in records:
        seen, verdict = record.get("clocks") or {}, record["time"]
        wall, cpu = seen.get("wall_noise_pct"), seen.get("cpu_noise_pct")
        near = [(key, seen[key]) for key in ("cpu_per_wall", "runnable_per_wall")
                if seen.get(key) is not None and NEAR_ONE[0] <= seen[key] <= NEAR_ONE[1]]
        if record.get("clock", "wall") != "wall" or answers.settled(verdict, record.get("gate")) \
                or None in (wall, cpu) or not near or wall < 2 * cpu:
            continue
        return ("The CPU clock would likely settle %s %s time: its noise is %.1f %% a %s against the wall "
                "clock's %.1f %%, with %s %.2f (the driver compiles on the calling thread): --clock cpu"
                % (printable(record["configuration"]), printable(record["shaders"]), cpu,
                   "round" if "rounds" in verdict else "run", wall, {
                       "cpu_per_wall": "CPU over wall",
                       "runnable_per_wall": "its main thread running or waiting for a core"}[near[0][0]], near[0][1]))
    return None
