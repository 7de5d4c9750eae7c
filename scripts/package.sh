#!/usr/bin/env bash
# Builds the Debian package: the release preset without tests (no GoogleTest, no Qt Test),
# with Debian's hardening flags, then CPack in build/release. Prints the path of the .deb
# on standard output; everything else goes to standard error.
#   scripts/package.sh
#   sudo apt-get install ./build/release/velkorn_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake --preset release -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >&2
cmake --build --preset release >&2

rm -f build/release/velkorn_*.deb
(cd build/release && cpack) >&2
debs=(build/release/velkorn_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package.sh: no package was made" >&2; exit 1; }
echo "$(pwd)/${debs[0]}"
