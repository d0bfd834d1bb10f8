#include "recovery/Checkpoint.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <utility>

#include "recovery/RecoverySink.h"
#include "recovery/ScannedSource.h"
#include "report/DfxmlReport.h"
#include "util/sha256/Sha256.h"
#include "util/FdIo.h"
#include <sstream>

namespace salvor {

namespace {

constexpr const char* kFormat = "salvor-resume 1";

bool WriteAndSync(int fd, const std::string& text) {
  return WriteAll(fd, text) && fsync(fd) == 0;
}

}  // namespace

ScanIdentity IdentityOf(CScannedSource& source, const std::string& path,
                        std::vector<std::string> settings) {
  ScanIdentity identity;
  identity.sourcePath = path;
  identity.sourceBytes = source.Bytes();
  identity.blockSize = source.BlockSize();
  const long long blocks = std::min<long long>(source.GetBlockCount(), 16);
  std::vector<uint8_t> start(static_cast<size_t>(std::max(0LL, blocks * identity.blockSize)));
  identity.sourceDigest = source.ReadBlocks(0, blocks, start.data())
                              ? SV::CSha256::Of(start.data(), start.size())
                              : "unreadable";
  identity.settings = std::move(settings);
  return identity;
}

Checkpoint TakeCheckpoint(const ScanIdentity& identity, const RecoverySink& sink,
                          const CScannedSource& source, bool complete) {
  Checkpoint point{identity, sink.ResumeBlock(), complete, {}, {}, source.ReadErrors()};
  // Blocks that failed as the source went away are no bad areas: when it is back, they are
  // read again.
  if (!source.Gone()) {
    point.unreadable = source.BadAreas().Unreadable();
    point.skipped = source.BadAreas().Skipped();
  }
  return point;
}

bool WriteCheckpoint(const std::string& dir, const Checkpoint& checkpoint, DfxmlReport* report) {
  if (report != nullptr) report->Sync();
  const int files = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (files >= 0) {
    syncfs(files);
    close(files);
  }
  std::ostringstream text;
  const ScanIdentity& id = checkpoint.identity;
  text << kFormat << "\n"
       << "source " << id.sourcePath << "\n"
       << "source_bytes " << id.sourceBytes << "\n"
       << "block_size " << id.blockSize << "\n"
       << "source_digest " << id.sourceDigest << "\n";
  for (std::string setting : id.settings) {
    for (char& c : setting) c = c == '\n' || c == '\r' ? '?' : c;
    text << "setting " << setting << "\n";
  }
  text << "resume_block " << checkpoint.resumeBlock << "\n"
       << "complete " << (checkpoint.complete ? 1 : 0) << "\n"
       << "read_errors " << checkpoint.readErrors << "\n";
  for (size_t i = 0; i < checkpoint.unreadable.size() && i < kMaxCheckpointRuns; ++i) {
    const BlockRun& run = checkpoint.unreadable[i];
    std::string error = run.error;
    for (char& c : error) c = c == '\n' || c == '\r' ? '?' : c;
    text << "unreadable " << run.first << " " << run.count << " " << error << "\n";
  }
  for (size_t i = 0; i < checkpoint.skipped.size() && i < kMaxCheckpointRuns; ++i)
    text << "unread " << checkpoint.skipped[i].first << " " << checkpoint.skipped[i].count << "\n";
  text << "end\n";
  const std::string path = dir + "/" + kCheckpointName;
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAndSync(fd, text.str());
  int error = written ? 0 : errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    errno = error;
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return true;
}

bool ReadCheckpoint(const std::string& dir, Checkpoint& checkpoint, std::string& reason) {
  std::ifstream in(dir + "/" + kCheckpointName);
  std::string line;
  if (!in || !std::getline(in, line)) {
    reason = "no interrupted scan to resume in '" + dir + "'";
    return false;
  }
  if (line != kFormat) {
    reason = "'" + dir + "/" + kCheckpointName + "' is not a checkpoint this salvor reads";
    return false;
  }
  checkpoint = Checkpoint();
  ScanIdentity& id = checkpoint.identity;
  bool ended = false;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "source") id.sourcePath = value;
    if (key == "source_bytes") id.sourceBytes = std::atoll(value.c_str());
    if (key == "block_size") id.blockSize = std::atoll(value.c_str());
    if (key == "source_digest") id.sourceDigest = value;
    if (key == "setting") id.settings.push_back(value);
    if (key == "resume_block") checkpoint.resumeBlock = std::atoll(value.c_str());
    if (key == "complete") checkpoint.complete = value == "1";
    if (key == "read_errors") checkpoint.readErrors = std::atoll(value.c_str());
    if (key == "unreadable" || key == "unread") {
      std::istringstream fields(value);
      BlockRun run;
      fields >> run.first >> run.count;
      std::getline(fields >> std::ws, run.error);
      if (run.first >= 0 && run.count > 0)
        (key == "unread" ? checkpoint.skipped : checkpoint.unreadable).push_back(run);
    }
    if (key == "end") ended = true;
  }
  if (!ended || checkpoint.resumeBlock < 0) {
    reason = "the checkpoint in '" + dir + "' is cut short";
    return false;
  }
  return true;
}

std::string IdentityDifference(const ScanIdentity& was, const ScanIdentity& now) {
  if (was.sourcePath != now.sourcePath)
    return "it scanned '" + was.sourcePath + "', not '" + now.sourcePath + "'";
  if (was.sourceBytes != now.sourceBytes || was.blockSize != now.blockSize)
    return "the source's size has changed since";
  if (was.sourceDigest != now.sourceDigest) return "the source's first bytes have changed since";
  for (size_t i = 0; i < was.settings.size() || i < now.settings.size(); ++i) {
    const std::string before = i < was.settings.size() ? was.settings[i] : "(none)";
    const std::string after = i < now.settings.size() ? now.settings[i] : "(none)";
    if (before != after) return "it ran with " + before + ", this one with " + after;
  }
  return std::string();
}

namespace {

// Removes the files under dir/relative that `keep` does not list, folders down to `depth`.
int RemoveUnlisted(const std::string& dir, const std::string& relative,
                   const std::set<std::string>& keep, int depth) {
  int removed = 0;
  const std::string path = relative.empty() ? dir : dir + "/" + relative;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(path.c_str()), &closedir);
  if (!folder) return 0;
  while (const dirent* item = readdir(folder.get())) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    const std::string itemRelative = relative.empty() ? name : relative + "/" + name;
    struct stat info {};
    if (lstat((dir + "/" + itemRelative).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      if (depth > 0 && (!relative.empty() || name[0] != '.'))
        removed += RemoveUnlisted(dir, itemRelative, keep, depth - 1);
    } else if (!relative.empty() && keep.count(itemRelative) == 0 &&
               unlink((dir + "/" + itemRelative).c_str()) == 0) {
      ++removed;
    }
  }
  return removed;
}

}  // namespace

int RemoveUnreportedFiles(const std::string& dir, const std::vector<std::string>& reported) {
  // The folders of the output hold only recovered files: nothing of the user's is ever there
  // (the report, the log and the checkpoint sit at its top, which is left alone).
  const std::set<std::string> keep(reported.begin(), reported.end());
  return RemoveUnlisted(dir, std::string(), keep, kMaxNameDepth + 1);
}

}  // namespace salvor
