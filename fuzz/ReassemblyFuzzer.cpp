// The fragment search over a hostile source: whatever the bytes, it ends within its limits,
// and what it rebuilds lies inside the source and validates whole.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "reassembly/Reassembly.h"
#include "validate/Spans.h"

namespace {
const char* const kTypes[] = {"jpg", "png", "mp4", "webp", "avi", "mkv", "mp3", "flac", "ogg"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const char* type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
  const salvor::ValidateFunction validate = salvor::FindValidator(type);
  if (validate == nullptr) return 0;
  salvor::MemorySpan source(data + 1, static_cast<long long>(size - 1));
  salvor::ClaimedRanges claimed;
  claimed.Add(4096, 8192);
  salvor::SearchLimits limits;
  limits.maxGapBlocks = 64;
  limits.maxTries = 64;
  limits.maxTime = std::chrono::milliseconds(200);
  limits.maxFileBytes = 1 << 20;
  limits.splicesShowAtOnce = salvor::NoticesSplicesAtOnce(type);
  const salvor::Rebuilt rebuilt =
      salvor::FindPieces(source, validate, salvor::BrokenFile{0, 0, 1}, claimed, limits,
                         salvor::FindContinuationCheck(type), salvor::FindJoinCheck(type),
                         salvor::FindDecodingValidator(type), salvor::FindJoinExpectation(type));
  if (rebuilt.tries > limits.maxTries) std::abort();
  if (!rebuilt.found) return 0;
  long long total = 0;
  for (const salvor::Piece& piece : rebuilt.pieces) {
    if (piece.offset < 0 || piece.length <= 0 || piece.offset + piece.length > source.Size())
      std::abort();
    total += piece.length;
  }
  if (total != rebuilt.size) std::abort();
  salvor::JoinedSpan joined(source, rebuilt.pieces, rebuilt.size);
  if (validate(joined).verdict != salvor::Verdict::kIntact) std::abort();
  return 0;
}
