"""The modules from outside Python's standard library that the tool imports,
each with the Debian package that brings it: a Python without one gets a
line that names it, not a traceback."""

import sys

DEBIAN = {"numpy": ("NumPy", "python3-numpy"), "scipy": ("SciPy", "python3-scipy"),
          "matplotlib": ("Matplotlib", "python3-matplotlib"), "jinja2": ("Jinja2", "python3-jinja2"),
          "Xlib": ("python-xlib", "python3-xlib"), "psycopg": ("Psycopg 3", "python3-psycopg")}


def missing(error):
    """The line for a ModuleNotFoundError of one of those modules; None for
    any other, a fault of the tool's own that keeps its traceback."""
    module = (error.name or "").split(".")[0]
    if module not in DEBIAN:
        return None
    name, package = DEBIAN[module]
    return "%s (Python's %s module) is missing from %s: the Debian package %s brings it" % (
        name, module, sys.executable, package)
