// A data-source module that stands in for a failing disk: it offers one source for the block
// device named in SALVOR_FAULT_DEVICE (so that `salvor scan DEVICE --modules ...` picks it) and
// serves the bytes of SALVOR_FAULT_IMAGE (read as they are asked for) with the faults the other
// variables ask for:
//   SALVOR_FAULT_BAD_BLOCKS    comma-separated blocks ("7") or runs of blocks ("100-163") that
//                              never read
//   SALVOR_FAULT_DEAD_FROM     the block from which nothing reads (a card dying halfway)
//   SALVOR_FAULT_TRANSIENT     the read (counted from 1) that fails once; the disk comes back
//   SALVOR_FAULT_VANISH_AFTER  reads after which the disk is gone for good
//   SALVOR_FAULT_REFUSE_LOCK   any value: the read lock is refused
//   SALVOR_FAULT_READ_MS       milliseconds each read takes (a slow disk)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "salvor/CDataSourceModule.h"
#include "salvor/CPhotoRecovery.h"
#include "tests/support/MemoryDataSource.h"
#include "util/StringUtils.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class CFaultyDisk : public testing_support::MemoryDataSource {
 public:
  CFaultyDisk(CPhotoRecovery* engine, const std::string& device, const std::string& image)
      : MemoryDataSource(engine, "faultydisk:" + device, {}),
        FEngine(engine),
        FDevice(device),
        FImage(open(image.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat info {};
    virtualBlockCount = FImage >= 0 && fstat(FImage, &info) == 0 ? info.st_size / 512 : 0;
  }
  ~CFaultyDisk() override {
    if (FImage >= 0) close(FImage);
  }

  void GetOSPath(wchar_t* path) override {
    std::wstring wide = toWideString(FDevice);
    std::wcsncpy(path, wide.c_str(), 1023);
    path[1023] = L'\0';
  }
  int GetLastIOError() override { return FTransientError || FFailed ? 5 : 0; }
  void Refresh() override {
    FTransientError = false;
    MemoryDataSource::Refresh();
  }
  bool ReadBlocks(long long Index, long long Count, void* Buffer) override {
    if (static_cast<long long>(reads.size()) + 1 == transientRead) {
      reads.emplace_back(Index, Count);
      FTransientError = true;
      return false;
    }
    if (readMs > 0) usleep(static_cast<useconds_t>(readMs * 1000));
    auto bad = badRuns.upper_bound(Index + Count - 1);
    FFailed = (bad != badRuns.begin() && std::prev(bad)->second >= Index) ||
              !MemoryDataSource::ReadBlocks(Index, Count, Buffer) ||
              pread(FImage, Buffer, static_cast<size_t>(Count * 512), Index * 512) != Count * 512;
    FFailedReads += FFailed ? 1 : 0;
    ++FReads;
    return !FFailed;
  }
  // The log says how often the disk was read and failed: a failing disk must not be worn
  // down by reading its bad areas again and again.
  void ReleaseReadLock() override {
    FEngine->Log(
        "test.faultydisk", 1,
        ("reads " + std::to_string(FReads) + ", failed " + std::to_string(FFailedReads)).c_str());
    MemoryDataSource::ReleaseReadLock();
  }

  long long transientRead = 0;             // 0: none
  std::map<long long, long long> badRuns;  // first block -> last block
  long long readMs = 0;

 private:
  CPhotoRecovery* FEngine;
  std::string FDevice;
  int FImage;
  bool FTransientError = false;
  bool FFailed = false;
  long long FReads = 0;
  long long FFailedReads = 0;
};

class CFaultyModule : public CDataSourceModule {
 public:
  const char* GetUniqueID() override { return "test.faultydisk"; }
  bool IsEnabled() override { return true; }
  void ScanSources(CPhotoRecovery* engine, int) override {
    if (!FDisk) {
      FDisk = std::make_unique<CFaultyDisk>(engine, Env("SALVOR_FAULT_DEVICE"),
                                            Env("SALVOR_FAULT_IMAGE"));
      std::stringstream bad(Env("SALVOR_FAULT_BAD_BLOCKS"));
      for (std::string run; std::getline(bad, run, ',');) {
        const long long first = std::atoll(run.c_str());
        const size_t dash = run.find('-');
        FDisk->badRuns[first] = dash == std::string::npos ? first : std::atoll(&run[dash + 1]);
      }
      FDisk->transientRead = std::atoll(Env("SALVOR_FAULT_TRANSIENT").c_str());
      FDisk->readMs = std::atoll(Env("SALVOR_FAULT_READ_MS").c_str());
      if (!Env("SALVOR_FAULT_DEAD_FROM").empty())
        FDisk->badRuns[std::atoll(Env("SALVOR_FAULT_DEAD_FROM").c_str())] = LLONG_MAX;
      if (!Env("SALVOR_FAULT_VANISH_AFTER").empty())
        FDisk->loseDriveAfterReads = std::atoll(Env("SALVOR_FAULT_VANISH_AFTER").c_str());
      FDisk->refuseLock = !Env("SALVOR_FAULT_REFUSE_LOCK").empty();
    }
    engine->DSAdded(FDisk.get());
  }

 private:
  std::unique_ptr<CFaultyDisk> FDisk;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) CDataSourceModule* GetDSInstance(
    CPhotoRecovery*) {
  static CFaultyModule module;
  return &module;
}
