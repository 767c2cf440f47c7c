"""One .shader_test file: its sections, whether it makes a pair the program
can run (and if not, why), and the stage this project writes where the file
has only one.

A section is a line `[name]` at a line's start; it runs to the next such
line. A pair's shaders are the sections' bytes as they stand: nothing is
decoded, so odd bytes reach the driver as the file has them. Only when
asked (versions) is a line added: a `#version` line, first, to a shader
that has none while the file's [require] asks for GLSL above 1.10 (the
runner the files are written for supplies that line; without it the pair
fails to link).
"""

import re

HEADER = re.compile(rb"^\[([^\]\r\n]*)\][ \t\r]*$", re.M)
VERSION = re.compile(rb"^[ \t]*#[ \t]*version[ \t]+([0-9]{1,4})(?:[ \t]+([A-Za-z]{1,16}))?", re.M)
REQUIRED = re.compile(r"GLSL( ES)?[ \t]*>=[ \t]*([0-9])\.([0-9]{1,2})")  # a [require] line's least GLSL version
OTHER_STAGES = ("geometry shader", "tessellation control shader", "tessellation evaluation shader",
                "compute shader")
ASSEMBLY = ("vertex program", "fragment program")
VERTEX, PASSTHROUGH, FRAGMENT = "vertex shader", "vertex shader passthrough", "fragment shader"

# The reasons a file is skipped, as the import counts them.
SPIRV = "SPIR-V"
ASSEMBLY_PROGRAM = "an assembly program"
OTHER_STAGE = "a geometry, tessellation or compute stage"
SEVERAL_UNITS = "several compilation units for one stage"
NO_SHADER = "no vertex or fragment shader section"
EMPTY = "an empty shader section"
ES_UNVERSIONED = "no #version line, and [require] asks for GLSL ES"  # only when adding the line: ES is not added


def sections(data):
    """[(name, line number, body bytes)] in the file's order; the name is
    lower-cased text (Latin-1, so that any byte reads)."""
    found, line, at = [], 1, 0
    headers = list(HEADER.finditer(data))
    for i, match in enumerate(headers):
        line += data.count(b"\n", at, match.start())
        at = match.start()
        start = match.end() + 1 if data[match.end():match.end() + 1] == b"\n" else match.end()
        end = headers[i + 1].start() if i + 1 < len(headers) else len(data)
        found.append((match.group(1).strip().decode("latin-1").lower(), line, data[start:end]))
    return found


def skip_reason(found):
    """Why the sections make no pair the program can run, or None."""
    names = [name for name, _, _ in found]
    if any(name.endswith(("spirv", "specializations")) for name in names):
        return SPIRV
    if any(name in ASSEMBLY for name in names):
        return ASSEMBLY_PROGRAM
    if any(name in OTHER_STAGES or name.startswith(("geometry", "tessellation", "compute")) for name in names):
        return OTHER_STAGE
    vertex = names.count(VERTEX) + names.count(PASSTHROUGH)
    if vertex > 1 or names.count(FRAGMENT) > 1:
        return SEVERAL_UNITS
    if names.count(FRAGMENT) == 0 and names.count(VERTEX) == 0:
        return NO_SHADER
    if any(name in (VERTEX, FRAGMENT) and not body.strip() for name, _, body in found):
        return EMPTY
    return None


def glsl_version(body):
    """(number, profile word or None) of the first #version line, or (None, None): GLSL 1.10."""
    match = VERSION.search(body)
    if not match:
        return None, None
    return int(match.group(1)), match.group(2).decode().lower() if match.group(2) else None


def version_line(number, profile):
    if number is None:
        return b""
    return b"#version %d%s\n" % (number, b" " + profile.encode() if profile else b"")


def modern(number, profile):
    """Whether the version declares inputs and outputs with in and out (1.30 on, and ES 3.00 on)."""
    return number is not None and number >= 130  # ES's 100 is below, its 300 es above


def passthrough_vertex(fragment):
    """A vertex shader of the fragment shader's GLSL version that only places the vertex."""
    number, profile = glsl_version(fragment)
    declaration = b"in vec4 vertex;\n" if modern(number, profile) else b"attribute vec4 vertex;\n"
    return version_line(number, profile) + declaration + b"void main()\n{\n    gl_Position = vertex;\n}\n"


def trivial_fragment(vertex):
    """A fragment shader of the vertex shader's GLSL version that writes one colour."""
    number, profile = glsl_version(vertex)
    es = profile == "es" or number == 100
    text = version_line(number, profile) + (b"precision mediump float;\n" if es else b"")
    if modern(number, profile):
        return text + b"out vec4 color;\nvoid main()\n{\n    color = vec4(1.0);\n}\n"
    return text + b"void main()\n{\n    gl_FragColor = vec4(1.0);\n}\n"


def required_version(require):
    """(number, whether ES) of the first [require] line GLSL >= X.YY (or GLSL
    ES >= X.YY), or (None, False). X.Y is X.Y0: 4.0 is 400 (some 300 of
    piglit's files write it so)."""
    for line in require:
        match = REQUIRED.fullmatch(line)
        if match:
            return int(match.group(2)) * 100 + int(match.group(3).ljust(2, "0")), bool(match.group(1))
    return None, False


def add_versions(by_name, require):
    """The stages ("vertex", "fragment") of by_name's shaders given the
    #version line [require] asks for, by_name changed in place; or
    ES_UNVERSIONED when that would be an ES one (its language is not the
    desktop's: the pair is skipped rather than changed)."""
    number, es = required_version(require)
    lacking = [name for name in (VERTEX, FRAGMENT) if name in by_name and glsl_version(by_name[name][1])[0] is None]
    if number is None or number <= 110 or not lacking:
        return []
    if es:
        return ES_UNVERSIONED
    for name in lacking:
        by_name[name] = (by_name[name][0], version_line(number, None) + by_name[name][1])
    return [name.split()[0] for name in lacking]


def pair(data, versions=False):
    """(vertex bytes, fragment bytes, section, written, require lines, added)
    of a file's text, or a reason string when it makes no pair. section says
    which sections and lines the pair came from; written names the stage
    this project wrote (None when the file has both); added, with versions,
    the stages given a #version line (add_versions), else None."""
    found = sections(data)
    reason = skip_reason(found)
    if reason:
        return reason
    by_name = {name: (line, body) for name, line, body in found}
    require = [line.strip().decode("utf-8", "replace") for line in by_name.get("require", (0, b""))[1].splitlines()
               if line.strip() and not line.strip().startswith(b"#")]
    added = add_versions(by_name, require) if versions else None
    if isinstance(added, str):
        return added
    if FRAGMENT in by_name and VERTEX in by_name:
        (vline, vertex), (fline, fragment) = by_name[VERTEX], by_name[FRAGMENT]
        return vertex, fragment, "%s:%d, %s:%d" % (VERTEX, vline, FRAGMENT, fline), None, require, added
    if FRAGMENT in by_name:
        fline, fragment = by_name[FRAGMENT]
        section = "%s:%d" % (FRAGMENT, fline)
        if PASSTHROUGH in by_name:
            section = "%s:%d, %s" % (PASSTHROUGH, by_name[PASSTHROUGH][0], section)
        return passthrough_vertex(fragment), fragment, section, "vertex", require, added
    vline, vertex = by_name[VERTEX]
    return vertex, trivial_fragment(vertex), "%s:%d" % (VERTEX, vline), "fragment", require, added
