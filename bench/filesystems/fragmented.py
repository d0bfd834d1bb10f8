#!/usr/bin/env python3
"""Fragmented photos on FAT32 and NTFS, recovered through their file system's record.

Each card gets hundreds of small files, every other one (FAT32: half at random) removed, and
then the photos copied into the holes (FAT32 through mtools, its next-free hint set back to
cluster 2 before each photo; NTFS through ntfscp on a volume filled up, so that the holes are
all the space left). The "-deleted" cards then lose their photos: mdel frees a FAT chain, and
on NTFS each photo's record is marked free as a deletion leaves it. Counted: the photos that
come back byte-identical from salvor without the file systems (the carve and its search for
fragments), salvor with them, and PhotoRec. Fragmentation is read with The Sleuth Kit's istat.

Usage: bench/filesystems/fragmented.py [--work DIR] [--salvor PATH] [cards: fat fat-deleted
                                        ntfs ntfs-deleted]
"""
import argparse
import glob
import hashlib
import os
import random
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def sh(command, **kwargs):
    return subprocess.run(command, shell=True, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, **kwargs).stdout


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def photos(work):
    folder = os.path.join(work, "photos")
    if not os.path.isdir(folder):
        os.makedirs(folder)
        for path in sorted(glob.glob(os.path.join(ROOT, "testdata/corpus/jpg/*.jpg"))):
            shutil.copy(path, folder)
        for i in range(15):
            sh(f"convert -seed {i} -size {640 + 40 * i}x{480 + 30 * i} plasma: -quality 92 "
               f"'{folder}/gen{i:02d}.jpg'")
    return sorted(glob.glob(folder + "/*.jpg"))


def pieces(image, name):
    """The runs of a file's data, by istat's list of its blocks (padded with zeros)."""
    out = sh(f"istat '{image}' $(ifind -n '{name}' '{image}')")
    listing = out.split("Sectors:" if "Sectors:" in out else "$DATA", 1)[1].split("\n", 1)[1]
    blocks = [int(x) for x in listing.split() if x.isdigit() and x != "0"]
    return 1 + sum(1 for a, b in zip(blocks, blocks[1:]) if b != a + 1)


def pads(work, rng, count, most_clusters):
    paths = []
    for i in range(count):
        path = os.path.join(work, f"pad{i}")
        with open(path, "wb") as f:
            f.write(os.urandom(rng.randint(1, most_clusters) * 4096 - rng.randint(0, 4000)))
        paths.append(path)
    return paths


def fat_card(work, rng, deleted):
    image = os.path.join(work, "fat-deleted.img" if deleted else "fat.img")
    sh(f"rm -f '{image}' && truncate -s 300M '{image}' && mkfs.fat -F 32 -s 8 '{image}'")
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    sh(f"mcopy -i '{image}' " + " ".join(pads(work, rng, 300, 6)) + " ::/", env=env)
    sh(f"mdel -i '{image}' " + " ".join(f"::/pad{i}" for i in rng.sample(range(300), 150)),
       env=env)
    copied = photos(work)
    for path in copied:
        sh(f"printf '\\377\\377\\377\\377\\002\\000\\000\\000' | "
           f"dd of='{image}' bs=1 seek=1000 conv=notrunc", env=env)
        sh(f"mcopy -i '{image}' '{path}' ::/", env=env)
    truth = {sha256(p): pieces(image, os.path.basename(p)) for p in copied}
    if deleted:
        sh(f"mdel -i '{image}' " + " ".join("::/" + os.path.basename(p) for p in copied), env=env)
    return image, truth


def free_clusters(image):
    return int(sh(f"ntfsinfo -m '{image}' | awk '/Free Clusters/ {{print $3}}'"))


