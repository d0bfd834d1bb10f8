#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace salvor {

// Bytes [offset, offset + length) of the source.
struct SourceExtent {
  long long offset = 0;
  long long length = 0;
};

// A file the file systems on the source name, live or deleted.
struct FsEntry {
  std::string path;              // full path inside its file system: "/DCIM/100CANON/IMG_0001.JPG"
  long long size = 0;            // bytes, as the entry records them
  long long start = -1;          // source byte offset of the file's first data byte
  bool allocated = false;        // a live file; false for a deleted one
  unsigned long long inode = 0;  // the file system's entry number (FAT: directory entry address)
  long long mtime = 0;           // seconds since 1970 UTC; 0 when the entry keeps none
  long long crtime = 0;
  long long atime = 0;
  int fileSystem = 0;     // index into FileSystemCatalog::FileSystems()
  bool orphaned = false;  // listed by a folder the file system no longer reaches
  // Whether the file system's record says where all of the data lies (a live file's cluster
  // chain or extents, an NTFS record's run list, live or deleted). False where The Sleuth Kit
  // only guesses (a deleted FAT file: contiguous from its first cluster, as carving reads it),
  // for data it cannot give as plain bytes (resident, sparse, compressed, encrypted), and for
  // run lists too long to keep.
  bool recorded = false;
  // With `recorded`, the data's pieces in file order, `size` bytes in all, when there is more
  // than one; empty for a file in one piece.
  std::vector<SourceExtent> runs;
};

// One file system found on the source.
struct FsVolume {
  std::string type;      // "fat32", "ntfs", "ext4", ... as The Sleuth Kit names them
  long long offset = 0;  // source byte offset of its first byte
  long long length = 0;  // bytes it spans
  long long blockSize = 0;
  long long clusterSize = 0;  // FAT: bytes per cluster, from its boot sector; 0 otherwise
  int partition = -1;         // partition number in the partition table; -1: no table
  long long files = 0;        // regular files listed, live and deleted
  long long deleted = 0;
};

// A partition of the source's partition table.
struct FsPartition {
  int number = 0;        // as salvor info lists it and --partition takes it, from 1
  long long offset = 0;  // source byte offset of its first byte
  long long length = 0;
  std::string description;  // the table's own words: "Win95 FAT32 (0x0c)", "Linux (0x83)"
};

// Reads `length` bytes of the source from byte `offset` into `buffer`; false when any of them
// could not be read. Called with any offset and length.
using SourceReader = std::function<bool(long long offset, size_t length, char* buffer)>;

// The partitions and file systems on a source, read with The Sleuth Kit, and the regular files
// they list with their names, times and where their data starts. Read-only.
class FileSystemCatalog {
 public:
  // Pieces kept for one file, and for all: a file in more pieces keeps only its start.
  static constexpr size_t kMaxFileRuns = 65536;
  static constexpr size_t kMaxRuns = 4'000'000;

  // Looks for a partition table (MBR, GPT, ...) and the file systems in its partitions, or one
  // file system over the whole source, and lists their regular files. At most `maxEntries`
  // files and kMaxRuns pieces of fragmented files are kept. False when no file system was
  // found. With `freeSpace`, also lists the space no live file or file-system structure holds.
  bool Read(const SourceReader& read, long long sourceBytes, unsigned int sectorSize,
            bool freeSpace = false, size_t maxEntries = kMaxEntries);
  static constexpr size_t kMaxEntries = 1'000'000;

  // Read() in a child process, so that a file system whose damage makes the reading crash,
  // loop or allocate without bound costs the names, never the scan: the child is stopped
  // after `seconds` and may use at most `memoryBytes`. False with `failure` saying why when
  // the child did not finish ("a read of the source failed", "stopped after 300 s", ...);
  // false with `failure` empty when it finished and found no file system.
  bool ReadIsolated(const SourceReader& read, long long sourceBytes, unsigned int sectorSize,
                    bool freeSpace, int seconds, long long memoryBytes, std::string& failure);

  // The file whose data starts at source byte `offset`: a live one before a deleted one (whose
  // clusters may since hold the live file). Null when none starts there.
  const FsEntry* StartingAt(long long offset) const;

  const std::vector<FsVolume>& FileSystems() const { return FVolumes; }
  // The allocated partitions of the partition table, in table order; empty without a table.
  const std::vector<FsPartition>& Partitions() const { return FPartitions; }
  // Read with `freeSpace`: the unallocated space of every file system and the space outside
  // all of them, in source order. Gaps shorter than kFreeSpaceGap between two spans are
  // counted in, so that the list stays short (at most kMaxFreeSpans spans).
  const std::vector<SourceExtent>& FreeSpace() const { return FFree; }
  static constexpr long long kFreeSpaceGap = 1LL << 20;
  static constexpr size_t kMaxFreeSpans = 16384;
  const std::vector<FsEntry>& Entries() const { return FEntries; }
  // A file system known otherwise than by Read (a test's, a fuzzer's).
  void AddFileSystem(FsVolume volume) { FVolumes.push_back(std::move(volume)); }
  // Adds a file found after the reading (in a folder the file system no longer reaches); a
  // file already listed at the same start keeps its place. False when the catalog is full.
  bool AddFound(FsEntry entry);

  // Entries not kept because of maxEntries.
  long long Dropped() const { return FDropped; }

 private:
  friend struct CatalogWalk;
  std::string Serialized() const;
  bool Deserialize(const std::string& bytes);
  void Index();
  void ListFreeSpace(void* fileSystem, const FsVolume& volume);
  void AddFree(long long offset, long long length);
  void ListSpaceOutsideFileSystems(long long sourceBytes);
  std::vector<FsVolume> FVolumes;
  std::vector<FsPartition> FPartitions;
  std::vector<SourceExtent> FFree;
  std::vector<FsEntry> FEntries;
  std::unordered_map<long long, size_t> FByStart;
  long long FDropped = 0;
  size_t FRuns = 0;  // pieces kept in all
};

}  // namespace salvor
