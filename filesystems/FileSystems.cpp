#include "filesystems/FileSystems.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

// Exported by libtsk for callers that bring their own image type (pytsk does), but declared
// only in its internal headers: the image header must come from them, as tsk_img_close frees it.
extern "C" {
void* tsk_img_malloc(size_t size);
void tsk_img_free(void* image);
}

namespace salvor {

namespace {

// The source as an image The Sleuth Kit reads: its image header first, as it requires.
struct SourceImage {
  TSK_IMG_INFO info;
  const SourceReader* read;
};

ssize_t ReadSource(TSK_IMG_INFO* image, TSK_OFF_T offset, char* buffer, size_t length) {
  auto* source = reinterpret_cast<SourceImage*>(image);
  if (offset < 0 || offset >= image->size) return -1;
  if (static_cast<TSK_OFF_T>(length) > image->size - offset)
    length = static_cast<size_t>(image->size - offset);
  return (*source->read)(offset, length, buffer) ? static_cast<ssize_t>(length) : -1;
}

void CloseSource(TSK_IMG_INFO* image) {
  tsk_img_free(image);
}

void NoStat(TSK_IMG_INFO*, FILE*) {}

}  // namespace

// What the directory walk of one file system adds to the catalog.
struct CatalogWalk {
  FileSystemCatalog* catalog;
  int volume;
  size_t maxEntries;

  static TSK_WALK_RET_ENUM FirstBlock(TSK_FS_FILE*, TSK_OFF_T, TSK_DADDR_T address, char*, size_t,
                                      TSK_FS_BLOCK_FLAG_ENUM flags, void* found) {
    if ((flags & TSK_FS_BLOCK_FLAG_RAW) == 0 || (flags & TSK_FS_BLOCK_FLAG_SPARSE) != 0)
      return TSK_WALK_STOP;
    *static_cast<TSK_DADDR_T*>(found) = address;
    return TSK_WALK_STOP;
  }

  // The pieces of the file's data as its record gives them, into entry.runs (see FsEntry).
  void RecordRuns(TSK_FS_FILE* file, const FsVolume& volume, FsEntry& entry) {
    // A deleted FAT or exFAT file has no chain left: The Sleuth Kit guesses contiguous
    // clusters. An NTFS record keeps its run list after deletion; ext2/3/4 clear theirs.
    if (!entry.allocated && !TSK_FS_TYPE_ISNTFS(file->fs_info->ftype)) return;
    const TSK_FS_ATTR* attr = tsk_fs_file_attr_get(file);
    tsk_error_reset();
    if (attr == nullptr || (attr->flags & TSK_FS_ATTR_NONRES) == 0 ||
        (attr->flags & (TSK_FS_ATTR_COMP | TSK_FS_ATTR_ENC | TSK_FS_ATTR_SPARSE)) != 0 ||
        attr->nrd.skiplen != 0 || attr->nrd.initsize < entry.size)
      return;
    std::vector<SourceExtent> runs;
    long long blocks = 0, bytes = 0;
    for (const TSK_FS_ATTR_RUN* run = attr->nrd.run; run != nullptr && bytes < entry.size;
         run = run->next) {
      if ((run->flags & (TSK_FS_ATTR_RUN_FLAG_FILLER | TSK_FS_ATTR_RUN_FLAG_SPARSE)) != 0 ||
          static_cast<long long>(run->offset) != blocks || run->len == 0 ||
          run->len > static_cast<TSK_DADDR_T>(LLONG_MAX / 2 / volume.blockSize) ||
          run->addr > static_cast<TSK_DADDR_T>(LLONG_MAX / 2 / volume.blockSize))
        return;
      const long long offset = volume.offset + static_cast<long long>(run->addr) * volume.blockSize;
      const long long length =
          std::min(static_cast<long long>(run->len) * volume.blockSize, entry.size - bytes);
      blocks += static_cast<long long>(run->len);
      bytes += length;
      if (!runs.empty() && runs.back().offset + runs.back().length == offset) {
        runs.back().length += length;
        continue;
      }
      if (runs.size() >= FileSystemCatalog::kMaxFileRuns) return;
      runs.push_back({offset, length});
    }
    if (bytes < entry.size || runs.empty() || runs.front().offset != entry.start) return;
    if (runs.size() > 1) {
      FileSystemCatalog& catalog = *this->catalog;
      if (catalog.FRuns + runs.size() > FileSystemCatalog::kMaxRuns) return;
      catalog.FRuns += runs.size();
      entry.runs = std::move(runs);
    }
    entry.recorded = true;
  }

