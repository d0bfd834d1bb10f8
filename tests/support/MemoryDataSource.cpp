#include "tests/support/MemoryDataSource.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace testing_support {

MemoryDataSource::MemoryDataSource(CPhotoRecovery* engine, const std::string& id,
                                   std::vector<uint8_t> bytes, long long blockSize)
    : CDSBase(engine), FBytes(std::move(bytes)), FBlockSize(blockSize) {
  FUniqueID = id;
}

bool MemoryDataSource::GetDisplayName(wchar_t* name) {
  std::wstring wide(FUniqueID.begin(), FUniqueID.end());
  wcsncpy(name, wide.c_str(), 1024);
  return true;
}

void MemoryDataSource::Refresh() {
  FLastIOError = 0;
  FReady = !(FLost && lostForGood);
}

bool MemoryDataSource::ReadBlocks(long long Index, long long Count, void* Buffer) {
  reads.emplace_back(Index, Count);
  FLastIOError = 0;
  if (loseDriveAfterReads >= 0 && static_cast<long long>(reads.size()) > loseDriveAfterReads) {
    FLost = true;
    FLastIOError = 5;
    return false;
  }
  if (!FReady || Index < 0 || Count < 0 || Index + Count > GetBlockCount()) return false;
  for (long long b = Index; b < Index + Count; ++b)
    if (failingBlocks.count(b) != 0) return false;
  // Blocks beyond the bytes (a virtual block count) read as zeros.
  const long long begin = Index * FBlockSize, length = Count * FBlockSize;
  const long long copy =
      std::max(0LL, std::min(length, static_cast<long long>(FBytes.size()) - begin));
  memset(Buffer, 0, static_cast<size_t>(length));
  if (copy > 0) memcpy(Buffer, FBytes.data() + begin, static_cast<size_t>(copy));
  return true;
}

}  // namespace testing_support
