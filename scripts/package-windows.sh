#!/usr/bin/env bash
# Makes build/windows-cli/velkorn-cli-VERSION-win64.zip: velkorn-cli.exe (cross-built with
# mingw-w64, statically linked: no DLLs to ship), README.txt (the README's command-line
# section), LICENSE.txt and examples/blinky.hex, in one folder velkorn-cli-VERSION-win64.
# Prints the zip's path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
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
{
  echo "velkorn-cli $version for Windows (64-bit)"
  echo
  echo "COMn is the Windows port \\\\.\\COMn (any n): velkorn-cli --port COM3 info."
  echo "Network ports (tcp://, rfc2217://) are not available in this build."
  echo
  awk '/^## Command line/ { keep = 1 } /^## / && !/^## Command line/ { keep = 0 } keep' README.md
} >"$stage/readme.md"
crlf "$stage/readme.md" "$stage/$name/README.txt"
crlf LICENSE "$stage/$name/LICENSE.txt"
cp examples/blinky.hex "$stage/$name/examples/"

zip="$PWD/$build/$name.zip"
rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name")
listing=$(cmake -E tar tf "$zip")
for f in velkorn-cli.exe README.txt LICENSE.txt examples/blinky.hex; do
  grep -qx "$name/$f" <<<"$listing" || { echo "package-windows: $f is missing from $zip" >&2; exit 1; }
done
grep -q "velkorn-cli --port COM1 info" "$stage/$name/README.txt" ||
  { echo "package-windows: README.txt lacks the command-line section" >&2; exit 1; }
echo "$zip"
