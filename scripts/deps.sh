#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, when missing.
set -euo pipefail
packages=(cmake g++ ninja-build libgtest-dev libbenchmark-dev
  imagemagick ffmpeg libjpeg-turbo-progs libimage-exiftool-perl
  dosfstools mtools libxml2-utils pkg-config libjpeg62-turbo-dev libspng-dev libwebp-dev
  libheif-dev libavformat-dev libavcodec-dev libavutil-dev libgif-dev)
# The HEVC and AV1 decoders and zlib, which the HEIF and TIFF validators call themselves.
packages+=(libde265-dev libaom-dev zlib1g-dev)
# Evidence images: libewf and afflib read them; their tools make the test images.
packages+=(libewf-dev libafflib-dev ewf-tools afflib-tools)
# File systems (names and dates of recovered files): The Sleuth Kit; mkfs.ext4 for the tests.
packages+=(libtsk-dev e2fsprogs)
# exFAT (written through FUSE on a loop device) and ISO 9660 test images.
packages+=(exfatprogs exfat-fuse fuse3 genisoimage)
# NTFS test images (mkfs.ntfs, ntfscp, ntfstruncate), made without mounting.
packages+=(ntfs-3g)
# The cluster recipe's test: a single-node Slurm (and the munge it authenticates with).
packages+=(slurmctld slurmd slurm-client munge)
# Thumbnails: TIFF (libtiff) and movie frames (libswscale); the gallery test opens the page in
# headless Chromium.
packages+=(libtiff-dev libswscale-dev chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "salvor: missing Debian packages: ${missing[*]} (run as root or install them)" >&2
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
