#!/usr/bin/env bash
# The scale table: cube rooms and halls of boxes at hemicube_pixel_size 0.1,
# one run each, halvora's batch stages (halvora_bench --batch: halvora's run
# up to the viewer) where its FF.BIN is of a size to write, and halvora-bake
# on one thread. Per run: wall, user and system seconds and peak RSS
# (/usr/bin/time), the bytes the run handed to write() (wchar of the shell
# that waited for it, which counts its reaped children), and for
# halvora-bake its form-factor rows per second. halvora's and
# halvora-bake's PATCHRAD.BIN and VERTRAD.BIN are compared where both run.
#
# Usage: bench/scale.sh BUILD_DIR [SIZES...]
#   BUILD_DIR  a Release build with -DHALVORA_BENCH=ON (halvora-bake and
#              bench/halvora_bench in it)
#   SIZES      entries "cube:N" or "hall:BOXES" (default: the whole table)
# Each scene directory is made under $TMPDIR (or /tmp) and removed after
# its runs; the largest cube room holds about 8 GB of rows in memory.
set -euo pipefail
build=${1:?usage: bench/scale.sh BUILD_DIR [SIZES...]}
shift
bake=$build/halvora-bake
bench=$build/bench/halvora_bench
for exe in "$bake" "$bench"; do
    [ -x "$exe" ] || { echo "scale.sh: $exe is missing (configure with -DHALVORA_BENCH=ON)" >&2; exit 2; }
done
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(cube:8000 cube:20000 cube:40000 cube:70000 cube:100000 cube:250000 cube:1000000
                                 hall:200 hall:1000 hall:4000 hall:10000)
# halvora writes and reads an FF.BIN of 4 N^2 bytes: run where that is at
# most 6.4 GB (40,000 patches).
halvora_most=40000

# measure LABEL DIR CMD...: one line of the table.
measure() {
    local label=$1 dir=$2
    shift 2
    local times
    times=$(mktemp)
    local wchar
    wchar=$(cd "$dir" && bash -c '/usr/bin/time -f "%e %U %S %M" -o "$0" "$@" >/dev/null 2>stderr.txt; grep "^wchar" /proc/$$/io' "$times" "$@" | awk '{print $2}')
    read -r wall user sys rss < <(tail -1 "$times")
    rm -f "$times"
    local rate
    rate=$({ grep -o 'form factors: \([0-9]*\)/\1 rows, [0-9.]* rows/s' "$dir/stderr.txt" || true; } | tail -1 | sed 's/.*rows, //; s/ rows\/s//')
    printf '| %s | %s | %s | %s | %.0f MiB | %.1f MB | %s |\n' "$label" "$wall" "$user" "$sys" "$(echo "$rss / 1024" | bc -l)" \
        "$(echo "$wchar / 1000000" | bc -l)" "${rate:--}"
}

# The scene directory of the run under way, removed however the script ends.
dir=
trap '[ -n "$dir" ] && rm -rf "$dir"' EXIT

echo '| scene | patches | program | wall s | user s | sys s | peak RSS | bytes written | rows/s |'
echo '|---|---|---|---|---|---|---|---|---|'
for entry in "${sizes[@]}"; do
    kind=${entry%%:*}
    size=${entry#*:}
    dir=$("$bench" --write-scene "$kind" "$size" 0.1)
    patches=$(awk -F'[()]' '{split($(NF-1), g, " "); n += g[1] * g[2]} END {print n}' "$dir/scene.txt")
    name="$kind $size"
    [ "$kind" = hall ] && name="hall of $size boxes"
    if [ "$patches" -le "$halvora_most" ]; then
        measure "$name | $patches | halvora" "$dir" "$bench" --batch .
        mkdir "$dir/halvora"
        mv "$dir/PATCHRAD.BIN" "$dir/VERTRAD.BIN" "$dir/halvora/"
        rm -f "$dir/FF.BIN" "$dir/PATCH.BIN"
    fi
    measure "$name | $patches | halvora-bake -j 1" "$dir" "$bake" -j 1
    if [ -d "$dir/halvora" ]; then
        # halvora-bake erases its binary files at the end; it runs once more
        # keeping them (FF.BIN written too), untimed, for the comparison.
        (cd "$dir" && "$bake" -j 1 --keep >/dev/null 2>&1)
        for file in PATCHRAD.BIN VERTRAD.BIN; do
            cmp -s "$dir/$file" "$dir/halvora/$file" || echo "scale.sh: $name: $file differs from halvora's" >&2
        done
    fi
    rm -rf "$dir"
    dir=
done
