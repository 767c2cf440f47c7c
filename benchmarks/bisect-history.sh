#!/bin/sh
# Makes a git history of the tests' forwarding libGL.so.1 in DIR, to bisect:
#   benchmarks/bisect-history.sh DIR [COMMITS [CULPRIT [DELAY_US]]]
# From commit CULPRIT on (counted from 0), each glLinkProgram spends DELAY_US more; with WORK=N
# in the environment it runs N more turns of an empty loop instead (LINK_WORK: more
# instructions, the same every run, for --clock instructions), and no delay.
# Commits 5, 10, 15 and 25 change only a notes file (the same binary as their parent).
# Defaults: 32 commits, commit 19, 300 us. The hashes go to DIR/../hashes, oldest first.
# A commit's delay is in the file delay, its work at the top of its forward_gl.c: the one
# build command (-DLINK_DELAY_US=$(cat delay)) builds either kind of history.
set -e
repo=$1; count=${2:-32}; culprit=${3:-19}; delay_us=${4:-300}; work=${WORK:-0}
[ -n "$repo" ] || { echo "usage: $0 DIR [COMMITS [CULPRIT [DELAY_US]]]" >&2; exit 2; }
[ "$work" -gt 0 ] && delay_us=0
src=$(cd "$(dirname "$0")/.." && pwd)/tests/tools/forward_gl.c
rm -rf "$repo"; mkdir -p "$repo"; cd "$repo"; git init -q
made=0
for n in $(seq 0 $((count - 1))); do
  delay=0; turns=0; [ "$n" -ge "$culprit" ] && delay=$delay_us && turns=$work
  case $n in 5|10|15|25) same=1;; *) same=0; made=$n;; esac
  { echo "#define LINK_WORK $turns"; cat "$src"; echo "const int test_version = $made;"; } > forward_gl.c
  echo "$delay" > delay
  echo "commit $n" > NOTES
  git add -A; git -c user.name=t -c user.email=t@t commit -qm "change $n$( [ $same = 1 ] && echo ' (notes only)')"
done
git log --format=%H | tac > ../hashes
