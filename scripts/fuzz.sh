#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a given time, one after the
# other on one core.
#
# Usage: scripts/fuzz.sh [seconds per target] [target ...]
#   targets: config (RADIOSTY.INI reader), scene (environment file parser and
#   patch stage), import (halvora-import's OBJ and MTL reading and the scene
#   lines it writes); default all three, 60 seconds each.
# Environment: FUZZ_BUILD_DIR (default build-fuzz).
#
# Each target starts from its seed corpus fuzz/corpus/<target> and keeps what
# it finds in <build dir>/corpus/<target> (the seeds in git are not touched).
# A crash, a sanitizer report, a timeout (10 s for one input) or an
# out-of-memory (2 GB) ends the run and is written to
# <build dir>/artifacts/<target>/; an error exit of the program on a bad input
# is an expected outcome, not a finding. The last status line of each run
# (inputs, coverage, exec/s) is printed at the end.
#
# A run that ends early is a finding, and makes the script fail with the
# report, when the input it saved fails again when run alone (three times),
# or when a stack of its sanitizer report has a frame in this checkout's src/
# or fuzz/. Anything else (no saved input that fails, and only libFuzzer's,
# the sanitizer runtime's or the C library's frames) is outside the program:
# the script prints a warning naming the log and does not fail for it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(config scene import)

build=${FUZZ_BUILD_DIR:-build-fuzz}
# A stack with every UndefinedBehaviorSanitizer report, for the frame test below.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHALVORA_FUZZ=ON -DHALVORA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

# The stack frames (and UndefinedBehaviorSanitizer's "file:line: runtime
# error" lines) of a failed run's log that lie in src/ or fuzz/. A timeout or
# an out-of-memory stack only shows where the body was when the clock or the
# memory ran out, so for those the replay alone decides.
project_frames() {
    grep -qE 'ERROR: libFuzzer: (timeout|out-of-memory)' "$1" && return 0
    grep -E '^[[:space:]]*#[0-9]+ 0x[0-9a-f]+ in |: runtime error: ' "$1" |
        grep -F -e "$root/src/" -e "$root/fuzz/" || true
}

# Replays the input a failed run saved, alone and three times over, with the
# run's limits and the program's messages left on (a fuzz finding names its
# broken promise there). True when it fails again.
replay_fails() {
    local target=$1 input=$2 replay_log=$3
    [ -n "$input" ] && [ -f "$input" ] || return 1
    ! "$build/fuzz/fuzz_$target" -runs=3 -timeout=10 -rss_limit_mb=2048 "$input" >"$replay_log" 2>&1
}

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
        input=$(sed -n 's/.*Test unit written to //p' "$log" | tail -1)
        replay_log="$build/fuzz_${target}_replay.log"
        rm -f "$replay_log"
        frames=$(project_frames "$log")
        if replay_fails "$target" "$input" "$replay_log"; then
            status=1
            echo "fuzz_$target: FINDING, the saved input fails again alone ($replay_log); see $log and $input"
            grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -20 || true
            grep -E 'fuzz finding' "$replay_log" | head -1 || true
        elif [ -n "$frames" ]; then
            status=1
            echo "fuzz_$target: FINDING, the report has frames in src/ or fuzz/${input:+ (the saved input alone passes)}; see $log"
            grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -20 || true
            echo "$frames" | head -10
        else
            if [ -n "$input" ]; then saved="the saved input $input passes alone"; else saved="no input was saved"; fi
            echo "fuzz_$target: WARNING: the run failed outside the program and is not counted as a finding" \
                "($saved, and no frame of the report is in src/ or fuzz/); see $log"
            grep -E 'ERROR|SUMMARY' "$log" | head -5 || true
        fi
    fi
    grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 || true
    grep -E '^stat::' "$log" || true
done
exit $status
