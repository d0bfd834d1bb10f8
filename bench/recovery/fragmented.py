"""Fragmented evaluation images for the recovery benchmark (run.py --fragmented).

Every image is laid out from a fixed seed and comes with its ground truth: per file the SHA-256,
the type and the pieces (offset, length) in file order, plus the files whose start is on the
image but not the whole of them ("lost": old photos cut short, photos overwritten on the card).

  frag2              files in two pieces split at a sector boundary; the gap (1 to 4,000
                     sectors) holds random data, zeros, old photo data or other files' pieces
  frag3              files in three pieces (a few in four) interleaved with other files, and
                     files with a piece stored before their first one
  fatreuse           a FAT32 card: photos and clips taken, some deleted in the camera, new ones
                     taken into the freed clusters (first free cluster first), then deleted too
  interleaved-video  clips written in alternating chunks of 64 KiB to 1 MiB, as a camera
                     writing a main and a proxy stream (and a third) at once
"""
import hashlib
import json
import math
import os
import random
import re
import shutil
import struct
import subprocess
from concurrent.futures import ThreadPoolExecutor

SECTOR = 512

# The types the fragment work is about; the rest of the media only fill the images.
MAIN_TYPES = ("jpg", "png", "mp4", "mov", "heic", "webp", "avi", "wav", "flac")
TYPE_OF = {"jpg": "jpg", "jpeg": "jpg", "tif": "tif", "tiff": "tif", "png": "png",
           "gif": "gif", "bmp": "bmp", "heic": "heic", "heif": "heic", "mp4": "mp4",
           "mov": "mov", "avi": "avi", "wav": "wav", "mkv": "mkv", "mp3": "mp3",
           "flac": "flac", "webp": "webp", "psd": "psd", "ogg": "ogg"}


