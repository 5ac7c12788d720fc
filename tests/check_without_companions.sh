#!/usr/bin/env bash
# A configure as on a machine with only what halvora itself needs: every
# companion package pretended missing. It must configure, say which
# companions it skips and name every missing package and scripts/deps.sh,
# build halvora, and have no companion target.
# Usage: check_without_companions.sh SOURCE_DIR SCRATCH_BUILD_DIR CXX_COMPILER
set -uo pipefail
source_dir=$1 build=$2 compiler=$3

rm -rf "$build"
log=$(cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$compiler" \
    -DHALVORA_TESTS=OFF -DHALVORA_PRETEND_MISSING=ALL 2>&1) || { echo "$log"; echo "configure failed"; exit 1; }
line=$(grep -F 'Not building halvora-bake and halvora-import: missing' <<<"$log")
[ -n "$line" ] || { echo "$log"; echo "no message about the skipped companions"; exit 1; }
for package in OSMesa libpng tinygltf nlohmann_json tinyobjloader scripts/deps.sh; do
    grep -qF "$package" <<<"$line" || { echo "$line"; echo "the message does not name $package"; exit 1; }
done
cmake --build "$build" -j2 --target halvora >"$build/build.log" 2>&1 || { tail -30 "$build/build.log"; echo "halvora did not build"; exit 1; }
[ -x "$build/halvora" ] || { echo "no $build/halvora"; exit 1; }
for companion in halvora-bake halvora-import; do
    if cmake --build "$build" --target "$companion" >/dev/null 2>&1; then
        echo "$companion is still a target"
        exit 1
    fi
done
rm -rf "$build"
echo "halvora configured and built without the companions' packages"
