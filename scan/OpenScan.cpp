#include "scan/OpenScan.h"

#include <climits>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "scan/ScanRun.h"
#include "SVSDK/SVDSStream.h"
#include "engine/SVPhotoRecovery.h"
#include "SVSDK/SubsetStream.h"

namespace SV {

namespace {

// Used when a handler has no MaxSize property: 32 MiB.
constexpr int kDefaultMaxSizeKiB = 32768;

// The end of a file of `length` bytes at `start`, kept within 64 bits whatever a handler says.
long long EndOf(long long start, long long length) {
  long long end = 0;
  return __builtin_add_overflow(start, length, &end) ? LLONG_MAX : end;
}

}  // namespace

void COpenScan::Begin(CContentHandler* handler, long long start) {
  FHandler = handler;
  FStart = start;
  FEndOffset = -1;
}

void COpenScan::Clear() {
  FHandler = nullptr;
  FStart = -1;
  FEndOffset = -1;
}

void COpenScan::SearchEnd(CScanRun& run, CDataStream* window) {
  if (!FHandler->FindEndOfFile(window, run.FBlockSize, &FEndOffset)) FEndOffset = -1;
}

long long COpenScan::WindowEnd(long long end) const {
  // A window that would end before the file starts (a start reported ahead of the scan) is
  // taken as empty rather than inverted.
  return end > FStart ? end : FStart;
}

long long COpenScan::MaxSizeBytes() {
  int value = 0;
  if (!FHandler->GetIntPropValue("MaxSize", &value)) value = kDefaultMaxSizeKiB;
  // 64-bit product: video handlers allow 4 GiB and more. A negative size bounds nothing.
  return value > 0 ? static_cast<long long>(value) * 1024 : 0;
}

COpenScan::Outcome COpenScan::CompleteAtRecognition(CScanRun& run) {
  const char* id = FHandler->GetUniqueID();
  const long long p = run.FBlockIndex * run.FBlockSize;
  run.LogLine(2, "Finishing open scan at ", FStart, " using ", id);
  const long long firstEnd = WindowEnd(p);
  {
    CSubsetStream first(run.FStream.get(), FStart, firstEnd);
    SearchEnd(run, &first);
  }
  if (run.SourceLost()) return Outcome::EndScan;
  if (run.ProgressCancels()) {
    run.LogLine(3, "Scan of ", run.FSourceID,
                " cancelled in ScanProgress while finishing open scan");
    return Outcome::EndScan;
  }
  if (FEndOffset < 0) {
    long long limit = p + MaxSizeBytes();
    if (limit > run.FTotalSize) limit = run.FTotalSize;
    const long long secondEnd = WindowEnd(limit);
    CSubsetStream second(run.FStream.get(), FStart, secondEnd);
    run.LogLine(2, id, " couldn't find end of file at ", FStart, " - trying with stream size ",
                secondEnd - FStart);
    SearchEnd(run, &second);
    if (run.SourceLost()) return Outcome::EndScan;
    if (run.ProgressCancels()) {
      run.LogLine(3, "Scan of ", run.FSourceID,
                  " cancelled in ScanProgress while retrying open scan completion");
      return Outcome::EndScan;
    }
    if (FEndOffset < 0) {
      run.LogLine(2, id, " still couldn't find end of file at ", FStart,
                  " - using current position ", p, " as end of file");
      FEndOffset = firstEnd - FStart;
    }
  }
  const long long end = EndOf(FStart, FEndOffset);
  run.Deliver(FHandler, FStart, end);
  if (run.SourceLost()) return Outcome::EndScan;
  run.FLastEnd = end;
  Clear();
  if (run.ProgressCancels()) {
    run.LogLine(3, "Scan of ", run.FSourceID,
                " cancelled in ScanProgress after completing open scan");
    return Outcome::EndScan;
  }
  return Outcome::Continue;
}

void COpenScan::CompleteAtEnd(CScanRun& run) {
  if (!run.FSource->IsReady()) return;
  const char* id = FHandler->GetUniqueID();
  run.LogLine(2, "Finishing open scan at ", FStart, " using ", id);
  const long long p = run.FBlockIndex * run.FBlockSize;
  CSubsetStream window(run.FStream.get(), FStart, WindowEnd(p));
  SearchEnd(run, &window);
  if (FEndOffset < 0) {
    run.LogLine(2, id, " couldn't find end of file at ", FStart, " - Using current position ", p);
    FEndOffset = window.GetSize();
  }
  // The file is cut from the window, so it never reaches past what was searched.
  CSubsetStream file(&window, 0, FEndOffset);
  run.FEngine->DeliverFile(FHandler, &file);
}

}  // namespace SV
