#!/usr/bin/env bash
# Builds Halvora and runs a bundled example scene (default: examples/room),
# which ends in the viewer window. Usage: scripts/run-example.sh [example-dir]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh build

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORA_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target halvora

example=${1:-examples/room}
exe="$(pwd)/$build/halvora"
cd "$example"
exec "$exe"
