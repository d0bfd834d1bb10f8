#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "salvor/CDataStream.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"
#include "modules/common/TrailingZeros.h"

namespace salvor {
namespace {

const HandlerInfo kBmpInfo = {"salvor.bmp", "image/bmp", "Windows bitmap",
                              "bmp;dib",    262144,      2097151};

enum Compression {
  kRgb = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,
  kJpeg = 4,
  kPng = 5,
  kAlphaBitFields = 6
};

struct BmpLayout {
  long long fileSize = 0;  // the size the file header declares
  long long headersEnd = 0;
  long long pixelOffset = 0;
  long long expectedEnd = 0;  // end of the pixel array (or of an ICC profile after it)
  long long end = 0;          // where the file ends: the declared size, or the computed one
  unsigned bits = 0;
  uint32_t compression = kRgb;
};

bool KnownHeaderSize(uint32_t size) {
  switch (size) {
    case 12:
    case 16:
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124:
      return true;
    default:
      return false;
  }
}

// The 18 bytes that every BMP begins with: file header and the DIB header's size.
bool CanStartBmp(const uint8_t* p) {
  return p[0] == 'B' && p[1] == 'M' && LoadLE16(p + 6) == 0 && LoadLE16(p + 8) == 0 &&
         KnownHeaderSize(LoadLE32(p + 14)) && LoadLE32(p + 10) >= 14 + LoadLE32(p + 14);
}

// The fields of the DIB header (BITMAPCOREHEADER or BITMAPINFOHEADER and its successors).
struct DibHeader {
  uint32_t size = 0;
  long long width = 0, height = 0;
  unsigned planes = 0, bits = 0;
  uint32_t compression = kRgb, imageSize = 0, colorsUsed = 0;
  bool embeddedProfile = false;  // a V5 header's colour profile after the pixels
  uint32_t profileOffset = 0, profileSize = 0;
};

// Reads the DIB header after the 14-byte file header.
bool ReadDibHeader(CStreamReader& reader, uint32_t size, DibHeader* dib) {
  uint8_t d[124];
  if (size > sizeof d || !reader.Read(14, d, size)) return false;
  dib->size = size;
  if (size == 12) {
    dib->width = LoadLE16(d + 4);
    dib->height = LoadLE16(d + 6);
    dib->planes = LoadLE16(d + 8);
    dib->bits = LoadLE16(d + 10);
    return true;
  }
  dib->width = static_cast<int32_t>(LoadLE32(d + 4));
  dib->height = std::llabs(static_cast<int32_t>(LoadLE32(d + 8)));
  dib->planes = LoadLE16(d + 12);
  dib->bits = LoadLE16(d + 14);
  if (size >= 40) {
    dib->compression = LoadLE32(d + 16);
    dib->imageSize = LoadLE32(d + 20);
    dib->colorsUsed = LoadLE32(d + 32);
  }
  if (size == 124 && LoadLE32(d + 56) == 0x4D424544 /* 'MBED' */) {
    dib->embeddedProfile = true;
    dib->profileOffset = LoadLE32(d + 112);
    dib->profileSize = LoadLE32(d + 116);
  }
  return true;
}

// Whether the bit depth, the compression and the palette size fit together.
bool PixelFormatValid(const DibHeader& dib) {
  switch (dib.bits) {
    case 0:
      if (dib.compression != kJpeg && dib.compression != kPng) return false;
      break;
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      return false;
  }
  switch (dib.compression) {
    case kRgb:
    case kJpeg:
    case kPng:
      break;
    case kRle8:
      if (dib.bits != 8) return false;
      break;
    case kRle4:
      if (dib.bits != 4) return false;
      break;
    case kBitFields:
    case kAlphaBitFields:
      if (dib.bits != 16 && dib.bits != 32) return false;
      break;
    default:
      return false;
  }
  if (dib.bits <= 8 && dib.colorsUsed > (1u << dib.bits)) return false;
  return dib.bits <= 8 || dib.colorsUsed <= 65536;
}

// Bytes of the pixel array: rows padded to 4 bytes, or the declared size of compressed data.
bool PixelBytes(const DibHeader& dib, long long* bytes) {
  if (dib.compression == kRgb || dib.compression == kBitFields ||
      dib.compression == kAlphaBitFields) {
    long long rowBits;
    if (!CheckedMul(dib.width, dib.bits, &rowBits)) return false;
    return CheckedMul((rowBits + 31) / 32 * 4, dib.height, bytes);
  }
  *bytes = dib.imageSize;
  return dib.imageSize != 0;  // compressed data needs its size
}

// Checks the headers against each other and against the pixel array they describe.
bool ParseBmp(CStreamReader& reader, BmpLayout* layout) {
  uint8_t h[18];
  if (!reader.Read(0, h, sizeof h) || !CanStartBmp(h)) return false;
  DibHeader dib;
  if (!ReadDibHeader(reader, LoadLE32(h + 14), &dib)) return false;
  layout->fileSize = LoadLE32(h + 2);
  layout->pixelOffset = LoadLE32(h + 10);
  if (dib.planes != 1 || dib.width <= 0 || dib.height == 0 || dib.width > (1 << 20) ||
      dib.height > (1 << 20) || !PixelFormatValid(dib))
    return false;

  layout->bits = dib.bits;
  layout->compression = dib.compression;
  long long headersEnd = 14 + dib.size;
  if (dib.size == 40 && dib.compression == kBitFields) headersEnd += 12;
  if (dib.size == 40 && dib.compression == kAlphaBitFields) headersEnd += 16;
  if (layout->pixelOffset < headersEnd) return false;
  layout->headersEnd = headersEnd;

  long long pixelBytes;
  if (!PixelBytes(dib, &pixelBytes)) return false;
  layout->expectedEnd = layout->pixelOffset + pixelBytes;
  if (dib.embeddedProfile) {
    const long long profileEnd = 14LL + dib.profileOffset + dib.profileSize;
    layout->expectedEnd = std::max(layout->expectedEnd, profileEnd);
  }
  if (layout->fileSize == 0) {  // some writers leave the size out
    layout->end = layout->expectedEnd;
    return true;
  }
  // The declared size must cover the pixels; a few padding bytes beyond them are common.
  if (layout->fileSize < layout->expectedEnd || layout->fileSize > layout->expectedEnd + 4096)
    return false;
  layout->end = layout->fileSize;
  return true;
}

// Whether a sector starts with the signature of another kind of file. Pixels carry no
// structure, so a bitmap cut short and followed by other files would otherwise swallow them.
bool LooksLikeOtherFile(const uint8_t* p) {
  static const uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  return (p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF && p[3] >= 0xDB) ||
         memcmp(p, kPng, 8) == 0 || memcmp(p, "GIF8", 4) == 0 || memcmp(p, "II*\0", 4) == 0 ||
         memcmp(p, "MM\0*", 4) == 0 || memcmp(p, "RIFF", 4) == 0 || memcmp(p + 4, "ftyp", 4) == 0 ||
         memcmp(p, "\x1A\x45\xDF\xA3", 4) == 0 || CanStartBmp(p);
}

// Whether a damaged bitmap keeps pixels, bytes [pixelOffset, kept) being what is left of it.
// Pixels carry no structure, but neighbouring pixels of a photo or a drawing differ little
// while random bytes differ by 85 on average: direct colour is judged by that. A header with
// garbage after it is no image.
bool KeepsPixels(CStreamReader& reader, const BmpLayout& layout, long long kept) {
  constexpr long long kSample = 1536;
  const long long n = std::min(kept - layout.pixelOffset, kSample);
  if (n <= 0) return false;
  const bool direct =
      layout.bits >= 16 && (layout.compression == kRgb || layout.compression == kBitFields ||
                            layout.compression == kAlphaBitFields);
  const long long step = layout.bits / 8;
  if (!direct || n <= 8 * step) return true;
  const uint8_t* p = reader.Peek(layout.pixelOffset, static_cast<size_t>(n));
  if (p == nullptr) return true;
  long long difference = 0;
  for (long long i = step; i < n; ++i) difference += std::abs(p[i] - p[i - step]);
  return difference < 48 * (n - step);
}

const Signature kStarts[] = {{"BM"}};

// Windows and OS/2 bitmaps with every common header size. The pixels themselves carry no
// structure, so the end comes from the header: the declared file size, checked against it.
class CBmpHandler final : public CFormatHandlerOf<CBmpHandler> {
 public:
  explicit CBmpHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(engine, kBmpInfo, {18, kStarts}) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "bmp");
    CStreamReader reader(file);
    BmpLayout layout;
    return ParseBmp(reader, &layout) && layout.end <= reader.Size();
  }

