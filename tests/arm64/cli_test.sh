#!/usr/bin/env bash
# The arm64 velkorn-cli under the emulator against velkorn-target of this machine, on a
# pseudo-terminal published as COM1 in a configuration folder of the test's own: info,
# program, verify and read of the example, a mismatch, an occupied output and a missing
# port; then the simulated flash and the file read must both hold the example.
#   cli_test.sh TARGET CLI FILE.hex EMULATOR [EMULATOR ARGS...]
set -euo pipefail
target=$1 cli=$2 hex=$3
shift 3
emulator=("$@")

fail() {
  echo "arm64 cli_test: $*" >&2
  exit 1
}
[ -x "$target" ] || fail "velkorn-target not found at $target (cmake --build --preset dev --target velkorn-target)"
[ ${#emulator[@]} -gt 0 ] && command -v "${emulator[0]}" >/dev/null ||
  fail "no emulator '${emulator[*]}' (scripts/install-deps.sh arm64 installs qemu-user)"

work=$(mktemp -d "${TMPDIR:-/tmp}/velkorn-arm64.XXXXXX")
export XDG_CONFIG_HOME="$work/config"
target_pid=""
cleanup() {
  if [ -n "$target_pid" ]; then kill -TERM "$target_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$target" --link COM1 --flash-out "$work/flash.bin" >"$work/target.out" 2>"$work/target.err" &
target_pid=$!
link="$XDG_CONFIG_HOME/velkorn/COM1"
for _ in $(seq 100); do [ -L "$link" ] && [ -s "$work/target.out" ] && break; sleep 0.1; done
pty=$(head -n 1 "$work/target.out")
# COM1 must be the simulated chip's pseudo-terminal, never a device of this machine.
[[ $pty == /dev/pts/* ]] && [ "$(readlink "$link")" = "$pty" ] ||
  fail "velkorn-target did not publish COM1: $(cat "$work/target.err")"

passed=0 failed=0
# run NAME STATUS PATTERN ARGS...: velkorn-cli ARGS must end with STATUS and say PATTERN
# (an extended regular expression) on stdout or stderr.
run() {
  local name=$1 want=$2 pattern=$3 got=0
  shift 3
  "${emulator[@]}" "$cli" --sync-timeout 10 "$@" >"$work/out" 2>"$work/err" || got=$?
  if [ "$got" = "$want" ] && grep -Eq -- "$pattern" "$work/out" "$work/err"; then
    passed=$((passed + 1))
    echo "ok      $name"
  else
    failed=$((failed + 1))
    echo "FAILED  $name: status $got (wanted $want), output:"
    sed 's/^/    /' "$work/out" "$work/err"
  fi
}

# Sixteen zero bytes at address 0, where the example holds code.
head -c 16 /dev/zero >"$work/zeros.bin"
run "info" 0 "Manufactor Id: 58" --port COM1 info
run "program" 0 "Programmed and verified" --port COM1 program "$hex"
run "verify" 0 "Matched OK!!!" --port COM1 verify "$hex"
run "verify of other bytes" 1 "does not match" --port COM1 verify "$work/zeros.bin"
run "read" 0 "Read 65536 bytes into" --port COM1 read "$work/read.hex"
run "read onto a file" 2 "exists" --port COM1 read "$work/read.hex"
run "a port that does not exist" 3 "No such file" --port "$work/no-port" info
run "the version" 0 "^velkorn-cli [0-9.]+$" --version

kill -TERM "$target_pid"
wait "$target_pid" || fail "velkorn-target ended with status $?: $(cat "$work/target.err")"
target_pid=""

# The flash holds the example (gaps and the rest erased), and so does the file read.
objcopy -I ihex -O binary --gap-fill 0xFF "$hex" "$work/expected.bin"
objcopy -I ihex -O binary --gap-fill 0xFF "$work/read.hex" "$work/read.bin"
size=$(stat -c %s "$work/expected.bin")
if cmp -s -n "$size" "$work/expected.bin" "$work/flash.bin" &&
  [ "$(tail -c +$((size + 1)) "$work/flash.bin" | tr -d '\377' | wc -c)" = 0 ] &&
  cmp -s "$work/read.bin" "$work/flash.bin"; then
  passed=$((passed + 1))
  echo "ok      the flash holds the example, and the file read matches it"
else
  failed=$((failed + 1))
  echo "FAILED  the flash or the file read differs from the example"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
