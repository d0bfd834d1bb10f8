// BMP/DIB: no library decodes bitmaps, and their pixel rows carry no structure to check. What
// the format offers is checked instead: the headers against each other (file size, pixel
// offset, row size times height), RLE data decoded to its end-of-bitmap marker, an embedded
// JPEG or PNG by its own validator, and no sector of the pixel rows starting another file.
// Rows that pass all that cannot be told from damage.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "validate/Formats.h"
#include "validate/Spans.h"

namespace salvor {
namespace {

constexpr long long kSector = 512;
constexpr long long kRead = 64 * 1024;
constexpr long long kMaxSide = 1 << 20;
// Writers pad the file a little past the pixels (or the colour profile after them).
constexpr long long kMaxPadding = 4096;
// RLE data fills its declared size to the end-of-bitmap marker, give or take alignment.
constexpr long long kRleSlack = 4;

enum Compression : uint32_t {
  kRgb = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,
  kJpeg = 4,
  kPng = 5,
  kAlphaBitFields = 6,
};

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Whether `p` (at least 16 bytes at a sector's start) begins a file of another kind, by more
// of its header than pixels could match by chance.
bool StartsAnotherFile(const uint8_t* p) {
  static const uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) {
    const uint16_t length = static_cast<uint16_t>(p[4] << 8 | p[5]);
    if (p[3] == 0xE0) return std::memcmp(p + 6, "JFIF", 4) == 0;
    if (p[3] == 0xE1) return std::memcmp(p + 6, "Exif", 4) == 0;
    if (p[3] == 0xDB) return length == 0x43 || length == 0x84;
    return false;
  }
  if (std::memcmp(p, kPngSignature, 8) == 0) return std::memcmp(p + 12, "IHDR", 4) == 0;
  if (std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0) return true;
  if (std::memcmp(p, "RIFF", 4) == 0)
    return std::memcmp(p + 8, "WEBP", 4) == 0 || std::memcmp(p + 8, "AVI ", 4) == 0 ||
           std::memcmp(p + 8, "WAVE", 4) == 0;
  if (std::memcmp(p + 4, "ftyp", 4) == 0) {
    const uint32_t box = static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
    return box >= 16 && box <= 256 && box % 4 == 0;
  }
  if (p[0] == 'B' && p[1] == 'M') {
    const uint32_t header = Le32(p + 14);
    return Le32(p + 6) == 0 &&
           (header == 12 || header == 40 || header == 56 || header == 108 || header == 124) &&
           Le32(p + 10) >= 14 + header && Le32(p + 10) < (1u << 20);
  }
  return false;
}

struct Header {
  long long fileSize = 0;
  long long pixelOffset = 0;
  long long headersEnd = 0;
  uint32_t dibSize = 0;
  long long width = 0, height = 0;
  unsigned planes = 0, bits = 0;
  uint32_t compression = kRgb, imageSize = 0, colorsUsed = 0;
  long long profileEnd = 0;  // of a V5 header's embedded colour profile
};

// Reads and checks the file and DIB headers; false (with `at` set to where they stop making
// sense) when they do not hold together.
bool ReadHeader(ByteSpan& bytes, Header* h, long long* at, const char** reason) {
  uint8_t d[14 + 124] = {};
  const long long got = bytes.Read(0, d, sizeof d);
  *reason = "headers do not hold together";
  if (got < 18) {
    *at = got;
    *reason = got < bytes.Size() ? "unreadable" : "cut short";
    return false;
  }
  if (d[0] != 'B' || d[1] != 'M') {
    *at = d[0] != 'B' ? 0 : 1;
    *reason = "no BM signature";
    return false;
  }
  h->fileSize = Le32(d + 2);
  h->pixelOffset = Le32(d + 10);
  h->dibSize = Le32(d + 14);
  *at = 18;
  switch (h->dibSize) {
    case 12:
    case 16:
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124:
      break;
    default:
      return false;
  }
  *at = 14 + h->dibSize;
  if (got < *at) {
    *at = got;
    *reason = got < bytes.Size() ? "unreadable" : "cut short";
    return false;
  }
  const uint8_t* dib = d + 14;
  if (h->dibSize == 12) {
    h->width = Le16(dib + 4);
    h->height = Le16(dib + 6);
    h->planes = Le16(dib + 8);
    h->bits = Le16(dib + 10);
  } else {
    h->width = static_cast<int32_t>(Le32(dib + 4));
    h->height = std::llabs(static_cast<int32_t>(Le32(dib + 8)));
    h->planes = Le16(dib + 12);
    h->bits = Le16(dib + 14);
    if (h->dibSize >= 40) {
      h->compression = Le32(dib + 16);
      h->imageSize = Le32(dib + 20);
      h->colorsUsed = Le32(dib + 32);
    }
    if (h->dibSize == 124 && Le32(dib + 56) == 0x4D424544)  // 'MBED': profile in the file
      h->profileEnd = 14LL + Le32(dib + 112) + Le32(dib + 116);
  }
  h->headersEnd = 14 + h->dibSize;
  if (h->dibSize == 40 && h->compression == kBitFields) h->headersEnd += 12;
  if (h->dibSize == 40 && h->compression == kAlphaBitFields) h->headersEnd += 16;
  const bool depth = h->bits == 1 || h->bits == 2 || h->bits == 4 || h->bits == 8 ||
                     h->bits == 16 || h->bits == 24 || h->bits == 32;
  bool format = false;
  switch (h->compression) {
    case kRgb:
      format = depth;
      break;
    case kRle8:
      format = h->bits == 8;
      break;
    case kRle4:
      format = h->bits == 4;
      break;
    case kBitFields:
    case kAlphaBitFields:
      format = h->bits == 16 || h->bits == 32;
      break;
    case kJpeg:
    case kPng:
      format = h->bits == 0 || depth;
      break;
    default:
      break;
  }
  return h->planes == 1 && h->width > 0 && h->width <= kMaxSide && h->height > 0 &&
         h->height <= kMaxSide && format && (h->bits > 8 || h->colorsUsed <= (1u << h->bits)) &&
         h->pixelOffset >= h->headersEnd;
}

// Decodes RLE8 or RLE4 data from `from` to its end-of-bitmap marker: every run within its
// row, every row within the image. Returns where the marker ends, or -1 with `at` and
// `reason` set.
long long DecodeRle(ByteSpan& bytes, const Header& h, long long from, long long limit,
                    long long* at, const char** reason) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kRead]);
  long long bufferAt = from, buffered = 0;
  long long pos = from, x = 0, y = 0;
  const bool rle4 = h.compression == kRle4;
  // The byte at `pos`, or -1 past the data.
  const auto next = [&]() -> int {
    if (pos >= limit) return -1;
    if (pos >= bufferAt + buffered) {
      bufferAt = pos;
      buffered = std::max(0LL, bytes.Read(pos, buffer.get(), std::min(kRead, limit - pos)));
      if (buffered == 0) return -1;
    }
    return buffer[pos++ - bufferAt];
  };
  const auto fail = [&](const char* why) {
    *at = std::min(pos, bytes.Size());
    *reason = pos >= bytes.Size() ? "cut short" : why;
    return -1LL;
  };
  for (;;) {
    const int count = next(), code = next();
    if (code < 0) return fail("RLE data without its end-of-bitmap marker");
    if (count > 0) {  // a run of one value
      x += count;
      if (x > h.width) return fail("RLE run past the end of its row");
    } else if (code == 0) {  // end of row
      x = 0;
      if (++y > h.height) return fail("more RLE rows than the image has");
    } else if (code == 1) {  // end of bitmap
      return pos;
    } else if (code == 2) {  // move right and down
      const int dx = next(), dy = next();
      if (dy < 0) return fail("RLE data without its end-of-bitmap marker");
      x += dx;
      y += dy;
      if (x > h.width || y > h.height) return fail("RLE move outside the image");
    } else {  // `code` pixels as they are, padded to 16 bits
      const long long length = rle4 ? (code + 1) / 2 : code;
      for (long long k = 0; k < length + (length & 1); ++k)
        if (next() < 0) return fail("RLE data without its end-of-bitmap marker");
      x += code;
      if (x > h.width) return fail("RLE pixels past the end of their row");
    }
  }
}

}  // namespace

