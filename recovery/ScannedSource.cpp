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
  if (Count == 1) {
    // Bad and skipped blocks are not read again.
    if (FBadAreas.Avoid(Index)) return false;
    const bool ok = ReadRun(Index, 1, Buffer);
    if (!ok) FBadAreas.Failed(Index, 1, ReadErrorText(Index));
    return ok;
  }
  if (!FBadAreas.AvoidAny(Index, Count) && ReadRun(Index, Count, Buffer)) return true;
  if (!FReady) return false;
  // What the run holds that can be read is read here, its bad and skipped blocks are zeros;
  // the engine is refused those blocks whenever it asks for them (Avoid), so the zeros never
  // pass for data, and it need not read the run's good blocks one by one.
  Salvage(Index, Count, static_cast<uint8_t*>(Buffer));
  return FReady;
}

void CScannedSource::Salvage(long long first, long long count, uint8_t* out) {
  const long long end = first + count;
  const auto zero = [&](long long block) {
    std::fill_n(out + (block - first) * FBlockSize, FBlockSize, 0);
  };
  for (long long at = first; at < end;) {
    if (!FReady || FBadAreas.Avoid(at)) {
      zero(at++);
      continue;
    }
    // Right after a failed block only the next one is tried: in a bad area a piece would fail
    // as well, reading it to no purpose.
    const long long piece = FBadAreas.InBadArea() ? 1 : kSalvagePiece;
    long long pieceEnd = at + 1;
    while (pieceEnd < std::min(end, at + piece) && !FBadAreas.Avoid(pieceEnd)) ++pieceEnd;
    if (!ReadRun(at, pieceEnd - at, out + (at - first) * FBlockSize)) {
      // Block by block: a lone bad block costs itself, two in a row start a skip.
      for (long long block = at; block < pieceEnd; ++block) {
        if (!FReady || FBadAreas.Avoid(block) ||
            !ReadRun(block, 1, out + (block - first) * FBlockSize)) {
          if (FReady && !FBadAreas.Avoid(block)) FBadAreas.Failed(block, 1, ReadErrorText(block));
          zero(block);
        }
      }
    }
    at = pieceEnd;
  }
}

bool CScannedSource::ReadRun(long long Index, long long Count, void* Buffer) {
  const bool ok = FSource->ReadBlocks(Index, Count, Buffer);
  TakeState();
  // An image file cut short or removed ends the scan at once, not when the scan reaches the
  // cut: one file-status query a read (a whole chunk, normally) tells.
  if (!FImageGone && ImageGone()) {
    FImageGone = true;
    FReady = false;
  }
  if (ok) {
    FBadAreas.Succeeded();
    return true;
  }
  ++FReadErrors;
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

std::vector<BlockRun> CScannedSource::RetrySkipped(long long maxFailures, long long piece,
                                                   const volatile std::sig_atomic_t* stop) {
  FBadAreas.EndScan();
  piece = std::max(1LL, piece);
  std::vector<uint8_t> buffer(static_cast<size_t>(piece * FBlockSize));
  std::vector<BlockRun> recovered;
  long long failures = 0;
  const auto read = [&](long long first, long long count) {
    if (!ReadRun(first, count, buffer.data())) {
      if (count == 1) FBadAreas.Failed(first, 1, ReadErrorText(first));
      ++failures;
      return false;
    }
    FBadAreas.Recovered(first, count);
    recovered.push_back({first, count, std::string()});
    return true;
  };
  // Each skipped run is read from both ends inwards, in pieces and then block by block, until
  // a block fails on each side: at most four failed reads a run, and what lies between the
  // failures stays unread.
  for (const BlockRun& skipped : FBadAreas.Skipped()) {
    if ((stop != nullptr && *stop != 0) || !FReady || failures >= maxFailures) break;
    long long from = skipped.first;
    // The image's tail block is read from memory, never skipped.
    long long to = std::min(skipped.first + skipped.count, FSourceCount);
    while (from < to && read(from, std::min(piece, to - from))) from += std::min(piece, to - from);
    while (from < to && FReady && read(from, 1)) ++from;
    ++from;  // failed (or past the end)
    while (from < to && FReady && read(to - std::min(piece, to - from), std::min(piece, to - from)))
      to -= std::min(piece, to - from);
    while (from < to && FReady && read(to - 1, 1)) --to;
  }
  // In order, touching runs joined.
  std::sort(recovered.begin(), recovered.end(),
            [](const BlockRun& a, const BlockRun& b) { return a.first < b.first; });
  std::vector<BlockRun> joined;
  for (const BlockRun& run : recovered) {
    if (!joined.empty() && joined.back().first + joined.back().count == run.first) {
      joined.back().count += run.count;
    } else {
      joined.push_back(run);
    }
  }
  return joined;
}

bool CScannedSource::ImageGone() const {
  struct stat info {};
  return !FImagePath.empty() &&
         (stat(FImagePath.c_str(), &info) != 0 || info.st_size < FImageBytes);
}

}  // namespace salvor
