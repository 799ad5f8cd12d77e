#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing korvalot need.
# Idempotent: prints nothing and touches nothing when every package is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libboost-dev libssl-dev zlib1g-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev rapidjson-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils xdg-utils fonts-dejavu-core
  hyperfine time ccache
  libxlsxwriter-dev python3-openpyxl dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
