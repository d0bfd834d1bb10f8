#pragma once

#include <cstdint>
#include <cstring>

#include "salvor/CDataStream.h"

// A CDataStream over the fuzzer's input bytes, borrowed for one run.
class FuzzStream : public CDataStream {
 public:
  FuzzStream(const uint8_t* data, size_t size) : FData(data), FSize(static_cast<long long>(size)) {}
  long long GetPosition() override { return FPosition; }
  void SetPosition(long long p) override { FPosition = p < 0 ? 0 : (p > FSize ? FSize : p); }
  long long Seek(long long offset, int origin) override {
    if (origin == SeekFromStart) SetPosition(offset);
    if (origin == SeekFromCurrent) SetPosition(FPosition + offset);
    if (origin == SeekFromEnd) SetPosition(FSize + offset);
    return FPosition;
  }
  long long GetSize() override { return FSize; }
  long long Read(long long count, void* buffer) override {
    if (count < 0) count = 0;
    if (count > FSize - FPosition) count = FSize - FPosition;
    if (count > 0) memcpy(buffer, FData + FPosition, static_cast<size_t>(count));
    FPosition += count;
    return count;
  }

 private:
  const uint8_t* FData;
  long long FSize;
  long long FPosition = 0;
};
