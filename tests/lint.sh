#!/bin/sh
# The project's own linters, clean: flake8 (its settings in .flake8) over the
# Python, shellcheck over the shell scripts; each file found by its name or
# its first line, so that a new script is checked without being listed here.
set -eu
cd "$1"
python=""; shell=""
for f in $(git ls-files); do
  [ -f "$f" ] || continue
  case $f in
    *.py) python="$python $f";;
    *.sh) shell="$shell $f";;
    *) case $(head -c 64 "$f" | head -n 1 | tr -d '\000') in
         '#!'*python*) python="$python $f";;
         '#!'*sh) shell="$shell $f";;
       esac;;
  esac
done
# shellcheck disable=SC2086  # the lists are file names without spaces, split on purpose
/usr/bin/python3 -m flake8 $python
# shellcheck disable=SC2086
shellcheck -x $shell
