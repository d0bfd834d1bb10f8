#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "CDataStream.h"

namespace salvor {

// For handlers with Unaligned=1: offers every position inside [blockStart, blockStart +
// blockSize) where `signature` begins, in ascending order, to `candidate(position)` until it
// returns true. The block is read through a stack buffer (no allocation); `candidate` may move
// the stream's position. Returns whether a candidate was accepted.
template <typename Candidate>
bool FindSignatureInBlock(CDataStream* stream, long long blockStart, long long blockSize,
                          const uint8_t* signature, size_t signatureLength, Candidate&& candidate) {
  constexpr size_t kChunk = 4096;
  constexpr size_t kLongestSignature = 32;
  if (signatureLength == 0 || signatureLength > kLongestSignature || blockSize <= 0) return false;
  uint8_t buffer[kChunk + kLongestSignature];
  for (long long done = 0; done < blockSize;) {
    const size_t span = static_cast<size_t>(std::min<long long>(kChunk, blockSize - done));
    // Read a little past the chunk so that a signature straddling its end is still seen.
    stream->SetPosition(blockStart + done);
    const long long got = stream->Read(static_cast<long long>(span + signatureLength - 1), buffer);
    if (got < static_cast<long long>(signatureLength)) return false;
    const size_t available = static_cast<size_t>(got);
    size_t at = 0;
    while (at < span) {
      const void* hit = memchr(buffer + at, signature[0], span - at);
      if (hit == nullptr) break;
      at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - buffer);
      if (at + signatureLength <= available &&
          memcmp(buffer + at, signature, signatureLength) == 0 &&
          candidate(blockStart + done + static_cast<long long>(at))) {
        return true;
      }
      ++at;
    }
    done += static_cast<long long>(span);
  }
  return false;
}

// Remembers which block an Unaligned handler was last asked about. When the scan skipped
// blocks (a delivered file ended inside one), the rest of the block before the current one was
// never searched: a file that starts there must still be found.
class CSkippedTail {
 public:
  // Call on every RecognizeData. Returns where the unsearched region before `blockStart`
  // begins: blockStart - blockSize after a skip, blockStart when nothing was skipped.
  long long Asked(long long blockStart, long long blockSize) {
    const bool skipped = FLastBlock != blockStart - blockSize && blockStart >= blockSize;
    FLastBlock = blockStart;
    return skipped ? blockStart - blockSize : blockStart;
  }

 private:
  long long FLastBlock = -1;
};

}  // namespace salvor
