#pragma once

#include <cstddef>
#include <cstdint>

#include "salvor/CDataStream.h"

namespace salvor {

// Reads of a few bytes into a caller's stack buffer, for the per-block path and the probes of
// a range where a CStreamReader (which allocates its window) would cost too much.

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

}  // namespace salvor
