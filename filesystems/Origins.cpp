#include "filesystems/Origins.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "recovery/Naming.h"

namespace salvor {

std::string VolumeName(const FsVolume& volume) {
  return volume.type + " at byte " + std::to_string(volume.offset) +
         (volume.partition >= 0 ? " (partition " + std::to_string(volume.partition) + ")" : "");
}

std::string FileSystemLines(const FileSystemCatalog& catalog, const std::string& prefix) {
  std::string text;
  for (const FsVolume& volume : catalog.FileSystems()) {
    text += prefix + VolumeName(volume) + ": " + std::to_string(volume.files) + " files, " +
            std::to_string(volume.deleted) + " of them deleted\n";
  }
  if (catalog.Dropped() > 0) {
    text += prefix + std::to_string(catalog.Dropped()) +
            " more files not kept (too many to hold): they keep their sector names\n";
  }
  return text;
}

bool AreasToScan(const FileSystemCatalog& catalog, int partition, bool freeSpace,
                 long long sourceBytes, std::vector<SourceExtent>& areas, std::string& error) {
  SourceExtent bounds{0, sourceBytes};
  if (partition > 0) {
    std::string numbers;
    const FsPartition* chosen = nullptr;
    for (const FsPartition& candidate : catalog.Partitions()) {
      numbers += (numbers.empty() ? "" : ", ") + std::to_string(candidate.number);
      if (candidate.number == partition) chosen = &candidate;
    }
    if (chosen == nullptr) {
      error = numbers.empty() ? "the source has no partition table, so no partition " +
                                    std::to_string(partition) + " (salvor info lists what it has)"
                              : "no partition " + std::to_string(partition) +
                                    " on the source (its partitions: " + numbers + ")";
      return false;
    }
    bounds = {chosen->offset, std::min(chosen->length, sourceBytes - chosen->offset)};
  }
  areas.clear();
  if (!freeSpace) {
    areas.push_back(bounds);
    return true;
  }
  for (const SourceExtent& span : catalog.FreeSpace()) {
    const long long begin = std::max(span.offset, bounds.offset);
    const long long end = std::min(span.offset + span.length, bounds.offset + bounds.length);
    if (begin < end) areas.push_back({begin, end - begin});
  }
  return true;
}

void AddOrigin(const FileSystemCatalog& catalog, ReportFile& entry) {
  const FsEntry* found = catalog.StartingAt(entry.offset);
  if (found == nullptr) return;
  entry.hasOrigin = true;
  entry.origin.path = found->path;
  const FsVolume& volume = catalog.FileSystems()[static_cast<size_t>(found->fileSystem)];
  entry.origin.fileSystem = VolumeName(volume) + (!found->orphaned ? ""
                                                  : volume.type.compare(0, 4, "ntfs") == 0
                                                      ? ", a record it no longer lists"
                                                      : ", a folder it no longer reaches");
  entry.origin.allocated = found->allocated;
  entry.origin.inode = found->inode;
  entry.origin.mtime = found->mtime;
  entry.origin.crtime = found->crtime;
  entry.origin.atime = found->atime;
}

CaptureDate CaptureDateOfFile(const std::string& path, long long size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CaptureDate();
  const FileReader read = [fd](long long offset, size_t length, uint8_t* out) {
    return pread(fd, out, length, offset) == static_cast<ssize_t>(length);
  };
  const CaptureDate date = FindCaptureDate(read, size);
  close(fd);
  return date;
}

namespace {

// "2008/05/" from an ISO time "2008-05-30T15:56:01"; empty when it is not one.
std::string MonthFolder(const std::string& time) {
  if (time.size() < 7 || time[4] != '-') return std::string();
  return time.substr(0, 4) + "/" + time.substr(5, 2) + "/";
}

}  // namespace

std::string GivenName(const FileSystemCatalog& catalog, bool names, bool sortByDate,
                      const ReportFile& entry, const std::string& written) {
  const FsEntry* found = catalog.StartingAt(entry.offset);
  std::string name = names && found != nullptr ? SafeRelativePath(found->path) : "";
  if (!name.empty() && entry.damaged) name = DamagedName(name);
  if (!sortByDate) return name;
  // The date the file records itself first (a card copied elsewhere keeps the copy's times),
  // else the file system's.
  std::string month;
  if (!written.empty()) month = MonthFolder(CaptureDateOfFile(written, entry.size).time);
  if (month.empty() && found != nullptr && found->mtime > 0) {
    const time_t seconds = static_cast<time_t>(found->mtime);
    struct tm parts {};
    char text[16] = "";
    if (gmtime_r(&seconds, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m", &parts);
    month = MonthFolder(text);
  }
  if (month.empty()) return name;
  const std::string file = name.empty() ? RecoveredFileName(entry.offset, entry.damaged, entry.type)
                                        : name.substr(name.rfind('/') + 1);
  return month + file;
}

}  // namespace salvor
