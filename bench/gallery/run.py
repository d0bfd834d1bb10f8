#!/usr/bin/env python3
"""Gallery benchmark: thumbnails and the page that shows them.

- Thumbnail share: of the photos and of the movies recovered from the demo card
  (scripts/make-demo-card.sh) and from the recovery benchmark's FAT32 card (bench/recovery),
  how many got a thumbnail, read from the page's own data.
- Cost: the scan of a media-dense card with and without the gallery (--no-gallery), median of
  several runs, page-cached, rebuilding off.
- Opening: a recovery of 10,000 small photos; the time Chromium takes to open its index.html
  (wall time of a headless run, against the same run on an empty page) and the page's own time
  from its start to its tiles (data-ready).

Usage: bench/gallery/run.py [--work DIR] [--salvor PATH] [--runs 3] [--tiles 10000]
"""
import argparse
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PHOTOS = {"jpg", "png", "gif", "bmp", "tif", "heic", "webp", "psd", "cr2", "nef", "arw", "dng",
          "orf", "rw2", "raf", "crw", "cr3", "x3f", "mrw", "jp2", "avif"}
MOVIES = {"mp4", "mov", "avi", "mkv", "webm", "mts", "m2ts", "ts", "mpg", "3gp", "wmv", "m4v"}
CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--window-size=1600,1000"]


def sh(cmd):
    subprocess.run(cmd, shell=True, check=True)


