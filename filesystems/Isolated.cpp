// Reading the file systems in a child process: The Sleuth Kit parses structures the source
// controls, and a damaged or hostile one must not take the scan down with it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "filesystems/FileSystems.h"
#include "util/FdIo.h"

namespace salvor {

namespace {

constexpr int kReadFailedStatus = 3;

// AddressSanitizer reserves terabytes of address space: a limit on it would stop every run.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

void Put(std::string& out, long long value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
void Put(std::string& out, const std::string& text) {
  Put(out, static_cast<long long>(text.size()));
  out += text;
}

// Reads what Put wrote; every read is checked against the end of the bytes.
class CReader {
 public:
  explicit CReader(const std::string& bytes) : FBytes(bytes) {}
  bool Get(long long& value) {
    if (FBytes.size() - FAt < sizeof value) return false;
    std::memcpy(&value, FBytes.data() + FAt, sizeof value);
    FAt += sizeof value;
    return true;
  }
  bool Get(std::string& text) {
    long long length = 0;
    if (!Get(length) || length < 0 || static_cast<size_t>(length) > FBytes.size() - FAt)
      return false;
    text.assign(FBytes, FAt, static_cast<size_t>(length));
    FAt += static_cast<size_t>(length);
    return true;
  }

 private:
  const std::string& FBytes;
  size_t FAt = 0;
};

}  // namespace

std::string FileSystemCatalog::Serialized() const {
  std::string out;
  Put(out, static_cast<long long>(FVolumes.size()));
  for (const FsVolume& volume : FVolumes) {
    Put(out, volume.type);
    for (long long value : {volume.offset, volume.length, volume.blockSize, volume.clusterSize,
                            static_cast<long long>(volume.partition), volume.files, volume.deleted})
      Put(out, value);
  }
  Put(out, static_cast<long long>(FPartitions.size()));
  for (const FsPartition& partition : FPartitions) {
    Put(out, partition.description);
    for (long long value :
         {static_cast<long long>(partition.number), partition.offset, partition.length})
      Put(out, value);
  }
  Put(out, static_cast<long long>(FFree.size()));
  for (const SourceExtent& span : FFree) {
    Put(out, span.offset);
    Put(out, span.length);
  }
  Put(out, FDropped);
  Put(out, static_cast<long long>(FEntries.size()));
  for (const FsEntry& entry : FEntries) {
    Put(out, entry.path);
    for (long long value :
         {entry.size, entry.start, static_cast<long long>(entry.allocated),
          static_cast<long long>(entry.inode), entry.mtime, entry.crtime, entry.atime,
          static_cast<long long>(entry.fileSystem), static_cast<long long>(entry.recorded),
          static_cast<long long>(entry.runs.size())})
      Put(out, value);
    for (const SourceExtent& run : entry.runs) {
      Put(out, run.offset);
      Put(out, run.length);
    }
  }
  return out;
}

bool FileSystemCatalog::Deserialize(const std::string& bytes) {
  CReader in(bytes);
  long long count = 0;
  if (!in.Get(count) || count < 0) return false;
  FVolumes.clear();
  FPartitions.clear();
  FFree.clear();
  FEntries.clear();
  FRuns = 0;
  for (long long i = 0; i < count; ++i) {
    FsVolume volume;
    long long partition = 0;
    if (!in.Get(volume.type) || !in.Get(volume.offset) || !in.Get(volume.length) ||
        !in.Get(volume.blockSize) || !in.Get(volume.clusterSize) || !in.Get(partition) ||
        !in.Get(volume.files) || !in.Get(volume.deleted))
      return false;
    volume.partition = static_cast<int>(partition);
    FVolumes.push_back(volume);
  }
  if (!in.Get(count) || count < 0) return false;
  for (long long i = 0; i < count; ++i) {
    FsPartition partition;
    long long number = 0;
    if (!in.Get(partition.description) || !in.Get(number) || !in.Get(partition.offset) ||
        !in.Get(partition.length))
      return false;
    partition.number = static_cast<int>(number);
    FPartitions.push_back(std::move(partition));
  }
  if (!in.Get(count) || count < 0) return false;
  for (long long i = 0; i < count; ++i) {
    SourceExtent span;
    if (!in.Get(span.offset) || !in.Get(span.length)) return false;
    FFree.push_back(span);
  }
  if (!in.Get(FDropped) || !in.Get(count) || count < 0) return false;
  for (long long i = 0; i < count; ++i) {
    FsEntry entry;
    long long allocated = 0, inode = 0, fileSystem = 0, recorded = 0, runs = 0;
    if (!in.Get(entry.path) || !in.Get(entry.size) || !in.Get(entry.start) || !in.Get(allocated) ||
        !in.Get(inode) || !in.Get(entry.mtime) || !in.Get(entry.crtime) || !in.Get(entry.atime) ||
        !in.Get(fileSystem) || fileSystem < 0 ||
        fileSystem >= static_cast<long long>(FVolumes.size()) || !in.Get(recorded) ||
        !in.Get(runs) || runs < 0 || static_cast<size_t>(runs) > kMaxFileRuns ||
        FRuns + static_cast<size_t>(runs) > kMaxRuns)
      return false;
    entry.recorded = recorded != 0;
    entry.runs.resize(static_cast<size_t>(runs));
    FRuns += entry.runs.size();
    for (SourceExtent& run : entry.runs)
      if (!in.Get(run.offset) || !in.Get(run.length)) return false;
    entry.allocated = allocated != 0;
    entry.inode = static_cast<unsigned long long>(inode);
    entry.fileSystem = static_cast<int>(fileSystem);
    FEntries.push_back(std::move(entry));
  }
  Index();
  return true;
}

bool FileSystemCatalog::ReadIsolated(const SourceReader& read, long long sourceBytes,
                                     unsigned int sectorSize, bool freeSpace, int seconds,
                                     long long memoryBytes, std::string& failure) {
  failure.clear();
  *this = FileSystemCatalog();
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) {
    failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t child = fork();
  if (child < 0) {
    failure = std::string("cannot start a process: ") + std::strerror(errno);
    close(channel[0]);
    close(channel[1]);
    return false;
  }
  if (child == 0) {
    close(channel[0]);
    if (!kAddressSanitizer) {
      const struct rlimit memory = {static_cast<rlim_t>(memoryBytes),
                                    static_cast<rlim_t>(memoryBytes)};
      setrlimit(RLIMIT_AS, &memory);
    }
    // A failed read ends the reading at once: a failing disk is not worn further for names.
    const SourceReader guarded = [&](long long offset, size_t length, char* buffer) {
      if (!read(offset, length, buffer)) _exit(kReadFailedStatus);
      return true;
    };
    FileSystemCatalog catalog;
    catalog.Read(guarded, sourceBytes, sectorSize, freeSpace);
    _exit(WriteAll(channel[1], catalog.Serialized()) ? 0 : 1);
  }
  close(channel[1]);
  std::string bytes;
  char buffer[65536];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    struct pollfd ready = {channel[0], POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) {
      timedOut = polled == 0;
      break;
    }
    const ssize_t got = ::read(channel[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  close(channel[0]);
  if (timedOut) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    failure = "stopped after " + std::to_string(seconds) + " s";
  } else if (WIFSIGNALED(status)) {
    failure = std::string("the reading stopped on signal ") + strsignal(WTERMSIG(status));
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == kReadFailedStatus) {
    failure = "a read of the source failed";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !Deserialize(bytes)) {
    failure = "the reading did not finish (out of memory?)";
  }
  if (!failure.empty()) *this = FileSystemCatalog();
  return failure.empty() && !FVolumes.empty();
}

}  // namespace salvor
