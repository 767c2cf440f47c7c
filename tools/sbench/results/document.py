"""Results files: what a comparison writes, how it is saved so that nothing
finished is lost, and the check that a file read back is one of ours.

A results file is rewritten whole after every run: into a temporary file in
the same directory, then renamed over the old one, so that whenever the tool
stops, even by SIGKILL, the file on disk is a complete document. Its
"complete" is true only once the comparison has ended by itself.
"""

import codecs
import datetime
import json
import os
import re
import secrets
import stat
import time
import uuid

from . import program_output
from ..analysis.clocks import CLOCKS, COUNTERS
from ..system import files as outputs

SCHEMA = "shaderbench-compare/2"
OLD_SCHEMAS = ("shaderbench-compare/1",)  # read, upgraded as below; never written
ID = re.compile(r"[0-9a-f]{32}")
PARTIAL_LITERAL = re.compile(r"t(r(u)?)?|f(a(l(s)?)?)?|n(u(l)?)?|-")  # what a cut leaves of true, false, null, -1
CALL_KEYS = ("compile_vertex_ms", "compile_fragment_ms", "link_ms", "link_status_ms", "other_ms")
# What a run's record of its loaded libraries may hold; the reader of /proc/PID/maps keeps to it too.
MAX_PATH = 4096              # PATH_MAX
MAX_LIBRARIES = 1000         # in one run's record
SHA256 = re.compile(r"[0-9a-f]{64}\Z")


def plain_path(path):
    """Whether path is one a record may hold: absolute, printable (no line
    break, no byte that is not UTF-8), within PATH_MAX."""
    return isinstance(path, str) and path.startswith("/") and len(path) <= MAX_PATH and path.isprintable()


# The configurations a plan may name by a word alone: their variables, and the word the renderer's name holds.
BUILT_IN = {
    "llvmpipe": ({"GALLIUM_DRIVER": "llvmpipe"}, "llvmpipe"),
    "softpipe": ({"GALLIUM_DRIVER": "softpipe"}, "softpipe"),
    "zink": ({"LIBGL_ALWAYS_SOFTWARE": "1", "GALLIUM_DRIVER": "zink"}, "zink"),
}


class ResultsError(ValueError):
    """A file that is not a well-formed results file; the text names it."""


