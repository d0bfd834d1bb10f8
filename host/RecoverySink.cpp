#include "host/RecoverySink.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "salvor/CContentHandler.h"
#include "salvor/CDataStream.h"
#include "util/sha256/Sha256.h"
#include "host/Signals.h"
#include "SVSDK/StreamOrigin.h"

namespace salvor {

namespace {

// The progress call arrives for every block and handler; the clock is read only once in this
// many calls, which at any realistic speed is still far more often than the ten redraws a
// second that the terminal gets.
constexpr int kCallsBetweenTicks = 1024;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr size_t kCopyChunk = 1 << 20;
constexpr size_t kMaxKeptErrors = 64;

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

RecoverySink::RecoverySink(SinkSettings settings, DfxmlReport* report)
    : FSettings(std::move(settings)), FReport(report), FBuffer(kCopyChunk) {
  FStart = FLastDraw = std::chrono::steady_clock::now();
}

void RecoverySink::BeginScan(long long blockCount, long long blockSize) {
  FBlockCount = blockCount;
  FBlockSize = blockSize > 0 ? blockSize : 512;
  FStart = std::chrono::steady_clock::now();
  FLastDraw = FStart - kRedrawInterval;
  winsize size{};
  if (FSettings.showProgress && ioctl(FSettings.terminalFd, TIOCGWINSZ, &size) == 0 &&
      size.ws_col > 20) {
    FWidth = size.ws_col - 1;
  }
  if (FSettings.showProgress) Draw(0, blockCount);
}

void RecoverySink::EndProgress() {
  if (!FLineShown) return;
  static const char kErase[] = "\r\x1b[K";
  WriteAll(FSettings.terminalFd, kErase, sizeof kErase - 1);
  FLineShown = false;
}

double RecoverySink::ElapsedSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
}

long long RecoverySink::BytesScanned() const {
  long long block = FCompleted ? FBlockCount : FLastBlock;
  return FSource != nullptr ? std::min(block * FBlockSize, FSource->Bytes()) : block * FBlockSize;
}

bool RecoverySink::diskFull() const {
  return FOutputErrno == ENOSPC || FOutputErrno == EDQUOT || FOutputErrno == EFBIG;
}

std::vector<std::string> RecoverySink::TakeErrors() {
  std::vector<std::string> errors;
  errors.swap(FErrors);
  return errors;
}

void RecoverySink::Log(const char* source, int level, const char* text) {
  // The engine has already written the line to standard error (the log file during a scan).
  if (level < 4 || text == nullptr) return;
  if (std::strncmp(text, "Lost drive ", 11) == 0) {
    FLostSource = true;
  } else if (source != nullptr && std::strcmp(source, "SVC") != 0) {
    // Data sources report their failed reads under their own names.
    ++FReadErrors;
  }
  if (FErrors.size() < kMaxKeptErrors) FErrors.emplace_back(text);
}

void RecoverySink::ScanProgress(long long block, long long blockCount, bool& cancel) {
  if (FStop || (FSettings.interrupts != nullptr && *FSettings.interrupts != 0)) cancel = true;
  if (--FCountdown > 0) return;
  FCountdown = kCallsBetweenTicks;
  Tick(block, blockCount);
}

void RecoverySink::Tick(long long block, long long blockCount) {
  FLastBlock = block;
  if (!FSettings.showProgress) return;
  auto now = std::chrono::steady_clock::now();
  if (now - FLastDraw < kRedrawInterval) return;
  FLastDraw = now;
  Draw(block, blockCount);
}

void RecoverySink::Draw(long long block, long long blockCount) {
  std::string line = "\r" +
                     FormatProgressLine(block * FBlockSize, blockCount * FBlockSize,
                                        ElapsedSeconds(), FTallies, FWidth) +
                     "\x1b[K";
  WriteAll(FSettings.terminalFd, line.data(), line.size());
  FLineShown = true;
}

void RecoverySink::ScanCompleted(bool completed, bool cancelled, int) {
  FCompletedCalled = true;
  FCompleted = completed;
  FCancelled = cancelled;
  if (completed) FLastBlock = FBlockCount;
  if (FSettings.showProgress && completed) Draw(FBlockCount, FBlockCount);
}

void RecoverySink::FailOutput(int error, const std::string& path) {
  if (FOutputErrno == 0) {
    FOutputErrno = error;
    FOutputFailurePath = path;
  }
  // Stop at the next progress call: the scan then ends through its normal path.
  FStop = true;
}

bool RecoverySink::EnsureTypeFolder(const std::string& type) {
  if (FFolders.count(type) != 0) return true;
  std::string folder = FSettings.outputDir + "/" + type;
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    FailOutput(errno, folder);
    return false;
  }
  FFolders.insert(type);
  return true;
}

void RecoverySink::HashOnly(CDataStream* file, long long size, std::string& sha256,
                            long long& unreadable) {
  SV::CSha256 hash;
  for (long long done = 0; done < size;) {
    long long want = std::min<long long>(size - done, static_cast<long long>(FBuffer.size()));
    long long got = file->Read(want, FBuffer.data());
    if (got < want) unreadable += want - (got < 0 ? 0 : got);
    hash.Update(FBuffer.data(), static_cast<size_t>(want));
    done += want;
  }
  sha256 = hash.HexDigest();
}

