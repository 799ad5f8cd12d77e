# shellcheck shell=bash
# shellcheck disable=SC2154 # $sim and $work are the sourcing script's
# Sourced by the scripts that drive the register simulator: one simulator at a time, stopped on
# exit together with the scratch folder. Needs $sim (the program) and $work (the scratch folder).

simPid=
# start_sim ARGS...: a simulator with these arguments, once it says where it listens; sets $url.
start_sim() {
  stop_sim
  : >"$work/sim.out"
  "$sim" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  simPid=$!
  for _ in $(seq 1 600); do
    url=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
    [ -n "$url" ] && return 0
    kill -0 "$simPid" 2>/dev/null || break
    sleep 0.2
  done
  echo "the simulator did not start: $(cat "$work/sim.err")" >&2
  exit 1
}
stop_sim() {
  if [ -n "$simPid" ]; then kill "$simPid" 2>/dev/null || true; wait "$simPid" 2>/dev/null || true; fi
  simPid=
}
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT
