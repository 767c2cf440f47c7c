#!/bin/sh
# The history from a nightly comparison to a bisected change, on the sample history:
#   [CLOCK=instructions [COUNTER=C] [WORK=N]] benchmarks/history-walkthrough.sh OUT [COMMITS [CULPRIT]]
# makes a history of the tests' forwarding libGL.so.1 (benchmarks/bisect-history.sh; each
# glLinkProgram 1 ms slower from commit CULPRIT on, or with CLOCK=instructions, WORK turns of a
# loop more), records a nightly comparison of every commit beside llvmpipe itself into
# OUT/history.sqlite (counted by COUNTER, default auto, with CLOCK=instructions), then detects,
# confirms and bisects the change. Defaults: 12 commits, the change at commit 7, WORK 4600
# (about +1 % instructions on llvmpipe), judged at 0.5 %. Run from anywhere; takes minutes
# (counted under callgrind, 50 to 100 s a run: an hour or more).
set -e
out=$1; count=${2:-12}; culprit=${3:-7}
[ -n "$out" ] || { sed -n 2,10p "$0" >&2; exit 2; }
clock=${CLOCK:-wall}; counter=${COUNTER:-auto}
# What the culprit adds to each link (bisect-history.sh's WORK: turns of a loop, in place of the
# delay), how many rounds a night runs, and what the history is judged on: a count barely moves
# from run to run, and a change of a few per cent of it is plain.
case $clock in
  wall) work=0; rounds=3; measure="time"; set --;;
  instructions) work=${WORK:-4600}; rounds=2; measure=instructions; set -- --min-change 0.5;;
  *) echo "CLOCK: wall or instructions, not $clock" >&2; exit 2;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
compare=$root/tools/compare
mkdir -p "$out"; out=$(cd "$out" && pwd)
store=$out/history.sqlite
mkdir -p "$out/small"
printf '#version 110\nvoid main()\n{\n    gl_Position = vec4(0.0);\n}\n' > "$out/small/largeShaderExample_vs_source.txt"
printf '#version 110\nvoid main()\n{\n    gl_FragColor = vec4(1.0);\n}\n' > "$out/small/largeShaderExample_ps_source.txt"
WORK=$work "$root/benchmarks/bisect-history.sh" "$out/repo" "$count" "$culprit" 1000
real='"/usr/lib/x86_64-linux-gnu/libGL.so.1"'
build="mkdir -p {prefix}/lib && cc -shared -fPIC -O2 -DREAL_LIBGL='$real' -DLINK_DELAY_US=\$(cat delay) -o {prefix}/lib/libGL.so.1 forward_gl.c -ldl"
counted() {  # the options of a counted run, or none
  [ "$clock" = instructions ] && printf '%s\n' --clock instructions --counter "$counter"
  return 0
}

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
  # shellcheck disable=SC2046  # counted's options are words without spaces
  "$compare" run -n "$rounds" $(counted) --shaders "$out/small" --json "$night/results.json" \
      --record --store "$store" --repo "$out/repo" --commit "drv=$commit" \
      ref:GALLIUM_DRIVER=llvmpipe "drv:GALLIUM_DRIVER=llvmpipe,LD_LIBRARY_PATH=$prefix/lib" > "$night/out.txt"
done < "$out/hashes"

"$compare" history --store "$store" --config drv --measure "$measure" --html "$out/history.html"
"$compare" changes --detect "$@" --store "$store" --json "$out/changes.json"
id=$(/usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[0]["id"])' "$out/changes.json" 2>/dev/null) ||
  { echo "no change was found: see $out/history.html" >&2; exit 1; }
# A counted change is confirmed and bisected on counts too (change takes --counter); its threshold
# is the detector's.
[ "$clock" = instructions ] && set -- --counter "$counter" --threshold 0.5
for judge in --confirm --bisect; do
  "$compare" change "$id" "$judge" "$@" --store "$store" --repo "$out/repo" --build "$build" \
      --use 'LD_LIBRARY_PATH={prefix}/lib' --use GALLIUM_DRIVER=llvmpipe --shaders "$out/small" \
      --builds "$out/builds"
done
"$compare" changes --store "$store"
