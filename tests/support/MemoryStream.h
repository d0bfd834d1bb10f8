#pragma once

#include <cstdint>
#include <vector>

#include "salvor/CDataStream.h"

namespace testing_support {

// A CDataStream over bytes in memory, for driving handlers and subset streams directly.
class MemoryStream : public CDataStream {
 public:
  explicit MemoryStream(std::vector<uint8_t> bytes) : FBytes(std::move(bytes)) {}
  long long GetPosition() override { return FPosition; }
  void SetPosition(long long p) override {
    FPosition = p < 0 ? 0 : (p > GetSize() ? GetSize() : p);
  }
  long long Seek(long long offset, int origin) override;
  long long GetSize() override { return static_cast<long long>(FBytes.size()); }
  long long Read(long long count, void* buffer) override;

  std::vector<uint8_t>& Bytes() { return FBytes; }

 private:
  std::vector<uint8_t> FBytes;
  long long FPosition = 0;
};

}  // namespace testing_support
