#!/usr/bin/env bash
# The station's own CPU (its process alone, not its units' runs), from /proc/<pid>/stat: idle
# for 10 s with 4 empty slots, then while 4 terminals take the sample firmware at 115200 baud.
# Usage: bench/station_cpu.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bin=$build/bin
sample=$build/demo/sample-firmware.bin
work=$(mktemp -d /tmp/kavodown-station-cpu.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
hz=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
now() { date +%s.%N; }
percent() { awk -v t="$1" -v s="$2" -v hz="$hz" 'BEGIN { printf "%.3f", 100 * t / hz / s }'; }

export KAVODOWN_CONFIG_DIR="$work"
"$bin/kavodown" --station --batch --units 4 --slot "$work/s1" --slot "$work/s2" --slot "$work/s3" \
  --slot "$work/s4" --results "$work/results.csv" "$sample" >/dev/null 2>"$work/station.log" &
station=$!
pids+=("$station")
sleep 1
t0=$(ticks "$station"); s0=$(now)
sleep 10
t1=$(ticks "$station"); s1=$(now)
echo "idle: $(percent $((t1 - t0)) "$(awk -v a="$s0" -v b="$s1" 'BEGIN{print b-a}')") % of a core over 10 s"

size=$(stat -c %s "$sample")
for k in 1 2 3 4; do
  "$bin/linesim" --baud 115200 --link-a "$work/s$k" --link-b "$work/t$k" >"$work/l$k.log" 2>&1 &
  pids+=($!)
done
sleep 0.5
for k in 1 2 3 4; do
  "$bin/termsim" "$work/t$k" --out "$work/r$k.bin" --size "$size" >/dev/null 2>&1 &
  pids+=($!)
done
t2=$(ticks "$station"); s2=$(now)
# Read the figures once a second while the units run (the process is gone once it ends).
t3=$t2; s3=$s2
while t=$(ticks "$station" 2>/dev/null) && kill -0 "$station" 2>/dev/null; do
  t3=$t; s3=$(now)
  sleep 1
done
wait "$station" || true
seconds=$(awk -v a="$s2" -v b="$s3" 'BEGIN{print b-a}')
echo "4 running units: $(percent $((t3 - t2)) "$seconds") % of a core over $seconds s" \
  "($(awk -v p="$(percent $((t3 - t2)) "$seconds")" 'BEGIN{printf "%.3f", p/4}') % per slot)"
echo "$(tail -n 1 "$work/station.log")"
