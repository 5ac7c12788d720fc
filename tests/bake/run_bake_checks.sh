#!/usr/bin/env bash
# halvora-bake's files checked by other people's programs:
#   viewer  the PNG against the viewer's own window under Xvfb, for the same
#           RADIOSTY.INI, smooth and coarse (the viewer's menu switches it);
#           the two must agree pixel for pixel (measured: 0 of 76,800 pixels
#           differ, largest channel difference 0);
#   gltf    the .glb, smooth and coarse, through the Khronos glTF validator
#           (npm package gltf-validator, installed under the build tree on
#           first use): no errors, no warnings;
#   ply     the .ply read with meshio (Debian's python3-meshio): its points
#           are PATCH.BIN's corners, its colours VERTRAD.BIN's clamped to
#           0..1 and scaled to bytes.
# Usage: run_bake_checks.sh HALVORA HALVORA_BAKE BUILD_DIR viewer|gltf|ply
# Exits 77 (skipped) with a message when the tools a check needs are missing.
set -u
HALVORA=$(realpath "$1")
BAKE=$(realpath "$2")
BUILD=$(realpath "$3")
CHECK=$4
HERE=$(dirname "$(realpath "$0")")
# shellcheck source=../viewer/lib.sh
source "$HERE/../viewer/lib.sh"

skip() {
    echo "SKIPPED: $*"
    exit 77
}

TEST_DIR=$(mktemp -d "${TMPDIR:-/tmp}/halvora-bake-checks-XXXXXX")
RUN_DIR=$TEST_DIR/run
mkdir -p "$RUN_DIR"
trap 'stop_started; rm -rf "$TEST_DIR"' EXIT

# The bake on the scene of lib.sh in a directory of its own, display unset.
bake() {
    local dir=$TEST_DIR/bake
    rm -rf "$dir"
    cp -r "$RUN_DIR" "$dir"
    (cd "$dir" && env -u DISPLAY "$BAKE" --keep "$@" >out 2>err) || fail "halvora-bake $* failed: $(cat "$dir/err")"
}

# Pixels that differ and the largest channel difference of two raw RGB pictures of 320 x 240.
differences() {
    local ae pae
    ae=$(compare -size 320x240 -depth 8 -metric AE "rgb:$1" "rgb:$2" null: 2>&1 | cut -d' ' -f1)
    pae=$(compare -size 320x240 -depth 8 -metric PAE "rgb:$1" "rgb:$2" null: 2>&1 | sed 's/.*(\(.*\))/\1/')
    echo "$ae $pae"
}

check_viewer() {
    for tool in Xvfb xdotool xdpyinfo xwininfo import compare convert; do
        command -v "$tool" >/dev/null || skip "no $tool"
    done
    write_scene 0 40 30 320 240
    start_x
    # Under the sanitizer build, Mesa's GLX driver leaves blocks that
    # LeakSanitizer cannot name (see scripts/test.sh): leak detection is off
    # for the viewer's run only.
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 start_viewer
    capture_stable "$TEST_DIR/window_smooth.rgb"
    choose_view_entry 2
    wait_for_line "Rendering with patch radiosities.."
    wait_picture_differs "$TEST_DIR/window_smooth.rgb"
    capture_stable "$TEST_DIR/window_coarse.rgb"
    press Escape
    expect_exit_code 0

    local mode
    for mode in smooth coarse; do
        bake --image "$TEST_DIR/$mode.png" $([ $mode = coarse ] && echo --coarse)
        convert "png:$TEST_DIR/$mode.png" -depth 8 "rgb:$TEST_DIR/bake_$mode.rgb"
        read -r pixels largest <<<"$(differences "$TEST_DIR/window_$mode.rgb" "$TEST_DIR/bake_$mode.rgb")"
        echo "$mode: $pixels of 76800 pixels differ, largest channel difference $largest (of 1)"
        [ "$pixels" = 0 ] || fail "the $mode picture differs from the viewer's window"
    done
}

check_gltf() {
    command -v node >/dev/null && command -v npm >/dev/null || skip "node and npm are needed for gltf-validator"
    local modules=$BUILD/npm/node_modules/gltf-validator
    if [ ! -d "$modules" ]; then
        mkdir -p "$BUILD/npm"
        npm install --prefix "$BUILD/npm" --no-audit --no-fund --silent gltf-validator >/dev/null 2>&1 ||
            skip "npm could not install gltf-validator"
    fi
    local mode
    for mode in smooth coarse; do
        bake --mesh "$TEST_DIR/$mode.glb" $([ $mode = coarse ] && echo --coarse)
        node -e '
            const validator = require(process.argv[1]);
            const bytes = new Uint8Array(require("fs").readFileSync(process.argv[2]));
            validator.validateBytes(bytes).then((report) => {
                const issues = report.issues;
                console.log(`${process.argv[2]}: ${issues.numErrors} errors, ${issues.numWarnings} warnings`);
                for (const m of issues.messages) console.log(`  ${m.code} ${m.pointer || ""}: ${m.message}`);
                process.exit(issues.numErrors + issues.numWarnings === 0 ? 0 : 1);
            }, (error) => { console.log(String(error)); process.exit(1); });
        ' "$modules" "$TEST_DIR/$mode.glb" || fail "gltf-validator found issues in the $mode mesh"
    done
}

check_ply() {
    /usr/bin/python3 -c 'import meshio, numpy' 2>/dev/null || skip "python3-meshio is needed to read the PLY"
    bake --mesh "$TEST_DIR/room.ply"
    /usr/bin/python3 - "$TEST_DIR/room.ply" "$TEST_DIR/bake" <<'PY' || fail "the PLY does not hold the run's corners and colours"
import sys
import meshio
import numpy as np

mesh = meshio.read(sys.argv[1])
corners = np.fromfile(sys.argv[2] + "/PATCH.BIN", "<f4").reshape(-1, 3)
radiosity = np.fromfile(sys.argv[2] + "/VERTRAD.BIN", "<f4").reshape(-1, 3).astype(float)
expected = np.floor(np.clip(radiosity, 0.0, 1.0) * 255.0 + 0.5)
# meshio hands uchar properties back as int8: read the bytes as unsigned.
colours = np.stack([mesh.point_data[c].astype(np.uint8) for c in ("red", "green", "blue")], axis=1)
triangles = np.concatenate([c.data for c in mesh.cells if c.type == "triangle"])
patches = len(corners) // 4
first = 4 * np.repeat(np.arange(patches), 2)[:, None] + np.tile([[0, 1, 2], [0, 2, 3]], (patches, 1))
header = open(sys.argv[1], "rb").read(1024).split(b"end_header")[0]
checks = {
    "header says z is up": b"\ncomment " in header and b"z up" in header,
    "points are PATCH.BIN": np.array_equal(mesh.points.astype("<f4"), corners),
    "colours are VERTRAD.BIN as bytes": np.array_equal(colours, expected),
    "two triangles per patch over its corners": np.array_equal(triangles, first),
}
for name, ok in checks.items():
    print(("ok  " if ok else "BAD ") + name)
sys.exit(0 if all(checks.values()) else 1)
PY
}

write_scene 0 40 30 320 240
"check_$CHECK"
echo "1 passed, 0 failed"
