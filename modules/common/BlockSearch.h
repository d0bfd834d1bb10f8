#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "CDataStream.h"

namespace salvor {

// Finds starts of files inside one block for handlers with the Unaligned property: every
// position `start` in [blockStart, blockStart + blockSize) where `pattern` lies at
// start + patternOffset is offered to `accept(start)`; the first accepted start is returned,
// -1 when none. The block is read in pieces into a stack buffer, so nothing is allocated and
// a hit costs only what `accept` spends on it. `accept` may move the stream position.
template <typename Accept>
long long FindStartInBlock(CDataStream* stream, long long blockStart, long long blockSize,
                           const uint8_t* pattern, size_t length, long long patternOffset,
                           Accept accept) {
  constexpr long long kPiece = 4096;
  uint8_t buffer[kPiece + 64];
  if (length == 0 || length > 64 || blockSize <= 0 || patternOffset < 0) return -1;
  // Pattern positions to look at: the block's starts shifted by patternOffset.
  long long from = blockStart + patternOffset;
  long long to = blockStart + blockSize + patternOffset;  // exclusive, for the pattern's start
  while (from < to) {
    long long span = std::min(kPiece, to - from);
    stream->SetPosition(from);
    long long got = stream->Read(span + static_cast<long long>(length) - 1, buffer);
    if (got < static_cast<long long>(length)) return -1;
    long long last = std::min(span, got - static_cast<long long>(length) + 1);
    for (long long i = 0; i < last; ++i) {
      const uint8_t* hit = static_cast<const uint8_t*>(memchr(buffer + i, pattern[0], last - i));
      if (hit == nullptr) break;
      i = hit - buffer;
      if (memcmp(hit, pattern, length) != 0) continue;
      long long start = from + i - patternOffset;
      if (start >= 0 && accept(start)) return start;
    }
    if (got < span + static_cast<long long>(length) - 1) return -1;  // end of the stream
    from += span;
  }
  return -1;
}

}  // namespace salvor
