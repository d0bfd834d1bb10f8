#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "salvor/CDataStream.h"

namespace salvor {

// Per-block helpers for handlers: reading a few bytes into a caller's stack buffer, and the
// Unaligned search for starts of files inside a block. Nothing here allocates; a CStreamReader
// (which does) is only built once a candidate has passed the cheap byte tests.

// Copies up to `length` bytes at `position` into `buffer`; returns how many were read.
inline size_t ReadAt(CDataStream* stream, long long position, uint8_t* buffer, size_t length) {
  stream->SetPosition(position);
  const long long got = stream->Read(static_cast<long long>(length), buffer);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

// The same from where the stream stands: RecognizeData is called with it at the block's start,
// which spares a seek per block and handler.
inline size_t ReadHere(CDataStream* stream, uint8_t* buffer, size_t length) {
  const long long got = stream->Read(static_cast<long long>(length), buffer);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

// Bytes a file has at `offset` from its start, by which an Unaligned search finds it.
struct Signature {
  const uint8_t* bytes;
  size_t length;
  size_t offset = 0;
};

// The bytes a file of some format can begin with, for formats without one fixed signature.
struct FirstBytes {
  bool member[256];
  constexpr FirstBytes(std::initializer_list<uint8_t> bytes) : member() {
    for (uint8_t b : bytes) member[b] = true;
  }
  // Every byte: each position is a candidate.
  static constexpr FirstBytes Any() {
    FirstBytes all{};
    for (bool& m : all.member) m = true;
    return all;
  }
};

// How far past a piece of the block the search reads, so that a candidate near its end still
// has bytes in hand for its tests.
constexpr size_t kMaxLookahead = 512;

namespace search_detail {

// Reads [from, to) in pieces (plus `lookahead`) into a stack buffer and offers each position that
// `next` yields, ascending, to `candidate(position, bytes, available)`: `bytes` holds the data
// from that position on (`available` bytes, at least `need`). `next(buffer, at, last)` returns
// the first candidate offset in [at, last), or `last` when there is none.
template <typename Next, typename Candidate>
long long SearchPieces(CDataStream* stream, long long from, long long to, size_t need,
                       size_t lookahead, Next next, Candidate& candidate) {
  constexpr long long kPiece = 4096;
  if (need == 0 || need > kMaxLookahead) return -1;
  lookahead = std::min(std::max(lookahead, need), kMaxLookahead);
  uint8_t buffer[kPiece + kMaxLookahead];
  for (; from < to; from += kPiece) {
    const size_t span = static_cast<size_t>(std::min(kPiece, to - from));
    const size_t got = ReadAt(stream, from, buffer, span + lookahead);
    if (got < need) return -1;
    const size_t last = std::min(span, got - need + 1);
    for (size_t at = next(buffer, 0, last); at < last; at = next(buffer, at + 1, last)) {
      if (candidate(from + static_cast<long long>(at), buffer + at, got - at)) {
        return from + static_cast<long long>(at);
      }
    }
  }
  return -1;
}

}  // namespace search_detail

// For the Unaligned property: offers every start in [from, to) where `signature` lies, in
// ascending order, to `candidate(start, bytes, available)` until it returns true. `bytes` holds
// the data from that start on (`available` bytes: the signature and up to `lookahead` more past
// the piece searched) for the candidate's own byte tests before it reads the stream, which it
// may do freely. Returns the accepted start, or -1.
template <typename Candidate>
long long FindSignature(CDataStream* stream, long long from, long long to,
                        const Signature& signature, size_t lookahead, Candidate&& candidate) {
  if (signature.length == 0) return -1;
  const uint8_t* pattern = signature.bytes;
  const size_t length = signature.length, offset = signature.offset;
  auto next = [&](const uint8_t* buffer, size_t at, size_t last) {
    while (at < last) {
      const void* hit = memchr(buffer + at + offset, pattern[0], last - at);
      if (hit == nullptr) return last;
      at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - buffer) - offset;
      if (memcmp(buffer + at + offset, pattern, length) == 0) return at;
      ++at;
    }
    return last;
  };
  return search_detail::SearchPieces(stream, from, to, offset + length, lookahead, next, candidate);
}

// As FindSignature, for formats whose first kHeader bytes settle whether a start can be one:
// the bytes in hand reject most candidates without touching the stream; the rest are read
// again from the stream (the piece may have been cut short) before `accept(start)` is asked.
template <size_t kHeader, typename CanStart, typename Accept>
long long FindHeader(CDataStream* stream, long long from, long long to, const Signature& signature,
                     size_t lookahead, CanStart&& canStart, Accept&& accept) {
  return FindSignature(stream, from, to, signature, lookahead,
                       [&](long long candidate, const uint8_t* bytes, size_t available) {
                         if (available >= kHeader && !canStart(bytes)) return false;
                         uint8_t header[kHeader];
                         stream->SetPosition(candidate);
                         return stream->Read(static_cast<long long>(kHeader), header) ==
                                    static_cast<long long>(kHeader) &&
                                canStart(header) && accept(candidate);
                       });
}

// As FindSignature, for formats found by their first byte: every start in [from, to) whose byte
// is in `first` is offered.
template <typename Candidate>
long long FindByFirstByte(CDataStream* stream, long long from, long long to,
                          const FirstBytes& first, size_t lookahead, Candidate&& candidate) {
  auto next = [&](const uint8_t* buffer, size_t at, size_t last) {
    while (at < last && !first.member[buffer[at]]) ++at;
    return at;
  };
  return search_detail::SearchPieces(stream, from, to, 1, lookahead, next, candidate);
}

// Remembers which block an Unaligned handler was last asked about. When the scan skipped
// blocks (a delivered file ended inside one), the rest of the block before the current one was
// never searched: a file that starts there must still be found.
class CSkippedTail {
 public:
  // Call on every Unaligned RecognizeData. Returns where the unsearched region before `blockStart`
  // begins: blockStart - blockSize after a skip, blockStart when nothing was skipped.
  long long Asked(long long blockStart, long long blockSize) {
    const bool skipped = FLastBlock != blockStart - blockSize && blockStart >= blockSize;
    FLastBlock = blockStart;
    return skipped ? blockStart - blockSize : blockStart;
  }

 private:
  long long FLastBlock = -1;
};

// RecognizeData for a format told apart by its first N bytes. Without Unaligned, one read at
// the block's start (where the scan leaves the stream) is all that most blocks cost. With it:
// the rest of the block before that the scan skipped after a delivered file, the block's start,
// then the rest of the block. probe(head) tests N bytes; examine(start) takes a file starting
// there; search(from, to, mustReach) looks for one in [from, to) (mustReach as the handler's own
// search means it). examine and search return true when they answered the scan.
template <size_t N, typename Probe, typename Examine, typename Search>
void RecognizeByFirstBytes(CDataStream* stream, long long blockSize, bool unaligned,
                           CSkippedTail& skipped, Probe&& probe, Examine&& examine,
                           Search&& search) {
  uint8_t head[N];
  if (!unaligned) {
    if (ReadHere(stream, head, N) == N && probe(head)) {
      examine(stream->GetPosition() - static_cast<long long>(N));
    }
    return;
  }
  const long long blockStart = stream->GetPosition();
  const long long unsearched = skipped.Asked(blockStart, blockSize);
  if (unsearched < blockStart && search(unsearched, blockStart, blockStart)) return;
  if (ReadAt(stream, blockStart, head, N) == N && probe(head) && examine(blockStart)) return;
  search(blockStart + 1, blockStart + blockSize, -1);
}

}  // namespace salvor
