# Background work that ends with the script that started it, whichever way the script ends (its
# work done, a failure, Ctrl+C, SIGTERM, its terminal closed). Sourced by the scripts that start
# simulators.
#
# A killed subshell does not take its children with it, and the background jobs of a script
# ignore Ctrl+C. So each piece of background work runs in a process group of its own, which
# everything it starts joins, and the clean-up ends each group as a whole.
#
#   start_group COMMAND [ARGS...]   runs COMMAND (a program or a shell function) in the
#                                   background in a new process group; its pid (the group's
#                                   number) is in $! as usual
#   wait_group PID                  waits for the group's first process as `wait PID` does (with
#                                   its exit status), then forgets the group once nothing of it
#                                   is left: its number, free again, may soon be someone else's
#   stop_groups                     ends every group started so: SIGTERM, SIGKILL to whatever is
#                                   left after 5 s, then waits for this shell's children
#   end_groups_on_exit [FUNCTION]   traps: EXIT runs stop_groups, then FUNCTION (the caller's
#                                   own clean-up, which finds nothing running any more); SIGINT,
#                                   SIGTERM and SIGHUP end the script with 128 + the signal's
#                                   number

started_groups=()

start_group() {
  # With job control on, a background job gets a process group of its own; its own children
  # stay in it (a subshell runs without job control).
  set -m
  "$@" &
  set +m
  started_groups+=("$!")
}

# Whether any process of the groups in the arguments is still there.
groups_alive() {
  local group
  for group in "$@"; do
    kill -0 -- "-$group" 2>/dev/null && return 0
  done
  return 1
}

wait_group() {
  local status=0 group kept=()
  wait "$1" || status=$?
  if ! groups_alive "$1"; then
    for group in "${started_groups[@]}"; do [ "$group" = "$1" ] || kept+=("$group"); done
    started_groups=("${kept[@]}")
  fi
  return "$status"
}

stop_groups() {
  local group
  [ ${#started_groups[@]} -gt 0 ] || return 0
  for group in "${started_groups[@]}"; do kill -TERM -- "-$group" 2>/dev/null || true; done
  for _ in $(seq 50); do
    groups_alive "${started_groups[@]}" || break
    sleep 0.1
  done
  for group in "${started_groups[@]}"; do kill -KILL -- "-$group" 2>/dev/null || true; done
  wait 2>/dev/null || true
  started_groups=()
}

end_groups_on_exit() {
  local own=${1:-}
  # shellcheck disable=SC2064  # the function's name is fixed now
  trap "stop_groups${own:+; $own}" EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}
