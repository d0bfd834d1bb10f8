#pragma once

#include <climits>

#include "salvor/CDataStream.h"

namespace SV {

// The position a Seek asks for, before the stream clamps it; positions past the 64-bit range
// stick at its limits instead of overflowing. False for an origin code outside the table.
inline bool SeekTarget(long long offset, int origin, long long position, long long size,
                       long long* target) {
  long long from = 0;
  switch (origin) {
    case CDataStream::SeekFromStart:
      break;
    case CDataStream::SeekFromCurrent:
      from = position;
      break;
    case CDataStream::SeekFromEnd:
      from = size;
      break;
    default:
      return false;
  }
  if (__builtin_add_overflow(from, offset, target)) *target = offset > 0 ? LLONG_MAX : LLONG_MIN;
  return true;
}

}  // namespace SV
