#include "filesystems/NtfsRecords.h"

#include "filesystems/OnDisk.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace salvor {

namespace {

constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;
constexpr uint32_t kEnd = 0xffffffff;
constexpr uint16_t kFolder = 0x02;
constexpr long long kRoot = 5;
// Records below this number are the file system's own ($MFT, $Bitmap, ...) or reserved.
constexpr long long kFirstUserRecord = 24;
constexpr size_t kMaxRecord = 4096;
constexpr size_t kMaxRuns = 65536;
constexpr size_t kMaxFolders = 1'000'000;
constexpr int kMaxDepth = 32;
// A DOS name (8.3) stands beside a long one: the long one is the file's.
constexpr uint8_t kDosNamespace = 2;

// 100 ns units since 1601 as seconds since 1970; 0 when there is no time.
long long FileTime(uint64_t time) {
  return time == 0 ? 0 : static_cast<long long>(time / 10000000) - 11644473600LL;
}

long long Key(int fileSystem, long long record) {
  return static_cast<long long>(fileSystem) << 40 | (record & 0xffffffffffLL);
}

// The data runs of a non-resident attribute, [at, end) of the record, as bytes of the source;
// false for sparse runs or runs outside the file system.
bool DecodeRuns(const uint8_t* record, size_t at, size_t end, const FsVolume& volume,
                std::vector<SourceExtent>& runs) {
  long long cluster = 0;
  while (at < end && record[at] != 0) {
    const int lengthBytes = record[at] & 0x0f, offsetBytes = record[at] >> 4;
    ++at;
    // A run with no offset is sparse: no bytes on the disk to read.
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes == 0 || offsetBytes > 8 ||
        at + lengthBytes + offsetBytes > end || runs.size() >= kMaxRuns)
      return false;
    uint64_t clusters = 0;
    for (int i = lengthBytes - 1; i >= 0; --i) clusters = clusters << 8 | record[at + i];
    at += static_cast<size_t>(lengthBytes);
    int64_t delta = static_cast<int8_t>(record[at + offsetBytes - 1]);
    for (int i = offsetBytes - 2; i >= 0; --i)
      delta = static_cast<int64_t>(static_cast<uint64_t>(delta) << 8 | record[at + i]);
    at += static_cast<size_t>(offsetBytes);
    const long long clusterSize = volume.blockSize;
    const long long limit = volume.length / std::max(1LL, clusterSize);
    if (delta < -cluster || delta > limit - cluster) return false;
    cluster += delta;
    if (clusters == 0 || clusters > static_cast<uint64_t>(limit - cluster)) return false;
    const long long offset = volume.offset + cluster * clusterSize;
    const long long length = static_cast<long long>(clusters) * clusterSize;
    if (!runs.empty() && runs.back().offset + runs.back().length == offset)
      runs.back().length += length;
    else
      runs.push_back({offset, length});
  }
  return !runs.empty();
}

}  // namespace

CNtfsRecords::CNtfsRecords(FileSystemCatalog& catalog) : FCatalog(catalog) {}

void CNtfsRecords::Look(long long offset, const uint8_t* data, size_t bytes) {
  const std::vector<FsVolume>& volumes = FCatalog.FileSystems();
  for (size_t at = 0; at + 1024 <= bytes; at += 512) {
    if (data[at] != 'F' || std::memcmp(data + at, "FILE", 4) != 0) continue;
    const long long where = offset + static_cast<long long>(at);
    int fileSystem = -1;
    for (size_t i = 0; i < volumes.size() && fileSystem < 0; ++i) {
      if (volumes[i].type.compare(0, 4, "ntfs") == 0 && volumes[i].blockSize > 0 &&
          where >= volumes[i].offset && where < volumes[i].offset + volumes[i].length)
        fileSystem = static_cast<int>(i);
    }
    if (fileSystem < 0) continue;
    const uint8_t* header = data + at;
    const size_t size = Le32(header + 0x1c);
    const size_t fixups = Le16(header + 0x06), fixupsAt = Le16(header + 0x04);
    if ((size != 1024 && size != 2048 && size != 4096) || at + size > bytes || fixups < 2 ||
        size % (fixups - 1) != 0 || fixupsAt + 2 * fixups > size || Le64(header + 0x20) != 0 ||
        !FSeen.insert(where).second)
      continue;
    // Each sector of the record ends with the record's update number; the bytes it stands
    // for are kept in the update array.
    uint8_t record[kMaxRecord];
    std::memcpy(record, header, size);
    const size_t sector = size / (fixups - 1);
    bool whole = sector >= 512;
    for (size_t i = 1; whole && i < fixups; ++i) {
      uint8_t* last = record + i * sector - 2;
      whole = std::memcmp(last, record + fixupsAt, 2) == 0;
      std::memcpy(last, record + fixupsAt + 2 * i, 2);
    }
    if (!whole) continue;
    ++FRecordCount;
    Record(where, record, size, fileSystem);
  }
}

