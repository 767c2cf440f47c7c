"""Where counted instructions went: a callgrind output file's cost per
function (self and inclusive), and two such files set side by side.

Read by the file's documented format, since callgrind_annotate has no
machine-readable mode: `ob=` and `fn=` name the object and function that
the plain cost lines after them belong to (self cost); `calls=` is followed
by one cost line, the inclusive cost of those calls, which counts in the
caller's inclusive cost only. A name is given once as `(id) name` and
reused as `(id)`, one table per kind (`ob`/`cob`, `fn`/`cfn`). A stripped
library's functions are named by their address (`0x...`).
"""

import os

from ..system.text import printable

LARGEST_LINE = 1 << 20
UNKNOWN_OBJECT = "???"
# The keys whose names share one compression table: a cob= reuses the ids of ob=, and so on.
KINDS = {b"ob": b"ob", b"cob": b"ob", b"fn": b"fn", b"cfn": b"fn", b"fl": b"fl", b"fi": b"fl", b"fe": b"fl",
         b"cfi": b"fl", b"cfl": b"fl"}


class Unreadable(ValueError):
    """The file is not a callgrind output file that can be read."""


def name_of(value, table):
    """The name of `(id) name` (defining id) or `(id)` (reusing it), or a plain name."""
    if value.startswith(b"("):
        end = value.find(b")")
        if end < 0:
            raise Unreadable("a compressed name with no closing parenthesis: %r" % value[:80])
        key, rest = value[1:end], value[end + 1:].strip()
        if rest:
            table[key] = rest
        elif key not in table:
            raise Unreadable("the name id (%s) is used before it is defined" % printable(key.decode(errors="replace")))
        return table[key]
    return value.strip()


def functions(found):
    """{(object's file name, function): [self, inclusive]} of the event Ir
    in the callgrind file found (opened in binary), and the file's total;
    raises Unreadable."""
    tables, current, costs = {}, {b"ob": UNKNOWN_OBJECT.encode(), b"fn": b"???"}, {}
    events, positions, total, totals, after_call = None, 1, 0, None, False
    for line in found:
        if len(line) > LARGEST_LINE:
            raise Unreadable("a line of more than %d bytes" % LARGEST_LINE)
        if line[:1].isdigit() or line[:1] in (b"+", b"-", b"*"):
            if events is None:
                raise Unreadable("costs before its events are named")
            fields = line.split()
            try:
                cost = int(fields[positions + events], 0) if len(fields) > positions + events else 0
            except ValueError:
                raise Unreadable("a cost that is not a number: %r" % line[:80])
            key = (os.path.basename(current[b"ob"]).decode(errors="replace"), current[b"fn"].decode(errors="replace"))
            entry = costs.setdefault(key, [0, 0])
            entry[1] += cost
            if not after_call:
                entry[0] += cost
                total += cost
            after_call = False
            continue
        after_call = line.startswith(b"calls=")
        key, equals, value = line.rstrip(b"\n").partition(b"=")
        if equals and key in KINDS:
            name = name_of(value, tables.setdefault(KINDS[key], {}))
            if key in (b"ob", b"fn"):
                current[key] = name
        elif line.startswith(b"events:"):
            names = line.split()[1:]
            if b"Ir" not in names:
                raise Unreadable("it counts no instructions (no Ir event)")
            events = names.index(b"Ir")
        elif line.startswith(b"positions:"):
            positions = len(line.split()) - 1
        elif line.startswith((b"totals:", b"summary:")) and events is not None:
            fields = line.split()[1:]
            totals = int(fields[events]) if len(fields) > events and fields[events].isdigit() else None
    if totals is not None and totals != total:
        raise Unreadable("its self costs sum to %d instructions, its totals say %d" % (total, totals))
    return costs, total


def read(path):
    """functions() of the file at path; raises Unreadable with the path named."""
    try:
        with open(path, "rb") as found:
            return functions(found)
    except (OSError, Unreadable) as error:
        raise Unreadable("%s: %s" % (printable(path), error))


def changes(before, after, most=None):
    """The functions of two functions() tables, matched by (object, function),
    as dicts with each side's self and inclusive count and the change of
    each, the largest change of self count first (then of inclusive); a
    function whose counts did not change is left out."""
    rows = []
    for key in set(before) | set(after):
        old, new = before.get(key, [0, 0]), after.get(key, [0, 0])
        if old == new:
            continue
        rows.append({"object": key[0], "function": key[1], "self": [old[0], new[0]], "inclusive": [old[1], new[1]],
                     "self_change": new[0] - old[0], "inclusive_change": new[1] - old[1]})
    rows.sort(key=lambda row: (-abs(row["self_change"]), -abs(row["inclusive_change"]), row["object"],
                               row["function"]))
    return rows[:most] if most else rows
