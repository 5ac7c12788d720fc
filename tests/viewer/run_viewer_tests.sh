#!/usr/bin/env bash
# End-to-end tests of the viewer: the real program on a small lit room, each
# test on its own Xvfb, driven with xdotool (keys, mouse, freeglut's menus),
# judged by its exit code, its output, the files it leaves and screenshots
# of its window compared pixel for pixel.
#
# Usage: run_viewer_tests.sh PATH_TO_HALVORA [SOURCE_DIR]
# Needs Xvfb, xdotool, xdpyinfo and xwininfo, ImageMagick's import and
# compare, openbox and wmctrl. Prints "N passed, M failed" last and exits
# non-zero when a test failed. Every wait is bounded (WAIT_LIMIT seconds).
# VIEWER_TESTS=REGEX runs only the tests whose names match.
set -u

HALVORA=$(realpath "$1")
HERE=$(dirname "$(realpath "$0")")
# shellcheck source=lib.sh
source "$HERE/lib.sh"

for tool in Xvfb xdotool xdpyinfo xwininfo import compare openbox wmctrl; do
    if ! command -v "$tool" >/dev/null; then
        echo "missing tool: $tool"
        echo "0 passed, 1 failed"
        exit 1
    fi
done

ROOT=$(mktemp -d "${TMPDIR:-/tmp}/halvora-viewer-XXXXXX")
# KEEP_TEST_FILES=1 keeps the scratch directories (pictures, output) for a look.
[ -n "${KEEP_TEST_FILES:-}" ] || trap 'rm -rf "$ROOT"' EXIT

# ---------------------------------------------------------------- start and end

test_window_title_position_and_size_then_escape() {
    write_scene 0 40 30 320 240
    start_x
    start_viewer
    [ "$(xdotool getwindowname "$WINDOW")" = "Halvora" ] || fail "title $(xdotool getwindowname "$WINDOW")"
    geometry_is "40 30 320 240" || fail "window at $(window_geometry "$WINDOW"), expected 40 30 320 240"
    [ "$(grep -c '^Randering\.\.$' "$RUN_DIR/out")" = 1 ] || fail "no single 'Randering..' line"
    press Escape
    expect_exit_code 0
    expect_cleaned_up
    expect_stderr ""
    [ "$(tail -n 2 "$RUN_DIR/out" | head -n 1)" = "Randering.." ] || fail "something printed between start-up and end"
}

test_window_closed_by_window_manager_ends_through_exit_handler() {
    write_scene
    start_x
    start_window_manager
    start_viewer
    wmctrl -c Halvora
    expect_exit_code 0
    expect_cleaned_up
    expect_stderr ""
}

test_game_mode_unavailable_ends_with_17_and_keeps_files() {
    # Xvfb offers GLUT no game mode.
    write_scene 1
    start_x
    start_halvora
    expect_exit_code 17
    expect_stderr "\aERROR : GLUT game mode isn't supported with current display settings.\n"
    local f
    for f in "${BINARY_FILES[@]}"; do [ -e "$RUN_DIR/$f" ] || fail "$f erased"; done
    [ "$(tail -n 1 "$RUN_DIR/out")" = "Randering.." ] || fail "printed after the failure: $(tail -n 1 "$RUN_DIR/out")"
}

# ---------------------------------------------------------------- menus and exports

solution_exports_are() { [ "$(grep -c '^Radiosity solution exported to SOLUTION.TXT$' "$RUN_DIR/out")" = "$1" ]; }

