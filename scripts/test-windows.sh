#!/usr/bin/env bash
# Cross-builds velkorn-cli.exe and the engine's and image's tests for 64-bit Windows and runs
# them under Wine, with velkorn-target of the dev preset on a pseudo-terminal as COM1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build window tests windows
# The simulated chip is a Linux program: from the dev preset.
cmake --preset dev >/dev/null
cmake --build --preset dev --target velkorn-target
echo "== preset windows-cli"
cmake --preset windows-cli >/dev/null
cmake --build --preset windows-cli
ctest --preset windows-cli
