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
# halvora-bake and halvora-import: off-screen GL, PNG, glTF (tinygltf with its
# JSON library), OBJ.
build_packages+=(pkg-config libosmesa6-dev libpng-dev libtinygltf-dev nlohmann-json3-dev libtinyobjloader-dev)
# Their checks: a PLY reader, and node with npm for the glTF validator (npm
# installs it under the build tree). A node that brings its own npm is kept.
test_packages+=(python3-meshio python3-numpy)
command -v npm >/dev/null || test_packages+=(nodejs npm)

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
