"""What a bisect found, as text and as a page: the first bad commit in git's
own words, every change found with its share of the whole, every step, and
what it cost."""

import html
import json
import math

from . import search as bisection
from ..analysis import clocks, stats
from ..system.text import minutes, printable


def percent(log_change, sign):
    """A change in signed log terms (worse is up) as the measure's own change in percent."""
    return float(stats.log_change_pct(sign * log_change))


def shown(interval, sign):
    """'+21.3 % [+18.0, +24.9]' for an interval (mean, low, high) in signed log terms."""
    mean, low, high = (percent(v, sign) for v in interval)
    low, high = sorted((low, high))
    return "%+.1f %% [%+.1f, %+.1f]" % (mean, low, high)


def paired(document, first, second):
    """The 95 % interval of second against first (signed log terms) from the
    rounds of any step that ran both, or None. A counted bisect's is on the
    runs, with the noise its steps pooled (search.pool)."""
    sign = document["settings"]["sign"]
    key = bisection.measure_key(document["settings"])
    both = []
    for step in document["steps"]:
        if first in step["commits"] and second in step["commits"]:
            i, j = step["commits"].index(first), step["commits"].index(second)
            both += [(runs[i][key], runs[j][key]) for runs in step["rounds"]
                     if all("failed" not in r and r.get(key) for r in (runs[i], runs[j]))]
    if len(both) < 2:
        return None
    if bisection.counted(document["settings"]):
        pooled = bisection.spread(bisection.build_logs(document["steps"], key))
        if pooled[1]:
            return bisection.contrasts(bisection.logs(both, sign), [(-1, 1)], pooled, 0.025)[0]
    return bisection.interval([sign * (math.log(b) - math.log(a)) for a, b in both], 0.025)


def estimates(document):
    """The change of each tested commit against GOOD (signed log terms): chained
    through the steps, each midpoint from the start of its segment."""
    commits, found = document["commits"], {document["commits"][0]: 0.0}
    confirm = next((s for s in document["steps"] if s["kind"] == "confirm"), None)
    if confirm and confirm["estimate"]:
        found[commits[-1]] = confirm["estimate"][0]
    for step in document["steps"]:
        if step["kind"] != "classify" or step["verdict"] == "skip":
            continue
        lo, mid, hi = step["commits"]
        if step["reused"]:
            found[mid] = found.get(step["reused"])
        elif step["estimate"] and lo in found and found[lo] is not None:
            found[mid] = found[lo] + step["estimate"]["from_start"][0]
    return found


def answer_lines(document):
    """The answer: each change, the first in git's words."""
    commits, subjects, sign = document["commits"], document["subjects"], document["settings"]["sign"]
    index = {c: i for i, c in enumerate(commits)}
    whole = estimates(document).get(commits[-1])
    lines = []
    for number, (before, after) in enumerate(document["changes"]):
        if index[after] == index[before] + 1:
            lines.append("%s is the first bad commit" % after if number == 0
                         else "%s is also a bad commit: a further change" % after)
            subject, date = subjects.get(after, ["?", "?"])
            lines.append("    %s (%s)" % (printable(subject), printable(date)))
            change = paired(document, before, after)
            share = ""
            if change and whole:
                share = "; %.0f %% of the whole change" % (100 * change[0] / whole)
            lines.append("    %s against its parent (95 %% interval)%s" % (shown(change, sign), share)
                         if change else "    (no rounds ran it beside its parent)")
            lines += merge_lines(document, before, after)
        else:
            lines.append("the first bad commit could be any of:" if number == 0
                         else "a further change, in any of:")
            for commit in commits[index[before] + 1:index[after] + 1]:
                lines.append("%s %s" % (commit, printable(subjects.get(commit, ["?"])[0])))
    return lines


def merge_lines(document, parent, merge):
    """What a merge on the line brought in: the range to bisect next."""
    found = document.get("merges", {}).get(merge)
    if not found:
        return []
    return ["    a merge: the change may have come with what it merged; bisect that next:"] + [
        "      compare bisect %s %s   (git log %s..%s)" % (found["base"][:12], side[:12], parent[:12], side[:12])
        for side in found["merged"]]


