#!/usr/bin/env bash
# The one-way floors of src/: every include names a folder the including
# folder may use, and the build itself refuses a header from a floor above.
#
#   base        uses nothing of src/
#   geometry    base
#   formfactor  base geometry
#   solver      base geometry
#   export      base geometry
#   driver      everything but the viewer; the entry point, main.cpp, is
#               built apart from the driver library and hands over to
#               viewer/viewer.h
#   viewer      base geometry export, and driver/config.h alone of the driver
#   bake        base geometry formfactor solver export, and viewer/draw.h of the
#               viewer (halvora-bake's workers, picture, meshes and
#               pre-flight check)
#   import      base geometry (halvora-import's OBJ reader)
# The companions' entry points, bake_main.cpp and import_main.cpp, stand in
# the driver beside halvora's main.cpp and may use bake/ and import/.
#
# Usage: tests/check_layers.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1/src
build=$2
status=0

allowed() {
    case $1 in
    base) echo "base" ;;
    geometry) echo "base geometry" ;;
    formfactor | solver | export) echo "base geometry $1" ;;
    driver) echo "base geometry formfactor solver export driver viewer/viewer.h viewer/draw.h bake import" ;;
    viewer) echo "base geometry export viewer driver/config.h" ;;
    bake) echo "base geometry formfactor solver export viewer/draw.h bake" ;;
    import) echo "base geometry import" ;;
    *) echo "" ;;
    esac
}

for dir in "$src"/*/; do
    folder=$(basename "$dir")
    ok=$(allowed "$folder")
    if [ -z "$ok" ]; then
        echo "src/$folder: a folder the layering does not know"
        status=1
        continue
    fi
    while IFS=: read -r file _ header; do
        header=${header#*\"}
        header=${header%%\"*}
        target=${header%%/*}
        pass=0
        for entry in $ok; do
            [ "$entry" = "$target" ] || [ "$entry" = "$header" ] && pass=1
        done
        if [ $pass -eq 0 ]; then
            echo "${file#"$1"/}: includes $header, above its floor"
            status=1
        fi
    done < <(grep -Hn '^#include "' "$dir"*)
done

# A file that includes the driver from the geometry floor must not compile.
out=$(cmake --build "$build" --target layering_back_include 2>&1)
if echo "$out" | grep -q 'driver/run.h: No such file'; then
    echo "back-include from geometry to the driver: refused by the build"
else
    echo "back-include from geometry to the driver was not refused:"
    echo "$out" | tail -n 20
    status=1
fi
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
