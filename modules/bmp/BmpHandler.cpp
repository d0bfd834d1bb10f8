#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "modules/common/UnalignedSearch.h"
#include "salvor/CDataStream.h"
#include "modules/common/HandlerBase.h"
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

// Checks the headers against each other and against the pixel array they describe.
bool ParseBmp(CStreamReader& reader, BmpLayout* layout) {
  const uint8_t* h = reader.Peek(0, 18);
  if (h == nullptr || !CanStartBmp(h)) return false;
  const uint32_t headerSize = LoadLE32(h + 14);
  const uint8_t* d = reader.Peek(14, headerSize);
  if (d == nullptr) return false;
  layout->fileSize = LoadLE32(h + 2);
  layout->pixelOffset = LoadLE32(h + 10);

  long long width, height;
  unsigned planes, bits;
  uint32_t compression = kRgb, imageSize = 0, colorsUsed = 0;
  if (headerSize == 12) {
    width = LoadLE16(d + 4);
    height = LoadLE16(d + 6);
    planes = LoadLE16(d + 8);
    bits = LoadLE16(d + 10);
  } else {
    width = static_cast<int32_t>(LoadLE32(d + 4));
    height = static_cast<int32_t>(LoadLE32(d + 8));
    planes = LoadLE16(d + 12);
    bits = LoadLE16(d + 14);
    if (headerSize >= 40) {
      compression = LoadLE32(d + 16);
      imageSize = LoadLE32(d + 20);
      colorsUsed = LoadLE32(d + 32);
    }
  }
  height = std::llabs(height);
  if (planes != 1 || width <= 0 || height == 0 || width > (1 << 20) || height > (1 << 20))
    return false;
  switch (bits) {
    case 0:
      if (compression != kJpeg && compression != kPng) return false;
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
  switch (compression) {
    case kRgb:
      break;
    case kRle8:
      if (bits != 8) return false;
      break;
    case kRle4:
      if (bits != 4) return false;
      break;
    case kBitFields:
    case kAlphaBitFields:
      if (bits != 16 && bits != 32) return false;
      break;
    case kJpeg:
    case kPng:
      break;
    default:
      return false;
  }
  if (bits <= 8 && colorsUsed > (1u << bits)) return false;
  if (bits > 8 && colorsUsed > 65536) return false;

  long long headersEnd = 14 + headerSize;
  if (headerSize == 40 && compression == kBitFields) headersEnd += 12;
  if (headerSize == 40 && compression == kAlphaBitFields) headersEnd += 16;
  if (layout->pixelOffset < headersEnd) return false;
  layout->headersEnd = headersEnd;

  long long pixelBytes;
  if (compression == kRgb || compression == kBitFields || compression == kAlphaBitFields) {
    long long rowBits, row;
    if (!CheckedMul(width, bits, &rowBits)) return false;
    row = (rowBits + 31) / 32 * 4;
    if (!CheckedMul(row, height, &pixelBytes)) return false;
  } else {
    if (imageSize == 0) return false;  // compressed data needs its size
    pixelBytes = imageSize;
  }
  layout->expectedEnd = layout->pixelOffset + pixelBytes;
  // A V5 header may place an embedded colour profile after the pixels.
  if (headerSize == 124 && LoadLE32(d + 56) == 0x4D424544 /* 'MBED' */) {
    const long long profileEnd = 14LL + LoadLE32(d + 112) + LoadLE32(d + 116);
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

// Windows and OS/2 bitmaps with every common header size. The pixels themselves carry no
// structure, so the end comes from the header: the declared file size, checked against it.
class CBmpHandler : public CHandlerBase {
 public:
  explicit CBmpHandler(CPhotoRecovery* engine) : CHandlerBase(engine, kBmpInfo) {}

  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "bmp");
    CStreamReader reader(file);
    BmpLayout layout;
    return ParseBmp(reader, &layout) && layout.end <= reader.Size();
  }

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    if (blockSize > 0) FBlockSize = blockSize;
    RecognizeByFirstBytes<18>(
        stream, blockSize, Unaligned(), FSkipped, CanStartBmp,
        [&](long long at) { return Examine(stream, at, -1, recognized, start, end); },
        [&](long long from, long long to, long long mustReach) {
          return Search(stream, from, to - from, mustReach, recognized, start, end);
        });
    return true;
  }

  bool FindEndOfFile(CDataStream* stream, long long, long long* end) override {
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

  // Nothing marks a bitmap's end.
  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

 private:
  // Offers every signature in [from, from + length) to Examine.
  bool Search(CDataStream* stream, long long from, long long length, long long mustReach,
              bool* recognized, long long* start, long long* end) {
    static const uint8_t kSignature[] = {'B', 'M'};
    return FindHeader<18>(stream, from, from + length, {kSignature, sizeof kSignature}, 32,
                          CanStartBmp, [&](long long candidate) {
                            return Examine(stream, candidate, mustReach, recognized, start, end);
                          }) >= 0;
  }

  // Validates a candidate at `at` and answers for it; false when it is not one. With
  // mustReach >= 0 (a start left behind in a skipped block) a file that ends before mustReach
  // lay inside the file delivered before and does not count.
  bool Examine(CDataStream* stream, long long at, long long mustReach, bool* recognized,
               long long* start, long long* end) {
    CStreamReader reader(stream, at, MaxSizeBytes());
    BmpLayout layout;
    if (!ParseBmp(reader, &layout)) return false;
    // A bitmap larger than the data there (or than MaxSize) stays open, and so does one with
    // another file's signature at a sector start inside: if a handler recognises that file,
    // the bitmap ends before it; if none does, the bitmap's end is found in a wider window.
    long long length = layout.end <= reader.Size() ? layout.end : -1;
    const long long firstSector = (at / FBlockSize + 1) * FBlockSize - at;
    for (long long sector = firstSector; length >= 0 && sector + 18 <= length;
         sector += FBlockSize) {
      const uint8_t* head = reader.Peek(sector, 18);
      if (head == nullptr || LooksLikeOtherFile(head)) length = -1;
    }
    if (mustReach >= 0 && length >= 0 && at + length <= mustReach) return false;
    *recognized = true;
    *start = at;
    *end = length >= 0 ? at + length : -1;
    return true;
  }

  CSkippedTail FSkipped;
  long long FBlockSize = 512;
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CBmpHandler)