def step_lines(document):
    sign, found = document["settings"]["sign"], estimates(document)
    lines = ["step  kind      commit        verdict   against GOOD  rounds  build"]
    for number, step in enumerate(document["steps"], 1):
        commit = step["commits"][-1] if step["kind"] == "confirm" else step["commits"][1]
        build = document["builds"].get(commit, {})
        how = ("same binary as %s" % step["reused"][:12] if step["reused"]
               else "kept" if build.get("reused") else build.get("status", "-"))
        change = found.get(commit)
        lines.append("%-4d  %-8s  %-12s  %-8s  %12s  %6d  %s" % (
            number, step["kind"], commit[:12], step["verdict"] or "open",
            "-" if change is None else "%+.1f %%" % percent(change, sign), len(step["rounds"]), how))
    return lines


def summary_lines(document):
    steps, commits = document["steps"], document["commits"]
    lines = []
    skipped = [s for s in steps if s["verdict"] == "skip"]
    if skipped:
        lines.append("Skipped:")
        lines += ["  %s: %s" % (s["commits"][1][:12], printable(s["skipped"] or "")) for s in skipped]
    made = sum(1 for b in document["builds"].values() if not b["reused"])
    reused = sum(1 for s in steps if s["reused"])
    lines.append("Builds: %d made, %d kept from before; %d verdicts reused from the same binary; %d runs; %s."
                 % (made, len(document["builds"]) - made, reused, document["runs"],
                    minutes(document.get("seconds", 0))))
    planned = bisection.planned_steps(len(commits))
    key = bisection.measure_key(document["settings"])
    if key == "cpu_us":
        lines.append("Time on the CPU clock: the process's CPU time over programs 1 to 999.")
    elif key == "instructions":
        lines.append("Time as the instructions counted %s, from the loop's entry to its return." %
                     clocks.COUNTER_NAMES.get(document["settings"].get("counter"), ""))
    lines.append("Chance of a wrong step: at most %.1f %% (%d steps, each at most %.2f %%%s)." % (
        100 * bisection.ALPHA * len(steps) / planned, len(steps), 100 * bisection.ALPHA / planned,
        "" if len(steps) <= planned else "; more steps than the %d the 5 %% was shared over" % planned))
    return lines


def measure_name(settings):
    key = bisection.measure_key(settings)
    return {"cpu_us": "CPU time", "instructions": "instructions"}.get(key, settings["measure"])


def write_html(path, document, write):
    """One page: the change at each tested commit in commit order, and the steps."""
    commits, sign, found = document["commits"], document["settings"]["sign"], estimates(document)
    points = [(i, percent(found[c], sign)) for i, c in enumerate(commits) if found.get(c) is not None]
    width, height, pad = 720, 300, 40
    top = max([abs(p) for _, p in points] + [1.0])
    x = lambda i: pad + (width - 2 * pad) * i / max(1, len(commits) - 1)
    y = lambda p: height / 2 - (height / 2 - pad) * p / top
    dots = "".join('<circle cx="%.1f" cy="%.1f" r="4"><title>%s %+.1f %%</title></circle>'
                   % (x(i), y(p), html.escape(commits[i][:12]), p) for i, p in points)
    marks = "".join('<line x1="%.1f" x2="%.1f" y1="%d" y2="%d" stroke="#c00"/>'
                    % (x(commits.index(after)), x(commits.index(after)), pad, height - pad)
                    for _, after in document["changes"])
    text = "\n".join(answer_lines(document) + [""] + step_lines(document) + [""] + summary_lines(document))
    axis = ('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#999"/>'
            '<text x="%d" y="%.1f" font-size="11">0 %%</text><text x="%d" y="%d" font-size="11">%+.0f %%</text>'
            '<text x="%d" y="%d" font-size="11">GOOD</text><text x="%d" y="%d" font-size="11" text-anchor="end">BAD'
            '</text>' % (pad, width - pad, y(0), y(0), 2, y(0) + 4, 2, pad, top, pad, height - 8, width - pad,
                         height - 8))
    page = ("<!doctype html><meta charset=\"utf-8\"><title>shaderbench bisect</title>"
            "<h1>shaderbench bisect</h1><p>The change of the %s against GOOD at each tested commit, in commit order "
            "(red: a change found).</p><svg width=\"%d\" height=\"%d\">%s%s%s</svg><pre>%s</pre>"
            "<script type=\"application/json\" id=\"data\">%s</script>"
            % (measure_name(document["settings"]), width, height, axis, marks, dots, html.escape(text),
               json.dumps(document).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")))
    write(path, lambda f: f.write(page))
