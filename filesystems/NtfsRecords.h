#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "filesystems/FileSystems.h"

namespace salvor {

// NTFS file records the file system no longer lists. A quick format writes a new, small MFT,
// and the old one's records past it (each starting "FILE") keep a file's name, parent folder,
// times and run list until they are overwritten. The scan hands each run of blocks it reads
// to Look(), which finds those records inside the catalog's NTFS file systems and adds their
// files as deleted, with their pieces, so that they come back named and whole, fragmented or
// not. Records the catalog already lists (by where their data starts) are left to it.
class CNtfsRecords {
 public:
  explicit CNtfsRecords(FileSystemCatalog& catalog);

  // Blocks the scan read: `bytes` bytes from source byte `offset`, a block boundary. Costs a
  // compare per 512 bytes where no record starts.
  void Look(long long offset, const uint8_t* data, size_t bytes);

  long long Records() const { return FRecordCount; }
  long long Files() const { return FFileCount; }

 private:
  struct Named {
    long long parent = 0;
    std::string name;
  };
  // One record of `size` bytes at source byte `offset`, its fixups applied in `record`.
  void Record(long long offset, uint8_t* record, size_t size, int fileSystem);
  std::string PathOf(int fileSystem, long long parent) const;

  FileSystemCatalog& FCatalog;
  std::unordered_set<long long> FSeen;            // records read, by where they lie
  std::unordered_map<long long, Named> FFolders;  // folder records by file system and number
  long long FRecordCount = 0;
  long long FFileCount = 0;
};

}  // namespace salvor
