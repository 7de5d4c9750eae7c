#!/usr/bin/env bash
# Makes build/windows-cli/velkorn-cli-VERSION-win64.zip: velkorn-cli.exe (cross-built with
# mingw-w64, statically linked: no DLLs to ship), README.txt (packaging/windows/README.txt,
# plain text with Windows line ends), LICENSE.txt and examples/blinky.hex, in one folder
# velkorn-cli-VERSION-win64.
# Prints the zip's path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build windows >&2
version=$(sed -n 's/^project(velkorn VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package-windows: no VERSION in project() of CMakeLists.txt" >&2; exit 1; }
cmake --preset windows-cli >/dev/null
cmake --build --preset windows-cli --target velkorn-cli >&2

build=build/windows-cli
name=velkorn-cli-$version-win64
stage=$(mktemp -d "$build/package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/examples"
x86_64-w64-mingw32-strip -o "$stage/$name/velkorn-cli.exe" "$build/cli/velkorn-cli.exe"
# Text files with Windows line ends, so that every editor shows their lines.
crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }
sed "s/@VERSION@/$version/g" packaging/windows/README.txt >"$stage/readme.txt"
crlf "$stage/readme.txt" "$stage/$name/README.txt"
crlf LICENSE "$stage/$name/LICENSE.txt"
cp examples/blinky.hex "$stage/$name/examples/"

zip="$PWD/$build/$name.zip"
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name")
listing=$(cmake -E tar tf "$zip")
for f in velkorn-cli.exe README.txt LICENSE.txt examples/blinky.hex; do
  grep -qx "$name/$f" <<<"$listing" || { echo "package-windows: $f is missing from $zip" >&2; exit 1; }
done
# README.txt is plain text for Notepad: every line ends in CR LF, no Markdown, no Linux path.
readme=$stage/$name/README.txt
[ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ] ||
  { echo "package-windows: README.txt has lines without CR LF" >&2; exit 1; }
! grep -n -e '/dev/' -e '```' -e '@VERSION@' "$readme" >&2 ||
  { echo "package-windows: README.txt holds Linux paths, Markdown or a place holder" >&2; exit 1; }
grep -q "velkorn-cli --port COM3 info" "$readme" ||
  { echo "package-windows: README.txt lacks the examples" >&2; exit 1; }
echo "$zip"
