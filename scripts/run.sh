#!/usr/bin/env bash
# The main job on a fresh machine: install, build, start the simulated bootloader target on a
# pseudo-terminal, and program and verify the example firmware with the command line.
#   scripts/run.sh            program + verify examples/blinky.hex on the simulated chip
#   scripts/run.sh --window   open the window instead (the simulated chip waits on COM1)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
bin=build/dev
mode="${1:-}"

cfg="$(mktemp -d)"
export XDG_CONFIG_HOME="$cfg"
target_log="$cfg/target.log"
"$bin/sim/velkorn-target" --link COM1 >"$target_log" 2>&1 &
target_pid=$!
trap 'kill $target_pid 2>/dev/null || true; rm -rf "$cfg"' EXIT
for _ in $(seq 50); do [ -e "$cfg/velkorn/COM1" ] && break; sleep 0.1; done
echo "Simulated target: $(head -n1 "$target_log")"

if [ "$mode" = "--window" ]; then
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: starting the window under Xvfb." >&2
    exec xvfb-run -a "$bin/app/velkorn"
  fi
  "$bin/app/velkorn"
  exit 0
fi

"$bin/cli/velkorn-cli" --port COM1 info
"$bin/cli/velkorn-cli" --port COM1 program examples/blinky.hex
"$bin/cli/velkorn-cli" --port COM1 verify examples/blinky.hex
