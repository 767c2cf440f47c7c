#!/bin/sh
# The history from a nightly comparison to a bisected change, on the sample history:
#   benchmarks/history-walkthrough.sh OUT [COMMITS [CULPRIT]]
# makes a history of the tests' forwarding libGL.so.1 (benchmarks/bisect-history.sh; each
# glLinkProgram 1 ms slower from commit CULPRIT on), records a nightly comparison of every
# commit beside llvmpipe itself into OUT/history.sqlite, then detects, confirms and bisects the
# change. Defaults: 12 commits, the change at commit 7. Run from anywhere; takes minutes.
set -e
out=$1; count=${2:-12}; culprit=${3:-7}
[ -n "$out" ] || { sed -n 2,7p "$0" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
compare=$root/tools/compare
mkdir -p "$out"; out=$(cd "$out" && pwd)
store=$out/history.sqlite
mkdir -p "$out/small"
printf '#version 110\nvoid main()\n{\n    gl_Position = vec4(0.0);\n}\n' > "$out/small/largeShaderExample_vs_source.txt"
printf '#version 110\nvoid main()\n{\n    gl_FragColor = vec4(1.0);\n}\n' > "$out/small/largeShaderExample_ps_source.txt"
"$root/benchmarks/bisect-history.sh" "$out/repo" "$count" "$culprit" 1000
real='"/usr/lib/x86_64-linux-gnu/libGL.so.1"'
build="mkdir -p {prefix}/lib && cc -shared -fPIC -O2 -DREAL_LIBGL='$real' -DLINK_DELAY_US=\$(cat delay) -o {prefix}/lib/libGL.so.1 forward_gl.c -ldl"

# Each night: the driver's commit built by hand and installed where the nightly driver always
# goes, as a CI job would, then compared with llvmpipe itself (the fixed reference that removes
# what the machine did that night). The configuration is its name and environment: the same
# every night, so the nights make one series.
prefix=$out/nightly-prefix
n=0
while read -r commit; do
  n=$((n + 1)); night=$out/nightly/$n
  mkdir -p "$night/src" "$prefix/lib"
  git -C "$out/repo" archive "$commit" | tar -x -C "$night/src"
  (cd "$night/src" && cc -shared -fPIC -O2 -DREAL_LIBGL="$real" -DLINK_DELAY_US="$(cat delay)" \
      -o "$prefix/lib/libGL.so.1" forward_gl.c -ldl)
  "$compare" run -n 3 --shaders "$out/small" --json "$night/results.json" \
      --record --store "$store" --repo "$out/repo" --commit "drv=$commit" \
      ref:GALLIUM_DRIVER=llvmpipe "drv:GALLIUM_DRIVER=llvmpipe,LD_LIBRARY_PATH=$prefix/lib" > "$night/out.txt"
done < "$out/hashes"

"$compare" history --store "$store" --config drv --measure time --html "$out/history.html"
"$compare" changes --detect --store "$store" --json "$out/changes.json"
id=$(/usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[0]["id"])' "$out/changes.json") ||
  { echo "no change was found: see $out/history.html" >&2; exit 1; }
for judge in --confirm --bisect; do
  "$compare" change "$id" "$judge" --store "$store" --repo "$out/repo" --build "$build" \
      --use 'LD_LIBRARY_PATH={prefix}/lib' --use GALLIUM_DRIVER=llvmpipe --shaders "$out/small" \
      --builds "$out/builds"
done
"$compare" changes --store "$store"
