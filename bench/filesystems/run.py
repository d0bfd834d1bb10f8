#!/usr/bin/env python3
"""File-system benchmark: a FAT32 camera card with live and deleted photos in DCIM folders.

1. Names: of the recovered photos whose directory entry survives, how many get their original
   path (the goal is all of them). PhotoRec keeps no names: 0%.
2. Quick format: the same card formatted again with mkfs.fat; how many photos get their
   original folder and name back from the folders the new file system no longer reaches.
3. Free space: a card whose live files fill most of it; time and bytes of `--free-space`
   against the whole scan.

Usage: bench/filesystems/run.py [--photos 200] [--work DIR] [--salvor PATH]
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIB = 1 << 20


def run(command, **kwargs):
    subprocess.run(command, shell=True, check=True, **kwargs)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def make_photos(folder, count):
    os.makedirs(folder, exist_ok=True)
    photos = []
    for i in range(count):
        path = os.path.join(folder, "IMG_%04d.JPG" % (i + 1))
        if not os.path.exists(path):
            run("convert -seed %d -size 800x600 plasma:fractal -quality 90 '%s'" % (i + 1, path))
        photos.append(path)
    return photos


def make_card(card, size_mib, photos, deleted_every, live_mib):
    """FAT32 card: photos spread over three DCIM folders, every `deleted_every`-th deleted,
    and `live_mib` MiB of live non-photo files."""
    run("rm -f '%s' && truncate -s %dM '%s' && mkfs.fat -F 32 '%s' >/dev/null"
        % (card, size_mib, card, card))
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    run("mmd -i '%s' ::/DCIM ::/DCIM/100CAM01 ::/DCIM/101CAM01 ::/DCIM/102CAM01" % card, env=env)
    expected = {}
    for i, photo in enumerate(photos):
        target = "::/DCIM/%dCAM01/%s" % (100 + i % 3, os.path.basename(photo))
        run("mcopy -i '%s' '%s' '%s'" % (card, photo, target), env=env)
        expected[sha256(photo)] = (target[2:], i % deleted_every == 0)
    for i in range(live_mib // 64):
        blob = card + ".blob"
        run("head -c %d /dev/urandom > '%s'" % (64 * MIB, blob))
        run("mcopy -i '%s' '%s' ::/VIDEO%02d.BIN" % (card, blob, i), env=env)
        os.remove(blob)
    for digest, (path, deleted) in expected.items():
        if deleted:
            run("mdel -i '%s' '::%s'" % (card, path), env=env)
    return expected


def scan(salvor, card, out, *options):
    shutil.rmtree(out, ignore_errors=True)
    start = time.monotonic()
    subprocess.run([salvor, "scan", card, "-o", out, "-q", "--list-only", "--rebuild-time", "0",
                    *options], check=True)
    seconds = time.monotonic() - start
    with open(os.path.join(out, "report.xml"), encoding="utf-8") as f:
        report = f.read()
    entries = {}
    for block in report.split("<fileobject>")[1:]:
        digest = re.search(r'<hashdigest type="sha256">([0-9a-f]+)<', block)
        path = re.search(r"<salvor:original_path[^>]*>([^<]*)<", block)
        if digest:
            entries[digest.group(1)] = path.group(1) if path else None
    with open(os.path.join(out, "salvor.log"), encoding="utf-8") as f:
        log = f.read()
    return entries, seconds, log


def same_place(recovered, original, formatted):
    """The original folder and name; a deleted 8.3 name keeps all but its first letter. After
    a format, the folders' own names in the old root are gone: the last folder must match."""
    if recovered is None:
        return False
    a, b = os.path.basename(recovered), os.path.basename(original)
    if a != b and (len(a) != len(b) or a[1:] != b[1:]):
        return False
    if formatted:
        return os.path.basename(os.path.dirname(recovered)) == \
            os.path.basename(os.path.dirname(original))
    return os.path.dirname(recovered) == os.path.dirname(original)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--photos", type=int, default=200)
    parser.add_argument("--work", default="/tmp/salvor-bench-filesystems")
    parser.add_argument("--salvor", default=os.path.join(ROOT, "build", "bin", "salvor"))
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    photos = make_photos(os.path.join(args.work, "photos"), args.photos)
    card = os.path.join(args.work, "card.img")

    expected = make_card(card, 1024, photos, 3, 0)
    found, _, _ = scan(args.salvor, card, os.path.join(args.work, "names"))
    named = sum(1 for d, (path, _) in expected.items() if same_place(found.get(d), path, False))
    deleted = sum(1 for _, (_, gone) in expected.items() if gone)
    print("names: %d photos (%d deleted), %d recovered, %d with their original path (%.0f%%)"
          % (len(expected), deleted, sum(1 for d in expected if d in found), named,
             100.0 * named / len(expected)))

    run("mkfs.fat -F 32 '%s' >/dev/null" % card)
    found, _, log = scan(args.salvor, card, os.path.join(args.work, "formatted"))
    folder = sum(1 for d, (path, _) in expected.items() if same_place(found.get(d), path, True))
    line = re.search(r"folders the file system no longer reaches: .*", log)
    print("quick format: %d recovered, %d with their folder and name (%.0f%%); log: %s"
          % (sum(1 for d in expected if d in found), folder, 100.0 * folder / len(expected),
             line.group(0) if line else "-"))

    expected = make_card(card, 1024, photos, 3, 768)
    run("cat '%s' > /dev/null" % card)  # page-cached: the scan, not the disk
    whole, whole_seconds, _ = scan(args.salvor, card, os.path.join(args.work, "whole"))
    free, free_seconds, log = scan(args.salvor, card, os.path.join(args.work, "free"),
                                   "--free-space")
    scanned = re.search(r"salvor: scanning (.*)", log)
    gone = [d for d, (_, deleted) in expected.items() if deleted]
    print("free space: whole scan %.2f s, %d deleted photos of %d; --free-space %.2f s "
          "(%.2fx), %d of %d; %s"
          % (whole_seconds, sum(1 for d in gone if d in whole), len(gone), free_seconds,
             free_seconds / whole_seconds, sum(1 for d in gone if d in free), len(gone),
             scanned.group(1) if scanned else "-"))


if __name__ == "__main__":
    sys.exit(main())
