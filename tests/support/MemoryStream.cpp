#include "tests/support/MemoryStream.h"

#include <cstring>

namespace testing_support {

long long MemoryStream::Seek(long long offset, int origin) {
  if (origin == SeekFromStart) SetPosition(offset);
  if (origin == SeekFromCurrent) SetPosition(FPosition + offset);
  if (origin == SeekFromEnd) SetPosition(GetSize() + offset);
  return FPosition;
}

long long MemoryStream::Read(long long count, void* buffer) {
  if (count < 0) count = 0;
  if (count > GetSize() - FPosition) count = GetSize() - FPosition;
  if (count > 0) memcpy(buffer, FBytes.data() + FPosition, static_cast<size_t>(count));
  FPosition += count;
  return count;
}

}  // namespace testing_support
