#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "modules/common/StreamReader.h"

namespace salvor {

// One past the last non-zero byte before `end`, not going below `floor`: zeros that follow
// cut-off data are the medium's, not the file's.
inline long long TrimTrailingZeros(CStreamReader& reader, long long floor, long long end) {
  while (end > floor) {
    const size_t span =
        static_cast<size_t>(std::min<long long>(CStreamReader::kWindow, end - floor));
    const uint8_t* data = reader.Peek(end - static_cast<long long>(span), span);
    if (data == nullptr) return end;
    for (size_t i = span; i > 0; --i) {
      if (data[i - 1] != 0) return end - static_cast<long long>(span - i);
    }
    end -= static_cast<long long>(span);
  }
  return floor;
}

}  // namespace salvor
