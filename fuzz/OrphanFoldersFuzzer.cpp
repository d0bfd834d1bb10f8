// Folders a quick format cut off, looked for in hostile blocks as the scan hands them over in
// pieces: whatever the bytes, the search ends, keeps its bounds, and what it adds to the
// catalog lies in the file system with a path of bounded depth.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "filesystems/OrphanFolders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  salvor::FileSystemCatalog catalog;
  salvor::FsVolume fat;
  fat.type = "fat32";
  fat.length = 1LL << 40;
  fat.clusterSize = 512LL << (data[0] % 8);
  catalog.AddFileSystem(fat);
  salvor::COrphanFolders orphans(catalog);
  // The scan's reads: whole blocks, split where the first byte says, the rest in order.
  const size_t blocks = (size - 1) / 512;
  const size_t first = blocks == 0 ? 0 : (data[0] % blocks);
  orphans.Look(0, data + 1, first * 512);
  orphans.Look(static_cast<long long>(first) * 512, data + 1 + first * 512,
               (blocks - first) * 512);
  for (const salvor::FsEntry& entry : catalog.Entries()) {
    if (entry.start < 0 || entry.size <= 0 || entry.path.empty() || entry.path[0] != '/' ||
        entry.path.size() > 64 * 1024)
      std::abort();
  }
  if (orphans.Files() != static_cast<long long>(catalog.Entries().size())) std::abort();
  return 0;
}
