#include "filesystems/OrphanFolders.h"

#include "filesystems/OnDisk.h"

#include <cstring>
#include <ctime>

namespace salvor {

namespace {

constexpr size_t kEntry = 32;
constexpr uint8_t kLongNamePart = 0x0f;
constexpr uint8_t kVolumeLabel = 0x08;
constexpr uint8_t kSubfolder = 0x10;
constexpr uint8_t kDeleted = 0xe5;
// FAT allows 65,536 entries a folder; a run of entries longer than that is not one.
constexpr long long kMaxEntries = 65536;
constexpr int kMaxDepth = 32;
// Folders and subfolder names kept; a hostile source must not grow them without end.
constexpr size_t kMaxFolders = 1'000'000;

long long FirstCluster(const uint8_t* entry) {
  return static_cast<long long>(Le16(entry + 20)) << 16 | Le16(entry + 26);
}

// "." or ".." as a folder entry: the name padded with spaces, the folder attribute set.
bool DotEntry(const uint8_t* entry, int dots) {
  for (int i = 0; i < 11; ++i)
    if (entry[i] != (i < dots ? '.' : ' ')) return false;
  return (entry[11] & kSubfolder) != 0 && (entry[11] & 0xc0) == 0;
}

// A byte of an 8.3 name: what FAT allows there.
bool ShortNameByte(uint8_t c) {
  return c >= 0x20 && std::strchr("\"*+,./:;<=>?[\\]|", c) == nullptr;
}

// A FAT date and time as seconds since 1970, read as UTC; 0 when there is none.
long long FatTime(uint16_t date, uint16_t time) {
  if (date == 0) return 0;
  std::tm parts{};
  parts.tm_year = 80 + (date >> 9);
  parts.tm_mon = ((date >> 5) & 15) - 1;
  parts.tm_mday = date & 31;
  parts.tm_hour = time >> 11;
  parts.tm_min = (time >> 5) & 63;
  parts.tm_sec = (time & 31) * 2;
  if (parts.tm_mon < 0 || parts.tm_mon > 11 || parts.tm_mday == 0) return 0;
  return static_cast<long long>(timegm(&parts));
}

// "IMG_0001.JPG", with the lower-case flags Windows sets for "img_0001.jpg".
std::string ShortName(const uint8_t* entry) {
  std::string base(reinterpret_cast<const char*>(entry), 8);
  std::string extension(reinterpret_cast<const char*>(entry) + 8, 3);
  if (static_cast<uint8_t>(base[0]) == 0x05) base[0] = static_cast<char>(kDeleted);
  base.erase(base.find_last_not_of(' ') + 1);
  extension.erase(extension.find_last_not_of(' ') + 1);
  for (char& c : base)
    if ((entry[12] & 0x08) != 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (char& c : extension)
    if ((entry[12] & 0x10) != 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return extension.empty() ? base : base + "." + extension;
}

uint8_t ShortNameChecksum(const uint8_t* entry) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
  return sum;
}

long long Key(int fileSystem, long long cluster) {
  return static_cast<long long>(fileSystem) << 40 | cluster;
}

}  // namespace

COrphanFolders::COrphanFolders(FileSystemCatalog& catalog) : FCatalog(catalog) {}

void COrphanFolders::Look(long long offset, const uint8_t* data, size_t bytes) {
  const long long end = offset + static_cast<long long>(bytes);
  if (FOpen.next >= offset && FOpen.next < end)
    Continue(FOpen.next, data + (FOpen.next - offset), static_cast<size_t>(end - FOpen.next));
  else
    FOpen.next = -1;  // the scan went elsewhere
  // "." then "..": no other entry starts with a dot, so this costs one compare a block.
  for (size_t at = 0; at + 2 * kEntry <= bytes; at += 512) {
    if (data[at] != '.' || data[at + 1] != ' ' || !DotEntry(data + at, 1) ||
        !DotEntry(data + at + kEntry, 2))
      continue;
    Start(offset + static_cast<long long>(at), data + at);
    if (FOpen.next >= 0) Continue(FOpen.next, data + at + 2 * kEntry, bytes - at - 2 * kEntry);
  }
}

void COrphanFolders::Start(long long offset, const uint8_t* folder) {
  FOpen = Reading();
  const long long cluster = FirstCluster(folder);
  if (cluster < 2 || FFolders.size() >= kMaxFolders) return;
  const std::vector<FsVolume>& volumes = FCatalog.FileSystems();
  for (size_t i = 0; i < volumes.size(); ++i) {
    const FsVolume& volume = volumes[i];
    if (volume.clusterSize <= 0 || offset < volume.offset ||
        offset >= volume.offset + volume.length)
      continue;
    // Where cluster 2 lies, by this folder's own cluster number: the file system it was
    // written in may not have had the current one's layout.
    const long long dataStart = offset - (cluster - 2) * volume.clusterSize;
    // Read once: the scan may read a block again.
    if (dataStart < volume.offset || !FFolders.insert(Key(static_cast<int>(i), cluster)).second)
      return;
    ++FFolderCount;
    FOpen.next = offset + 2 * static_cast<long long>(kEntry);
    FOpen.cluster = cluster;
    FOpen.dataStart = dataStart;
    FOpen.clusterSize = volume.clusterSize;
    FOpen.volumeEnd = volume.offset + volume.length;
    FOpen.fileSystem = static_cast<int>(i);
    return;
  }
}

void COrphanFolders::Continue(long long offset, const uint8_t* data, size_t bytes) {
  for (size_t at = 0; at + kEntry <= bytes; at += kEntry) {
    if (!Entry(data + at)) {
      FOpen.next = -1;
      return;
    }
    FOpen.next = offset + static_cast<long long>(at + kEntry);
  }
}

bool COrphanFolders::Entry(const uint8_t* entry) {
  if (entry[0] == 0 || ++FOpen.entries > kMaxEntries) return false;  // the folder's end
  const uint8_t attributes = entry[11];
  if (attributes == kLongNamePart) {
    const int order = entry[0] & 0x1f;
    if (entry[0] == kDeleted) {
      FOpen.longName.clear();
      return true;
    }
    if (order == 0 || order > 20) return false;
    if ((entry[0] & 0x40) != 0) {
      FOpen.longName.clear();
      FOpen.longChecksum = entry[13];
    }
    // 13 UTF-16 units a part, at 1, 14 and 28; the parts come last first.
    std::u16string part;
    for (int i : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
      part += static_cast<char16_t>(Le16(entry + i));
    FOpen.longName = part + FOpen.longName;
    return true;
  }
  if ((attributes & 0xc0) != 0) return false;
  for (int i = entry[0] == kDeleted ? 1 : 0; i < 11; ++i)
    if (!ShortNameByte(entry[i])) return false;
  std::u16string longName;
  longName.swap(FOpen.longName);
  if ((attributes & kVolumeLabel) != 0 || entry[0] == '.') return true;
  const bool deleted = entry[0] == kDeleted;
  std::string name = !longName.empty() && ShortNameChecksum(entry) == FOpen.longChecksum
                         ? Utf8(longName)
                         : ShortName(entry);
  if (deleted && !name.empty() && name[0] == static_cast<char>(kDeleted)) name[0] = '_';
  const long long cluster = FirstCluster(entry);
  if ((attributes & kSubfolder) != 0) {
    if (cluster >= 2 && FNames.size() < kMaxFolders)
      FNames.emplace(Key(FOpen.fileSystem, cluster), Named{FOpen.cluster, name});
    return true;
  }
  const long long size = Le32(entry + 28);
  // A file's first cluster lies in its file system.
  if (cluster < 2 || size <= 0 ||
      cluster - 2 >= (FOpen.volumeEnd - FOpen.dataStart) / FOpen.clusterSize)
    return true;
  FsEntry file;
  file.path = PathOf(FOpen.cluster) + "/" + name;
  file.size = size;
  file.start = FOpen.dataStart + (cluster - 2) * FOpen.clusterSize;
  file.allocated = false;
  file.mtime = FatTime(Le16(entry + 24), Le16(entry + 22));
  file.crtime = FatTime(Le16(entry + 16), Le16(entry + 14));
  file.atime = FatTime(Le16(entry + 18), 0);
  file.fileSystem = FOpen.fileSystem;
  file.orphaned = true;
  if (FCatalog.AddFound(std::move(file))) ++FFileCount;
  return true;
}

std::string COrphanFolders::PathOf(long long cluster) const {
  std::string path;
  for (int depth = 0; depth < kMaxDepth && cluster >= 2; ++depth) {
    const long long key = Key(FOpen.fileSystem, cluster);
    auto named = FNames.find(key);
    if (named == FNames.end()) {
      // A folder whose name was in its parent, since overwritten (the root, after a format).
      return "/Folder at cluster " + std::to_string(cluster) + path;
    }
    path = "/" + named->second.name + path;
    cluster = named->second.parent;
  }
  return path;
}

}  // namespace salvor
