"""Builds forward_gl.c: a libGL.so.1 that forwards to the system's but spends a set delay in each
glLinkProgram, to make a known slowdown (one per "driver commit")."""

import os
import subprocess

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "forward_gl.c")
NAME = "libGL.so.1"


def real_libgl():
    """The system's libGL.so.1, by absolute path, for this machine's multiarch."""
    arch = subprocess.run(["cc", "-print-multiarch"], capture_output=True, text=True, check=True).stdout.strip()
    return os.path.join("/usr/lib", arch, NAME) if arch else "/usr/lib/" + NAME


def build(directory, delay_us):
    """Builds directory/libGL.so.1 with delay_us per link; returns directory, for LD_LIBRARY_PATH."""
    os.makedirs(directory, exist_ok=True)
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-Wall", "-Werror", '-DREAL_LIBGL="%s"' % real_libgl(),
                    "-DLINK_DELAY_US=%d" % delay_us, "-o", os.path.join(directory, NAME), SOURCE, "-ldl"], check=True)
    return directory
