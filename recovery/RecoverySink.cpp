#include "recovery/RecoverySink.h"

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
#include "salvor/LogLevel.h"
#include "recovery/Spans.h"
#include "util/sha256/Sha256.h"
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
constexpr long long kMaxListedSkips = 10000;
// Damaged files kept for reassembly: beyond this (a hostile source) the rest stay as found.
constexpr size_t kMaxBrokenFiles = 100000;
// Names tried for one file before giving up: the name itself, then "-2" to "-99".
constexpr int kMaxCopies = 100;

// Writes until done or an error (errno); returns the bytes written.
size_t WriteAll(int fd, const char* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t written = write(fd, data + done, length - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(written);
  }
  return done;
}

// name with the copy number before its extension ("jpg/f01.jpg", 2 -> "jpg/f01-2.jpg"); copy
// 1 is the name itself.
std::string NumberedName(const std::string& name, int copy) {
  if (copy == 1) return name;
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
  return name.substr(0, dot) + "-" + std::to_string(copy) + extension;
}

}  // namespace

RecoverySink::RecoverySink(SinkSettings settings, DfxmlReport* report)
    : FSettings(std::move(settings)), FReport(report), FBuffer(kCopyChunk) {
  FStart = FLastDraw = std::chrono::steady_clock::now();
}

void RecoverySink::BeginScan(long long blockCount, long long blockSize, long long firstBlock) {
  FBlockCount = blockCount;
  FBlockSize = blockSize > 0 ? blockSize : 512;
  FFirstBlock = FLastBlock = firstBlock;
  FStart = FLastCheckpoint = std::chrono::steady_clock::now();
  FLastDraw = FStart - kRedrawInterval;
  winsize size{};
  if (FSettings.showProgress && ioctl(FSettings.terminalFd, TIOCGWINSZ, &size) == 0 &&
      size.ws_col > 20) {
    FWidth = size.ws_col - 1;
  }
  if (FSettings.showProgress) Draw(firstBlock, blockCount);
}

void RecoverySink::Resume(const std::vector<ReportFile>& files,
                          const std::vector<ReportFile>& skipped) {
  for (const ReportFile& file : files) {
    FAlreadyDelivered.emplace(file.offset, file.type);
    TypeTally& tally = FTallies[file.type];
    ++tally.files;
    tally.bytes += file.size;
    if (file.damaged) ++tally.damaged;
    if (file.damaged && FDamaged.size() < kMaxBrokenFiles) FDamaged.push_back(file);
  }
  for (const ReportFile& file : skipped) FAlreadyDelivered.emplace(file.offset, file.type);
  FSkipped = static_cast<long long>(skipped.size());
  FLookingAgain = true;
}

void RecoverySink::BeginArea(long long firstBlock, long long endBlock) {
  FFirstBlock = FLastBlock = firstBlock;
  FAreaEnd = endBlock;
  FOpenFileBlock = -1;
  FFinishingOpenFile = false;
}

void RecoverySink::BeginShard(long long firstBlock, long long endBlock) {
  BeginArea(firstBlock, -1);
  FStopAt = endBlock - firstBlock;
  FShardBegin = firstBlock * FBlockSize;
  FShardEnd = endBlock * FBlockSize;
}

void RecoverySink::BeginRescan(long long firstBlock, long long stopBlock) {
  FEnding = {FCompletedCalled, FCompleted, FCancelled};
  FLookingAgain = true;
  FRescan = true;
  FFirstBlock = firstBlock;
  FStopAt = stopBlock - firstBlock;
  FOpenFileBlock = -1;
  FFinishingOpenFile = false;
}

void RecoverySink::EndRescan() {
  FCompletedCalled = FEnding.called;
  FCompleted = FEnding.completed;
  FCancelled = FEnding.cancelled;
  FStopAt = kNever;
  FRescan = false;
}

long long RecoverySink::ResumeBlock() const {
  // The progress seen last, a little behind the scan: going back a little costs nothing, the
  // files found again are known.
  const long long current = FLastBlock;
  if (FOpenFileBlock >= 0) return std::min(FOpenFileBlock, current);
  // Not inside the file delivered last: the scan never looks there for a new start.
  return std::max(current, (FLastEnd + FBlockSize - 1) / FBlockSize);
}

