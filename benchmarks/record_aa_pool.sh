#!/bin/sh
# An A/A pool of the ten-line pair on llvmpipe, both clocks per round, for the
# calibration tests: quiet (nothing else should run meanwhile), shared (nothing
# added, whatever else the machine runs: say its load), loaded (with
# stress-ng --cpu 2 on both cores) or busy (two busy loops of the shell, one a
# core: a load that takes the cores but hardly the caches). Run from anywhere in the source tree, after
# building to ./build; writes tests/tools/data/aa-llvmpipe-quick-cpu-MODE-30.json.gz
# and keeps the whole results file as aa-quick-MODE.json beside it in ./build.
# "$0 MODE count [ROUNDS]" counts instructions under callgrind instead (10
# rounds unless told: a counted run takes minutes) and writes
# aa-llvmpipe-quick-count-MODE-ROUNDS.json.gz, the rounds on the count.
set -eu
mode=${1:-}
case "$mode" in quiet|shared|loaded|busy) ;; *) echo "usage: $0 quiet|shared|loaded|busy [count [ROUNDS]]" >&2; exit 2 ;; esac
clock=cpu
rounds=30
if [ "${2:-}" = count ]; then
    clock=instructions
    rounds=${3:-10}
fi
cd "$(dirname "$0")/.."
results=build/aa-quick-$mode-$clock.json
rm -f "$results"
stress=
if [ "$mode" = loaded ]; then
    stress-ng --cpu 2 --quiet &
    stress=$!
elif [ "$mode" = busy ]; then
    sh -c 'while :; do :; done' &
    stress=$!
    sh -c 'while :; do :; done' &
    stress="$stress $!"
fi
if [ -n "$stress" ]; then
    # shellcheck disable=SC2086 # the ids are words
    trap 'kill $stress 2>/dev/null || true; wait $stress || true' EXIT
fi
tools/compare -n "$rounds" --clock "$clock" --shaders shaders/quick --json "$results" \
    a:GALLIUM_DRIVER=llvmpipe b:GALLIUM_DRIVER=llvmpipe
name=cpu
[ "$clock" = cpu ] || name=count
PYTHONPATH=tools /usr/bin/python3 - "$results" "tests/tools/data/aa-llvmpipe-quick-$name-$mode-$rounds.json.gz" "$mode" \
    "$clock" "$rounds" <<'PY'
import gzip, json, os, sys
from sbench.analysis import calibration
from sbench.results import document as results
document = results.load(sys.argv[1])
clock, rounds = sys.argv[4], sys.argv[5]
pool = {"what": "llvmpipe against itself under two names, interleaved, in alternating order; per round: a's ms, "
                "b's ms, a's MiB, b's MiB, on the wall clock (rounds) and the CPU clock (cpu_rounds)"
                + ("; counted by callgrind: a's and b's instructions in count_rounds, the memory there 1 (not judged)"
                   if clock == "instructions" else ""),
        "command": f"tools/compare -n {rounds} --clock {clock} --shaders shaders/quick --json POOL.json "
                   "a:GALLIUM_DRIVER=llvmpipe b:GALLIUM_DRIVER=llvmpipe" + {"loaded": ", under stress-ng --cpu 2",
                                                  "busy": ", beside two busy loops of sh"}.get(sys.argv[3], ""),
        "mode": sys.argv[3], "host": document["host"],
        "created": document.get("created"), "renderer": document["results"][0]["renderer"],
        "rounds": calibration.pool(document), "cpu_rounds": calibration.pool(document, "cpu")}
if clock == "instructions":
    pool["count_rounds"] = calibration.pool(document, "instructions")
with gzip.open(sys.argv[2] + ".part", "wt") as f:
    json.dump(pool, f)
os.replace(sys.argv[2] + ".part", sys.argv[2])
print("wrote", sys.argv[2])
PY
