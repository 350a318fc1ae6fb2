#!/usr/bin/env bash
# Several kavodown runs at once, each on a line of its own: one line simulator (paced at the
# chosen rate) and one terminal simulator per line, the real program started with the port number
# and the file on its command line, as a production line runs it. First one transfer alone on the
# same set-up, then N at the same time; prints each run's wall time, its exit code and whether the
# file arrived intact.
#
#   bench/parallel_transfers.sh [--count N] [--size BYTES] [--baud N] [--bin DIR]
#
# DIR holds kavodown, linesim and termsim (default: build/bin). Exits 1 when any run failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
count=4
size=$((300 * 1024))
baud=115200
bin=${KAVO_BUILD_DIR:-$root/build}/bin
while [ $# -gt 0 ]; do
  case "$1" in
    --count) count=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --baud) baud=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "parallel_transfers: unknown option $1" >&2; exit 2 ;;
  esac
done
for tool in kavodown linesim termsim; do
  [ -x "$bin/$tool" ] || { echo "parallel_transfers: $bin/$tool is missing (build first)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/kavo-parallel-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

head -c "$size" /dev/urandom > "$work/firmware.bin"

# Waits until FILE contains TEXT (at most 20 s).
wait_for() {
  local file=$1 text=$2
  for _ in $(seq 200); do
    grep -q "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "parallel_transfers: no \"$text\" in $file" >&2
  return 1
}

# Sets up line $1 (simulator and terminal) and starts kavodown on it in the background; the run's
# figures go to $work/$1/result: wall seconds, exit code.
start_run() {
  local n=$1 dir=$work/$1
  mkdir -p "$dir"
  "$bin/linesim" --baud "$baud" --link-a "$dir/A" --link-b "$dir/B" > "$dir/linesim.out" 2>&1 &
  pids+=($!)
  wait_for "$dir/linesim.out" "linesim: ready"
  "$bin/termsim" "$dir/B" --out "$dir/received.bin" --size "$size" --handshake-ms 200 \
    > "$dir/termsim.out" 2>&1 &
  pids+=($!)
  wait_for "$dir/termsim.out" "termsim: ready"
  (
    start=$(date +%s.%N)
    set +e
    QT_QPA_PLATFORM=offscreen KAVODOWN_CONFIG_DIR="$dir" KAVODOWN_PORTS="$n=$dir/A" \
      timeout 600 "$bin/kavodown" "$n" "$work/firmware.bin" > "$dir/kavodown.out" 2>&1
    code=$?
    end=$(date +%s.%N)
    echo "$(echo "$end - $start" | bc) $code" > "$dir/result"
  ) &
  pids+=($!)
}

# Prints the figures of run $1 under label $2; returns 1 when it failed.
report() {
  local dir=$work/$1 label=$2 seconds code intact
  read -r seconds code < "$dir/result"
  intact=no
  # The terminal writes the file when the transfer is over; give it a moment.
  for _ in $(seq 50); do
    [ -f "$dir/received.bin" ] && cmp -s "$dir/received.bin" "$work/firmware.bin" && { intact=yes; break; }
    sleep 0.1
  done
  printf '%-10s %8.2f s  %7.1f KB/s  exit %s  file %s\n' "$label" "$seconds" \
    "$(echo "$size / 1024 / $seconds" | bc -l)" "$code" "$intact"
  [ "$code" = 0 ] && [ "$intact" = yes ]
}

echo "kavodown transfers of $size bytes at $baud baud, each on its own simulated line"
failed=0
start_run 1
while [ ! -f "$work/1/result" ]; do sleep 0.2; done
report 1 "alone" || failed=1

for n in $(seq 2 $((count + 1))); do start_run "$n"; done
for n in $(seq 2 $((count + 1))); do
  while [ ! -f "$work/$n/result" ]; do sleep 0.2; done
done
for n in $(seq 2 $((count + 1))); do report "$n" "parallel $((n - 1))" || failed=1; done
exit $failed
