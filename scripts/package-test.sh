#!/usr/bin/env bash
# Builds the Debian package from a built tree, installs it with apt, starts both programs from
# their installed paths and removes the package again. Needs root (or sudo); refuses to touch a
# machine where korvalot is already installed.
# Usage: scripts/package-test.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

if dpkg-query -W -f='${Status}' korvalot 2>/dev/null | grep -q 'ok installed'; then
  echo "package-test: korvalot is already installed here; leaving it alone" >&2
  exit 1
fi

(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$build/korvalot_${version}_amd64.deb"
test -f "$deb"
echo "== $deb"
dpkg-deb -f "$deb" Package Version Architecture Depends

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
trap '"${sudo_cmd[@]}" apt-get remove -y -qq korvalot >/dev/null' EXIT

for f in /usr/bin/korvalot /usr/bin/korvalot-harvest /usr/share/applications/korvalot.desktop \
         /usr/share/icons/hicolor/128x128/apps/korvalot.png; do
  test -e "$f" || { echo "package-test: $f is missing" >&2; exit 1; }
done
/usr/bin/korvalot-harvest --version
/usr/bin/korvalot-harvest --help >/dev/null
status=0
/usr/bin/korvalot-harvest --regions 77 --from 2026-02-01 --to 2026-01-01 2>/dev/null || status=$?
[ "$status" -eq 2 ] || { echo "package-test: korvalot-harvest answered $status to a reversed date" >&2; exit 1; }

# The window from its installed path, in a scratch folder, against an address where nothing
# listens: it must still be running when it is closed after five seconds.
scratch=$(mktemp -d)
status=0
(cd "$scratch" && QT_QPA_PLATFORM=offscreen KORVALOT_REGISTER_URL=https://127.0.0.1:9 \
  timeout -s TERM 5 /usr/bin/korvalot >/dev/null 2>&1) || status=$?
[ "$status" -eq 124 ] || { rm -rf "$scratch"; echo "package-test: the window ended by itself with $status" >&2; exit 1; }
# Once more as a user who cannot write to /usr/bin, with a home of its own.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  chmod 777 "$scratch"
  status=0
  (cd "$scratch" && setpriv --reuid=65534 --regid=65534 --clear-groups \
    env HOME="$scratch" QT_QPA_PLATFORM=offscreen KORVALOT_REGISTER_URL=https://127.0.0.1:9 \
    timeout -s TERM 5 /usr/bin/korvalot >/dev/null 2>&1) || status=$?
  [ "$status" -eq 124 ] || { rm -rf "$scratch"; echo "package-test: as another user the window ended with $status" >&2; exit 1; }
fi
rm -rf "$scratch"
echo "package-test: installed, both programs started, removed again"
