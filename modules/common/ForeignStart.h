#pragma once

#include <cstdint>
#include <cstring>

#include "salvor/CDataStream.h"
#include "modules/common/Checked.h"
#include "modules/common/HeadRead.h"

namespace salvor {

// A file whose header claims more than survived: when its clusters were reused, the claimed
// range runs into the files written over it, and the scan, which resumes after a delivered
// file, would never see them. These helpers find where another file begins inside such a
// range, by first bytes that data inside a file cannot be taken for by chance.

constexpr size_t kForeignProbeBytes = 16;

// True when the 10 bytes before a TIFF header make it an EXIF block ("Exif\0\0" right before)
// or a Nikon MakerNote's ("Nikon\0", a version, then the header): a structure, not a file.
inline bool ExifBefore(const uint8_t* before10) {
  return memcmp(before10 + 4, "Exif\0\0", 6) == 0 || memcmp(before10, "Nikon\0", 6) == 0;
}

// True when the kForeignProbeBytes at `p` begin a photo, video or image file: a JPEG with its
// EXIF or JFIF segment, a TIFF or camera RAW, an ISO media file, PNG, GIF, RIFF, Matroska or
// Photoshop document.
inline bool BeginsForeignFile(const uint8_t* p) {
  if (p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) {
    return (p[3] == 0xE1 && memcmp(p + 6, "Exif\0\0", 6) == 0) ||
           (p[3] == 0xE0 && memcmp(p + 6, "JFIF\0", 5) == 0);
  }
  if ((memcmp(p, "II*\0", 4) == 0 && LoadLE32(p + 4) >= 8 && LoadLE32(p + 4) < (1u << 20)) ||
      (memcmp(p, "MM\0*", 4) == 0 && LoadBE32(p + 4) >= 8 && LoadBE32(p + 4) < (1u << 20)))
    return true;
  if (memcmp(p + 4, "ftyp", 4) == 0) {
    const uint32_t size = LoadBE32(p);
    for (int i = 8; i < 12; ++i)
      if (p[i] < 0x20 || p[i] > 0x7E) return false;
    return size >= 16 && size <= 4096;
  }
  if (memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0) return true;
  if (memcmp(p, "GIF87a", 6) == 0 || memcmp(p, "GIF89a", 6) == 0) return true;
  if (memcmp(p, "RIFF", 4) == 0)
    return memcmp(p + 8, "AVI ", 4) == 0 || memcmp(p + 8, "WAVE", 4) == 0 ||
           memcmp(p + 8, "WEBP", 4) == 0;
  if (memcmp(p, "\x1A\x45\xDF\xA3", 4) == 0) {
    for (size_t i = 4; i + 1 < kForeignProbeBytes; ++i)
      if (p[i] == 0x42 && (p[i + 1] == 0x86 || p[i + 1] == 0x82)) return true;  // EBML fields
    return false;
  }
  return memcmp(p, "8BPS\0", 5) == 0 && (p[5] == 1 || p[5] == 2) &&
         memcmp(p + 6, "\0\0\0\0\0\0", 6) == 0;
}

// How many matches one search asks `ownPart` about. A file with more parts of its own that
// look like files (frames of a Motion JPEG movie) is taken as it stands: the limit keeps a
// hostile one from making every block cost a walk of its structure.
constexpr int kMaxOwnPartQuestions = 16;

// The first block start in (from, to) where another file begins, or -1. `ownPart(position)`
// tells a part of the file itself (an embedded preview) apart; it is asked only at a match.
// Reads kForeignProbeBytes per block of the range.
template <typename OwnPart>
long long FirstForeignStart(CDataStream* stream, long long from, long long to, long long blockSize,
                            OwnPart&& ownPart) {
  if (blockSize <= 0 || from < 0) return -1;
  long long block = (from / blockSize + 1) * blockSize;
  // The bytes before each block start too: a TIFF header right after "Exif\0\0", or a Nikon
  // MakerNote's ("Nikon\0", a version, then the header), is an EXIF block, not a file.
  constexpr size_t kBefore = 10;
  uint8_t bytes[kBefore + kForeignProbeBytes];
  const uint8_t* head = bytes + kBefore;
  int questions = 0;
  for (; block < to; block += blockSize) {
    if (block < static_cast<long long>(kBefore)) continue;
    if (ReadAt(stream, block - kBefore, bytes, sizeof bytes) != sizeof bytes) return -1;
    if (!BeginsForeignFile(head)) continue;
    if ((head[0] == 'I' || head[0] == 'M') && ExifBefore(bytes)) continue;
    if (++questions > kMaxOwnPartQuestions) return -1;
    if (!ownPart(block)) return block;
  }
  return -1;
}

}  // namespace salvor
