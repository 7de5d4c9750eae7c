#!/usr/bin/env bash
# Runs the README's checked examples against simulated chips and fails when one of them
# ends with another exit status than the README gives, or does not print a line the README
# shows. CTest runs it (docs.readme) with the programs of the build; by hand:
#   scripts/check-readme.sh [VELKORN_CLI VELKORN_TARGET]     (default: the dev preset's)
#
# A checked example is an indented block right after a comment line
#   <!-- checked -->            or    <!-- checked; COM2: --refuse-record 17 -->
# Lines starting with "$ " are commands, the lines below each its output; in a block without
# "$ " every line is a command. A command ending in "# exit status N" must end with N, any
# other with 0. Each output line must be a line of the command's output (stdout and stderr),
# where "..." stands for any text and a number with a decimal point (a time) for any such
# number. Commands run in a folder of their own holding firmware.hex and examples/ (the
# example firmware) and damaged.hex (the example with a wrong checksum in line 3), with COM1 a fresh simulated chip for each block, and COMn one started
# with the options the comment names; any other COMn a command names leads nowhere. Only
# velkorn-cli commands are run, and none that names a device in /dev (but for output sent to
# /dev/null), a USB adapter or the machine's serial ports.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cli=${1:-$root/build/dev/cli/velkorn-cli}
target=${2:-$root/build/dev/sim/velkorn-target}
readme=$root/README.md
export LC_ALL=C.UTF-8

fail() { echo "check-readme: $*" >&2; exit 1; }
[ -x "$cli" ] && [ -x "$target" ] || fail "build velkorn-cli and velkorn-target first (cmake --build --preset dev)"

work=$(mktemp -d "${TMPDIR:-/tmp}/velkorn-readme.XXXXXX")
mkdir -p "$work/bin" "$work/run"
ln -s "$cli" "$work/bin/velkorn-cli"
ln -s "$target" "$work/bin/velkorn-target"
export PATH="$work/bin:$PATH" XDG_CONFIG_HOME="$work/config"
unset VELKORN_PORT
target_pids=()
stop_targets() {
  local pid
  for pid in "${target_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  target_pids=()
}
cleanup() { stop_targets; rm -rf "$work"; }
trap cleanup EXIT

