#include "shards/Merge.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "recovery/Checkpoint.h"
#include "report/DfxmlReport.h"

namespace salvor {

namespace {

struct Shard {
  std::string dir;
  Checkpoint checkpoint;
  long long rangeStart = 0;
  long long rangeEnd = -1;  // -1: the source's end
  ReportText report;
};

// The value of "name=value" among a scan's settings; empty when it is not there.
std::string Setting(const std::vector<std::string>& settings, const std::string& name) {
  for (const std::string& setting : settings)
    if (setting.compare(0, name.size() + 1, name + "=") == 0)
      return setting.substr(name.size() + 1);
  return std::string();
}

// A shard's identity without what differs from shard to shard: its range, its report, and
// where the node that ran it keeps the modules.
ScanIdentity Comparable(ScanIdentity identity) {
  auto& settings = identity.settings;
  settings.erase(std::remove_if(settings.begin(), settings.end(),
                                [](const std::string& s) {
                                  return s.compare(0, 6, "range=") == 0 ||
                                         s.compare(0, 7, "report=") == 0 ||
                                         s.compare(0, 8, "modules=") == 0;
                                }),
                 settings.end());
  return identity;
}

// The text of attribute `name` in `text` after `from`; empty when absent.
std::string Attribute(const std::string& text, const std::string& name, size_t from = 0) {
  const std::string key = name + "=\"";
  const size_t at = text.find(key, from);
  if (at == std::string::npos) return std::string();
  const size_t end = text.find('"', at + key.size());
  return end == std::string::npos ? std::string()
                                  : text.substr(at + key.size(), end - at - key.size());
}

bool EmptyOrAbsentFolder(const std::string& path, const std::string& keep) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  if (errno != EEXIST) return false;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(path.c_str()), &closedir);
  if (!folder) return false;
  while (const dirent* item = readdir(folder.get())) {
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0 &&
        item->d_name != keep) {
      errno = ENOTEMPTY;
      return false;
    }
  }
  return true;
}

// Makes the folders of `relative` under `root`.
bool MakeParents(const std::string& root, const std::string& relative) {
  for (size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    const std::string folder = root + "/" + relative.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool CopyFile(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  bool ok = out >= 0;
  char buffer[1 << 16];
  while (ok) {
    const ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < got;) {
      const ssize_t wrote = write(out, buffer + done, static_cast<size_t>(got - done));
      if (wrote < 0 && errno == EINTR) continue;
      ok = wrote > 0;
      done += wrote;
    }
  }
  const int saved = errno;
  close(in);
  if (out >= 0 && close(out) != 0) ok = false;
  errno = saved;
  return ok;
}

// Puts the shard's file into the merged folder under `name`, or the first free "name-2",
// "name-3", ...; returns the name used, empty with errno set when it could not.
std::string Place(const std::string& from, const std::string& output, const std::string& name) {
  if (!MakeParents(output, name)) return std::string();
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  const size_t split =
      dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : name.size();
  for (int copy = 1; copy < 10000; ++copy) {
    const std::string candidate =
        copy == 1 ? name : name.substr(0, split) + "-" + std::to_string(copy) + name.substr(split);
    const std::string target = output + "/" + candidate;
    if (link(from.c_str(), target.c_str()) == 0) return candidate;
    if (errno == EEXIST) continue;
    if (CopyFile(from, target)) return candidate;
    if (errno == EEXIST) continue;
    return std::string();
  }
  errno = EEXIST;
  return std::string();
}

bool ReadShard(const std::string& dir, Shard& shard, std::string& error) {
  shard.dir = dir;
  std::string reason;
  if (!ReadCheckpoint(dir, shard.checkpoint, reason)) {
    error = "'" + dir + "' is not a salvor output folder: " + reason;
    return false;
  }
  const std::vector<std::string>& settings = shard.checkpoint.identity.settings;
  const std::string range = Setting(settings, "range");
  if (!range.empty()) {
    const size_t colon = range.find(':');
    shard.rangeStart = std::atoll(range.c_str());
    shard.rangeEnd = shard.rangeStart + std::atoll(range.c_str() + colon + 1);
  }
  // Where the scan wrote it, or in the folder when the folder was moved since (from the node
  // that scanned it to the one that merges).
  std::string reportPath = Setting(settings, "report");
  if (access(reportPath.c_str(), R_OK) != 0) reportPath = dir + "/report.xml";
  if (!DfxmlReport::Read(reportPath, shard.report)) {
    error = "cannot read the report of '" + dir + "' (" + reportPath + "): " + strerror(errno);
    return false;
  }
  return true;
}

// The merged report's header: the first shard's, with the merge's command line and the range
// the shards cover together.
std::string MergedHeader(std::string header, const std::string& commandLine,
                         const std::string& range) {
  const std::string open = "<command_line>", close = "</command_line>";
  const size_t at = header.find(open);
  const size_t end = header.find(close, at);
  if (at != std::string::npos && end != std::string::npos)
    header.replace(at + open.size(), end - at - open.size(), DfxmlReport::Escape(commandLine));
  const std::string setting = "<salvor:setting name=\"range\" value=\"";
  const size_t value = header.find(setting);
  if (value != std::string::npos) {
    const size_t quote = header.find('"', value + setting.size());
    header.replace(value + setting.size(), quote - value - setting.size(), range);
  }
  return header;
}

}  // namespace

