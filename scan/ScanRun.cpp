#include "scan/ScanRun.h"

#include <climits>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "SVSDK/SVDSStream.h"
#include "SVSDK/SubsetStream.h"

namespace SV {

namespace {
// The stream's check before each block it fetches.
void AskEngine(::CPhotoRecovery* engine, CDataSource* source, long long position, bool& cancel) {
  static_cast<CPhotoRecovery*>(engine)->DSAccess(source, position, cancel);
}
}  // namespace

using LogLevel::kError;
using LogLevel::kMajor;
using LogLevel::kStep;

CScanRun::CScanRun(CPhotoRecovery* engine, CDataSource* source) : FEngine(engine), FSource(source) {
  const char* id = source->GetUniqueID();
  FSourceID = id != nullptr ? id : "";
}

CScanRun::~CScanRun() = default;

void CScanRun::Log(int level, const std::string& text) {
  FEngine->Log("SVC", level, text.c_str());
}

void CScanRun::LogCancel(const char* where) {
  LogLine(kMajor, "Scan of ", FSourceID, " cancelled in ScanProgress ", where);
}

bool CScanRun::SourceBackAfterError() {
  FSource->Refresh();
  if (FSource->IsReady()) return true;
  LogLine(kError, "Lost drive ", FSourceID, " - scan aborted");
  return false;
}

CDataStream* CScanRun::Stream() const {
  return FStream.get();
}

bool CScanRun::Run() {
  LogLine(kMajor, "Starting scan of ", FSourceID);
  if (!FSource->AcquireReadLock()) {
    LogLine(kError, "Could not lock ", FSourceID, " - scan aborted");
    return false;
  }
  SetUp();
  FBlockIndex = 0;
  if (FBlockCount > 0) {
    if (__builtin_mul_overflow(FBlockCount, FBlockSize, &FTotalSize)) FTotalSize = LLONG_MAX;
    FLastEnd = -1;
    MainLoop();
  }
  return EndOfScan();
}

void CScanRun::SetUp() {
  FStream = std::make_unique<CSVDSStream>(FEngine, AskEngine, FSource, FEngine->ScanCacheSize(),
                                          FEngine->ScanReadAhead());
  FBlockCount = FSource->GetBlockCount();
  FBlockSize = FSource->GetBlockSize();
  FOpenScan.Clear();
  FCancel = false;
  FHandlers = FEngine->EnabledContentHandlers();
}

void CScanRun::MainLoop() {
  for (;;) {
    const long long position = Position();
    for (CContentHandler* handler : FHandlers) {
      FStream->SetPosition(position);
      if (Cancels("while selecting next block")) break;
      if (AskHandler(handler)) break;
    }
    if (FCancel || !FSource->IsReady()) return;
    if (++FBlockIndex >= FBlockCount) return;
  }
}

inline bool CScanRun::AskHandler(CContentHandler* handler) {
  bool recognized = false;
  long long start = -1;
  long long end = -1;
  if (!handler->RecognizeData(FStream.get(), FBlockSize, &recognized, &start, &end)) {
    recognized = false;
    start = -1;
    end = -1;
  }
  if (SourceLost()) return true;
  if (!recognized) return false;
  return ActOnRecognition(handler, start, end);
}

bool CScanRun::ActOnRecognition(CContentHandler* handler, long long start, long long end) {
  const char* id = handler->GetUniqueID();
  LogLine(kStep, "Block ", FBlockIndex, " recognized by ", id);
  if (FOpenScan.IsOpen() &&
      FOpenScan.CompleteAtRecognition(*this) == COpenScan::Outcome::kEndScan) {
    return true;
  }
  if (start >= 0 && end >= 0) {
    DeliverComplete(handler, start, end);
    return true;
  }
  if (start >= 0) {
    LogLine(kStep, id, " didn't report end of file - creating open scan");
    FOpenScan.Begin(handler, start);
    return true;
  }
  if (end >= 0) {
    SearchStart(handler, end);
    return FCancel;
  }
  LogLine(kError, "CH ", id, " recognized data at ", FBlockIndex,
          " but didn't indicate start or end");
  return false;
}

void CScanRun::DeliverComplete(CContentHandler* handler, long long start, long long end) {
  LogLine(kStep, handler->GetUniqueID(), " found full file - delivering immediately");
  // A start after the end names no bytes: nothing is delivered and the scan just goes on.
  if (start > end) return;
  Deliver(handler, start, end);
  // Resume at the first block that begins at or after the end, but never step back: an end
  // at or before the current block leaves the scan at the next block.
  if (FBlockSize > 0) {
    const long long endBlock = (end - 1) / FBlockSize;
    if (endBlock > FBlockIndex) FBlockIndex = endBlock;
  }
  FLastEnd = end;
}

void CScanRun::SearchStart(CContentHandler* handler, long long end) {
  const char* id = handler->GetUniqueID();
  LogLine(kStep, id, " didn't report start of file - retrying with last files end pos");
  const long long base = FLastEnd >= 0 ? FLastEnd : 0;
  const long long nextBlock = (FBlockIndex + 1) * FBlockSize;
  long long found = -1;
  // A base beyond the next block (the last file ended further on) leaves no range to search.
  if (base <= nextBlock) {
    CSubsetStream window(FStream.get(), base, nextBlock);
    if (!handler->FindStartOfFile(&window, FBlockSize, &found)) found = -1;
  }
  if (Cancels("after searching for start of file")) return;
  if (found < 0) {
    LogLine(kStep, id, " couldn't find start of file ending at ", end,
            " - Using last files end position ", base, " aligned to next block");
    found = 0;
  }
  // A start after the reported end would be an inverted range: nothing is delivered.
  if (found > end - base) return;
  Deliver(handler, base + found, end);
  FLastEnd = end;
}

void CScanRun::Deliver(CContentHandler* handler, long long start, long long end) {
  CSubsetStream file(FStream.get(), start, end);
  Deliver(handler, &file);
}

void CScanRun::Deliver(CContentHandler* handler, CDataStream* file) {
  FEngine->DeliverFile(handler, file);
}

bool CScanRun::EndOfScan() {
  LogLine(kStep, "End of scan - cleaning up");
  if (FOpenScan.IsOpen() && !FCancel) FOpenScan.CompleteAtEnd(*this);
  FEngine->ScanCompleted(!FStream->ReadError() && !FCancel && FSource->IsReady(), FCancel);
  FStream.reset();
  FSource->ReleaseReadLock();
  const bool result = !FCancel && FSource->IsReady();
  LogLine(kMajor, "Scan completed - returning ", result);
  return result;
}

}  // namespace SV
