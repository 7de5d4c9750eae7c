#!/usr/bin/env bash
# Builds and runs every test: by default in the dev preset and in the sanitizer preset.
# Usage: scripts/test.sh [dev|asan ...]
#
# Most tests spend their time waiting (for a simulated chip, a pseudo-terminal, one of the
# programmer's time limits), so a preset's tests run while the next preset builds: the
# build at a lower priority, so that the tests' processes get the cores when they want
# them. A preset's test output is shown when the next build is done; the last preset's
# tests run in the foreground. The status is non-zero when any build or test failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build window tests
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(dev asan)

# Tests of a preset, up to three at a time: the waiting ones overlap, and ctest starts the
# long fault soak first (its COST).
run_tests() {
  ctest --preset "$1" -j3
}

# The fault soak's counts, which ctest keeps to itself when the test passes.
soak_counts() {
  grep -h "^soak (seed" "build/$1/Testing/Temporary/LastTest.log" || true
}

status=0
waiting=""   # the preset whose tests run in the background
tests_pid=""

finish_waiting() {
  [ -n "$waiting" ] || return 0
  if ! wait "$tests_pid"; then status=1; fi
  echo "== preset $waiting: tests"
  cat "build/$waiting/test-output.log"
  soak_counts "$waiting"
  waiting=""
}

for i in "${!presets[@]}"; do
  preset=${presets[$i]}
  echo "== preset $preset"
  cmake --preset "$preset" >/dev/null
  if [ -n "$waiting" ]; then
    if ! nice -n 10 cmake --build --preset "$preset"; then
      finish_waiting
      exit 1
    fi
    finish_waiting
  else
    cmake --build --preset "$preset"
  fi
  if [ "$i" -eq $((${#presets[@]} - 1)) ]; then
    echo "== preset $preset: tests"
    run_tests "$preset" || status=1
    soak_counts "$preset"
  else
    run_tests "$preset" >"build/$preset/test-output.log" 2>&1 &
    tests_pid=$!
    waiting=$preset
  fi
done
exit $status