def new_document(plan, host):
    return {"schema": SCHEMA, "id": new_id(),
            "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "complete": False, "host": host, "binary": plan["binary"], "plan": plan, "results": []}


def new_id():
    """A comparison's identity, made when it starts and kept by --resume: two
    started in the same second on one host with one plan are still two."""
    return uuid.uuid4().hex


def check_id(document, where="the document"):
    """The id, where there is one (files written before ids have none)."""
    if "id" in document and not ID.fullmatch(_field(document, "id", (str,), where)):
        raise ValueError("%s.id should be 32 lowercase hexadecimal digits, not %s"
                         % (where, json.dumps(document["id"])[:40]))


def save(path, document):
    """Replaces path with the document, atomically, and makes it durable."""
    outputs.write(path, lambda f: json.dump(document, f, indent=1, allow_nan=False))


# A file beyond this is not rewritten after every run when that would cost more than a
# 1/PACE share of the time since the last save: at 2,000 runs of 33 KB a round, every
# run's save made a round's saving quadratic (an 86 MB file written 2,000 times).
PACED_BYTES = 4 << 20
PACE = 20
CHANGING = ("failure", "runs", "failed_runs", "calls")  # the fields of a result that change as it runs


def saver(path):
    """save(document, paced=True) for a comparison's file: each run is
    encoded once (runs never change once made), and, once the file is larger
    than PACED_BYTES, a paced save is skipped until PACE times what the last
    took has passed since (an interrupt's or the end's save is never paced:
    only a comparison killed outright loses the runs since the last save)."""
    encoded, last = {}, {"bytes": 0, "took": 0.0, "at": 0.0}

    def save_document(document, paced=True):
        now = time.monotonic()
        if paced and last["bytes"] > PACED_BYTES and now - last["at"] < PACE * last["took"]:
            return
        text = encode(document, encoded)
        outputs.write(path, lambda f: f.write(text))
        last.update(bytes=len(text), at=time.monotonic(), took=time.monotonic() - now)
    return save_document


def encode(document, encoded):
    """The document as JSON. What never changes once made, each run and each
    result's own fields (its configuration, driver and pair), is encoded once
    and kept in encoded (id -> (the value, its text)); the rest (a result's
    failure, runs and replay, the plan, the verdicts) anew."""
    def once(value, fixed=None):
        if id(value) not in encoded:
            encoded[id(value)] = (value, json.dumps(fixed if fixed is not None else value, allow_nan=False))
        return encoded[id(value)][1]

    def result_text(result):
        fixed = once(result, {k: v for k, v in result.items() if k not in CHANGING})
        changing = ['"%s": %s' % (key, "[%s]" % ", ".join(map(once, value)) if key in ("runs", "failed_runs")
                                  else json.dumps(value, allow_nan=False))
                    for key, value in result.items() if key in CHANGING]
        return fixed[:-1] + (", " if fixed != "{}" and changing else "") + ", ".join(changing) + "}"
    token = '"%s"' % secrets.token_hex(16)  # no string of the document can hold it, as JSON escapes quotes
    before, _, after = json.dumps(dict(document, results=token[1:-1]), allow_nan=False).partition(token)
    return before + "[%s]" % ",\n".join(map(result_text, document["results"])) + after


# ---------------------------------------------------------------------------
# Reading back
# ---------------------------------------------------------------------------

MAX_DEPTH = 16         # a results file nests 6 levels deep
MAX_BYTES = 256 << 20  # a run with a timeline takes about 33 KB: some 7,000 of them
BLOCK = 1 << 20
LARGEST = 1e15         # no figure of ours comes near; beyond it sums and ratios lose their meaning
CACHE_MODES = ("isolated", "off", "user")


def load(path):
    """The document in path, checked; raises ResultsError with one line that
    names the file and what is wrong with it."""
    try:
        return loads(read_text(path), path)
    except OSError as error:
        raise ResultsError("%s: %s" % (path, error.strerror or error))


def read_json(path):
    """The JSON in path, read as a results file is (bounded, UTF-8, plain
    numbers within range) but not checked as one: for the tool's other saved
    documents (a bisect's), which check their own fields. Raises ResultsError
    with one line."""
    try:
        return parse_json(read_text(path), path)
    except OSError as error:
        raise ResultsError("%s: %s" % (path, error.strerror or error))


def read_text(path):
    """The text of path, read a block at a time, so that what cannot be a
    results file (a larger one, /dev/zero, random bytes) is refused at its
    first block that shows it, not after the memory runs out."""
    with open(path, "rb") as f:
        found = os.fstat(f.fileno())
        if stat.S_ISREG(found.st_mode) and found.st_size > MAX_BYTES:
            raise ResultsError("%s: %d MiB, larger than a results file may be (%d MiB)"
                               % (path, found.st_size >> 20, MAX_BYTES >> 20))
        decoder, text, size = codecs.getincrementaldecoder("utf-8")(), [], 0
        for block in iter(lambda: f.read(BLOCK), b""):
            size += len(block)
            if size > MAX_BYTES:
                raise ResultsError("%s: larger than a results file may be (%d MiB)" % (path, MAX_BYTES >> 20))
            if b"\0" in block:  # never in JSON text, and all /dev/zero has
                raise ResultsError("%s: not a results file (a NUL byte at byte %d)"
                                   % (path, size - len(block) + block.index(b"\0")))
            try:
                text.append(decoder.decode(block))
            except UnicodeDecodeError:
                raise ResultsError("%s: not a results file (not UTF-8 text)" % path)
        try:
            return "".join(text) + decoder.decode(b"", final=True)
        except UnicodeDecodeError:
            raise ResultsError("%s: not a results file (not UTF-8 text)" % path)


def loads(text, path):
    """The document in text (read from path), checked as load does."""
    document = parse_json(text, path)
    try:
        _check_document(document)
    except ValueError as error:
        raise ResultsError("%s: %s" % (path, error))
    return document


def parse_json(text, path):
    """The JSON value of text (read from path): no NaN or infinity, every
    number within range; raises ResultsError."""
    try:
        document = json.loads(text, parse_constant=_no_constant)
    except json.JSONDecodeError as error:
        # Cut short: the text ends where a value or a string is still open, or inside a literal or a
        # number (a compact file is often cut there).
        rest = error.doc[error.pos:].rstrip()
        cut = error.pos >= len(error.doc.rstrip()) or error.msg.startswith("Unterminated string") or (
            error.msg == "Expecting value" and error.pos > 0 and PARTIAL_LITERAL.fullmatch(rest))
        reason = "truncated" if cut else "not JSON"
        raise ResultsError("%s: %s (%s at line %d column %d)" % (path, reason, error.msg, error.lineno, error.colno))
    except RecursionError:
        raise ResultsError("%s: not a results file (nested too deeply)" % path)
    except ValueError as error:
        raise ResultsError("%s: %s" % (path, error))
    try:
        _check_values(document)
    except ValueError as error:
        raise ResultsError("%s: %s" % (path, error))
    return document


def _no_constant(name):
    raise ValueError("not a results file (%s is not a number)" % name)


def _check_values(document):
    """Every value, whatever its key: nesting within MAX_DEPTH, numbers finite
    and within +-LARGEST. (Text may hold lone surrogates: a path's bytes that
    are not UTF-8 come back so, and names are checked apart.)"""
    stack = [(document, "the document", 0)]
    while stack:
        value, where, depth = stack.pop()
        if depth > MAX_DEPTH:
            raise ValueError("not a results file (nested more than %d levels deep at %s)" % (MAX_DEPTH, where))
        if isinstance(value, dict):
            stack.extend((v, "%s.%s" % (where, k), depth + 1) for k, v in value.items())
        elif isinstance(value, list):
            if _plain_numbers(value):  # a series: one pass, not a step per entry
                continue
            stack.extend((v, "%s[%d]" % (where, i), depth + 1) for i, v in enumerate(value))
        elif type(value) in (int, float) and not -LARGEST <= value <= LARGEST:  # NaN compares false too
            raise ValueError("%s is %s, out of range" % (where, "a huge number" if isinstance(value, int)
                                                         else json.dumps(value)))


def _plain_numbers(values):
    """Whether values are numbers (or nulls), all finite and within +-LARGEST."""
    return (set(map(type, values)) <= {int, float, type(None)}
            and all(-LARGEST <= v <= LARGEST for v in values if v is not None))


def _check(value, kinds, where):
    """value is one of kinds (type objects; None allows null); else ValueError."""
    allowed = tuple(k for k in kinds if k is not None)
    if value is None and None in kinds:
        return value
    if isinstance(value, bool) and bool not in allowed or not isinstance(value, allowed):
        names = " or ".join("null" if k is None else _NAMES[k] for k in kinds)
        raise ValueError("%s should be %s, not %s" % (where, names, json.dumps(value)[:40]))
    return value


_NAMES = {dict: "an object", list: "a list", str: "text", int: "a whole number", float: "a number",
          bool: "true or false"}
NUMBER = (int, float)


def _field(obj, key, kinds, where, low=None, high=None):
    if key not in obj:
        raise ValueError("%s has no %r" % (where, key))
    value = _check(obj[key], kinds, "%s.%s" % (where, key))
    _in_range(value, low, high, "%s.%s" % (where, key))
    return value


def check_number(obj, key, where, low=None):
    """obj[key] a number from low on; else ValueError, worded as every check
    of a saved file words it (a bisect's figures go through it too)."""
    return _field(obj, key, NUMBER, where, low)


def _in_range(value, low, high, where):
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        if (low is not None and value < low) or (high is not None and value > high):
            bounds = ("below %s" % low if high is None else "above %s" % high if low is None
                      else "outside %s to %s" % (low, high))
            raise ValueError("%s is %s, %s" % (where, value, bounds))


def _name(obj, key, where):
    text = _field(obj, key, (str,), where)
    if not text or not text.isprintable():
        raise ValueError("%s.%s should be printable text without line breaks, not %s"
                         % (where, key, json.dumps(text)[:40]))
    return text


def check_numbers(obj, key, where, length=None, nullable=True, null_entries=False, low=None):
    values = _field(obj, key, (list, None) if nullable else (list,), where)
    if values is None:
        return
    where = "%s.%s" % (where, key)
    if length is not None and len(values) != length:
        raise ValueError("%s should hold %d numbers, not %d" % (where, length, len(values)))
    kinds = set(map(type, values))
    if not kinds <= {int, float} | ({type(None)} if null_entries else set()):
        i = next(i for i, v in enumerate(values) if type(v) not in (int, float) and not (null_entries and v is None))
        _check(values[i], NUMBER + ((None,) if null_entries else ()), "%s[%d]" % (where, i))
    if low is not None and min((v for v in values if v is not None), default=low) < low:
        i = next(i for i, v in enumerate(values) if v is not None and v < low)
        _in_range(values[i], low, None, "%s[%d]" % (where, i))


def _texts(obj, key, where, optional=True):
    if optional and key not in obj:
        return
    for i, text in enumerate(_field(obj, key, (list,), where)):
        _check(text, (str,), "%s.%s[%d]" % (where, key, i))


def _environment(obj, where):
    """Variables as the OS will take them: a name without '=', no NUL anywhere."""
    for var, value in _field(obj, "environment", (dict,), where).items():
        _check(value, (str,), "%s.environment.%s" % (where, json.dumps(var)[:40]))
        if not var or "=" in var or "\0" in var + value:
            raise ValueError("%s.environment holds %s=%s, which no process can be given (an empty name, "
                             "'=' in the name or a NUL byte)" % (where, json.dumps(var)[:40], json.dumps(value)[:40]))


def _check_document(document):
    _check(document, (dict,), "the top level")
    schema = document.get("schema")
    if schema not in (SCHEMA,) + OLD_SCHEMAS:
        raise ValueError("not a %s results file (its schema is %s)" % (SCHEMA, json.dumps(schema)[:40]))
    if schema in OLD_SCHEMAS:
        _upgrade(document)
    _field(document, "complete", (bool,), "the document")
    check_id(document)
    if "created" in document:
        _field(document, "created", (str,), "the document")
    _texts(document, "resumed", "the document")
    if "stopped" in document:  # why -n auto stopped; the verdicts themselves are made anew when read
        _field(document, "stopped", (str, None), "the document")
    host = _field(document, "host", (dict,), "the document")
    _field(host, "name", (str,), "host")
    binary = _field(document, "binary", (dict,), "the document")
    for key in ("path", "sha256"):
        _field(binary, key, (str,), "binary")
    plan = None
    if document.get("plan") is not None:
        plan = _check_plan(_field(document, "plan", (dict,), "the document"))
    for i, result in enumerate(_field(document, "results", (list,), "the document")):
        _check_result(result, "results[%d]" % i, plan)


def _check_plan(plan):
    _field(plan, "runs", (int,), "plan", 1, 100000)
    if _field(plan, "cache", (str,), "plan") not in CACHE_MODES:
        raise ValueError("plan.cache should be one of %s, not %s" % (", ".join(CACHE_MODES),
                                                                     json.dumps(plan["cache"])[:40]))
    for key in ("timeline", "calls"):
        _field(plan, key, (bool,), "plan")
    for key, kinds, low, high in (("auto", (bool,), None, None), ("against", (str, None), None, None),
                                  ("threshold", NUMBER, 0, 100), ("gate", (bool,), None, None),
                                  ("clock", (str,), None, None), ("counter", (str,), None, None)):
        if key in plan:  # files written before verdicts within a comparison (or gates) have none
            _field(plan, key, kinds, "plan", low, high)
    if plan.get("clock", "wall") not in CLOCKS:
        raise ValueError("plan.clock should be %s, not %s" % (" or ".join(CLOCKS), json.dumps(plan["clock"])[:40]))
    if plan.get("counter", "hardware") not in COUNTERS:
        raise ValueError("plan.counter should be %s, not %s" % (" or ".join(COUNTERS),
                                                                json.dumps(plan["counter"])[:40]))
    if plan.get("order", "fixed") not in ("fixed", "alternating"):
        raise ValueError("plan.order should be fixed or alternating, not %s" % json.dumps(plan["order"])[:40])
    if plan.get("auto") and plan["runs"] < 3:
        raise ValueError("plan.runs is %d, and -n auto makes at least 3" % plan["runs"])
    binary = _field(plan, "binary", (dict,), "plan")
    for key in ("path", "sha256"):
        _field(binary, key, (str,), "plan.binary")
    names = []
    for i, config in enumerate(_field(plan, "configurations", (list,), "plan")):
        where = "plan.configurations[%d]" % i
        names.append(_name(_check(config, (dict,), where), "name", where))
        _environment(config, where)
        _field(config, "expect", (str, None), where)
    if len(set(names)) != len(names):
        raise ValueError("plan.configurations names one configuration twice")
    if plan.get("against") is not None and plan["against"] not in names:
        raise ValueError("plan.against %s is not one of its configurations" % json.dumps(plan["against"])[:40])
    for i, pair in enumerate(_field(plan, "shaders", (list,), "plan")):
        _check_shaders(pair, "plan.shaders[%d]" % i)
    if "corpus" in plan:  # what the summary, the page's command line and --resume read of it
        corpus = _field(plan, "corpus", (dict,), "plan")
        for key, kinds, low in (("directory", (str,), None), ("seed", (int,), 0), ("sample", (int, None), 1),
                                ("filter", (str, None), None)):
            _field(corpus, key, kinds, "plan.corpus", low)
        for key, kinds in (("manifest_sha256", (str,)), ("pairs", (int,))):
            if key in corpus:
                _field(corpus, key, kinds, "plan.corpus", 0 if key == "pairs" else None)
    return plan


def _check_shaders(shaders, where):
    _check(shaders, (dict,), where)
    _field(shaders, "directory", (str,), where)
    _name(shaders, "label", where)
    for name, info in _field(shaders, "files", (dict,), where).items():
        if _check(info, (dict, None), "%s.files.%s" % (where, name)):
            _field(info, "sha256", (str,), "%s.files.%s" % (where, name))
    if "source" in shaders:  # a corpus pair's: the file and the sections it came from
        for key in ("file", "section"):
            _field(_field(shaders, "source", (dict,), where), key, (str,), where + ".source")


def _check_result(result, where, plan):
    _check(result, (dict,), where)
    name = _name(result, "configuration", where)
    if plan is not None and name not in [c["name"] for c in plan["configurations"]]:
        raise ValueError("%s.configuration %s is not in the plan" % (where, json.dumps(name)[:40]))
    _environment(result, where)
    for key in ("renderer", "gl_version", "failure"):
        _field(result, key, (str, None), where)
    _field(result, "cache", (str,), where)
    _check_shaders(_field(result, "shaders", (dict,), where), where + ".shaders")
    numbers = []
    for i, run in enumerate(_field(result, "runs", (list,), where)):
        numbers.append(_check_run(run, "%s.runs[%d]" % (where, i)))
    for i, failed in enumerate(_field(result, "failed_runs", (list,), where)):
        at = "%s.failed_runs[%d]" % (where, i)
        _check(failed, (dict,), at)
        numbers.append(_field(failed, "run", (int,), at, 1))
        _field(failed, "reason", (str,), at)
        _field(failed, "programs", (int,), at, 0)
        for key, kinds in (("ending", (str,)), ("status", (int, None)), ("signal", (str, None)),
                           ("seconds", NUMBER)):
            if key in failed:
                _field(failed, key, kinds, at, 0 if key == "seconds" else None)
        _texts(failed, "stderr", at)
        check_numbers(failed, "progress_s", at, low=0)
        check_libraries(failed, at)
    numbered = [n for n in numbers if n is not None]  # files of the first schema number no run
    if len(set(numbered)) != len(numbered):
        raise ValueError("%s holds run %d twice" % (where, next(n for n in numbered if numbered.count(n) > 1)))
    if plan is not None and len(numbers) > plan["runs"]:
        raise ValueError("%s holds %d runs, the plan %d" % (where, len(numbers), plan["runs"]))
    if result.get("calls") is not None:
        _check_calls(_field(result, "calls", (dict,), where), where + ".calls")


def _check_run(run, where):
    _check(run, (dict,), where)
    number = _field(run, "run", (int,), where, 1) if "run" in run else None
    _field(run, "ms", (int,), where, 0)
    _field(run, "commit_mib", (int, None), where)
    _field(run, "cpu_ms", NUMBER + (None,), where, 0)
    for key in ("cpu_us", "runnable_us", "instructions"):
        if key in run:  # files written before they were read have none
            _field(run, key, (int, None), where, 0)
    if run.get("counter", "hardware") not in COUNTERS:
        raise ValueError("%s.counter should be %s, not %s"
                         % (where, " or ".join(COUNTERS), json.dumps(run["counter"])[:40]))
    _field(run, "link_failures", (int,), where, 0, program_output.PROGRAMS)
    for key in ("program_ms", "commit_kib", "rss_kib"):
        check_numbers(run, key, where, program_output.PROGRAMS)
    if (run["commit_kib"] is None) != (run["rss_kib"] is None):  # sampled together, or not at all
        raise ValueError("%s has %s but no %s" % ((where,) + (("commit_kib", "rss_kib") if run["rss_kib"] is None
                                                              else ("rss_kib", "commit_kib"))))
    check_libraries(run, where)
    return number


def check_libraries(run, where):
    """The libraries a run mapped, where recorded (files written before they
    were have none): paths as a record may hold them, each with its SHA-256."""
    if run.get("libraries") is None:
        return
    found = _field(run, "libraries", (list,), where)
    if len(found) > MAX_LIBRARIES:
        raise ValueError("%s.libraries holds %d libraries, more than a run records (%d)"
                         % (where, len(found), MAX_LIBRARIES))
    for i, library in enumerate(found):
        at = "%s.libraries[%d]" % (where, i)
        _check(library, (dict,), at)
        if not plain_path(_field(library, "path", (str,), at)):
            raise ValueError("%s.path should be an absolute, printable path of at most %d characters, not %s"
                             % (at, MAX_PATH, json.dumps(library["path"])[:40]))
        if not SHA256.match(_field(library, "sha256", (str,), at)):
            raise ValueError("%s.sha256 should be 64 lowercase hexadecimal digits, not %s"
                             % (at, json.dumps(library["sha256"])[:40]))


def _check_calls(calls, where):
    if "failure" in calls:
        _field(calls, "failure", (str,), where)
        return
    _field(calls, "source", (str,), where)
    for key in CALL_KEYS:  # a call the replay does not make has nulls
        check_numbers(calls, key, where, program_output.PROGRAMS, nullable=False,
                      null_entries=key == "link_status_ms", low=0)


def _upgrade(document):
    """A results file of the first schema, as the current one reads it: it was
    written once at the end, so complete, and without failed runs or a plan."""
    document["complete"] = True
    document["plan"] = None
    for result in document.get("results") if isinstance(document.get("results"), list) else []:
        if isinstance(result, dict):
            result.setdefault("failed_runs", [])
            shaders = result.get("shaders")
            if isinstance(shaders, dict) and isinstance(shaders.get("directory"), str):
                shaders.setdefault("label", os.path.basename(shaders["directory"].rstrip("/")) or "/")
