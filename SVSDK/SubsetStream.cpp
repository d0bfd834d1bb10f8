#include "SVSDK/SubsetStream.h"

#include <climits>

namespace SV {

namespace {
// Positions requested by a seek stick at the limits instead of overflowing; SetPosition then
// clamps them into the stream like any other out-of-range request.
long long SaturatingAdd(long long a, long long b) {
  long long sum;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? LLONG_MAX : LLONG_MIN;
  return sum;
}
}  // namespace

CSubsetStream::CSubsetStream(CDataStream* stream, long long start, long long end)
    : FStream(stream), FStart(start), FEnd(end), FPosition(0) {}

CSubsetStream::~CSubsetStream() {}

long long CSubsetStream::GetPosition() {
  return FPosition;
}

void CSubsetStream::SetPosition(long long position) {
  if (position < 0) {
    FPosition = 0;
  } else if (position > GetSize()) {
    FPosition = GetSize();
  } else {
    FPosition = position;
  }
}

long long CSubsetStream::Seek(long long offset, int origin) {
  switch (origin) {
    case SeekFromStart:
      SetPosition(offset);
      break;
    case SeekFromCurrent:
      SetPosition(SaturatingAdd(FPosition, offset));
      break;
    case SeekFromEnd:
      SetPosition(SaturatingAdd(GetSize(), offset));
      break;
    default:
      break;
  }
  return FPosition;
}

long long CSubsetStream::GetSize() {
  return FEnd - FStart;
}

long long CSubsetStream::Read(long long count, void* buffer) {
  // A negative count or an inverted range would hand a negative count beneath: read nothing.
  // The comparison is written so that a huge count cannot overflow.
  if (count < 0) count = 0;
  if (count > GetSize() - FPosition) count = GetSize() - FPosition;
  if (count < 0) count = 0;
  long long saved = FStream->GetPosition();
  FStream->SetPosition(FStart + FPosition);
  long long result = FStream->Read(count, buffer);
  FPosition += count;
  FStream->SetPosition(saved);
  return result;
}

}  // namespace SV
