#include "recovery/Fragments.h"

#include <algorithm>

#include "recovery/RecoverySink.h"
#include "recovery/ScannedSource.h"
#include "recovery/Spans.h"
#include "validate/Spans.h"

namespace salvor {

namespace {
// A continuation is looked for in at least this many bytes, and in twice the damaged file's
// length: the scan's length of a broken file says little about the whole one.
constexpr long long kLeastReach = 64LL << 20;
}  // namespace

RebuildOutcome RebuildFragmentedFiles(
    RecoverySink& sink, CScannedSource& source, const RebuildSettings& settings,
    const volatile std::sig_atomic_t* stop,
    const std::function<void(const char*, long long, long long)>& progress) {
  RebuildOutcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + settings.total;
  auto mustStop = [&] {
    return settings.total.count() <= 0 || (stop != nullptr && *stop != 0) || sink.OutputFailed() ||
           source.Gone() || std::chrono::steady_clock::now() >= deadline;
  };
  SourceSpan span(source);
  const std::vector<ReportFile> undecoded = sink.Undecoded();
  const long long toDecode = static_cast<long long>(undecoded.size());
  for (long long i = 0; i < toDecode; ++i) {
    if (mustStop()) {
      outcome.notDecoded = toDecode - i;
      break;
    }
    const ReportFile& file = undecoded[i];
    SubSpan bytes(span, file.offset, file.size);
    const Validation validation = FindRebuildValidator(file.type)(bytes);
    ++outcome.decoded;
    if (validation.verdict == Verdict::kDamaged && sink.Demote(file, validation))
      ++outcome.decodedDamaged;
    if (progress) progress("decoding", i + 1, toDecode);
  }
  const std::vector<RecoverySink::BrokenFile> broken = sink.Broken();
  const long long count = static_cast<long long>(broken.size());
  for (long long i = 0; i < count; ++i) {
    if (mustStop()) {
      outcome.notSearched = count - i;
      break;
    }
    const RecoverySink::BrokenFile& file = broken[i];
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
    const Rebuilt rebuilt =
        FindPieces(span, FindRebuildValidator(file.entry.type),
                   {file.entry.offset, file.goodUntil, file.damagedAt}, sink.Claimed(), limits,
                   FindContinuationCheck(file.entry.type), FindJoinCheck(file.entry.type),
                   FindDecodingValidator(file.entry.type));
    ++outcome.searched;
    if (rebuilt.outOfTime) ++outcome.outOfTime;
    if (rebuilt.found && sink.DeliverRebuilt(file, span, rebuilt.pieces, rebuilt.size))
      ++outcome.rebuilt;
    if (progress) progress("rebuilding fragmented files", i + 1, count);
  }
  return outcome;
}

}  // namespace salvor
