#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "CDataStream.h"

namespace salvor {

// Copies up to `length` bytes at `position` into a caller's (stack) buffer; returns the count.
// The per-block rejection path uses this instead of a CStreamReader, which allocates.
inline size_t ReadAt(CDataStream* stream, long long position, uint8_t* buffer, size_t length) {
  stream->SetPosition(position);
  long long got = stream->Read(static_cast<long long>(length), buffer);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

// For the Unaligned mode: offers every offset of the block starting at `blockStart` to
// `probe(bytes, available, position)`, where `bytes` holds the data from that offset on
// (`available` bytes, up to `kLookahead` past the block end so that a signature straddling the
// block end is still seen). The probe does its byte tests on `bytes` and may then read the
// stream freely. Returns the first position the probe accepts, or -1.
template <class Probe>
long long ProbeBlock(CDataStream* stream, long long blockStart, long long blockSize, Probe probe) {
  constexpr size_t kChunk = 4096;
  constexpr size_t kLookahead = 512;
  uint8_t buffer[kChunk + kLookahead];
  for (long long chunkStart = 0; chunkStart < blockSize; chunkStart += kChunk) {
    long long chunkLength = blockSize - chunkStart;
    if (chunkLength > static_cast<long long>(kChunk)) chunkLength = kChunk;
    size_t got = ReadAt(stream, blockStart + chunkStart, buffer,
                        static_cast<size_t>(chunkLength) + kLookahead);
    size_t offsets =
        got < static_cast<size_t>(chunkLength) ? got : static_cast<size_t>(chunkLength);
    const long long base = blockStart + chunkStart;
    for (size_t i = 0; i < offsets; ++i) {
      if (probe(buffer + i, got - i, base + static_cast<long long>(i))) {
        return base + static_cast<long long>(i);
      }
    }
  }
  return -1;
}

// The bytes a file of some format can begin with, for skipping the others quickly.
struct FirstBytes {
  bool member[256];
  constexpr FirstBytes(std::initializer_list<uint8_t> bytes) : member() {
    for (uint8_t b : bytes) member[b] = true;
  }
};

// As above, offering only the offsets whose byte is in `first`.
template <class Probe>
long long ProbeBlock(CDataStream* stream, long long blockStart, long long blockSize,
                     const FirstBytes& first, Probe probe) {
  return ProbeBlock(stream, blockStart, blockSize,
                    [&](const uint8_t* bytes, size_t available, long long position) {
                      return first.member[bytes[0]] && probe(bytes, available, position);
                    });
}

// Writes text into a caller's buffer of `size` bytes, truncated and always NUL-terminated.
inline void CopyText(char* out, int size, const char* text) {
  if (out == nullptr || size <= 0) return;
  int i = 0;
  for (; i + 1 < size && text[i] != '\0'; ++i) out[i] = text[i];
  out[i] = '\0';
}

}  // namespace salvor
