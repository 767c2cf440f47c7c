"""What a comparison runs: driver configurations, shader pairs, the binary,
and the provenance of each (renderer, SHA-256, host), which is also what a
resumed comparison must find unchanged."""

import hashlib
import os
import platform
import re
import subprocess
import time

from . import harness
from ..results.document import BUILT_IN
from ..results.program_output import PAIR
from ..corpus import selection
from ..system import scratch
from ..system.text import printable

GLXINFO_SECONDS = 60


# ---------------------------------------------------------------------------
# Configurations
# ---------------------------------------------------------------------------

def check_name(name, what):
    if not name or not name.isprintable():
        raise ValueError("%s %r: a name must be printable, without line breaks" % (what, name))
    return name


VARIABLE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def assignment(text):
    """(VAR, VALUE) of VAR=VALUE, the value taken whole; ValueError otherwise.
    The one reader of the form, wherever a command line or a saved file gives it."""
    var, eq, value = text.partition("=")
    if not eq or not VARIABLE.fullmatch(var):
        raise ValueError("%r is not VAR=VALUE" % text)
    return var, value


def assignments(where, texts, env=None):
    """env (a new dict by default) with the VAR=VALUE texts added; ValueError
    'where: ...' for one that is not, or a VAR given twice."""
    env = {} if env is None else env
    for text in texts:
        try:
            var, value = assignment(text)
        except ValueError as error:
            raise ValueError("%s: %s" % (where, error))
        if var in env:
            raise ValueError("%s: %s is given twice" % (where, var))
        env[var] = value
    return env


def parse_config(text):
    """A built-in name or NAME:VAR=VALUE[,VAR=VALUE...] -> (name, env, expected renderer word)."""
    if text in BUILT_IN:
        env, word = BUILT_IN[text]
        return text, dict(env), word
    name, sep, variables = text.partition(":")
    if not sep or not name or not variables:
        raise ValueError("%r is neither a built-in configuration (%s) nor NAME:VAR=VALUE[,...]"
                         % (text, ", ".join(BUILT_IN)))
    check_name(name, "configuration")
    return name, assignments(name, variables.split(",")), None


def add_variable(configs, text):
    """configs with --env NAME:VAR=VALUE applied: VALUE is taken whole, commas
    and all. A NAME not among configs is a new configuration (a built-in
    name starts from the built-in's environment)."""
    name, sep, variable = text.partition(":")
    if not sep:
        raise ValueError("--env %r is not NAME:VAR=VALUE" % text)
    check_name(name, "configuration")
    if not any(c[0] == name for c in configs):
        configs = configs + [parse_config(name) if name in BUILT_IN else (name, {}, None)]
    assignments(name, [variable], next(c for c in configs if c[0] == name)[1])
    return configs


def owned_variables(cache):
    """The variables the tool sets itself for a run, which a configuration may not."""
    return ["DISPLAY", "XAUTHORITY"] + sorted(harness.cache_environment(cache, "-"))


def check_configs(configs, cache):
    """Refuses a name given twice and a variable the tool sets itself."""
    names = [name for name, _, _ in configs]
    for name, env, _ in configs:
        if names.count(name) > 1:
            raise ValueError("two configurations are named %s" % name)
        owned = [var for var in env if var in owned_variables(cache)]
        if owned:
            raise ValueError("%s: %s is set by the tool for every run (see --cache and --display)"
                             % (name, owned[0]))


def run_environment(env, display, cache_env):
    """The environment of one run: ours (without our display), the
    configuration's, the cache mode's, then the display's."""
    ours = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "XAUTHORITY")}
    return {**ours, **env, **cache_env, **harness.display_environment(display)}


