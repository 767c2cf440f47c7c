"""Where the instructions went, as a page: each side's count and the
functions whose instructions changed most, the table `where` prints, with
the library and the function in columns of their own. Its names come from
the binaries a run loaded, a hostile one's too: they are text on the page,
never markup. Self-contained and without scripts: it opens offline."""

from . import report_page
from ..system import files as outputs
from ..system.text import printable

HEADINGS = ("self change", "self {a}", "self {b}", "incl. change", "library", "function")


def signed(value):
    return "%+d" % value if value else "0"


def page_data(found):
    """What the page shows of where's table (the sides, then the functions
    in its order), as plain text to escape."""
    (a, b), names = found["sides"], [printable(side["configuration"]) for side in found["sides"]]
    change = (b["instructions"] - a["instructions"]) / a["instructions"] * 100 if a["instructions"] else 0.0
    return {"a": names[0], "b": names[1],
            "sides": [{"name": name, "instructions": side["instructions"], "file": printable(side["file"]),
                       "change": "%+.3f %%" % change if side is b else None}
                      for name, side in zip(names, (a, b))],
            "heading": [heading.format(a=names[0], b=names[1]) for heading in HEADINGS],
            "rows": [[signed(row["self_change"]), str(row["self"][0]), str(row["self"][1]),
                      signed(row["inclusive_change"]), printable(row["object"]), printable(row["function"])]
                     for row in found["functions"]]}


def write(path, found):
    """The page of where's table (found: as --json holds it), written whole or not at all."""
    data = page_data(found)
    text = report_page.render("where.html", None, data, "shaderbench: where the instructions went, %s against %s"
                              % (data["b"], data["a"]))
    outputs.write(path, lambda f: f.write(text))
