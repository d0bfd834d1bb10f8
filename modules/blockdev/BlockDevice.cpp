#include "modules/blockdev/BlockDevice.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "salvor/CPhotoRecovery.h"
#include "salvor/LogLevel.h"
#include "util/StringUtils.h"

namespace salvor {

namespace {

void CopyWide(const std::wstring& text, wchar_t* out) {
  std::wcsncpy(out, text.c_str(), 1023);
  out[1023] = L'\0';
}

std::string SizeText(long long bytes) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1000 && unit < 5) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace

CBlockDevice::CBlockDevice(CPhotoRecovery* engine, const DeviceInfo& info)
    : CDSBase(engine), FInfo(info) {
  FUniqueID = "blockdev:" + info.name;
  FBlockSize = info.blockSize;
  FBlockCount = info.blockSize > 0 ? info.size / info.blockSize : 0;
  Refresh();
  FEngine->DSAdded(this);
}

CBlockDevice::~CBlockDevice() {
  FEngine->DSDeleted(this);
  Close();
}

void CBlockDevice::Log(int level, const std::string& text) {
  FEngine->Log("blockdev", level, text.c_str());
}

void CBlockDevice::Close() {
  if (FFd >= 0) close(FFd);
  FFd = -1;
}

void CBlockDevice::GetOSPath(wchar_t* path) {
  CopyWide(toWideString(FInfo.devicePath), path);
}

bool CBlockDevice::GetDisplayName(wchar_t* name) {
  std::string model = FInfo.model.empty() ? "Disk" : FInfo.model;
  std::string text =
      FInfo.partition > 0 ? "Partition " + std::to_string(FInfo.partition) + " of " + model : model;
  text += " (" + FInfo.name + ", " + SizeText(FBlockCount * FBlockSize) +
          (FInfo.removable ? ", removable)" : ")");
  CopyWide(toWideString(text), name);
  return true;
}

void CBlockDevice::Refresh() {
  // A device that was unplugged has lost its sysfs folder; its old descriptor only fails.
  struct stat info {};
  if (stat(FInfo.sysfsPath.c_str(), &info) != 0 || stat(FInfo.devicePath.c_str(), &info) != 0) {
    if (FReady) Log(LogLevel::kError, "Device " + FInfo.devicePath + " is gone");
    Close();
    FReady = false;
    FLastIOError = errno != 0 ? errno : ENODEV;
    return;
  }
  if (FFd < 0 || FLastIOError != 0) {
    Close();
    FFd = open(FInfo.devicePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (FFd < 0) {
      FLastIOError = errno;
      FReady = false;
      Log(LogLevel::kError, "Cannot open " + FInfo.devicePath + ": " + std::strerror(FLastIOError));
      return;
    }
  }
  long long blockSize = FInfo.blockSize;
  long long size = FInfo.size;
  unsigned long long kernelSize = 0;
  int kernelBlockSize = 0;
  if (ioctl(FFd, BLKGETSIZE64, &kernelSize) == 0 && ioctl(FFd, BLKSSZGET, &kernelBlockSize) == 0) {
    size = static_cast<long long>(kernelSize);
    blockSize = kernelBlockSize;
  } else if (fstat(FFd, &info) == 0 && S_ISREG(info.st_mode)) {
    // Not a device node (a stand-in file): its length is the device's size.
    size = info.st_size;
  }
  if (blockSize <= 0) blockSize = 512;
  long long blockCount = size / blockSize;
  bool changed = blockSize != FBlockSize || blockCount != FBlockCount;
  FBlockSize = blockSize;
  FBlockCount = blockCount;
  FReady = true;
  FLastIOError = 0;
  if (changed) FEngine->DSChanged(this);
}

bool CBlockDevice::ReadBlocks(long long Index, long long Count, void* Buffer) {
  if (!FReady || FFd < 0 || Buffer == nullptr || Index < 0 || Count < 0 || Count > FBlockCount ||
      Index > FBlockCount - Count) {
    return false;
  }
  long long position = Index * FBlockSize;
  long long length = Count * FBlockSize;
  bool cancel = false;
  FEngine->DSSeek(this, position, cancel);
  if (cancel) return false;
  char* out = static_cast<char*>(Buffer);
  for (long long done = 0; done < length;) {
    ssize_t got = pread(FFd, out + done, static_cast<size_t>(length - done), position + done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      FLastIOError = got < 0 ? errno : EIO;
      Log(LogLevel::kError, "Read error on " + FInfo.devicePath + " at byte " +
                                std::to_string(position + done) + ": " +
                                std::strerror(FLastIOError));
      return false;
    }
    done += got;
  }
  FEngine->DSSeek(this, position + length, cancel);
  return !cancel;
}

bool CBlockDevice::WriteBlocks(long long, long long, void*) {
  Log(LogLevel::kError,
      "Refusing to write to " + FInfo.devicePath + ": salvor never writes to a source");
  return false;
}

bool CBlockDevice::AcquireReadLock() {
  ++FReaders;
  return true;
}

bool CBlockDevice::AcquireWriteLock() {
  Log(LogLevel::kError,
      "Refusing write access to " + FInfo.devicePath + ": salvor never writes to a source");
  return false;
}

void CBlockDevice::ReleaseReadLock() {
  if (FReaders > 0) --FReaders;
}

}  // namespace salvor
