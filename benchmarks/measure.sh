#!/bin/sh
# The measurements of docs/measurements.md, each by name, run from the project's root:
#   benchmarks/measure.sh NAME OUT
# writes what it makes into the directory OUT. Not run by ctest; each takes minutes.
#   observer      softpipe, five runs with the timeline and five without, alternating
#   cache         llvmpipe: --cache user into an empty XDG_CACHE_HOME, then five runs --cache off
#   drivers-auto  llvmpipe, softpipe, zink on the sample pair, -n auto with a replay (needs mesa-vulkan-drivers)
#   drivers-five  the same, five runs each, with every chart and the trace
#   aa-sample     llvmpipe against itself, 12 rounds of the sample pair
#   aa-small      30 rounds of the two-line pair
#   aa-quick      30 rounds (ROUNDS=24 for the loaded pool) of the ten-line pair (shaders/quick)
#   gate-aa       the gate, llvmpipe against itself on the ten-line pair
#   bisect-32     a 32-commit history (benchmarks/bisect-history.sh), bisected on the two-line pair
#                 (CLOCK=cpu: judged on the CPU clock; CLOCK=instructions: counted, the culprit adding
#                 WORK turns a link, 4600 by default: about 1 % more instructions on llvmpipe,
#                 judged at --threshold 0.5)
#   git-bisect-32 the same history with git bisect run and a fixed comparison (benchmarks/naive-bisect.sh)
set -e
name=$1; out=$2
if [ -z "$name" ] || [ -z "$out" ]; then sed -n 2,17p "$0" >&2; exit 2; fi
root=$(cd "$(dirname "$0")/.." && pwd)
compare=$root/tools/compare
mkdir -p "$out"; out=$(cd "$out" && pwd)
small() {  # the tests' two-line pair
  mkdir -p "$out/small"
  printf '#version 110\nvoid main()\n{\n    gl_Position = vec4(0.0);\n}\n' > "$out/small/largeShaderExample_vs_source.txt"
  printf '#version 110\nvoid main()\n{\n    gl_FragColor = vec4(1.0);\n}\n' > "$out/small/largeShaderExample_ps_source.txt"
}
aa() { "$compare" "$@" a:GALLIUM_DRIVER=llvmpipe b:GALLIUM_DRIVER=llvmpipe; }  # llvmpipe against itself
build="mkdir -p {prefix}/lib && cc -shared -fPIC -O2 -DREAL_LIBGL='\"/usr/lib/x86_64-linux-gnu/libGL.so.1\"' -DLINK_DELAY_US=\$(cat delay) -o {prefix}/lib/libGL.so.1 forward_gl.c -ldl"
case $name in
observer)
  for i in 1 2 3 4 5; do
    "$compare" -n 1 softpipe --json "$out/on-$i.json"
    "$compare" -n 1 softpipe --no-timeline --json "$out/off-$i.json"
  done;;
cache)
  mkdir -p "$out/xdg"
  XDG_CACHE_HOME=$out/xdg "$compare" -n 1 llvmpipe --cache user --json "$out/user.json"
  find "$out/xdg" -type f | wc -l; du -sb "$out/xdg"
  "$compare" -n 5 llvmpipe --cache off --json "$out/off.json";;
drivers-auto)
  "$compare" -n auto --max-runs 8 --calls --json "$out/mesa.json" llvmpipe softpipe zink
  "$compare" --report "$out/mesa.json" --wide --html "$out/report.html";;
drivers-five)
  "$compare" -n 5 --calls --json "$out/mesa.json" --csv "$out/mesa.csv" --plot "$out/compare-sample.png" \
    --timeline "$out/timeline-sample.png" --calls-chart "$out/calls-sample.png" \
    --trace-events "$out/trace.json" llvmpipe softpipe zink
  "$compare" --report "$out/mesa.json";;
aa-sample)
  aa -n 12 --json "$out/sample-aa.json";;
aa-small)
  small; aa -n 30 --shaders "$out/small" --json "$out/small-aa.json";;
aa-quick)
  aa -n "${ROUNDS:-30}" --shaders "$root/shaders/quick" --json "$out/quick-aa.json";;
gate-aa)
  aa -n auto --fail-on-regression --shaders "$root/shaders/quick";;
bisect-32)
  # Counted: 1 % more work at the culprit, not a delay, which a count would not see.
  threshold=5; [ "$CLOCK" = instructions ] && export WORK="${WORK:-4600}" && threshold=0.5
  small; "$root/benchmarks/bisect-history.sh" "$out/repo"
  "$compare" bisect "$(sed -n 1p "$out/hashes")" "$(sed -n 32p "$out/hashes")" --repo "$out/repo" --build "$build" \
    --use 'LD_LIBRARY_PATH={prefix}/lib' --use GALLIUM_DRIVER=llvmpipe --shaders "$out/small" \
    --builds "$out/builds" --json "$out/bisect.json" --html "$out/bisect.html" ${CLOCK:+--clock "$CLOCK"} \
    --threshold "$threshold";;
git-bisect-32)
  small; "$root/benchmarks/bisect-history.sh" "$out/repo"
  cd "$out/repo"
  git bisect start "$(sed -n 32p ../hashes)" "$(sed -n 1p ../hashes)"
  NAIVE_OUT=$out/naive NAIVE_SHADERS=$out/small git bisect run "$root/benchmarks/naive-bisect.sh" \
    "$(sed -n 1p ../hashes)" "$(sed -n 32p ../hashes)";;
*)
  sed -n 2,17p "$0" >&2; exit 2;;
esac
