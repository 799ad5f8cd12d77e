#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Window tests need a display: where
# there is none they run under Xvfb.
# Usage: scripts/test.sh [ctest arguments...]   (KORVALOT_BUILD_DIR and KORVALOT_CMAKE_ARGS
# choose another build, e.g. with sanitizers)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KORVALOT_BUILD_DIR:-$root/build}
# shellcheck disable=SC2086
bash "$root/scripts/build.sh" "$build" ${KORVALOT_CMAKE_ARGS:-}
cd "$build"
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  exec xvfb-run -a -s "-screen 0 1600x1200x24" ctest --output-on-failure -j2 "$@"
fi
exec ctest --output-on-failure -j2 "$@"
