#include "SVSDK/StreamOrigin.h"

#include "SVSDK/SVDSStream.h"
#include "SVSDK/SubsetStream.h"

long long SVStreamSourceOffset(CDataStream* stream) {
  if (stream == nullptr) return -1;
  long long offset = 0;
  // Bounded so that a cycle of subsets built by a buggy caller cannot hang the host.
  for (int depth = 0; depth < 64; ++depth) {
    auto* subset = dynamic_cast<SV::CSubsetStream*>(stream);
    if (subset == nullptr) break;
    offset += subset->Start();
    stream = subset->Base();
  }
  return offset;
}

long long SVStreamSerial(CDataStream* stream) {
  auto* scan = dynamic_cast<SV::CSVDSStream*>(stream);
  return scan != nullptr ? scan->Serial() : -1;
}
