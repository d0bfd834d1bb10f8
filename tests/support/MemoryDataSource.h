#pragma once

#include <cstdint>
#include <cwchar>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "plugin/DSBase.h"

namespace testing_support {

// A data source over memory with fault injection: chosen blocks fail (a ReadBlocks call that
// covers one fails), the drive can be lost, the read lock refused.
class MemoryDataSource : public CDSBase {
 public:
  MemoryDataSource(CPhotoRecovery* engine, const std::string& id, std::vector<uint8_t> bytes,
                   long long blockSize = 512);

  void GetOSPath(wchar_t* path) override { wcsncpy(path, L"memory", 1024); }
  long long GetBlockSize() override { return FBlockSize; }
  long long GetBlockCount() override {
    if (virtualBlockCount >= 0) return virtualBlockCount;
    return FBlockSize > 0 ? static_cast<long long>(FBytes.size()) / FBlockSize : 0;
  }
  bool IsFormatted() override { return false; }
  bool IsReady() override { return FReady; }
  void Refresh() override;
  int GetType() override { return 1; }
  bool GetIcon(void*& icon) override {
    icon = nullptr;
    return false;
  }
  bool GetDisplayName(wchar_t* name) override;
  int GetLastIOError() override { return FLastIOError; }
  bool ReadBlocks(long long Index, long long Count, void* Buffer) override;
  bool WriteBlocks(long long, long long, void*) override { return false; }
  bool AcquireReadLock() override { return !refuseLock; }
  bool AcquireWriteLock() override { return false; }
  void ReleaseReadLock() override { ++releaseCalls; }
  void ReleaseWriteLock() override {}

  std::vector<uint8_t>& Bytes() { return FBytes; }

  // Faults.
  std::set<long long> failingBlocks;  // any read covering one of these fails
  bool refuseLock = false;
  // After this many ReadBlocks calls (from 1), the next read sets an I/O error; when
  // `lostForGood` is set the drive is then not ready after Refresh.
  long long loseDriveAfterReads = -1;
  bool lostForGood = true;
  // Presents this many blocks instead of bytes.size() / blockSize (for huge sparse sources;
  // blocks beyond the bytes read as zeros).
  long long virtualBlockCount = -1;

  // Observations.
  std::vector<std::pair<long long, long long>> reads;  // (Index, Count) of every call
  int releaseCalls = 0;

 private:
  std::vector<uint8_t> FBytes;
  long long FBlockSize;
  bool FReady = true;
  int FLastIOError = 0;
  bool FLost = false;
};

}  // namespace testing_support