def type_of(name):
    return TYPE_OF.get(name.lower().rsplit(".", 1)[-1], "other")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def media_jobs(rng):
    """(file name, command) for every generated file. Photos are plasma scenes with grain, so
    that their compressed data is as dense as a camera's; clips carry noise for the same reason.
    The commands are seeded, so the same list gives the same bytes."""
    jobs = []

    def photo(name, seed, w, h, grain, extra=""):
        jobs.append((name, f"convert -seed {seed} -size {w}x{h} plasma:fractal "
                           f"-attenuate {grain} +noise Gaussian {extra} -strip {{out}}"))

    sizes = [(640, 480), (800, 600), (1024, 768), (1280, 960), (1600, 1200)]
    for k in range(22):
        w, h = sizes[k % len(sizes)]
        photo(f"p{k:02d}.jpg", 1000 + k, w, h, rng.choice([0.1, 0.3, 0.5]),
              f"-quality {rng.choice([80, 85, 90, 95])}")
    for k in range(24):  # more camera photos, for the card's several sessions
        w, h = rng.choice(sizes[:3])
        photo(f"cam{k:02d}.jpg", 8000 + k, w, h, rng.choice([0.1, 0.3]), "-quality 90")
    for k in range(8):  # old photos: their remains lie in the gaps, never whole
        w, h = sizes[k % len(sizes)]
        photo(f"old{k:02d}.jpg", 9000 + k, w, h, 0.3, "-quality 90")
    for k in range(7):
        w, h = rng.choice([(320, 240), (400, 300), (480, 360)])
        photo(f"p{k:02d}.png", 2000 + k, w, h, rng.choice([0.0, 0.2]))
    for k in range(6):
        w, h = rng.choice([(640, 480), (800, 600), (1024, 768)])
        photo(f"p{k:02d}.webp", 3000 + k, w, h, 0.4, f"-quality {rng.choice([70, 80, 90])}")
    for k in range(4):  # HEVC stills are slow to encode: few and small
        photo(f"p{k:02d}.heic", 4000 + k, 512, 384, 0.3, "-quality 60")

    def clip(name, seed, secs, rate, codec, audio=True, size="640x360"):
        src = f"-f lavfi -i testsrc2=size={size}:rate=25:duration={secs}"
        if audio:
            src += f" -f lavfi -i sine=f={300 + seed % 500}:d={secs}"
        noise = f"-vf noise=alls=14:allf=t+u:all_seed={seed}"
        if codec == "mjpeg":
            enc = "-c:v mjpeg -q:v 4"
        else:
            # One thread: with more, x264 gives other bytes from run to run under load.
            enc = f"-c:v libx264 -preset veryfast -b:v {rate} -pix_fmt yuv420p -threads 1"
        if audio:
            enc += " -c:a aac -b:a 96k" if codec != "mjpeg" else " -c:a pcm_s16le"
        jobs.append((name, f"ffmpeg -loglevel error -y {src} {noise} {enc} {{out}}"))

    for k in range(5):
        clip(f"v{k:02d}.mp4", 5000 + k, rng.choice([2, 3, 4]), rng.choice(["2M", "4M"]), "x264")
    for k in range(4):
        secs = rng.choice([2, 3])
        clip(f"v{k:02d}.mov", 5100 + k, secs, "3M", "x264")
        jobs[-1] = (jobs[-1][0], jobs[-1][1].replace("{out}", "-movflags +faststart {out}"))
    for k in range(3):
        clip(f"v{k:02d}.avi", 5200 + k, rng.choice([1, 2]), "", "mjpeg", size="480x270")
    # Streams of the interleaved recordings: a main clip, its proxy, a third angle.
    clip("rec-main.mp4", 5300, 5, "10M", "x264")
    clip("rec-proxy.mov", 5301, 5, "2M", "x264", size="320x180")
    jobs[-1] = (jobs[-1][0], jobs[-1][1].replace("{out}", "-movflags +faststart {out}"))
    clip("rec2-main.mp4", 5310, 3, "8M", "x264")
    clip("rec2-side.mov", 5311, 3, "6M", "x264")
    clip("rec2-mjpg.avi", 5312, 2, "", "mjpeg", size="480x270")

    def sound(name, seed, secs, codec):
        jobs.append((name, f"ffmpeg -loglevel error -y -f lavfi -i anoisesrc=d={secs}:c=pink:"
                           f"r=44100:a=0.2:seed={seed} -f lavfi -i sine=f={200 + seed % 700}:"
                           f"d={secs} -filter_complex amix=inputs=2 -ac 2 {codec} {{out}}"))

    for k in range(4):
        sound(f"a{k:02d}.wav", 6000 + k, rng.choice([1, 2]), "")
    for k in range(4):
        sound(f"a{k:02d}.flac", 6100 + k, rng.choice([2, 3]), "-c:a flac")
    # Contiguous files of other types between the fragmented ones.
    jobs.append(("f00.gif", "convert -seed 7000 -size 320x240 plasma:fractal {out}"))
    jobs.append(("f01.bmp", "convert -seed 7001 -size 320x240 plasma:fractal BMP3:{out}"))
    jobs.append(("f02.psd", "convert -seed 7002 -size 320x240 plasma:fractal {out}"))
    jobs.append(("f03.tif", "convert -seed 7003 -size 320x240 plasma:fractal -strip {out}"))
    jobs.append(("f04.mp3", "ffmpeg -loglevel error -y -f lavfi -i sine=f=440:d=3 "
                            "-c:a libmp3lame {out}"))
    jobs.append(("f05.mkv", "ffmpeg -loglevel error -y -f lavfi -i "
                            "testsrc2=size=320x240:rate=25:duration=2 -c:v libx264 "
                            "-preset veryfast -pix_fmt yuv420p -threads 1 "
                            "-fflags +bitexact {out}"))  # no random segment ID
    return jobs


def make_media(folder, rng, corpus):
    """Generates the media once; a stamp of the commands lets later runs reuse them."""
    jobs = media_jobs(rng)
    stamp = sha256("\n".join(f"{n} {c}" for n, c in jobs).encode())
    stamp_path = os.path.join(folder, ".stamp")
    if not (os.path.exists(stamp_path) and open(stamp_path).read() == stamp):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)

        def run(job):
            name, cmd = job
            subprocess.run(cmd.replace("{out}", os.path.join(folder, name)) + " 2>/dev/null",
                           shell=True, check=False)

        with ThreadPoolExecutor(max_workers=2) as pool:
            list(pool.map(run, jobs))
        # Camera files from the repository: real EXIF, thumbnails and HEIF boxes.
        for sub, names in (("jpg", ("DSCN0010.jpg", "nikon-e950.jpg", "canon-ixus.jpg",
                                    "landscape_3.jpg", "fujifilm-dx10.jpg", "olympus-c960.jpg")),
                           ("heic", ("IMG_5195.HEIC", "samplefilehub.heif")),
                           ("tiff", ("Rudless.tiff", "Tless0.tiff"))):
            for name in names:
                shutil.copy(os.path.join(corpus, sub, name), os.path.join(folder, "c-" + name))
        with open(stamp_path, "w") as f:
            f.write(stamp)
    media = {}
    for name in sorted(os.listdir(folder)):
        if name.startswith(".") or type_of(name) == "other":
            continue
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        if data:
            media[name] = data
    return media


