#!/usr/bin/env python3
"""Evidence image benchmark: one generated card scanned as a raw image, as an E01 (deflate,
as ewfacquire writes it), as AFF and as a split raw image. Checks that every form gives exactly
the raw image's files (names and SHA-256) and prints MB/s (of media), the ratio to the raw
scan and peak memory, medians of several runs. The card is page-cached, so the figures show
the decompression cost, not the disk.

Usage: bench/images/run.py [--size-mib 768] [--runs 3] [--work DIR] [--salvor PATH]
"""
import argparse
import glob
import hashlib
import os
import shutil
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench", "speed"))
from run import make_image, timed  # noqa: E402

MIB = 1 << 20


def recovered(out):
    files = {}
    for base, _, names in os.walk(out):
        for name in names:
            if name[0] in "fb" and "." in name and base != out:
                with open(os.path.join(base, name), "rb") as f:
                    files[os.path.relpath(os.path.join(base, name), out)] = \
                        hashlib.sha256(f.read()).hexdigest()
    return files


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=768)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--work", default="/tmp/salvor-bench-images")
    parser.add_argument("--salvor", default=os.path.join(ROOT, "build", "bin", "salvor"))
    args = parser.parse_args()
    for tool in ("ewfacquire", "affconvert", "split"):
        if not shutil.which(tool):
            sys.exit(f"images: {tool} is missing (scripts/deps.sh installs it)")
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    corpus = os.path.join(ROOT, "testdata", "corpus")
    media = [os.path.join(b, n) for b, _, ns in os.walk(corpus) for n in ns
             if not n.endswith((".md", "README"))]
    raw = os.path.join(work, "card.raw")
    make_image(raw, args.size_mib * MIB, media)
    run = lambda cmd: subprocess.run(cmd, shell=True, cwd=work, check=True,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run("ewfacquire -u -q -c deflate:fast -t card card.raw")
    run("cp card.raw aff.raw && affconvert -q aff.raw && rm aff.raw")
    run("split -b 256M -d -a 3 --numeric-suffixes=1 card.raw split.")
    sources = [("raw", "card.raw", "card.raw"), ("E01", "card.E01", "card.E??"),
               ("AFF", "aff.aff", "aff.aff"), ("split raw", "split.001", "split.*")]
    # What the codec alone costs: the image read whole by its own library's tool.
    codec = {"E01": "ewfexport -q -u -f raw -t - card.E01", "AFF": "affcat aff.aff"}
    print(f"card: {args.size_mib} MiB of mixed data and corpus media; page-cached; "
          "scan only (--rebuild-time 0)")
    print(f"{'source':10} {'on disk':>10} {'MB/s':>8} {'vs raw':>7} {'peak MiB':>9} "
          f"{'codec MB/s':>11}  files")
    expected = None
    raw_speed = None
    for name, source, files_glob in sources:
        path = os.path.join(work, source)
        on_disk = sum(os.path.getsize(f) for f in glob.glob(os.path.join(work, files_glob)))
        subprocess.run(f"cat '{work}'/{files_glob} > /dev/null", shell=True)
        times, peaks = [], []
        for _ in range(args.runs):
            out = os.path.join(work, "out")
            shutil.rmtree(out, ignore_errors=True)
            # The scan alone: the rebuilding after it reads little and costs the same for all.
            seconds, peak, code = timed(
                f"'{args.salvor}' scan '{path}' -o '{out}' -q --rebuild-time 0")
            times.append(seconds)
            peaks.append(peak)
        files = recovered(os.path.join(work, "out"))
        if expected is None:
            expected = files
        same = "same as raw" if files == expected else "DIFFERENT from raw"
        speed = args.size_mib * MIB / 1e6 / statistics.median(times)
        raw_speed = raw_speed or speed
        alone = "-"
        if name in codec:
            decode = statistics.median(
                timed(f"cd '{work}' && {codec[name]} >/dev/null")[0] for _ in range(args.runs))
            alone = f"{args.size_mib * MIB / 1e6 / decode:.0f}"
        print(f"{name:10} {on_disk / MIB:8.0f}Mi {speed:8.0f} {speed / raw_speed:7.2f} "
              f"{max(peaks) / 1024:9.0f} {alone:>11}  {len(files)} {same}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
