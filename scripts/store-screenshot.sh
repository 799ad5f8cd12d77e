#!/usr/bin/env bash
# The README's picture of the store browser: a harvest of a few thousand trades against the
# register simulator into a fresh store and, after the register moved on, a refresh of the open
# ones (so that values changed), then the browser over it under Xvfb with a filter typed in, a changed lot's history
# and its price plot, saved as docs/store-browser.png.
#   scripts/store-screenshot.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
for program in tools/register-sim/register-sim harvest/korvalot-harvest app/korvalot_browser_screenshot; do
  [ -x "$build/$program" ] || { echo "store-screenshot: $build/$program is not built" >&2; exit 1; }
done
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$build/tools/register-sim/register-sim" --write-client-cert "$work"
mkdir "$work/first" "$work/second"
port=0
for day in first:2026-06-10 second:2026-06-20; do
  folder=${day%%:*}
  "$build/tools/register-sim/register-sim" --port "$port" --trades 2500 --seed 7 \
    --from 2026-06-01 --to 2026-06-30 --today "${day#*:}" --require-client-cert \
    >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q 'https://' "$work/sim.out" && break; sleep 0.2; done
  url=$(grep -o 'https://127.0.0.1:[0-9]*' "$work/sim.out" | head -1)
  port=${url##*:}
  refresh=()
  # The register lives in June 2026: every trade of it is recent enough to refresh.
  [ "$folder" = second ] && refresh=(--refresh --refresh-days 36600)
  (cd "$work" && KORVALOT_REGISTER_URL=$url LC_ALL=C.UTF-8 \
    "$build/harvest/korvalot-harvest" -r all -o "$folder" --store korvalot.sqlite "${refresh[@]}" \
    2>"$folder.log")
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
done
XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work}
export XDG_RUNTIME_DIR
LC_ALL=C.UTF-8 xvfb-run -a -s "-screen 0 1600x1000x24" \
  "$build/app/korvalot_browser_screenshot" "$work/korvalot.sqlite" "$root/docs/store-browser.png" квартира
echo "store-screenshot: $root/docs/store-browser.png"
