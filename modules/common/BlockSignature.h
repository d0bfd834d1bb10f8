#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "CDataStream.h"

namespace salvor {

// For handlers with Unaligned=1: offers every position inside [blockStart, blockStart +
// blockSize) where `signature` begins, in ascending order, to
// `candidate(position, bytes, available)` until it returns true. `bytes` holds the data from
// that position on (`available` bytes, at least the signature, up to kSignatureLookahead past
// it) for the candidate's own byte tests before it reads the stream. The block is read through
// a stack buffer (no allocation); `candidate` may move the stream's position. Returns whether a
// candidate was accepted.
constexpr size_t kSignatureLookahead = 32;
template <typename Candidate>
bool FindSignatureInBlock(CDataStream* stream, long long blockStart, long long blockSize,
                          const uint8_t* signature, size_t signatureLength, Candidate&& candidate) {
  constexpr size_t kChunk = 4096;
  if (signatureLength == 0 || signatureLength > kSignatureLookahead || blockSize <= 0) {
    return false;
  }
  uint8_t buffer[kChunk + kSignatureLookahead];
  for (long long done = 0; done < blockSize;) {
    const size_t span = static_cast<size_t>(std::min<long long>(kChunk, blockSize - done));
    // Read a little past the chunk so that a signature straddling its end is still seen.
    stream->SetPosition(blockStart + done);
    const long long got = stream->Read(static_cast<long long>(span + kSignatureLookahead), buffer);
    if (got < static_cast<long long>(signatureLength)) return false;
    const size_t available = static_cast<size_t>(got);
    const size_t limit = std::min(span, available);
    for (size_t at = 0; at < limit; ++at) {
      const void* hit = memchr(buffer + at, signature[0], limit - at);
      if (hit == nullptr) break;
      at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - buffer);
      if (at + signatureLength <= available &&
          memcmp(buffer + at, signature, signatureLength) == 0 &&
          candidate(blockStart + done + static_cast<long long>(at), buffer + at, available - at)) {
        return true;
      }
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
