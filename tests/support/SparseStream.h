#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "salvor/CDataStream.h"

namespace testing_support {

// A stream of `size` bytes that reads as zeros except for the pieces placed in it, for files
// of many GiB whose structure is only a few headers.
class SparseStream : public CDataStream {
 public:
  explicit SparseStream(long long size) : FSize(size) {}
  void Place(long long offset, std::vector<uint8_t> bytes) { FPieces[offset] = std::move(bytes); }
  std::vector<uint8_t>& Piece(long long offset) { return FPieces[offset]; }
  long long GetPosition() override { return FPosition; }
  void SetPosition(long long p) override { FPosition = std::max(0LL, std::min(p, FSize)); }
  long long Seek(long long offset, int origin) override {
    if (origin == SeekFromStart) SetPosition(offset);
    if (origin == SeekFromCurrent) SetPosition(FPosition + offset);
    if (origin == SeekFromEnd) SetPosition(FSize + offset);
    return FPosition;
  }
  long long GetSize() override { return FSize; }
  long long Read(long long count, void* buffer) override {
    count = std::max(0LL, std::min(count, FSize - FPosition));
    uint8_t* out = static_cast<uint8_t*>(buffer);
    memset(out, 0, static_cast<size_t>(count));
    for (const auto& piece : FPieces) {
      long long from = std::max(piece.first, FPosition);
      long long to =
          std::min(piece.first + static_cast<long long>(piece.second.size()), FPosition + count);
      if (from < to)
        memcpy(out + (from - FPosition), piece.second.data() + (from - piece.first),
               static_cast<size_t>(to - from));
    }
    FPosition += count;
    return count;
  }

 private:
  long long FSize;
  long long FPosition = 0;
  std::map<long long, std::vector<uint8_t>> FPieces;
};

}  // namespace testing_support
