#include "recovery/ScannedSource.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace salvor {

void CScannedSource::AddTail(std::vector<uint8_t> tail) {
  if (tail.empty() || static_cast<long long>(tail.size()) >= FBlockSize) return;
  FTail = std::move(tail);
  FBlockCount = FSourceCount + 1;
}

bool CScannedSource::ReadBlocks(long long Index, long long Count, void* Buffer) {
  if (FTail.empty() || Count <= 0 || Index < 0 || Index <= FSourceCount - Count)
    return ReadWholeBlocks(Index, Count, Buffer);
  if (Index > FBlockCount - Count) return false;
  // The run ends with the tail block.
  const long long whole = Count - 1;
  if (whole > 0 && !ReadWholeBlocks(Index, whole, Buffer)) return false;
  if (FTail.empty()) return false;  // the source changed while being read
  uint8_t* last = static_cast<uint8_t*>(Buffer) + whole * FBlockSize;
  std::copy(FTail.begin(), FTail.end(), last);
  std::fill(last + FTail.size(), last + FBlockSize, 0);
  return true;
}

bool CScannedSource::ReadWholeBlocks(long long Index, long long Count, void* Buffer) {
  const bool ok = FSource->ReadBlocks(Index, Count, Buffer);
  TakeState();
  if (ok) {
    // Read after all (the device recovered): its real bytes are in the engine's cache now.
    if (!FBlocks.empty())
      FBlocks.erase(FBlocks.lower_bound(Index), FBlocks.lower_bound(Index + Count));
    return true;
  }
  ++FReadErrors;
  if (!FImageGone && ImageGone()) {
    FImageGone = true;
    FReady = false;
  }
  // A failed run is read again block by block; only a single block's failure is final.
  if (Count == 1) FBlocks.insert(Index);
  return false;
}

bool CScannedSource::ImageGone() const {
  struct stat info {};
  return !FImagePath.empty() &&
         (stat(FImagePath.c_str(), &info) != 0 || info.st_size < FImageBytes);
}

long long CScannedSource::UnreadableBytes(long long offset, long long size) const {
  const long long blockSize = FBlockSize;
  if (FBlocks.empty() || blockSize <= 0 || size <= 0) return 0;
  long long bytes = 0;
  for (auto it = FBlocks.lower_bound(offset / blockSize);
       it != FBlocks.end() && *it * blockSize < offset + size; ++it) {
    bytes += std::min((*it + 1) * blockSize, offset + size) - std::max(*it * blockSize, offset);
  }
  return bytes;
}

}  // namespace salvor
