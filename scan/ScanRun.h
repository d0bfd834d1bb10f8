#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "salvor/CDataSource.h"
#include "salvor/LogLevel.h"
#include "scan/OpenScan.h"
#include "engine/SVPhotoRecovery.h"

class CContentHandler;
class CDataStream;

namespace SV {

class CSVDSStream;

// The working state of one call of Scan: everything lives here and is gone when it returns.
// It reaches the engine only through the operations the engine offers a scan.
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

  // ScanProgress at the current block; when the sink asks to cancel, logs where and says true.
  bool Cancels(const char* where) {
    FEngine->ScanProgress(FBlockIndex, FBlockCount, FCancel);
    if (__builtin_expect(FCancel, 0)) LogCancel(where);
    return FCancel;
  }
  // After an I/O error, true when the source stays not ready (logged once as a lost drive).
  bool SourceLost() {
    if (__builtin_expect(FSource->GetLastIOError() == 0, 1)) return false;
    return !SourceBackAfterError();
  }
  bool SourceReady() { return FSource->IsReady(); }

  // The scan stream, for windows over it.
  CDataStream* Stream() const;
  long long BlockSize() const { return FBlockSize; }
  long long TotalSize() const { return FTotalSize; }
  // The current block's first byte.
  long long Position() const { return FBlockIndex * FBlockSize; }

  // Delivers [start, end) of the scan stream, or a file already cut from it.
  void Deliver(CContentHandler* handler, long long start, long long end);
  void Deliver(CContentHandler* handler, CDataStream* file);
  // The end of the file delivered last: start searches begin there.
  void SetLastEnd(long long end) { FLastEnd = end; }

 private:
  void Log(int level, const std::string& text);
  void LogCancel(const char* where);
  bool SourceBackAfterError();
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
};

}  // namespace SV
