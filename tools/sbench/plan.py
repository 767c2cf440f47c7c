"""What a comparison runs: driver configurations, shader pairs, the binary,
and the provenance of each (renderer, SHA-256, host), which is also what a
resumed comparison must find unchanged."""

import hashlib
import os
import platform
import re
import subprocess

from . import harness

PAIR = ("largeShaderExample_vs_source.txt", "largeShaderExample_ps_source.txt")

# Built-in configurations: environment, and the word the renderer string must
# hold, so that a driver Mesa silently replaced is caught.
BUILT_IN = {
    "llvmpipe": ({"GALLIUM_DRIVER": "llvmpipe"}, "llvmpipe"),
    "softpipe": ({"GALLIUM_DRIVER": "softpipe"}, "softpipe"),
    "zink": ({"LIBGL_ALWAYS_SOFTWARE": "1", "GALLIUM_DRIVER": "zink"}, "zink"),
}


# ---------------------------------------------------------------------------
# Configurations
# ---------------------------------------------------------------------------

def parse_config(text):
    """A built-in name or NAME:VAR=VALUE[,VAR=VALUE...] -> (name, env, expected renderer word)."""
    if text in BUILT_IN:
        env, word = BUILT_IN[text]
        return text, dict(env), word
    name, sep, assignments = text.partition(":")
    if not sep or not name or not assignments:
        raise ValueError("%r is neither a built-in configuration (%s) nor NAME:VAR=VALUE[,...]"
                         % (text, ", ".join(BUILT_IN)))
    env = {}
    for assignment in assignments.split(","):
        var, eq, value = assignment.partition("=")
        if not eq or not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", var):
            raise ValueError("%r: %r is not VAR=VALUE" % (text, assignment))
        env[var] = value
    return name, env, None


def run_environment(env, display, cache_env):
    """The environment of one run: ours, the configuration's, then the cache mode's."""
    return {**os.environ, **env, **cache_env, "DISPLAY": display}


def driver_info(env, display, cache):
    """(renderer, GL version, None) as glxinfo reports them, or (None, None, reason)."""
    try:
        with harness.driver_cache(cache) as cache_env:
            out = subprocess.run(["glxinfo", "-B"], env=run_environment(env, display, cache_env),
                                 capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, None, "glxinfo failed: %s" % error
    renderer = re.search(r"OpenGL renderer string: (.*)", out.stdout)
    version = re.search(r"OpenGL version string: (.*)", out.stdout)
    if out.returncode != 0 or not renderer:
        # libGL's own "error" line says more than the X protocol dump after it.
        errors = out.stderr.strip().splitlines() or ["no OpenGL context"]
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
    if not os.path.isdir(directory):
        raise ValueError("--shaders %s: no such directory" % directory)
    for candidate in candidates:
        present = [name for name in PAIR if os.path.isfile(os.path.join(candidate, name))]
        if present:
            missing = next(name for name in PAIR if name not in present)
            raise ValueError("--shaders %s: no %s" % (directory, os.path.join(candidate, missing)))
    raise ValueError("--shaders %s: neither it nor %s holds %s and %s"
                     % (directory, os.path.join(directory, "shaders"), *PAIR))


def pair_labels(directories):
    """A short label per directory as the user named it: its name, or as many
    of its last path components as it takes to tell it from the others."""
    parts = [os.path.abspath(d).rstrip("/").split("/") for d in directories]
    labels = []
    for mine in parts:
        depth = 1
        while any(other != mine and other[-depth:] == mine[-depth:] for other in parts) and depth < len(mine):
            depth += 1
        labels.append("/".join(mine[-depth:]) or "/")
    return labels


def find_pairs(directories):
    """[(pair directory, label)] for the directories given to --shaders."""
    return list(zip([find_pair(d) for d in directories], pair_labels(directories)))


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def shader_info(directory, label):
    files = {}
    for name in PAIR:
        path = os.path.join(directory, name)
        files[name] = ({"size": os.path.getsize(path), "sha256": sha256(path)}
                       if os.path.isfile(path) else None)
    return {"directory": os.path.abspath(directory), "label": label, "files": files}


# ---------------------------------------------------------------------------
# Provenance, and the plan a resumed comparison must match
# ---------------------------------------------------------------------------

def host_info():
    info = {"name": platform.node(), "kernel": platform.release(), "cpu": platform.machine(),
            "cores": os.cpu_count(), "memory_mib": None}
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


def make_plan(configs, pairs, binary, runs, cache, timeline, calls):
    """Everything that decides which runs a comparison makes, as it is stored.
    pairs: [(pair directory, label)], as find_pairs gives them."""
    return {"runs": runs, "cache": cache, "timeline": timeline, "calls": calls,
            "binary": binary_info(binary),
            "configurations": [{"name": name, "environment": env, "expect": word} for name, env, word in configs],
            "shaders": [shader_info(directory, label) for directory, label in pairs]}


def plan_configs(plan):
    return [(c["name"], c["environment"], c["expect"]) for c in plan["configurations"]]


def plan_pairs(plan):
    return [(p["directory"], p["label"]) for p in plan["shaders"]]


def plan_differences(saved, current):
    """What differs between a saved plan and the one made now, as phrases
    (empty when they are the same plan)."""
    found = []
    for key in ("runs", "cache", "timeline", "calls"):
        if saved[key] != current[key]:
            found.append("%s is %s, the results have %s" % (key, current[key], saved[key]))
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
