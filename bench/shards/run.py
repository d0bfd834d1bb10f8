#!/usr/bin/env python3
"""Every core and shards: one generated image (page-cached) scanned by one process
(--jobs 1), by two workers (--jobs 2), and as two shards (--range) merged with salvor merge.
Checks that every way gives the same report entries and prints seconds, MB/s, the speed-up
over --jobs 1 and the peak memory of the largest process (medians of several runs).

--scan-only leaves out the work after the scan (the fragment search and the gallery), whose
share of the time depends on how many damaged files and pictures the image holds.

Usage: bench/shards/run.py [--size-gib 2] [--runs 3] [--scan-only] [--work DIR] [--salvor PATH]
"""
import argparse
import glob
import os
import re
import shutil
import statistics
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench", "speed"))
from run import make_image, timed  # noqa: E402

MIB = 1 << 20


def entries(report):
    with open(report, encoding="utf-8") as f:
        text = f.read()
    return sorted(re.findall(r"<fileobject>.*?</fileobject>", text, re.S))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-gib", type=float, default=2.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scan-only", action="store_true")
    parser.add_argument("--work", default="/tmp/salvor-bench-shards")
    parser.add_argument("--salvor", default=os.path.join(ROOT, "build", "bin", "salvor"))
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    image = os.path.join(args.work, "image.img")
    size = int(args.size_gib * (1 << 30))
    if not os.path.exists(image) or os.path.getsize(image) != size:
        media = [p for p in glob.glob(os.path.join(ROOT, "testdata", "corpus", "**", "*"),
                                      recursive=True) if os.path.isfile(p)]
        make_image(image, size, media)
    half = size // 2 // 512 * 512
    out = os.path.join(args.work, "out")
    salvor = args.salvor
    extra = " --rebuild-time 0 --no-gallery" if args.scan_only else ""
    ways = {
        "--jobs 1": f"'{salvor}' scan '{image}' -o '{out}/one' -q --jobs 1{extra}",
        "--jobs 2": f"'{salvor}' scan '{image}' -o '{out}/two' -q --jobs 2{extra}",
        "2 shards + merge": (
            f"'{salvor}' scan '{image}' -o '{out}/a' -q --range 0:{half}{extra} && "
            f"'{salvor}' scan '{image}' -o '{out}/b' -q --range {half}:{size - half}{extra} && "
            f"'{salvor}' merge '{out}/a' '{out}/b' -o '{out}/merged' -q{extra}"),
    }
    reports = {"--jobs 1": "one", "--jobs 2": "two", "2 shards + merge": "merged"}
    timed(f"cat '{image}' > /dev/null")
    results = {}
    for name, cmd in ways.items():
        times, peaks = [], []
        for _ in range(args.runs):
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            seconds, peak, _ = timed(cmd)
            times.append(seconds)
            peaks.append(peak)
        results[name] = (statistics.median(times), max(peaks),
                         entries(os.path.join(out, reports[name], "report.xml")))
    base = results["--jobs 1"]
    print(f"image: {size / (1 << 30):.1f} GiB, {len(base[2])} files, {os.cpu_count()} cores")
    print("| way | seconds | MB/s | vs --jobs 1 | peak memory | same entries |")
    print("|---|--:|--:|--:|--:|---|")
    for name, (seconds, peak, found) in results.items():
        print(f"| {name} | {seconds:.2f} | {size / MIB / seconds:.0f} | "
              f"{base[0] / seconds:.2f}x | {peak / 1024:.0f} MiB | "
              f"{'yes' if found == base[2] else 'NO'} |")


if __name__ == "__main__":
    sys.exit(main())
