#!/bin/sh
# The live gated A/A on each clock beside stress-ng --cpu 2: llvmpipe against itself on the
# ten-line pair, -n auto, a 1 % threshold, --fail-on-regression, counted (instructions), then on
# the wall clock, then on the CPU clock:
#   benchmarks/live-gate-clocks.sh OUT
# Run from anywhere, after building to ./build; writes OUT/CLOCK.json, .out and .err, and prints
# each clock's status, seconds and load average. Takes 15 to 25 minutes where callgrind counts.
set -u
out=${1:-}
[ -n "$out" ] || { sed -n 2,6p "$0" >&2; exit 2; }
mkdir -p "$out"; out=$(cd "$out" && pwd)
cd "$(dirname "$0")/.." || exit 2
unset DISPLAY
stress-ng --cpu 2 --timeout 3600 >/dev/null 2>&1 &
stress=$!
trap 'kill "$stress" 2>/dev/null' EXIT
sleep 5
for clock in instructions wall cpu; do
  start=$(date +%s)
  echo "$clock: load $(cut -d' ' -f1-3 /proc/loadavg) at the start"
  tools/compare -n auto --clock "$clock" --threshold 1 --fail-on-regression --shaders shaders/quick \
      --json "$out/$clock.json" a:GALLIUM_DRIVER=llvmpipe b:GALLIUM_DRIVER=llvmpipe \
      >"$out/$clock.out" 2>"$out/$clock.err"
  echo "$clock: status $? in $(( $(date +%s) - start )) s, load $(cut -d' ' -f1-3 /proc/loadavg) at the end"
done