# start_target COMn [OPTIONS...]: a simulated chip published as COMn.
start_target() {
  local name=$1 out
  shift
  out=$work/$name.out
  velkorn-target --link "$name" "$@" >"$out" 2>"$work/$name.err" &
  target_pids+=($!)
  for _ in $(seq 100); do [ -L "$XDG_CONFIG_HOME/velkorn/$name" ] && [ -s "$out" ] && break; sleep 0.1; done
  # The COMn link must lead to the simulated chip's pseudo-terminal, never to a device.
  [[ $(head -n 1 "$out") == /dev/pts/* ]] &&
    [ "$(readlink "$XDG_CONFIG_HOME/velkorn/$name")" = "$(head -n 1 "$out")" ] ||
    fail "velkorn-target did not publish $name: $(cat "$work/$name.err")"
}

# An expected line as an extended regular expression over a whole line of output.
pattern_of() {
  sed -E 's/[][\.*^$(){}+?|/]/\\&/g; s/\\\.\\\.\\\./.*/g; s/[0-9]+\\\.[0-9]+/[0-9]+\\.[0-9]+/g; s/^/^/; s/$/$/' <<<"$1"
}

blocks=0 commands=0 problems=0
problem() {
  echo "check-readme: README.md line $1: $2" >&2
  problems=$((problems + 1))
}

# run_command LINE COMMAND EXPECTED_LINES_FILE
run_command() {
  local line=$1 command=$2 expected=$3 want=0 got=0 shown
  [[ $command == velkorn-cli\ * ]] || { problem "$line" "not a velkorn-cli command: $command"; return; }
  # Output thrown away into /dev/null is the only device a checked command may name.
  [[ $(sed -E 's#[0-9&]?> */dev/null( |$)#\1#g' <<<"$command") != */dev/* ]] ||
    { problem "$line" "names a device, not run: $command"; return; }
  [[ ! $command =~ (^|\ )(ports|monitor)(\ |$)|usb: ]] ||
    { problem "$line" "would look at this machine's serial devices, not run: $command"; return; }
  # A COMn without a simulated chip would be the n-th serial device of this machine: pin it
  # to nothing instead.
  local name
  for name in $(grep -oiE 'COM[0-9]+' <<<"$command" | tr '[:lower:]' '[:upper:]' | sort -u); do
    [ -L "$XDG_CONFIG_HOME/velkorn/$name" ] || ln -s "$work/no-device" "$XDG_CONFIG_HOME/velkorn/$name"
  done
  if [[ $command =~ \#.*exit\ status\ ([0-9]+) ]]; then want=${BASH_REMATCH[1]}; fi
  commands=$((commands + 1))
  (cd "$work/run" && timeout 300 bash -c "$command" </dev/null >"$work/output" 2>&1) || got=$?
  if [ "$got" != "$want" ]; then
    problem "$line" "'$command' ended with status $got, the README says $want; it printed:"
    sed 's/^/    /' "$work/output" >&2
    return
  fi
  while IFS= read -r shown; do
    grep -Eq -- "$(pattern_of "$shown")" "$work/output" && continue
    problem "$line" "'$command' did not print the line the README shows:"
    echo "    $shown" >&2
    echo "  it printed:" >&2
    sed 's/^/    /' "$work/output" >&2
  done <"$expected"
}

# run_block LINE MARKER BLOCK_FILE: fresh chips, then each command with its output lines.
run_block() {
  local line=$1 marker=$2 block=$3 item name options text n=0 command='' command_line=0 prompted=0
  blocks=$((blocks + 1))
  rm -rf "$XDG_CONFIG_HOME" "$work/run"
  mkdir -p "$work/run/examples"
  cp "$root/examples/blinky.hex" "$work/run/examples/"
  cp "$root/examples/blinky.hex" "$work/run/firmware.hex"
  # The example with a wrong checksum in its third line.
  sed '3s/^:0601/:0602/' "$root/examples/blinky.hex" >"$work/run/damaged.hex"
  ! cmp -s "$work/run/firmware.hex" "$work/run/damaged.hex" || fail "could not damage the example's third line"
  start_target COM1
  IFS=';' read -ra items <<<"$marker"
  for item in "${items[@]:1}"; do
    name=${item%%:*}
    name=${name// /}
    read -ra options <<<"${item#*:}"
    [[ $name =~ ^COM[0-9]+$ ]] || { problem "$line" "cannot read '$item' in the comment"; stop_targets; return; }
    start_target "$name" "${options[@]}"
  done
  grep -q '^\$ ' "$block" && prompted=1
  : >"$work/expected"
  while IFS= read -r text; do
    n=$((n + 1))
    [ -n "$text" ] || continue
    if [ "$prompted" = 0 ] || [[ $text == '$ '* ]]; then
      [ -n "$command" ] && run_command "$command_line" "$command" "$work/expected"
      command=${text#'$ '}
      command_line=$((line + n))
      : >"$work/expected"
    elif [ -z "$command" ]; then
      problem "$((line + n))" "output before the first command"
    else
      printf '%s\n' "$text" >>"$work/expected"
    fi
  done <"$block"
  [ -n "$command" ] && run_command "$command_line" "$command" "$work/expected"
  stop_targets
}

# Find each comment and the indented block after it (blank lines may come between).
marker='' marker_line=0 block_start=0 n=0 in_block=0
: >"$work/block"
finish_block() {
  if [ "$in_block" = 1 ]; then
    run_block "$block_start" "$marker" "$work/block"
  elif [ -n "$marker" ]; then
    problem "$marker_line" "no indented example after the comment"
  fi
  marker='' in_block=0
  : >"$work/block"
}
while IFS= read -r text || [ -n "$text" ]; do
  n=$((n + 1))
  if [[ $text =~ ^'<!-- checked'(.*)'-->'$ ]]; then
    next_marker="checked${BASH_REMATCH[1]}"
    finish_block
    marker=$next_marker
    marker=${marker% }
    marker_line=$n
    continue
  fi
  [ -n "$marker" ] || continue
  if [[ $text == '    '* ]]; then
    [ "$in_block" = 1 ] || block_start=$((n - 1))
    in_block=1
    printf '%s\n' "${text#    }" >>"$work/block"
  elif [ -z "$text" ]; then
    [ "$in_block" = 1 ] && printf '\n' >>"$work/block"
  else
    finish_block
  fi
done <"$readme"
finish_block

[ "$blocks" -gt 0 ] || fail "README.md has no checked example"
if [ "$problems" -gt 0 ]; then
  echo "check-readme: $problems problems in $blocks examples ($commands commands)" >&2
  exit 1
fi
echo "check-readme: $blocks examples, $commands commands, as the README shows them"
