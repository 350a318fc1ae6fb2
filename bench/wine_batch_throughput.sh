#!/usr/bin/env bash
# The whole unattended run at 115200 baud, kavodown on Linux against kavodown.exe under Wine, on
# the same simulated line (0 and 1 ms one-way latency) and terminal: wall time per run, time per
# 1 KiB block, and the share of the XMODEM-1K ceiling (1024 data bytes in a 1029-byte block,
# 10 bits a byte) that the whole run reaches, start-up and handshake included.
# Usage: bench/wine_batch_throughput.sh [RUNS] (default 3). Needs build/ and build-windows/
# (scripts/build, scripts/build-windows) and starts Wine in build-windows/wineprefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
bin=$root/build/bin
exe=$root/build-windows/bin/kavodown.exe
export WINEPREFIX=${KAVO_WINEPREFIX:-$root/build-windows/wineprefix} WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d /tmp/kavodown-wine-bench.XXXXXX)
size=204800
blocks=$((size / 1024))
pids=()
link=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -z "$link" ] || rm -f "$link"
  rm -rf "$work"
  wineserver -k </dev/null >/dev/null 2>&1 || true
}
trap cleanup EXIT
head -c "$size" /dev/urandom >"$work/fw.bin"
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
number=$((200 + $$ % 40))
link=$WINEPREFIX/dosdevices/com$number

# one_run <linux|wine> <latency>: prints the run's wall time in seconds.
one_run() {
  "$bin/linesim" --baud 115200 --latency-ms "$2" --link-a "$work/A" --link-b "$work/B" \
    >"$work/line.log" 2>&1 &
  local line=$!
  pids=("$line")
  until grep -q "linesim: ready" "$work/line.log"; do sleep 0.05; done
  stty -F "$(readlink -f "$work/A")" raw
  ln -sfn "$(readlink -f "$work/A")" "$link"
  "$bin/termsim" "$work/B" --out "$work/out.bin" --size "$size" >"$work/term.log" 2>&1 &
  local terminal=$!
  pids+=("$terminal")
  until grep -q "termsim: ready" "$work/term.log"; do sleep 0.05; done
  local start end
  start=$(date +%s.%N)
  if [ "$1" = linux ]; then
    KAVODOWN_CONFIG_DIR="$work" KAVODOWN_PORTS="$number=$work/A" "$bin/kavodown" --batch "$number" "$work/fw.bin" 2>>"$work/err.log"
  else
    KAVODOWN_CONFIG_DIR="Z:${work//\//\\}" wine "$exe" --batch "$number" "Z:${work//\//\\}\\fw.bin" 2>>"$work/err.log"
  fi
  end=$(date +%s.%N)
  wait "$terminal"
  cmp -s "$work/fw.bin" "$work/out.bin" || { echo "the received file differs" >&2; exit 1; }
  kill "$line"
  wait "$line" 2>/dev/null || true
  rm -f "$link" "$work/out.bin"
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

printf '%-6s %-8s %-9s %-12s %s\n' program latency "run (s)" "block (ms)" "of ceiling"
for latency in 0 1; do
  for program in linux wine; do
    for _ in $(seq "$runs"); do
      t=$(one_run "$program" "$latency")
      awk -v p="$program" -v l="$latency" -v t="$t" -v n="$blocks" -v s="$size" 'BEGIN {
        printf "%-6s %-8s %-9.3f %-12.2f %.1f %%\n", p, l " ms", t, 1000 * t / n,
               100 * (s / t) / (11520 * 1024 / 1029) }'
    done
  done
done
