#!/usr/bin/env bash
# Draws the examples with halvora-bake, no display needed, into
# docs/gallery/NAME.png. Each run happens in a scratch copy of the example,
# so no binary file lands in the repository.
# Usage: scripts/gallery.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target halvora-bake >/dev/null
bake="$(pwd)/$build/halvora-bake"

mkdir -p docs/gallery
for example in room cube furnished measured; do
    work=$(mktemp -d "${TMPDIR:-/tmp}/halvora-gallery-XXXXXX")
    cp -r "examples/$example/." "$work"
    (cd "$work" && env -u DISPLAY "$bake" --image "$OLDPWD/docs/gallery/$example.png" >/dev/null)
    rm -rf "$work"
    echo "wrote docs/gallery/$example.png"
done
