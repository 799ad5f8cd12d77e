#!/usr/bin/env bash
# Usage: scripts/build.sh [build-dir] [extra cmake arguments...]
# Installs what is missing, configures (Ninja) and builds everything into build-dir (default: build).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
shift || true
bash "$root/scripts/setup.sh"
# Let a fresh clone in another folder reuse the compiler cache of an earlier build.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -- -j"$(nproc)"
