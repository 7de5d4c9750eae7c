#!/usr/bin/env bash
# Installs the Debian packages a purpose needs, when missing. Each script asks for its own:
#   scripts/install-deps.sh build              the command line and the simulated chip (no Qt)
#   scripts/install-deps.sh build window       ... and the window
#   scripts/install-deps.sh PURPOSE ...        any of the purposes below
#   scripts/install-deps.sh                    every purpose (CI)
# Purposes: build, window, tests, windows, arm64, fuzz, package.
# The compilers, the Windows tools and the arm64 emulator come without their recommendations, which nothing here
# needs (cmake's make, Wine's sound, video and font packages): the main job on a fresh
# machine installs only what it builds with.
set -euo pipefail

declare -A purpose_packages=(
  [build]="g++ cmake ninja-build"
  [window]="pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev fonts-dejavu-core xvfb xauth"
  [tests]="libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth fonts-dejavu-core ser2net sdcc binutils bash-completion"
  [windows]="g++-mingw-w64-x86-64-posix googletest wine64 wine"
  [arm64]="g++-aarch64-linux-gnu googletest qemu-user binfmt-support dpkg-dev"
  [fuzz]="clang libclang-rt-14-dev"
  [package]="dpkg-dev desktop-file-utils appstream man-db bash-completion"
)
all_purposes=(build window tests windows arm64 fuzz package)
lean_purposes=" build windows arm64 "

purposes=("$@")
[ ${#purposes[@]} -eq 0 ] && purposes=("${all_purposes[@]}")
missing=()
missing_lean=()
for purpose in "${purposes[@]}"; do
  if [ -z "${purpose_packages[$purpose]+set}" ]; then
    echo "install-deps: unknown purpose '$purpose' (purposes: ${all_purposes[*]})" >&2
    exit 2
  fi
  read -ra listed <<<"${purpose_packages[$purpose]}"
  for p in "${listed[@]}"; do
    [[ " ${missing[*]} ${missing_lean[*]} " == *" $p "* ]] && continue
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
    if [[ $lean_purposes == *" $purpose "* ]]; then missing_lean+=("$p"); else missing+=("$p"); fi
  done
done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ] && exit 0

echo "Installing for ${purposes[*]}: ${missing_lean[*]} ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update
if [ ${#missing_lean[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing_lean[@]}"
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${missing[@]}"
fi
