#pragma once

#include <string>

#include "plugin/DSBase.h"

namespace salvor {

// What sysfs tells about one disk or partition.
struct DeviceInfo {
  std::string name;        // kernel name: "sdb", "mmcblk0p1"
  std::string sysfsPath;   // its folder under the sysfs root
  std::string devicePath;  // its node under the /dev root
  std::string model;       // vendor and model of the disk (of the parent disk for a partition)
  long long size = 0;      // bytes
  long long blockSize = 512;
  int partition = 0;  // partition number, 0 for a whole disk
  bool removable = false;
};

// One disk or partition, opened read-only and read with pread. Registers itself with the
// engine when built and unregisters when destroyed. Never writes.
class CBlockDevice : public CDSBase {
 public:
  CBlockDevice(CPhotoRecovery* engine, const DeviceInfo& info);
  ~CBlockDevice() override;
  CBlockDevice(const CBlockDevice&) = delete;
  CBlockDevice& operator=(const CBlockDevice&) = delete;

  const DeviceInfo& Info() const { return FInfo; }

  void GetOSPath(wchar_t* path) override;
  long long GetBlockSize() override { return FBlockSize; }
  long long GetBlockCount() override { return FBlockCount; }
  bool IsFormatted() override { return false; }
  // Asked after every block of a scan: only a flag, kept up to date by Refresh and reads.
  bool IsReady() override { return FReady; }
  void Refresh() override;
  int GetType() override { return FInfo.partition > 0 ? 2 : 1; }
  bool GetIcon(void*& icon) override {
    icon = nullptr;
    return false;
  }
  bool GetDisplayName(wchar_t* name) override;
  int GetLastIOError() override { return FLastIOError; }
  bool ReadBlocks(long long Index, long long Count, void* Buffer) override;
  bool WriteBlocks(long long Index, long long Count, void* Buffer) override;
  bool AcquireReadLock() override;
  bool AcquireWriteLock() override;
  void ReleaseReadLock() override;
  void ReleaseWriteLock() override {}

 private:
  void Log(int level, const std::string& text);
  void Close();

  DeviceInfo FInfo;
  int FFd = -1;
  long long FBlockSize = 0;
  long long FBlockCount = 0;
  bool FReady = false;
  int FLastIOError = 0;
  int FReaders = 0;
};

}  // namespace salvor
