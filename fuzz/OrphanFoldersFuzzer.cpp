// FAT folders and NTFS records a quick format cut off, looked for in hostile blocks as the scan
// hands them over in pieces: whatever the bytes, the search ends, keeps its bounds, and what
// it adds to the catalog lies in the file system, its pieces too, with a path of bounded
// length. The first byte picks the file system and its cluster size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "filesystems/NtfsRecords.h"
#include "filesystems/OrphanFolders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  salvor::FileSystemCatalog catalog;
  const bool ntfs = (data[0] & 0x80) != 0;
  salvor::FsVolume volume;
  volume.type = ntfs ? "ntfs" : "fat32";
  volume.length = 1LL << 40;
  volume.blockSize = ntfs ? 512LL << (data[0] % 8) : 512;
  volume.clusterSize = ntfs ? 0 : 512LL << (data[0] % 8);
  catalog.AddFileSystem(volume);
  salvor::COrphanFolders folders(catalog);
  salvor::CNtfsRecords records(catalog);
  // The scan's reads: whole blocks, split where the first byte says, the rest in order.
  const size_t blocks = (size - 1) / 512;
  const size_t first = blocks == 0 ? 0 : (data[0] % blocks);
  for (const auto& [at, length] : {std::make_pair(size_t{0}, first * 512),
                                   std::make_pair(first * 512, (blocks - first) * 512)}) {
    if (ntfs)
      records.Look(static_cast<long long>(at), data + 1 + at, length);
    else
      folders.Look(static_cast<long long>(at), data + 1 + at, length);
  }
  for (const salvor::FsEntry& entry : catalog.Entries()) {
    if (entry.start < 0 || entry.size <= 0 || entry.path.empty() || entry.path[0] != '/' ||
        entry.path.size() > 64 * 1024 || entry.start >= volume.length)
      std::abort();
    long long bytes = 0;
    for (const salvor::SourceExtent& run : entry.runs) {
      if (run.offset < 0 || run.length <= 0 || run.offset + run.length > volume.length)
        std::abort();
      bytes += run.length;
    }
    if (!entry.runs.empty() && bytes != entry.size) std::abort();
  }
  if (folders.Files() + records.Files() != static_cast<long long>(catalog.Entries().size()))
    std::abort();
  return 0;
}
