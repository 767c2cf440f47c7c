#!/bin/sh
# A corpus that asks for GLSL 1.30 against itself with GLSL 1.20 forced on one
# side: every pair should be named as failing to link on that side only, and
# the gate should fail. MESA_GLSL_VERSION_OVERRIDE=120 alone changes nothing
# (Mesa 22.3, llvmpipe: the program's compatibility context still takes
# #version 130); with MESA_GL_VERSION_OVERRIDE=2.1 beside it, it does. With "aa", the same
# driver against itself instead (3 rounds): what the corpus verdict calls when
# nothing changed.
#
#   benchmarks/corpus_override.sh [override|aa] [PAIRS] [SOURCE_DIR] [BINARY]
#
# From the checkout's root. Only the files whose every vertex and fragment
# shader section carries its own #version line are taken: the pair as its
# bytes stand then asks for what its [require] says.
set -eu
MODE=${1:-override}
PAIRS=${2:-15}
# By default the installed piglit's hand-written GLSL 1.30 execution tests, wherever the package puts them.
SRC=${3:-$(dirname "$(dpkg -L piglit | grep -m1 '/piglit/tests/.*/glsl-1\.30/execution/[^/]*\.shader_test$')")}
BINARY=${4:-build/shaderbench}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/tree"
for f in "$SRC"/*.shader_test; do
    if awk '/^\[/ { if (open && !seen) bad = 1; open = ($0 ~ /^\[(vertex|fragment) shader\]/); seen = 0; next }
            open && /^[ \t]*#version/ { seen = 1 }
            END { if (open && !seen) bad = 1; exit bad }' "$f"; then
        cp "$f" "$WORK/tree/"
    fi
done
tools/compare corpus -o "$WORK/corpus" "$WORK/tree"
if [ "$MODE" = aa ]; then
    set -- -n 3 a:GALLIUM_DRIVER=llvmpipe b:GALLIUM_DRIVER=llvmpipe
else
    set -- -n 1 glsl130:GALLIUM_DRIVER=llvmpipe \
        glsl120:GALLIUM_DRIVER=llvmpipe,MESA_GL_VERSION_OVERRIDE=2.1,MESA_GLSL_VERSION_OVERRIDE=120
fi
uptime
status=0
/usr/bin/time -f "%e s wall, %U s user" tools/compare run --binary "$BINARY" --corpus "$WORK/corpus" \
    --sample "$PAIRS" --seed 1 --fail-on-regression --json "$WORK/r.json" "$@" || status=$?
uptime
echo "exit status $status"
