"""A corpus read back, and the pairs a run takes from it: those whose
source file's path matches a glob, then a seeded sample of them; and each
round's order. Both are ranked by SHA-256 of the seed and the pair's name,
so that they are the same on every machine and Python (no hash seed, no
file-system order, no random module's algorithm), and a sample of N is the
first N of a sample of N+1."""

import fnmatch
import hashlib
import os
import re

from ..results import document as results
from . import importer

NAME = re.compile(r"[A-Za-z0-9._+-]{1,100}")


def read_manifest(directory):
    """(manifest, its SHA-256) of the corpus in directory, checked: it may
    not be one this tool wrote. Raises ValueError with one line."""
    path = os.path.join(directory, importer.MANIFEST)
    if not os.path.isfile(path):
        raise ValueError("%s: not a corpus (no %s; make one with compare corpus)" % (directory, importer.MANIFEST))
    try:  # read once: the digest is of the very bytes checked (strict UTF-8 gives them back)
        text = results.read_text(path)
        manifest = results.parse_json(text, path)
    except results.ResultsError as error:
        raise ValueError(str(error))
    except OSError as error:
        raise ValueError("%s: %s" % (path, error.strerror or error))
    if not isinstance(manifest, dict) or manifest.get("format") != importer.FORMAT \
            or not isinstance(manifest.get("pairs"), list):
        raise ValueError("%s: not a corpus manifest (%s)" % (path, importer.FORMAT))
    for pair in manifest["pairs"]:
        source = pair.get("source") if isinstance(pair, dict) else None
        named = isinstance(pair.get("name") if source else None, str) and NAME.fullmatch(pair["name"])
        if not (named and pair["name"] not in (".", "..")
                and all(isinstance(source.get(k), str) for k in ("file", "section"))):
            raise ValueError("%s: a pair that is not a name and a source: %.60r" % (path, pair))
    names = [pair["name"] for pair in manifest["pairs"]]
    if len(set(names)) != len(names):
        raise ValueError("%s: two pairs of one name" % path)
    return manifest, hashlib.sha256(text.encode()).hexdigest()


def rank(seed, salt, name):
    return hashlib.sha256(("%d\0%s\0%s" % (seed, salt, name)).encode("utf-8", "surrogateescape")).digest()


def select(pairs, sample=None, seed=0, pattern=None):
    """The pairs (manifest entries) a run takes, in the manifest's order."""
    chosen = [p for p in pairs if pattern is None or fnmatch.fnmatchcase(p["source"]["file"], pattern)]
    if sample is not None and sample < len(chosen):
        kept = set(sorted((p["name"] for p in chosen), key=lambda name: rank(seed, "sample", name))[:sample])
        chosen = [p for p in chosen if p["name"] in kept]
    return chosen


def shuffled(names, seed, round_number):
    """names in round round_number's order."""
    return sorted(names, key=lambda name: rank(seed, "round %d" % round_number, name))
