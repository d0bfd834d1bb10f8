// Hostile files given to the preview decoders, as a recovered file's bytes: every format the
// first bytes name (and FFmpeg for the rest) must come back with a thumbnail or none, within
// its bounds, never a crash, hang or unbounded allocation.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "modules/preview/Thumbnailer.h"

namespace {

class CMemoryBytes : public salvor::CByteSource {
 public:
  CMemoryBytes(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
  long long Size() override { return static_cast<long long>(FSize); }
  long long ReadAt(long long offset, void* buffer, long long count) override {
    if (offset < 0 || count <= 0 || static_cast<size_t>(offset) >= FSize) return 0;
    const size_t n = std::min(static_cast<size_t>(count), FSize - static_cast<size_t>(offset));
    std::memcpy(buffer, FData + offset, n);
    return static_cast<long long>(n);
  }

 private:
  const uint8_t* FData;
  size_t FSize;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CMemoryBytes file(data, size);
  salvor::PreviewLimits limits;
  // Within the fuzzer's memory and time limits, however large a picture claims to be.
  limits.maxPixels = 16LL << 20;
  limits.maxTime = std::chrono::milliseconds(2000);
  salvor::Preview preview;
  salvor::MakePreview(file, 96, 96, true, preview, limits);
  salvor::MakePreview(file, 96, 96, false, preview, limits);
  return 0;
}
