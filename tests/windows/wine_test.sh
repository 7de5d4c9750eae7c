#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, everything inside one temporary folder: the
# prefix, a home and a TMPDIR for Wine, the wine server's log and the pin of the serial port.
# COM1 is pinned (in the prefix's registry, which Wine's mount manager follows at every start)
# to a link in the folder that a test points at velkorn-target's pseudo-terminal; COM250 has
# no device. No test opens any other port, and each run checks both first: a real /dev/ttyS*
# (which the mount manager maps to the next free COM numbers) is never reached.
# RECORD is a file that holds the folder's name from `prefix` to `remove`.
#
#   wine_test.sh prefix RECORD                      make the folder and the prefix (slow)
#   wine_test.sh remove RECORD                      stop its wine server, remove the folder
#   wine_test.sh unit RECORD TEST.exe               a test program
#   wine_test.sh port RECORD TARGET TEST.exe        a test program with a target on COM1
#   wine_test.sh cli RECORD TARGET CLI.exe HOLDER.exe FILE.hex
#                                                   velkorn-cli.exe against a target on COM1
#                                                   and on 127.0.0.1 (tcp://, rfc2217://)
set -euo pipefail

mode=$1
record=$2
shift 2

fail() {
  echo "wine_test: $*" >&2
  exit 1
}

if [ "$mode" = prefix ]; then
  if [ -f "$record" ]; then "$0" remove "$record"; fi
  dir=$(mktemp -d "${TMPDIR:-/tmp}/velkorn-wine.XXXXXX")
  echo "$dir" >"$record"
else
  [ -f "$record" ] || fail "no Wine folder (the test windows.wine_prefix makes it)"
  dir=$(cat "$record")
fi

command -v wine >/dev/null || fail "wine is missing (scripts/install-deps.sh installs it)"
export WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINEARCH=win64
# No menu entries, no Mono or Gecko installers, no windows.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
export HOME="$dir/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export TMPDIR="$dir/tmp"  # the wine server's socket folder
unset DISPLAY WAYLAND_DISPLAY

com1_link="$dir/com1"

check_pins() {
  local got
  got=$(readlink "$WINEPREFIX/dosdevices/com1" || true)
  [ "$got" = "$com1_link" ] || fail "COM1 is not pinned (com1 -> '$got'): refusing to run"
  [ ! -e "$WINEPREFIX/dosdevices/com250" ] && [ ! -L "$WINEPREFIX/dosdevices/com250" ] ||
    fail "COM250 has a device: refusing to run"
}

# One wine server for all the tests, its output and that of Wine's own background programs
# in the folder's log: those programs live as long as the server (60 s after the last test
# program) and would hold the test's output open that long; and the server, which holds the
# opened pseudo-terminals, writes its state out when a target's line hangs up.
start_server() {
  wineserver -p60 </dev/null >>"$dir/wineserver.log" 2>&1 || true
  wine cmd /c exit 0 </dev/null >>"$dir/wineserver.log" 2>&1
}

case "$mode" in
  prefix)
    mkdir -p "$HOME" "$TMPDIR"
    ln -s "$dir/no-target" "$com1_link"
    # The first start makes the prefix; the pin takes effect when Wine starts again.
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1_link" /f >/dev/null
    wineserver -w
    start_server
    check_pins
    echo "wine prefix ready in $WINEPREFIX"
    exit 0
    ;;
  remove)
    if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$dir" "$record"
    exit 0
    ;;
esac

