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
  hyperfine time ccache locales
  libxlsxwriter-dev python3-openpyxl dpkg-dev file
  libsqlite3-dev libcurl4-openssl-dev python3-aiosmtpd python3-feedparser
  dbus-daemon python3-dbus python3-gi
  help2man man-db lintian bash-completion systemd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A locale with a decimal comma, so that the tests of number formatting under the regional
# settings of a Russian desktop run on every machine.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'; then
  echo "Generating the locale ru_RU.UTF-8"
  # localedef returns 1 for mere warnings; the check below is what counts.
  "${sudo_cmd[@]}" localedef -i ru_RU -c -f UTF-8 -A /usr/share/locale/locale.alias ru_RU.UTF-8 \
    >/dev/null 2>&1 || true
  locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8' || {
    echo "The locale ru_RU.UTF-8 could not be generated" >&2
    exit 1
  }
fi