  bool FindEnd(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    BmpLayout layout;
    if (!ParseBmp(reader, &layout)) return false;
    if (layout.end <= reader.Size()) {
      *end = layout.end;
    } else {
      // Cut short: keep what is there, without the zeros of the medium after it.
      *end = TrimTrailingZeros(reader, layout.headersEnd, reader.Size());
    }
    return true;
  }

  bool CanStart(const uint8_t* head) const override { return CanStartBmp(head); }

 protected:
  // A bitmap larger than the data there stays open, and so does one with
  // another file's signature at a sector start inside: if a handler recognises that file, the
  // bitmap ends before it; if none does, the bitmap's end is found in a wider window. One cut
  // short must keep something that looks like pixels.
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start);
    BmpLayout layout;
    if (!ParseBmp(reader, &layout)) return false;
    long long kept = std::min(layout.end, reader.Size());
    const long long blockSize = c.blockSize > 0 ? c.blockSize : 512;
    const long long firstSector = (c.start / blockSize + 1) * blockSize - c.start;
    for (long long sector = firstSector; kept == layout.end && sector + 18 <= kept;
         sector += blockSize) {
      uint8_t head[18];
      if (!reader.Read(sector, head, sizeof head) || LooksLikeOtherFile(head)) kept = sector;
    }
    if (kept < layout.end && !KeepsPixels(reader, layout, kept)) return false;
    found->File(c.start, kept == layout.end ? c.start + kept : -1);
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CBmpHandler)
