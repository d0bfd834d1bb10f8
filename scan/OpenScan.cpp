#include "scan/OpenScan.h"

#include <climits>

#include "salvor/CContentHandler.h"
#include "salvor/LogLevel.h"
#include "scan/ScanRun.h"
#include "SVSDK/SubsetStream.h"

namespace SV {

namespace {

using LogLevel::kStep;

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
  Begin(nullptr, -1);
}

void COpenScan::SearchEnd(CScanRun& run, long long end) {
  CSubsetStream window(run.Stream(), FStart, WindowEnd(end));
  if (!FHandler->FindEndOfFile(&window, run.BlockSize(), &FEndOffset)) FEndOffset = -1;
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

COpenScan::Outcome COpenScan::SearchEndWithinMaxSize(CScanRun& run, const char* id) {
  const long long p = run.Position();
  long long limit = p + MaxSizeBytes();
  if (limit > run.TotalSize()) limit = run.TotalSize();
  run.LogLine(kStep, id, " couldn't find end of file at ", FStart, " - trying with stream size ",
              WindowEnd(limit) - FStart);
  SearchEnd(run, limit);
  if (run.SourceLost() || run.Cancels("while retrying open scan completion")) {
    return Outcome::kEndScan;
  }
  if (FEndOffset < 0) {
    run.LogLine(kStep, id, " still couldn't find end of file at ", FStart,
                " - using current position ", p, " as end of file");
    FEndOffset = WindowEnd(p) - FStart;
  }
  return Outcome::kContinue;
}

COpenScan::Outcome COpenScan::CompleteAtRecognition(CScanRun& run) {
  const char* id = FHandler->GetUniqueID();
  run.LogLine(kStep, "Finishing open scan at ", FStart, " using ", id);
  SearchEnd(run, run.Position());
  if (run.SourceLost() || run.Cancels("while finishing open scan")) return Outcome::kEndScan;
  if (FEndOffset < 0 && SearchEndWithinMaxSize(run, id) == Outcome::kEndScan) {
    return Outcome::kEndScan;
  }
  const long long end = EndOf(FStart, FEndOffset);
  run.Deliver(FHandler, FStart, end);
  if (run.SourceLost()) return Outcome::kEndScan;
  run.SetLastEnd(end);
  Clear();
  return run.Cancels("after completing open scan") ? Outcome::kEndScan : Outcome::kContinue;
}

void COpenScan::CompleteAtEnd(CScanRun& run) {
  if (!run.SourceReady()) return;
  const char* id = FHandler->GetUniqueID();
  run.LogLine(kStep, "Finishing open scan at ", FStart, " using ", id);
  const long long p = run.Position();
  CSubsetStream window(run.Stream(), FStart, WindowEnd(p));
  if (!FHandler->FindEndOfFile(&window, run.BlockSize(), &FEndOffset)) FEndOffset = -1;
  if (FEndOffset < 0) {
    run.LogLine(kStep, id, " couldn't find end of file at ", FStart, " - Using current position ",
                p);
    FEndOffset = window.GetSize();
  }
  // The file is cut from the window, so it never reaches past what was searched.
  CSubsetStream file(&window, 0, FEndOffset);
  run.Deliver(FHandler, &file);
}

}  // namespace SV
