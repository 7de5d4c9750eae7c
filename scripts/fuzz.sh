#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset) and runs each for a bounded time on a copy
# of its seeds in fuzz/corpus/, inside a temporary folder. Exits non-zero when any target
# reports a finding (crash, broken property, leak, undefined behaviour, time-out, memory).
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET ...]
#   SECONDS_PER_TARGET defaults to $VELKORN_FUZZ_SECONDS, else 60.
#   TARGETs default to every folder in fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${VELKORN_FUZZ_SECONDS:-60}
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

scripts/install-deps.sh build fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=$(mktemp -d "${TMPDIR:-/tmp}/velkorn-fuzz.XXXXXX")
keep=0
cleanup() { [ "$keep" -eq 1 ] || rm -rf "$work"; }
trap cleanup EXIT

failed=()
for target in "${targets[@]}"; do
  binary=$root/build/fuzz/fuzz/fuzz_$target
  if [ ! -x "$binary" ] || [ ! -d "fuzz/corpus/$target" ]; then
    echo "fuzz $target: no such target" >&2
    failed+=("$target")
    continue
  fi
  dir=$work/$target
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp -R "fuzz/corpus/$target/." "$dir/corpus/"
  status=0
  # Everything the run writes (new inputs, reproducers) stays in $dir; the target itself is
  # run from there too.
  (cd "$dir" && "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/" corpus) >"$dir/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  reproducers=$(find "$dir/artifacts" -type f | sort)
  if [ "$status" -eq 0 ] && [ -z "$reproducers" ]; then
    echo "fuzz $target: ${runs:-0} runs, no findings"
    continue
  fi
  failed+=("$target")
  keep=1
  echo "fuzz $target: FINDING after ${runs:-?} runs (exit status $status)"
  tail -n 60 "$dir/log"
  for file in $reproducers; do
    echo "reproducer $file ($(wc -c <"$file") bytes), base64:"
    base64 "$file"
  done
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}; logs and reproducers kept in $work" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, $seconds s each, no findings"
