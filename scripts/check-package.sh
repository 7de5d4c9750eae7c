#!/usr/bin/env bash
# Checks the program as a user installs it: validates the desktop file, the metainfo and the
# manuals, builds the Debian package, installs it, programs the example firmware on the
# simulated chip with the installed programs, and removes the package again.
# Needs root (apt-get); a velkorn package installed before is replaced, then removed too.
# Touches no serial device: everything runs in a temporary configuration directory, and
# COM1 is the simulated chip's pseudo-terminal.
#   scripts/check-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
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

echo "== package"
deb=$(scripts/package.sh)
echo "$deb"

work=$(mktemp -d)
target_pid=
installed=
cleanup() {
  [ -n "$target_pid" ] && kill "$target_pid" 2>/dev/null || true
  [ -n "$installed" ] && apt-get remove -y velkorn >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== install"
installed=yes
apt-get install -y "$deb"
for f in /usr/bin/velkorn /usr/bin/velkorn-cli /usr/bin/velkorn-target \
         /usr/share/applications/velkorn.desktop /usr/share/metainfo/io.github.velkorn.Velkorn.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/velkorn.svg /usr/share/velkorn/Hotkey.TXT \
         /usr/share/bash-completion/completions/velkorn-cli /usr/share/man/man1/velkorn-cli.1.gz \
         /usr/share/doc/velkorn/copyright /usr/share/doc/velkorn/examples/blinky.hex; do
  [ -f "$f" ] || fail "$f is not installed"
done
for program in velkorn velkorn-cli velkorn-target; do
  [ "$($program --version)" = "$program $version" ] || fail "$program --version: $($program --version)"
done

# The completion, as an interactive bash loads it.
completion=$(bash -c 'source /usr/share/bash-completion/bash_completion
  source /usr/share/bash-completion/completions/velkorn-cli
  COMP_WORDS=(velkorn-cli --port COM1 pro); COMP_CWORD=3; COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
  _velkorn_cli velkorn-cli pro COM1; echo "${COMPREPLY[*]}"')
[ "$completion" = "program" ] || fail "completing 'velkorn-cli --port COM1 pro' gave '$completion'"

echo "== program the example on the simulated chip with the installed programs"
export XDG_CONFIG_HOME="$work/config"
velkorn-target --link COM1 >"$work/target.out" 2>"$work/target.err" &
target_pid=$!
link="$XDG_CONFIG_HOME/velkorn/COM1"
for _ in $(seq 100); do [ -L "$link" ] && [ -s "$work/target.out" ] && break; sleep 0.1; done
pty=$(head -n1 "$work/target.out")
# COM1 must be the simulated chip's pseudo-terminal, never a device of this machine.
[[ $pty == /dev/pts/* ]] && [ "$(readlink "$link")" = "$pty" ] && kill -0 "$target_pid" ||
  fail "velkorn-target did not publish COM1: $(cat "$work/target.err")"
velkorn-cli --port COM1 --sync-timeout 20 program /usr/share/doc/velkorn/examples/blinky.hex ||
  fail "velkorn-cli program ended with status $?"
kill "$target_pid"
wait "$target_pid" || fail "velkorn-target ended with status $?"
target_pid=

echo "== remove"
apt-get remove -y velkorn
installed=
[ ! -e /usr/bin/velkorn-cli ] || fail "velkorn-cli is still there after the removal"
echo "check-package: the package installs, works and goes again"
