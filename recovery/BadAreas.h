#pragma once

#include <map>
#include <string>
#include <vector>

namespace salvor {

// A run of blocks, and what the source said about it.
struct BlockRun {
  long long first = 0;
  long long count = 0;
  std::string error;  // the source's words for the failure; empty for a run left unread
};

// Bytes of the source, and what the source said about them.
struct ByteRange {
  long long offset = 0;
  long long length = 0;
  std::string error;  // empty for bytes left unread
};

// Where a failing source cannot be read, and where it is better not to try. A block whose own
// read fails is unreadable; when the next block read fails as well, the blocks after it are
// skipped without being read, in steps that double while every block tried after a skip fails
// too, and fall back to the first step once a read succeeds. On a dying card this turns millions of
// slow failed reads into a few dozen; the skipped blocks are tried once more at the end
// (RetryPlan), within a bound.
class CBadAreas {
 public:
  // firstStep and largestStep: blocks skipped after the first failure, and at most.
  CBadAreas(long long blockCount, long long firstStep, long long largestStep);

  // Whether block `index` is known to be unreadable or lies in a skipped run: the caller then
  // does not read it. Constant time while nothing failed.
  bool Avoid(long long index) const {
    return FAnyAvoided && !(index >= FClearFrom && index < FClearTo) && AvoidSlow(index, 1);
  }
  // Whether any block of [first, first + count) is to be avoided.
  bool AvoidAny(long long first, long long count) const {
    return FAnyAvoided && !(first >= FClearFrom && first + count <= FClearTo) &&
           AvoidSlow(first, count);
  }

  // A read succeeded / failed. A failed run of several blocks says nothing about any one of
  // them; a failed single block is unreadable and may start a skip.
  void Succeeded();
  void Failed(long long first, long long count, const std::string& error);
  // The last read was of one block, and it failed.
  bool InBadArea() const { return FFailedLast; }

  // The retry read [first, first + count) after all: no longer skipped. Failed retries go
  // through Failed as before (without starting a new skip).
  void Recovered(long long first, long long count);
  void EndScan() { FScanning = false; }
  // Takes back the bad areas an interrupted scan had found.
  void Restore(const std::vector<BlockRun>& unreadable, const std::vector<BlockRun>& skipped);
  void SetBlockCount(long long blockCount) { FBlockCount = blockCount; }

  // Runs that could not be read, with the error, and runs left unread, in block order.
  std::vector<BlockRun> Unreadable() const { return Runs(FUnreadable); }
  std::vector<BlockRun> Skipped() const { return Runs(FSkipped); }
  // Bytes of [offset, offset + size) in blocks of blockSize bytes that are unreadable or were
  // left unread, and those runs clipped to it, as byte ranges.
  long long MissingBytes(long long offset, long long size, long long blockSize) const;
  std::vector<ByteRange> MissingRanges(long long offset, long long size, long long blockSize) const;
  bool AnyMissing() const { return FAnyAvoided; }
  // The same, to be read where one load is all a caller can afford.
  const bool& AnyMissingFlag() const { return FAnyAvoided; }

 private:
  struct Run {
    long long end;
    std::string error;
  };
  using RunMap = std::map<long long, Run>;  // first block -> end (exclusive), error

  bool AvoidSlow(long long first, long long count) const;
  static void Add(RunMap& runs, long long first, long long end, const std::string& error);
  static void Remove(RunMap& runs, long long first, long long end);
  static std::vector<BlockRun> Runs(const RunMap& runs);

  long long FBlockCount;
  long long FFirstStep;
  long long FLargestStep;
  long long FStep;
  bool FFailedLast = false;  // the last read was a single block that failed
  // The gap between bad areas last asked about: Avoid is asked for every block the scan
  // fetches, and a scan goes forward, so it is nearly always answered from here.
  mutable long long FClearFrom = 0;
  mutable long long FClearTo = 0;
  bool FScanning = true;
  bool FAnyAvoided = false;
  RunMap FUnreadable;
  RunMap FSkipped;
};

// The log's account of the bad areas: one line per area of touching unreadable and unread
// runs, in bytes, with the error; at most maxLines of them.
std::string BadAreaLines(const CBadAreas& areas, long long blockSize, size_t maxLines);

}  // namespace salvor
