#!/usr/bin/env bash
# Builds a FAT32 memory-card image like a camera leaves it, with the sample photos in
# DCIM/100DEMO, then deletes them: their directory entries are marked deleted (the short name
# loses its first letter), their data is still there.
# Usage: scripts/make-demo-card.sh CARD.IMG [CORPUS_DIR]
set -euo pipefail
card=$1
corpus=${2:-"$(cd "$(dirname "$0")/.." && pwd)/testdata/corpus"}
for tool in mkfs.fat mcopy mdel mmd; do
  command -v "$tool" >/dev/null || { echo "make-demo-card: $tool is missing (Debian: dosfstools, mtools)" >&2; exit 1; }
done
export MTOOLS_SKIP_CHECK=1
rm -f "$card"
truncate -s 64M "$card"
mkfs.fat -F 32 -n DEMOCARD "$card" >/dev/null
mmd -i "$card" ::DCIM ::DCIM/100DEMO
count=0
for photo in "$corpus"/jpg/*.jpg "$corpus"/tiff/*.tiff "$corpus"/heic/*; do
  [ -f "$photo" ] || continue
  mcopy -i "$card" "$photo" "::DCIM/100DEMO/$(basename "$photo")"
  count=$((count + 1))
done
mdel -i "$card" '::DCIM/100DEMO/*'
echo "Demo card $card: $count photos copied to a FAT32 file system, then deleted."
