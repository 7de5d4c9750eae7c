#!/usr/bin/env bash
# Builds and runs every test: by default in the dev preset and in the sanitizer preset.
# Usage: scripts/test.sh [dev|asan ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build window tests
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(dev asan)
for preset in "${presets[@]}"; do
  echo "== preset $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
  # The fault soak's counts, which ctest keeps to itself when the test passes.
  grep -h "^soak (seed" "build/$preset/Testing/Temporary/LastTest.log" || true
done
