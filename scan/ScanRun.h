#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "salvor/CDataSource.h"
#include "salvor/CEventHandler.h"
#include "scan/OpenScan.h"
#include "engine/SVPhotoRecovery.h"

class CContentHandler;

namespace SV {

class CSVDSStream;

// The working state of one call of Scan: everything lives here and is gone when it returns.
class CScanRun {
 public:
  CScanRun(CPhotoRecovery* engine, CDataSource* source);
  ~CScanRun();
  CScanRun(const CScanRun&) = delete;
  CScanRun& operator=(const CScanRun&) = delete;

  bool Run();

  // Joins the pieces as a text stream writes them and logs the line under "SVC".
  template <typename... Pieces>
  void LogLine(int level, const Pieces&... pieces) {
    std::ostringstream text;
    (text << ... << pieces);
    Log(level, text.str());
  }
  void Log(int level, const std::string& text);

  // ScanProgress at the current block; true when the sink asked to cancel.
  bool ProgressCancels() {
    if (CEventHandler* sink = Sink()) sink->ScanProgress(FBlockIndex, FBlockCount, FCancel);
    return FCancel;
  }
  // After an I/O error, true when the source stays not ready (logged once as a lost drive).
  bool SourceLost() {
    if (__builtin_expect(FSource->GetLastIOError() == 0, 1)) return false;
    FSource->Refresh();
    if (FSource->IsReady()) return false;
    LogLine(4, "Lost drive ", FSourceID, " - scan aborted");
    return true;
  }
  void Deliver(CContentHandler* handler, long long start, long long end);

  CPhotoRecovery* FEngine;
  CDataSource* FSource;
  std::string FSourceID;
  std::unique_ptr<CSVDSStream> FStream;
  std::vector<CContentHandler*> FHandlers;
  long long FBlockSize = 0;
  long long FBlockCount = 0;
  long long FTotalSize = 0;
  long long FBlockIndex = 0;
  bool FCancel = false;
  COpenScan FOpenScan;
  long long FLastEnd = -1;

 private:
  void SetUp();
  void MainLoop();
  // Each returns true when the scan goes on with the next block rather than the next handler.
  bool AskHandler(CContentHandler* handler);
  // The rarely taken rest of AskHandler, kept out of the per-block loop.
  __attribute__((noinline)) bool ActOnRecognition(CContentHandler* handler, long long start,
                                                  long long end);
  void DeliverComplete(CContentHandler* handler, long long start, long long end);
  void SearchStart(CContentHandler* handler, long long end);
  bool EndOfScan();
  CEventHandler* Sink() const { return FEngine->FEventHandler; }
};

}  // namespace SV
