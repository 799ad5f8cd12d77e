#!/usr/bin/env bash
# Installs what is missing, builds, starts the register simulator on loopback with a realistic
# data set, writes the client certificate files and opens the window pointed at the simulator.
# Where there is no display, the window runs under Xvfb and carries out one harvest through its
# own controls; the script then prints where the results file, the log file and a screenshot are.
#
# Environment: KORVALOT_BUILD_DIR (default build/), KORVALOT_DEMO_TRADES (default 3000),
# KORVALOT_DEMO_SEED (default 7), KORVALOT_DEMO_REGIONS (region codes the headless harvest
# selects, default the first three of the list).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KORVALOT_BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target korvalot korvalot_harvest_driver register-sim -- -j"$(nproc)"

# The program keeps its files beside its executable: give it a folder of its own.
run_dir=$build/korvalot-run
mkdir -p "$run_dir"
cp -f "$build/app/korvalot" "$build/app/korvalot_harvest_driver" "$run_dir/"
sim=$(find "$build/tools" -type f -name register-sim -perm -u+x | head -n 1)
if [ -z "$sim" ]; then
  echo "run.sh: the register simulator was not built" >&2
  exit 1
fi

# The directory client presents these from its working directory.
"$sim" --write-client-cert "$run_dir" >/dev/null

"$sim" --port 0 --trades "${KORVALOT_DEMO_TRADES:-3000}" --seed "${KORVALOT_DEMO_SEED:-7}" \
  >"$run_dir/register-sim.out" 2>"$run_dir/register-sim.log" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
url=
for _ in $(seq 1 600); do
  url=$(head -n 1 "$run_dir/register-sim.out" 2>/dev/null || true)
  [[ $url == https://* ]] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ $url != https://* ]]; then
  echo "run.sh: the register simulator did not start; see $run_dir/register-sim.log" >&2
  exit 1
fi
echo "Register simulator: $url (${KORVALOT_DEMO_TRADES:-3000} trades, loopback only)"

export KORVALOT_REGISTER_URL=$url
export KORVALOT_DISPLAY_HOST=${url#https://}
cd "$run_dir"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Opening the window; its files go to $run_dir. Close the window to stop the simulator."
  "$run_dir/korvalot"
  exit 0
fi

echo "No display found: running the window under Xvfb and carrying out one harvest through its"
echo "own controls (regions ${KORVALOT_DEMO_REGIONS:-the first three}, every trade type)."
# Under Xvfb there is no desktop to show the results file in: say so instead of trying.
no_desktop=$run_dir/no-desktop
mkdir -p "$no_desktop"
cat >"$no_desktop/xdg-open" <<'STUB'
#!/bin/sh
echo "(no desktop under Xvfb to open $1 in)" >&2
STUB
chmod +x "$no_desktop/xdg-open"
export PATH=$no_desktop:$PATH
XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
export XDG_RUNTIME_DIR
KORVALOT_DRIVE_REGIONS=${KORVALOT_DEMO_REGIONS:-} \
KORVALOT_DRIVE_SCREENSHOT=$run_dir/screenshot.png \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$run_dir/korvalot_harvest_driver"
