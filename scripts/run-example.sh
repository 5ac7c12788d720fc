#!/usr/bin/env bash
# Builds Halvora and runs a bundled example scene (default: examples/room),
# which ends in the viewer window. Usage: scripts/run-example.sh [example-dir]
#
# The run happens in a copy of the example under the build folder
# (<build>/examples/NAME, made afresh each time), so the binary files and the
# text exports of the viewer's menu land there, not in the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh build

build=${BUILD_DIR:-build}
# A new build folder is configured without the tests (they need packages the
# program does not); an existing one, perhaps the tests' own, keeps its
# settings.
if [ -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" >/dev/null
else
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORA_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target halvora

example=${1:-examples/room}
example=${example%/}
[ -f "$example/RADIOSTY.INI" ] || { echo "no RADIOSTY.INI in $example" >&2; exit 1; }
exe="$(pwd)/$build/halvora"
work="$build/examples/$(basename "$example")"
rm -rf "$work"
mkdir -p "$work"
cp -R "$example"/. "$work"/
cd "$work"
echo "Running in $(pwd)"
exec "$exe"
