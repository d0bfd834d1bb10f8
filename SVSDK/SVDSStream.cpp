#include "SVSDK/SVDSStream.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "salvor/CDataSource.h"
#include "SVSDK/SeekTarget.h"
#include "util/SVAssert.h"

namespace SV {

// ---------------------------------------------------------------------------------------------
// CVCache

CVCache::CVCache(long long blockSize, long long chunkBlocks, long long cacheSize)
    : FChunkBlocks(chunkBlocks), FBlockSize(blockSize) {
  long long chunkBytes = 0;
  if (blockSize <= 0 || chunkBlocks <= 0 ||
      __builtin_mul_overflow(blockSize, chunkBlocks, &chunkBytes)) {
    return;  // no chunk can be held: the cache stays without buffers
  }
  const long long buffers = cacheSize / chunkBytes;
  for (long long i = 0; i < buffers; ++i) {
    auto* buffer = static_cast<unsigned char*>(malloc(static_cast<size_t>(chunkBytes)));
    if (buffer == nullptr) break;  // a smaller cache still works
    FFree.push_back(buffer);
  }
}

CVCache::~CVCache() {
  for (unsigned char* buffer : FFree) free(buffer);
  for (auto& entry : FUsed) free(entry.second.first);
  FLRU.clear();
}

void CVCache::MakeRecent(long long chunkStart, unsigned char* buffer) {
  FRecentStart = chunkStart;
  FRecentBuffer = buffer;
}

unsigned char* CVCache::FindInUse(long long index) {
  auto next = FUsed.upper_bound(index);
  if (next == FUsed.begin()) return nullptr;
  auto mi = std::prev(next);
  const long long chunkStart = mi->first;
  SV_ASSERT(index >= chunkStart, "Index>=ChunkStart");
  if (index - chunkStart >= FChunkBlocks) return nullptr;
  // Splicing moves the chunk's own FLRU entry to the front: no list node is allocated.
  FLRU.splice(FLRU.begin(), FLRU, mi->second.second);
  mi->second.second = FLRU.begin();
  MakeRecent(chunkStart, mi->second.first);
  return mi->second.first + FBlockSize * (index - chunkStart);
}

void CVCache::NoteOverlap(decltype(FUsed)::iterator entry) {
  if (entry != FUsed.begin()) {
    auto before = std::prev(entry);
    if (entry->first - before->first < FChunkBlocks) FOverlapSeen = true;
  }
  auto after = std::next(entry);
  if (after != FUsed.end() && after->first - entry->first < FChunkBlocks) FOverlapSeen = true;
}

unsigned char* CVCache::GetAddPointer(long long chunkStart) {
  if (FFree.empty()) {
    if (FUsed.empty()) return nullptr;
    // Evict the least recently used chunk. Its buffer would go to the back of the empty free
    // list and straight out again, so it passes directly to the new chunk, and the map and
    // list nodes are reused rather than freed and allocated again.
    auto mi = FUsed.find(FLRU.back());
    SV_ASSERT(mi != FUsed.end(), "mi != FUsed.end()");
    unsigned char* buffer = mi->second.first;
    auto node = FUsed.extract(mi);
    FLRU.splice(FLRU.begin(), FLRU, std::prev(FLRU.end()));
    FLRU.front() = chunkStart;
    node.key() = chunkStart;
    node.mapped().second = FLRU.begin();
    auto inserted = FUsed.insert(std::move(node));
    NoteOverlap(inserted.position);
    MakeRecent(chunkStart, buffer);
    return buffer;
  }
  unsigned char* buffer = FFree.front();
  FFree.pop_front();
  FLRU.push_front(chunkStart);
  auto inserted = FUsed.emplace(chunkStart, std::make_pair(buffer, FLRU.begin()));
  NoteOverlap(inserted.first);
  MakeRecent(chunkStart, buffer);
  return buffer;
}

void CVCache::DeleteChunk(long long chunkStart) {
  auto mi = FUsed.find(chunkStart);
  SV_ASSERT(mi != FUsed.end(), "mi != FUsed.end()");
  if (mi->second.second == FLRU.begin()) FRecentBuffer = nullptr;
  FLRU.erase(mi->second.second);
  FFree.push_back(mi->second.first);
  FUsed.erase(mi);
}

// ---------------------------------------------------------------------------------------------
// CSVDSStream

CSVDSStream::CSVDSStream(::CPhotoRecovery* engine, AccessCheck check, CDataSource* source,
                         long long cacheSize, long long readAhead)
    : FEngine(engine),
      FSource(source),
      FSize(0),
      FPosition(0),
      FReadAhead(0),
      FCacheSize(0),
      FCache(nullptr),
      FBlockCache(nullptr),
      FLastFailedChunk(-1),
      FReadError(false),
      FAccessCheck(check) {
  static std::atomic<long long> gStreams{0};
  FSerial = ++gStreams;
  FBlockBytes = source->GetBlockSize();
  FBlockCount = source->GetBlockCount();
  // A source reporting a negative geometry has nothing to read; a size that does not fit in
  // 64 bits is cut to the largest one that does.
  if (FBlockBytes < 0) FBlockBytes = 0;
  if (FBlockCount < 0) FBlockCount = 0;
  if (__builtin_mul_overflow(FBlockBytes, FBlockCount, &FSize)) FSize = LLONG_MAX;

  if (FSize < cacheSize) {
    if (__builtin_add_overflow(FSize, readAhead, &cacheSize)) cacheSize = LLONG_MAX;
  }
  if (cacheSize < readAhead) readAhead = cacheSize;
  if (FBlockBytes != 0) {
    FChunkLength = readAhead / FBlockBytes;
    if ((FBlockBytes & (FBlockBytes - 1)) == 0) {
      FBlockShift = __builtin_ctzll(FBlockBytes);
      FBlockMask = FBlockBytes - 1;
      FFastBlockBytes = FBlockBytes;
    }
    FCache = new CVCache(FBlockBytes, FChunkLength, cacheSize);
    FBlock = static_cast<unsigned char*>(malloc(static_cast<size_t>(FBlockBytes)));
  }
  FCacheSize = cacheSize;
  FReadAhead = readAhead;
  FBlockCache = new CVCache(FBlockBytes, 1, readAhead);
}

CSVDSStream::~CSVDSStream() {
  delete FCache;
  delete FBlockCache;
  free(FBlock);
}

long long CSVDSStream::Seek(long long offset, int origin) {
  long long target = 0;
  if (SeekTarget(offset, origin, FPosition, FSize, &target)) SetPosition(target);
  return FPosition;
}

long long CSVDSStream::GetSize() {
  return FSize;
}

inline const unsigned char* CSVDSStream::ReadSingleBlock(long long index, unsigned char* scratch) {
  if (scratch == nullptr) return nullptr;
  return FSource->ReadBlocks(index, 1, scratch) ? scratch : nullptr;
}

const unsigned char* CSVDSStream::LocateMissed(long long index, unsigned char* scratch) {
  if (FChunkLength <= 0) return ReadSingleBlock(index, scratch);

  const long long chunkStart = index - index % FChunkLength;
  long long count = FChunkLength;
  if (chunkStart + count > FBlockCount) count = FBlockCount - chunkStart;
  unsigned char* chunk = FCache->GetAddPointer(chunkStart);
  // Without a single chunk buffer (memory ran out when the cache was built) the block is read
  // on its own, so no null buffer reaches the source and no unclaimed chunk is given back.
  if (chunk == nullptr) return ReadSingleBlock(index, scratch);
  if (chunkStart != FLastFailedChunk && FSource->ReadBlocks(chunkStart, count, chunk)) {
    const unsigned char* cached = FCache->GetBlock(index);
    SV_ASSERT(cached, "cBlock");
    return cached;
  }
  // The chunk failed (now or just before): read its blocks one by one so that one bad block
  // does not cost its neighbours.
  FCache->DeleteChunk(chunkStart);
  FLastFailedChunk = chunkStart;

  if (const unsigned char* single = FBlockCache->GetBlock(index)) return single;
  unsigned char* one = FBlockCache->GetAddPointer(index);
  if (one == nullptr) return ReadSingleBlock(index, scratch);
  if (FSource->ReadBlocks(index, 1, one)) return one;
  // Kept as zeros so that the unreadable block is not asked for again while it is cached.
  memset(one, 0, static_cast<size_t>(FBlockBytes));
  return nullptr;
}

inline bool CSVDSStream::Refused(long long index) {
  bool refused = false;
  if (FAccessCheck != nullptr) FAccessCheck(FEngine, FSource, index * FBlockBytes, refused);
  return refused;
}

inline const unsigned char* CSVDSStream::LocateBlock(long long index, unsigned char* scratch) {
  if (Refused(index) || FCache == nullptr) return nullptr;
  if (const unsigned char* cached = FCache->GetBlock(index)) return cached;
  return LocateMissed(index, scratch);
}

namespace {

// Both ends of count bytes, N <= count <= 2N, as two fixed-size copies that may overlap.
template <size_t N>
inline void CopyEnds(unsigned char* out, const unsigned char* in, long long count) {
  unsigned char head[N], tail[N];
  memcpy(head, in, N);
  memcpy(tail, in + count - N, N);
  memcpy(out, head, N);
  memcpy(out + count - N, tail, N);
}

// Handlers ask for a few header bytes per block; a library call costs more than the copy.
inline void CopyBytes(unsigned char* out, const unsigned char* in, long long count) {
  if (count > 16 && count <= 32) {
    CopyEnds<16>(out, in, count);
  } else if (count >= 8 && count <= 16) {
    CopyEnds<8>(out, in, count);
  } else if (count >= 4 && count < 8) {
    CopyEnds<4>(out, in, count);
  } else if (count < 4) {
    for (long long i = 0; i < count; ++i) out[i] = in[i];
  } else {
    memcpy(out, in, static_cast<size_t>(count));
  }
}

}  // namespace

long long CSVDSStream::Read(long long count, void* buffer) {
  // The scan's usual request: bytes inside one block of the chunk in use. The same steps as
  // the general read (one DSAccess, then the cached block) without its loop.
  const long long from = FPosition & FBlockMask;
  if (count > 0 && count <= FFastBlockBytes - from && count <= FSize - FPosition &&
      buffer != nullptr) {
    const long long block = FPosition >> FBlockShift;
    if (const unsigned char* data = FCache->GetRecentBlock(block)) {
      const bool refused = Refused(block);
      auto* out = static_cast<unsigned char*>(buffer);
      FPosition += count;
      if (refused) {
        memset(out, 0, static_cast<size_t>(count));
        FReadError = true;
        return 0;
      }
      CopyBytes(out, data + from, count);
      return count;
    }
  }
  return ReadBlocksOf(count, buffer);
}

long long CSVDSStream::ReadBlocksOf(long long count, void* buffer) {
  if (FCache == nullptr) return 0;
  // A negative count or no buffer asks for nothing: nothing is written and nothing moves.
  if (count <= 0 || buffer == nullptr) return 0;
  if (count > FSize - FPosition) count = FSize - FPosition;
  if (count <= 0) return 0;

  const long long blockBytes = FBlockBytes;
  long long block = FBlockShift >= 0 ? FPosition >> FBlockShift : FPosition / blockBytes;
  long long from = FPosition - block * blockBytes;  // offset of the first byte in its block
  long long remaining = count;
  long long missing = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  // Blocks in ascending order; the caller's buffer is filled front to back without gaps.
  while (remaining > 0) {
    const long long length = blockBytes - from < remaining ? blockBytes - from : remaining;
    const unsigned char* data = LocateBlock(block, FBlock);
    if (data != nullptr) {
      memcpy(out, data + from, static_cast<size_t>(length));
    } else {
      memset(out, 0, static_cast<size_t>(length));
      missing += length;
    }
    out += length;
    remaining -= length;
    from = 0;
    ++block;
  }
  if (missing != 0) FReadError = true;
  FPosition += count;
  return count - missing;
}

}  // namespace SV