# --- Laying out raw images -----------------------------------------------------------------
#
# An image is a list of units, each a list of segments (bytes, owner, piece number). A unit is
# placed whole; building a fragmented file replaces a run of units by one unit holding its
# pieces and what lies between them, so files nest and interleave as they are added.

class Entry:
    def __init__(self, name, data):
        self.name = name
        self.type = type_of(name)
        self.data = data
        self.cuts = [0, len(data)]  # piece boundaries in file order
        self.pieces = {}  # piece number -> (offset, length), filled when written

    def piece(self, n):
        return self.data[self.cuts[n]:self.cuts[n + 1]]

    def split(self, count, rng):
        """Cuts at `count - 1` distinct sector boundaries; False when the file is too short."""
        sectors = (len(self.data) - 1) // SECTOR
        if sectors < count:
            return False
        points = sorted(rng.sample(range(1, sectors + 1), count - 1))
        self.cuts = [0] + [p * SECTOR for p in points] + [len(self.data)]
        return True

    def truth(self):
        pieces = [self.pieces[n] for n in range(len(self.cuts) - 1)]
        return {"name": self.name, "type": self.type, "sha256": sha256(self.data),
                "size": len(self.data), "pieces": merge(pieces)}


def merge(pieces):
    """Pieces that follow each other on the image are one piece."""
    out = []
    for offset, length in pieces:
        if out and out[-1][0] + out[-1][1] == offset:
            out[-1] = (out[-1][0], out[-1][1] + length)
        else:
            out.append((offset, length))
    return out


def piece_unit(entry, n, rng):
    """Piece n of a file; the last one ends in slack up to the next sector, as on a disk."""
    segs = [(entry.piece(n), entry, n)]
    if n == len(entry.cuts) - 2 and len(entry.data) % SECTOR:
        pad = SECTOR - len(entry.data) % SECTOR
        segs.append((rng.randbytes(pad) if rng.random() < 0.5 else bytes(pad), None, None))
    return segs


