# Sourced by the install, consumer and Debian package tests: a scratch folder
# and a simulated device in the background, both gone when the script exits,
# however it exits. A script that must undo more on exit defines
# `extra_cleanup` before sourcing this file.
work=$(mktemp -d)
sim_pid=
GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)

cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if declare -F extra_cleanup >/dev/null; then extra_cleanup; fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { echo "-- $*"; }

# start_sim PROGRAM ADDRESS: returns once the device listens (at most 10 s),
# fails with its log otherwise. One device at a time per script.
start_sim() {
  "$1" -a "$2" -q >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q "^listening on $2 " "$work/sim.log" && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/sim.log" >&2
  return 1
}