void RecoverySink::ShowStep(const std::string& text) {
  if (!FSettings.showProgress) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - FLastDraw < kRedrawInterval) return;
  FLastDraw = now;
  const std::string line = "\r" + text.substr(0, FWidth) + "\x1b[K";
  WriteAll(FSettings.terminalFd, line.data(), line.size());
  FLineShown = true;
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

bool RecoverySink::DiskFull() const {
  return FOutputErrno == ENOSPC || FOutputErrno == EDQUOT || FOutputErrno == EFBIG;
}

bool RecoverySink::LostSource() const {
  return FCompletedCalled && !FCompleted && !FCancelled && FSource != nullptr && FSource->Gone();
}

std::vector<std::string> RecoverySink::TakeErrors() {
  std::vector<std::string> errors;
  errors.swap(FErrors);
  return errors;
}

void RecoverySink::Log(const char* source, int level, const char* text) {
  if (text == nullptr) return;
  // The engine has already written the line to standard error (the log file during a scan):
  // "[source] text".
  if (FSettings.logLimit > 0) {
    if (FLogBytes > FSettings.logLimit) {
      ++FLinesLeftOut;
    } else {
      FLogBytes += static_cast<long long>(std::strlen(text) + 4 +
                                          (source != nullptr ? std::strlen(source) : 0));
      if (FLogBytes > FSettings.logLimit && FSettings.logFull != nullptr) FSettings.logFull();
    }
  }
  if (level == LogLevel::kStep && source != nullptr && std::strcmp(source, "SVC") == 0)
    FollowScan(text);
  if (level < LogLevel::kError) return;
  if (FErrors.size() < kMaxKeptErrors) FErrors.emplace_back(text);
}

void RecoverySink::FollowScan(const char* text) {
  // The engine says when a file's start was found without its end (it is delivered later,
  // when the next file is found), and nothing else does: a checkpoint taken meanwhile must
  // send a resumed scan back to that start, or the file would be lost.
  static const char kRecognized[] = "Block ";
  static const char kOpened[] = " didn't report end of file - creating open scan";
  static const char kFinishing[] = "Finishing open scan at ";
  const size_t length = std::strlen(text);
  if (std::strncmp(text, kRecognized, sizeof kRecognized - 1) == 0) {
    FRecognizedBlock = std::atoll(text + sizeof kRecognized - 1) + FFirstBlock;
  } else if (length >= sizeof kOpened - 1 &&
             std::strcmp(text + length - (sizeof kOpened - 1), kOpened) == 0) {
    FOpenFileBlock = FRecognizedBlock;
  } else if (std::strncmp(text, kFinishing, sizeof kFinishing - 1) == 0) {
    FFinishingOpenFile = true;
  }
}

void RecoverySink::ScanProgress(long long block, long long blockCount, bool& cancel) {
  if (FStop || (FSettings.interrupts != nullptr && *FSettings.interrupts != 0)) cancel = true;
  if (--FCountdown > 0) return;
  FCountdown = kCallsBetweenTicks;
  // A second look ends a little past its run, with no file of it left open.
  if (block >= FStopAt && FOpenFileBlock < 0 && !FFinishingOpenFile) {
    cancel = true;
    FStoppedAtEnd = !FRescan;
  }
  Tick(block, blockCount);
}

