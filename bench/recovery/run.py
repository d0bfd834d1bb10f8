#!/usr/bin/env python3
"""Recovery benchmark: Salvor against the open carvers that Debian packages.

Builds evaluation images from the repository's sample media and from media generated with
Debian's encoders, keeps the ground truth (SHA-256, type, offset) and runs `salvor scan` and
the peers (PhotoRec, foremost, scalpel) on each image. Prints, per tool and per type, the files
recovered byte-identical, broken (the start of a recoverable file, but not identical), lost (the
start of a file whose middle was overwritten on the card, by random data or by a new photo: no
tool can return it whole, and what a tool returns of it is shown apart), extra (matching nothing), recall and precision
(identical / (identical + broken + extra)). Byte-identical means equal SHA-256; nothing else
counts. Salvor runs twice: as installed (every byte may start a file), and as salvor-a with
--aligned (sector starts only, every handler's Unaligned setting off). Peers asked for every type
also write text and documents: those show as "other" and stay out of the ALL rows.

With --fragmented it runs the fragmented set instead (fragmented.py): files in two and three
pieces, pieces stored before the first, a FAT32 card whose clusters were re-used, clips written
in alternating chunks. Its tables count, per tool and type, the fragmented files rebuilt
byte-identical, the contiguous ones identical, the broken ones (the start of a file, not
identical), and the files that claim to be whole but are identical to no original: Salvor's
f... files (b... is its name for a damaged file); for the peers, which claim nothing, every file
not identical to an original. PhotoRec runs there with its brute-force option (paranoid_bf),
which is given 60 CPU seconds per image (--photorec-cpu; 0: no limit). On frag2 it was still
trying after 14 CPU minutes, with the same files rebuilt as after one.
Salvor runs once there: the pieces begin on sector boundaries. The set takes about 8 minutes on
two shared cores, 2 of them to make its media the first time (kept in WORK/frag-media).

Usage: bench/recovery/run.py [--work DIR] [--salvor PATH] [--no-peers]
                             [--fragmented [--images frag2,frag3,fatreuse,interleaved-video]
                              [--photorec-cpu SECONDS] [--seed N]] [--all]
"""
import argparse
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from collections import Counter, defaultdict

import fragmented

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SECTOR = 512

# Types by file extension as the ground truth names them.
TYPE_OF = {"jpg": "jpg", "jpeg": "jpg", "tif": "tif", "tiff": "tif", "png": "png",
           "gif": "gif", "bmp": "bmp", "heic": "heic", "heif": "heic", "mp4": "mp4",
           "mov": "mov", "avi": "avi", "wav": "wav", "mkv": "mkv", "mp3": "mp3",
           "flac": "flac", "webp": "webp", "psd": "psd", "ogg": "ogg"}


def sh(cmd, **kw):
    return subprocess.run(cmd, shell=True, check=False, **kw)


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def ensure_packages():
    need = {"photorec": "testdisk", "foremost": "foremost", "scalpel": "scalpel",
            "mkfs.vfat": "dosfstools", "mcopy": "mtools", "ffmpeg": "ffmpeg",
            "convert": "imagemagick"}
    missing = sorted({pkg for tool, pkg in need.items() if shutil.which(tool) is None})
    if missing and os.geteuid() == 0:
        sh("apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "
           + " ".join(missing) + " >/dev/null")