def scan(salvor, image, out, *extra):
    shutil.rmtree(out, ignore_errors=True)
    start = time.monotonic()
    proc = subprocess.run([salvor, "scan", image, "-o", out, "-q", "--rebuild-time", "0", *extra],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.monotonic() - start
    if proc.returncode not in (0, 7):
        sys.exit(f"gallery: salvor failed ({proc.returncode}): {proc.stderr}")
    return seconds


def page_files(out):
    """The page's data: [path, type, size, date, original, damaged, thumbnail, width, height]."""
    text = open(os.path.join(out, "index.html"), encoding="utf-8").read()
    data = re.search(r'<script id="data" type="application/json">(.*?)</script>', text, re.S)
    return json.loads(data.group(1))


def shares(files):
    row = {}
    for name, kinds in (("photos", PHOTOS), ("movies", MOVIES)):
        picked = [f for f in files if f[1] in kinds]
        with_thumb = sum(1 for f in picked if f[6])
        row[name] = (with_thumb, len(picked))
    return row


def share_text(done, total):
    return f"{done}/{total} ({100.0 * done / total:.1f}%)" if total else "-"


def recovery_bench():
    sys.path.insert(0, os.path.join(ROOT, "bench", "recovery"))
    path = os.path.join(ROOT, "bench", "recovery", "run.py")
    module = types.ModuleType("recovery_bench")
    module.__file__ = path
    with open(path, encoding="utf-8") as f:
        exec(compile(f.read(), path, "exec"), module.__dict__)
    return module


def bench_card(work):
    """The recovery benchmark's FAT32 card (deleted photos, movies and sound)."""
    card = os.path.join(work, "card-fat32.img")
    if not os.path.exists(card):
        recovery = recovery_bench()
        files = recovery.make_media(os.path.join(work, "media"))
        recovery.build_fat_images(files, work, random.Random(20261206))
    return card


def dense_card(work, media, photos, camera=False):
    """Media back to back, sector-aligned: the bench card's media once and `photos` distinct
    2048x1536 JPEGs, every file different, so that no thumbnail is shared between copies.
    Without `camera` the JPEGs have no EXIF thumbnail, so each is decoded at 1/8 (the worst
    case); with it each carries a 160x120 one, as camera and phone photos do."""
    image = os.path.join(work, f"dense-{photos}{'-camera' if camera else ''}.img")
    if os.path.exists(image):
        return image
    made = os.path.join(work, "dense-camera" if camera else "dense-photos")
    os.makedirs(made, exist_ok=True)
    for k in range(photos):
        path = os.path.join(made, f"p{k}.jpg")
        if not os.path.exists(path):
            sh(f"convert -seed {k} -size 2048x1536 plasma:fractal -quality 90 {path}")
            if camera:
                sh(f"convert {path} -resize 160x120 {path}.thumb.jpg && exiftool -q "
                   f"-overwrite_original '-ThumbnailImage<={path}.thumb.jpg' {path} && "
                   f"rm {path}.thumb.jpg")
    names = sorted(os.path.join(media, n) for n in os.listdir(media))
    names += sorted(os.path.join(made, n) for n in os.listdir(made))
    with open(image, "wb") as out:
        for path in names:
            with open(path, "rb") as f:
                out.write(f.read())
            out.write(os.urandom(512 - out.tell() % 512 + 512))
    return image


def many_photos(work, count):
    """`count` small JPEGs, each made unique by a comment segment, one per few sectors."""
    image = os.path.join(work, f"photos-{count}.img")
    if os.path.exists(image):
        return image
    src = os.path.join(work, "small.jpg")
    sh(f"convert -size 160x120 plasma:fractal -seed 3 -quality 80 {src}")
    base = open(src, "rb").read()
    with open(image, "wb") as out:
        for i in range(count):
            comment = f"photo {i}".encode()
            photo = base[:2] + b"\xff\xfe" + (len(comment) + 2).to_bytes(2, "big") + comment + base[2:]
            out.write(photo)
            out.write(os.urandom(512 - out.tell() % 512 + 512))
        out.write(bytes(8192))
    return image


def chromium_seconds(url, runs):
    times, ready = [], []
    for _ in range(runs):
        start = time.monotonic()
        dom = subprocess.run(CHROMIUM + ["--dump-dom", url], capture_output=True, text=True).stdout
        times.append(time.monotonic() - start)
        found = re.search(r'data-ready="(\d+)"', dom)
        if found:
            ready.append(int(found.group(1)))
    return statistics.median(times), (statistics.median(ready) if ready else None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "bench-gallery"))
    parser.add_argument("--salvor", default=os.path.join(ROOT, "build", "bin", "salvor"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--tiles", type=int, default=10000)
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    out = os.path.join(args.work, "out")

    demo = os.path.join(args.work, "demo.img")
    if not os.path.exists(demo):
        sh(f"{ROOT}/scripts/make-demo-card.sh {demo} >/dev/null")
    card = bench_card(args.work)
    print("Thumbnail share (files with a thumbnail / recovered)")
    print(f"  {'card':<12} {'photos':>18} {'movies':>18}")
    for name, image in (("demo", demo), ("bench", card)):
        scan(args.salvor, image, out)
        row = shares(page_files(out))
        print(f"  {name:<12} {share_text(*row['photos']):>18} {share_text(*row['movies']):>18}")

    for camera in (False, True):
        dense = dense_card(args.work, os.path.join(args.work, "media"), 40, camera)
        print(f"\nScan time of a media-dense card ({os.path.getsize(dense) >> 20} MiB, JPEGs "
              f"{'with' if camera else 'without'} EXIF thumbnails), median of {args.runs}")
        scan(args.salvor, dense, out, "--no-gallery")  # page cache
        without = statistics.median(scan(args.salvor, dense, out, "--no-gallery")
                                    for _ in range(args.runs))
        with_gallery = statistics.median(scan(args.salvor, dense, out)
                                         for _ in range(args.runs))
        files = len(page_files(out))
        print(f"  without gallery  {without:6.2f} s\n  with gallery     {with_gallery:6.2f} s"
              f"  (+{100 * (with_gallery / without - 1):.0f}%, {files} files)")

    photos = many_photos(args.work, args.tiles)
    scan(args.salvor, photos, out)
    count = len(page_files(out))
    empty = os.path.join(args.work, "empty.html")
    with open(empty, "w") as f:
        f.write("<!DOCTYPE html><title>empty</title>")
    base, _ = chromium_seconds("file://" + empty, args.runs)
    wall, ready = chromium_seconds("file://" + os.path.join(out, "index.html"), args.runs)
    size = os.path.getsize(os.path.join(out, "index.html"))
    print(f"\nOpening a gallery of {count} files ({size >> 10} KiB page) in headless Chromium,"
          f" median of {args.runs}")
    print(f"  wall time {wall:.2f} s (an empty page: {base:.2f} s; difference {wall - base:.2f} s)")
    print(f"  page start to tiles laid out: {ready} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