void RecoverySink::Tick(long long block, long long blockCount) {
  FLastBlock = block + FFirstBlock;
  auto now = std::chrono::steady_clock::now();
  if (FCheckpoint && !FRescan &&
      std::chrono::duration<double>(now - FLastCheckpoint).count() >= FCheckpointSeconds) {
    FLastCheckpoint = now;
    FCheckpoint();
  }
  if (!FSettings.showProgress) return;
  if (now - FLastDraw < kRedrawInterval) return;
  FLastDraw = now;
  Draw(FLastBlock, FAreaEnd >= 0 ? FBlockCount : blockCount + FFirstBlock);
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
  FCompleted = completed || FStoppedAtEnd;
  FCancelled = cancelled && !FStoppedAtEnd;
  if (completed) FLastBlock = FAreaEnd >= 0 ? FAreaEnd : FBlockCount;
  if (FSettings.showProgress && completed) Draw(FLastBlock, FBlockCount);
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

long long RecoverySink::CopyOut(CDataStream* file, long long size, int fd, std::string& sha256,
                                long long& unreadable) {
  SV::CSha256 hash;
  long long done = 0;
  int failure = 0;
  while (done < size) {
    if (FSettings.interrupts != nullptr && *FSettings.interrupts >= 2) {
      failure = EINTR;
      break;
    }
    const long long want = std::min<long long>(size - done, static_cast<long long>(FBuffer.size()));
    const long long got = file->Read(want, FBuffer.data());
    if (got < want) unreadable += want - (got < 0 ? 0 : got);
    const size_t put = fd >= 0 ? WriteAll(fd, FBuffer.data(), static_cast<size_t>(want))
                               : static_cast<size_t>(want);
    hash.Update(FBuffer.data(), put);
    done += static_cast<long long>(put);
    if (put < static_cast<size_t>(want)) {
      failure = errno;
      break;
    }
  }
  sha256 = hash.HexDigest();
  errno = failure;
  return done;
}

bool RecoverySink::WriteFile(CDataStream* file, const std::string& temporary, ReportFile& entry) {
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    FailOutput(errno, FSettings.outputDir + "/" + entry.filename);
    return false;
  }
  if (FSettings.writing != nullptr) FSettings.writing(temporary.c_str());
  const long long written = CopyOut(file, entry.size, fd, entry.sha256, entry.unreadableBytes);
  int error = written < entry.size ? errno : 0;
  if (error == EFBIG && written > 0) {
    // Larger than the output file system allows (4 GiB on FAT32): keep what fits, damaged.
    error = ftruncate(fd, written) == 0 ? 0 : errno;
    entry.size = written;
    entry.damaged = true;
    ++FCutFiles;
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    // A second interrupt abandons the file; anything else stops the scan.
    if (error != EINTR) FailOutput(error, FSettings.outputDir + "/" + entry.filename);
  }
  if (FSettings.writing != nullptr) FSettings.writing(nullptr);
  return error == 0;
}

std::string RecoverySink::NameOf(const ReportFile& entry, const std::string& written) const {
  const std::string given = FNamer ? FNamer(entry, written) : std::string();
  return !given.empty() ? given : SectorName(entry);
}

std::string RecoverySink::SectorName(const ReportFile& entry) {
  return entry.type + "/" + RecoveredFileName(entry.offset, entry.damaged, entry.type);
}

namespace {

// Errors of the output as a whole, as against a name it cannot take.
bool OutputError(int error) {
  return error == ENOSPC || error == EDQUOT || error == EIO || error == EROFS || error == EACCES ||
         error == EPERM;
}

}  // namespace

