#!/usr/bin/env bash
# Eight slots at once against one alone: each unit's time (from the results log) at 115200 baud
# on the line and terminal simulators, with the sample firmware.
# Usage: bench/station_parallel.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bin=$build/bin
sample=$build/demo/sample-firmware.bin
size=$(stat -c %s "$sample")
work=$(mktemp -d /tmp/kavodown-station-par.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export KAVODOWN_CONFIG_DIR="$work"

# run N: a station with N slots, a terminal plugged into each; prints the units' seconds.
run() {
  local n=$1 slots=() dir="$work/run$1"
  mkdir -p "$dir"
  for k in $(seq "$n"); do slots+=(--slot "$dir/s$k"); done
  "$bin/kavodown" --station --batch --units "$n" "${slots[@]}" --results "$dir/results.csv" \
    "$sample" >/dev/null 2>/dev/null &
  local station=$!
  sleep 0.5
  for k in $(seq "$n"); do
    "$bin/linesim" --baud 115200 --link-a "$dir/s$k" --link-b "$dir/t$k" >/dev/null 2>&1 &
    pids+=($!)
  done
  sleep 0.5
  for k in $(seq "$n"); do
    "$bin/termsim" "$dir/t$k" --out "$dir/r$k.bin" --size "$size" --timeout-ms 120000 >/dev/null 2>&1 &
    pids+=($!)
  done
  wait "$station"
  python3 - "$dir/results.csv" <<'PY'
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1], newline='')))
assert all(r['code'] == '0' for r in rows), rows
print(' '.join(f"{int(r['duration_ms'])/1000:.2f}" for r in rows))
PY
}
one=$(run 1)
eight=$(run 8)
echo "one unit alone: $one s"
echo "eight at once:  $eight s"
python3 -c "
import sys
one=float('$one'); eight=[float(x) for x in '$eight'.split()]
print(f'slowest of eight: {max(eight):.2f} s, {100*(max(eight)/one-1):+.2f} % against one alone')"
