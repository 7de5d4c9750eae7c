#!/usr/bin/env bash
# Makes packaging/screenshot.png: the window on a private X server (Xvfb with openbox),
# COM 1 picked (the simulated chip) and examples/blinky.hex loaded.
#   packaging/screenshot.sh [BUILD_DIR]      (default build/dev, built when missing)
# Everything it writes, except the picture, stays in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=${1:-build/dev}

# What it needs beyond the project's own packages.
extras=(xvfb xauth openbox xdotool imagemagick x11-utils)
missing=()
for p in "${extras[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${missing[@]}"
fi
if [ ! -x "$bin/app/velkorn" ]; then
  scripts/install-deps.sh build window tests
  cmake --preset dev >/dev/null
  cmake --build --preset dev --target velkorn velkorn-target
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME/velkorn" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# The window's settings: the defaults, placed a little off the corner of the screen.
sed 's/^0,0,900,540,/16,16,900,540,/' packaging/Hotkey.TXT >"$XDG_CONFIG_HOME/velkorn/Hotkey.TXT"

# A free display number.
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 932x596x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
export DISPLAY=":$n"
openbox >"$work/openbox.log" 2>&1 &
pids+=($!)
sleep 1

"$bin/sim/velkorn-target" --link COM1 >"$work/target.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -L "$XDG_CONFIG_HOME/velkorn/COM1" ] && break; sleep 0.1; done
[ -L "$XDG_CONFIG_HOME/velkorn/COM1" ] || { echo "screenshot: velkorn-target did not start" >&2; exit 1; }

"$bin/app/velkorn" >"$work/velkorn.log" 2>&1 &
pids+=($!)
window=$(xdotool search --sync --onlyvisible --name "Velkorn RD2" | head -n1)
xdotool windowactivate --sync "$window"
sleep 1

# COM 1 from the "Comport" menu, then "Load File" with examples/blinky.hex.
xdotool key --clearmodifiers alt+c
sleep 0.5
xdotool key 1
sleep 1
xdotool key --clearmodifiers alt+l
dialog=$(xdotool search --sync --onlyvisible --name "Open|Load|Hex" | grep -v "^$window\$" | head -n1)
xdotool windowactivate --sync "$dialog"
sleep 0.5
xdotool type --delay 20 "$root/examples/blinky.hex"
xdotool key Return
sleep 2

import -window root "$root/packaging/screenshot.png"
echo "$root/packaging/screenshot.png"
