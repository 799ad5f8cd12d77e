#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/build.sh" "$root/build"
if [ ! -x "$root/build/app/korvalot" ]; then
  echo "korvalot: built the core libraries; the window (app/) is not there yet."
  exit 0
fi
exec "$root/build/app/korvalot"
