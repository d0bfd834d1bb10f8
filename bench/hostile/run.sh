#!/bin/bash
# Hostile-image benchmark: for each format, an image whose every 512-byte sector begins with
# that format's header and goes on with random bytes. A header followed by garbage is not a
# file, so the scan should write little, log little and take about as long as on random data.
#
# Prints per format: image size, bytes of recovered files, their ratio to the image, files,
# log size, seconds, and the seconds of the same scan over random data.
# Goals: output under 1.1 times the image, log under 1 MB, time within 3 times random data.
#
# Usage: bench/hostile/run.sh [-m MIB] [-w WORKDIR] [-s SALVOR] [FORMAT...]
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
MIB=64
WORK=$ROOT/build/bench-hostile
SALVOR=$ROOT/build/bin/salvor
while getopts m:w:s: opt; do
  case $opt in
    m) MIB=$OPTARG ;;
    w) WORK=$OPTARG ;;
    s) SALVOR=$OPTARG ;;
    *) sed -n 's/^# \{0,1\}//;/^Usage/p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
FORMATS=(png tiff jpeg gif bmp psd mp4 wav avi ebml mpeg-ps mpeg-ts mp3 flac crw raf mrw x3f)
[ $# -gt 0 ] && FORMATS=("$@")
[ -x "$SALVOR" ] || { echo "hostile: no salvor at $SALVOR; build first" >&2; exit 1; }
mkdir -p "$WORK"

# Writes the image for format $1 (or "random") of $MIB MiB to $2: the header at the start of
# every sector over random bytes, the same random bytes for every format.
make_image() {
  python3 - "$1" "$2" "$MIB" <<'PY'
import os, random, struct, sys, zlib
kind, path, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
be, le = lambda f, *v: struct.pack(">" + f, *v), lambda f, *v: struct.pack("<" + f, *v)

def png():
    ihdr = b"IHDR" + be("IIBBBBB", 64, 48, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + be("I", 13) + ihdr + be("I", zlib.crc32(ihdr))

def tiff():  # width, height, 8 bits, RGB, one strip past the sector, next IFD none
    entries = [(256, 3, 1, 64), (257, 3, 1, 48), (258, 3, 1, 8), (262, 3, 1, 2),
               (273, 4, 1, 0x2000), (279, 4, 1, 64 * 48 * 3)]
    ifd = le("H", len(entries)) + b"".join(le("HHII", *e) for e in entries) + le("I", 0)
    return b"II*\0" + le("I", 8) + ifd

def riff(form, body):
    return b"RIFF" + le("I", 1 << 20) + form + body

HEADERS = {
    "png": png,
    "tiff": tiff,
    "jpeg": lambda: b"\xff\xd8\xff\xe0" + be("H", 16) + b"JFIF\0\1\1\0\0\1\0\1\0\0",
    "gif": lambda: b"GIF89a" + le("HHBBB", 64, 48, 0xF7, 0, 0),
    "bmp": lambda: b"BM" + le("IHHI", 54 + 64 * 48 * 3, 0, 0, 54) +
                   le("IiiHHIIiiII", 40, 64, 48, 1, 24, 0, 64 * 48 * 3, 2835, 2835, 0, 0),
    "psd": lambda: b"8BPS" + be("H", 1) + bytes(6) + be("HIIHH", 3, 48, 64, 8, 3),
    "mp4": lambda: be("I", 24) + b"ftypisom" + be("I", 0x200) + b"isomiso2" +
                   be("I", 1 << 20) + b"mdat",
    "wav": lambda: riff(b"WAVE", b"fmt " + le("IHHIIHH", 16, 1, 2, 44100, 176400, 4, 16) +
                        b"data" + le("I", 1 << 19)),
    "avi": lambda: riff(b"AVI ", b"LIST" + le("I", 192) + b"hdrlavih" + le("I", 56) +
                        le("IIIIIIIIII", 40000, 0, 0, 0x10, 25, 0, 1, 0, 64, 48) + bytes(16)),
    "ebml": lambda: bytes.fromhex("1a45dfa39f4286810142f7810142f2810442f381084282847765626d"
                                  "42878102428581021853806701ffffffffffffff"),
    "mpeg-ps": lambda: bytes.fromhex("000001ba4400040004010189c3f8"),
    "mpeg-ts": lambda: bytes.fromhex("474000100000b00d0001c100000001f0002ab104b2"),
    "mp3": lambda: bytes.fromhex("fffb9064"),
    "flac": lambda: b"fLaC" + bytes([0x80]) + be("I", 34)[1:] + be("HH", 4096, 4096) +
                    bytes(6) + be("Q", (44100 << 44) | (1 << 41) | (15 << 36) | 441000) +
                    bytes(16),
    "crw": lambda: b"II" + le("I", 26) + b"HEAPCCDR" + le("II", 0x00010002, 0) + bytes(4),
    "raf": lambda: (b"FUJIFILMCCD-RAW 0201FF383501" + bytes(0x54 - 28) +
                    be("IIIIII", 0x6C, 0x10000, 0x20000, 0x1000, 0x30000, 0x100000) +
                    b"\xff\xd8\xff\xe1"),
    "mrw": lambda: b"\0MRM" + be("I", 0x28) + b"\0PRD" + be("I", 0x18) +
                   b"21810002" + be("HHHH", 48, 64, 48, 64) + b"\x0c\x0c\x52\0\0\0\0\0" +
                   b"\0TTW" + be("I", 0),
    "x3f": lambda: b"FOVb" + le("HH", 0, 2) + bytes(16) + le("IIII", 0, 64, 48, 0),
}

size = mib << 20
data = bytearray(random.Random(7).randbytes(size))
if kind != "random":
    head = HEADERS[kind]()
    for at in range(0, size, 512):
        data[at:at + len(head)] = head
with open(path, "wb") as out:
    out.write(data)
PY
}

# Scans $1 into a fresh folder $2; prints the wall seconds.
scan() {
  rm -rf "$2"
  local start end
  start=$(date +%s.%N)
  "$SALVOR" scan "$1" -o "$2" -q >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.2f", $2 - $1}'
}

random_image=$WORK/random.img
make_image random "$random_image"
random_seconds=$(scan "$random_image" "$WORK/out")
rm -f "$random_image"

printf '%-8s %9s %14s %8s %8s %10s %8s %8s\n' format image written ratio files log seconds random
for format in "${FORMATS[@]}"; do
  image=$WORK/$format.img
  make_image "$format" "$image"
  seconds=$(scan "$image" "$WORK/out")
  written=$(find "$WORK/out" -mindepth 2 -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  files=$(find "$WORK/out" -mindepth 2 -type f | wc -l)
  log=$(stat -c %s "$WORK/out/salvor.log" 2>/dev/null || echo 0)
  printf '%-8s %8sM %14s %8.2f %8s %10s %8s %8s\n' "$format" "$MIB" "$written" \
    "$(echo "$written $MIB" | awk '{print $1 / ($2 * 1048576)}')" "$files" "$log" \
    "$seconds" "$random_seconds"
  rm -rf "$image" "$WORK/out"
done
