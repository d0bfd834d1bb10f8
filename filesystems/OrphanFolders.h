#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "filesystems/FileSystems.h"

namespace salvor {

// FAT folders the file system no longer reaches. A quick format writes a new, empty root
// folder and FAT, but the old subfolders' clusters (DCIM/100CANON) keep their entries until
// they are overwritten. Every FAT subfolder starts with its "." and ".." entries; the scan
// hands each run of blocks it reads to Look(), which finds those folders and adds their
// files to the catalog as deleted, with the folder path as far as it can be told, so that
// the recovered files get their names back.
class COrphanFolders {
 public:
  // Folders are looked for inside the catalog's FAT file systems, whose cluster size places
  // the files they list.
  explicit COrphanFolders(FileSystemCatalog& catalog);

  // Blocks the scan read: `bytes` bytes from source byte `offset`, a block boundary. Costs a
  // byte compare per 512 bytes where no folder starts.
  void Look(long long offset, const uint8_t* data, size_t bytes);

  long long Folders() const { return FFolderCount; }
  long long Files() const { return FFileCount; }

 private:
  // A folder being read entry by entry, possibly across reads.
  struct Reading {
    long long next = -1;  // source byte of its next entry; -1: none open
    long long cluster = 0;
    long long dataStart = 0;  // source byte of cluster 2
    long long clusterSize = 0;
    long long volumeEnd = 0;  // source byte after the file system
    int fileSystem = 0;
    long long entries = 0;
    std::u16string longName;  // parts of a long name seen so far, last part first
    uint8_t longChecksum = 0;
  };
  // What the parent folder's entry says of a subfolder.
  struct Named {
    long long parent = 0;
    std::string name;
  };

  void Start(long long offset, const uint8_t* folder);
  // Reads entries from `data` (at source byte `offset`) while they belong to the open folder.
  void Continue(long long offset, const uint8_t* data, size_t bytes);
  // False when the entry cannot be a folder entry: the folder ends there.
  bool Entry(const uint8_t* entry);
  std::string PathOf(long long cluster) const;

  FileSystemCatalog& FCatalog;
  Reading FOpen;
  std::unordered_set<long long> FFolders;       // folders read, by file system and cluster
  std::unordered_map<long long, Named> FNames;  // subfolder -> its parent and name there
  long long FFolderCount = 0;
  long long FFileCount = 0;
};

}  // namespace salvor