def driver_info(env, display, cache):
    """(renderer, GL version, None) as glxinfo reports them, or (None, None, reason)."""
    try:
        with harness.driver_cache(cache) as cache_env, scratch.child(
                ["glxinfo", "-B"], scratch.stop_process, env=run_environment(env, display, cache_env),
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            status, out, err = harness.finish(proc, harness.LineReader(proc), time.monotonic() + GLXINFO_SECONDS)
    except scratch.CouldNotStart as error:
        return None, None, "glxinfo failed: %s" % error
    except TimeoutError:
        return None, None, "glxinfo failed: no answer in %d s" % GLXINFO_SECONDS
    out, err = out.decode(errors="replace"), err.decode(errors="replace")
    renderer = re.search(r"OpenGL renderer string: (.*)", out)
    version = re.search(r"OpenGL version string: (.*)", out)
    if status != 0 or not renderer:
        # libGL's own "error" line says more than the X protocol dump after it.
        errors = err.strip().splitlines() or ["no OpenGL context"]
        return None, None, next((line for line in errors if "error" in line.lower()), errors[-1]).strip()
    return renderer.group(1).strip(), version.group(1).strip() if version else None, None


# ---------------------------------------------------------------------------
# Shader pairs
# ---------------------------------------------------------------------------

def find_pair(directory):
    """The directory that holds the two shader files: DIR itself, or DIR/shaders
    (the program's own layout). Raises ValueError naming what is missing."""
    candidates = (directory, os.path.join(directory, "shaders"))
    for candidate in candidates:
        if all(os.path.isfile(os.path.join(candidate, name)) for name in PAIR):
            return os.path.abspath(candidate)
    if not os.path.exists(directory):
        raise ValueError("--shaders %s: no such directory" % directory)
    if not os.path.isdir(directory):
        raise ValueError("--shaders %s: not a directory (give the directory that holds the pair)" % directory)
    for candidate in candidates:
        present = [name for name in PAIR if os.path.isfile(os.path.join(candidate, name))]
        if present:
            missing = next(name for name in PAIR if name not in present)
            raise ValueError("--shaders %s: no %s" % (directory, os.path.join(candidate, missing)))
    raise ValueError("--shaders %s: neither it nor %s holds %s and %s"
                     % (directory, os.path.join(directory, "shaders"), *PAIR))


def pair_labels(directories):
    """A short label per directory as the user named it: its name, or as many
    of its last path components as it takes to tell it from the others as
    printed. Paths that print alike all the way (a byte that is not UTF-8,
    shown as \\xff, beside a name that holds those four characters) are numbered."""
    parts = [[printable(part) for part in os.path.abspath(d).rstrip("/").split("/")] for d in directories]
    labels = []
    for i, mine in enumerate(parts):
        depth = 1
        while depth < len(mine) and any(j != i and other[-depth:] == mine[-depth:] for j, other in enumerate(parts)):
            depth += 1
        labels.append("/".join(mine[-depth:]) or "/")
    return [label if labels.count(label) == 1 else "%s (%d)" % (parts[i][-1] or "/", labels[:i].count(label) + 1)
            for i, label in enumerate(labels)]


def find_pairs(directories):
    """[(pair directory, label)] for the directories given to --shaders; the
    same pair given twice (the same directory, or the same two files) is refused."""
    found = [find_pair(d) for d in directories]
    contents = [tuple(sha256(os.path.join(d, name)) for name in PAIR) for d in found]
    for i, (directory, content) in enumerate(zip(found, contents)):
        for j in range(i):
            if os.path.realpath(found[j]) == os.path.realpath(directory) or contents[j] == content:
                raise ValueError("--shaders %s: the same pair as --shaders %s" % (directories[i], directories[j]))
    return list(zip(found, pair_labels(directories)))


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def shader_info(directory, label, source=None):
    """A pair as plans and results hold it; source: where a corpus's pair came from ({"file", "section"})."""
    files = {}
    for name in PAIR:
        path = os.path.join(directory, name)
        files[name] = ({"size": os.path.getsize(path), "sha256": sha256(path)}
                       if os.path.isfile(path) else None)
    info = {"directory": os.path.abspath(directory), "label": label, "files": files}
    return dict(info, source=source) if source else info


def corpus_pairs(directory, sample=None, seed=0, pattern=None):
    """(the plan's record of the corpus, its pairs as find_pairs gives them
    plus each one's source) for run --corpus; ValueError with one line."""
    manifest, digest = selection.read_manifest(directory)
    chosen = selection.select(manifest["pairs"], sample, seed, pattern)
    if not chosen:
        raise ValueError("--corpus %s: no pair%s" % (directory, " matches --filter %s" % pattern if pattern else ""))
    pairs = [(find_pair(os.path.join(directory, p["name"])), p["name"], p["source"]) for p in chosen]
    record = {"directory": os.path.abspath(directory), "manifest_sha256": digest, "pairs": len(manifest["pairs"]),
              "sample": sample, "seed": seed, "filter": pattern}
    return record, pairs


# ---------------------------------------------------------------------------
# Provenance, and the plan a resumed comparison must match
# ---------------------------------------------------------------------------

def gpu_ids(devices="/sys/bus/pci/devices"):
    """The PCI ids (vendor:device, hex) of the display controllers, sorted:
    what the GPU is, whatever the driver calls it."""
    found = []
    for slot in sorted(os.listdir(devices)) if os.path.isdir(devices) else ():
        try:
            with open(os.path.join(devices, slot, "class")) as f:
                if not f.read().startswith("0x03"):
                    continue
            ids = []
            for name in ("vendor", "device"):
                with open(os.path.join(devices, slot, name)) as f:
                    ids.append(f.read().strip().lower().replace("0x", ""))
        except OSError:
            continue
        found.append(":".join(ids))
    return sorted(found)


def host_info():
    info = {"name": platform.node(), "kernel": platform.release(), "cpu": platform.machine(),
            "cores": os.cpu_count(), "memory_mib": None, "gpus": gpu_ids()}
    try:
        with open("/proc/cpuinfo") as f:
            models = re.findall(r"^model name\s*:\s*(.*)$", f.read(), re.M)
        info["cpu"] = models[0] if models else info["cpu"]
        with open("/proc/meminfo") as f:
            info["memory_mib"] = int(re.search(r"MemTotal:\s*(\d+) kB", f.read()).group(1)) // 1024
    except (OSError, AttributeError):
        pass
    return info


def binary_info(path):
    return {"path": os.path.abspath(path), "sha256": sha256(path)}


def make_plan(configs, pairs, binary, runs, cache, timeline, calls, auto=False, against=None, threshold=5.0,
              gate=False, clock="wall", corpus=None, counter=None):
    """Everything that decides which runs a comparison makes, and how its
    verdicts are made, as it is stored. pairs: [(pair directory, label)], as
    find_pairs gives them. runs: the count, or with auto the most -n auto may make.
    order: within a round the configurations run in the plan's order, then
    the other way round in the next, so that going first or second is alike
    on both sides (plans without it ran in the plan's order every round).
    corpus: where the pairs came from (corpus_pairs), for a corpus run, whose
    rounds each take the pairs in an order of their own (campaign).
    counter: what counts the instructions clock's runs (counting.COUNTERS)."""
    plan = {"runs": runs, "cache": cache, "timeline": timeline, "calls": calls, "auto": auto,
            "against": against, "threshold": threshold, "gate": gate, "clock": clock, "order": "alternating",
            "binary": binary_info(binary),
            "configurations": [{"name": name, "environment": env, "expect": word} for name, env, word in configs],
            "shaders": [shader_info(*pair) for pair in pairs]}
    if counter:
        plan["counter"] = counter
    return dict(plan, corpus=corpus) if corpus else plan


def plan_configs(plan):
    return [(c["name"], c["environment"], c["expect"]) for c in plan["configurations"]]


def plan_pairs(plan):
    return [(p["directory"], p["label"], p.get("source")) for p in plan["shaders"]]


def plan_differences(saved, current):
    """What differs between a saved plan and the one made now, as phrases
    (empty when they are the same plan)."""
    found = []
    for key in ("runs", "cache", "timeline", "calls", "auto", "against", "threshold", "gate", "clock", "counter"):
        if saved.get(key, current.get(key)) != current.get(key):
            found.append("%s is %s, the results have %s" % (key, current.get(key), saved[key]))
    if saved.get("corpus") != current.get("corpus"):
        found.append("the corpus is %s, the results have %s" % tuple(
            "none" if not c else "%(directory)s (manifest SHA-256 %(manifest_sha256).12s..., sample %(sample)s, "
            "seed %(seed)s, filter %(filter)s)" % c for c in (current.get("corpus"), saved.get("corpus"))))
    if saved["binary"]["sha256"] != current["binary"]["sha256"]:
        found.append("the binary %s is not the one the results were made with (SHA-256 %s..., not %s...)"
                     % (current["binary"]["path"], current["binary"]["sha256"][:12], saved["binary"]["sha256"][:12]))
    if [c[:2] for c in plan_configs(saved)] != [c[:2] for c in plan_configs(current)]:
        found.append("the configurations are %s, the results have %s"
                     % (", ".join(c["name"] for c in current["configurations"]) or "none",
                        ", ".join(c["name"] for c in saved["configurations"]) or "none"))
    if [p["directory"] for p in saved["shaders"]] != [p["directory"] for p in current["shaders"]]:
        found.append("the shader pairs are %s, the results have %s"
                     % tuple(", ".join(p["directory"] for p in plan["shaders"]) for plan in (current, saved)))
    else:
        changed = [p["directory"] for p, q in zip(saved["shaders"], current["shaders"]) if p["files"] != q["files"]]
        if changed:
            found.append("the shader files in %s changed since (their SHA-256 differs)" % ", ".join(changed))
    return found