  static TSK_WALK_RET_ENUM Visit(TSK_FS_FILE* file, const char* folder, void* context) {
    auto* walk = static_cast<CatalogWalk*>(context);
    const TSK_FS_NAME* name = file->name;
    const TSK_FS_META* meta = file->meta;
    if (name == nullptr || meta == nullptr || meta->type != TSK_FS_META_TYPE_REG || meta->size <= 0)
      return TSK_WALK_CONT;
    // NTFS's and exFAT's own files ($MFT, $Bitmap, $UpCase, ...) at the root are no one's
    // photos.
    if (folder[0] == '\0' && name->name != nullptr && name->name[0] == '$' &&
        (TSK_FS_TYPE_ISNTFS(file->fs_info->ftype) || file->fs_info->ftype == TSK_FS_TYPE_EXFAT))
      return TSK_WALK_CONT;
    const bool nameLive = (name->flags & TSK_FS_NAME_FLAG_ALLOC) != 0;
    const bool metaLive = (meta->flags & TSK_FS_META_FLAG_ALLOC) != 0;
    // A deleted name whose entry was given to another file: the data is that file's.
    if (!nameLive && metaLive) return TSK_WALK_CONT;
    FileSystemCatalog& catalog = *walk->catalog;
    FsVolume& volume = catalog.FVolumes[static_cast<size_t>(walk->volume)];
    ++volume.files;
    if (!nameLive) ++volume.deleted;
    if (catalog.FEntries.size() >= walk->maxEntries) {
      ++catalog.FDropped;
      return TSK_WALK_CONT;
    }
    TSK_DADDR_T first = 0;
    const int walked =
        tsk_fs_file_walk(file,
                         static_cast<TSK_FS_FILE_WALK_FLAG_ENUM>(TSK_FS_FILE_WALK_FLAG_AONLY |
                                                                 TSK_FS_FILE_WALK_FLAG_NOSPARSE),
                         FirstBlock, &first);
    tsk_error_reset();
    FsEntry entry;
    entry.path = "/" + std::string(folder) + name->name;
    entry.size = meta->size;
    entry.start = walked == 0 && first != 0
                      ? volume.offset + static_cast<long long>(first) * volume.blockSize
                      : -1;
    entry.allocated = nameLive && metaLive;
    entry.inode = meta->addr;
    entry.mtime = meta->mtime;
    entry.crtime = meta->crtime;
    entry.atime = meta->atime;
    entry.fileSystem = walk->volume;
    if (entry.start >= 0) walk->RecordRuns(file, volume, entry);
    catalog.FEntries.push_back(std::move(entry));
    return TSK_WALK_CONT;
  }
};

namespace {

TSK_WALK_RET_ENUM AddFreeBlock(const TSK_FS_BLOCK* block, void* context) {
  auto* runs = static_cast<std::vector<SourceExtent>*>(context);
  const long long address = static_cast<long long>(block->addr);
  if (!runs->empty() && runs->back().offset + runs->back().length == address)
    ++runs->back().length;
  else
    runs->push_back({address, 1});
  // Runs of blocks until merged: a badly split file system must not grow this without bound.
  return runs->size() < 4 * FileSystemCatalog::kMaxFreeSpans ? TSK_WALK_CONT : TSK_WALK_STOP;
}

}  // namespace

void FileSystemCatalog::ListFreeSpace(void* fileSystem, const FsVolume& volume) {
  auto* fs = static_cast<TSK_FS_INFO*>(fileSystem);
  std::vector<SourceExtent> runs;
  tsk_fs_block_walk(fs, fs->first_block, fs->last_block,
                    static_cast<TSK_FS_BLOCK_WALK_FLAG_ENUM>(TSK_FS_BLOCK_WALK_FLAG_UNALLOC |
                                                             TSK_FS_BLOCK_WALK_FLAG_AONLY),
                    AddFreeBlock, &runs);
  tsk_error_reset();
  for (const SourceExtent& run : runs)
    AddFree(volume.offset + run.offset * volume.blockSize, run.length * volume.blockSize);
}

void FileSystemCatalog::AddFree(long long offset, long long length) {
  if (length <= 0) return;
  if (!FFree.empty() && offset - (FFree.back().offset + FFree.back().length) < kFreeSpaceGap &&
      offset >= FFree.back().offset) {
    FFree.back().length = std::max(FFree.back().length, offset + length - FFree.back().offset);
    return;
  }
  FFree.push_back({offset, length});
}

bool FileSystemCatalog::Read(const SourceReader& read, long long sourceBytes,
                             unsigned int sectorSize, bool freeSpace, size_t maxEntries) {
  FVolumes.clear();
  FPartitions.clear();
  FFree.clear();
  FEntries.clear();
  FByStart.clear();
  FDropped = 0;
  FRuns = 0;
  auto* source = static_cast<SourceImage*>(tsk_img_malloc(sizeof(SourceImage)));
  if (source == nullptr) return false;
  source->read = &read;
  TSK_IMG_INFO* image =
      tsk_img_open_external(source, sourceBytes, sectorSize, ReadSource, CloseSource, NoStat);
  if (image == nullptr) {
    tsk_img_free(source);
    tsk_error_reset();
    return false;
  }
  // The file systems to list: those in the partitions of a table, or one over the source.
  std::vector<std::pair<long long, int>> starts;
  if (TSK_VS_INFO* table = tsk_vs_open(image, 0, TSK_VS_TYPE_DETECT)) {
    for (TSK_PNUM_T i = 0; i < table->part_count; ++i) {
      const TSK_VS_PART_INFO* part = tsk_vs_part_get(table, i);
      if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
      FsPartition partition;
      partition.number = static_cast<int>(part->slot_num) + 1;
      partition.offset = static_cast<long long>(part->start) * table->block_size;
      partition.length = static_cast<long long>(part->len) * table->block_size;
      partition.description = part->desc != nullptr ? part->desc : "";
      FPartitions.push_back(partition);
      starts.emplace_back(partition.offset, partition.number);
    }
    tsk_vs_close(table);
  }
  tsk_error_reset();
  if (starts.empty()) starts.emplace_back(0, -1);
  for (const auto& [offset, partition] : starts) {
    TSK_FS_INFO* fs = tsk_fs_open_img(image, offset, TSK_FS_TYPE_DETECT);
    if (fs == nullptr) {
      tsk_error_reset();
      continue;
    }
    FsVolume volume;
    volume.type = tsk_fs_type_toname(fs->ftype);
    volume.offset = offset;
    volume.length = static_cast<long long>(fs->block_count) * fs->block_size;
    volume.blockSize = fs->block_size;
    volume.partition = partition;
    if (TSK_FS_TYPE_ISFAT(fs->ftype)) {
      // Bytes per sector (at 11, little-endian) times sectors per cluster (at 13).
      unsigned char boot[14];
      if (read(offset, sizeof boot, reinterpret_cast<char*>(boot)))
        volume.clusterSize = static_cast<long long>(boot[11] | boot[12] << 8) * boot[13];
    }
    FVolumes.push_back(volume);
    CatalogWalk walk{this, static_cast<int>(FVolumes.size() - 1), maxEntries};
    // Looking for FAT's orphaned files would read every cluster of the card before the scan
    // reads them again; the scan finds their folders itself as it goes (OrphanFolders).
    int flags =
        TSK_FS_DIR_WALK_FLAG_ALLOC | TSK_FS_DIR_WALK_FLAG_UNALLOC | TSK_FS_DIR_WALK_FLAG_RECURSE;
    if (TSK_FS_TYPE_ISFAT(fs->ftype)) flags |= TSK_FS_DIR_WALK_FLAG_NOORPHAN;
    tsk_fs_dir_walk(fs, fs->root_inum, static_cast<TSK_FS_DIR_WALK_FLAG_ENUM>(flags),
                    CatalogWalk::Visit, &walk);
    tsk_error_reset();
    if (freeSpace) ListFreeSpace(fs, volume);
    tsk_fs_close(fs);
  }
  tsk_img_close(image);
  if (freeSpace) ListSpaceOutsideFileSystems(sourceBytes);
  Index();
  return !FVolumes.empty();
}

void FileSystemCatalog::ListSpaceOutsideFileSystems(long long sourceBytes) {
  std::vector<SourceExtent> spans = FFree;
  long long covered = 0;
  std::vector<FsVolume> volumes = FVolumes;
  std::sort(volumes.begin(), volumes.end(),
            [](const FsVolume& a, const FsVolume& b) { return a.offset < b.offset; });
  for (const FsVolume& volume : volumes) {
    if (volume.offset > covered) spans.push_back({covered, volume.offset - covered});
    covered = std::max(covered, volume.offset + volume.length);
  }
  if (sourceBytes > covered) spans.push_back({covered, sourceBytes - covered});
  std::sort(spans.begin(), spans.end(),
            [](const SourceExtent& a, const SourceExtent& b) { return a.offset < b.offset; });
  // Merged over ever larger gaps until the list is short enough to scan span by span.
  for (long long gap = kFreeSpaceGap;; gap *= 4) {
    FFree.clear();
    for (const SourceExtent& span : spans) {
      if (!FFree.empty() && span.offset - (FFree.back().offset + FFree.back().length) < gap)
        FFree.back().length =
            std::max(FFree.back().length, span.offset + span.length - FFree.back().offset);
      else
        FFree.push_back(span);
    }
    if (FFree.size() <= kMaxFreeSpans) break;
  }
}

void FileSystemCatalog::Index() {
  FByStart.clear();
  for (size_t index = 0; index < FEntries.size(); ++index) {
    const FsEntry& entry = FEntries[index];
    if (entry.start < 0) continue;
    auto existing = FByStart.find(entry.start);
    if (existing == FByStart.end())
      FByStart.emplace(entry.start, index);
    else if (entry.allocated && !FEntries[existing->second].allocated)
      existing->second = index;
  }
}

bool FileSystemCatalog::AddFound(FsEntry entry) {
  if (FEntries.size() >= kMaxEntries) {
    ++FDropped;
    return false;
  }
  FEntries.push_back(std::move(entry));
  const FsEntry& added = FEntries.back();
  if (added.start >= 0) FByStart.emplace(added.start, FEntries.size() - 1);
  return true;
}

const FsEntry* FileSystemCatalog::StartingAt(long long offset) const {
  auto found = FByStart.find(offset);
  return found == FByStart.end() ? nullptr : &FEntries[found->second];
}

}  // namespace salvor
