#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "tests/support/SparseStream.h"

namespace testing_support {

// A CDataStream over bytes in memory, for driving handlers and subset streams directly.
class MemoryStream : public SparseStream {
 public:
  explicit MemoryStream(std::vector<uint8_t> bytes)
      : SparseStream(static_cast<long long>(bytes.size())) {
    Place(0, std::move(bytes));
  }
  const std::vector<uint8_t>& Bytes() { return Piece(0); }
};

}  // namespace testing_support
