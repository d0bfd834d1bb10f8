#pragma once

#include <algorithm>
#include <cstdint>
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

// The number of the search under way on this thread (BeginJoinChecks).
inline uint64_t& JoinCheckSearch() {
  thread_local uint64_t search = 0;
  return search;
}

// A 64-bit key (FNV-1a) of some bytes, two numbers and the search under way, for the join
// checks' caches keyed by content: two files may share the bytes a key is taken of.
inline uint64_t BytesKey(const unsigned char* bytes, long long length, long long a, long long b) {
  uint64_t hash = 1469598103934665603ULL ^ static_cast<uint64_t>(a) * 31 ^
                  static_cast<uint64_t>(b) ^ JoinCheckSearch() * 0x9E3779B97F4A7C15ULL;
  for (long long i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 1099511628211ULL;
  return hash;
}

// A key for what a join check learnt of a joined file up to `cut` in the unit at `unitStart`:
// the candidates of one cut share it, and a search tries other prefixes for the same cut,
// which differ in the sector just before it.
inline uint64_t JoinPrefixKey(ByteSpan& joined, long long unitStart, long long cut) {
  unsigned char tail[512];
  const long long from = std::max(0LL, cut - 512);
  return BytesKey(tail, std::max(0LL, joined.Read(from, tail, cut - from)), cut, unitStart);
}

}  // namespace salvor
