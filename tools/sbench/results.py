"""Results files: what a comparison writes, how it is saved so that nothing
finished is lost, and the check that a file read back is one of ours.

A results file is rewritten whole after every run: into a temporary file in
the same directory, then renamed over the old one, so that whenever the tool
stops, even by SIGKILL, the file on disk is a complete document. Its
"complete" is true only once the comparison has ended by itself.
"""

import datetime
import json
import os
import tempfile

from . import output
from .interrupts import shielded

SCHEMA = "shaderbench-compare/2"
OLD_SCHEMAS = ("shaderbench-compare/1",)  # read, upgraded as below; never written
CALL_KEYS = ("compile_vertex_ms", "compile_fragment_ms", "link_ms", "link_status_ms", "other_ms")


class ResultsError(ValueError):
    """A file that is not a well-formed results file; the text names it."""


def new_document(plan, host):
    return {"schema": SCHEMA,
            "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "complete": False, "host": host, "binary": plan["binary"], "plan": plan, "results": []}


def save(path, document):
    """Replaces path with the document, atomically, and makes it durable."""
    directory = os.path.dirname(os.path.abspath(path))
    with shielded():
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=".%s." % os.path.basename(path), suffix=".tmp")
        try:
            os.fchmod(fd, 0o666 & ~_umask())  # as open() would have made it, not mkstemp's 0600
            with os.fdopen(fd, "w") as f:
                json.dump(document, f, indent=1)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
        directory_fd = os.open(directory, os.O_RDONLY)  # the rename too must reach the disk
        try:
            os.fsync(directory_fd)
        finally:
            os.close(directory_fd)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# ---------------------------------------------------------------------------
# Reading back
# ---------------------------------------------------------------------------

def load(path):
    """The document in path, checked; raises ResultsError with one line that
    names the file and what is wrong with it."""
    try:
        with open(path, "rb") as f:
            document = json.loads(f.read().decode("utf-8"), parse_constant=_no_constant)
    except OSError as error:
        raise ResultsError("%s: %s" % (path, error.strerror or error))
    except UnicodeDecodeError:
        raise ResultsError("%s: not a results file (not UTF-8 text)" % path)
    except json.JSONDecodeError as error:
        # Cut short: the text ends where a value or a string is still open.
        cut = error.pos >= len(error.doc.rstrip()) or error.msg.startswith("Unterminated string")
        reason = "truncated" if cut else "not JSON"
        raise ResultsError("%s: %s (%s at line %d column %d)" % (path, reason, error.msg, error.lineno, error.colno))
    except ValueError as error:
        raise ResultsError("%s: %s" % (path, error))
    try:
        _check_document(document)
    except ValueError as error:
        raise ResultsError("%s: %s" % (path, error))
    return document


def _no_constant(name):
    raise ValueError("not a results file (%s is not a number)" % name)


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


def _field(obj, key, kinds, where):
    if key not in obj:
        raise ValueError("%s has no %r" % (where, key))
    return _check(obj[key], kinds, "%s.%s" % (where, key))


def _numbers(obj, key, where, length=None, nullable=True, null_entries=False):
    values = _field(obj, key, (list, None) if nullable else (list,), where)
    if values is None:
        return
    where = "%s.%s" % (where, key)
    if length is not None and len(values) != length:
        raise ValueError("%s should hold %d numbers, not %d" % (where, length, len(values)))
    for i, value in enumerate(values):
        _check(value, NUMBER + ((None,) if null_entries else ()), "%s[%d]" % (where, i))


def _check_document(document):
    _check(document, (dict,), "the top level")
    schema = document.get("schema")
    if schema not in (SCHEMA,) + OLD_SCHEMAS:
        raise ValueError("not a %s results file (its schema is %s)" % (SCHEMA, json.dumps(schema)))
    if schema in OLD_SCHEMAS:
        _upgrade(document)
    _field(document, "complete", (bool,), "the document")
    _field(_field(document, "host", (dict,), "the document"), "name", (str,), "host")
    binary = _field(document, "binary", (dict,), "the document")
    for key in ("path", "sha256"):
        _field(binary, key, (str,), "binary")
    if document.get("plan") is not None:
        _check_plan(_field(document, "plan", (dict,), "the document"))
    for i, result in enumerate(_field(document, "results", (list,), "the document")):
        _check_result(result, "results[%d]" % i)


def _check_plan(plan):
    _field(plan, "runs", (int,), "plan")
    _field(plan, "cache", (str,), "plan")
    for key in ("timeline", "calls"):
        _field(plan, key, (bool,), "plan")
    binary = _field(plan, "binary", (dict,), "plan")
    for key in ("path", "sha256"):
        _field(binary, key, (str,), "plan.binary")
    for i, config in enumerate(_field(plan, "configurations", (list,), "plan")):
        where = "plan.configurations[%d]" % i
        _field(_check(config, (dict,), where), "name", (str,), where)
        _field(config, "environment", (dict,), where)
        _field(config, "expect", (str, None), where)
    for i, pair in enumerate(_field(plan, "shaders", (list,), "plan")):
        _check_shaders(pair, "plan.shaders[%d]" % i)


def _check_shaders(shaders, where):
    _check(shaders, (dict,), where)
    for key in ("directory", "label"):
        _field(shaders, key, (str,), where)
    for name, info in _field(shaders, "files", (dict,), where).items():
        if _check(info, (dict, None), "%s.files.%s" % (where, name)):
            _field(info, "sha256", (str,), "%s.files.%s" % (where, name))


def _check_result(result, where):
    _check(result, (dict,), where)
    _field(result, "configuration", (str,), where)
    _field(result, "environment", (dict,), where)
    for key in ("renderer", "gl_version", "failure"):
        _field(result, key, (str, None), where)
    _field(result, "cache", (str,), where)
    _check_shaders(_field(result, "shaders", (dict,), where), where + ".shaders")
    for i, run in enumerate(_field(result, "runs", (list,), where)):
        _check_run(run, "%s.runs[%d]" % (where, i))
    for i, failed in enumerate(_field(result, "failed_runs", (list,), where)):
        at = "%s.failed_runs[%d]" % (where, i)
        _check(failed, (dict,), at)
        _field(failed, "reason", (str,), at)
        _field(failed, "programs", (int,), at)
        _field(failed, "run", (int,), at)
        _numbers(failed, "progress_s", at)
    if result.get("calls") is not None:
        _check_calls(_field(result, "calls", (dict,), where), where + ".calls")


def _check_run(run, where):
    _check(run, (dict,), where)
    _field(run, "ms", (int,), where)
    _field(run, "commit_mib", (int, None), where)
    _field(run, "cpu_ms", (int, float, None), where)
    _field(run, "link_failures", (int,), where)
    for key in ("program_ms", "commit_kib", "rss_kib"):
        _numbers(run, key, where, output.PROGRAMS)


def _check_calls(calls, where):
    if "failure" in calls:
        _field(calls, "failure", (str,), where)
        return
    _field(calls, "source", (str,), where)
    for key in CALL_KEYS:  # a call the replay does not make has nulls
        _numbers(calls, key, where, output.PROGRAMS, nullable=False, null_entries=True)


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