Validation ValidateBmp(ByteSpan& bytes) {
  const long long size = bytes.Size();
  Header h;
  long long at = 0;
  const char* reason = "";
  if (!ReadHeader(bytes, &h, &at, &reason)) return Validation::Damaged(0, at, reason);

  // Where the pixels end: the rows, or the compressed data's declared size (or the file's).
  const bool rows =
      h.compression == kRgb || h.compression == kBitFields || h.compression == kAlphaBitFields;
  long long pixelsEnd = h.pixelOffset;
  if (rows)
    pixelsEnd += (h.width * h.bits + 31) / 32 * 4 * h.height;
  else if (h.imageSize != 0)
    pixelsEnd += h.imageSize;
  else if (h.fileSize != 0)
    pixelsEnd = h.fileSize;
  else
    return Validation::Damaged(0, h.headersEnd, "compressed pixels without a size");
  const long long needed = std::max(pixelsEnd, h.profileEnd);
  // The declared size covers the pixels and a little padding; some writers leave it 0.
  if (h.fileSize != 0 && (h.fileSize < needed || h.fileSize > needed + kMaxPadding))
    return Validation::Damaged(0, h.headersEnd, "file size does not match the pixels");
  const long long end = h.fileSize != 0 ? h.fileSize : needed;
  if (h.pixelOffset >= size) return Validation::Damaged(0, size, "cut short");

  if (h.compression == kJpeg || h.compression == kPng) {
    SubSpan image(bytes, h.pixelOffset, pixelsEnd - h.pixelOffset);
    const Validation v = h.compression == kJpeg ? ValidateJpeg(image) : ValidatePng(image);
    if (v.verdict == Verdict::kDamaged)
      return Validation::Damaged(h.pixelOffset + v.goodUntil, h.pixelOffset + v.damagedAt,
                                 v.reason);
    if (v.verdict == Verdict::kCannotTell) return v;
  } else if (h.compression == kRle8 || h.compression == kRle4) {
    const long long marker = DecodeRle(bytes, h, h.pixelOffset, pixelsEnd, &at, &reason);
    if (marker < 0) return Validation::Damaged(0, at, reason);
    if (pixelsEnd - marker > (h.imageSize != 0 ? kRleSlack : kMaxPadding))
      return Validation::Damaged(0, marker, "RLE data ends before its declared size");
  } else {
    // Rows of pixels: only another file starting inside them gives damage away.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kRead]);
    const long long stop = std::min(pixelsEnd, size);
    for (long long from = (h.pixelOffset + kSector - 1) / kSector * kSector; from < stop;) {
      const long long got = bytes.Read(from, buffer.get(), std::min(kRead, stop - from));
      if (got <= 0) return Validation::Damaged(0, from, "unreadable");
      for (long long sector = 0; sector + 16 <= got; sector += kSector)
        if (StartsAnotherFile(buffer.get() + sector))
          return Validation::Damaged(0, from + sector, "another file starts inside the pixels");
      from += got;
    }
  }
  if (end > size) return Validation::Damaged(0, size, "cut short");
  return rows ? Validation::CannotTell() : Validation::Intact(end);
}

}  // namespace salvor
