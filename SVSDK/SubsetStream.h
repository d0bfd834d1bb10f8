#pragma once

#include "salvor/CDataStream.h"

namespace SV {

// The byte range [start, end) of another stream as a stream of its own. Reads save and
// restore the position of the stream beneath. The stream beneath must outlive the subset.
class CSubsetStream : public CDataStream {
 public:
  CSubsetStream(CDataStream* stream, long long start, long long end);
  ~CSubsetStream() override;

  long long GetPosition() override;
  void SetPosition(long long position) override;
  long long Seek(long long offset, int origin) override;
  long long GetSize() override;
  long long Read(long long count, void* buffer) override;

  // The stream beneath and where the range starts in it.
  CDataStream* Base() const { return FStream; }
  long long Start() const { return FStart; }

 private:
  CDataStream* FStream;
  long long FStart;
  long long FEnd;
  long long FPosition;
};

}  // namespace SV
