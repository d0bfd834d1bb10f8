// A content module for the engine's own tests: recognises PNG files by their signature,
// anywhere in a block, and ends them after the IEND chunk. Built on nothing but the SDK, so
// that it stands for any separately built plug-in.
#include <string>

#include "salvor/CDataStream.h"
#include "salvor/CPhotoRecovery.h"
#include "tests/support/PropertylessHandler.h"

namespace {

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);
constexpr long long kMaxSize = 64 << 20;

std::string ReadAt(CDataStream* stream, long long position, long long count) {
  std::string bytes(static_cast<size_t>(count), '\0');
  stream->SetPosition(position);
  bytes.resize(static_cast<size_t>(stream->Read(count, &bytes[0])));
  return bytes;
}

// Length of the PNG file at base, up to the IEND chunk's CRC, or -1.
long long FileLength(CDataStream* stream, long long base) {
  long long available = stream->GetSize() - base;
  const std::string bytes = ReadAt(stream, base, available < kMaxSize ? available : kMaxSize);
  const size_t iend = bytes.find("IEND");
  if (bytes.compare(0, kSignature.size(), kSignature) != 0 || iend == std::string::npos) return -1;
  return static_cast<long long>(iend + 8);
}

class CTestPngHandler : public PropertylessHandler {
 public:
  const char* GetUniqueID() override { return "test.png"; }
  const char* GetMimeTypes() override { return "image/png"; }
  bool IsEnabled() override { return true; }
  const char* GetDisplayName() override { return "PNG image (test)"; }
  const char* GetFileExtensions() override { return "png"; }
  bool DescribeFile(CDataStream* file, char*, int) override {
    return FileLength(file, 0) == file->GetSize();
  }

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    const long long block = stream->GetPosition();
    // A little past the block, so that a signature straddling its end is seen whole.
    const size_t at = ReadAt(stream, block, blockSize + 7).find(kSignature);
    if (at == std::string::npos || at >= static_cast<size_t>(blockSize)) return true;
    *recognized = true;
    *start = block + static_cast<long long>(at);
    const long long length = FileLength(stream, *start);
    if (length >= 0) *end = *start + length;
    return true;
  }

  bool FindEndOfFile(CDataStream* stream, long long, long long* end) override {
    *end = FileLength(stream, 0);
    return *end >= 0;
  }
  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) CContentHandler* GetCHInstance(
    CPhotoRecovery* engine) {
  static CTestPngHandler handler;
  engine->CHAdded(&handler);
  return &handler;
}
