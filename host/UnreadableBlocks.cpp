#include "UnreadableBlocks.h"

#include <algorithm>

namespace salvor {

bool CUnreadableBlocks::ReadBlocks(long long Index, long long Count, void* Buffer) {
  bool ok = FSource->ReadBlocks(Index, Count, Buffer);
  TakeState();
  if (ok) {
    // Read after all (the device recovered): its real bytes are in the engine's cache now.
    if (!FBlocks.empty())
      FBlocks.erase(FBlocks.lower_bound(Index), FBlocks.lower_bound(Index + Count));
  } else if (Count == 1) {
    // A failed run is read again block by block; only a single block's failure is final.
    FBlocks.insert(Index);
  }
  return ok;
}

long long CUnreadableBlocks::UnreadableBytes(long long offset, long long size) const {
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