bool MergeShards(const std::vector<std::string>& dirs, const std::string& output,
                 const std::string& reportPath, const std::string& commandLine,
                 MergeOutcome& outcome, std::string& error, const std::string& keep) {
  outcome = MergeOutcome();
  std::vector<Shard> shards(dirs.size());
  for (size_t i = 0; i < dirs.size(); ++i)
    if (!ReadShard(dirs[i], shards[i], error)) return false;
  if (shards.empty()) {
    error = "nothing to merge: name the shards' output folders";
    return false;
  }
  const ScanIdentity first = Comparable(shards[0].checkpoint.identity);
  for (const Shard& shard : shards) {
    const std::string difference = IdentityDifference(first, Comparable(shard.checkpoint.identity));
    if (!difference.empty()) {
      error = "'" + shard.dir + "' is not a shard of the same scan as '" + shards[0].dir +
              "': " + difference;
      return false;
    }
  }
  std::stable_sort(shards.begin(), shards.end(),
                   [](const Shard& a, const Shard& b) { return a.rangeStart < b.rangeStart; });
  if (!EmptyOrAbsentFolder(output, keep)) {
    error = "cannot merge into '" + output + "': " + strerror(errno) +
            " (it must not exist or be empty)";
    return false;
  }

  // Which entries stay: in shard order, none that starts where an earlier shard's file lies
  // (a single scan skips past every file it delivers), and none twice.
  struct Kept {
    long long offset;
    size_t shard;
    const ReportText::Entry* entry;
  };
  std::vector<Kept> kept;
  std::set<std::pair<long long, std::string>> seen;
  long long covered = 0;
  long long rangeStart = shards.front().rangeStart, rangeEnd = 0;
  outcome.complete = true;
  for (size_t i = 0; i < shards.size(); ++i) {
    const Shard& shard = shards[i];
    if (!shard.checkpoint.complete) {
      outcome.complete = false;
      outcome.unfinished.push_back(shard.dir);
    }
    rangeEnd = shard.rangeEnd < 0 || rangeEnd < 0 ? -1 : std::max(rangeEnd, shard.rangeEnd);
    long long reaches = covered;
    for (const ReportText::Entry& entry : shard.report.entries) {
      const ReportFile& file = entry.file;
      if (file.offset < covered || !seen.emplace(file.offset, file.type).second) {
        ++outcome.dropped;
        continue;
      }
      reaches = std::max(reaches, file.offset + file.size);
      kept.push_back({file.offset, i, &entry});
    }
    covered = reaches;
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const Kept& a, const Kept& b) { return a.offset < b.offset; });

  const std::string range =
      rangeStart == 0 && (rangeEnd < 0 || rangeEnd >= first.sourceBytes)
          ? std::string()
          : std::to_string(rangeStart) + ":" +
                std::to_string((rangeEnd < 0 ? first.sourceBytes : rangeEnd) - rangeStart);
  DfxmlReport report;
  const std::string reportFile = reportPath.empty() ? output + "/report.xml" : reportPath;
  if (!report.OpenWithHeader(reportFile,
                             MergedHeader(shards[0].report.header, commandLine, range))) {
    error = "cannot write '" + reportFile + "': " + strerror(errno);
    return false;
  }
  ReportOutcome total;
  for (const Kept& item : kept) {
    const ReportText::Entry& entry = *item.entry;
    std::string text = entry.text;
    if (entry.skipped) {
      ++total.skipped;
    } else if (entry.file.written) {
      const std::string& name = entry.file.filename;
      const std::string placed = Place(shards[item.shard].dir + "/" + name, output, name);
      if (placed.empty()) {
        error = "cannot put '" + name + "' of '" + shards[item.shard].dir + "' into '" + output +
                "': " + strerror(errno);
        return false;
      }
      if (placed != name) {
        ++outcome.renamed;
        const std::string was = "<filename>" + DfxmlReport::Escape(name) + "</filename>";
        const size_t at = text.find(was);
        if (at != std::string::npos)
          text.replace(at, was.size(), "<filename>" + DfxmlReport::Escape(placed) + "</filename>");
      }
    }
    if (!entry.skipped) {
      ++total.files;
      total.bytes += entry.file.size;
    }
    if (!report.AddEntryText(text)) {
      error = "cannot write '" + reportFile + "': " + strerror(errno);
      return false;
    }
  }
  // The bad areas each shard met, once each, in source order; the shards' outcomes summed.
  std::map<std::pair<long long, std::string>, std::string> badAreas;
  double seconds = 0;
  for (const Shard& shard : shards) {
    const std::string& ending = shard.report.ending;
    for (size_t at = ending.find("  <salvor:unread"); at != std::string::npos;
         at = ending.find("  <salvor:unread", at + 1)) {
      const std::string line = ending.substr(at, ending.find('\n', at) + 1 - at);
      badAreas.emplace(std::make_pair(std::atoll(Attribute(line, "img_offset").c_str()), line),
                       line);
    }
    seconds = std::max(seconds, std::atof(Attribute(ending, "seconds").c_str()));
    total.readErrors += shard.checkpoint.readErrors;
    if (total.status.empty() && !shard.checkpoint.complete) {
      total.status = Attribute(ending, "status");
      if (total.status.empty() || total.status == "completed") total.status = "cancelled";
    }
  }
  for (const auto& area : badAreas) report.AddLines(area.second);
  if (total.status.empty()) total.status = "completed";
  total.seconds = seconds;
  total.endTime = UtcTimestamp();
  if (!report.Finish(total)) {
    error = "cannot write '" + reportFile + "': " + strerror(errno);
    return false;
  }
  // A merged folder is itself a shard of the ranges it covers: merges can be merged.
  Checkpoint merged = shards[0].checkpoint;
  for (std::string& setting : merged.identity.settings) {
    if (setting.compare(0, 6, "range=") == 0) setting = "range=" + range;
    if (setting.compare(0, 7, "report=") == 0) setting = "report=" + reportFile;
  }
  merged.complete = outcome.complete;
  merged.readErrors = total.readErrors;
  merged.unreadable.clear();
  merged.skipped.clear();
  if (!WriteCheckpoint(output, merged)) {
    error = "cannot write the checkpoint in '" + output + "': " + strerror(errno);
    return false;
  }
  outcome.files = total.files;
  return true;
}

}  // namespace salvor
