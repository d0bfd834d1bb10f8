#pragma once

#include <chrono>
#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "salvor/CEventHandler.h"
#include "host/DfxmlReport.h"
#include "host/Naming.h"
#include "host/Progress.h"
#include "host/ScannedSource.h"

namespace salvor {

struct SinkSettings {
  std::string outputDir;  // absolute; type folders are made inside it
  bool listOnly = false;
  bool showProgress = false;  // redraw a progress line on terminalFd
  int terminalFd = 2;
  TypeFilter filter{{}, {}};
  long long minSize = 0;
  long long maxSize = -1;
  // Raised by the SIGINT handler; read on every progress call.
  const volatile std::sig_atomic_t* interrupts = nullptr;
};

// The engine's event sink for one scan: writes each recovered file into its type folder while
// the scan runs, reports it, counts it, and shows progress.
class RecoverySink : public CEventHandler {
 public:
  RecoverySink(SinkSettings settings, DfxmlReport* report);

  // The source being scanned: files touching a block it could not read are marked damaged,
  // and files are cut at its end (the zeros that fill out its last block are not its own).
  void WatchSource(const CScannedSource* source) { FSource = source; }
  // Called before Scan with the source's geometry; starts the clock.
  void BeginScan(long long blockCount, long long blockSize);
  // Erases the progress line so that the summary starts on a clean line.
  void EndProgress();

  void Log(const char* source, int level, const char* text) override;
  void DSAdded(CDataSource*) override {}
  void DSDeleted(CDataSource*) override {}
  void DSChanged(CDataSource*) override {}
  void CHAdded(CContentHandler*) override {}
  void CHDeleted(CContentHandler*) override {}
  void CHChanged(CContentHandler*) override {}
  void DSSeek(CDataSource*, long long, bool&) override {}
  void DSAccess(CDataSource*, long long, bool&) override {}
  void ScanProgress(long long block, long long blockCount, bool& cancel) override;
  void ScanCompleted(bool completed, bool cancelled, int reserved) override;
  void FileRecovered(CContentHandler* handler, CDataStream* file) override;

  const Tallies& tallies() const { return FTallies; }
  double ElapsedSeconds() const;
  long long BytesScanned() const;
  long long skippedFiles() const { return FSkipped; }
  bool scanCompletedCalled() const { return FCompletedCalled; }
  bool completed() const { return FCompleted; }
  bool cancelled() const { return FCancelled; }
  bool lostSource() const { return FLostSource; }
  long long readErrors() const { return FReadErrors; }
  // The output could not be written: disk full (ENOSPC, EDQUOT, EFBIG) or another error.
  bool outputFailed() const { return FOutputErrno != 0; }
  bool diskFull() const;
  int outputErrno() const { return FOutputErrno; }
  const std::string& outputFailurePath() const { return FOutputFailurePath; }
  // Level-4 lines logged since the last call (bounded), for reporting load failures.
  std::vector<std::string> TakeErrors();

 private:
  void Tick(long long block, long long blockCount);
  void Draw(long long block, long long blockCount);
  // Copies file to relative (inside the output folder; never overwritten: a taken name gets
  // "-2", "-3"... and relative is updated); hashes it on the way.
  bool WriteFile(CDataStream* file, long long size, std::string& relative, std::string& sha256,
                 long long& unreadable);
  void HashOnly(CDataStream* file, long long size, std::string& sha256, long long& unreadable);
  bool EnsureTypeFolder(const std::string& type);
  // Renames a written file to the damaged form of its name (never over another file).
  void RenameDamaged(std::string& relative, long long offset, const std::string& type);
  void FailOutput(int error, const std::string& path);

  SinkSettings FSettings;
  DfxmlReport* FReport;
  const CScannedSource* FSource = nullptr;
  std::vector<char> FBuffer;
  std::set<std::string> FFolders;
  Tallies FTallies;
  std::vector<std::string> FErrors;

  bool FStop = false;
  int FCountdown = 1;
  long long FBlockSize = 512;
  long long FBlockCount = 0;
  long long FLastBlock = 0;
  size_t FWidth = 80;
  bool FLineShown = false;
  std::chrono::steady_clock::time_point FStart;
  std::chrono::steady_clock::time_point FLastDraw;

  long long FSkipped = 0;
  bool FCompletedCalled = false;
  bool FCompleted = false;
  bool FCancelled = false;
  bool FLostSource = false;
  long long FReadErrors = 0;
  int FOutputErrno = 0;
  std::string FOutputFailurePath;
};

}  // namespace salvor
