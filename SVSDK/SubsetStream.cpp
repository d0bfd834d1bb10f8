#include "SVSDK/SubsetStream.h"

#include "SVSDK/SeekTarget.h"

namespace SV {

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
  long long target = 0;
  if (SeekTarget(offset, origin, FPosition, GetSize(), &target)) SetPosition(target);
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
