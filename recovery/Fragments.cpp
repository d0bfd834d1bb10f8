#include "recovery/Fragments.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "recovery/RecoverySink.h"
#include "recovery/ScannedSource.h"
#include "recovery/Spans.h"
#include "validate/Spans.h"

namespace salvor {

namespace {
// A continuation is looked for in at least this many bytes, and in twice the damaged file's
// length: the scan's length of a broken file says little about the whole one.
constexpr long long kLeastReach = 64LL << 20;

// The files named intact on a cheaper check, decoded whole (a HEIC photo takes a fifth of a
// second or more) on every core but one, beside the searches: each from its written copy, since the
// source is read by the searching thread alone. Those not written (a list of what would be
// recovered) are left to the caller.
class Decoding {
 public:
  Decoding(const std::vector<ReportFile>& files, const std::string& outputDir,
           std::function<bool()> mustStop)
      : FFiles(files), FResults(files.size()), FMustStop(std::move(mustStop)) {
    FWritten = std::count_if(files.begin(), files.end(), Written);
    // A core is left to the search, whose time bounds are in seconds.
    const long long cores = std::max(2u, std::thread::hardware_concurrency()) - 1;
    for (long long i = 0; i < std::min(cores, FWritten); ++i)
      FThreads.emplace_back([this, outputDir] { Work(outputDir); });
  }
  ~Decoding() { Finish(); }
  void Finish() {
    for (std::thread& thread : FThreads) thread.join();
    FThreads.clear();
  }
  // Whether the written files are all decoded (or could not be read).
  bool AllDone() const { return FDone == FWritten; }
  long long Done() const { return FDone; }
  static bool Written(const ReportFile& file) { return file.written && !file.filename.empty(); }
  // After Finish: the file's validation, or null when it was not decoded here.
  const Validation* Result(size_t i) const { return FResults[i].get(); }

 private:
  void Work(const std::string& outputDir) {
    for (size_t i = FNext++; i < FFiles.size(); i = FNext++) {
      const ReportFile& file = FFiles[i];
      if (!Written(file)) continue;
      if (FMustStop()) return;
      FileSpan bytes(outputDir + "/" + file.filename, file.size);
      if (bytes.IsOpen())
        FResults[i] = std::make_unique<Validation>(FindRebuildValidator(file.type)(bytes));
      ++FDone;
    }
  }

  const std::vector<ReportFile>& FFiles;
  std::vector<std::unique_ptr<Validation>> FResults;  // each written by one thread
  std::function<bool()> FMustStop;
  std::atomic<size_t> FNext{0};
  long long FWritten = 0;
  std::atomic<long long> FDone{0};
  std::vector<std::thread> FThreads;
};

}  // namespace

RebuildOutcome RebuildFragmentedFiles(
    RecoverySink& sink, CScannedSource& source, const RebuildSettings& settings,
    const volatile std::sig_atomic_t* stop,
    const std::function<void(const char*, long long, long long)>& progress) {
  RebuildOutcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + settings.total;
  std::atomic<bool> searchStopped{false};
  const auto timeUp = [&] {
    return settings.total.count() <= 0 || (stop != nullptr && *stop != 0) ||
           std::chrono::steady_clock::now() >= deadline;
  };
  auto mustStop = [&] { return timeUp() || sink.OutputFailed() || source.Gone(); };
  SourceSpan span(source);
  const std::vector<ReportFile> undecoded = sink.Undecoded();
  Decoding decoding(undecoded, sink.OutputDir(), [&] { return searchStopped || timeUp(); });

  // The damaged files known at the end of the scan are searched while those files decode;
  // the ones decoding finds damaged, after.
  std::set<long long> searched;  // file starts
  const auto search = [&] {
    const std::vector<RecoverySink::BrokenFile> broken = sink.Broken();
    const long long count = static_cast<long long>(broken.size());
    for (long long i = 0; i < count; ++i) {
      const RecoverySink::BrokenFile& file = broken[i];
      if (!searched.insert(file.entry.offset).second) continue;
      if (mustStop()) {
        ++outcome.notSearched;
        continue;
      }
      if (!RebuildsReliably(file.entry.type)) {
        if (progress) progress("rebuilding fragmented files", i + 1, count);
        continue;
      }
      SearchLimits limits;
      limits.blockSize = source.BlockSize();
      limits.maxGapBlocks = settings.maxGapBlocks;
      limits.maxPieces = settings.maxPieces;
      limits.maxTime =
          std::min(settings.perFile, std::chrono::duration_cast<std::chrono::milliseconds>(
                                         deadline - std::chrono::steady_clock::now()));
      limits.maxFileBytes = std::max(kLeastReach, 2 * file.entry.size);
      limits.splicesShowAtOnce = NoticesSplicesAtOnce(file.entry.type);
      const Rebuilt rebuilt =
          FindPieces(span, FindRebuildValidator(file.entry.type),
                     {file.entry.offset, file.goodUntil, file.damagedAt}, sink.Claimed(), limits,
                     FindContinuationCheck(file.entry.type), FindJoinCheck(file.entry.type),
                     FindDecodingValidator(file.entry.type), FindJoinExpectation(file.entry.type));
      ++outcome.searched;
      if (rebuilt.outOfTime) ++outcome.outOfTime;
      if (rebuilt.found && sink.DeliverRebuilt(file, span, rebuilt.pieces, rebuilt.size))
        ++outcome.rebuilt;
      if (progress) progress("rebuilding fragmented files", i + 1, count);
    }
  };
  search();
  searchStopped = mustStop();
  const long long toDecode = static_cast<long long>(undecoded.size());
  while (!decoding.AllDone() && !searchStopped && !timeUp()) {
    if (progress) progress("decoding", decoding.Done(), toDecode);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  decoding.Finish();
  for (size_t i = 0; i < undecoded.size(); ++i) {
    const ReportFile& file = undecoded[i];
    Validation validation;
    if (const Validation* decoded = decoding.Result(i)) {
      validation = *decoded;
    } else if (!Decoding::Written(file) && !mustStop()) {
      SubSpan bytes(span, file.offset, file.size);
      validation = FindRebuildValidator(file.type)(bytes);
      if (progress) progress("decoding", static_cast<long long>(i) + 1, toDecode);
    } else {
      ++outcome.notDecoded;  // stopped before its turn, or its copy could not be read
      continue;
    }
    ++outcome.decoded;
    if (validation.verdict == Verdict::kDamaged && sink.Demote(file, validation))
      ++outcome.decodedDamaged;
  }
  search();
  return outcome;
}

}  // namespace salvor
