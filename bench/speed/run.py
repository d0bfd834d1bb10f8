#!/usr/bin/env python3
"""Speed benchmark: scan a generated image with every shipped module and compare with `cat`
(page-cached) and the open peers, in the same run.

The image mixes random data, zeros, text-like data and media files. Prints MB/s, the ratio to
`cat`, the ratio to each peer and peak memory (from /usr/bin/time -v), medians of several runs,
and peak memory of Salvor on a 1 GiB and on the full-size image (it must not grow). Salvor runs
as installed (the search for the rest of damaged files and the gallery included), with
--aligned, and as the scan alone (--rebuild-time 0 --no-gallery).

Then the unaligned table: an image of the same kinds of data whose media files sit at random
byte offsets, as inside archives or memory dumps, scanned by Salvor with sector starts only
(--aligned), by Salvor searching every byte (its default), and by foremost; Salvor without the
search for the rest of damaged files and without the gallery, which foremost does not make. The same two
Salvor scans also run on the first image, where both find the same files: the cost of the
search itself.
Recall is the share of the placed files that a tool returns byte-identical (SHA-256).

Then the media-dense card: a camera card full of 12-megapixel JPEGs (each with its EXIF
thumbnail and unique), back to back, where decoding each photo to check it and writing it out
take the time; Salvor as installed and without the gallery, beside PhotoRec.

Usage: bench/speed/run.py [--size-gib 4] [--runs 3] [--peer-runs 3] [--no-peers] [--work DIR]
                          [--salvor PATH] [--unaligned-gib 1] [--only-unaligned]
                          [--dense-gib 1] [--only-dense]
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIB = 1 << 20


TEXT = (b"The quick brown fox jumps over the lazy dog. 0123456789 "
        b"Lorem ipsum dolor sit amet, consectetur adipiscing elit.\n") * 512


def write_filler(out, kind, chunk, random_bytes):
    """Random bytes, zeros or text between the media; False for a medium."""
    if kind == "random":
        out.write(random_bytes(chunk))
    elif kind == "zeros":
        out.write(bytes(chunk))
    elif kind == "text":
        for _ in range(chunk // len(TEXT)):
            out.write(TEXT)
    else:
        return False
    return True


def make_image(path, size, media, seed=4):
    rng = random.Random(seed)
    with open(path, "wb") as out:
        while out.tell() < size:
            kind = rng.choice(["random", "zeros", "text", "media"])
            chunk = rng.randint(1, 16) * MIB
            if write_filler(out, kind, chunk, os.urandom):
                continue
            if media:
                if out.tell() % 512:
                    out.write(os.urandom(512 - out.tell() % 512))
                with open(rng.choice(media), "rb") as f:
                    out.write(f.read())
        out.truncate(size)


def make_unaligned_image(path, size, media, seed=6):
    """Like make_image, but each medium starts at a random byte offset. Returns the SHA-256 of
    every file placed whole."""
    rng = random.Random(seed)
    placed = []
    with open(path, "wb") as out:
        while out.tell() < size:
            kind = rng.choice(["random", "zeros", "text", "media", "media"])
            chunk = rng.randint(1, 4) * MIB
            if write_filler(out, kind, chunk, rng.randbytes):
                continue
            if media:
                out.write(rng.randbytes(rng.randint(1, 4095)))
                with open(rng.choice(media), "rb") as f:
                    data = f.read()
                if out.tell() + len(data) <= size:
                    placed.append(hashlib.sha256(data).hexdigest())
                out.write(data)
        out.truncate(size)
    return placed


def recovered_hashes(folder):
    found = set()
    for base, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(base, name), "rb") as f:
                found.add(hashlib.sha256(f.read()).hexdigest())
    return found


def run_unaligned(args, media, out):
    """Salvor aligned and unaligned beside foremost on an image of files at random offsets."""
    size = int(args.unaligned_gib * (1 << 30))
    image = os.path.join(args.work, f"unaligned-{args.unaligned_gib:g}g.img")
    truth_path = image + ".sha256"
    if not os.path.exists(image) or os.path.getsize(image) != size or \
            not os.path.exists(truth_path):
        print(f"speed: generating {image}", file=sys.stderr)
        placed = make_unaligned_image(image, size,
                                      [m for m in media if os.sep + "invalid" + os.sep not in m])
        with open(truth_path, "w") as f:
            f.write("\n".join(placed) + "\n")
    with open(truth_path) as f:
        placed = [line.strip() for line in f if line.strip()]
    subprocess.run(f"cat '{image}' > /dev/null", shell=True)
    # The search alone, as foremost does it: no rebuilding of damaged files, no gallery (the
    # unaligned scan finds 40 times the files, and would make 40 times the thumbnails).
    base = f"'{args.salvor}' scan '{image}' -q --no-file-systems --rebuild-time 0 --no-gallery"
    cmds = {"salvor --aligned": f"rm -rf '{out}/s' && {base} --aligned -o '{out}/s'",
            "salvor": f"rm -rf '{out}/s' && {base} -o '{out}/s'"}
    if not args.no_peers and not shutil.which("foremost") and os.geteuid() == 0:
        subprocess.run("apt-get install -y -qq foremost >/dev/null", shell=True)
    if shutil.which("foremost") and not args.no_peers:
        cmds["foremost"] = f"rm -rf '{out}/f' && foremost -Q -t all -i '{image}' -o '{out}/f'"
    load = os.getloadavg()[0]
    rows = {}
    for name, cmd in cmds.items():
        count = args.peer_runs if name == "foremost" else args.runs
        runs = [timed(cmd) for _ in range(count)]
        seconds = statistics.median(r[0] for r in runs)
        found = recovered_hashes(os.path.join(out, "f" if name == "foremost" else "s"))
        recall = sum(1 for h in placed if h in found) / max(1, len(placed))
        rows[name] = (size / MIB / seconds, recall, max(r[1] for r in runs))
        remove_outputs(out, keep=["scalpel.conf"])
    aligned = rows["salvor --aligned"][0]
    unaligned = rows["salvor"][0]
    print(f"\nunaligned image {size / (1 << 30):g} GiB, {len(placed)} files at random byte "
          f"offsets, medians of {args.runs} runs; load average at start {load:.1f}")
    print(f"{'tool':<18}{'MB/s':>10}{'recall':>9}{'vs aligned':>12}{'unaligned x':>13}"
          f"{'peak MiB':>10}")
    for name, (mbs, recall, peak) in rows.items():
        print(f"{name:<18}{mbs:>10.1f}{recall:>9.3f}{mbs / aligned:>12.3f}{unaligned / mbs:>13.2f}"
              f"{peak / 1024:>10.1f}")


def make_dense_image(path, size, work):
    """Four camera-like photos (12 MP, noisy as a sensor's, an EXIF thumbnail each), copied
    until the image is full, each copy made unique by a comment segment, one per few sectors."""
    photos = []
    for k in range(4):
        photo = os.path.join(work, f"dense-photo{k}.jpg")
        if not os.path.exists(photo):
            subprocess.run(
                f"ffmpeg -loglevel error -y -f lavfi -i 'testsrc2=size=4000x3000:rate=1,"
                f"noise=alls={8 + 3 * k}:allf=t,hue=h={60 * k}' -frames:v 1 -q:v 3 "
                f"-pix_fmt yuvj420p '{photo}' && ffmpeg -loglevel error -y -i '{photo}' "
                f"-vf scale=160:120 '{photo}.thumb.jpg' && exiftool -q -overwrite_original "
                f"'-ThumbnailImage<={photo}.thumb.jpg' '{photo}'; rm -f '{photo}.thumb.jpg'",
                shell=True, check=True)
        with open(photo, "rb") as f:
            photos.append(f.read())
    count = 0
    with open(path, "wb") as out:
        while out.tell() < size - 8 * MIB:
            photo = photos[count % len(photos)]
            comment = f"copy {count}".encode()
            out.write(photo[:2] + b"\xff\xfe" + (len(comment) + 2).to_bytes(2, "big") + comment +
                      photo[2:])
            out.write(os.urandom(512 - out.tell() % 512))
            count += 1
        out.truncate(size)
    return count


def run_dense(args, out):
    size = int(args.dense_gib * (1 << 30))
    image = os.path.join(args.work, f"dense-{args.dense_gib:g}g.img")
    if not os.path.exists(image) or os.path.getsize(image) != size:
        print(f"speed: generating {image}", file=sys.stderr)
        make_dense_image(image, size, args.work)
    subprocess.run(f"cat '{image}' > /dev/null", shell=True)
    base = f"rm -rf '{out}/s' && '{args.salvor}' scan '{image}' -o '{out}/s' -q"
    cmds = {"salvor": base, "salvor --no-gallery": base + " --no-gallery"}
    if not args.no_peers and shutil.which("photorec"):
        cmds["photorec"] = tools(image, out, args.salvor, True)["photorec"]
    load = os.getloadavg()[0]
    rows = {}
    for name, cmd in cmds.items():
        count = args.peer_runs if name == "photorec" else args.runs
        runs = [timed(cmd) for _ in range(count)]
        rows[name] = (statistics.median(r[0] for r in runs), max(r[1] for r in runs))
        remove_outputs(out, keep=["scalpel.conf"])
    print(f"\nmedia-dense card {size / (1 << 30):g} GiB of 12 MP JPEGs, medians of {args.runs} "
          f"runs (peers: {args.peer_runs}); load average at start {load:.1f}")
    print(f"{'tool':<20}{'seconds':>9}{'MB/s':>9}{'x photorec':>12}{'peak MiB':>10}")
    photorec = rows.get("photorec", (0, 0))[0]
    for name, (seconds, peak) in rows.items():
        times = f"{photorec / seconds:.2f}" if photorec else "-"
        print(f"{name:<20}{seconds:>9.2f}{size / MIB / seconds:>9.1f}{times:>12}"
              f"{peak / 1024:>10.1f}")


def timed(cmd, cwd=None):
    """Wall seconds, peak resident memory (KiB) and exit status of a command."""
    start = time.monotonic()
    proc = subprocess.run(["/usr/bin/time", "-v", "sh", "-c", cmd], cwd=cwd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.monotonic() - start
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", proc.stderr)
    status = re.search(r"Exit status: (\d+)", proc.stderr)
    code = int(status.group(1)) if status else proc.returncode
    if code != 0:
        # A tool that failed early would pass for a fast one.
        print(f"speed: exit status {code} from: {cmd}", file=sys.stderr)
    return seconds, int(peak.group(1)) if peak else 0, code


def remove_outputs(out, keep=()):
    for name in os.listdir(out):
        if name not in keep:
            path = os.path.join(out, name)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.remove(path)


def tools(image, out, salvor, peers):
    cmds = {"cat": f"cat '{image}' > /dev/null",
            "salvor": f"rm -rf '{out}/s' && '{salvor}' scan '{image}' -o '{out}/s' -q",
            "salvor --aligned":
                f"rm -rf '{out}/s' && '{salvor}' scan '{image}' -o '{out}/s' -q --aligned",
            # The scan alone: no search for the rest of damaged files, no gallery after it.
            "salvor scan only": f"rm -rf '{out}/s' && '{salvor}' scan '{image}' -o '{out}/s' -q "
                                "--rebuild-time 0 --no-gallery"}
    if peers and shutil.which("photorec"):
        cmds["photorec"] = (f"rm -rf '{out}/p'* && photorec /d '{out}/p' /cmd '{image}' "
                            "partition_none,fileopt,everything,enable,search >/dev/null 2>&1")
    if peers and shutil.which("foremost"):
        cmds["foremost"] = f"rm -rf '{out}/f' && foremost -Q -t all -i '{image}' -o '{out}/f'"
    if peers and shutil.which("scalpel"):
        conf = os.path.join(out, "scalpel.conf")
        with open("/etc/scalpel/scalpel.conf") as f, open(conf, "w") as g:
            for line in f:
                word = line.lstrip("#").split()
                if word and word[0] in ("jpg", "gif", "png", "bmp", "tif", "avi", "mov",
                                        "mpg", "wav"):
                    line = line.lstrip("#")
                g.write(line)
        cmds["scalpel"] = f"rm -rf '{out}/c' && scalpel -c '{conf}' -o '{out}/c' '{image}'"
    return cmds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-gib", type=float, default=4.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--peer-runs", type=int, default=3)
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "bench-speed"))
    parser.add_argument("--salvor", default=os.path.join(ROOT, "build", "bin", "salvor"))
    parser.add_argument("--unaligned-gib", type=float, default=1.0)
    parser.add_argument("--only-unaligned", action="store_true")
    parser.add_argument("--dense-gib", type=float, default=1.0)
    parser.add_argument("--only-dense", action="store_true")
    args = parser.parse_args()
    if not os.path.exists(args.salvor):
        sys.exit(f"speed: no salvor at {args.salvor}; build first (scripts/test.sh)")
    if not os.path.exists("/usr/bin/time") and os.geteuid() == 0:
        subprocess.run("apt-get install -y -qq time >/dev/null", shell=True)
    os.makedirs(args.work, exist_ok=True)
    corpus = os.path.join(ROOT, "testdata", "corpus")
    media = [os.path.join(b, n) for b, _, ns in os.walk(corpus) for n in ns
             if not n.endswith((".md", "README"))]
    out = os.path.join(args.work, "out")
    os.makedirs(out, exist_ok=True)
    if args.only_unaligned:
        run_unaligned(args, media, out)
        return 0
    if args.only_dense:
        run_dense(args, out)
        return 0
    size = int(args.size_gib * (1 << 30))
    image = os.path.join(args.work, f"speed-{args.size_gib:g}g.img")
    if not os.path.exists(image) or os.path.getsize(image) != size:
        print(f"speed: generating {image}", file=sys.stderr)
        make_image(image, size, media)
    small = os.path.join(args.work, "speed-1g.img")
    if not os.path.exists(small) or os.path.getsize(small) != 1 << 30:
        make_image(small, 1 << 30, media, seed=5)
    subprocess.run(f"cat '{image}' > /dev/null", shell=True)  # warm the page cache
    load = os.getloadavg()[0]  # the figures mean little on a busy machine: say how busy
    results = {}
    for name, cmd in tools(image, out, args.salvor, not args.no_peers).items():
        count = args.runs if name.startswith(("cat", "salvor")) else args.peer_runs
        runs = [timed(cmd) for _ in range(count)]
        seconds = statistics.median(r[0] for r in runs)
        results[name] = (size / MIB / seconds, max(r[1] for r in runs), max(r[2] for r in runs))
        # What the tools carve is of no use here, and the peers' junk from a 4 GiB image
        # fills tens of GB: keep only one tool's output on disk at a time.
        remove_outputs(out, keep=["scalpel.conf"])
    mbs_cat = results["cat"][0]
    mbs_salvor = results["salvor"][0]
    print(f"image {size / (1 << 30):g} GiB, medians of {args.runs} runs "
          f"(peers: {args.peer_runs}); "
          f"load average at start {load:.1f} on {os.cpu_count()} CPUs")
    print(f"{'tool':<18}{'MB/s':>10}{'vs cat':>9}{'salvor x':>10}{'peak MiB':>10}{'exit':>6}")
    for name, (mbs, peak, code) in results.items():
        print(f"{name:<18}{mbs:>10.1f}{mbs / mbs_cat:>9.3f}{mbs_salvor / mbs:>10.2f}"
              f"{peak / 1024:>10.1f}{code:>6}")
    _, peak_small, _ = timed(tools(small, out, args.salvor, False)["salvor"])
    remove_outputs(out)
    print(f"salvor peak memory: 1 GiB image {peak_small / 1024:.1f} MiB, "
          f"{size / (1 << 30):g} GiB image {results['salvor'][1] / 1024:.1f} MiB")
    run_unaligned(args, media, out)
    run_dense(args, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