class Filler:
    """Random data, zeros and the remains of old photos."""

    def __init__(self, rng, old):
        self.rng = rng
        self.old = old  # name -> bytes of photos that are on the image in parts only
        self.count = {"random": 0, "zeros": 0, "old": 0, "files": 0}  # gap contents

    def make(self, kind, sectors, gap=True):
        self.count[kind] += gap
        if kind == "random":
            return [(self.rng.randbytes(sectors * SECTOR), None, None)]
        if kind == "zeros":
            return [(bytes(sectors * SECTOR), None, None)]
        # The middle of an old photo: compressed data without its header.
        data = b""
        while len(data) < sectors * SECTOR:
            photo = self.old[self.rng.choice(sorted(self.old))]
            start = self.rng.randrange(1, len(photo) // SECTOR) * SECTOR
            data += photo[start:start + sectors * SECTOR - len(data)]
        return [(data, None, None)]


def gap_sectors(rng, most=4000):
    """1 to `most` sectors, as many short gaps as long ones (log-uniform)."""
    return max(1, min(most, int(math.exp(rng.uniform(0, math.log(most))))))


def take_run(units, rng, sectors):
    """Takes out a run of whole units of at most `sectors` (at least one unit)."""
    for _ in range(20):
        if not units:
            break
        i = rng.randrange(len(units))
        j, size = i, 0
        while j < len(units) and size + unit_sectors(units[j]) <= sectors:
            size += unit_sectors(units[j])
            j += 1
        if j > i:
            run = [seg for unit in units[i:j] for seg in unit]
            del units[i:j]
            return run
    return None


def unit_sectors(unit):
    return sum(len(seg[0]) for seg in unit) // SECTOR


def gap_unit(units, filler, rng, kinds):
    """What lies between two pieces: filler or other files (with their own pieces)."""
    kind = rng.choice(kinds)
    sectors = gap_sectors(rng)
    if kind == "files":
        run = take_run(units, rng, sectors)
        if run is not None:
            filler.count["files"] += 1
            return run
        kind = "random"
    return filler.make(kind, sectors)


def write_image(path, units, rng):
    with open(path, "wb") as out:
        for unit in units:
            for data, owner, n in unit:
                if owner is not None:
                    owner.pieces[n] = (out.tell(), len(data))
                out.write(data)
        out.write(rng.randbytes(64 * SECTOR))


def contiguous_units(entries, rng, lost_heads, filler):
    """Whole files, plus the heads of old photos cut short and some filler between them."""
    units = [piece_unit(e, 0, rng) for e in entries]
    for name, photo in sorted(filler.old.items())[:4]:
        cut = rng.randrange(8, len(photo) // SECTOR) * SECTOR
        units.append([(photo[:cut], None, None)])
        lost_heads.append({"name": name, "type": type_of(name), "head": photo[:4096]})
    for _ in range(len(entries) // 3):
        units.append(filler.make(rng.choice(["random", "zeros", "old"]), gap_sectors(rng, 64),
                                 gap=False))
    rng.shuffle(units)
    return units


# Files per type in frag2 and frag3: (fragmented, whole). This sets the images' size (about
# 22 MiB) and with it the time of the peers: PhotoRec's brute force costs most per JPEG.
PER_IMAGE = {"jpg": (8, 3), "png": (2, 1), "webp": (3, 1), "heic": (3, 1), "mp4": (2, 0),
             "mov": (1, 1), "avi": (2, 0), "wav": (2, 1), "flac": (2, 1)}


def start_image(media, rng):
    """Picks the files to fragment and the whole ones of each main type (PER_IMAGE, at random);
    the files of other types stay whole too."""
    filler = Filler(rng, {n: d for n, d in media.items() if n.startswith("old")})
    frag, whole = [], []
    for t in MAIN_TYPES:
        names = [n for n in media if type_of(n) == t and not n.startswith(("old", "rec", "cam"))]
        rng.shuffle(names)
        nfrag, nwhole = PER_IMAGE[t]
        frag += names[:nfrag]
        whole += names[nfrag:nfrag + nwhole]
    whole += [n for n in media if n.startswith(("f0", "c-")) and type_of(n) not in MAIN_TYPES]
    rng.shuffle(frag)
    entries = {n: Entry(n, media[n]) for n in frag + whole}
    lost = []
    units = contiguous_units([entries[n] for n in whole], rng, lost, filler)
    return filler, frag, entries, lost, units


def place(units, stored, filler, rng, kinds):
    """Puts pieces (owner, piece number) in the stored order at a random place, each gap
    between two of them holding filler or a run of other units."""
    block = []
    for k, (owner, n) in enumerate(stored):
        if k:
            block += gap_unit(units, filler, rng, kinds)
        block += piece_unit(owner, n, rng)
    units.insert(rng.randrange(len(units) + 1), block)


def alternate(a, b):
    out = []
    for k in range(max(len(a), len(b))):
        out += a[k:k + 1] + b[k:k + 1]
    return out


def build_fragmented(path, media, rng, orders, kinds):
    """Each file to be fragmented gets a storage order from `orders` (piece numbers from the
    lowest offset up); every fourth shares its place with the next one, pieces alternating."""
    filler, frag, entries, lost, units = start_image(media, rng)
    chosen = {}
    i = 0
    while i < len(frag):
        e = entries[frag[i]]
        order = rng.choice(orders)
        i += 1
        if not e.split(len(order), rng):
            units.insert(rng.randrange(len(units) + 1), piece_unit(e, 0, rng))
            continue
        chosen[e.name] = order
        stored = [(e, n) for n in order]
        if i % 4 == 1 and i < len(frag):
            partner = entries[frag[i]]
            order2 = orders[0]
            if partner.split(len(order2), rng):
                chosen[partner.name] = order2
                stored = alternate(stored, [(partner, n) for n in order2])
                i += 1
        place(units, stored, filler, rng, kinds)
    write_image(path, units, rng)
    truth = [e.truth() for e in entries.values()]
    for t in truth:
        t["order"] = list(chosen.get(t["name"], (0,)))
    words = {"random": "random data", "zeros": "zeros", "old": "old photo data",
             "files": "other files"}
    return truth, lost, {f"gaps of {words[k]}": n for k, n in filler.count.items()}


def build_frag2(path, media, rng):
    return build_fragmented(path, media, rng, [(0, 1)],
                            ["random", "zeros", "old", "files", "files"])


# Storage orders for frag3. Those where a later piece comes before piece 0 are the ones a
# forward-only search cannot rebuild.
ORDERS3 = [(0, 1, 2)] * 4 + [(0, 1, 2, 3), (1, 0, 2), (2, 0, 1), (1, 2, 0), (1, 0)]


def build_frag3(path, media, rng):
    return build_fragmented(path, media, rng, ORDERS3, ["random", "zeros", "old", "files"])


def build_interleaved(path, media, rng):
    """Two recordings: a main clip with its proxy (1 MiB and 256 KiB chunks), and three clips
    in chunks of 64 to 256 KiB; photos and clips taken before and after them around."""
    filler = Filler(rng, {n: d for n, d in media.items() if n.startswith("old")})
    groups = [(["rec-main.mp4", "rec-proxy.mov"], [[1 << 20], [256 << 10]]),
              (["rec2-main.mp4", "rec2-side.mov", "rec2-mjpg.avi"],
               [[64 << 10, 128 << 10, 256 << 10]] * 3)]
    entries = []
    units = []
    for names, chunk_sizes in groups:
        streams = [Entry(n, media[n]) for n in names if n in media]
        entries += streams
        for e in streams:
            sizes = chunk_sizes[names.index(e.name)]
            cuts, at = [0], 0
            while True:
                at += rng.choice(sizes)
                if at >= len(e.data):
                    break
                cuts.append(at)
            e.cuts = cuts + [len(e.data)]
        block, next_piece = [], {e.name: 0 for e in streams}
        while any(next_piece[e.name] < len(e.cuts) - 1 for e in streams):
            for e in streams:
                n = next_piece[e.name]
                if n < len(e.cuts) - 1:
                    block += piece_unit(e, n, rng)
                    next_piece[e.name] = n + 1
        units.append(block)
    others = [n for n in ("p00.jpg", "p01.jpg", "p02.jpg", "v00.mp4", "v01.mov", "a00.wav",
                          "c-IMG_5195.HEIC") if n in media]
    for name in others:
        e = Entry(name, media[name])
        entries.append(e)
        units.insert(rng.randrange(len(units) + 1), piece_unit(e, 0, rng))
    units = [filler.make("random", 64, False)] + [
        u for unit in units for u in (unit, filler.make("zeros", 16, False))]
    write_image(path, units, rng)
    return [e.truth() for e in entries], [], {"recordings": "2 (2 and 3 clips)"}


# --- A camera card with FAT cluster re-use -------------------------------------------------

def fat_geometry(card):
    with open(card, "rb") as f:
        boot = f.read(SECTOR)
    per_sector, per_cluster, reserved, fats = struct.unpack_from("<HBHB", boot, 11)
    fat_size = struct.unpack_from("<I", boot, 36)[0]
    data_start = (reserved + fats * fat_size) * per_sector
    return data_start, per_cluster * per_sector


def first_fit(card):
    """Sets the FSInfo hint of the next free cluster back to the start, so the next file goes
    into the first free clusters, as camera firmware does (mtools would go on after the last)."""
    with open(card, "r+b") as f:
        f.seek(SECTOR + 0x1EC)
        f.write(struct.pack("<I", 2))


def chain(card, name, geometry):
    """The file's pieces on the card, from its cluster chain (mshowfat: <2-10> <15-20>)."""
    out = subprocess.run(f"mshowfat -i '{card}' '::DCIM/{name}'", shell=True,
                         capture_output=True, text=True, env=MTOOLS_ENV).stdout
    start, size = geometry
    pieces = []
    for a, b in re.findall(r"<(\d+)(?:-(\d+))?>", out):
        first, last = int(a), int(b or a)
        pieces.append((start + (first - 2) * size, (last - first + 1) * size))
    return pieces


# Fixed times, so that the same seed gives the same card.
MTOOLS_ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH="1700000000")


def mt(cmd):
    subprocess.run(cmd, shell=True, check=False, env=MTOOLS_ENV, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def build_fatreuse(path, media, work, rng, card_mib=80):
    """Camera history on a FAT32 card with 1 KiB clusters: three sessions of photos and clips,
    many deleted in the camera after each, each session written into the clusters freed before
    it (fragmented over them); the later sessions' files deleted at last. What is still whole
    on the card is the truth; files whose start survives but not the rest are lost."""
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(f"truncate -s {card_mib}M '{path}' && "
                   f"mkfs.vfat -F 32 -s 2 -n CARD -i 5A1F0C4D --invariant '{path}'",
                   shell=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    geometry = fat_geometry(path)
    mt(f"mmd -i '{path}' ::DCIM")
    stage = os.path.join(work, "fat-stage")
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    pool = [n for n in media if type_of(n) in ("jpg", "heic", "mp4", "mov", "avi", "wav",
                                                "png", "webp", "flac")
            and not n.startswith(("old", "rec", "cam"))]
    clips = [n for n in pool if type_of(n) in ("mp4", "mov", "avi")]
    stills = [n for n in pool if n not in clips] + [n for n in media if n.startswith("cam")]
    rng.shuffle(clips)
    rng.shuffle(stills)
    a, b = len(stills) * 3 // 5, len(stills) * 4 // 5
    second = stills[a:b] + clips[2:]
    rng.shuffle(second)
    sessions = [stills[:a] + clips[:2], second, stills[b:]]
    written = {}  # card name -> (media name, pieces)
    number = [100]

    def shoot(name):
        number[0] += 1
        prefix = "MVI" if type_of(name) in ("mp4", "mov", "avi") else "IMG"
        card_name = f"{prefix}_{number[0]:04d}.{name.rsplit('.', 1)[-1].upper()}"
        staged = os.path.join(stage, card_name)
        with open(staged, "wb") as f:
            f.write(media[name])
        os.utime(staged, (1700000000 + 60 * number[0],) * 2)
        first_fit(path)
        mt(f"mcopy -i '{path}' '{staged}' ::DCIM/")
        written[card_name] = (name, chain(path, card_name, geometry))
        return card_name

    def delete(names):
        for c in names:
            mt(f"mdel -i '{path}' ::DCIM/{c}")
            live.remove(c)

    # Photos and two clips, 60% of them deleted in the camera; more photos and the clips shot
    # into the holes, 40% of what is on the card deleted; more photos; at last everything of
    # the later sessions is deleted too (its data stays).
    live = [shoot(n) for n in sessions[0]]
    delete([c for c in list(live) if rng.random() < 0.6])
    first = list(live)
    live += [shoot(n) for n in sessions[1]]
    delete([c for c in list(live) if rng.random() < 0.4])
    live += [shoot(n) for n in sessions[2]]
    delete([c for c in list(live) if c not in first])
    shutil.rmtree(stage)

    with open(path, "rb") as f:
        card = f.read()
    truth, lost = [], []
    for card_name, (name, pieces) in written.items():
        data = media[name]
        at, whole, runs = 0, True, []
        for offset, length in pieces:
            take = min(length, len(data) - at)
            if card[offset:offset + take] != data[at:at + take]:
                whole = False
            runs.append((offset, take))
            at += take
        if whole and at == len(data):
            truth.append({"name": card_name, "type": type_of(name), "sha256": sha256(data),
                          "size": len(data), "pieces": merge(runs),
                          "deleted": card_name not in live})
        elif pieces and card[pieces[0][0]:pieces[0][0] + 4096] == data[:4096]:
            lost.append({"name": card_name, "type": type_of(name), "head": data[:4096]})
    count = {"files shot": len(written), "not deleted": len(live)}
    return truth, lost, count


IMAGES = ("frag2", "frag3", "fatreuse", "interleaved-video")


def build_all(work, media, seed, only=None):
    """Builds the fragmented images (each from its own seed, so a subset is the same images);
    returns (image, truth, lost heads, composition) for each."""
    builders = {
        "frag2": lambda p, rng: build_frag2(p, media, rng),
        "frag3": lambda p, rng: build_frag3(p, media, rng),
        "fatreuse": lambda p, rng: build_fatreuse(p, media, work, rng),
        "interleaved-video": lambda p, rng: build_interleaved(p, media, rng),
    }
    images = []
    for name in IMAGES:
        if only and name not in only:
            continue
        path = os.path.join(work, name + ".img")
        truth, lost, count = builders[name](path, random.Random(f"{seed}-{name}"))
        with open(path + ".truth.json", "w") as f:
            json.dump({"files": truth, "lost": [{k: v for k, v in x.items() if k != "head"}
                                                for x in lost], "layout": count}, f, indent=1)
        images.append((path, truth, lost, count))
    return images