int RecoverySink::MoveTo(const std::string& temporary, const std::string& base, ReportFile& entry) {
  // A given name may lie in folders of its own.
  for (size_t slash = base.find('/'); slash != std::string::npos;
       slash = base.find('/', slash + 1)) {
    const std::string folder = FSettings.outputDir + "/" + base.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  struct stat info {};
  for (int copy = 1; copy < kMaxCopies; ++copy) {
    const std::string candidate = NumberedName(base, copy);
    const std::string target = FSettings.outputDir + "/" + candidate;
    if (lstat(target.c_str(), &info) == 0) continue;
    if (rename(temporary.c_str(), target.c_str()) != 0) return errno;
    entry.filename = candidate;
    return 0;
  }
  return EEXIST;  // every name taken
}

void RecoverySink::Publish(const std::string& temporary, ReportFile& entry) {
  const std::string base = NameOf(entry, temporary);
  int error = MoveTo(temporary, base, entry);
  // A name the output file system will not take (a character FAT refuses, a path too long, a
  // folder that is a file) falls back to the sector name.
  if (error != 0 && !OutputError(error) && base != SectorName(entry))
    error = MoveTo(temporary, SectorName(entry), entry);
  if (error == 0) return;
  FailOutput(error, FSettings.outputDir + "/" + base);
  unlink(temporary.c_str());
}

bool RecoverySink::Describe(CContentHandler* handler, CDataStream* file, ReportFile& entry) {
  entry.offset = SVStreamSourceOffset(file) + FFirstBlock * FBlockSize;
  if (entry.offset >= FShardEnd) return false;  // the next shard's
  entry.size = file->GetSize();
  char described[64] = "";
  bool valid = handler->DescribeFile(file, described, sizeof described);
  // A file that runs into the zeros after the source's last bytes ends there, damaged.
  if (FSource != nullptr && entry.size > FSource->Bytes() - entry.offset) {
    entry.size = FSource->Bytes() - entry.offset;
    valid = false;
    if (entry.size <= 0) return false;
  }
  described[sizeof described - 1] = '\0';
  entry.type = ChooseExtension(described, handler->GetFileExtensions());
  const char* skip = !FSettings.filter.Accepts(entry.type)                      ? "type"
                     : entry.size < FSettings.minSize                           ? "min-size"
                     : FSettings.maxSize >= 0 && entry.size > FSettings.maxSize ? "max-size"
                     : !valid && WrittenBefore(entry.offset, entry.size) * 2 >= entry.size
                         ? "overlap"
                     : FLeaveOut ? FLeaveOut(entry)
                                 : nullptr;
  // Found before (by the scan this one resumes, or before a second look), and already on
  // disk and in the report. A scan on its own may deliver two files at one start.
  if (!FAlreadyDelivered.emplace(entry.offset, entry.type).second && FLookingAgain) return false;
  if (skip != nullptr) {
    // Listed up to a bound: a hostile source must not grow the report without end.
    if (FSkipped++ < kMaxListedSkips && FReport != nullptr && FReport->IsOpen())
      FReport->AddSkipped(entry, skip);
    return false;
  }
  entry.handlerId = handler->GetUniqueID() != nullptr ? handler->GetUniqueID() : "";
  entry.damaged = !valid;
  if (!valid) AddDamagedRange(entry.offset, entry.offset + entry.size);
  entry.written = !FSettings.listOnly;
  entry.filename = NameOf(entry);
  return true;
}

long long RecoverySink::WrittenBefore(long long offset, long long size) const {
  long long bytes = 0;
  auto it = FDamagedRanges.upper_bound(offset);
  if (it != FDamagedRanges.begin()) --it;
  for (; it != FDamagedRanges.end() && it->first < offset + size; ++it)
    bytes += std::max(0LL, std::min(offset + size, it->second) - std::max(offset, it->first));
  return bytes;
}

void RecoverySink::AddDamagedRange(long long begin, long long end) {
  auto it = FDamagedRanges.upper_bound(begin);
  if (it != FDamagedRanges.begin() && std::prev(it)->second >= begin) {
    --it;
    begin = it->first;
  }
  while (it != FDamagedRanges.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = FDamagedRanges.erase(it);
  }
  FDamagedRanges[begin] = end;
}

void RecoverySink::FileRecovered(CContentHandler* handler, CDataStream* file) {
  if (FFinishingOpenFile) FOpenFileBlock = -1;
  FFinishingOpenFile = false;
  if (handler == nullptr || file == nullptr || FOutputErrno != 0) return;
  FLastEnd =
      std::max(FLastEnd, SVStreamSourceOffset(file) + file->GetSize() + FFirstBlock * FBlockSize);
  ReportFile entry;
  if (!Describe(handler, file, entry)) return;
  file->SetPosition(0);
  // Written under a hidden name and named once complete: however the run stops, no
  // half-written file is left under a recovered file's name.
  const std::string temporary = FSettings.outputDir + "/" + entry.type + "/." +
                                RecoveredFileName(entry.offset, false, entry.type) + ".part";
  if (FSettings.listOnly) {
    CopyOut(file, entry.size, -1, entry.sha256, entry.unreadableBytes);
  } else if (!EnsureTypeFolder(entry.type) || !WriteFile(file, temporary, entry)) {
    return;
  }
  // A block that failed before the delivery reads as zeros now, without a short count.
  if (FSource != nullptr) {
    long long missing = 0;
    for (ByteRange& range :
         FSource->BadAreas().MissingRanges(entry.offset, entry.size, FSource->BlockSize())) {
      missing += range.length;
      entry.missing.push_back({range.offset, range.length, std::move(range.error)});
    }
    entry.unreadableBytes = std::max(entry.unreadableBytes, missing);
  }
  Validation validation;
  if (entry.unreadableBytes > 0) {
    entry.damaged = true;
  } else {
    validation = Validate(file, temporary, entry);
  }
  if (FSettings.listOnly) {
    entry.filename = NameOf(entry);
  } else {
    Publish(temporary, entry);
    if (FOutputErrno != 0) return;
  }
  Count(entry);
  if (entry.damaged && FDamaged.size() < kMaxBrokenFiles) FDamaged.push_back(entry);
  // A file kept cut at the output's size limit is whole on the source: nothing to look for.
  if (entry.size == file->GetSize()) Remember(entry, validation);
}

void RecoverySink::Remember(const ReportFile& entry, const Validation& validation) {
  if (validation.verdict == Verdict::kDamaged) {
    FClaimed.Add(entry.offset, entry.offset + validation.goodUntil);
    if (FBroken.size() < kMaxBrokenFiles)
      FBroken.push_back({entry, validation.goodUntil, validation.damagedAt});
  } else if (!entry.damaged) {
    FClaimed.Add(entry.offset, entry.offset + entry.size);
    if (FindRebuildValidator(entry.type) != FindValidator(entry.type) &&
        FUndecoded.size() < kMaxBrokenFiles)
      FUndecoded.push_back(entry);
  }
}

bool RecoverySink::Demote(const ReportFile& intact, const Validation& validation) {
  if (FOutputErrno != 0 || validation.verdict != Verdict::kDamaged) return false;
  ReportFile entry = intact;
  entry.damaged = true;
  entry.damagedAt = validation.damagedAt;
  entry.damageReason = validation.reason;
  entry.replaces = intact.written ? intact.filename : std::string();
  if (FSettings.listOnly) {
    entry.filename = NameOf(entry);
  } else {
    Publish(FSettings.outputDir + "/" + intact.filename, entry);
    if (FOutputErrno != 0) return false;
  }
  // Past its break the bytes may be another file's, or the rest of this one.
  FClaimed.Remove(entry.offset + validation.goodUntil, entry.offset + entry.size);
  if (FBroken.size() < kMaxBrokenFiles)
    FBroken.push_back({entry, validation.goodUntil, validation.damagedAt});
  if (FDamaged.size() < kMaxBrokenFiles) FDamaged.push_back(entry);
  ++FTallies[entry.type].damaged;
  return Report(entry);
}

Validation RecoverySink::Validate(CDataStream* file, const std::string& temporary,
                                  ReportFile& entry) {
  const ValidateFunction validate = FindValidator(entry.type);
  if (validate == nullptr) return {};
  Validation validation;
  if (FSettings.listOnly) {
    StreamSpan span(file);
    validation = validate(span);
  } else {
    FileSpan span(temporary, entry.size);
    if (!span.IsOpen()) return {};
    validation = validate(span);
  }
  if (validation.verdict == Verdict::kDamaged) {
    entry.damaged = true;
    entry.damagedAt = validation.damagedAt;
    entry.damageReason = validation.reason;
  }
  return validation;
}

bool RecoverySink::WritePieces(ReportFile& entry, ByteSpan& source,
                               const std::vector<Piece>& pieces, long long size) {
  if (FOutputErrno != 0) return false;
  entry.size = size;
  entry.damaged = false;
  entry.damagedAt = -1;
  entry.damageReason.clear();
  // Pieces touching unreadable blocks are refused below: what made the old file so is gone.
  entry.unreadableBytes = 0;
  entry.missing.clear();
  entry.pieces.clear();
  for (const Piece& piece : pieces) {
    if (FSource != nullptr && FSource->UnreadableBytes(piece.offset, piece.length) > 0)
      return false;
    entry.pieces.push_back({piece.offset, piece.length, {}});
  }
  JoinedSpan joined(source, pieces, size);
  SpanStream stream(joined);
  const std::string temporary = FSettings.outputDir + "/" + entry.type + "/." +
                                RecoveredFileName(entry.offset, false, entry.type) + ".part";
  if (FSettings.listOnly) {
    CopyOut(&stream, entry.size, -1, entry.sha256, entry.unreadableBytes);
    entry.filename = NameOf(entry);
  } else {
    const long long cutBefore = FCutFiles;
    if (!EnsureTypeFolder(entry.type) || !WriteFile(&stream, temporary, entry)) return false;
    if (FCutFiles != cutBefore) {
      // Too large for the output file system: the damaged file already there stays.
      --FCutFiles;
      unlink(temporary.c_str());
      return false;
    }
    Publish(temporary, entry);
    if (FOutputErrno != 0) return false;
    if (!entry.replaces.empty()) unlink((FSettings.outputDir + "/" + entry.replaces).c_str());
  }
  for (const Piece& piece : pieces) FClaimed.Add(piece.offset, piece.offset + piece.length);
  return true;
}

bool RecoverySink::DeliverRebuilt(const BrokenFile& broken, ByteSpan& source,
                                  const std::vector<Piece>& pieces, long long size) {
  ReportFile entry = broken.entry;
  entry.replaces = broken.entry.written ? broken.entry.filename : std::string();
  if (!WritePieces(entry, source, pieces, size)) return false;
  TypeTally& tally = FTallies[entry.type];
  tally.bytes += entry.size - broken.entry.size;
  if (tally.damaged > 0) --tally.damaged;
  ++tally.rebuilt;
  FMadeWhole.emplace(entry.offset, entry.type);
  return Report(entry);
}

bool RecoverySink::DeliveredAt(long long offset) const {
  const auto found = FAlreadyDelivered.lower_bound({offset, std::string()});
  return found != FAlreadyDelivered.end() && found->first == offset;
}

bool RecoverySink::DeliverWhole(ReportFile entry, ByteSpan& source,
                                const std::vector<Piece>& pieces, long long size) {
  entry.size = size;
  if (!FSettings.filter.Accepts(entry.type) || size < FSettings.minSize ||
      (FSettings.maxSize >= 0 && size > FSettings.maxSize) || entry.offset < FShardBegin ||
      entry.offset >= FShardEnd || (FLeaveOut && FLeaveOut(entry) != nullptr) ||
      DeliveredAt(entry.offset))
    return false;
  entry.written = !FSettings.listOnly;
  entry.replaces.clear();
  if (!WritePieces(entry, source, pieces, size)) return false;
  FAlreadyDelivered.emplace(entry.offset, entry.type);
  ++FTallies[entry.type].rebuilt;
  Count(entry);
  return !OutputFailed();
}

std::vector<RecoverySink::BrokenFile> RecoverySink::Broken() const {
  std::vector<BrokenFile> broken;
  for (const BrokenFile& file : FBroken)
    if (FMadeWhole.count({file.entry.offset, file.entry.type}) == 0) broken.push_back(file);
  return broken;
}

void RecoverySink::Count(const ReportFile& entry) {
  TypeTally& tally = FTallies[entry.type];
  ++tally.files;
  tally.bytes += entry.size;
  if (entry.damaged) ++tally.damaged;
  Report(entry);
}

bool RecoverySink::Report(ReportFile entry) {
  if (FReport == nullptr || !FReport->IsOpen()) return true;
  if (FOrigin) FOrigin(entry);
  if (FReport->AddFile(entry)) {
    if (FReported) FReported(entry);
    return true;
  }
  FailOutput(errno != 0 ? errno : EIO, "report");
  return false;
}

}  // namespace salvor