void CNtfsRecords::Record(long long, uint8_t* record, size_t size, int fileSystem) {
  const FsVolume& volume = FCatalog.FileSystems()[static_cast<size_t>(fileSystem)];
  const size_t used = std::min<size_t>(Le32(record + 0x18), size);
  const long long number = Le32(record + 0x2c);
  const bool folder = (Le16(record + 0x16) & kFolder) != 0;
  std::string name;
  uint8_t nameSpace = 0;
  long long parent = -1;
  FsEntry file;
  long long dataSize = -1;
  std::vector<SourceExtent> runs;
  bool plain = true;  // the data is on the disk as it is: not compressed, sparse or partial
  for (size_t at = Le16(record + 0x14); at + 24 <= used;) {
    const uint32_t type = Le32(record + at), length = Le32(record + at + 4);
    if (type == kEnd || length < 24 || length > used - at) break;
    const uint8_t* attribute = record + at;
    const bool resident = attribute[8] == 0;
    const uint8_t nameLength = attribute[9];
    const size_t valueLength = Le32(attribute + 16), valueAt = Le16(attribute + 20);
    const bool value = resident && valueAt + valueLength <= length;
    if (type == kStandardInformation && value && valueLength >= 32) {
      file.crtime = FileTime(Le64(attribute + valueAt));
      file.mtime = FileTime(Le64(attribute + valueAt + 8));
      file.atime = FileTime(Le64(attribute + valueAt + 24));
    } else if (type == kFileName && value && valueLength >= 66) {
      const uint8_t* fileName = attribute + valueAt;
      const size_t units = fileName[64];
      if (66 + 2 * units <= valueLength && (name.empty() || nameSpace == kDosNamespace)) {
        name = Utf8(Utf16(fileName + 66, units));
        nameSpace = fileName[65];
        parent = static_cast<long long>(Le64(fileName) & 0xffffffffffffULL);
      }
    } else if (type == kData && nameLength == 0 && !resident && length >= 64) {
      // The first extent of the file's data, uncompressed; its size and what was written.
      const size_t runsAt = Le16(attribute + 32);
      plain = Le64(attribute + 16) == 0 && Le16(attribute + 34) == 0 && runsAt < length &&
              Le64(attribute + 56) >= Le64(attribute + 48) &&
              DecodeRuns(record, at + runsAt, at + length, volume, runs);
      dataSize = static_cast<long long>(Le64(attribute + 48));
    }
    at += length;
  }
  if (name.empty() || parent < 0) return;
  if (folder) {
    if (FFolders.size() < kMaxFolders) FFolders[Key(fileSystem, number)] = {parent, name};
    return;
  }
  if (number < kFirstUserRecord || !plain || dataSize <= 0) return;
  long long have = 0;
  for (const SourceExtent& run : runs) have += run.length;
  if (have < dataSize || FCatalog.StartingAt(runs.front().offset) != nullptr) return;
  // The last run ends where the data does.
  for (long long over = have - dataSize; over > 0 && !runs.empty();) {
    const long long cut = std::min(over, runs.back().length);
    runs.back().length -= cut;
    over -= cut;
    if (runs.back().length == 0) runs.pop_back();
  }
  file.path = PathOf(fileSystem, parent) + "/" + name;
  file.size = dataSize;
  file.start = runs.front().offset;
  file.allocated = false;
  file.inode = static_cast<unsigned long long>(number);
  file.fileSystem = fileSystem;
  file.orphaned = true;
  file.recorded = true;
  if (runs.size() > 1) file.runs = std::move(runs);
  if (FCatalog.AddFound(std::move(file))) ++FFileCount;
}

std::string CNtfsRecords::PathOf(int fileSystem, long long parent) const {
  std::string path;
  for (int depth = 0; depth < kMaxDepth && parent != kRoot; ++depth) {
    auto found = FFolders.find(Key(fileSystem, parent));
    if (found == FFolders.end()) return "/Folder record " + std::to_string(parent) + path;
    path = "/" + found->second.name + path;
    parent = found->second.parent;
  }
  return path;
}

}  // namespace salvor
