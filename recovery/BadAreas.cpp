#include "recovery/BadAreas.h"

#include <algorithm>
#include <limits>

namespace salvor {

CBadAreas::CBadAreas(long long blockCount, long long firstStep, long long largestStep)
    : FBlockCount(blockCount),
      FFirstStep(std::max(1LL, firstStep)),
      FLargestStep(std::max(FFirstStep, largestStep)),
      FStep(FFirstStep) {}

bool CBadAreas::AvoidSlow(long long first, long long count) const {
  long long gapFrom = 0;
  long long gapTo = std::numeric_limits<long long>::max();
  for (const RunMap* runs : {&FUnreadable, &FSkipped}) {
    auto next = runs->upper_bound(first);
    if (next != runs->begin()) {
      const auto& before = *std::prev(next);
      if (before.second.end > first) return true;
      gapFrom = std::max(gapFrom, before.second.end);
    }
    if (next != runs->end()) gapTo = std::min(gapTo, next->first);
  }
  FClearFrom = gapFrom;
  FClearTo = gapTo;
  return first + count > gapTo;
}

void CBadAreas::Succeeded() {
  FStep = FFirstStep;
  FFailedLast = false;
}

void CBadAreas::Failed(long long first, long long count, const std::string& error) {
  if (count != 1 || first < 0 || first >= FBlockCount) return;
  FClearFrom = FClearTo = 0;
  Remove(FSkipped, first, first + 1);
  Add(FUnreadable, first, first + 1, error);
  FAnyAvoided = true;
  // A lone bad sector costs only itself; a second failure in a row starts the skipping.
  const bool second = FFailedLast;
  FFailedLast = true;
  if (!FScanning || !second) return;
  // Skip what follows, further each time the block after a skip fails as well.
  const long long end = std::min(FBlockCount, first + 1 + FStep);
  long long from = first + 1;
  // Blocks already known unreadable stay so; only the others are skipped.
  while (from < end) {
    auto next = FUnreadable.lower_bound(from);
    const long long stop = next == FUnreadable.end() ? end : std::min(end, next->first);
    if (stop > from) Add(FSkipped, from, stop, std::string());
    from = next == FUnreadable.end() ? end : std::max(stop, next->second.end);
  }
  FStep = std::min(FLargestStep, FStep * 2);
}

void CBadAreas::Recovered(long long first, long long count) {
  FClearFrom = FClearTo = 0;
  Remove(FSkipped, first, first + count);
  FAnyAvoided = !FUnreadable.empty() || !FSkipped.empty();
}

void CBadAreas::Restore(const std::vector<BlockRun>& unreadable,
                        const std::vector<BlockRun>& skipped) {
  for (const BlockRun& run : unreadable)
    Add(FUnreadable, run.first, run.first + run.count, run.error);
  for (const BlockRun& run : skipped)
    Add(FSkipped, run.first, run.first + run.count, std::string());
  FClearFrom = FClearTo = 0;
  FAnyAvoided = !FUnreadable.empty() || !FSkipped.empty();
}

long long CBadAreas::MissingBytes(long long offset, long long size, long long blockSize) const {
  long long bytes = 0;
  for (const ByteRange& range : MissingRanges(offset, size, blockSize)) bytes += range.length;
  return bytes;
}

std::vector<ByteRange> CBadAreas::MissingRanges(long long offset, long long size,
                                                long long blockSize) const {
  std::vector<ByteRange> missing;
  if (!FAnyAvoided || size <= 0 || blockSize <= 0) return missing;
  const long long end = offset + size;
  for (const RunMap* runs : {&FUnreadable, &FSkipped}) {
    auto it = runs->upper_bound(offset / blockSize);
    if (it != runs->begin()) --it;
    for (; it != runs->end() && it->first * blockSize < end; ++it) {
      const long long from = std::max(offset, it->first * blockSize);
      const long long to = std::min(end, it->second.end * blockSize);
      if (to > from) missing.push_back({from, to - from, it->second.error});
    }
  }
  std::sort(missing.begin(), missing.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  return missing;
}

void CBadAreas::Add(RunMap& runs, long long first, long long end, const std::string& error) {
  // Joins a run that touches it with the same error text.
  auto it = runs.upper_bound(first);
  if (it != runs.begin()) {
    auto before = std::prev(it);
    if (before->second.end >= first && before->second.error == error) {
      before->second.end = std::max(before->second.end, end);
      if (it != runs.end() && it->first <= before->second.end && it->second.error == error) {
        before->second.end = std::max(before->second.end, it->second.end);
        runs.erase(it);
      }
      return;
    }
  }
  if (it != runs.end() && it->first <= end && it->second.error == error) {
    const Run merged{std::max(end, it->second.end), error};
    runs.erase(it);
    runs[first] = merged;
    return;
  }
  runs[first] = Run{end, error};
}

void CBadAreas::Remove(RunMap& runs, long long first, long long end) {
  auto it = runs.upper_bound(first);
  if (it != runs.begin()) --it;
  while (it != runs.end() && it->first < end) {
    if (it->second.end <= first) {
      ++it;
      continue;
    }
    const long long runFirst = it->first;
    const Run run = it->second;
    it = runs.erase(it);
    if (runFirst < first) runs[runFirst] = Run{first, run.error};
    if (run.end > end) {
      runs[end] = Run{run.end, run.error};
      break;
    }
  }
}

std::vector<BlockRun> CBadAreas::Runs(const RunMap& runs) {
  std::vector<BlockRun> list;
  for (const auto& run : runs)
    list.push_back({run.first, run.second.end - run.first, run.second.error});
  return list;
}

std::string BadAreaLines(const CBadAreas& areas, long long blockSize, size_t maxLines) {
  std::vector<BlockRun> runs = areas.Unreadable();
  const std::vector<BlockRun> skipped = areas.Skipped();
  runs.insert(runs.end(), skipped.begin(), skipped.end());
  std::sort(runs.begin(), runs.end(),
            [](const BlockRun& a, const BlockRun& b) { return a.first < b.first; });
  // Runs that touch make one area: "bytes A-B (N blocks): U unreadable (error), S not read".
  std::string text;
  size_t lines = 0;
  for (size_t i = 0; i < runs.size();) {
    const long long first = runs[i].first;
    long long end = first;
    long long unread = 0;
    std::string error;
    for (; i < runs.size() && runs[i].first == end; end += runs[i++].count) {
      if (runs[i].error.empty()) unread += runs[i].count;
      if (error.empty()) error = runs[i].error;
    }
    if (lines++ == maxLines) {
      text += "salvor: more bad areas (see the report)\n";
      break;
    }
    const long long blocks = end - first;
    text += "salvor: bad area: bytes " + std::to_string(first * blockSize) + "-" +
            std::to_string(end * blockSize - 1) + " (" + std::to_string(blocks) +
            (blocks == 1 ? " block): " : " blocks): ");
    if (blocks > unread) {
      text += std::to_string(blocks - unread) + " unreadable (" + error + ")" +
              (unread > 0 ? ", " : "");
    }
    if (unread > 0) text += std::to_string(unread) + " not read after the read errors around them";
    text += "\n";
  }
  return text;
}

}  // namespace salvor
