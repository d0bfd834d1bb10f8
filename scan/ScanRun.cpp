#include "scan/ScanRun.h"

#include <climits>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "salvor/CEventHandler.h"
#include "SVSDK/SVDSStream.h"
#include "engine/SVPhotoRecovery.h"
#include "SVSDK/SubsetStream.h"

namespace SV {

namespace {
// The stream's check before each block it fetches.
void AskEngine(::CPhotoRecovery* engine, CDataSource* source, long long position, bool& cancel) {
  static_cast<CPhotoRecovery*>(engine)->DSAccess(source, position, cancel);
}
}  // namespace

CScanRun::CScanRun(CPhotoRecovery* engine, CDataSource* source) : FEngine(engine), FSource(source) {
  const char* id = source->GetUniqueID();
  FSourceID = id != nullptr ? id : "";
}

CScanRun::~CScanRun() = default;

void CScanRun::Log(int level, const std::string& text) {
  FEngine->Log("SVC", level, text.c_str());
}

bool CScanRun::Run() {
  LogLine(3, "Starting scan of ", FSourceID);
  if (!FSource->AcquireReadLock()) {
    LogLine(4, "Could not lock ", FSourceID, " - scan aborted");
    return false;
  }
  SetUp();
  if (FBlockCount > 0) {
    if (__builtin_mul_overflow(FBlockCount, FBlockSize, &FTotalSize)) FTotalSize = LLONG_MAX;
    FBlockIndex = 0;
    FLastEnd = -1;
    MainLoop();
  } else {
    FBlockIndex = 0;
  }
  return EndOfScan();
}

void CScanRun::SetUp() {
  FStream = std::make_unique<CSVDSStream>(FEngine, AskEngine, FSource, FEngine->FScanCacheSize,
                                          FEngine->FScanReadAhead);
  FBlockCount = FSource->GetBlockCount();
  FBlockSize = FSource->GetBlockSize();
  FOpenScan.Clear();
  FCancel = false;
  // Ascending byte order of the IDs: the registry's own order.
  for (auto& entry : FEngine->FContentHandlers) {
    if (entry.second->IsEnabled()) FHandlers.push_back(entry.second);
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
  LogLine(2, "Block ", FBlockIndex, " recognized by ", id);
  if (FOpenScan.IsOpen() && FOpenScan.CompleteAtRecognition(*this) == COpenScan::Outcome::EndScan) {
    return true;
  }
  if (start >= 0 && end >= 0) {
    DeliverComplete(handler, start, end);
    return true;
  }
  if (start >= 0) {
    LogLine(2, id, " didn't report end of file - creating open scan");
    FOpenScan.Begin(handler, start);
    return true;
  }
  if (end >= 0) {
    SearchStart(handler, end);
    return FCancel;
  }
  LogLine(4, "CH ", id, " recognized data at ", FBlockIndex, " but didn't indicate start or end");
  return false;
}

void CScanRun::MainLoop() {
  for (;;) {
    const long long position = FBlockIndex * FBlockSize;
    for (CContentHandler* handler : FHandlers) {
      FStream->SetPosition(position);
      if (ProgressCancels()) {
        LogLine(3, "Scan of ", FSourceID, " cancelled in ScanProgress while selecting next block");
        break;
      }
      if (AskHandler(handler)) break;
    }
    if (FCancel || !FSource->IsReady()) return;
    if (++FBlockIndex >= FBlockCount) return;
  }
}

void CScanRun::DeliverComplete(CContentHandler* handler, long long start, long long end) {
  LogLine(2, handler->GetUniqueID(), " found full file - delivering immediately");
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
  LogLine(2, id, " didn't report start of file - retrying with last files end pos");
  const long long base = FLastEnd >= 0 ? FLastEnd : 0;
  const long long nextBlock = (FBlockIndex + 1) * FBlockSize;
  long long found = -1;
  // A base beyond the next block (the last file ended further on) leaves no range to search.
  if (base <= nextBlock) {
    CSubsetStream window(FStream.get(), base, nextBlock);
    if (!handler->FindStartOfFile(&window, FBlockSize, &found)) found = -1;
  }
  if (ProgressCancels()) {
    LogLine(3, "Scan of ", FSourceID,
            " cancelled in ScanProgress after searching for start of file");
    return;
  }
  if (found < 0) {
    LogLine(2, id, " couldn't find start of file ending at ", end,
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
  FEngine->DeliverFile(handler, &file);
}

bool CScanRun::EndOfScan() {
  LogLine(2, "End of scan - cleaning up");
  if (FOpenScan.IsOpen() && !FCancel) FOpenScan.CompleteAtEnd(*this);
  if (CEventHandler* sink = Sink()) {
    const bool completed = !FStream->ReadError() && !FCancel && FSource->IsReady();
    sink->ScanCompleted(completed, FCancel, 0);
  }
  FStream.reset();
  FSource->ReleaseReadLock();
  const bool result = !FCancel && FSource->IsReady();
  LogLine(3, "Scan completed - returning ", result);
  return result;
}

}  // namespace SV