def make_media(folder):
    """Sample photos from the repository plus photos, audio and video made by real encoders."""
    os.makedirs(folder, exist_ok=True)
    corpus = os.path.join(ROOT, "testdata", "corpus")
    for sub in ("jpg", "tiff", "heic"):
        for name in sorted(os.listdir(os.path.join(corpus, sub))):
            if name.lower().split(".")[-1] in TYPE_OF:
                shutil.copy(os.path.join(corpus, sub, name), folder)
    src = os.path.join(folder, "src.png")
    sh(f"convert -size 640x480 plasma:fractal -seed 7 {src} 2>/dev/null || "
       f"convert -size 640x480 gradient:red-blue {src}")
    jobs = [
        f"convert {src} {folder}/gen-photo.png",
        f"convert {src} -resize 800x600 BMP3:{folder}/gen-photo.bmp",
        f"convert -delay 10 {src} -rotate 90 {src} -rotate 180 {src} {folder}/gen-anim.gif",
        f"convert {src} -define tiff:endian=msb {folder}/gen-mm.tif",
        f"convert {src} -quality 90 {folder}/gen-photo.jpg",
        f"convert {src} {folder}/gen-photo.psd",
        "ffmpeg -loglevel error -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 "
        f"-f lavfi -i sine=duration=3 -c:v libx264 -pix_fmt yuv420p -c:a aac {folder}/gen-video.mp4",
        "ffmpeg -loglevel error -y -f lavfi -i testsrc=duration=2:size=320x240:rate=25 "
        f"-c:v libx264 -pix_fmt yuv420p -movflags +faststart {folder}/gen-fast.mov",
        "ffmpeg -loglevel error -y -f lavfi -i testsrc=duration=2:size=320x240:rate=25 "
        f"-c:v mjpeg {folder}/gen-video.avi",
        f"ffmpeg -loglevel error -y -f lavfi -i sine=duration=2 {folder}/gen-tone.wav",
        "ffmpeg -loglevel error -y -f lavfi -i testsrc=duration=2:size=320x240:rate=25 "
        f"-c:v libx264 -pix_fmt yuv420p {folder}/gen-video.mkv",
        f"ffmpeg -loglevel error -y -f lavfi -i sine=duration=3 -c:a libmp3lame {folder}/gen-tone.mp3",
        f"ffmpeg -loglevel error -y -f lavfi -i sine=duration=3 {folder}/gen-tone.flac",
    ]
    # Photos taken after some files were deleted, written into the sectors those files left.
    reuse = os.path.join(os.path.dirname(folder), "reuse")
    shutil.rmtree(reuse, ignore_errors=True)
    os.makedirs(reuse)
    for k in range(len(REUSED)):
        jobs.append(f"convert -size 200x150 plasma:fractal -seed {100 + k} -quality 85 "
                    f"{reuse}/new-{k}.jpg")
    for job in jobs:
        sh(job + " 2>/dev/null")
    os.remove(src)
    return sorted(os.path.join(folder, n) for n in os.listdir(folder)
                  if n.lower().split(".")[-1] in TYPE_OF)


# Deleted files whose later sectors a new photo reuses (their beginning survives): a tool must
# not take the photo for part of them.
REUSED = ["BSG1.tiff", "IMG_5195.HEIC", "gen-photo.bmp", "gen-photo.psd", "gen-tone.wav"]


def truth_entry(path, offset):
    ext = path.lower().split(".")[-1]
    return {"name": os.path.basename(path), "type": TYPE_OF[ext], "sha256": sha256_file(path),
            "size": os.path.getsize(path), "offset": offset}


def build_raw_image(files, image, rng):
    """Files sector-aligned, unaligned and back to back between random data and zeros."""
    truth = []
    with open(image, "wb") as out:
        for i, path in enumerate(files):
            gap = rng.choice(["random", "zeros", "none"])
            if gap == "random":
                out.write(os.urandom(rng.randint(1, 64) * SECTOR))
            elif gap == "zeros":
                out.write(bytes(rng.randint(1, 64) * SECTOR))
            if i % 3 == 2:  # unaligned placement
                out.write(os.urandom(rng.randint(1, SECTOR - 1)))
            elif out.tell() % SECTOR:
                out.write(os.urandom(SECTOR - out.tell() % SECTOR))
            truth.append(truth_entry(path, out.tell()))
            with open(path, "rb") as f:
                out.write(f.read())
        out.write(os.urandom(SECTOR * 16 - out.tell() % SECTOR))
    return truth


def fat_offsets(image, names):
    """Offsets of files in an image, found by their content (they were written contiguous)."""
    data = open(image, "rb").read()
    found = {}
    for path in names:
        content = open(path, "rb").read()
        pos = data.find(content)
        if pos >= 0:
            found[path] = pos
    return found


