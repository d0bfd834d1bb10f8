#include "host/App.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "salvor/CPhotoRecovery.h"
#include "report/DfxmlReport.h"
#include "host/ExitStatus.h"
#include "filesystems/FileSystems.h"
#include "filesystems/Origins.h"
#include "filesystems/NtfsRecords.h"
#include "filesystems/OrphanFolders.h"
#include "filesystems/RunLists.h"
#include "shards/Merge.h"
#include "shards/Parallel.h"
#include "gallery/Gallery.h"
#include "host/Modules.h"
#include "host/Paths.h"
#include "recovery/Naming.h"
#include "recovery/RecoverySink.h"
#include "host/Signals.h"
#include "recovery/Checkpoint.h"
#include "recovery/ScannedSource.h"
#include "recovery/Fragments.h"
#include "recovery/SecondLook.h"
#include "util/StringUtils.h"

#ifndef SALVOR_VERSION
#define SALVOR_VERSION "0.0.0"
#endif

namespace salvor {

namespace {

// The engine's lines of one scan take at most this much of salvor.log.
constexpr long long kScanLogLimit = 512 << 10;
// Failed reads allowed when the skipped areas are read again at the end (at most four a run).
constexpr long long kRetryFailures = 4096;
// A checkpoint is written this often while scanning.
constexpr double kCheckpointSeconds = 5;
// Bad areas named one by one in the log (the report lists up to 10,000).
constexpr size_t kLoggedBadAreas = 100;

// The log while the engine's lines are left out (see LeaveOutLogLines), or -1.
int gFullLog = -1;

// Writes text to fd; salvor's own lines for the log (fd 2) reach it even while the engine's
// are left out.
void Print(int fd, const std::string& text) {
  if (fd == 2 && gFullLog >= 0) fd = gFullLog;
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

// Sends standard error (where the engine writes its log) to a file or /dev/null while alive,
// keeping the terminal reachable through TerminalFd().
class StderrRedirect {
 public:
  explicit StderrRedirect(int target) {
    std::fflush(stderr);
    FSaved = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (FSaved >= 0 && target >= 0) dup2(target, 2);
  }
  ~StderrRedirect() {
    std::fflush(stderr);
    if (FSaved >= 0) {
      dup2(FSaved, 2);
      close(FSaved);
    }
  }
  StderrRedirect(const StderrRedirect&) = delete;
  StderrRedirect& operator=(const StderrRedirect&) = delete;
  int TerminalFd() const { return FSaved >= 0 ? FSaved : 2; }

 private:
  int FSaved = -1;
};

int Fail(int fd, int status, const std::string& message) {
  Print(fd, "salvor: " + message + "\n");
  return status;
}

// Leaves the engine's further lines out of the log: it has reached its limit.
void LeaveOutLogLines() {
  std::fflush(stderr);
  gFullLog = dup(2);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (gFullLog < 0 || null < 0 || dup2(null, 2) < 0) return;
  close(null);
  Print(gFullLog,
        "salvor: the log has reached its limit: further lines of the scan are left out\n");
}

void WriteLogLinesAgain() {
  if (gFullLog < 0) return;
  std::fflush(stderr);
  dup2(gFullLog, 2);
  close(gFullLog);
  gFullLog = -1;
}

std::string OsPath(CDataSource* source) {
  wchar_t path[1024] = L"";
  source->GetOSPath(path);
  path[1023] = L'\0';
  return toUtf8String(path);
}

std::string DisplayName(CDataSource* source) {
  wchar_t name[1024] = L"";
  source->GetDisplayName(name);
  name[1023] = L'\0';
  return toUtf8String(name);
}

std::string Join(const std::set<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

bool HandlerProduces(CContentHandler* handler, const std::string& type) {
  TypeFilter only({CanonicalType(type)}, {});
  return only.WantsHandler(handler->GetFileExtensions());
}

// The data source a data-source module offers for the device node at path.
CDataSource* FindDeviceSource(CPhotoRecovery* engine, dev_t device) {
  for (int i = 0; i < engine->GetDataSourceCount(); ++i) {
    CDataSource* source = engine->GetDataSource(i);
    if (source == nullptr) continue;
    struct stat info {};
    if (stat(OsPath(source).c_str(), &info) == 0 && S_ISBLK(info.st_mode) &&
        info.st_rdev == device) {
      return source;
    }
  }
  return nullptr;
}

// The `length` bytes of an image file from `offset`: the part of its last block that the file
// source leaves out. False with errno when they cannot be read.
bool ReadImageTail(const std::string& path, long long offset, size_t length,
                   std::vector<uint8_t>& tail) {
  tail.assign(length, 0);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = pread(fd, tail.data(), length, offset);
  const int error = got < 0 ? errno : EIO;
  close(fd);
  if (got == static_cast<ssize_t>(length)) return true;
  tail.clear();
  errno = error;
  return false;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// The files of a segmented or split image source, as many as its module lists; `more` gets
// how many it left out.
std::vector<std::string> Segments(CDataSource* source, long long* more = nullptr) {
  std::vector<std::string> segments = Lines(StrProperty(source, "Segments"));
  if (!segments.empty() && segments.back().front() == '(') {
    if (more != nullptr) *more = std::atoll(segments.back().c_str() + 1);
    segments.pop_back();
  }
  return segments;
}

std::string CommandLine(int argc, char** argv) {
  std::string text;
  for (int i = 0; i < argc; ++i) text += (i == 0 ? "" : " ") + std::string(argv[i]);
  return text;
}

// Absolute from the start: loading a module changes the current directory.
struct ScanPaths {
  std::string source;  // links resolved
  std::string outputDir;
  std::string reportPath;
  std::string moduleDir;
  std::string logPath;
};

std::string ModuleFolder(const Options& options) {
  return options.moduleDir.empty() ? DefaultModuleFolder() : AbsolutePath(options.moduleDir);
}

ScanPaths ResolvePaths(const Options& options) {
  ScanPaths paths;
  char resolved[PATH_MAX];
  paths.source = realpath(options.source.c_str(), resolved) != nullptr
                     ? std::string(resolved)
                     : AbsolutePath(options.source);
  paths.outputDir = AbsolutePath(options.outputDir);
  paths.reportPath = options.reportPath.empty() ? paths.outputDir + "/report.xml"
                                                : AbsolutePath(options.reportPath);
  paths.moduleDir = ModuleFolder(options);
  paths.logPath = paths.outputDir + "/salvor.log";
  return paths;
}

// The source: refuse early and plainly what cannot be scanned. kExitOk when it may be.
int CheckSource(const Options& options, const ScanPaths& paths, struct stat& info) {
  const std::string cannotOpen = "cannot open '" + options.source + "': ";
  if (stat(paths.source.c_str(), &info) != 0) {
    return Fail(2, kExitSource, cannotOpen + strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) return Fail(2, kExitSource, cannotOpen + strerror(EISDIR));
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    return Fail(2, kExitSource, cannotOpen + "not an image file or a block device");
  }
  return kExitOk;
}

// The output folder: new or empty, never on the device being scanned.
int CheckOutputFolder(const Options& options, const ScanPaths& paths, const struct stat& source) {
  if (options.resume) {
    // The folder of the interrupted scan, with its checkpoint (or its workers' folders, when
    // it was stopped before it could merge them); the rest is checked once the source and the
    // modules are known.
    if (WorkersOfInterruptedScan(paths.outputDir) > 0) return kExitOk;
    Checkpoint checkpoint;
    std::string reason;
    if (!ReadCheckpoint(paths.outputDir, checkpoint, reason)) {
      return Fail(2, kExitUsage, "cannot resume: " + reason);
    }
    if (checkpoint.complete) {
      return Fail(2, kExitUsage,
                  "cannot resume: the scan in '" + options.outputDir + "' is complete");
    }
    return kExitOk;
  }
  bool empty = true;
  if (!FolderIsEmptyOrMissing(paths.outputDir, empty)) {
    return Fail(2, kExitOutput,
                "cannot use output folder '" + options.outputDir + "': " + strerror(errno));
  }
  if (!empty) {
    return Fail(2, kExitOutput,
                "output folder '" + options.outputDir +
                    "' is not empty: choose a new folder so that recoveries never mix");
  }
  struct stat existing {};
  if (!options.reportPath.empty() && lstat(paths.reportPath.c_str(), &existing) == 0) {
    return Fail(2, kExitOutput,
                "report '" + options.reportPath + "' already exists: choose a new name");
  }
  for (const std::string& target : {paths.outputDir, paths.reportPath}) {
    dev_t fsDevice = 0;
    if (FileSystemDevice(target, fsDevice) &&
        (S_ISBLK(source.st_mode) ? DeviceHoldsFileSystem(source.st_rdev, fsDevice, "/sys")
                                 : ImageHoldsFileSystem(source, fsDevice, "/sys"))) {
      return Fail(2, kExitOutput,
                  "'" + target + "' is " +
                      (S_ISBLK(source.st_mode) ? "on the device" : "inside the image") +
                      " being scanned (" + options.source +
                      "): writing there would overwrite what is being recovered; "
                      "choose a folder on another disk");
    }
  }
  return kExitOk;
}

// Only now touch the source itself: an unreadable one is refused before anything is made.
int ProbeSource(const Options& options, const ScanPaths& paths, bool isDevice) {
  int fd = open(paths.source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int code = errno;
    return Fail(2, kExitSource,
                "cannot open '" + options.source + "': " + strerror(code) +
                    (isDevice && geteuid() != 0 && (code == EACCES || code == EPERM)
                         ? " (reading a disk needs root: try sudo)"
                         : ""));
  }
  char probe[512];
  bool readable = pread(fd, probe, sizeof probe, 0) >= 0;
  int readError = errno;
  close(fd);
  if (!readable) {
    return Fail(2, kExitSource, "cannot read '" + options.source + "': " + strerror(readError));
  }
  return kExitOk;
}

// Creates the output folder and salvor.log, moves the log held so far into it and sends the
// rest of the engine's log there.
int MakeOutputFolder(const Options& options, const ScanPaths& paths, int heldLog, int terminal) {
  if (!MakeFolders(paths.outputDir)) {
    return Fail(terminal, kExitOutput,
                "cannot create output folder '" + options.outputDir + "': " + strerror(errno));
  }
  const int logFd =
      open(paths.logPath.c_str(),
           O_WRONLY | O_CREAT | (options.resume ? 0 : O_EXCL) | O_APPEND | O_CLOEXEC, 0644);
  if (logFd < 0) {
    return Fail(terminal, kExitOutput,
                "cannot write to output folder '" + options.outputDir + "': " + strerror(errno));
  }
  std::fflush(stderr);
  char buffer[8192];
  ssize_t got = 0;
  for (off_t at = 0; (got = pread(heldLog, buffer, sizeof buffer, at)) > 0; at += got)
    Print(logFd, std::string(buffer, static_cast<size_t>(got)));
  dup2(logFd, 2);
  close(logFd);
  return kExitOk;
}

SinkSettings MakeSinkSettings(const Options& options, const ScanPaths& paths, int terminal) {
  SinkSettings settings;
  settings.outputDir = paths.outputDir;
  settings.listOnly = options.listOnly;
  settings.showProgress = !options.quiet && isatty(terminal);
  settings.terminalFd = terminal;
  settings.filter = TypeFilter(options.types, options.exclude);
  settings.minSize = options.minSize;
  settings.maxSize = options.maxSize;
  settings.interrupts = &gInterrupts;
  settings.writing = &SetFileInProgress;
  settings.logLimit = kScanLogLimit;
  settings.logFull = &LeaveOutLogLines;
  return settings;
}

// The engine's scan settings from --read-ahead and --cache; returns the cache size used.
unsigned int ApplyCacheSettings(CPhotoRecovery* engine, const Options& options) {
  // A cache smaller than two read-ahead chunks cannot hold the chunk being carved and the one
  // a handler looks back into: every look back would read the source again.
  unsigned long long cacheSize =
      std::max<unsigned long long>(options.cacheSize, 2ull * options.readAhead);
  if (cacheSize > 0xFFFFFFFFull) cacheSize = 0xFFFFFFFFull;
  engine->SetScanReadAhead(options.readAhead);
  engine->SetScanCacheSize(static_cast<unsigned int>(cacheSize));
  return static_cast<unsigned int>(cacheSize);
}

// The device's source, offered by a data-source module.
int OpenDevice(CPhotoRecovery* engine, const Options& options, const ScanPaths& paths, dev_t device,
               int terminal, CDataSource*& source) {
  engine->RescanDataSources();
  source = FindDeviceSource(engine, device);
  if (source == nullptr) {
    return Fail(terminal, kExitSource,
                "cannot open '" + options.source + "': no block-device module in '" +
                    paths.moduleDir + "' offers this device");
  }
  source->Refresh();
  if (!source->IsReady()) {
    int code = source->GetLastIOError();
    return Fail(terminal, kExitSource,
                "cannot open '" + options.source +
                    "': " + (code != 0 ? strerror(code) : "device not ready"));
  }
  return kExitOk;
}

// The image file's source, mounted by the engine. The engine takes a path as locale text; a
// name that is not text in this locale (any byte string is a valid Linux name) is given as
// /proc/self/fd/N of a descriptor held in `held` for as long as the scan runs.
int MountImage(CPhotoRecovery* engine, const Options& options, const ScanPaths& paths, int terminal,
               CDataSource*& source, int& held) {
  std::string path = paths.source;
  if (toUtf8String(toWideString(path)) != path) {
    held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (held < 0) {
      return Fail(terminal, kExitSource,
                  "cannot open '" + options.source + "': " + strerror(errno));
    }
    path = "/proc/self/fd/" + std::to_string(held);
    Print(2, "salvor: '" + paths.source + "' is read as " + path + "\n");
  }
  errno = 0;
  source = engine->MountFile(toWideString(path).c_str());
  if (source == nullptr) {
    int code = errno != 0 ? errno : EIO;
    return Fail(terminal, kExitSource, "cannot open '" + options.source + "': " + strerror(code));
  }
  return kExitOk;
}

// The source to scan: a device through the block-device module, an evidence or split image
// through the module that reads its format, any other file as a raw image. rawImage says
// which sources the engine mounted.
int OpenSource(CPhotoRecovery* engine, const Options& options, const ScanPaths& paths,
               const ModuleSet& modules, const struct stat& info, int terminal,
               CDataSource*& source, int& held, bool& rawImage) {
  rawImage = false;
  if (S_ISBLK(info.st_mode)) {
    return OpenDevice(engine, options, paths, info.st_rdev, terminal, source);
  }
  std::string error;
  source = OpenImageWithModules(engine, modules, paths.source, error);
  if (source != nullptr) return kExitOk;
  if (!error.empty()) {
    return Fail(terminal, kExitSource, "cannot open '" + options.source + "': " + error);
  }
  rawImage = true;
  return MountImage(engine, options, paths, terminal, source, held);
}

// The file source leaves out an image's last partial block: it is read here and added.
void AddImageTail(const Options& options, const ScanPaths& paths, long long imageSize, int terminal,
                  CScannedSource& watched) {
  std::vector<uint8_t> tail;
  const long long blockSize = watched.GetBlockSize();
  const long long wholeBytes = blockSize * watched.GetBlockCount();
  const long long tailBytes = imageSize - wholeBytes;
  if (tailBytes > 0 && tailBytes < blockSize &&
      !ReadImageTail(paths.source, wholeBytes, static_cast<size_t>(tailBytes), tail)) {
    const std::string warning = "salvor: cannot read '" + options.source + "' after byte " +
                                std::to_string(wholeBytes) + ": " + strerror(errno) +
                                "; the bytes before it are scanned\n";
    Print(terminal, warning);
    Print(2, warning);
  }
  watched.AddTail(std::move(tail));
}

// Reading the file systems: at most 5 minutes and 2 GiB (a million entries take far less).
constexpr int kFileSystemSeconds = 300;
// Images of this size or more are scanned by one worker a core unless --jobs says otherwise.
constexpr long long kParallelBytes = 1LL << 30;
constexpr long long kFileSystemMemory = 2LL << 30;

// In a child process, bounded in time and memory; `failure` says why it did not finish. The
// first read that fails ends it: a failing disk is not worn further for names.
FileSystemCatalog ReadFileSystems(CDataSource* source, bool freeSpace,
                                  std::string* failure = nullptr) {
  FileSystemCatalog catalog;
  const long long blockSize = source->GetBlockSize();
  if (blockSize <= 0) return catalog;
  std::vector<char> blocks;
  const SourceReader read = [&](long long offset, size_t length, char* out) {
    const long long first = offset / blockSize;
    const long long end = (offset + static_cast<long long>(length) + blockSize - 1) / blockSize;
    blocks.resize(static_cast<size_t>((end - first) * blockSize));
    if (!source->ReadBlocks(first, end - first, blocks.data())) return false;
    std::memcpy(out, blocks.data() + (offset - first * blockSize), length);
    return true;
  };
  std::string why;
  catalog.ReadIsolated(read, source->GetBlockCount() * blockSize,
                       static_cast<unsigned int>(blockSize), freeSpace, kFileSystemSeconds,
                       kFileSystemMemory, why);
  if (failure != nullptr) *failure = why;
  return catalog;
}

ReportHeader MakeReportHeader(CPhotoRecovery* engine, const Options& options,
                              const ScanPaths& paths, const std::string& commandLine,
                              unsigned int cacheSize, CScannedSource& watched) {
  ReportHeader header;
  header.version = SALVOR_VERSION;
  header.commandLine = commandLine;
  header.startTime = UtcTimestamp();
  header.sourcePath = paths.source;
  header.sourceSize = watched.Bytes();
  header.blockSize = watched.GetBlockSize();
  header.imageFormat = StrProperty(&watched, "ImageFormat");
  header.segments = Segments(&watched);
  for (const auto& [type, property] :
       {std::pair<const char*, const char*>{"md5", "StoredMD5"}, {"sha1", "StoredSHA1"}}) {
    const std::string value = StrProperty(&watched, property);
    if (!value.empty()) header.storedHashes.emplace_back(type, value);
  }
  header.settings = {
      // The engine reads whole blocks.
      {"read_ahead",
       std::to_string(header.blockSize > 0 ? options.readAhead / header.blockSize * header.blockSize
                                           : options.readAhead)},
      {"cache", std::to_string(cacheSize)},
      {"types", Join(options.types)},
      {"exclude", Join(options.exclude)},
      {"min_size", std::to_string(options.minSize)},
      {"max_size", std::to_string(options.maxSize)},
      {"list_only", options.listOnly ? "1" : "0"},
      {"file_systems", options.noFileSystems ? "0" : "1"},
      {"unaligned", options.aligned ? "0" : "1"},
      {"names", options.names ? "1" : "0"},
      {"sort_by_date", options.sortByDate ? "1" : "0"},
      {"deleted_only", options.deletedOnly ? "1" : "0"},
      {"partition", std::to_string(options.partition)},
      {"free_space", options.freeSpace ? "1" : "0"},
      {"range", options.rangeStart < 0 ? ""
                                       : std::to_string(options.rangeStart) + ":" +
                                             std::to_string(options.rangeLength)},
      {"modules", paths.moduleDir},
  };
  for (int i = 0; i < engine->GetContentHandlerCount(); ++i) {
    CContentHandler* handler = engine->GetContentHandler(i);
    header.settings.push_back({std::string("handler ") + handler->GetUniqueID(),
                               handler->IsEnabled() ? "enabled" : "disabled"});
  }
  for (const auto& setting : options.settings) {
    header.settings.push_back({"set " + setting.handler + "." + setting.property, setting.value});
  }
  return header;
}

struct ScanResult {
  std::string status;
  int exitStatus;
  std::string message;  // printed even with -q; empty when all went well
};

ScanResult JudgeScan(const RecoverySink& sink, bool scanResult, const std::string& source,
                     const std::string& outputDir) {
  long long files = 0;
  for (const auto& entry : sink.TypeTallies()) files += entry.second.files;
  std::string kept = std::to_string(files) +
                     (files == 1 ? " file recovered so far is" : " files recovered so far are") +
                     " kept in " + outputDir;
  if (sink.OutputFailed()) {
    if (sink.DiskFull()) {
      return {"disk full", kExitDiskFull,
              "output disk is full (" + std::string(strerror(sink.OutputErrno())) +
                  "): scan stopped; " + kept};
    }
    return {"write error", kExitOutput,
            "cannot write '" + sink.OutputFailurePath() + "': " + strerror(sink.OutputErrno()) +
                "; scan stopped; " + kept};
  }
  if (gInterrupts > 0 || sink.Cancelled()) {
    const int signal = gStopSignal != 0 ? gStopSignal : SIGINT;
    const char* name = signal == SIGTERM ? "SIGTERM" : signal == SIGHUP ? "SIGHUP" : nullptr;
    return {name != nullptr ? std::string("cancelled by ") + name : "cancelled", 128 + signal,
            "scan cancelled; " + kept};
  }
  if (sink.LostSource()) {
    return {"lost source", kExitReadErrors,
            "lost '" + source + "' during the scan (removed?); " + kept};
  }
  if (!sink.ScanCompletedCalled() && !scanResult) {
    return {"failed", kExitScanFailed,
            "the scan of '" + source + "' could not start (see " + outputDir + "/salvor.log)"};
  }
  if (!sink.Completed()) {
    return {"read errors", kExitReadErrors,
            "parts of '" + source +
                "' could not be read (unreadable blocks were taken as zeros; "
                "see " +
                outputDir + "/salvor.log)"};
  }
  return {"completed", kExitOk, std::string()};
}

std::string Summary(const Options& options, const ScanPaths& paths, const RecoverySink& sink,
                    const ScanResult& result, double seconds) {
  std::string text = "\nScan " + result.status + ": " + options.source + "\n" +
                     FormatSummary(sink.TypeTallies(), sink.BytesScanned(), seconds);
  if (sink.SkippedFiles() > 0) {
    text += "  Skipped " + std::to_string(sink.SkippedFiles()) +
            " files outside --types/--exclude/--min-size/--max-size, or damaged copies of "
            "bytes already written (listed in the report)\n";
  }
  if (!options.listOnly && options.names) {
    text += "Files:  " + paths.outputDir +
            "/ (under their original folders; those no file system lists in <type>/)\n";
  } else if (!options.listOnly) {
    for (const auto& entry : sink.TypeTallies()) {
      text += "Files:  " + paths.outputDir + "/" + entry.first + "/\n";
    }
  }
  return text + "Report: " + paths.reportPath + "\nLog:    " + paths.logPath + "\n";
}

// Closes the report with the scan's outcome and tells the user; returns the exit status.
int FinishScan(const Options& options, const ScanPaths& paths, const RecoverySink& sink,
               const CScannedSource& watched, bool scanResult, int terminal, DfxmlReport& report) {
  ScanResult result = JudgeScan(sink, scanResult, options.source, options.outputDir);
  ReportOutcome outcome;
  outcome.status = result.status;
  for (const auto& entry : sink.TypeTallies()) {
    outcome.files += entry.second.files;
    outcome.bytes += entry.second.bytes;
  }
  outcome.readErrors = watched.ReadErrors();
  outcome.skipped = sink.SkippedFiles();
  const long long blockSize = watched.BlockSize();
  for (const auto& runs : {watched.BadAreas().Unreadable(), watched.BadAreas().Skipped()}) {
    for (const BlockRun& run : runs) {
      outcome.badAreas.push_back({run.first * blockSize, run.count * blockSize, run.error});
    }
  }
  outcome.seconds = sink.ElapsedSeconds();
  outcome.endTime = UtcTimestamp();
  bool reportComplete = report.Finish(outcome);
  if (sink.LinesLeftOut() > 0) {
    Print(2, "salvor: " + std::to_string(sink.LinesLeftOut()) +
                 " lines of the scan left out of this log after it reached its limit\n");
  }
  Print(2, "salvor: scan " + result.status + "\n");
  if (!options.quiet) Print(1, Summary(options, paths, sink, result, outcome.seconds));
  if (!result.message.empty()) Print(terminal, "salvor: " + result.message + "\n");
  if (sink.CutFiles() > 0) {
    Print(terminal, "salvor: " + std::to_string(sink.CutFiles()) +
                        (sink.CutFiles() == 1 ? " file is" : " files are") +
                        " larger than the output file system allows: kept cut at its limit as "
                        "damaged (b...) files\n");
  }
  if (!reportComplete && result.exitStatus == kExitOk) {
    return Fail(terminal, kExitOutput,
                "cannot write report '" + paths.reportPath + "': " + strerror(errno));
  }
  return result.exitStatus;
}

// Goes on with the interrupted scan in the output folder: the same scan, its report reopened,
// what it left half done removed, the scan started where its checkpoint says.
int ResumeInto(const Options& options, const ScanPaths& paths, const ScanIdentity& identity,
               int terminal, DfxmlReport& report, RecoverySink& sink, CScannedSource& watched) {
  Checkpoint checkpoint;
  std::string reason;
  if (!ReadCheckpoint(paths.outputDir, checkpoint, reason)) {
    return Fail(terminal, kExitUsage, "cannot resume: " + reason);
  }
  const std::string difference = IdentityDifference(checkpoint.identity, identity);
  if (!difference.empty()) {
    return Fail(
        terminal, kExitUsage,
        "cannot resume the scan in '" + options.outputDir + "' with this command: " + difference);
  }
  std::vector<ReportFile> files;
  std::vector<ReportFile> skipped;
  if (!report.Reopen(paths.reportPath, files, skipped)) {
    return Fail(terminal, kExitOutput,
                "cannot resume: cannot read report '" + paths.reportPath + "': " + strerror(errno));
  }
  std::vector<std::string> names;
  for (const ReportFile& file : files) names.push_back(file.filename);
  const int removed = RemoveUnreportedFiles(paths.outputDir, names);
  sink.Resume(files, skipped);
  watched.Restore(checkpoint.unreadable, checkpoint.skipped, checkpoint.readErrors);
  const long long firstBlock = std::min(checkpoint.resumeBlock, watched.GetBlockCount());
  watched.StartAt(firstBlock);
  const std::string line = "resuming at byte " + std::to_string(firstBlock * identity.blockSize) +
                           " with " + std::to_string(files.size()) +
                           (files.size() == 1 ? " file" : " files") + " recovered before" +
                           (removed > 0 ? " (" + std::to_string(removed) +
                                              " written after the last checkpoint are redone)"
                                        : "");
  Print(2, "salvor: " + line + "\n");
  if (!options.quiet) Print(terminal, "Scan " + line + "\n");
  return kExitOk;
}

// Reads the areas skipped after read errors once more, within a bound, now that everything
// else is done, and looks for files again where they could be read after all; the log and the
// report then say what stayed unreadable.
void RetrySkippedAreas(CPhotoRecovery* engine, const Options& options, RecoverySink& sink,
                       int terminal, CScannedSource& watched) {
  const CBadAreas& areas = watched.BadAreas();
  if (!areas.AnyMissing()) return;
  if (!areas.Skipped().empty() && gInterrupts == 0 && !sink.OutputFailed() && !watched.Gone()) {
    const long long blockSize = std::max(1LL, watched.BlockSize());
    if (!options.quiet) Print(terminal, "Reading the areas skipped after read errors again\n");
    long long blocks = 0;
    for (const BlockRun& run : LookAgain(engine, sink, watched, options.readAhead / blockSize,
                                         kRetryFailures, &gInterrupts))
      blocks += run.count;
    Print(2, "salvor: " + std::to_string(blocks) + " skipped blocks read on a second try\n");
  }
  Print(2, BadAreaLines(areas, watched.BlockSize(), kLoggedBadAreas));
}

// Looks for the rest of every damaged file whose validator placed its break, within the time
// the user allows, and puts each file rebuilt whole in place of its damaged piece.
void RebuildFragments(const Options& options, RecoverySink& sink, int terminal,
                      CScannedSource& watched) {
  if ((sink.Broken().empty() && sink.Undecoded().empty()) || options.rebuildSeconds <= 0 ||
      gInterrupts != 0 || sink.OutputFailed() || watched.Gone())
    return;
  RebuildSettings settings;
  settings.total = std::chrono::seconds(options.rebuildSeconds);
  // 3 seconds a file by default; a longer total buys each file a longer look.
  settings.perFile =
      std::max(settings.perFile,
               std::chrono::duration_cast<std::chrono::milliseconds>(settings.total / 200));
  const long long count = static_cast<long long>(sink.Broken().size());
  if (!options.quiet && count > 0) {
    Print(terminal, "Rebuilding fragmented files: looking for the rest of " +
                        std::to_string(count) + " damaged " + (count == 1 ? "file" : "files") +
                        "\n");
  }
  const RebuildOutcome outcome = RebuildFragmentedFiles(
      sink, watched, settings, &gInterrupts, [&](const char* step, long long done, long long all) {
        sink.ShowStep(std::string(step) + ": " + std::to_string(done) + "/" + std::to_string(all));
      });
  sink.EndProgress();
  if (outcome.decoded + outcome.notDecoded > 0) {
    Print(2, "salvor: decoded after the scan: " + std::to_string(outcome.decoded) + " files, " +
                 std::to_string(outcome.decodedDamaged) + " found damaged, " +
                 std::to_string(outcome.notDecoded) + " not decoded\n");
  }
  Print(2, "salvor: fragments: " + std::to_string(outcome.searched) + " damaged files searched, " +
               std::to_string(outcome.rebuilt) + " rebuilt, " + std::to_string(outcome.outOfTime) +
               " searches ran out of time, " + std::to_string(outcome.notSearched) +
               " not searched\n");
}

// Reads every fragmented file whose file system still records its pieces through them: in
// place of its damaged piece, or as a file the scan missed.
void RecoverThroughRecords(const FileSystemCatalog& catalog, RecoverySink& sink,
                           CScannedSource& watched) {
  if (catalog.FileSystems().empty() || gInterrupts != 0 || sink.OutputFailed() || watched.Gone())
    return;
  const RunListOutcome outcome =
      RecoverThroughRunLists(catalog, sink, watched, RunListLimits(), &gInterrupts);
  Print(2, "salvor: run lists: " + std::to_string(outcome.recovered) +
               " files recovered through their file system's record (" +
               std::to_string(outcome.missedByScan) + " of them not found by the scan), " +
               std::to_string(outcome.damaged) + " found damaged, " +
               std::to_string(outcome.notRead) + " not read\n");
}

// Reads the file systems on the source into `catalog` (which must outlive the scan), and
// chooses the parts of the source the scan covers into `areas` (empty: the whole source). A
// partition the source does not have is refused.
int ReadFileSystemsAndAreas(const Options& options, CDataSource* dataSource, int terminal,
                            FileSystemCatalog& catalog, std::vector<SourceExtent>& areas) {
  std::string fileSystemsFailure;
  catalog = options.noFileSystems
                ? FileSystemCatalog()
                : ReadFileSystems(dataSource, options.freeSpace, &fileSystemsFailure);
  Print(2, options.noFileSystems         ? "salvor: file systems not read (--no-file-systems)\n"
           : !fileSystemsFailure.empty() ? "salvor: file systems not read: " + fileSystemsFailure +
                                               "; the files keep their sector names\n"
           : catalog.FileSystems().empty() ? "salvor: no file system found\n"
                                           : FileSystemLines(catalog, "salvor: file system "));
  if (!options.quiet && !catalog.FileSystems().empty()) {
    Print(terminal, FileSystemLines(catalog, "Found ") +
                        "Recovered files whose entry survives get its name and dates in the "
                        "report\n");
  }
  areas.clear();
  if (options.partition == 0 && !options.freeSpace) return kExitOk;
  // Without a file system there is no telling free space from used: all of it is scanned.
  const bool freeSpace = options.freeSpace && !catalog.FileSystems().empty();
  if (options.freeSpace && !freeSpace) {
    const std::string line = "salvor: --free-space: no file system read, so all of " +
                             std::string(options.partition > 0 ? "the partition" : "the source") +
                             " is scanned\n";
    Print(2, line);
    if (!options.quiet) Print(terminal, line);
  }
  const long long sourceBytes = dataSource->GetBlockCount() * dataSource->GetBlockSize();
  std::string error;
  if (!AreasToScan(catalog, options.partition, freeSpace, sourceBytes, areas, error))
    return Fail(terminal, kExitUsage, error);
  long long bytes = 0;
  for (const SourceExtent& area : areas) bytes += area.length;
  std::string what;
  if (options.partition > 0) what = "partition " + std::to_string(options.partition);
  if (freeSpace) {
    what += std::string(what.empty() ? "" : ", ") + "free space in " +
            std::to_string(areas.size()) + (areas.size() == 1 ? " area" : " areas");
  }
  const std::string line =
      "scanning " + FormatBytes(bytes) + " of " + FormatBytes(sourceBytes) + " (" + what + ")";
  Print(2, "salvor: " + line + "\n");
  if (!options.quiet) Print(terminal, "Scanning " + line + "\n");
  if (areas.empty()) areas.push_back({0, 0});  // nothing free: nothing to scan
  return kExitOk;
}

// Has the sink name, date, leave out and sort the recovered files by the catalog, as the
// options ask. A file that starts outside the areas scanned (found finishing another, or on a
// second look) is left out too.
void UseFileSystems(const Options& options, const ScanPaths& paths, RecoverySink& sink,
                    const FileSystemCatalog& catalog, const std::vector<SourceExtent>& areas) {
  if (options.deletedOnly || options.freeSpace || !areas.empty()) {
    sink.LeaveOutWith([&catalog, &areas, &options](const ReportFile& entry) -> const char* {
      if (!areas.empty()) {
        auto after = std::upper_bound(
            areas.begin(), areas.end(), entry.offset,
            [](long long offset, const SourceExtent& area) { return offset < area.offset; });
        if (after == areas.begin() ||
            std::prev(after)->offset + std::prev(after)->length <= entry.offset)
          return "outside-scan";
      }
      const FsEntry* found = catalog.StartingAt(entry.offset);
      return (options.deletedOnly || options.freeSpace) && found != nullptr && found->allocated
                 ? "live"
                 : nullptr;
    });
  }
  if (options.names || options.sortByDate) {
    sink.NameWith([&catalog, &options](const ReportFile& entry, const std::string& written) {
      return GivenName(catalog, options.names, options.sortByDate, entry, written);
    });
  }
  sink.OnReport([&catalog, &paths](ReportFile& entry) {
    if (entry.filename != RecoverySink::SectorName(entry))
      entry.sectorName = RecoverySink::SectorName(entry);
    AddOrigin(catalog, entry);
    if ((!entry.hasOrigin || entry.origin.mtime <= 0) && entry.written) {
      const CaptureDate date =
          CaptureDateOfFile(paths.outputDir + "/" + entry.filename, entry.size);
      entry.captureTime = date.time;
      entry.captureSource = date.source;
    }
  });
}

// The scan's identity (what a resume must match), and its report: a new one, or the
// interrupted scan's reopened to go on with it.
int StartReport(const Options& options, const ScanPaths& paths, const ReportHeader& header,
                int terminal, DfxmlReport& report, RecoverySink& sink, CScannedSource& watched,
                ScanIdentity& identity) {
  std::vector<std::string> settings;
  for (const auto& setting : header.settings)
    settings.push_back(setting.first + "=" + setting.second);
  settings.push_back("report=" + paths.reportPath);
  identity = IdentityOf(watched, paths.source, settings);
  if (options.resume) return ResumeInto(options, paths, identity, terminal, report, sink, watched);
  if (!report.Open(paths.reportPath, header)) {
    return Fail(terminal, kExitOutput,
                "cannot write report '" + paths.reportPath + "': " + strerror(errno));
  }
  return kExitOk;
}

// The engine's scan of the watched source from where it starts (not its start when resumed)
// over `areas` (empty: all of it), with a checkpoint before it and one after that says
// whether the end was reached (then there is nothing to resume).
bool RunEngineScan(CPhotoRecovery* engine, RecoverySink& sink, CScannedSource& watched,
                   const std::vector<SourceExtent>& areas, const SourceExtent& shard, int terminal,
                   const std::function<void(bool complete)>& checkpoint) {
  InstallInterruptHandler(terminal);
  sink.WatchSource(&watched);
  const long long firstBlock = watched.FirstBlock();
  const long long blockSize = watched.GetBlockSize();
  sink.BeginScan(watched.GetBlockCount() + firstBlock, blockSize, firstBlock);
  checkpoint(false);
  bool scanResult = true;
  if (shard.length > 0) {
    // Resumed past the shard's end (a file that began in it was being finished): the scan
    // stops at once, complete.
    const long long end = (shard.offset + shard.length + blockSize - 1) / blockSize;
    watched.StartAt(std::max(firstBlock, shard.offset / blockSize));
    sink.BeginShard(watched.FirstBlock(), end);
    scanResult = engine->Scan(&watched) || sink.StoppedAtShardEnd();
  } else if (areas.empty()) {
    scanResult = engine->Scan(&watched);
  } else {
    for (const SourceExtent& area : areas) {
      const long long end = (area.offset + area.length + blockSize - 1) / blockSize;
      if (end <= firstBlock) continue;
      const long long begin = std::max(firstBlock, area.offset / blockSize);
      watched.StartAt(begin, end);
      sink.BeginArea(begin, end);
      scanResult = engine->Scan(&watched);
      if (!scanResult || !sink.Completed() || gInterrupts != 0) break;
    }
    // No area left to scan (no free space, or resumed past the last): that is complete.
    if (!sink.ScanCompletedCalled()) sink.ScanCompleted(true, false, 0);
  }
  sink.EndProgress();
  checkpoint(sink.ScanCompletedCalled() && !sink.Cancelled() && !sink.OutputFailed() &&
             !sink.LostSource() && gInterrupts == 0 && scanResult);
  return scanResult;
}

// Whether the scan leaves a gallery: not when it was asked for none, for a list of what would be
// recovered, nor for a shard (its files are shown once its folder is merged with the others).
bool WantGallery(const Options& options) {
  return !options.listOnly && !options.noGallery && options.rangeStart < 0;
}

GallerySettings GallerySettingsFor(RecoverySink& sink) {
  GallerySettings settings;
  settings.stop = &gInterrupts;
  settings.progress = [&sink](long long done, long long all) {
    sink.ShowStep("Thumbnails: " + std::to_string(done) + "/" + std::to_string(all));
  };
  return settings;
}

// The thumbnails not made beside the scan and the page that shows them all, DIR/index.html,
// once the report is whole. A failure here costs the gallery only: the files and the report
// stand.
void FinishGallery(Gallery& gallery, const Options& options, const ScanPaths& paths,
                   RecoverySink& sink, int terminal) {
  if (!WantGallery(options) || gInterrupts != 0 || sink.OutputFailed()) return;
  GalleryOutcome outcome;
  std::string error;
  const bool made = gallery.Finish(paths.reportPath, outcome, error);
  sink.EndProgress();
  if (!made) {
    Print(2, "salvor: no gallery: " + error + "\n");
    Print(terminal, "salvor: no gallery: " + error + "\n");
    return;
  }
  Print(2, "salvor: gallery of " + std::to_string(outcome.files) + " files, " +
               std::to_string(outcome.thumbnails) + " with thumbnails" +
               (outcome.lost > 0 ? ", " + std::to_string(outcome.lost) +
                                       " whose decoding crashed or hung (no thumbnail)"
                                 : std::string()) +
               (outcome.stopped ? " (thumbnails stopped by the user)" : "") + "\n");
  if (!options.quiet) {
    Print(1, "Gallery: " + paths.outputDir + "/index.html (" + std::to_string(outcome.thumbnails) +
                 " of " + std::to_string(outcome.files) + " files with thumbnails)\n");
  }
}

// The engine's part of a scan: modules and handler settings (anything refused there is refused
// before the output folder exists), then the folder, the source, the report, the scan itself
// and its outcome.
int ScanWithEngine(Options options, const ScanPaths& paths, const struct stat& sourceInfo,
                   const std::string& commandLine, int heldLog, int terminal) {
  CPhotoRecovery* engine = GetSVSingleton();
  DfxmlReport report;
  RecoverySink sink(MakeSinkSettings(options, paths, terminal), &report);
  Gallery gallery(engine, paths.outputDir, GallerySettingsFor(sink));
  engine->SetEventHandler(&sink);
  struct Detach {
    CPhotoRecovery* engine;
    ~Detach() { engine->SetEventHandler(nullptr); }
  } detach{engine};

  std::string error;
  ModuleSet modules;
  if (!LoadModuleFolder(engine, paths.moduleDir, true, true, sink, modules, error)) {
    return Fail(terminal, kExitModule, error);
  }
  if (engine->GetContentHandlerCount() == 0) {
    return Fail(terminal, kExitModule,
                "no file-type module in '" + paths.moduleDir + "': nothing could be recovered");
  }
  if (!ConfigureHandlers(engine, options, error)) return Fail(terminal, kExitUsage, error);
  sink.SetFilter(TypeFilter(options.types, options.exclude));
  const unsigned int cacheSize = ApplyCacheSettings(engine, options);

  // The source is opened before anything is written: an image with a missing segment is
  // refused with nothing made.
  CDataSource* dataSource = nullptr;
  struct Unmount {
    CPhotoRecovery* engine;
    CDataSource* mounted = nullptr;
    int held = -1;
    ~Unmount() {
      if (mounted != nullptr) engine->UnmountFile(mounted);
      if (held >= 0) close(held);
    }
  } unmount{engine};
  bool rawImage = false;
  const int opened = OpenSource(engine, options, paths, modules, sourceInfo, terminal, dataSource,
                                unmount.held, rawImage);
  if (opened != kExitOk) return opened;
  if (rawImage) unmount.mounted = dataSource;
  // Names and dates for the recovered files, from what the file systems still list, and the
  // parts of the source to scan.
  FileSystemCatalog catalog;
  std::vector<SourceExtent> areas;
  const int chosen = ReadFileSystemsAndAreas(options, dataSource, terminal, catalog, areas);
  if (chosen != kExitOk) return chosen;
  SourceExtent shard;
  if (options.rangeStart >= 0) {
    const long long sourceBytes = dataSource->GetBlockCount() * dataSource->GetBlockSize();
    if (options.rangeStart >= sourceBytes) {
      return Fail(
          terminal, kExitUsage,
          "--range starts past the source's end (" + std::to_string(sourceBytes) + " bytes)");
    }
    shard = {options.rangeStart, std::min(options.rangeLength, sourceBytes - options.rangeStart)};
    Print(2, "salvor: scanning the files that start in bytes " + std::to_string(shard.offset) +
                 "-" + std::to_string(shard.offset + shard.length - 1) + "\n");
  }
  const int made = MakeOutputFolder(options, paths, heldLog, terminal);
  if (made != kExitOk) return made;

  // Skips after read errors: 64 KiB at first, doubling up to 1% of the source (at most 1 GiB).
  const long long blockSize = std::max(1LL, dataSource->GetBlockSize());
  CScannedSource watched(dataSource, std::max(1LL, (64LL << 10) / blockSize),
                         std::min(dataSource->GetBlockCount() / 100, (1LL << 30) / blockSize));
  if (rawImage) {
    AddImageTail(options, paths, sourceInfo.st_size, terminal, watched);
    watched.WatchImageFile(paths.source, sourceInfo.st_size);
  }
  UseFileSystems(options, paths, sink, catalog, areas);
  // Folders a quick format cut off, and NTFS records past a new MFT, found as the scan reads
  // them.
  COrphanFolders orphans(catalog);
  CNtfsRecords records(catalog);
  const auto& volumes = catalog.FileSystems();
  const bool fat = std::any_of(volumes.begin(), volumes.end(),
                               [](const FsVolume& volume) { return volume.clusterSize > 0; });
  const bool ntfs = std::any_of(volumes.begin(), volumes.end(), [](const FsVolume& volume) {
    return volume.type.compare(0, 4, "ntfs") == 0;
  });
  if (fat || ntfs) {
    watched.OnRead([&, fat, ntfs](long long offset, const uint8_t* data, size_t bytes) {
      if (fat) orphans.Look(offset, data, bytes);
      if (ntfs) records.Look(offset, data, bytes);
    });
  }

  const ReportHeader header =
      MakeReportHeader(engine, options, paths, commandLine, cacheSize, watched);
  ScanIdentity identity;
  const int started =
      StartReport(options, paths, header, terminal, report, sink, watched, identity);
  if (started != kExitOk) return started;
  if (WantGallery(options)) {
    gallery.StartBesideScan();
    sink.OnReported([&gallery](const ReportFile& file) { gallery.Written(file); });
  }
  // A checkpoint now and every few seconds: however the run ends, even by a power cut, it
  // can be resumed from the last one.
  const auto checkpoint = [&](bool complete) {
    if (!WriteCheckpoint(paths.outputDir, TakeCheckpoint(identity, sink, watched, complete),
                         &report)) {
      Print(2, "salvor: cannot write the checkpoint: " + std::string(strerror(errno)) + "\n");
    }
  };
  sink.OnCheckpoint([&] { checkpoint(false); }, kCheckpointSeconds);
  if (!options.quiet) {
    Print(terminal, "Scanning " + options.source + " (" + FormatBytes(header.sourceSize) +
                        ") into " + options.outputDir + " - Ctrl-C stops and keeps the files\n");
  }
  const bool scanResult = RunEngineScan(engine, sink, watched, areas, shard, terminal, checkpoint);
  watched.OnRead(nullptr);
  WriteLogLinesAgain();
  if (orphans.Folders() > 0) {
    Print(2, "salvor: folders the file system no longer reaches: " +
                 std::to_string(orphans.Folders()) + " found, listing " +
                 std::to_string(orphans.Files()) + " files\n");
  }
  if (records.Files() > 0) {
    Print(2, "salvor: NTFS records the file system no longer lists: " +
                 std::to_string(records.Files()) + " files\n");
  }
  RetrySkippedAreas(engine, options, sink, terminal, watched);
  RecoverThroughRecords(catalog, sink, watched);
  RebuildFragments(options, sink, terminal, watched);
  const int status = FinishScan(options, paths, sink, watched, scanResult, terminal, report);
  if (status != kExitOutput) FinishGallery(gallery, options, paths, sink, terminal);
  return status;
}

// The bytes the scan sees of the source and its block size, through the modules that read
// it (an E01's data, not its file's length). False with `error` when it cannot be opened.
bool SourceGeometry(CPhotoRecovery* engine, const ModuleSet& modules, const ScanPaths& paths,
                    const struct stat& info, long long& bytes, long long& blockSize,
                    std::string& error) {
  CDataSource* source = S_ISBLK(info.st_mode)
                            ? FindDeviceSource(engine, info.st_rdev)
                            : OpenImageWithModules(engine, modules, paths.source, error);
  if (source == nullptr && !S_ISBLK(info.st_mode) && error.empty()) {
    bytes = info.st_size;  // a raw image
    blockSize = 512;
    return true;
  }
  if (source == nullptr) {
    if (error.empty()) error = "no module offers it";
    return false;
  }
  blockSize = std::max(1LL, source->GetBlockSize());
  bytes = source->GetBlockCount() * blockSize;
  return true;
}

bool LoadQuietly(CPhotoRecovery* engine, const std::string& moduleDir, bool content,
                 bool dataSource, ModuleSet& modules, std::string& error);

// The gallery of a folder the shards of a scan were merged into (salvor merge, or a scan by
// worker processes), as a single scan makes it; the engine has its modules loaded.
void MakeMergedGallery(CPhotoRecovery* engine, const Options& options) {
  const std::string report =
      options.reportPath.empty() ? options.outputDir + "/report.xml" : options.reportPath;
  GalleryOutcome outcome;
  std::string error;
  if (!MakeGallery(engine, options.outputDir, report, GallerySettings(), outcome, error)) {
    Print(2, "salvor: no gallery: " + error + "\n");
    return;
  }
  if (!options.quiet) {
    Print(1, "Gallery: " + options.outputDir + "/index.html (" +
                 std::to_string(outcome.thumbnails) + " of " + std::to_string(outcome.files) +
                 " files with thumbnails)\n");
  }
}

// A scan with several worker processes, each a shard of the source, merged into the output
// folder as they finish. The modules and settings are checked here first, so that a mistake
// is said once, before anything is made.
int ScanWithWorkers(Options options, const ScanPaths& paths, const struct stat& sourceInfo,
                    int jobs, const std::vector<std::string>& arguments,
                    const std::string& commandLine) {
  CPhotoRecovery* engine = GetSVSingleton();
  ModuleSet modules;
  std::string error;
  // The content modules to check the type and handler settings (each worker loads them too),
  // and for the gallery's previews of the merged folder.
  const bool handlerSettings =
      !options.types.empty() || !options.exclude.empty() || !options.settings.empty();
  const bool gallery = !options.listOnly && !options.noGallery;
  if (!LoadQuietly(engine, paths.moduleDir, handlerSettings || gallery, true, modules, error))
    return Fail(2, kExitModule, error);
  if (handlerSettings && !ConfigureHandlers(engine, options, error))
    return Fail(2, kExitUsage, error);
  ParallelScan scan;
  if (!SourceGeometry(engine, modules, paths, sourceInfo, scan.sourceBytes, scan.blockSize, error))
    return Fail(2, kExitSource, "cannot open '" + options.source + "': " + error);
  char executable[PATH_MAX] = {};
  if (readlink("/proc/self/exe", executable, sizeof executable - 1) <= 0)
    return Fail(2, kExitScanFailed, std::string("cannot find salvor itself: ") + strerror(errno));
  scan.command = WorkerCommand(executable, arguments);
  scan.outputDir = paths.outputDir;
  scan.reportPath = options.reportPath.empty() ? std::string() : paths.reportPath;
  scan.commandLine = commandLine;
  scan.jobs = jobs;
  scan.resume = options.resume;
  scan.quiet = options.quiet;
  InstallInterruptHandler(2);
  if (!options.quiet) {
    Print(2, "Scanning " + options.source + " (" + FormatBytes(scan.sourceBytes) + ") into " +
                 options.outputDir + " with " + std::to_string(jobs) +
                 " workers - Ctrl-C stops and keeps the files\n");
  }
  const auto started = std::chrono::steady_clock::now();
  ParallelOutcome outcome;
  const bool merged = ScanInParallel(scan, &gInterrupts, &gStopSignal, outcome, error);
  for (const std::string& event : outcome.events) Print(2, "salvor: " + event + "\n");
  if (!merged) return Fail(2, kExitScanFailed, error);
  if (!options.quiet) {
    char seconds[32];
    std::snprintf(
        seconds, sizeof seconds, "%.1f",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    Print(1, "Recovered " + std::to_string(outcome.merged.files) + " files into " +
                 options.outputDir + " with " + std::to_string(outcome.workers) + " workers in " +
                 seconds + " s\nReport: " +
                 (options.reportPath.empty() ? paths.outputDir + "/report.xml" : paths.reportPath) +
                 "\nLog:    " + paths.logPath + "\n");
  }
  if (!outcome.merged.complete) {
    Print(2, std::string("salvor: ") +
                 (gInterrupts != 0 ? "scan cancelled" : "not every shard was finished") + "; " +
                 std::to_string(outcome.merged.files) + " files recovered so far are kept in " +
                 options.outputDir + "; go on with: salvor scan " + options.source + " -o " +
                 options.outputDir + " --resume\n");
  }
  if (gInterrupts != 0) return 128 + (gStopSignal != 0 ? gStopSignal : SIGINT);
  if (gallery) MakeMergedGallery(engine, options);
  return outcome.status != 0 ? outcome.status : outcome.merged.complete ? kExitOk : kExitIncomplete;
}

// salvor scan: the checks that need no engine first, then the scan into a new output folder,
// by one process or, for a large image, by one worker a core.
int RunScan(const Options& options, const std::string& commandLine,
            const std::vector<std::string>& arguments) {
  const ScanPaths paths = ResolvePaths(options);
  struct stat sourceInfo {};
  int status = CheckSource(options, paths, sourceInfo);
  if (status == kExitOk) status = CheckOutputFolder(options, paths, sourceInfo);
  if (status == kExitOk) status = ProbeSource(options, paths, S_ISBLK(sourceInfo.st_mode));
  if (status != kExitOk) return status;
  const int interrupted = options.resume ? WorkersOfInterruptedScan(paths.outputDir) : 0;
  int jobs = options.jobs;
  if (jobs == 0) {
    // A device is read by one worker: in order, and a failing one once. So is a small image,
    // and a scan of parts of the source, or one that goes on from a single worker's.
    const bool whole = options.partition == 0 && !options.freeSpace && options.rangeStart < 0;
    jobs = S_ISREG(sourceInfo.st_mode) && sourceInfo.st_size >= kParallelBytes && whole &&
                   !options.resume
               ? static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))
               : 1;
  }
  if (interrupted > 0 || jobs > 1)
    return ScanWithWorkers(options, paths, sourceInfo, std::max(jobs, interrupted), arguments,
                           commandLine);

  // The engine's log is held in an unnamed file until the output folder is made (nothing is
  // made before the modules and settings are accepted), then goes to salvor.log; the terminal
  // gets our own lines only.
  std::unique_ptr<FILE, int (*)(FILE*)> held(std::tmpfile(), &std::fclose);
  if (held == nullptr) {
    return Fail(2, kExitOutput, std::string("cannot make a temporary file: ") + strerror(errno));
  }
  StderrRedirect redirect(fileno(held.get()));
  Print(2, "salvor " SALVOR_VERSION ": " + commandLine + "\n");
  return ScanWithEngine(options, paths, sourceInfo, commandLine, fileno(held.get()),
                        redirect.TerminalFd());
}

// salvor merge: the shards' folders joined into one, with what it came to on the terminal.
int RunMerge(const Options& options, const std::string& commandLine) {
  MergeOutcome outcome;
  std::string error;
  if (!MergeShards(options.shards, options.outputDir, options.reportPath, commandLine, outcome,
                   error))
    return Fail(2, kExitUsage, error);
  if (!options.quiet) {
    Print(1, "Merged " + std::to_string(options.shards.size()) + " shards into " +
                 options.outputDir + ": " + std::to_string(outcome.files) + " files" +
                 (outcome.dropped > 0 ? ", " + std::to_string(outcome.dropped) +
                                            " found twice or inside another shard's file left out"
                                      : "") +
                 (outcome.renamed > 0
                      ? ", " + std::to_string(outcome.renamed) + " renamed where names met"
                      : "") +
                 "\n");
  }
  for (const std::string& shard : outcome.unfinished) {
    Print(2, "salvor: '" + shard +
                 "' had not finished its range: resume it (salvor scan ... --resume) and merge "
                 "again\n");
  }
  if (!options.noGallery) {
    ModuleSet modules;
    if (LoadQuietly(GetSVSingleton(), ModuleFolder(options), true, false, modules, error))
      MakeMergedGallery(GetSVSingleton(), options);
    else
      Print(2, "salvor: no gallery: " + error + "\n");
  }
  return outcome.complete ? kExitOk : kExitIncomplete;
}

// Loads the module folder with the engine's log silenced: types and sources print only their
// table. Data sources are looked for when their modules are loaded.
bool LoadQuietly(CPhotoRecovery* engine, const std::string& moduleDir, bool content,
                 bool dataSource, ModuleSet& modules, std::string& error) {
  SinkSettings settings;
  RecoverySink sink(settings, nullptr);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  StderrRedirect quiet(devNull);
  if (devNull >= 0) close(devNull);
  engine->SetEventHandler(&sink);
  bool ok = LoadModuleFolder(engine, moduleDir, content, dataSource, sink, modules, error);
  if (ok && dataSource) engine->RescanDataSources();
  engine->SetEventHandler(nullptr);
  return ok;
}

int RunTypes(const Options& options) {
  CPhotoRecovery* engine = GetSVSingleton();
  std::string error;
  ModuleSet modules;
  if (!LoadQuietly(engine, ModuleFolder(options), true, false, modules, error)) {
    return Fail(2, kExitModule, error);
  }
  char row[512];
  std::string text;
  // Extensions last: the one column whose width varies a lot.
  std::snprintf(row, sizeof row, "%-17s %-7s %-9s %-34s %s\n", "ID", "Enabled", "MaxSize", "Name",
                "Extensions");
  text += row;
  for (int i = 0; i < engine->GetContentHandlerCount(); ++i) {
    CContentHandler* handler = engine->GetContentHandler(i);
    int maxSize = 0;
    std::string maxText = handler->GetIntPropValue("MaxSize", &maxSize)
                              ? FormatBytes(static_cast<long long>(maxSize) * 1024)
                              : "-";
    std::string extensions = handler->GetFileExtensions();
    for (auto& c : extensions) c = c == ';' ? ',' : c;
    std::snprintf(row, sizeof row, "%-17s %-7s %-9s %-34s %s\n", handler->GetUniqueID(),
                  handler->IsEnabled() ? "yes" : "no", maxText.c_str(), handler->GetDisplayName(),
                  extensions.c_str());
    text += row;
  }
  text +=
      "\nChange a setting for one scan with --set ID.PROPERTY=VALUE "
      "(e.g. --set salvor.jpeg.MaxSize=65536; MaxSize is in KiB).\n";
  Print(1, text);
  return kExitOk;
}

std::string SourceTable(CPhotoRecovery* engine) {
  char row[1400];
  std::snprintf(row, sizeof row, "%-16s %-40s %10s %6s  %s\n", "Device", "Name", "Size", "Block",
                "ID");
  std::string text = row;
  bool unreadable = false;
  for (int i = 0; i < engine->GetDataSourceCount(); ++i) {
    CDataSource* source = engine->GetDataSource(i);
    std::string name = DisplayName(source);
    if (!source->IsReady()) {
      name += " [cannot open]";
      unreadable = true;
    }
    std::snprintf(row, sizeof row, "%-16s %-40s %10s %6lld  %s\n", OsPath(source).c_str(),
                  name.c_str(),
                  FormatBytes(source->GetBlockCount() * source->GetBlockSize()).c_str(),
                  source->GetBlockSize(), source->GetUniqueID());
    text += row;
  }
  if (unreadable) {
    text += geteuid() != 0 ? "Devices marked [cannot open] need root: try sudo.\n"
                           : "Devices marked [cannot open] refused to be opened for reading.\n";
  }
  return text;
}

int RunSources(const Options& options) {
  const std::string moduleDir = ModuleFolder(options);
  CPhotoRecovery* engine = GetSVSingleton();
  std::string error;
  ModuleSet modules;
  if (!LoadQuietly(engine, moduleDir, false, true, modules, error)) {
    return Fail(2, kExitModule, error);
  }
  std::string text;
  if (modules.dataSource.empty()) {
    text += "No block-device module in " + moduleDir + ": devices cannot be listed.\n";
  } else if (engine->GetDataSourceCount() == 0) {
    text += "No disks found (are you allowed to read /dev? try as root).\n";
  } else {
    text += SourceTable(engine);
  }
  text +=
      "\nScan a device:     salvor scan /dev/sdX -o recovered/\n"
      "Scan an image file: salvor scan card.img -o recovered/\n";
  Print(1, text);
  return kExitOk;
}

// What salvor info says about one source: its format, size and what its image recorded.
std::string SourceFacts(CDataSource* source, const std::string& path, const std::string& format) {
  const long long blocks = source->GetBlockCount();
  const long long blockSize = source->GetBlockSize();
  std::string text = "Source:       " + path + "\nFormat:       " + format +
                     "\nSize:         " + std::to_string(blocks * blockSize) + " bytes (" +
                     FormatBytes(blocks * blockSize) + "), " + std::to_string(blocks) +
                     " sectors of " + std::to_string(blockSize) + " bytes\n";
  long long more = 0;
  const std::vector<std::string> segments = Segments(source, &more);
  if (segments.size() > 1) {
    text += "Segments:     " + std::to_string(segments.size() + more) + ", " + segments.front() +
            (more > 0 ? " on" : " to " + segments.back()) + "\n";
  }
  for (const auto& [label, property] :
       {std::pair<const char*, const char*>{"Stored MD5:   ", "StoredMD5"},
        {"Stored SHA-1: ", "StoredSHA1"}}) {
    const std::string value = StrProperty(source, property);
    if (!value.empty()) text += label + value + "\n";
  }
  for (const std::string& note : Lines(StrProperty(source, "Notes"))) {
    const size_t equals = note.find('=');
    if (equals == std::string::npos) continue;
    std::string name = note.substr(0, equals);
    std::replace(name.begin(), name.end(), '_', ' ');
    text += "  " + name + ": " + note.substr(equals + 1) + "\n";
  }
  const FileSystemCatalog catalog = ReadFileSystems(source, false);
  for (const FsPartition& partition : catalog.Partitions()) {
    text += "Partition " + std::to_string(partition.number) + ":  bytes " +
            std::to_string(partition.offset) + "-" +
            std::to_string(partition.offset + partition.length - 1) + " (" +
            FormatBytes(partition.length) + "), " + partition.description + "\n";
  }
  text += catalog.FileSystems().empty() ? "File systems: none found\n"
                                        : FileSystemLines(catalog, "File system:  ");
  return text;
}

// salvor info: without a source, the image formats this build reads; with one, what it is.
int RunInfo(const Options& options) {
  CPhotoRecovery* engine = GetSVSingleton();
  std::string error;
  ModuleSet modules;
  if (!LoadQuietly(engine, ModuleFolder(options), false, true, modules, error)) {
    return Fail(2, kExitModule, error);
  }
  if (options.source.empty()) {
    std::string text = "Sources salvor reads:\nraw: any other file, as whole 512-byte sectors\n";
    for (const auto& formats : ImageFormatsOfModules(engine, modules)) text += formats;
    text += modules.dataSource.empty() ? "devices: none (no block-device module)\n"
                                       : "devices: disks and partitions (salvor sources)\n";
    Print(1, text);
    return kExitOk;
  }
  const ScanPaths paths = ResolvePaths(options);
  struct stat info {};
  const int status = CheckSource(options, paths, info);
  if (status != kExitOk) return status;
  if (S_ISBLK(info.st_mode)) {
    CDataSource* device = FindDeviceSource(engine, info.st_rdev);
    if (device == nullptr) {
      return Fail(2, kExitSource, "cannot open '" + options.source + "': no module offers it");
    }
    Print(1, SourceFacts(device, paths.source, "block device, " + DisplayName(device)));
    return kExitOk;
  }
  CDataSource* image = OpenImageWithModules(engine, modules, paths.source, error);
  if (image != nullptr) {
    Print(1, SourceFacts(image, paths.source, StrProperty(image, "ImageFormat")));
    return kExitOk;
  }
  if (!error.empty()) return Fail(2, kExitSource, "cannot open '" + options.source + "': " + error);
  std::string facts;
  {
    // The engine logs mounting; info prints only its table.
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    StderrRedirect quiet(devNull);
    if (devNull >= 0) close(devNull);
    errno = 0;
    CDataSource* raw = engine->MountFile(toWideString(paths.source).c_str());
    if (raw != nullptr) facts = SourceFacts(raw, paths.source, "raw image");
    error = errno != 0 ? strerror(errno) : "cannot be read";
    if (raw != nullptr) engine->UnmountFile(raw);
  }
  if (facts.empty()) return Fail(2, kExitSource, "cannot open '" + options.source + "': " + error);
  Print(1, facts);
  return kExitOk;
}

}  // namespace

namespace {

// Every type the loaded handlers can produce, as CanonicalType gives it.
std::set<std::string> KnownTypes(CPhotoRecovery* engine) {
  std::set<std::string> known;
  for (int i = 0; i < engine->GetContentHandlerCount(); ++i) {
    const char* extensions = engine->GetContentHandler(i)->GetFileExtensions();
    std::string list = extensions != nullptr ? extensions : "";
    std::replace(list.begin(), list.end(), ';', ',');
    for (const std::string& type : ParseTypeList(list)) known.insert(type);
  }
  return known;
}

bool IsHandlerId(CPhotoRecovery* engine, const std::string& name) {
  for (int i = 0; i < engine->GetContentHandlerCount(); ++i)
    if (name == engine->GetContentHandler(i)->GetUniqueID()) return true;
  return false;
}

// A type named in --types, --exclude or a --set that no loaded handler produces is a typo
// that would otherwise lose every file of the type meant.
bool CheckTypeNames(CPhotoRecovery* engine, const Options& options, std::string& error) {
  const std::set<std::string> known = KnownTypes(engine);
  const std::pair<const char*, const std::set<std::string>*> lists[] = {
      {"--types", &options.types}, {"--exclude", &options.exclude}};
  for (const auto& list : lists) {
    for (const std::string& type : *list.second) {
      if (known.count(type) == 0) {
        error = "unknown type '" + type + "' in " + list.first + " (see 'salvor types')";
        return false;
      }
    }
  }
  for (const auto& setting : options.settings) {
    if (!IsHandlerId(engine, setting.handler) && known.count(CanonicalType(setting.handler)) == 0) {
      error = "no handler '" + setting.handler + "' (see 'salvor types')";
      return false;
    }
  }
  return true;
}

// "--set wav.Enabled=0" means no WAV files, not no RIFF handler: a type's Enabled becomes an
// exclusion, so that the handler's other types (AVI) are still found.
bool TypeSwitchesToExclusions(CPhotoRecovery* engine, Options& options, std::string& error) {
  auto setting = options.settings.begin();
  while (setting != options.settings.end()) {
    if (setting->property != "Enabled" || IsHandlerId(engine, setting->handler)) {
      ++setting;
      continue;
    }
    if (setting->value != "0" && setting->value != "1") {
      error =
          "invalid value '" + setting->value + "' for " + setting->handler + ".Enabled (0 or 1)";
      return false;
    }
    if (setting->value == "0") options.exclude.insert(CanonicalType(setting->handler));
    setting = options.settings.erase(setting);
  }
  return true;
}

bool SetProperty(CContentHandler* handler, const PropertySetting& setting, std::string& error) {
  bool ok = false;
  const char* name = setting.property.c_str();
  if (handler->IsIntProp(name)) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(setting.value.c_str(), &end, 0);
    ok = errno == 0 && end != setting.value.c_str() && *end == '\0' && value >= -2147483647L &&
         value <= 2147483647L && handler->SetIntPropValue(name, static_cast<int>(value));
  } else if (handler->IsStrProp(name)) {
    ok = handler->SetStrPropValue(name, setting.value.c_str());
  } else {
    error = "handler " + std::string(handler->GetUniqueID()) + " has no property '" +
            setting.property + "'";
    return false;
  }
  if (!ok) {
    error = "handler " + std::string(handler->GetUniqueID()) + " refused " + setting.property +
            "=" + setting.value;
  }
  return ok;
}

}  // namespace

bool ConfigureHandlers(CPhotoRecovery* engine, Options& options, std::string& error) {
  if (!CheckTypeNames(engine, options, error) || !TypeSwitchesToExclusions(engine, options, error))
    return false;
  TypeFilter filter(options.types, options.exclude);
  int wanted = 0;
  for (int i = 0; i < engine->GetContentHandlerCount(); ++i) {
    CContentHandler* handler = engine->GetContentHandler(i);
    if (filter.WantsHandler(handler->GetFileExtensions())) {
      ++wanted;
    } else {
      handler->SetIntPropValue("Enabled", 0);
    }
  }
  if (wanted == 0 && engine->GetContentHandlerCount() > 0) {
    error = "every type is excluded: nothing would be recovered";
    return false;
  }
  // Files are looked for at every byte unless asked for sector starts only; --set may still
  // switch a single handler.
  for (int i = 0; i < engine->GetContentHandlerCount(); ++i)
    engine->GetContentHandler(i)->SetIntPropValue("Unaligned", options.aligned ? 0 : 1);
  for (const auto& setting : options.settings) {
    for (int i = 0; i < engine->GetContentHandlerCount(); ++i) {
      CContentHandler* handler = engine->GetContentHandler(i);
      if ((setting.handler == handler->GetUniqueID() ||
           HandlerProduces(handler, setting.handler)) &&
          !SetProperty(handler, setting, error))
        return false;
    }
  }
  return true;
}

int RunSalvor(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  IgnoreOutputSignals();
  Options options;
  std::string error;
  if (!ParseCommandLine(argc, argv, options, error)) {
    return Fail(2, kExitUsage, error + "\nTry 'salvor --help'.");
  }
  switch (options.command) {
    case Command::Help:
      Print(1, UsageText());
      return kExitOk;
    case Command::Version:
      Print(1, "salvor " SALVOR_VERSION "\n");
      return kExitOk;
    case Command::Scan:
      return RunScan(options, CommandLine(argc, argv),
                     std::vector<std::string>(argv + 1, argv + argc));
    case Command::Merge:
      return RunMerge(options, CommandLine(argc, argv));
    case Command::Types:
      return RunTypes(options);
    case Command::Sources:
      return RunSources(options);
    case Command::Info:
      return RunInfo(options);
    case Command::None:
      break;
  }
  Print(2, UsageText());
  return kExitUsage;
}

}  // namespace salvor
