#!/usr/bin/env bash
# Builds salvor and its modules, makes a demo memory card whose photos were deleted, and
# recovers them. Sample photos: see testdata/corpus/LICENSE-NOTICE.md.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${SALVOR_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target salvor
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
scripts/make-demo-card.sh "$demo/card.img"
echo
"$build/bin/salvor" scan "$demo/card.img" -o "$demo/recovered"
echo
echo "The recovered photos are in $demo/recovered/ (open them with any image viewer)."
