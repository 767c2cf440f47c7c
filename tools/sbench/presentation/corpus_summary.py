"""The corpus verdict as a person reads it: the summary under a corpus
comparison (at most WIDTH columns, the pairs that link on one side only
first), each pair's figures as CSV, and what the page draws of it."""

import textwrap

from . import tables
from ..analysis import clocks, corpus, stats

WIDTH = 100
CSV_FIELDS = ("configuration", "against", "pair", "source", "baseline_links", "links", "rounds", "baseline_ms",
              "ms", "change_pct", "low_pct", "high_pct", "p", "called", "baseline_mib", "mib")


def _fit(line):
    """line as lines of at most WIDTH columns: wrapped, the rest indented under its start (cut, a long path
    hid the threshold, and a long configuration name the pairs left out)."""
    indent = " " * (len(line) - len(line.lstrip()) + 4)
    return textwrap.wrap(line, WIDTH, subsequent_indent=indent, break_on_hyphens=False) or [line]


def _named(head, name):
    """head, then name cut from its left to what fits (a path's end names it)."""
    room = max(12, WIDTH - len(head))
    line = head + (name if len(name) <= room else "..." + name[-(room - 3):])
    return line if len(line) <= WIDTH else line[:WIDTH - 3] + "..."  # one line a pair, whatever its head


def _change(row):
    low, high = row["interval_pct"] or (None, None)
    interval = "[-]" if low is None else "[%+.1f, %+.1f]" % (round(low, 1) + 0.0, round(high, 1) + 0.0)
    return "%+6.1f %% %-16s %-6s " % (round(row["change_pct"], 1) + 0.0, interval, row["called"] or "")


def _left_out(found):
    counts = {}
    for row in found["pairs"]:
        states = sorted(set(row["links"]))
        reason = ("link on one side only" if states == [corpus.NO_LINK, corpus.LINKS] else
                  "link nowhere" if states == [corpus.NO_LINK] else
                  None if row["rounds"] else "have no round on both sides")
        if reason:
            counts[reason] = counts.get(reason, 0) + 1
    if not counts:
        return ""
    return " (left out: %s)" % ", ".join("%d %s" % (n, reason) for reason, n in counts.items())


def _totals(found, against):
    totals = found["totals"]
    if not totals:
        return []
    line = "  total:  time %s %.1f s, %s %.1f s (%+.1f %%)" % (
        against, totals["baseline_ms"] / 1000, found["configuration"], totals["ms"] / 1000,
        (totals["ms"] / totals["baseline_ms"] - 1) * 100 if totals["baseline_ms"] else 0.0)
    if totals["mib"] is not None:
        line += "; commit %s %.0f MiB, %s %.0f MiB" % (against, totals["baseline_mib"], found["configuration"],
                                                       totals["mib"])
    return _fit(line)


def extremes(found):
    """(the SHOWN worst pairs, the SHOWN best of the rest), by their change."""
    measured = sorted((row for row in found["pairs"] if row["change_pct"] is not None),
                      key=lambda row: row["change_pct"], reverse=True)
    worst = measured[:corpus.SHOWN]
    return worst, measured[len(worst):][::-1][:corpus.SHOWN]


def summary_lines(judgement):
    """The summary's lines, each at most WIDTH columns."""
    against, lines = judgement["against"], []
    one_sided = [(found["configuration"], row) for found in judgement["configurations"] for row in found["one_sided"]]
    if one_sided:
        lines += _fit("LINKS ON ONE SIDE ONLY, %d pair%s: a correctness regression, not a cost (it fails the "
                      "gate):" % (len(one_sided), "s"[:len(one_sided) != 1]))
        lines += [_named("  %s %s where %s %s: " % (name, row["links"][1], against, row["links"][0]), row["source"])
                  for name, row in one_sided]
    lines += _fit("Corpus of %d pairs%s, against %s, threshold \u00b1%g %%:" % (
        judgement["pairs"], " (%s)" % judgement["corpus"] if judgement["corpus"] else "", against,
        judgement["threshold_pct"]))
    for found in judgement["configurations"]:
        lines += _fit("%s: %d pairs link on every side with rounds on both%s" % (
            found["configuration"], found["linked"], _left_out(found)))
        lines += ["  %-7s %s" % (measure + ":", stats.describe(found[measure])) for measure in ("time", "memory")]
        lines += _totals(found, against)
        lines += _fit("  pairs:  %d hurt, %d helped of %d (each on its own change, the false discovery rate "
                      "at %g %%)" % (found["hurt"], found["helped"], found["linked"], judgement["fdr"] * 100))
        worst, best = extremes(found)
        for title, rows in (("worst:", worst), ("best:", best)):
            lines += [_named("  %-7s %s" % (title if i == 0 else "", _change(row)), row["source"])
                      for i, row in enumerate(rows)]
    looks = " at each look (after rounds %s)" % ", ".join(map(str, judgement["looks"])) \
        if judgement.get("looks") else ""
    note = "(%s, at %g %%%s; hurt and helped: %s; time on %s)" % (
        judgement["sample"], round(judgement["level"] * 100, 2), looks, judgement["test"],
        clocks.clock_name([{"clock": judgement["clock"]}]))
    return lines + textwrap.wrap(note, WIDTH)


def summary_text(judgement):
    return "\n".join(summary_lines(judgement)) + "\n"


def csv_rows(judgements):
    rows = []
    for judgement in judgements:
        for found in judgement["configurations"]:
            for row in found["pairs"]:
                low, high = row["interval_pct"] or (None, None)
                rows.append(dict({key: row.get(key) for key in CSV_FIELDS}, configuration=found["configuration"],
                                 against=judgement["against"], baseline_links=row["links"][0], links=row["links"][1],
                                 low_pct=low, high_pct=high))
    return rows


def write_csv(path, judgements):
    """Each pair's figures, a row per configuration and pair."""
    tables.write_csv(path, csv_rows(judgements), CSV_FIELDS)


def page_entry(judgement):
    """What the page shows of a corpus: the summary, and per configuration
    every pair's change, sorted, with its interval and whether it was called."""
    charts = []
    for found in judgement["configurations"]:
        points = sorted((row for row in found["pairs"] if row["change_pct"] is not None),
                        key=lambda row: row["change_pct"])
        charts.append({"configuration": found["configuration"], "against": judgement["against"],
                       "points": [{"name": row["source"], "change": round(row["change_pct"], 3),
                                   "low": None if row["interval_pct"] is None else round(row["interval_pct"][0], 3),
                                   "high": None if row["interval_pct"] is None else round(row["interval_pct"][1], 3),
                                   "called": row["called"]} for row in points]})
    return {"summary": summary_lines(judgement), "threshold": judgement["threshold_pct"], "charts": charts}
