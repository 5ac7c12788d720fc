#!/bin/sh
# Builds the benchmark (RelWithDebInfo, as the program ships) and prints its
# table: reference and run's code side by side on every scene, then the
# form-factor table. Arguments go to halvora_bench (--only NAME,
# --skip-reference-at PATCHES; --fine, --fine-reference, --formfactor-only
# for the form-factor table, see README.md).
# Takes about two minutes, most of it the reference form factors of the
# cluttered hall; it uses one core.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-"$root/build-bench"}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORA_BENCH=ON >/dev/null
cmake --build "$build" --target halvora_bench -j2 >/dev/null
exec "$build/bench/halvora_bench" "$@"
