#!/usr/bin/env bash
# Checks the programs as a user installs them: validates the desktop file, the metainfo and
# the manuals, builds the two Debian packages, installs velkorn-cli alone (it must need no Qt)
# and programs the example firmware on the simulated chip with it, then adds velkorn (the
# window), and removes both again.
# Needs root (apt-get); velkorn packages installed before are replaced, then removed too.
# Touches no serial device: everything runs in a temporary configuration directory, and
# COM1 is the simulated chip's pseudo-terminal.
#   scripts/check-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build window package
export LC_ALL=C.UTF-8

fail() { echo "check-package: $*" >&2; exit 1; }
version=$(sed -n 's/^project(velkorn VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"

echo "== desktop file, metainfo, manuals, version $version"
desktop-file-validate packaging/velkorn.desktop
appstreamcli validate --no-net packaging/io.github.velkorn.Velkorn.metainfo.xml
grep -q "<release version=\"$version\"" packaging/io.github.velkorn.Velkorn.metainfo.xml ||
  fail "the metainfo has no release $version"
grep -q "^## $version " CHANGELOG.md || fail "CHANGELOG.md has no section for $version"
for page in packaging/man/*.1; do
  warnings=$(MANWIDTH=80 man -l --warnings "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
  grep -q "^\.TH .* \"velkorn $version\"" "$page" || fail "$page is not for version $version"
done

echo "== packages"
mapfile -t debs < <(scripts/package.sh)
[ ${#debs[@]} -eq 2 ] || fail "package.sh made ${#debs[@]} packages, not 2"
cli_deb=${debs[0]}
window_deb=${debs[1]}
printf '%s\n' "${debs[@]}"
[ "$(dpkg-deb -f "$cli_deb" Package)" = velkorn-cli ] || fail "$cli_deb is not velkorn-cli"
[ "$(dpkg-deb -f "$window_deb" Package)" = velkorn ] || fail "$window_deb is not velkorn"

# A headless programming station installs velkorn-cli without a window toolkit.
cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
echo "velkorn-cli depends on: $cli_depends"
if grep -Eiq 'qt|libgl|libx|wayland|xcb' <<<"$cli_depends"; then
  fail "velkorn-cli depends on a window library: $cli_depends"
fi
dpkg-deb -c "$cli_deb" | grep -E '/usr/bin/velkorn$|\.desktop$|Hotkey\.TXT$' &&
  fail "velkorn-cli holds the window's files"
grep -q "velkorn-cli (= $version)" <<<"$(dpkg-deb -f "$window_deb" Depends)" ||
  fail "velkorn does not depend on velkorn-cli $version: $(dpkg-deb -f "$window_deb" Depends)"

work=$(mktemp -d)
target_pid=
cleanup() {
  [ -n "$target_pid" ] && kill "$target_pid" 2>/dev/null || true
  apt-get remove -y velkorn velkorn-cli >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== install velkorn-cli alone"
apt-get remove -y velkorn velkorn-cli >/dev/null 2>&1 || true
apt-get install -y "$cli_deb"
for f in /usr/bin/velkorn-cli /usr/bin/velkorn-target \
         /usr/share/bash-completion/completions/velkorn-cli /usr/share/man/man1/velkorn-cli.1.gz \
         /usr/share/man/man1/velkorn-target.1.gz /usr/share/doc/velkorn-cli/copyright \
         /usr/share/doc/velkorn-cli/changelog.gz /usr/share/doc/velkorn-cli/examples/blinky.hex \
         /usr/share/doc/velkorn-cli/examples/udev/99-velkorn-serial.rules; do
  [ -f "$f" ] || fail "$f is not installed"
done
[ ! -e /usr/bin/velkorn ] || fail "the window came with velkorn-cli"
for program in velkorn-cli velkorn-target; do
  [ "$($program --version)" = "$program $version" ] || fail "$program --version: $($program --version)"
  # Every library the program loads is there, and none of them is Qt's.
  libraries=$(ldd "$(command -v $program)")
  ! grep -q "not found" <<<"$libraries" || fail "$program misses libraries: $libraries"
  ! grep -qi "qt" <<<"$libraries" || fail "$program loads Qt: $libraries"
done

# The completion, as an interactive bash loads it.
completion=$(bash -c 'source /usr/share/bash-completion/bash_completion
  source /usr/share/bash-completion/completions/velkorn-cli
  COMP_WORDS=(velkorn-cli --port COM1 pro); COMP_CWORD=3; COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
  _velkorn_cli velkorn-cli pro COM1; echo "${COMPREPLY[*]}"')
[ "$completion" = "program" ] || fail "completing 'velkorn-cli --port COM1 pro' gave '$completion'"

echo "== program the example on the simulated chip with velkorn-cli alone"
export XDG_CONFIG_HOME="$work/config"
velkorn-target --link COM1 >"$work/target.out" 2>"$work/target.err" &
target_pid=$!
link="$XDG_CONFIG_HOME/velkorn/COM1"
for _ in $(seq 100); do [ -L "$link" ] && [ -s "$work/target.out" ] && break; sleep 0.1; done
pty=$(head -n1 "$work/target.out")
# COM1 must be the simulated chip's pseudo-terminal, never a device of this machine.
[[ $pty == /dev/pts/* ]] && [ "$(readlink "$link")" = "$pty" ] && kill -0 "$target_pid" ||
  fail "velkorn-target did not publish COM1: $(cat "$work/target.err")"
velkorn-cli --port COM1 --sync-timeout 20 program /usr/share/doc/velkorn-cli/examples/blinky.hex ||
  fail "velkorn-cli program ended with status $?"
kill "$target_pid"
wait "$target_pid" || fail "velkorn-target ended with status $?"
target_pid=
[ ! -e "$link" ] || fail "velkorn-target left its COM1 link behind"

echo "== add the window"
apt-get install -y "$window_deb"
for f in /usr/bin/velkorn /usr/share/applications/velkorn.desktop \
         /usr/share/metainfo/io.github.velkorn.Velkorn.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/velkorn.svg /usr/share/velkorn/Hotkey.TXT \
         /usr/share/man/man1/velkorn.1.gz /usr/share/doc/velkorn/copyright /usr/share/doc/velkorn/changelog.gz; do
  [ -f "$f" ] || fail "$f is not installed"
done
[ "$(velkorn --version)" = "velkorn $version" ] || fail "velkorn --version: $(velkorn --version)"

echo "== remove"
apt-get remove -y velkorn
[ ! -e /usr/bin/velkorn ] || fail "velkorn is still there after its removal"
[ -x /usr/bin/velkorn-cli ] || fail "removing the window took velkorn-cli with it"
apt-get remove -y velkorn-cli
[ ! -e /usr/bin/velkorn-cli ] && [ ! -e /usr/bin/velkorn-target ] ||
  fail "velkorn-cli is still there after its removal"
echo "check-package: both packages install, work and go again"
