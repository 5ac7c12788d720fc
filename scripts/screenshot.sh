#!/usr/bin/env bash
# Runs a bundled example (default: examples/room) in the viewer on a private
# Xvfb and writes a picture of its window (default: docs/screenshot.png).
# The run happens in a scratch copy of the example, so no binary files land
# in the repository; the viewer is ended with Escape once its picture has
# settled. Usage: scripts/screenshot.sh [example-dir] [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."

example=${1:-examples/room}
output=${2:-docs/screenshot.png}
limit=120 # seconds for the run to show its window, and for each later wait

scripts/deps.sh test
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target halvora >/dev/null
exe="$(pwd)/$build/halvora"

work=$(mktemp -d "${TMPDIR:-/tmp}/halvora-screenshot-XXXXXX")
pids=()
finish() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap finish EXIT
cp -r "$example"/. "$work"

wait_for() { # seconds, then a command to poll
    local tries=$(($1 * 10))
    shift
    until "$@"; do
        ((tries-- > 0)) || { echo "screenshot: timed out waiting for: $*" >&2; exit 1; }
        sleep 0.1
    done
}

# A screen larger than the examples' windows; -noreset keeps the server up
# between its short-lived clients.
Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp -noreset 9>"$work/display" 2>/dev/null &
pids+=($!)
wait_for 10 grep -qs '^[0-9]' "$work/display"
export DISPLAY=":$(head -n 1 "$work/display")"
wait_for 10 xdpyinfo >/dev/null 2>&1

(cd "$work" && exec "$exe" >"$work/out" 2>"$work/err") &
pids+=($!)
window=$(timeout "$limit" xdotool search --sync --onlyvisible --name '^Halvora$' | head -n 1) || true
[ -n "$window" ] || { echo "screenshot: no window; the run said:" >&2; cat "$work/out" "$work/err" >&2; exit 1; }

# The picture has settled once two captures a second apart agree.
settled() {
    import -silent -window "$window" -depth 8 "rgb:$work/now.rgb" 2>/dev/null || return 1
    if [ -f "$work/before.rgb" ] && cmp -s "$work/now.rgb" "$work/before.rgb"; then return 0; fi
    mv "$work/now.rgb" "$work/before.rgb"
    sleep 1
    return 1
}
wait_for "$limit" settled

mkdir -p "$(dirname "$output")"
# No time stamps in the PNG: the same picture gives the same file.
import -silent -window "$window" -define png:exclude-chunks=date,time "png:$output"
# Escape ends the run through its exit handler, which erases the binary files.
xdotool windowfocus "$window" 2>/dev/null || true
xdotool key Escape 2>/dev/null || true
wait_for 10 test -n "$(tail -n 1 "$work/out" | grep -x "End of 'Halvora'.")"
echo "wrote $output"
