"""The comparison's charts: totals per configuration, per-program timelines,
and the replay's time per call."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy  # noqa: E402

from ..analysis import clocks  # noqa: E402
from ..results import calls  # noqa: E402
from ..system import files as outputs  # noqa: E402

COLOURS = ["#4878a8", "#e0913a", "#5aa05a", "#b85450", "#8c6bb1", "#8c564b", "#d17fc1", "#7f7f7f"]


def save(fig, path):
    """Writes the figure as a PNG, whole or not at all, and lets it go."""
    try:
        outputs.write(path, lambda f: fig.savefig(f, format="png", dpi=100), binary=True)
    finally:
        plt.close(fig)


def label(row_or_result):
    shaders = row_or_result.get("shaders")
    return "%s\n%s" % (row_or_result["configuration"], shaders if isinstance(shaders, str) else shaders["label"])


def under_valgrind(counters):
    """What labels the times and memory of runs counted by counters: valgrind's, not native, under callgrind."""
    return " (under valgrind: not native)" if "callgrind" in counters else ""


def write_totals(path, rows, title):
    """Bars of the median total time (of counted rows, the count) and commit
    growth, whiskers min to max."""
    names = [label(r) for r in rows]
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4.5))
    counters = sorted({name for row in rows for name in row["counters"]})
    valgrind = under_valgrind(counters).replace(" (", "\n(")  # a second line: the panels are narrow
    if all(row["median_instructions"] is not None for row in rows):
        work = (left, "median_instructions", "min_instructions", "max_instructions", 1e6,
                "Instructions counted, millions (%s)" % " and ".join(clocks.COUNTER_NAMES[c] for c in counters),
                "%.4g M")
    else:
        work = (left, "median_ms", "min_ms", "max_ms", 1000.0, "Time for 1000 programs (s)" + valgrind, "%.1f s")
    panels = (work, (right, "median_mib", "min_mib", "max_mib", 1.0, "Committed memory growth (MiB)" + valgrind,
                     "%.0f MiB"))
    for axis, mid, low, high, scale, heading, fmt in panels:
        values = [(r[mid] or 0) / scale for r in rows]
        below = [((r[mid] or 0) - (r[low] or 0)) / scale for r in rows]
        above = [((r[high] or 0) - (r[mid] or 0)) / scale for r in rows]
        bars = axis.bar(names, values, yerr=[below, above], capsize=8,
                        color=[COLOURS[i % len(COLOURS)] for i in range(len(rows))])
        for bar, value in zip(bars, values):
            axis.text(bar.get_x() + bar.get_width() / 2, value / 2, fmt % value,
                      ha="center", va="center", color="white", fontweight="bold")
        axis.set_title(heading)
        axis.set_ylim(0, max(values + [v + a for v, a in zip(values, above)] + [1e-9]) * 1.2)
        axis.grid(axis="y", alpha=0.3)
    fig.suptitle(title + " (bars: median, whiskers: min to max)")
    fig.tight_layout()
    save(fig, path)


def write_timeline(path, results, title):
    """Per configuration: ms per program against its index (median over runs,
    min-max band), and commit (solid) and resident (dashed) growth against
    the number of programs alive."""
    fig, (times, memory) = plt.subplots(2, 1, figsize=(10, 8), sharex=True)
    for i, result in enumerate(r for r in results if any(run.get("program_ms") for run in r["runs"])):
        colour = COLOURS[i % len(COLOURS)]
        name = label(result).replace("\n", ", ") + under_valgrind(clocks.counters(result["runs"]))
        programs = numpy.array([run["program_ms"] for run in result["runs"] if run.get("program_ms")])
        index = numpy.arange(programs.shape[1])
        times.fill_between(index, programs.min(axis=0), programs.max(axis=0), color=colour, alpha=0.25, lw=0)
        times.plot(index, numpy.median(programs, axis=0), color=colour, lw=0.8, label=name)
        for key, style in (("commit_kib", "-"), ("rss_kib", "--")):
            series = numpy.array([numpy.array(run[key]) - run[key][0] for run in result["runs"] if run.get(key)])
            if len(series):
                memory.plot(index + 1, numpy.median(series, axis=0) / 1024, style, color=colour, lw=1.2,
                            label="%s, %s" % (name, "commit" if key == "commit_kib" else "resident"))
    times.set_yscale("log")
    times.set_ylabel("ms per program (log)")
    times.set_title("Time per program: median over runs, band min to max")
    memory.set_xlabel("program index / programs alive")
    memory.set_ylabel("growth since program 1 (MiB)")
    memory.set_title("Memory against programs alive: commit (solid), resident (dashed)")
    for axis in (times, memory):
        axis.grid(alpha=0.3)
        axis.legend(fontsize=8)
    fig.suptitle(title)
    fig.tight_layout()
    save(fig, path)


def write_calls(path, results, title):
    """One panel per configuration and pair with a replay: each call's
    milliseconds against the program index, stacked so that the top edge is
    the program's time in GL calls."""
    replayed = [r for r in results if calls.replayed(r.get("calls"))]
    fig, axes = plt.subplots(max(1, len(replayed)), 1, figsize=(10, 2.8 + 2.6 * len(replayed)),
                             sharex=True, squeeze=False)
    for axis, result in zip(axes[:, 0], replayed):
        series = [(name, result["calls"][key]) for key, name in calls.CALLS if None not in result["calls"][key]]
        if not series:
            axis.text(0.5, 0.5, "no call was timed in this replay", ha="center", va="center")
            continue
        index = numpy.arange(len(series[0][1]))
        axis.stackplot(index, *[values for _, values in series], labels=[name for name, _ in series],
                       colors=COLOURS[:len(series)], lw=0)
        # A cold first program can take many times the others: it is not
        # allowed to flatten them, but said where it is off the scale.
        totals = numpy.sum([values for _, values in series], axis=0)
        top = float(numpy.percentile(totals, 99.5)) * 1.3
        axis.set_ylim(0, top)
        above = numpy.flatnonzero(totals > top)
        note = "" if not len(above) else "; off the scale: " + ", ".join(
            "program %d (%.1f ms)" % (i, totals[i]) for i in above[:4]) + (" ..." if len(above) > 4 else "")
        axis.set_title(label(result).replace("\n", ", ") + note, fontsize=10)
        axis.set_ylabel("ms per program")
        axis.grid(alpha=0.3)
        axis.legend(fontsize=8, loc="upper left", ncol=len(series))
    if not replayed:
        axes[0, 0].text(0.5, 0.5, "no replay in these results", ha="center", va="center")
    axes[-1, 0].set_xlabel("program index")
    fig.suptitle("%s: time per call, from one replayed run (glretrace --pcpu), not the timed runs" % title)
    fig.tight_layout()
    save(fig, path)
