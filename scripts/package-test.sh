#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks it with lintian (no errors), installs
# it with apt, checks the manual pages, the bash completion and the systemd units, starts both
# programs from their installed paths and removes the package again. Needs root (or sudo);
# refuses to touch a machine where korvalot is already installed.
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

fail() { echo "package-test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$build/korvalot_${version}-1_amd64.deb"
test -f "$deb"
echo "== $deb"
dpkg-deb -f "$deb" Package Version Architecture Depends

# Errors fail the test; warnings are shown. (lintian says so when it runs as root.)
echo "== lintian"
lintian_out=$(lintian --pedantic "$deb" 2>&1 | grep -v '^running with root privileges' || true)
[ -z "$lintian_out" ] || printf '%s\n' "$lintian_out"
if printf '%s\n' "$lintian_out" | grep -q '^E: '; then
  fail "lintian found errors"
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
# Purged, so that the conffile in /etc/default goes too.
trap '"${sudo_cmd[@]}" apt-get purge -y -qq korvalot >/dev/null' EXIT

for f in /usr/bin/korvalot /usr/bin/korvalot-harvest /usr/bin/korvalot-export /usr/bin/korvalot-watch \
         /usr/bin/korvalot-store \
         /usr/share/applications/korvalot.desktop /usr/share/applications/korvalot-store.desktop \
         /usr/share/icons/hicolor/128x128/apps/korvalot.png \
         /usr/share/man/man1/korvalot.1.gz /usr/share/man/man1/korvalot-harvest.1.gz \
         /usr/share/man/man1/korvalot-export.1.gz /usr/share/man/man1/korvalot-watch.1.gz \
         /usr/share/man/man1/korvalot-store.1.gz \
         /usr/share/bash-completion/completions/korvalot-harvest \
         /usr/share/bash-completion/completions/korvalot-watch \
         /usr/share/doc/korvalot/copyright /usr/share/doc/korvalot/changelog.Debian.gz \
         /lib/systemd/system/korvalot-harvest.service /lib/systemd/system/korvalot-harvest.timer \
         /etc/default/korvalot-harvest; do
  test -e "$f" || fail "$f is missing"
done
grep -qx /etc/default/korvalot-harvest /var/lib/dpkg/info/korvalot.conffiles ||
  fail "/etc/default/korvalot-harvest is not a conffile"

# The manual pages render without a warning from groff, and the harvest's page is the
# program's own help (an option of --help is in it).
for page in korvalot korvalot-harvest korvalot-export korvalot-watch korvalot-store; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 \
    "/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "/usr/share/man/man1/korvalot-harvest.1.gz" 2>/dev/null |
  grep -q -- '--incremental' || fail "the manual page of korvalot-harvest lacks its options"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "/usr/share/man/man1/korvalot.1.gz" 2>/dev/null |
  grep -q 'KORVALOT_REGISTER_URL' || fail "the manual page of korvalot is not rendered"

# The completion offers the options of the installed program's help, and a trade type's code.
complete_words() {
  bash -c 'source /usr/share/bash-completion/bash_completion
    source /usr/share/bash-completion/completions/korvalot-harvest
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _korvalot_harvest korvalot-harvest "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' complete "$@"
}
test -f /usr/share/bash-completion/bash_completion ||
  fail "bash-completion is not installed (scripts/setup.sh installs it)"
complete_words korvalot-harvest --inc | grep -qx -- --incremental ||
  fail "the completion does not offer --incremental"
complete_words korvalot-harvest --types OpenAuction,Pub | grep -qx 'OpenAuction,PublicOffer' ||
  fail "the completion does not offer a second trade type"
complete_words korvalot-harvest -f yest | grep -qx yesterday ||
  fail "the completion does not offer yesterday"

# The units as systemd reads them, against the installed program and manual page.
echo "== systemd-analyze verify"
systemd-analyze verify /lib/systemd/system/korvalot-harvest.service \
  /lib/systemd/system/korvalot-harvest.timer || fail "systemd-analyze verify failed"
# Shipped disabled: nothing enabled it.
[ ! -e /etc/systemd/system/timers.target.wants/korvalot-harvest.timer ] ||
  fail "the timer was enabled by the installation"
/usr/bin/korvalot-harvest --version
/usr/bin/korvalot-harvest --help >/dev/null
/usr/bin/korvalot-export --version
/usr/bin/korvalot-watch --version
status=0
/usr/bin/korvalot-harvest --regions 77 --from 2026-02-01 --to 2026-01-01 2>/dev/null || status=$?
[ "$status" -eq 2 ] || { echo "package-test: korvalot-harvest answered $status to a reversed date" >&2; exit 1; }
# Every example of the timer's settings is a command line the program takes: without the
# certificate files it gets past its options and cannot start (3), never a usage error (2).
examples=$(sed -n 's/^#KORVALOT_HARVEST_ARGS="\(.*\)"$/\1/p' /etc/default/korvalot-harvest)
[ -n "$examples" ] || fail "/etc/default/korvalot-harvest shows no example"
empty=$(mktemp -d)
while IFS= read -r args; do
  status=0
  # shellcheck disable=SC2086 # the options are split as systemd splits $KORVALOT_HARVEST_ARGS
  (cd "$empty" && KORVALOT_REGISTER_URL=https://127.0.0.1:9 \
    /usr/bin/korvalot-harvest $args --output "$empty" 2>/dev/null) || status=$?
  [ "$status" -eq 3 ] || { rm -rf "$empty"; fail "the example \"$args\" ended with $status"; }
done <<<"$examples"
rm -rf "$empty"

# The window from its installed path, in a scratch folder, against an address where nothing
# listens: it must still be running when it is closed after five seconds.
scratch=$(mktemp -d)
status=0
(cd "$scratch" && QT_QPA_PLATFORM=offscreen KORVALOT_REGISTER_URL=https://127.0.0.1:9 \
  timeout -s TERM 5 /usr/bin/korvalot >/dev/null 2>&1) || status=$?
[ "$status" -eq 124 ] || { rm -rf "$scratch"; echo "package-test: the window ended by itself with $status" >&2; exit 1; }
# The store browser on its own, as its desktop entry starts it, over a store that does not
# exist yet: it says so in its window and stays open.
grep -qx 'Exec=korvalot-store' /usr/share/applications/korvalot-store.desktop ||
  fail "the store browser's desktop entry does not start korvalot-store"
status=0
(cd "$scratch" && HOME="$scratch" QT_QPA_PLATFORM=offscreen timeout -s TERM 5 /usr/bin/korvalot-store \
  >/dev/null 2>&1) || status=$?
[ "$status" -eq 124 ] || { rm -rf "$scratch"; echo "package-test: the store browser ended by itself with $status" >&2; exit 1; }
# Once more as a user who cannot write to /usr/bin, with a home of its own.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  chmod 777 "$scratch"
  status=0
  (cd "$scratch" && setpriv --reuid=65534 --regid=65534 --clear-groups \
    env HOME="$scratch" QT_QPA_PLATFORM=offscreen KORVALOT_REGISTER_URL=https://127.0.0.1:9 \
    timeout -s TERM 5 /usr/bin/korvalot >/dev/null 2>&1) || status=$?
  [ "$status" -eq 124 ] || { rm -rf "$scratch"; echo "package-test: as another user the window ended with $status" >&2; exit 1; }
  # Its files went to the user's own folder, none beside the installed program.
  test -d "$scratch/.local/share/korvalot" ||
    { rm -rf "$scratch"; echo "package-test: no per-user folder for the installed window" >&2; exit 1; }
fi
rm -rf "$scratch"
echo "package-test: lintian without errors; installed, pages, completion and units checked, both programs started, removed again"
