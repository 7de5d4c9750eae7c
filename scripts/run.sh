#!/usr/bin/env bash
# The main job on a fresh machine: install what the build needs, build the command line and
# the simulated chip (no Qt, no tests), start the simulated bootloader target on a
# pseudo-terminal, and program and verify the example firmware with the command line.
#   scripts/run.sh            program + verify examples/blinky.hex on the simulated chip
#   scripts/run.sh --window   open the window instead (the simulated chip waits on COM1);
#                             installs Qt and builds the window as well
# The build goes to build/run; the simulated chip's COM1 lives in a temporary configuration
# folder, so a COM1 of your own is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-}"
case "$mode" in
  "" | --window) ;;
  *) echo "usage: scripts/run.sh [--window]" >&2; exit 2 ;;
esac

bin=build/run
if [ "$mode" = "--window" ]; then
  scripts/install-deps.sh build window
  cmake -S . -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF -DVELKORN_CLI_ONLY=OFF >/dev/null
  cmake --build "$bin" --target velkorn-cli velkorn-target velkorn
else
  scripts/install-deps.sh build
  # Without Qt: the command line and the simulated chip need none.
  cmake -S . -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF -DVELKORN_CLI_ONLY=ON >/dev/null
  cmake --build "$bin" --target velkorn-cli velkorn-target
fi

cfg="$(mktemp -d)"
export XDG_CONFIG_HOME="$cfg"
target_log="$cfg/target.log"
"$bin/sim/velkorn-target" --link COM1 >"$target_log" 2>&1 &
target_pid=$!
trap 'kill $target_pid 2>/dev/null || true; rm -rf "$cfg"' EXIT
for _ in $(seq 50); do [ -e "$cfg/velkorn/COM1" ] && break; sleep 0.1; done
[ -e "$cfg/velkorn/COM1" ] || { echo "velkorn-target did not start: $(cat "$target_log")" >&2; exit 1; }
echo "Simulated target: $(head -n1 "$target_log")"

if [ "$mode" = "--window" ]; then
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: starting the window under Xvfb." >&2
    xvfb-run -a "$bin/app/velkorn"
  else
    "$bin/app/velkorn"
  fi
  exit 0
fi

"$bin/cli/velkorn-cli" --port COM1 info
"$bin/cli/velkorn-cli" --port COM1 program examples/blinky.hex
"$bin/cli/velkorn-cli" --port COM1 verify examples/blinky.hex
