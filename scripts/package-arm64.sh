#!/usr/bin/env bash
# Makes build/arm64-cli/velkorn-cli_VERSION_arm64.deb: velkorn-cli and velkorn-target
# cross-built for 64-bit ARM Linux (the arm64-cli preset, g++-aarch64-linux-gnu, Debian's
# hardening flags), after their tests ran under qemu-user: the engine's and the image's
# unit tests, and the arm64 velkorn-cli against velkorn-target of this machine (the dev
# preset's) on a pseudo-terminal. Then the package's contents are checked and both programs
# from it started under the emulator.
# Prints the package's path.
#   scripts/package-arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build window tests arm64 >&2
fail() { echo "package-arm64: $*" >&2; exit 1; }
version=$(sed -n 's/^project(velkorn VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no VERSION in project() of CMakeLists.txt"

# The simulated chip the arm64 command line talks to is this machine's program.
cmake --preset dev >/dev/null
cmake --build --preset dev --target velkorn-target >&2
echo "== preset arm64-cli" >&2
# Debian's hardening flags for arm64, as scripts/package.sh uses them for this machine; the
# preset's -Werror holds under them too.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=arm64
cmake --preset arm64-cli \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS_RELWITHDEBINFO="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build --preset arm64-cli >&2
ctest --preset arm64-cli >&2

build=build/arm64-cli
programs=("$build/cli/velkorn-cli" "$build/sim/velkorn-target")
# The C++ run-time is linked in: the programs need nothing but the C library (libc6).
for program in "${programs[@]}"; do
  needed=$(aarch64-linux-gnu-readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  for library in $needed; do
    case $library in
      libc.so.6 | libm.so.6 | ld-linux-aarch64.so.1) ;;
      *) fail "$program needs $library, which libc6 does not hold" ;;
    esac
  done
done
# The newest C library interface they use decides the version the package depends on.
libc=$(aarch64-linux-gnu-objdump -T "${programs[@]}" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' |
  sort -V | tail -n 1)
[ -n "$libc" ] || fail "found no C library version in the programs"
cmake --preset arm64-cli -DVELKORN_CROSS_LIBC_VERSION="$libc" >/dev/null

rm -f "$build"/velkorn-cli_*.deb
(cd "$build" && cpack) >&2
deb=$build/velkorn-cli_${version}_arm64.deb
[ -f "$deb" ] || fail "cpack made no $deb"
[ "$(dpkg-deb -f "$deb" Package)" = velkorn-cli ] || fail "$deb is not velkorn-cli"
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || fail "$deb is not for arm64"
[ "$(dpkg-deb -f "$deb" Depends)" = "libc6 (>= $libc)" ] ||
  fail "$deb depends on '$(dpkg-deb -f "$deb" Depends)', not on libc6 (>= $libc)"

# What the amd64 velkorn-cli package holds, here built for arm64.
stage=$(mktemp -d "$build/package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
dpkg-deb -x "$deb" "$stage"
for f in usr/bin/velkorn-cli usr/bin/velkorn-target usr/share/bash-completion/completions/velkorn-cli \
         usr/share/man/man1/velkorn-cli.1.gz usr/share/man/man1/velkorn-target.1.gz \
         usr/share/doc/velkorn-cli/copyright usr/share/doc/velkorn-cli/changelog.gz \
         usr/share/doc/velkorn-cli/examples/blinky.hex; do
  [ -f "$stage/$f" ] || fail "$f is missing from $deb"
done
[ ! -e "$stage/usr/bin/velkorn" ] || fail "$deb holds the window"
for program in velkorn-cli velkorn-target; do
  file=$stage/usr/bin/$program
  aarch64-linux-gnu-readelf -h "$file" | grep -q 'Machine: *AArch64' || fail "$program in $deb is not an arm64 program"
  got=$(qemu-aarch64 -L /usr/aarch64-linux-gnu "$file" --version) || fail "$program from $deb does not start"
  [ "$got" = "$program $version" ] || fail "$program --version from $deb says '$got'"
done
echo "$(pwd)/$deb"
