#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a given time, one after the
# other on one core.
#
# Usage: scripts/fuzz.sh [seconds per target] [target ...]
#   targets: config (RADIOSTY.INI reader), scene (environment file parser and
#   patch stage); default both, 60 seconds each.
# Environment: FUZZ_BUILD_DIR (default build-fuzz).
#
# Each target starts from its seed corpus fuzz/corpus/<target> and keeps what
# it finds in <build dir>/corpus/<target> (the seeds in git are not touched).
# A crash, a sanitizer report, a timeout (10 s for one input) or an
# out-of-memory (2 GB) is written to <build dir>/artifacts/<target>/ and makes
# the script fail; an error exit of the program on a bad input is an expected
# outcome, not a finding. The last status line of each run (inputs, coverage,
# exec/s) is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(config scene)

build=${FUZZ_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHALVORA_FUZZ=ON -DHALVORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

status=0
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    log="$build/fuzz_$target.log"
    mkdir -p "$corpus" "$artifacts"
    echo "fuzz_$target: ${seconds}s"
    # -close_fd_mask=3 silences the program's own messages (every bad input
    # prints one); libFuzzer and the sanitizers still report on stderr.
    if ! "$build/fuzz/fuzz_$target" "$corpus" "fuzz/corpus/$target" \
        -dict="fuzz/$target.dict" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" >"$log" 2>&1; then
        status=1
        echo "fuzz_$target: FINDING, see $log and $artifacts/"
        grep -E 'ERROR|fuzz finding|SUMMARY|Test unit written' "$log" | head -20 || true
    fi
    grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 || true
    grep -E '^stat::' "$log" || true
done
exit $status
