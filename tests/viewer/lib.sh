# Helpers for the viewer's end-to-end tests: a private Xvfb per test, the
# program run in a scratch directory, waits that poll with a bound, window
# geometry, screenshots as raw RGB bytes and the freeglut menus driven with
# xdotool. Sourced by run_viewer_tests.sh; every helper that fails calls
# `fail`, which ends the test's subshell (its EXIT trap kills what it started).

# Seconds any single wait may take before the test fails.
WAIT_LIMIT=${WAIT_LIMIT:-20}

fail() {
    echo "    FAIL: $*" >&2
    exit 1
}

quietly() { "$@" >/dev/null 2>&1; }

# Polls `"$@"` every 0.1 s until it succeeds; fails with $desc after WAIT_LIMIT.
wait_until() {
    local desc=$1
    shift
    local tries=$((WAIT_LIMIT * 10))
    while ((tries-- > 0)); do
        "$@" && return 0
        sleep 0.1
    done
    fail "timed out waiting for: $desc"
}

# Kills, in reverse order of start, what the test started (EXIT trap).
STARTED_PIDS=()
stop_started() {
    local i
    for ((i = ${#STARTED_PIDS[@]} - 1; i >= 0; i--)); do
        kill "${STARTED_PIDS[i]}" 2>/dev/null
    done
    for ((i = ${#STARTED_PIDS[@]} - 1; i >= 0; i--)); do
        local tries=30
        while kill -0 "${STARTED_PIDS[i]}" 2>/dev/null && ((tries-- > 0)); do sleep 0.1; done
        kill -9 "${STARTED_PIDS[i]}" 2>/dev/null
    done
    return 0
}

# Starts an Xvfb of 800 x 600 on a free display (the server picks it) and
# exports DISPLAY. -noreset: by default the server resets whenever its last
# client leaves (xdpyinfo, xdotool) and refuses connections meanwhile.
start_x() {
    local fdfile=$TEST_DIR/displayfd
    Xvfb -displayfd 9 -screen 0 800x600x24 -nolisten tcp -noreset 9>"$fdfile" >"$TEST_DIR/xvfb.log" 2>&1 &
    STARTED_PIDS+=($!)
    wait_until "Xvfb to report its display" grep -qs "^[0-9]" "$fdfile"
    export DISPLAY=":$(head -n 1 "$fdfile")"
    wait_until "display $DISPLAY to answer" quietly xdpyinfo
}

# Starts openbox on the test's display and waits until it manages the screen.
start_window_manager() {
    openbox --sm-disable >"$TEST_DIR/openbox.log" 2>&1 &
    STARTED_PIDS+=($!)
    wait_until "the window manager (see openbox.log)" quietly wmctrl -m
}

# Writes RADIOSTY.INI and the scene into the run directory. The scene is a
# closed cube room of side 2 seen from outside through its front wall (which
# faces inward and is culled): a lit ceiling, a red and a green side wall,
# 21 patches in all. Arguments: game_mode, x, y, width, height.
write_scene() {
    local game_mode=${1:-0} x=${2:-40} y=${3:-30} width=${4:-320} height=${5:-240}
    cat >"$RUN_DIR/RADIOSTY.INI" <<EOF
settings
game_mode = $game_mode
window_origin_x = $x
window_origin_y = $y
window_width = $width
window_height = $height
hemicube_pixel_size = 0.25
solution_precision = 0.0001
camera
eye_x = 1
eye_y = -3
eye_z = 1
look_at_x = 1
look_at_y = 1
look_at_z = 1
up_x = 0
up_y = 0
up_z = 1
fov = 60
near = 0.1
far = 100
environment
filename = room.txt
EOF
    cat >"$RUN_DIR/room.txt" <<'EOF'
[(0 0 0),(2 0 0),(2 2 0),(0 2 0)],(0 0 0),(0.7 0.7 0.7),(2 2)
[(0 0 2),(0 2 2),(2 2 2),(2 0 2)],(1 1 1),(0.5 0.5 0.5),(2 2)
[(0 0 0),(0 2 0),(0 2 2),(0 0 2)],(0 0 0),(0.8 0.2 0.2),(2 2)
[(2 0 0),(2 0 2),(2 2 2),(2 2 0)],(0 0 0),(0.2 0.8 0.2),(2 2)
[(0 0 0),(0 0 2),(2 0 2),(2 0 0)],(0 0 0),(0.6 0.6 0.6),(1 1)
[(0 2 0),(2 2 0),(2 2 2),(0 2 2)],(0 0 0),(0.6 0.6 0.8),(2 2)
EOF
}

BINARY_FILES=(PATCH.BIN FF.BIN PATCHRAD.BIN VERTRAD.BIN)

# Starts the program in RUN_DIR. Its output goes to $RUN_DIR/out and
# $RUN_DIR/err; its exit code, once it ends, to $TEST_DIR/code.
start_halvora() {
    (
        cd "$RUN_DIR" || exit 99
        "$HALVORA" >out 2>err &
        echo $! >"$TEST_DIR/pid"
        wait $!
        echo $? >"$TEST_DIR/code"
    ) &
    wait_until "the program to start" test -s "$TEST_DIR/pid"
    STARTED_PIDS+=("$(cat "$TEST_DIR/pid")")
}

# Starts the program and waits for its window: sets WINDOW and focuses it.
start_viewer() {
    start_halvora
    WINDOW=$(timeout "$WAIT_LIMIT" xdotool search --sync --onlyvisible --name '^Halvora$' 2>/dev/null | head -n 1)
    [ -n "$WINDOW" ] || fail "no window titled Halvora appeared (stderr: $(cat "$RUN_DIR/err"))"
    xdotool windowfocus --sync "$WINDOW" 2>/dev/null
    xdotool mousemove --window "$WINDOW" 5 5
    # The first frame has been drawn once the window is no longer black.
    wait_until "the first picture" picture_not_black
}

program_ended() { test -s "$TEST_DIR/code"; }

# Waits for the program to end; sets EXIT_CODE.
wait_for_exit() {
    wait_until "the program to end" program_ended
    EXIT_CODE=$(cat "$TEST_DIR/code")
}

expect_exit_code() {
    wait_for_exit
    [ "$EXIT_CODE" = "$1" ] || fail "exit code $EXIT_CODE, expected $1 (stderr: $(cat -v "$RUN_DIR/err"))"
}

# The exit handler ran: the four binary files are gone and the end message
# is the last line of standard output.
expect_cleaned_up() {
    local f
    for f in "${BINARY_FILES[@]}"; do
        [ ! -e "$RUN_DIR/$f" ] || fail "$f left behind"
    done
    [ "$(tail -n 1 "$RUN_DIR/out")" = "End of 'Halvora'." ] || fail "standard output does not end with the end message"
    [ "$(tail -c 1 "$RUN_DIR/out" | od -An -c | tr -d ' ')" = '\n' ] || fail "the end message has no newline"
}

output_has_line() { grep -qxF -- "$1" "$RUN_DIR/out"; }

wait_for_line() { wait_until "the line '$1' on standard output" output_has_line "$1"; }

# Standard error byte for byte; the expectation is written with C escapes
# (\a, \n) as printf's %b reads them.
expect_stderr() {
    printf '%b' "$1" >"$TEST_DIR/expected_err"
    cmp -s "$TEST_DIR/expected_err" "$RUN_DIR/err" ||
        fail "standard error was '$(cat -v "$RUN_DIR/err")', expected '$(cat -v "$TEST_DIR/expected_err")'"
}

# "x y width height" of a window's inside, in root coordinates.
window_geometry() {
    # xwininfo without an id would wait for a click on some window.
    [ -n "$1" ] || { echo "no window"; return 1; }
    timeout 5 xwininfo -id "$1" | awk '
        /Absolute upper-left X:/ { x = $4 }
        /Absolute upper-left Y:/ { y = $4 }
        /^ *Width:/ { w = $2 }
        /^ *Height:/ { h = $2 }
        END { print x, y, w, h }'
}

geometry_is() { [ "$(window_geometry "$WINDOW")" = "$1" ]; }

# Waits for the window to be at "x y width height"; says where it is if not.
wait_for_geometry() {
    local tries=$((WAIT_LIMIT * 10))
    while ((tries-- > 0)); do
        geometry_is "$1" && return 0
        sleep 0.1
    done
    fail "window at $(window_geometry "$WINDOW"), expected $1"
}
size_is() { [ "$(window_geometry "$WINDOW" | cut -d' ' -f3-)" = "$1" ]; }

# Raw RGB bytes of the inside of window $2 (default: the program's window).
capture() { import -silent -window "${2:-$WINDOW}" -depth 8 "rgb:$1" 2>/dev/null; }

not_black() { [ "$(tr -d '\000' <"$1" | wc -c)" -gt 1000 ]; }

picture_not_black() { capture "$TEST_DIR/probe.rgb" && not_black "$TEST_DIR/probe.rgb"; }

# Captures window $2 (default: the program's window) until two captures in a
# row agree, the picture is not black (drawn) and, for the program's window,
# no menu lies over it; keeps the picture in $1.
capture_stable() {
    local window=${2:-$WINDOW} previous=$TEST_DIR/previous.rgb tries=$((WAIT_LIMIT * 10))
    capture "$previous" "$window"
    while ((tries-- > 0)); do
        sleep 0.1
        if { [ -n "${2:-}" ] || ! menu_open; } && capture "$1" "$window" && not_black "$1" &&
            cmp -s "$1" "$previous"; then
            return 0
        fi
        cp "$1" "$previous" 2>/dev/null
    done
    fail "the picture did not settle"
}

picture_equals() { capture "$TEST_DIR/now.rgb" && cmp -s "$TEST_DIR/now.rgb" "$1"; }
picture_differs() { capture "$TEST_DIR/now.rgb" && ! cmp -s "$TEST_DIR/now.rgb" "$1"; }

wait_picture_equals() { wait_until "the picture $1" picture_equals "$1"; }
wait_picture_differs() { wait_until "a picture other than $1" picture_differs "$1"; }

# Number of pixels that differ between two captures of the window.
pixels_differing() {
    local size
    size=$(window_geometry "$WINDOW" | awk '{ print $3 "x" $4 }')
    compare -size "$size" -depth 8 -metric AE "rgb:$1" "rgb:$2" null: 2>&1 | cut -d' ' -f1
}

press() {
    xdotool key "$@"
}

# The menus are freeglut's own override-redirect windows named "freeglut menu".
visible_menus() { xdotool search --onlyvisible --name '^freeglut menu$' 2>/dev/null; }
menu_count_is() { [ "$(visible_menus | wc -l)" = "$1" ]; }
menu_open() { ! menu_count_is 0; }

# Opens the view menu with a right click at (x, y) of the window (default
# 20, 20), moved onto the screen where the window reaches beyond its top left
# corner; sets VIEW_MENU to its window.
open_view_menu() {
    local x=${1:-20} y=${2:-20} wx wy
    read -r wx wy _ <<<"$(window_geometry "$WINDOW")"
    x=$((wx + x < 20 ? 20 : wx + x))
    y=$((wy + y < 20 ? 20 : wy + y))
    wait_until "all menus closed" menu_count_is 0
    xdotool mousemove "$x" "$y" mousedown 3
    wait_until "the view menu" menu_count_is 1
    xdotool mouseup 3
    VIEW_MENU=$(visible_menus | head -n 1)
    # freeglut may map a menu without drawing it until the pointer moves over
    # an entry: touch the first entry, then go back to the corner.
    # shellcheck disable=SC2046
    xdotool mousemove $(entry_position "$VIEW_MENU" 1 5)
    wait_until "the view menu drawn" menu_drawn "$VIEW_MENU"
    xdotool mousemove "$x" "$y"
}

menu_drawn() { capture "$TEST_DIR/menu_probe.rgb" "$1" && not_black "$TEST_DIR/menu_probe.rgb"; }

# Centre of entry $2 of the $3 entries of menu window $1, in root coordinates.
entry_position() {
    window_geometry "$1" | awk -v i="$2" -v n="$3" '{ printf "%d %d\n", $1 + $3 / 2, $2 + (2 * i - 1) * $4 / (2 * n) }'
}

click_entry() {
    # shellcheck disable=SC2046
    xdotool mousemove $(entry_position "$1" "$2" "$3")
    sleep 0.2
    xdotool click 1
    wait_until "the menu to close" menu_count_is 0
}

# Chooses entry $1 of the view menu (1 reset, 2 coarse/smooth, 3 full
# screen, 5 exit).
choose_view_entry() {
    open_view_menu "${2:-20}" "${3:-20}"
    click_entry "$VIEW_MENU" "$1" 5
}

# Chooses entry $1 of the export submenu (1 form factors, 2 patch vertices,
# 3 radiosity solution).
choose_export_entry() {
    open_view_menu
    # shellcheck disable=SC2046
    xdotool mousemove $(entry_position "$VIEW_MENU" 4 5)
    wait_until "the export submenu" menu_count_is 2
    local submenu
    submenu=$(visible_menus | grep -vx "$VIEW_MENU" | head -n 1)
    click_entry "$submenu" "$1" 3
}

# Raw picture of the open view menu (labels included), pointer on its border.
capture_view_menu() {
    open_view_menu
    capture_stable "$1" "$VIEW_MENU"
    close_menu
}

# A left click in the window below and right of the menu closes it. (Escape
# would reach the program's keyboard handler and end the run.)
close_menu() {
    local mx my mw mh
    read -r mx my mw mh <<<"$(window_geometry "$VIEW_MENU")"
    xdotool mousemove $((mx + mw + 50)) $((my + mh + 30)) click 1
    wait_until "the menu to close" menu_count_is 0
}
