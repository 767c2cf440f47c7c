"""Which time the verdicts judge: the program's own total (the wall clock),
the process's CPU time, or the instructions counted over the loop (the
work itself, which a busy machine does not stretch), and the line that
says when the CPU clock would settle what the wall clock leaves open."""

import numpy

from . import answers, stats
from ..system.text import printable

# What a time verdict judges: the program's own total ("Compiled all shaders in"), the CPU time its
# process spent over the same programs (cpu_us: every thread's work, not the wait), or the instructions
# counted from the loop's entry to its return (instructions, and the counter that made it).
CLOCKS = ("wall", "cpu", "instructions")
COUNTERS = ("hardware", "callgrind")
CLOCK_NAMES = {"wall": "the wall clock", "cpu": "the CPU clock", "instructions": "the instructions counted"}
COUNTER_NAMES = {"hardware": "by the hardware counter", "callgrind": "by callgrind"}
# A counted run runs under valgrind or a tracer: its memory is not what the program commits on its own.
NOT_JUDGED = "not judged on counted runs, which answer for instructions only (--clock wall judges it)"
# The least noise a round's log ratio is taken to have on a clock. Counts of llvmpipe strayed by 0.013 to
# 0.015 % a round here, in a few clustered values: three rounds now and then agreed to a thousandth of a
# per cent, and a t interval from them claimed a precision the count does not have (a change at the
# threshold passed the gate in 7.6 % of drawn comparisons, not at most 5 %). It can only widen an interval.
NOISE_FLOOR = {"instructions": 1e-4}


def noise_floor(clock):
    """The least noise of a round's log ratio (natural log) a time verdict on clock assumes."""
    return NOISE_FLOOR.get(clock, 0.0)


def run_time(run, clock="wall"):
    """A run's time in ms on clock, or its count of instructions; None where
    it has none (runs recorded before the CPU time was read to the
    microsecond, or not counted)."""
    if clock == "wall":
        return run["ms"]
    if clock == "instructions":
        return run.get("instructions")
    return None if run.get("cpu_us") is None else run["cpu_us"] / 1000


def memory(run, clock="wall"):
    """A run's commit growth in MiB as the verdicts judge it: none on the
    instructions clock (NOT_JUDGED)."""
    return None if clock == "instructions" else run["commit_mib"]


def figure(measure, clock):
    """The figure of a run that a verdict on measure (time or memory) judges."""
    return (lambda run: run_time(run, clock)) if measure == "time" else (lambda run: memory(run, clock))


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
    """The clock the time verdicts of records judged, in words (for the
    instructions, with the counters that counted them)."""
    clock = records[0].get("clock", "wall") if records else "wall"
    counters = sorted({name for record in records for name in record.get("counters", ())})
    return CLOCK_NAMES[clock] + (" (the process's CPU time)" if clock == "cpu" else " (%s)" % " and ".join(
        COUNTER_NAMES.get(name, name) for name in counters) if clock == "instructions" and counters else "")


def judged(records):
    """What the time verdicts of records judged, as a method line says it."""
    clock = records[0].get("clock", "wall") if records else "wall"
    return clock_name(records) if clock == "instructions" else "time on " + clock_name(records)


def measure_name(record, measure):
    """A verdict's measure as its line names it: the time judged on the
    instructions clock is the instructions."""
    return "instructions" if measure == "time" and record.get("clock") == "instructions" else measure


def counters(runs):
    """The counters that counted runs (none for runs that were timed)."""
    return sorted({run["counter"] for run in runs if run.get("counter")})


def judge_memory(verdict, clock):
    """A memory verdict on the instructions clock is none (NOT_JUDGED)."""
    if clock == "instructions":
        verdict.update(verdict=answers.UNAVAILABLE, why=NOT_JUDGED)


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