def ntfs_card(work, rng, deleted):
    image = os.path.join(work, "ntfs-deleted.img" if deleted else "ntfs.img")
    sh(f"rm -f '{image}' && truncate -s 128M '{image}' && mkfs.ntfs -F -f -q -c 4096 '{image}'")
    for i, path in enumerate(pads(work, rng, 600, 16)):
        sh(f"ntfscp -q '{image}' '{path}' pad{i}")
    empty = os.path.join(work, "empty")
    open(empty, "wb").close()
    # The MFT zone counts as free but takes no data: fill what will take it, halving the size
    # asked for whenever nothing more fits.
    size, count = free_clusters(image), 0
    while size >= 1 and free_clusters(image) > 40:
        before = free_clusters(image)
        sh(f"ntfscp -q '{image}' '{empty}' filler{count}")
        subprocess.run(f"ntfsfallocate -l {size * 4096} '{image}' filler{count}", shell=True,
                       **QUIET)
        count += 1
        if free_clusters(image) == before:
            size //= 2
    wanted = photos(work)
    need = sum((os.path.getsize(p) + 4095) // 4096 for p in wanted)
    inodes = dict(line.split()[::-1] for line in sh(f"ntfsls -i '{image}'").splitlines()
                  if line.strip())
    for i in range(0, 600, 2):
        if free_clusters(image) > need + 600:
            break
        sh(f"ntfstruncate -q '{image}' {inodes['pad%d' % i]} 0")
    copied = [p for p in wanted if subprocess.run(
        f"ntfscp -q '{image}' '{p}' '{os.path.basename(p)}'", shell=True, **QUIET).returncode == 0]
    truth = {sha256(p): pieces(image, os.path.basename(p)) for p in copied}
    if deleted:
        for path in copied:
            mark_record_free(image, os.path.basename(path))
    return image, truth


def mark_record_free(image, name):
    """Clears the in-use flag of the MFT record holding the file's name (offset 22)."""
    with open(image, "r+b") as f:
        data = f.read()
        needle = name.encode("utf-16-le")
        at = data.find(needle)
        while at >= 0:
            record = at // 1024 * 1024
            if data[record:record + 4] == b"FILE" and data[record + 22:record + 24] == b"\1\0":
                f.seek(record + 22)
                f.write(b"\0\0")
                return
            at = data.find(needle, at + 1)
    raise RuntimeError(f"no record for {name}")


def recovered(folder):
    return {sha256(p) for p in glob.glob(folder + "/**/*", recursive=True)
            if os.path.isfile(p) and not p.endswith((".xml", ".log"))}


def measure(salvor, image, truth):
    found = {}
    for name, options in (("carve alone", "--no-file-systems"), ("with run lists", "")):
        out = image + "." + name.replace(" ", "-")
        shutil.rmtree(out, ignore_errors=True)
        subprocess.run(f"'{salvor}' scan '{image}' -o '{out}' -q {options}", shell=True, **QUIET)
        found[name] = recovered(out)
    out = image + ".photorec"
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    subprocess.run(f"photorec /log /d '{out}/recup' /cmd '{image}' "
                   "partition_none,fileopt,everything,enable,search", shell=True, cwd=out,
                   **QUIET)
    found["PhotoRec"] = recovered(out)
    fragmented = {h for h, n in truth.items() if n > 1}
    print(f"{os.path.basename(image)}: {len(truth)} photos, {len(fragmented)} fragmented "
          f"({sum(truth[h] for h in fragmented)} pieces)")
    for name, hashes in found.items():
        print(f"  {name:15} fragmented {len(fragmented & hashes):3}/{len(fragmented)}"
              f"   all {len(set(truth) & hashes):3}/{len(truth)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work", default=os.path.join(ROOT, "build/bench-fragmented"))
    parser.add_argument("--salvor", default=os.path.join(ROOT, "build/bin/salvor"))
    parser.add_argument("cards", nargs="*", default=["fat", "fat-deleted", "ntfs", "ntfs-deleted"])
    args = parser.parse_args()
    need = {"istat": "sleuthkit", "photorec": "testdisk", "mcopy": "mtools",
            "mkfs.fat": "dosfstools", "ntfscp": "ntfs-3g", "convert": "imagemagick"}
    missing = sorted({pkg for tool, pkg in need.items() if shutil.which(tool) is None})
    if missing and os.geteuid() == 0:
        sh("apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "
           + " ".join(missing))
    os.makedirs(args.work, exist_ok=True)
    for card in args.cards:
        kind, _, state = card.partition("-")
        make = fat_card if kind == "fat" else ntfs_card
        image, truth = make(args.work, random.Random(7), state == "deleted")
        measure(args.salvor, image, truth)


if __name__ == "__main__":
    main()
