#!/usr/bin/env bash
# Builds the two Debian packages, velkorn-cli (the command line and the simulated chip, no Qt)
# and velkorn (the window, depending on velkorn-cli): a release build without tests (no
# GoogleTest, no Qt Test), with Debian's hardening flags, in build/package, then one CPack
# run. Prints the paths of the two .deb files on standard output, velkorn-cli's first;
# everything else goes to standard error.
#   scripts/package.sh
#   sudo apt-get install ./build/package/velkorn-cli_*.deb ./build/package/velkorn_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build window package >&2

build=build/package
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >&2
cmake --build "$build" >&2

rm -f "$build"/velkorn_*.deb "$build"/velkorn-cli_*.deb
(cd "$build" && cpack) >&2
for name in velkorn-cli velkorn; do
  debs=("$build/${name}"_*.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package.sh: no $name package was made" >&2; exit 1; }
  echo "$(pwd)/${debs[0]}"
done