bool RecoverySink::WriteFile(CDataStream* file, long long size, std::string& relative,
                             std::string& sha256, long long& unreadable) {
  // Never overwrite: a name already taken (two files at one offset) gets a counter.
  std::string path = FSettings.outputDir + "/" + relative;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  size_t dot = relative.rfind('.');
  for (int copy = 2; fd < 0 && errno == EEXIST && copy < 100; ++copy) {
    std::string candidate =
        relative.substr(0, dot) + "-" + std::to_string(copy) + relative.substr(dot);
    path = FSettings.outputDir + "/" + candidate;
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) relative = candidate;
  }
  if (fd < 0) {
    FailOutput(errno, path);
    return false;
  }
  SetFileInProgress(path.c_str());
  SV::CSha256 hash;
  bool ok = true;
  for (long long done = 0; done < size && ok;) {
    long long want = std::min<long long>(size - done, static_cast<long long>(FBuffer.size()));
    // Unreadable blocks arrive as zeros and a short count; the file keeps its length.
    long long got = file->Read(want, FBuffer.data());
    if (got < want) unreadable += want - (got < 0 ? 0 : got);
    hash.Update(FBuffer.data(), static_cast<size_t>(want));
    ok = WriteAll(fd, FBuffer.data(), static_cast<size_t>(want));
    done += want;
  }
  if (ok && close(fd) != 0) {
    ok = false;
  } else if (!ok) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  if (!ok) {
    // A partial file would pass for a recovered one; the report says where the output ended.
    FailOutput(errno, path);
    unlink(path.c_str());
  }
  ClearFileInProgress();
  if (!ok) return false;
  sha256 = hash.HexDigest();
  return true;
}

void RecoverySink::RenameDamaged(std::string& relative, long long offset, const std::string& type) {
  std::string base = type + "/" + RecoveredFileName(offset, true, type);
  size_t dot = base.rfind('.');
  struct stat info {};
  for (int copy = 1; copy < 100; ++copy) {
    std::string candidate =
        copy == 1 ? base : base.substr(0, dot) + "-" + std::to_string(copy) + base.substr(dot);
    std::string target = FSettings.outputDir + "/" + candidate;
    if (lstat(target.c_str(), &info) == 0) continue;
    if (rename((FSettings.outputDir + "/" + relative).c_str(), target.c_str()) == 0) {
      relative = candidate;
    }
    return;
  }
}

void RecoverySink::FileRecovered(CContentHandler* handler, CDataStream* file) {
  if (handler == nullptr || file == nullptr || FOutputErrno != 0) return;
  long long offset = SVStreamSourceOffset(file);
  long long size = file->GetSize();
  char described[64] = "";
  bool valid = handler->DescribeFile(file, described, sizeof described);
  // A file that runs into the zeros after the source's last bytes ends there, damaged.
  if (FSource != nullptr && size > FSource->Bytes() - offset) {
    size = FSource->Bytes() - offset;
    valid = false;
    if (size <= 0) return;
  }
  described[sizeof described - 1] = '\0';
  std::string type = ChooseExtension(described, handler->GetFileExtensions());
  if (!FSettings.filter.Accepts(type) || size < FSettings.minSize ||
      (FSettings.maxSize >= 0 && size > FSettings.maxSize)) {
    ++FSkipped;
    return;
  }

  ReportFile entry;
  entry.type = type;
  entry.handlerId = handler->GetUniqueID() != nullptr ? handler->GetUniqueID() : "";
  entry.offset = offset;
  entry.size = size;
  entry.damaged = !valid;
  entry.written = !FSettings.listOnly;
  std::string name = RecoveredFileName(offset, entry.damaged, type);
  entry.filename = type + "/" + name;

  file->SetPosition(0);
  if (FSettings.listOnly) {
    HashOnly(file, size, entry.sha256, entry.unreadableBytes);
  } else {
    if (!EnsureTypeFolder(type)) return;
    if (!WriteFile(file, size, entry.filename, entry.sha256, entry.unreadableBytes)) return;
  }
  // A block that failed before the delivery reads as zeros now, without a short count.
  if (FSource != nullptr) {
    entry.unreadableBytes = std::max(entry.unreadableBytes, FSource->UnreadableBytes(offset, size));
  }
  if (entry.unreadableBytes > 0 && !entry.damaged) {
    entry.damaged = true;
    if (!FSettings.listOnly) RenameDamaged(entry.filename, offset, type);
  }

  TypeTally& tally = FTallies[type];
  ++tally.files;
  tally.bytes += size;
  if (entry.damaged) ++tally.damaged;
  if (FReport != nullptr && FReport->IsOpen() && !FReport->AddFile(entry)) {
    FailOutput(errno != 0 ? errno : EIO, "report");
  }
}

}  // namespace salvor
