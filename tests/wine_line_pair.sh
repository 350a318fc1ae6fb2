#!/usr/bin/env bash
# Runs a Windows test program under Wine with a line between two of Wine's COM ports: the Linux
# line simulator ($KAVO_LINESIM, unpaced) joins two ptys, which are set raw and linked into the
# prefix's dosdevices as comN and comN+1 (the first free pair from 30 up, so that programs run
# side by side each get their own). The program finds the numbers in KAVO_TEST_LINE_PORT and
# KAVO_TEST_PEER_PORT. With --terminal the far end is the terminal simulator instead (termsim
# beside linesim, one session after another, each writing what it received to the file that
# KAVO_TEST_TERMINAL_OUT names in Windows form). The links, the line and the terminal go when
# the program ends. Without a line simulator the program is not run and the script ends with
# 77 (skipped).
#   wine_line_pair.sh [--terminal] PROGRAM [ARGUMENTS...]
set -euo pipefail
terminal=false
if [ "${1:-}" = "--terminal" ]; then
  terminal=true
  shift
fi
linesim=${KAVO_LINESIM:-}
if [ ! -x "$linesim" ]; then
  echo "wine_line_pair: no line simulator (KAVO_LINESIM names the Linux build's linesim)" >&2
  exit 77
fi
: "${WINEPREFIX:?wine_line_pair: WINEPREFIX names no Wine prefix}"
dir=$(mktemp -d /tmp/kavo-wine-line-XXXXXX)
line=""
sessions=""
links=()
cleanup() {
  for link in "${links[@]}"; do rm -f "$link"; done
  if [ -n "$sessions" ]; then
    kill "$sessions" 2>/dev/null || true
    wait "$sessions" 2>/dev/null || true
  fi
  if [ -n "$line" ]; then
    kill "$line" 2>/dev/null || true
    wait "$line" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

"$linesim" --baud 0 --link-a "$dir/A" --link-b "$dir/B" >"$dir/log" 2>&1 &
line=$!
for _ in $(seq 200); do
  grep -q "linesim: ready" "$dir/log" && break
  kill -0 "$line" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "linesim: ready" "$dir/log"; then
  echo "wine_line_pair: the line simulator did not start:" >&2
  cat "$dir/log" >&2
  exit 1
fi

# Wine sets the line only once it has opened it: raw first, or the pty echoes and translates.
a=$(readlink -f "$dir/A")
b=$(readlink -f "$dir/B")
stty -F "$a" raw -echo
stty -F "$b" raw -echo
devices=$WINEPREFIX/dosdevices
for ((n = 30; n < 250; n += 2)); do
  ln -s "$a" "$devices/com$n" 2>/dev/null || continue
  links=("$devices/com$n")
  if $terminal || ln -s "$b" "$devices/com$((n + 1))" 2>/dev/null; then
    $terminal || links+=("$devices/com$((n + 1))")
    break
  fi
  rm -f "${links[0]}"
  links=()
done
if [ "${#links[@]}" -eq 0 ]; then
  echo "wine_line_pair: no free COM numbers in $devices" >&2
  exit 1
fi
export KAVO_TEST_LINE_PORT=$n KAVO_TEST_PEER_PORT=$((n + 1))
if $terminal; then
  termsim=$(dirname "$linesim")/termsim
  # One session after another; a stop ends the running one too.
  (
    session=""
    trap '[ -z "$session" ] || kill "$session" 2>/dev/null; exit 0' TERM
    while :; do
      "$termsim" "$dir/B" --out "$dir/out.bin" --handshake-ms 200 >/dev/null 2>&1 &
      session=$!
      wait "$session" || true
    done
  ) &
  sessions=$!
  export KAVO_TEST_TERMINAL_OUT="Z:${dir//\//\\}\\out.bin"
  unset KAVO_TEST_PEER_PORT
fi
status=0
wine "$@" || status=$?
exit "$status"