test_exports_from_menu_and_exit_entry() {
    write_scene
    start_x
    start_viewer
    local n
    n=$(sed -n 's/^Environment decomposed into \([0-9]*\) patches\.$/\1/p' "$RUN_DIR/out")
    [ "$n" = 21 ] || fail "patch count '$n'"
    capture_stable "$TEST_DIR/start.rgb"

    choose_export_entry 1
    wait_for_line "Form factors exported to FF.TXT"
    # n lines of n fields "%7.4f ", every field 8 characters here (0 <= F < 1),
    # a patch's own column 0.0000.
    awk -v n="$n" 'NF != n || length($0) != 8 * n || $NR != "0.0000" || $0 !~ /^( [ 0-9]\.[0-9][0-9][0-9][0-9] )+$/ { bad = 1 }
                   END { exit bad || NR != n }' "$RUN_DIR/FF.TXT" || fail "FF.TXT malformed: $(head -c 300 "$RUN_DIR/FF.TXT")"

    choose_export_entry 2
    wait_for_line "Patch vertices exported to PATCHES.TXT"
    [ "$(wc -l <"$RUN_DIR/PATCHES.TXT")" = $((6 * 2 + n)) ] || fail "PATCHES.TXT has $(wc -l <"$RUN_DIR/PATCHES.TXT") lines"
    [ "$(head -n 2 "$RUN_DIR/PATCHES.TXT")" = "polygon 0 : 4 patches 
[( 0.00  0.00  0.00),( 1.00  0.00  0.00),( 1.00  1.00  0.00),( 0.00  1.00  0.00)]" ] ||
        fail "PATCHES.TXT starts with $(head -n 2 "$RUN_DIR/PATCHES.TXT")"
    [ "$(grep '^polygon' "$RUN_DIR/PATCHES.TXT" | tr '\n' '|')" = "polygon 0 : 4 patches |polygon 1 : 4 patches |polygon 2 : 4 patches |polygon 3 : 4 patches |polygon 4 : 1 patches |polygon 5 : 4 patches |" ] ||
        fail "PATCHES.TXT headers: $(grep '^polygon' "$RUN_DIR/PATCHES.TXT")"

    choose_export_entry 3
    wait_for_line "Radiosity solution exported to SOLUTION.TXT"
    choose_export_entry 3
    wait_until "the second solution export" solution_exports_are 2
    [ "$(wc -l <"$RUN_DIR/SOLUTION.TXT")" = $((n + 1)) ] || fail "SOLUTION.TXT has $(wc -l <"$RUN_DIR/SOLUTION.TXT") lines after two exports"
    [ "$(grep -cE '^\([ 0-9.]{7} [ 0-9.]{7} [ 0-9.]{7}\)$' "$RUN_DIR/SOLUTION.TXT")" = "$n" ] || fail "SOLUTION.TXT patch lines malformed"
    [ "$(tail -n 1 "$RUN_DIR/SOLUTION.TXT")" = "-------------------------" ] || fail "SOLUTION.TXT separator"

    # The exports leave the picture as it was.
    wait_picture_equals "$TEST_DIR/start.rgb"
    choose_view_entry 5
    expect_exit_code 0
    expect_cleaned_up
    expect_stderr ""
    local f
    for f in FF.TXT PATCHES.TXT SOLUTION.TXT; do [ -s "$RUN_DIR/$f" ] || fail "$f erased"; done
}

test_coarse_and_smooth_switch_colours_labels_and_keep_the_view() {
    write_scene
    start_x
    start_viewer
    capture_stable "$TEST_DIR/smooth.rgb"
    capture_view_menu "$TEST_DIR/menu_coarse.rgb"
    # An export first: its submenu's handler must not leave the relabelling
    # aimed at the submenu.
    choose_export_entry 1
    wait_for_line "Form factors exported to FF.TXT"

    choose_view_entry 2
    wait_for_line "Rendering with patch radiosities.."
    wait_picture_differs "$TEST_DIR/smooth.rgb"
    capture_stable "$TEST_DIR/coarse.rgb"
    # One colour per patch: at most 21 patch colours and the black background.
    local colours
    colours=$(identify -size 320x240 -depth 8 -format '%k' "rgb:$TEST_DIR/coarse.rgb")
    [ "$colours" -le 22 ] || fail "coarse picture has $colours colours"
    [ "$(identify -size 320x240 -depth 8 -format '%k' "rgb:$TEST_DIR/smooth.rgb")" -gt 50 ] || fail "smooth picture is not interpolated"
    capture_view_menu "$TEST_DIR/menu_smooth.rgb"
    ! cmp -s "$TEST_DIR/menu_coarse.rgb" "$TEST_DIR/menu_smooth.rgb" || fail "entry 2 not relabelled 'smooth'"

    choose_view_entry 2
    wait_for_line "Radnering with vertex radiosities.."
    wait_picture_equals "$TEST_DIR/smooth.rgb"
    capture_view_menu "$TEST_DIR/menu_again.rgb"
    cmp -s "$TEST_DIR/menu_coarse.rgb" "$TEST_DIR/menu_again.rgb" || fail "entry 2 not relabelled 'coarse'"

    # A turned view stays turned across both switches.
    press Left
    wait_picture_differs "$TEST_DIR/smooth.rgb"
    capture_stable "$TEST_DIR/turned_smooth.rgb"
    choose_view_entry 2
    wait_picture_differs "$TEST_DIR/turned_smooth.rgb"
    capture_stable "$TEST_DIR/turned_coarse.rgb"
    ! cmp -s "$TEST_DIR/turned_coarse.rgb" "$TEST_DIR/coarse.rgb" || fail "switching to coarse reset the view"
    choose_view_entry 2
    wait_picture_equals "$TEST_DIR/turned_smooth.rgb"

    [ "$(sed -n '/^Randering\.\.$/,$p' "$RUN_DIR/out" | tr '\n' '|')" = "Randering..|Form factors exported to FF.TXT|Rendering with patch radiosities..|Radnering with vertex radiosities..|Rendering with patch radiosities..|Radnering with vertex radiosities..|" ] ||
        fail "viewer messages: $(sed -n '/^Randering/,$p' "$RUN_DIR/out")"
    press Escape
    expect_exit_code 0
    expect_cleaned_up
}

# The run ends on a switch whose colour file is gone or unreadable; the exit
# handler still erases what is left and prints the end message.
# Arguments: what to do to the files, how many switches, code, stderr.
colour_reload_failure() {
    write_scene
    start_x
    start_viewer
    (cd "$RUN_DIR" && eval "$1")
    local i
    for ((i = 1; i < $2; i++)); do
        choose_view_entry 2
        wait_for_line "Rendering with patch radiosities.."
    done
    choose_view_entry 2
    expect_exit_code "$3"
    expect_stderr "$4"
    expect_cleaned_up
}

test_smooth_without_vertrad_ends_with_30() {
    colour_reload_failure "rm VERTRAD.BIN" 2 30 \
        "\aERROR : Couldn't open vertex radiosity binary file : VERTRAD.BIN\n\aERROR : Couldn't erase vertex radiosity binary file : VERTRAD.BIN\n"
}

test_smooth_with_unreadable_vertrad_ends_with_32() {
    colour_reload_failure "rm VERTRAD.BIN && mkdir VERTRAD.BIN" 2 32 \
        "\aERROR : Couldn't read vertex radiosity binary file VERTRAD.BIN\n"
}

test_coarse_without_patchrad_ends_with_20() {
    colour_reload_failure "rm PATCHRAD.BIN" 1 20 \
        "\aERROR : Couldn't open patch radiosity binary file : PATCHRAD.BIN\n\aERROR : Couldn't erase patch radiosity binary file : PATCHRAD.BIN\n"
}

test_coarse_with_unreadable_patchrad_ends_with_23() {
    colour_reload_failure "rm PATCHRAD.BIN && mkdir PATCHRAD.BIN" 1 23 \
        "\aERROR : Couldn't read patch radiosity binary file PATCHRAD.BIN\n"
}

# An export that fails ends the run through the exit handler.
# Arguments: what to do to the files, export entry, code, stderr.
export_failure() {
    write_scene
    start_x
    start_viewer
    (cd "$RUN_DIR" && eval "$1")
    choose_export_entry "$2"
    expect_exit_code "$3"
    expect_stderr "$4"
    expect_cleaned_up
}

test_form_factor_export_without_ff_bin_ends_with_20() {
    export_failure "rm FF.BIN" 1 20 \
        "\aERROR : Couldn't open form factor binary file : FF.BIN\n\aERROR : Couldn't erase form factor binary file : FF.BIN\n"
    [ -f "$RUN_DIR/FF.TXT" ] && [ ! -s "$RUN_DIR/FF.TXT" ] || fail "FF.TXT not left empty"
}

test_form_factor_export_file_not_creatable_ends_with_40() {
    export_failure "mkdir FF.TXT" 1 40 "\aERROR : Couldn't create form factor export file : FF.TXT\n"
}

test_patch_export_file_not_creatable_ends_with_41() {
    export_failure "mkdir PATCHES.TXT" 2 41 "\aERROR : Couldn't create patch vertices export file : PATCHES.TXT\n"
}

test_solution_export_file_not_creatable_ends_with_42() {
    export_failure "mkdir SOLUTION.TXT" 3 42 "\aERROR : Couldn't create radiosity solution export file : SOLUTION.TXT\n"
}

# ---------------------------------------------------------------- navigation

test_keys_turn_and_move_the_view_and_f1_restores_it() {
    write_scene
    start_x
    start_viewer
    capture_stable "$TEST_DIR/start.rgb"
    local key
    for key in Left Up Right Down Next Home End Delete; do
        press "$key"
        wait_picture_differs "$TEST_DIR/start.rgb"
        press F1
        wait_picture_equals "$TEST_DIR/start.rgb"
    done

    # Four steps one way and four back, or 24 steps (a full turn), come back
    # to the start up to rounding in the accumulated matrix.
    press Left Left Left Left Right Right Right Right
    capture_stable "$TEST_DIR/back.rgb"
    [ "$(pixels_differing "$TEST_DIR/start.rgb" "$TEST_DIR/back.rgb")" -le 40 ] || fail "Left x4, Right x4 moved the view"
    press Left Left Left Left Left Left Left Left Left Left Left Left
    capture_stable "$TEST_DIR/half.rgb"
    [ "$(pixels_differing "$TEST_DIR/start.rgb" "$TEST_DIR/half.rgb")" -gt 1000 ] || fail "Left x12 is no half turn"
    press Left Left Left Left Left Left Left Left Left Left Left Left
    capture_stable "$TEST_DIR/full.rgb"
    [ "$(pixels_differing "$TEST_DIR/start.rgb" "$TEST_DIR/full.rgb")" -le 40 ] || fail "Left x24 is no full turn"

    # The view menu's "reset" does what F1 does.
    press Down
    wait_picture_differs "$TEST_DIR/start.rgb"
    choose_view_entry 1
    wait_picture_equals "$TEST_DIR/start.rgb"

    # A resize returns to the configured camera.
    press Right
    wait_picture_differs "$TEST_DIR/start.rgb"
    xdotool windowsize "$WINDOW" 330 250
    wait_until "the window at 330 x 250" size_is "330 250"
    xdotool windowsize "$WINDOW" 320 240
    wait_until "the window at 320 x 240" size_is "320 240"
    wait_picture_equals "$TEST_DIR/start.rgb"
    press Escape
    expect_exit_code 0
}

test_keys_without_function_and_a_click_change_nothing() {
    write_scene
    start_x
    start_viewer
    capture_stable "$TEST_DIR/start.rgb"
    press Prior Insert F2 F3 F4 F5 F6 F7 F8 F9 F10 F11 F12 a
    xdotool mousemove --window "$WINDOW" 100 100 click 1
    # None of them redraws; two colour switches redraw with whatever view
    # they left.
    choose_view_entry 2
    wait_for_line "Rendering with patch radiosities.."
    choose_view_entry 2
    wait_for_line "Radnering with vertex radiosities.."
    sleep 0.3
    wait_picture_equals "$TEST_DIR/start.rgb"
    press Escape
    expect_exit_code 0
}

test_left_drag_turns_by_offset_from_the_press_point() {
    write_scene
    start_x
    start_viewer
    capture_stable "$TEST_DIR/start.rgb"
    xdotool mousemove --window "$WINDOW" 100 100 mousedown 1
    xdotool mousemove --window "$WINDOW" 160 100
    wait_picture_differs "$TEST_DIR/start.rgb"
    capture_stable "$TEST_DIR/one.rgb"
    xdotool mousemove --window "$WINDOW" 160 101
    wait_picture_differs "$TEST_DIR/one.rgb"
    capture_stable "$TEST_DIR/two.rgb"
    # Back at the press point: an offset of zero turns by nothing.
    xdotool mousemove --window "$WINDOW" 100 100
    sleep 0.5
    capture_stable "$TEST_DIR/three.rgb"
    cmp -s "$TEST_DIR/two.rgb" "$TEST_DIR/three.rgb" || fail "a motion back to the press point turned the view"
    xdotool mouseup 1
    # Released: motion turns nothing any more (checked after a forced redraw).
    xdotool mousemove --window "$WINDOW" 200 150
    press F1
    wait_picture_equals "$TEST_DIR/start.rgb"
    press Escape
    expect_exit_code 0
}

# ---------------------------------------------------------------- full screen

test_full_screen_returns_to_configured_geometry_without_window_manager() {
    # Without a window manager freeglut sizes the window to the screen and
    # moves it by minus its own position, and on the way back re-applies the
    # size from before full screen.
    write_scene 0 40 30 320 240
    start_x
    start_viewer
    capture_stable "$TEST_DIR/start.rgb"
    # The user moves and resizes the window first.
    xdotool windowmove "$WINDOW" 200 200 windowsize "$WINDOW" 400 300
    wait_for_geometry "200 200 400 300"
    press space
    wait_until "full screen" size_is "800 600"
    press space
    wait_for_geometry "40 30 320 240"
    sleep 0.5
    geometry_is "40 30 320 240" || fail "window went to $(window_geometry "$WINDOW") after reaching its configured geometry"
    # Back at the configured size the picture is the start-up one.
    wait_picture_equals "$TEST_DIR/start.rgb"

    # The menu's third entry switches like the space bar.
    choose_view_entry 3
    wait_until "full screen" size_is "800 600"
    press space
    wait_for_geometry "40 30 320 240"
    press Escape
    expect_exit_code 0
}

test_full_screen_returns_to_configured_geometry_with_window_manager() {
    write_scene 0 40 30 320 240
    start_x
    start_window_manager
    start_viewer
    local start
    start=$(window_geometry "$WINDOW")
    size_is "320 240" || fail "window size $(window_geometry "$WINDOW")"
    capture_view_menu "$TEST_DIR/menu_windowed.rgb"
    # The user moves and resizes the window first.
    xdotool windowmove "$WINDOW" 300 250 windowsize "$WINDOW" 360 280
    wait_until "the resized window" size_is "360 280"

    choose_view_entry 3
    wait_for_geometry "0 0 800 600"
    capture_view_menu "$TEST_DIR/menu_full.rgb"
    ! cmp -s "$TEST_DIR/menu_windowed.rgb" "$TEST_DIR/menu_full.rgb" || fail "entry 3 not relabelled 'windowed'"

    choose_view_entry 3
    wait_for_geometry "$start"
    sleep 0.5
    geometry_is "$start" || fail "window went to $(window_geometry "$WINDOW") after reaching its start-up geometry"
    capture_view_menu "$TEST_DIR/menu_back.rgb"
    cmp -s "$TEST_DIR/menu_windowed.rgb" "$TEST_DIR/menu_back.rgb" || fail "entry 3 not relabelled 'fullscreen'"

    # The space bar does the same.
    press space
    wait_for_geometry "0 0 800 600"
    press space
    wait_for_geometry "$start"
    press Escape
    expect_exit_code 0
    expect_cleaned_up
}

# ---------------------------------------------------------------- runner

passed=0
failed=0
started=$(date +%s)
for name in $(declare -F | awk '{ print $3 }' | grep '^test_' | grep -E -- "${VIEWER_TESTS:-.}"); do
    TEST_DIR=$ROOT/$name
    RUN_DIR=$TEST_DIR/run
    mkdir -p "$RUN_DIR"
    (trap stop_started EXIT; "$name")
    status=$?
    if [ "$status" = 0 ]; then
        echo "PASS $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name (status $status)"
        failed=$((failed + 1))
    fi
done
echo "viewer tests took $(($(date +%s) - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
