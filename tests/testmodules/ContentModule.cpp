// A content module for the engine's own tests: recognises PNG files by their signature,
// anywhere in a block, and finds their end by walking the chunk chain to IEND.
#include <cstdint>
#include <cstring>

#include "salvor/CDataStream.h"
#include "modules/common/HandlerBase.h"

namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const salvor::HandlerInfo kInfo = {"test.png", "image/png", "PNG image (test)", "png", 4096, 65536};

uint32_t LoadBE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool IsChunkType(const uint8_t* type) {
  for (int i = 0; i < 4; ++i) {
    uint8_t c = type[i] & 0xDF;  // upper case
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

class CTestPngHandler : public salvor::CHandlerBase {
 public:
  explicit CTestPngHandler(CPhotoRecovery* engine) : CHandlerBase(engine, kInfo) {}

  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override {
    if (extension != nullptr && extensionSize > 0) {
      extension[0] = '\0';
      if (extensionSize >= 4) memcpy(extension, "png", 4);
    }
    long long length = FileLength(file, 0, file->GetSize());
    return length >= 0 && length == file->GetSize();
  }

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    if (blockSize <= 0) return false;
    long long blockStart = stream->GetPosition();
    long long found = FindSignature(stream, blockStart, blockSize);
    if (found < 0) return true;
    *recognized = true;
    *start = found;
    long long length = FileLength(stream, found, stream->GetSize() - found);
    if (length >= 0) *end = found + length;
    return true;
  }

  bool FindEndOfFile(CDataStream* stream, long long, long long* end) override {
    long long length = FileLength(stream, 0, stream->GetSize());
    if (length < 0) return false;
    *end = length;
    return true;
  }

  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

 private:
  static constexpr long long kPiece = 4096;

  // First signature that begins in [from, from + span), or -1. Reads a little past the span
  // so that a signature straddling the block's end is seen whole.
  long long FindSignature(CDataStream* stream, long long from, long long span) {
    for (long long offset = 0; offset < span; offset += kPiece) {
      long long piece = span - offset < kPiece ? span - offset : kPiece;
      stream->SetPosition(from + offset);
      long long got = stream->Read(piece + sizeof kSignature - 1, FBuffer);
      for (long long i = 0; i < piece && i + 8 <= got; ++i) {
        if (memcmp(FBuffer + i, kSignature, sizeof kSignature) == 0) return from + offset + i;
      }
    }
    return -1;
  }

  // Length of the PNG file at base (up to IEND's CRC), or -1 when the chain breaks, leaves
  // the available bytes or exceeds MaxSize. Every step moves at least 12 bytes on.
  long long FileLength(CDataStream* stream, long long base, long long available) {
    uint8_t header[8];
    stream->SetPosition(base);
    if (stream->Read(8, header) != 8 || memcmp(header, kSignature, 8) != 0) return -1;
    long long limit = available < MaxSizeBytes() ? available : MaxSizeBytes();
    long long position = 8;
    while (position + 12 <= limit) {
      stream->SetPosition(base + position);
      if (stream->Read(8, header) != 8 || !IsChunkType(header + 4)) return -1;
      long long next = position + 12 + static_cast<long long>(LoadBE32(header));
      if (next > limit) return -1;
      if (memcmp(header + 4, "IEND", 4) == 0) return next;
      position = next;
    }
    return -1;
  }

  uint8_t FBuffer[kPiece + sizeof kSignature];
};

}  // namespace

SALVOR_CONTENT_MODULE(CTestPngHandler)
