#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Window tests need a display: where
# there is none they run under Xvfb.
# Usage: scripts/test.sh [ctest arguments...]   (KORVALOT_BUILD_DIR and KORVALOT_CMAKE_ARGS
# choose another build, e.g. with sanitizers; KORVALOT_TEST_JOBS the number of tests run at once)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KORVALOT_BUILD_DIR:-$root/build}
# shellcheck disable=SC2086
bash "$root/scripts/build.sh" "$build" ${KORVALOT_CMAKE_ARGS:-}
cd "$build"
# Most of the suites' time is spent waiting on real timers (the harvest's pacing, the register's
# latency, retry pauses), not computing: twice as many tests as cores keep the cores busy.
jobs=${KORVALOT_TEST_JOBS:-$(($(nproc) * 2))}
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  exec xvfb-run -a -s "-screen 0 1600x1200x24" ctest --output-on-failure -j"$jobs" "$@"
fi
exec ctest --output-on-failure -j"$jobs" "$@"