def build_fat_images(files, work, rng):
    """A FAT32 card with deleted files, some partly overwritten by random data or by new photos,
    and a quick-formatted copy."""
    card = os.path.join(work, "card-fat32.img")
    size_mb = max(64, int(sum(os.path.getsize(f) for f in files) * 2.5 / 2**20) + 40)
    sh(f"rm -f {card}; truncate -s {size_mb}M {card} && mkfs.vfat -F 32 -n CARD {card} >/dev/null")
    sh(f"MTOOLS_SKIP_CHECK=1 mmd -i {card} ::DCIM")
    for path in files:
        sh(f"MTOOLS_SKIP_CHECK=1 mcopy -i {card} '{path}' ::DCIM/")
    offsets = fat_offsets(card, files)
    # Delete most files; overwrite the middle of a few deleted ones (not recoverable intact).
    overwritten = set()
    for i, path in enumerate(files):
        if i % 4 != 3:
            sh(f"MTOOLS_SKIP_CHECK=1 mdel -i {card} '::DCIM/{os.path.basename(path)}'")
            if i % 7 == 5 and path in offsets and os.path.getsize(path) > 4 * SECTOR:
                with open(card, "r+b") as f:
                    f.seek(offsets[path] + os.path.getsize(path) // 2)
                    f.write(os.urandom(SECTOR * 2))
                overwritten.add(path)
    # Photos written over the last third of some deleted files.
    reused = []
    for k, name in enumerate(REUSED):
        old = next((p for i, p in enumerate(files) if os.path.basename(p) == name
                    and i % 4 != 3 and p in offsets and p not in overwritten), None)
        photo = os.path.join(work, "reuse", f"new-{k}.jpg")
        if old is None or not os.path.exists(photo):
            continue
        at = offsets[old] + os.path.getsize(old) * 2 // 3 // SECTOR * SECTOR
        if at + os.path.getsize(photo) > offsets[old] + os.path.getsize(old):
            continue
        with open(card, "r+b") as f, open(photo, "rb") as new:
            f.seek(at)
            f.write(new.read())
        overwritten.add(old)
        reused.append(truth_entry(photo, at))
    truth = [truth_entry(p, offsets[p]) for p in files if p in offsets and p not in overwritten]
    truth += reused
    formatted = os.path.join(work, "card-quickformat.img")
    shutil.copy(card, formatted)
    sh(f"mkfs.vfat -F 32 -n CARD {formatted} >/dev/null")
    return [(card, truth, overwritten), (formatted, list(truth), overwritten)]


# What the tools write besides the files they recover, by name relative to their output folder.
def is_metadata(rel):
    parts = rel.split(os.sep)
    if parts[0] == ".thumbnails":  # salvor's gallery
        return True
    if len(parts) == 1:  # salvor.log, report.xml, foremost's and scalpel's audit.txt, photorec.log
        return parts[0] in ("salvor.log", "report.xml", ".salvor-resume", "index.html",
                            "audit.txt", "photorec.log")
    # PhotoRec's report.xml inside each recup_dir.N (or <name>.N with /d)
    return len(parts) == 2 and parts[1] == "report.xml" and parts[0].split(".")[-1].isdigit()


def timed(runs, name, folder, cmd, cpu_limit=0, **kw):
    """Runs cmd; notes (folder, wall seconds, CPU seconds, stopped at the CPU limit)."""
    if cpu_limit:
        cmd = f"ulimit -t {cpu_limit}; exec {cmd}"
    start = time.monotonic()
    proc = subprocess.Popen(cmd, shell=True, **kw)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    runs[name] = (folder, time.monotonic() - start, usage.ru_utime + usage.ru_stime,
                  proc.returncode in (-signal.SIGXCPU, -signal.SIGKILL))


def run_tools(image, out, salvor, peers, aligned=True, brute_force=False, cpu_limit=0):
    """Runs every tool on the image; returns {tool: (output folder, wall s, CPU s, cut)}.
    PhotoRec alone gets cpu_limit (0: none): its brute force can run for an hour."""
    runs = {}
    d = os.path.join(out, "salvor")
    shutil.rmtree(d, ignore_errors=True)
    timed(runs, "salvor", d, f"'{salvor}' scan '{image}' -o '{d}' -q", stdout=subprocess.DEVNULL)
    if aligned:
        # The same with every handler looking only where a sector starts.
        d = os.path.join(out, "salvor-a")
        shutil.rmtree(d, ignore_errors=True)
        timed(runs, "salvor-a", d, f"'{salvor}' scan '{image}' -o '{d}' -q --aligned",
              stdout=subprocess.DEVNULL)
    if not peers:
        return runs
    if shutil.which("photorec"):
        name = "photorec-bf" if brute_force else "photorec"
        d = os.path.join(out, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        # paranoid_bf: after the normal passes, a brute-force pass over what is left for the
        # files that did not check (its log says "Brute force : Yes" and names each attempt).
        paranoid = "paranoid_bf," if brute_force else ""
        timed(runs, name, d, f"photorec /log /d '{d}/recup' /cmd '{image}' partition_none,"
              f"options,{paranoid}keep_corrupted_file_no,fileopt,everything,enable,search",
              cpu_limit=cpu_limit, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
              cwd=d)
    if shutil.which("foremost"):
        d = os.path.join(out, "foremost")
        shutil.rmtree(d, ignore_errors=True)
        timed(runs, "foremost", d, f"foremost -Q -t all -i '{image}' -o '{d}'",
              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if shutil.which("scalpel") and os.path.exists("/etc/scalpel/scalpel.conf"):
        d = os.path.join(out, "scalpel")
        shutil.rmtree(d, ignore_errors=True)
        conf = os.path.join(out, "scalpel.conf")
        with open("/etc/scalpel/scalpel.conf") as f, open(conf, "w") as g:
            for line in f:
                word = line.lstrip("#").split()
                if word and word[0] in ("jpg", "gif", "png", "bmp", "tif", "avi", "mov",
                                        "mpg", "wav", "psd"):
                    line = line.lstrip("#")
                g.write(line)
        timed(runs, "scalpel", d, f"scalpel -c '{conf}' -o '{d}' '{image}'",
              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return runs


def brute_force_log(folder):
    """What PhotoRec's log says of its brute-force pass: (option on, attempts)."""
    try:
        with open(os.path.join(folder, "photorec.log"), errors="replace") as f:
            log = f.read()
    except OSError:
        return False, 0
    return "Brute force : Yes" in log, log.count("photorec_bf_frag")


def score(truth, folder, lost):
    """Per type: [total, identical, broken, lost, extra]. Broken: begins like a recoverable
    file but is not identical to one; lost: begins like one of the overwritten files `lost`."""
    by_hash = {t["sha256"]: t for t in truth}
    heads = {}
    lost_heads = set()
    for name in os.listdir(MEDIA_DIR):
        path = os.path.join(MEDIA_DIR, name)
        with open(path, "rb") as f:
            head = f.read(64)
        heads[head] = TYPE_OF[name.lower().split(".")[-1]]
        if path in lost:
            lost_heads.add(head)
    stats = defaultdict(lambda: [0, 0, 0, 0, 0])
    for t in truth:
        stats[t["type"]][0] += 1
    seen = set()
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            if is_metadata(os.path.relpath(path, folder)):
                continue
            digest = sha256_file(path)
            if digest in by_hash:
                t = by_hash[digest]
                if digest not in seen:
                    seen.add(digest)
                    stats[t["type"]][1] += 1
                else:
                    stats[t["type"]][4] += 1  # a duplicate is junk too
                continue
            with open(path, "rb") as f:
                head = f.read(64)
            if head in heads:
                stats[heads[head]][3 if head in lost_heads else 2] += 1
            else:
                ext = name.lower().split(".")[-1]
                stats[TYPE_OF.get(ext, "other")][4] += 1
    return stats


MEDIA_DIR = ""


def markdown(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i < 2 else "--:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def run_classic(args, rng):
    global MEDIA_DIR
    MEDIA_DIR = os.path.join(args.work, "media")
    shutil.rmtree(MEDIA_DIR, ignore_errors=True)
    files = make_media(MEDIA_DIR)
    images = build_fat_images(files, args.work, rng)
    raw = os.path.join(args.work, "raw-mixed.img")
    images.append((raw, build_raw_image(files, raw, rng), set()))
    header = ["image", "tool", "type", "total", "ident", "broken", "lost", "extra", "recall",
              "prec"]
    rows = []
    for image, truth, lost in images:
        out = image + ".out"
        for tool, (folder, *_) in run_tools(image, out, args.salvor, args.peers).items():
            stats = score(truth, folder, lost)
            # Non-media outputs of peers asked for every type (text, documents) are shown
            # as "other" but left out of ALL, which compares photo, audio and video only.
            all_row = [sum(s[i] for k, s in stats.items() if k != "other") for i in range(5)]
            for kind, row in sorted(stats.items()) + [("ALL", all_row)]:
                total, ident, broken, lost_parts, extra = row
                recall = ident / total if total else 0.0
                outputs = ident + broken + extra
                precision = ident / outputs if outputs else 0.0
                rows.append([os.path.basename(image), tool, kind, total, ident, broken,
                             lost_parts, extra, f"{recall:.2f}", f"{precision:.2f}"])
    print(markdown(header, rows))


# --- The fragmented set ---------------------------------------------------------------------

HEAD = 4096


def head_index(truth, lost):
    """(start bytes, truth entry or None, type) for every file whose start is on the image:
    up to 4 KiB of the file's first piece."""
    index = []
    for t in truth:
        first = t["pieces"][0][1] if len(t["pieces"]) > 1 else t["size"]
        index.append((t["data"][:min(HEAD, first)], t, t["type"]))
    for x in lost:
        index.append((x["head"], None, x["type"]))
    return index


def match_head(head, index):
    """The file that an output begins like: the longest agreement, at least 512 bytes (or the
    whole first piece when shorter)."""
    best, best_len = None, 0
    for prefix, entry, kind in index:
        k = min(len(head), len(prefix))
        if k >= min(SECTOR, len(prefix)) and k > best_len and head[:k] == prefix[:k]:
            best, best_len = (entry, kind), k
    return best


FRAG_COLUMNS = ["files", "frag", "rebuilt", "ident", "broken", "lost", "extra", "false intact"]


def score_fragmented(truth, lost, folder, claims_intact):
    """Per type: a Counter of FRAG_COLUMNS. rebuilt: a fragmented file recovered identical;
    ident: a contiguous one; broken: begins like a file on the image, not identical; lost: begins
    like a file that is not whole on the image; extra: anything else, and second copies;
    false intact: claims to be whole (claims_intact(name)) but is identical to no original."""
    by_hash = {t["sha256"]: t for t in truth}
    index = head_index(truth, lost)
    stats = defaultdict(Counter)
    for t in truth:
        stats[t["type"]]["files"] += 1
        stats[t["type"]]["frag"] += len(t["pieces"]) > 1
    seen = set()
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            if is_metadata(os.path.relpath(path, folder)):
                continue
            digest = sha256_file(path)
            if digest in by_hash:
                t = by_hash[digest]
                if digest in seen:
                    stats[t["type"]]["extra"] += 1
                else:
                    seen.add(digest)
                    stats[t["type"]]["rebuilt" if len(t["pieces"]) > 1 else "ident"] += 1
                continue
            with open(path, "rb") as f:
                head = f.read(HEAD)
            found = match_head(head, index)
            if found is None:
                kind, column = fragmented.type_of(name), "extra"
            else:
                kind, column = found[1], "broken" if found[0] is not None else "lost"
            stats[kind][column] += 1
            if claims_intact(name):
                stats[kind]["false intact"] += 1
    return stats


def frag_rows(image, tool, stats):
    rows = []
    # Peers asked for every type also write text and documents: "other", left out of ALL.
    total = sum((s for k, s in stats.items() if k != "other"), Counter())
    for kind, s in sorted(stats.items()) + [("ALL", total)]:
        ident = s["rebuilt"] + s["ident"]
        outputs = ident + s["broken"] + s["extra"]
        rows.append([image, tool, kind] + [s[c] for c in FRAG_COLUMNS] + [
            f"{ident / s['files']:.2f}" if s["files"] else "-",
            f"{s['rebuilt'] / s['frag']:.2f}" if s["frag"] else "-",
            f"{ident / outputs:.2f}" if outputs else "-"])
    return rows


def layout_line(image, truth, count):
    """What the image holds: files, how many in how many pieces, the gaps between pieces."""
    pieces = Counter(len(t["pieces"]) for t in truth)
    gaps, before = [], 0
    for t in truth:
        p = t["pieces"]
        for (o1, l1), (o2, _) in zip(p, p[1:]):
            gaps.append(abs(o2 - (o1 + l1)) // SECTOR if o2 >= o1 else (o1 - o2) // SECTOR)
        before += any(o < p[0][0] for o, _ in p[1:])
    gaps.sort()
    frag = sum(n for k, n in pieces.items() if k > 1)
    text = (f"{os.path.basename(image)}: {os.path.getsize(image) / 2**20:.1f} MiB, "
            f"{len(truth)} whole files, {frag} fragmented (" +
            ", ".join(f"{n} in {k}" for k, n in sorted(pieces.items()) if k > 1) + ")")
    if gaps:
        text += (f"; gaps {gaps[0]}-{gaps[-1]} sectors (median {gaps[len(gaps) // 2]})")
    if before:
        text += f"; {before} with a piece before the first"
    return text + "; " + ", ".join(f"{k}: {v}" for k, v in count.items())


def run_fragmented(args):
    start = time.monotonic()
    media = fragmented.make_media(os.path.join(args.work, "frag-media"),
                                  random.Random(args.seed), os.path.join(ROOT, "testdata",
                                                                         "corpus"))
    print(f"media: {len(media)} files, {sum(map(len, media.values())) / 2**20:.1f} MiB, "
          f"{time.monotonic() - start:.0f} s")
    by_hash = {fragmented.sha256(data): data for data in media.values()}
    only = args.images.split(",") if args.images else None
    header = ["image", "tool", "type"] + FRAG_COLUMNS + ["recall", "frag recall", "prec"]
    rows, times, notes = [], [], []
    for name in fragmented.IMAGES:
        if only and name not in only:
            continue
        t0 = time.monotonic()
        image, truth, lost, count = fragmented.build_all(args.work, media, args.seed, [name])[0]
        for t in truth:
            t["data"] = by_hash[t["sha256"]]
        built = time.monotonic() - t0
        notes.append(layout_line(image, truth, count))
        runs = run_tools(image, image + ".out", args.salvor, args.peers, aligned=False,
                         brute_force=True, cpu_limit=args.photorec_cpu)
        for tool, (folder, *_) in runs.items():
            if tool.startswith("salvor"):
                def claims(n):
                    return n.startswith("f")
            else:
                def claims(n):
                    return True
            rows += frag_rows(name, tool, score_fragmented(truth, lost, folder, claims))
        if "photorec-bf" in runs:
            folder, _, cpu, cut = runs["photorec-bf"]
            on, attempts = brute_force_log(folder)
            notes.append(f"{name}: PhotoRec brute force {'on' if on else 'OFF'}, {attempts} "
                         "brute-force attempts in its log" +
                         (f", stopped at its {cpu:.0f} CPU seconds" if cut else ", finished"))
        times.append([name, f"{os.path.getsize(image) / 2**20:.0f}", f"{built:.0f}"] +
                     [f"{runs[t][1]:.0f} ({runs[t][2]:.1f})" + (" cut" if runs[t][3] else "")
                      if t in runs else "-" for t in FRAG_TOOLS])
    for line in notes:
        print(f"- {line}")
    print(FRAG_LEGEND)
    print(markdown(header, rows))
    print()
    print("Seconds, wall (CPU):\n")
    print(markdown(["image", "MiB", "build"] + FRAG_TOOLS, times))
    print(f"\nfragmented set: {time.monotonic() - start:.0f} s in all")


FRAG_TOOLS = ["salvor", "photorec-bf", "foremost", "scalpel"]
FRAG_LEGEND = """
files: whole on the image; frag: of them in two or more pieces; rebuilt: fragmented files
recovered byte-identical; ident: contiguous ones; broken: outputs that begin like a file on the
image but are not identical; lost: outputs that begin like a file not whole on the image;
extra: the rest, and second copies; false intact: salvor's f... files identical to no original
(for the peers, which claim nothing, every output identical to no original); recall: (rebuilt +
ident) / files; frag recall: rebuilt / frag; prec: (rebuilt + ident) / (that + broken + extra).
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "bench-recovery"))
    parser.add_argument("--salvor", default=os.path.join(ROOT, "build", "bin", "salvor"))
    parser.add_argument("--no-peers", dest="peers", action="store_false")
    parser.add_argument("--fragmented", action="store_true",
                        help="run the fragmented set instead of the contiguous images")
    parser.add_argument("--all", action="store_true", help="run both sets")
    parser.add_argument("--images", help="fragmented images to run, comma-separated")
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument("--photorec-cpu", type=int, default=60, metavar="SECONDS",
                        help="CPU seconds PhotoRec may use per fragmented image (0: no limit)")
    args = parser.parse_args()
    if not os.path.exists(args.salvor):
        sys.exit(f"recovery: no salvor at {args.salvor}; build first (scripts/test.sh)")
    ensure_packages()
    # Absolute: PhotoRec runs inside its own output folder.
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    if args.all or not args.fragmented:
        run_classic(args, random.Random(args.seed))
    if args.all or args.fragmented:
        if args.all:
            print()
        run_fragmented(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
