#!/usr/bin/env bash
# Makes sure the Debian packages Halvora needs are installed. As root it
# installs the missing ones with apt-get; otherwise it prints the line to run
# and fails. Usage: scripts/deps.sh [build|test]
set -euo pipefail

build_packages=(cmake g++ make freeglut3-dev libgl1-mesa-dev libglu1-mesa-dev)
test_packages=(googletest libgtest-dev xvfb xdotool x11-utils x11-apps imagemagick)
# The viewer tests that close or resize the window through a window manager.
test_packages+=(openbox wmctrl)
# The fuzz targets: clang with its libFuzzer and sanitizer runtimes.
test_packages+=(clang libclang-rt-14-dev)

wanted=("${build_packages[@]}")
if [ "${1:-build}" = "test" ]; then wanted+=("${test_packages[@]}"); fi

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
    echo "Missing packages. Run:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
fi
