#!/bin/sh
# A git bisect run helper: a fixed comparison of 5 runs of GOOD, HEAD and BAD each; HEAD is bad when its
# median time is closer to BAD's than to GOOD's (the rule of git's own performance bisect). Each commit's
# forwarding libGL.so.1 is built into $NAIVE_OUT; $NAIVE_SHADERS is the pair. benchmarks/measure.sh
# git-bisect-32 runs it.
good=$1; bad=$2; out=${NAIVE_OUT:?}; shaders=${NAIVE_SHADERS:?}
compare=$(cd "$(dirname "$0")/.." && pwd)/tools/compare
head=$(git rev-parse HEAD)
build() {
  [ -e "$out/$1/libGL.so.1" ] && return 0
  mkdir -p "$out/$1" && git show "$1:forward_gl.c" > "$out/$1/forward_gl.c" &&
  cc -shared -fPIC -O2 -DREAL_LIBGL='"/usr/lib/x86_64-linux-gnu/libGL.so.1"' -DLINK_DELAY_US="$(git show "$1:delay")" \
     -o "$out/$1/libGL.so.1" "$out/$1/forward_gl.c" -ldl
}
build "$good" && build "$bad" && build "$head" || exit 125
"$compare" -n 5 --no-timeline --shaders "$shaders" --json "$out/step-$head.json" \
  "good:LD_LIBRARY_PATH=$out/$good,GALLIUM_DRIVER=llvmpipe" "mid:LD_LIBRARY_PATH=$out/$head,GALLIUM_DRIVER=llvmpipe" \
  "bad:LD_LIBRARY_PATH=$out/$bad,GALLIUM_DRIVER=llvmpipe" > /dev/null 2>&1
/usr/bin/python3 -c '
import json, statistics, sys
d = json.load(open(sys.argv[1]))
m = {r["configuration"]: statistics.median(x["ms"] for x in r["runs"]) for r in d["results"]}
print(m, file=sys.stderr)
sys.exit(0 if abs(m["mid"] - m["good"]) < abs(m["mid"] - m["bad"]) else 1)' "$out/step-$head.json"
