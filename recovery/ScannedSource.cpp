#include "recovery/ScannedSource.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace salvor {

void CScannedSource::AddTail(std::vector<uint8_t> tail) {
  if (tail.empty() || static_cast<long long>(tail.size()) >= FBlockSize) return;
  FTail = std::move(tail);
  FBlockCount = FSourceCount + 1;
  FBadAreas.SetBlockCount(FBlockCount);
}

bool CScannedSource::ReadAt(long long Index, long long Count, void* Buffer) {
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
  // Bad and skipped blocks are not read again: the engine then reads the others one by one.
  if (FBadAreas.AvoidAny(Index, Count)) return false;
  return ReadRun(Index, Count, Buffer);
}

bool CScannedSource::ReadRun(long long Index, long long Count, void* Buffer) {
  const bool ok = FSource->ReadBlocks(Index, Count, Buffer);
  TakeState();
  if (ok) {
    FBadAreas.Succeeded();
    return true;
  }
  ++FReadErrors;
  if (!FImageGone && ImageGone()) {
    FImageGone = true;
    FReady = false;
  }
  FBadAreas.Failed(Index, Count, ReadErrorText(Index));
  return false;
}

std::string CScannedSource::ReadErrorText(long long Index) const {
  if (FLastIOError != 0) return std::strerror(FLastIOError);
  struct stat info {};
  if (!FImagePath.empty() && stat(FImagePath.c_str(), &info) == 0 &&
      (Index + 1) * FBlockSize > info.st_size) {
    return "past the end of the image file";
  }
  return "read failed";
}

std::vector<BlockRun> CScannedSource::RetrySkipped(long long budget, long long run,
                                                   const volatile std::sig_atomic_t* stop) {
  FBadAreas.EndScan();
  std::vector<uint8_t> buffer;
  std::vector<BlockRun> recovered;
  const auto add = [&recovered](long long first, long long count) {
    if (!recovered.empty() && recovered.back().first + recovered.back().count == first) {
      recovered.back().count += count;
    } else {
      recovered.push_back({first, count, std::string()});
    }
  };
  for (BlockRun piece : FBadAreas.RetryPlan(budget, run)) {
    if ((stop != nullptr && *stop != 0) || !FReady) break;
    // The image's tail block is read from memory, never skipped.
    piece.count = std::min(piece.count, FSourceCount - piece.first);
    if (piece.count <= 0) continue;
    buffer.resize(static_cast<size_t>(piece.count * FBlockSize));
    if (ReadRun(piece.first, piece.count, buffer.data())) {
      FBadAreas.Recovered(piece.first, piece.count);
      add(piece.first, piece.count);
      continue;
    }
    // Closes in on the bad blocks from both ends, one failure each way: what lies between
    // stays unread rather than costing a failed read per block.
    long long from = piece.first;
    long long to = piece.first + piece.count;
    const long long forward = from;
    while (from < to && FReady && ReadRun(from, 1, buffer.data())) FBadAreas.Recovered(from++, 1);
    if (from > forward) add(forward, from - forward);
    const long long backward = to;
    ++from;
    while (from < to && FReady && ReadRun(to - 1, 1, buffer.data())) FBadAreas.Recovered(--to, 1);
    if (to < backward) add(to, backward - to);
  }
  return recovered;
}

bool CScannedSource::ImageGone() const {
  struct stat info {};
  return !FImagePath.empty() &&
         (stat(FImagePath.c_str(), &info) != 0 || info.st_size < FImageBytes);
}

}  // namespace salvor
