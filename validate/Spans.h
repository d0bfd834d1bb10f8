#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "validate/Validator.h"

namespace salvor {

// A span over bytes in memory (tests, fuzzing, small files).
class MemorySpan : public ByteSpan {
 public:
  MemorySpan(const void* data, long long size)
      : FData(static_cast<const unsigned char*>(data)), FSize(size < 0 ? 0 : size) {}
  explicit MemorySpan(const std::vector<unsigned char>& bytes)
      : MemorySpan(bytes.data(), static_cast<long long>(bytes.size())) {}
  long long Size() const override { return FSize; }
  long long Read(long long offset, void* buffer, long long length) override {
    if (offset < 0 || length <= 0 || offset >= FSize) return 0;
    const long long count = std::min(length, FSize - offset);
    std::memcpy(buffer, FData + offset, static_cast<size_t>(count));
    return count;
  }

 private:
  const unsigned char* FData;
  long long FSize;
};

// The part of another span from `offset` on, at most `size` bytes: an embedded file (a RAW's
// JPEG preview) checked by its own validator.
class SubSpan : public ByteSpan {
 public:
  SubSpan(ByteSpan& whole, long long offset, long long size)
      : FWhole(whole),
        FOffset(std::max(0LL, std::min(offset, whole.Size()))),
        FSize(std::max(0LL, std::min(size, whole.Size() - FOffset))) {}
  long long Size() const override { return FSize; }
  long long Read(long long offset, void* buffer, long long length) override {
    if (offset < 0 || length <= 0 || offset >= FSize) return 0;
    return FWhole.Read(FOffset + offset, buffer, std::min(length, FSize - offset));
  }

 private:
  ByteSpan& FWhole;
  long long FOffset;
  long long FSize;
};

}  // namespace salvor
