// Every validator and join check over the same hostile bytes: each must answer without
// crashing, leaking or reading outside the span, and what it says must stay inside the span.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "validate/Spans.h"
#include "validate/Validator.h"

namespace {
const char* const kTypes[] = {"jpg", "png", "gif",  "webp", "bmp", "heic", "avif", "tif",
                              "cr2", "raf", "psd",  "mp4",  "mov", "m4a",  "avi",  "wav",
                              "mkv", "mp3", "flac", "ogg",  "mpg", "mts"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const char* type : kTypes) {
    const salvor::ValidateFunction validate = salvor::FindValidator(type);
    if (validate == nullptr) continue;
    salvor::MemorySpan span(data, static_cast<long long>(size));
    const salvor::Validation result = validate(span);
    const long long length = static_cast<long long>(size);
    if (result.verdict == salvor::Verdict::kIntact && (result.end < 0 || result.end > length))
      std::abort();
    if (result.verdict == salvor::Verdict::kDamaged &&
        (result.damagedAt < 0 || result.damagedAt > length || result.goodUntil < 0 ||
         result.goodUntil > result.damagedAt))
      std::abort();
    // The same bytes as a join at a cut where a piece could end: judged without reading
    // outside them.
    if (const salvor::JoinCheck check = salvor::FindJoinCheck(type)) {
      const long long unitStart =
          result.verdict == salvor::Verdict::kDamaged ? result.goodUntil : 0;
      for (long long cut : {length / 2 / 512 * 512, result.damagedAt}) {
        if (cut > unitStart) check(span, unitStart, cut);
      }
    }
  }
  return 0;
}