[ -d "$WINEPREFIX" ] || fail "no prefix in $dir"
start_server
work=$(mktemp -d "$dir/work.XXXXXX")
target_pid=""
cleanup() {
  if [ -n "$target_pid" ]; then
    kill -TERM "$target_pid" 2>/dev/null || true
    wait "$target_pid" 2>/dev/null || true
    ln -sfn "$dir/no-target" "$com1_link"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# velkorn-target on a pseudo-terminal, COM1 pointed at it; its flash goes to $work/flash.bin
# when it stops. With --tcp 0 (and more options) it listens on 127.0.0.1 instead, at
# $target_url.
start_target() {
  local target=$1
  shift
  [ -x "$target" ] || fail "velkorn-target not found at $target (cmake --build --preset dev --target velkorn-target)"
  rm -f "$work/target.out"
  "$target" --flash-out "$work/flash.bin" "$@" >"$work/target.out" 2>"$work/target.err" &
  target_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/target.out" ] && break
    sleep 0.1
  done
  target_url=$(head -n 1 "$work/target.out")
  if [[ "$target_url" == tcp://127.0.0.1:* ]]; then return; fi
  [[ "$target_url" == /dev/pts/* ]] || fail "velkorn-target did not start: $(cat "$work/target.err")"
  ln -sfn "$target_url" "$com1_link"
}

stop_target() {
  kill -TERM "$target_pid"
  wait "$target_pid" || fail "velkorn-target ended with an error: $(cat "$work/target.err")"
  target_pid=""
  ln -sfn "$dir/no-target" "$com1_link"
}

# The Windows name of a file of this machine (Wine's drive Z: is the root).
winpath() { echo "Z:${1//\//\\}"; }

case "$mode" in
  unit)
    check_pins
    wine "$1"
    ;;
  port)
    check_pins
    start_target "$1"
    wine "$2"
    stop_target
    ;;
  cli)
    check_pins
    target=$1 cli=$2 holder=$3 hex=$4
    passed=0 failed=0
    # run NAME STATUS PATTERN ARGS...: velkorn-cli.exe ARGS must end with STATUS and say
    # PATTERN (an extended regular expression) on stdout or stderr.
    run() {
      local name=$1 want=$2 pattern=$3 got=0
      shift 3
      wine "$cli" --sync-timeout 10 "$@" >"$work/out" 2>"$work/err" || got=$?
      if [ "$got" = "$want" ] && grep -Eq -- "$pattern" "$work/out" "$work/err"; then
        passed=$((passed + 1))
        echo "ok      $name"
      else
        failed=$((failed + 1))
        echo "FAILED  $name: status $got (wanted $want), output:"
        sed 's/^/    /' "$work/out" "$work/err"
      fi
    }
    whex=$(winpath "$hex")
    readback="$work/read.hex"
    wread=$(winpath "$readback")

    start_target "$target"
    run "info" 0 "Manufactor Id: 58" --port COM1 info
    run "program" 0 "Programmed and verified" --port COM1 program "$whex"
    run "verify" 0 "Matched OK!!!" --port COM1 verify "$whex"
    run "read" 0 "Read 65536 bytes into" --port COM1 read "$wread"
    run "read onto a file" 2 "the file exists" --port COM1 read "$wread"
    run "read --force onto a file" 0 "Read 65536 bytes into" --port com1 read "$wread" --force
    # Names outside the system's code page arrive as they are (they once became fw-Omega.hex).
    cp "$hex" "$work/fw-Ωmega.hex"
    run "a file name outside the code page" 0 "Programmed and verified .*fw-Ωmega.hex" --port COM1 program "$(winpath "$work/fw-Ωmega.hex")"
    run "an output name outside the code page" 0 "Read 65536 bytes into .*out-文件.hex" --port COM1 read "$(winpath "$work/out-文件.hex")"
    run "a reserved device name" 2 "names a device on Windows" --port COM1 read "$(winpath "$work/nul.hex")"
    stop_target

    # check NAME: the simulated flash holds the file (gaps and the rest erased), and so does
    # the read when there is one.
    objcopy -I ihex -O binary --gap-fill 0xFF "$hex" "$work/expected.bin"
    size=$(stat -c %s "$work/expected.bin")
    check() {
      if cmp -s -n "$size" "$work/expected.bin" "$work/flash.bin" &&
        [ "$(tail -c +$((size + 1)) "$work/flash.bin" | tr -d '\377' | wc -c)" = 0 ] &&
        { [ ! -f "$readback" ] || { objcopy -I ihex -O binary --gap-fill 0xFF "$readback" "$work/read.bin" &&
          cmp -s "$work/read.bin" "$work/flash.bin"; }; }; then
        passed=$((passed + 1))
        echo "ok      $1"
      else
        failed=$((failed + 1))
        echo "FAILED  $1: the flash or the read differs from the file"
      fi
    }
    check "the flash holds the file, and the read matches it"
    rm -f "$readback"

    # Network serial servers through Winsock: velkorn-target's raw TCP, then its RFC 2217
    # server with a board that waits for a reset by DTR.
    start_target "$target" --tcp 0
    url=$target_url
    run "info over tcp://" 0 "Manufactor Id: 58" --port "$url" info
    run "program over tcp://" 0 "Programmed and verified" --port "$url" program "$whex"
    run "no modem lines over tcp://" 2 "carries no modem lines" --port "$url" --reset dtr=0 info
    stop_target
    check "the flash holds the file programmed over tcp://"
    run "a server that is gone" 3 "cannot reach 127.0.0.1:[0-9]+: .*refused" --port "$url" info
    start_target "$target" --tcp 0 --rfc2217 --needs-reset
    url=rfc2217://${target_url#tcp://}
    run "rfc2217:// without the reset" 3 "did not answer" --sync-timeout 1 --port "$url" info
    run "rfc2217:// after a reset by DTR" 0 "Manufactor Id: 58" --port "$url" --reset dtr=0,wait=20,dtr=1 info
    stop_target

    run "a file that does not exist" 2 "No such file|cannot find" --port COM1 program "$(winpath "$work/missing.hex")"
    run "a port that does not exist" 3 "Can not open COM 250" --port COM250 info
    run "a folder" 3 "not a serial device \(a folder\)" --port "$(winpath "$work")" info

    # Windows' serial drivers refuse a second open of a port, Wine's do not: a file held
    # with share mode 0 stands in for the held port (CreateFileA refuses it the same way).
    touch "$work/held-port"
    wine "$holder" "$(winpath "$work/held-port")" "$(winpath "$work/release")" >"$work/holder.out" 2>&1 &
    holder_pid=$!
    for _ in $(seq 300); do
      grep -q held "$work/holder.out" 2>/dev/null && break
      sleep 0.1
    done
    run "a port held by another program" 3 ": the port is held by another program" --port "$(winpath "$work/held-port")" info
    touch "$work/release"
    wait "$holder_pid" || true

    # The monitor through the console code's pipe side: what the board prints comes out,
    # the pipe's line goes in (the board's answer proves it), the end of the pipe ends it.
    start_target "$target" --app-line "tick @" --app-every 50 --app-running
    run "monitor: both ways, then the end of stdin" 0 "got hello" --port COM1 monitor < <(printf 'hello\r')
    run "monitor: the board's own lines" 0 "tick [0-9]{3}" --port COM1 monitor --timestamps </dev/null
    stop_target

    echo "$passed passed, $failed failed"
    [ "$failed" = 0 ]
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
