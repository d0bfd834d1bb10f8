#!/usr/bin/env python3
"""Failing-media benchmark: the same generated image scanned clean and with bad areas, and an
image file cut short while it is being scanned.

The bad areas come from the test suite's failing-disk module (tests/faults), which serves the
image through a loop device's name with chosen runs of blocks unreadable: 1% of the sectors, in
clusters. Prints the time of both scans and their ratio, the failed reads, the log size, and
whether every photo outside the bad areas came back whole; then how long the scan of an image
file takes to end after the file is cut short. Needs root (loop devices) and a build with tests.

Usage: bench/badareas/run.py [--size-gib 4] [--bad-percent 1] [--work DIR] [--build DIR]
"""
import argparse
import glob
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIB = 1 << 20
SECTOR = 512


def make_image(path, size, media, seed=7):
    """Random data with media files at sector starts; returns [(offset, size, sha256)]."""
    rng = random.Random(seed)
    placed = []
    with open(path, "wb") as out:
        while out.tell() < size:
            out.write(os.urandom(rng.randint(1, 64) * 64 * 1024))
            out.write(os.urandom((-out.tell()) % SECTOR))
            with open(rng.choice(media), "rb") as f:
                data = f.read()
            if out.tell() + len(data) <= size:
                placed.append((out.tell(), len(data), hashlib.sha256(data).hexdigest()))
                out.write(data)
        out.truncate(size)
    return placed


def bad_runs(sectors, percent, seed=9):
    """Clusters of unreadable sectors, percent of all in total: [(first, last)]."""
    rng = random.Random(seed)
    runs, total = [], 0
    while total < sectors * percent / 100:
        length = rng.randint(8, 512)
        first = rng.randrange(0, sectors - length)
        runs.append((first, first + length - 1))
        total += length
    return sorted(runs)


def scan(salvor, source, out, env, modules=None):
    if os.path.exists(out):
        shutil.rmtree(out)
    cmd = [salvor, "scan", source, "-o", out, "-q"] + (["--modules", modules] if modules else [])
    start = time.monotonic()
    proc = subprocess.run(cmd, env=dict(os.environ, **env), stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    return time.monotonic() - start, proc.returncode


def reported(out):
    text = open(os.path.join(out, "report.xml"), errors="replace").read()
    return {(int(m.group(2)), m.group(3)): m.group(1) for m in re.finditer(
        r"<filename>([^<]*)</filename>.*?img_offset=\"(\d+)\".*?<hashdigest type=\"sha256\">"
        r"([0-9a-f]*)<", text, re.S)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-gib", type=float, default=4)
    parser.add_argument("--bad-percent", type=float, default=1)
    parser.add_argument("--work", default="/tmp/salvor-bench-badareas")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()
    salvor = os.path.join(args.build, "bin", "salvor")
    faulty = os.path.join(args.build, "lib", "salvor", "faultmodules", "svtest_faultydisk.so")
    if not os.path.exists(faulty):
        sys.exit("badareas: build the tests first (" + faulty + " is missing)")
    os.makedirs(args.work, exist_ok=True)
    media = sorted(glob.glob(os.path.join(ROOT, "testdata", "corpus", "*", "*.jp*g")))
    image = os.path.join(args.work, "image.bin")
    size = int(args.size_gib * 1024) * MIB
    print(f"making a {size // MIB} MiB image ...", file=sys.stderr)
    placed = make_image(image, size, media)
    runs = bad_runs(size // SECTOR, args.bad_percent)

    modules = os.path.join(args.work, "modules")
    shutil.rmtree(modules, ignore_errors=True)
    os.makedirs(modules)
    for module in glob.glob(os.path.join(args.build, "lib", "salvor", "modules", "*.so")):
        if os.path.basename(module) != "blockdev.so":
            os.symlink(module, os.path.join(modules, os.path.basename(module)))
    os.symlink(faulty, os.path.join(modules, "faultydisk.so"))
    device = subprocess.run(["losetup", "-f", "--show", image], capture_output=True,
                            text=True, check=True).stdout.strip()
    try:
        env = {"SALVOR_FAULT_DEVICE": device, "SALVOR_FAULT_IMAGE": image}
        clean_out = os.path.join(args.work, "clean")
        bad_out = os.path.join(args.work, "bad")
        clean_seconds, _ = scan(salvor, device, clean_out, env, modules)
        bad_env = dict(env, SALVOR_FAULT_BAD_BLOCKS=",".join(f"{a}-{b}" for a, b in runs))
        bad_seconds, status = scan(salvor, device, bad_out, bad_env, modules)
    finally:
        subprocess.run(["losetup", "-d", device])

    readable = [p for p in placed
                if not any(a * SECTOR < p[0] + p[1] and (b + 1) * SECTOR > p[0] for a, b in runs)]
    found = reported(bad_out)
    whole = sum(1 for offset, _, sha in readable
                if found.get((offset, sha), "").split("/")[-1].startswith("f"))
    log = open(os.path.join(bad_out, "salvor.log"), errors="replace").read()
    # The module logs its reads so far at the end of each scan: the last line counts them all.
    failed = (re.findall(r"reads (\d+), failed (\d+)", log) or [("?", "?")])[-1]
    bad_sectors = sum(b - a + 1 for a, b in runs)

    # An image file cut to half its size a moment into its scan.
    cut = os.path.join(args.work, "cut.bin")
    shutil.copyfile(image, cut)
    cut_out = os.path.join(args.work, "cut")
    shutil.rmtree(cut_out, ignore_errors=True)
    proc = subprocess.Popen([salvor, "scan", cut, "-o", cut_out, "-q"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    os.truncate(cut, size // 2)
    cut_at = time.monotonic()
    cut_status = proc.wait()
    after_cut = time.monotonic() - cut_at
    outcome = re.search(r'status="([^"]*)"', open(os.path.join(cut_out, "report.xml")).read())
    os.remove(cut)

    print(f"| image | {size // MIB} MiB, {len(placed)} photos, {bad_sectors} of "
          f"{size // SECTOR} sectors unreadable in {len(runs)} clusters |")
    print("|---|---|")
    print(f"| clean scan | {clean_seconds:.1f} s |")
    print(f"| scan with bad areas | {bad_seconds:.1f} s ({bad_seconds / clean_seconds:.2f} x "
          f"clean), exit status {status} |")
    print(f"| reads / failed reads | {failed[0]} / {failed[1]} |")
    print(f"| photos outside the bad areas back whole | {whole} of {len(readable)} |")
    print(f"| salvor.log | {os.path.getsize(os.path.join(bad_out, 'salvor.log'))} bytes |")
    print(f"| image cut short mid-scan | ended {after_cut:.2f} s after the cut, status "
          f"{cut_status}, \"{outcome.group(1) if outcome else '?'}\" |")


if __name__ == "__main__":
    main()
