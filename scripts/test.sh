#!/usr/bin/env bash
# Builds Halvora and runs every test: the unit and whole-run tests and the
# viewer's end-to-end tests under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
