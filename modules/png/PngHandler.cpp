// PNG and APNG: the signature and a CRC-checked IHDR identify the file; the chunk walk, with
// the CRC of every chunk checked, finds IEND and so the exact end.

#include <climits>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "salvor/CDataStream.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// An empty IEND chunk with its CRC: how every PNG ends.
const uint8_t kIendChunk[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
constexpr long long kIhdrEnd = 8 + 12 + 13;  // signature, IHDR header + CRC, IHDR data
constexpr long long kIhdrStart = 8 + 8;      // signature, IHDR length and type

class CCrc32 {
 public:
  CCrc32() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      FTable[n] = c;
    }
  }
  uint32_t Update(uint32_t crc, const uint8_t* data, size_t length) const {
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) crc = FTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
  }

 private:
  uint32_t FTable[256];
};

const CCrc32& Crc() {
  static const CCrc32 table;
  return table;
}

bool IsChunkType(const uint8_t* type) {
  for (int i = 0; i < 4; ++i) {
    uint8_t c = type[i] & 0xDF;  // upper and lower case alike
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

// Signature plus an IHDR whose fields are legal and whose CRC holds.
bool ValidHeader(const uint8_t* p) {
  if (memcmp(p, kSignature, 8) != 0 || LoadBE32(p + 8) != 13 || memcmp(p + 12, "IHDR", 4) != 0)
    return false;
  uint32_t width = LoadBE32(p + 16), height = LoadBE32(p + 20);
  uint8_t depth = p[24], colour = p[25];
  if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return false;
  bool depthOk = false;
  switch (colour) {
    case 0:
      depthOk = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
      break;
    case 3:
      depthOk = depth == 1 || depth == 2 || depth == 4 || depth == 8;
      break;
    case 2:
    case 4:
    case 6:
      depthOk = depth == 8 || depth == 16;
      break;
    default:
      return false;
  }
  if (!depthOk || p[26] != 0 || p[27] != 0 || p[28] > 1) return false;
  return Crc().Update(0, p + 12, 17) == LoadBE32(p + 29);
}

struct PngWalk {
  enum Stop { kComplete, kJunk, kRanOff };
  Stop stop = kJunk;
  long long end = 0;  // after IEND when complete, else the end of the last sound chunk
  bool animated = false;
  bool sawImageData = false;
};

// Walks the chunks of a PNG that starts at offset 0 of `reader`, up to `limit` bytes.
PngWalk Walk(CStreamReader& reader, long long limit) {
  PngWalk walk;
  const uint8_t* head = reader.Peek(0, kIhdrEnd);
  if (head == nullptr || !ValidHeader(head)) return walk;
  long long pos = 8;
  walk.end = pos;
  bool first = true;
  for (;;) {
    const uint8_t* p = reader.Peek(pos, 8);
    if (p == nullptr || pos + 12 > limit) {
      walk.stop = PngWalk::kRanOff;
      return walk;
    }
    uint32_t length = LoadBE32(p);
    uint8_t type[4];
    memcpy(type, p + 4, 4);
    if (length > 0x7FFFFFFF || !IsChunkType(type)) return walk;
    bool isHeader = memcmp(type, "IHDR", 4) == 0;
    if (isHeader != first) return walk;  // IHDR first and only once
    first = false;
    long long chunkEnd = pos + 12 + static_cast<long long>(length);
    if (chunkEnd > limit || !reader.Contains(pos, 12 + static_cast<long long>(length))) {
      walk.stop = PngWalk::kRanOff;
      return walk;
    }
    // CRC over type and data, in window-sized pieces.
    uint32_t crc = Crc().Update(0, type, 4);
    long long at = pos + 8, left = length;
    while (left > 0) {
      size_t piece = static_cast<size_t>(std::min<long long>(left, CStreamReader::kWindow));
      const uint8_t* data = reader.Peek(at, piece);
      if (data == nullptr) return walk;
      crc = Crc().Update(crc, data, piece);
      at += static_cast<long long>(piece);
      left -= static_cast<long long>(piece);
    }
    uint32_t stored = 0;
    if (!reader.U32BE(pos + 8 + length, &stored) || stored != crc) return walk;
    if (memcmp(type, "acTL", 4) == 0 && !walk.sawImageData) walk.animated = true;
    if (memcmp(type, "IDAT", 4) == 0) walk.sawImageData = true;
    pos = walk.end = chunkEnd;
    if (memcmp(type, "IEND", 4) == 0) {
      walk.stop = walk.sawImageData ? PngWalk::kComplete : PngWalk::kJunk;
      return walk;
    }
  }
}

// Searched by the signature's first four bytes.
const Signature kStarts[] = {{"\x89PNG"}};

class CPngHandler final : public CFormatHandlerOf<CPngHandler> {
 public:
  explicit CPngHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(
            engine,
            {"salvor.png", "image/png;image/apng", "PNG image", "png;apng", 262144, INT_MAX},
            {kIhdrStart, kStarts}) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CStreamReader reader(file);
    PngWalk walk = Walk(reader, reader.Size());
    const char* name = walk.animated ? "apng" : "png";
    CopyText(extension, extensionSize, name);
    return walk.stop == PngWalk::kComplete && walk.end == reader.Size();
  }

  bool FindEnd(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    PngWalk walk = Walk(reader, reader.Size());
    if (walk.stop == PngWalk::kComplete) {
      *end = walk.end;
      return true;
    }
    if (walk.end < kIhdrEnd) return false;
    // Cut off by the next file: keep what is there.
    if (walk.stop == PngWalk::kRanOff) {
      *end = reader.Size();
      return true;
    }
    // Damaged inside: the file may still end at an IEND further on, unless another PNG
    // begins first; otherwise it ends where its last sound chunk ends.
    long long iend = reader.Find(kIendChunk, sizeof kIendChunk, walk.end, reader.Size());
    long long next = reader.Find(kSignature, sizeof kSignature, walk.end, reader.Size());
    if (iend >= 0 && (next < 0 || iend < next)) {
      *end = iend + static_cast<long long>(sizeof kIendChunk);
    } else {
      *end = walk.end;
    }
    return true;
  }

  // The signature and an IHDR chunk header; Examine checks the rest of the IHDR.
  bool CanStart(const uint8_t* head) const override {
    return memcmp(head, kSignature, 8) == 0 && LoadBE32(head + 8) == 13 &&
           memcmp(head + 12, "IHDR", 4) == 0;
  }

 protected:
  // A believable header and at least one sound chunk after it make a file, whole up to IEND
  // or left open: a header followed by garbage is no image.
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start);
    PngWalk walk = Walk(reader, reader.Size());
    if (walk.end <= kIhdrEnd) return false;
    found->File(c.start, walk.stop == PngWalk::kComplete ? c.start + walk.end : -1);
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CPngHandler)
