#pragma once

#include <list>
#include <map>
#include <utility>

#include "salvor/CDataStream.h"

class CDataSource;
class CPhotoRecovery;

namespace SV {

// Asks the engine, and through it the host, before the stream fetches the block at a byte
// position; setting cancel refuses the block. The engine's DSAccess is not on its public
// interface, so whoever builds the stream supplies the call.
using AccessCheck = void (*)(::CPhotoRecovery* engine, CDataSource* source, long long position,
                             bool& cancel);

// Recently read runs (chunks) of blocks, in buffers set aside once at construction, with
// least-recently-used eviction. Pointers it returns are valid until the next GetAddPointer
// or DeleteChunk.
class CVCache {
 public:
  CVCache(long long blockSize, long long chunkBlocks, long long cacheSize);
  ~CVCache();
  CVCache(const CVCache&) = delete;
  CVCache& operator=(const CVCache&) = delete;

  unsigned char* GetBlock(long long index) {
    if (unsigned char* recent = GetRecentBlock(index)) return recent;
    return FindInUse(index);
  }
  // The block from the chunk just used, or null. That chunk answers most lookups of a
  // sequential scan; it is already at the front of FLRU, so nothing changes.
  unsigned char* GetRecentBlock(long long index) const {
    if (FRecentBuffer != nullptr && !FOverlapSeen && index >= FRecentStart &&
        index - FRecentStart < FChunkBlocks) {
      return FRecentBuffer + FBlockSize * (index - FRecentStart);
    }
    return nullptr;
  }
  // Precondition: no chunk in use covers chunkStart. May evict; null when there are no buffers.
  unsigned char* GetAddPointer(long long chunkStart);
  // Precondition: chunkStart is in use.
  void DeleteChunk(long long chunkStart);

 private:
  std::list<long long> FLRU;
  std::list<unsigned char*> FFree;
  std::map<long long, std::pair<unsigned char*, std::list<long long>::iterator>> FUsed;
  long long FChunkBlocks;
  long long FBlockSize;

  unsigned char* FindInUse(long long index);
  void MakeRecent(long long chunkStart, unsigned char* buffer);
  void NoteOverlap(decltype(FUsed)::iterator entry);

  // The chunk at the front of FLRU, answered without a map search while FRecentBuffer is set.
  long long FRecentStart = 0;
  unsigned char* FRecentBuffer = nullptr;
  // Once two chunks in use have overlapped, another chunk could start between the recent one
  // and the block asked for, so from then on every lookup searches the map.
  bool FOverlapSeen = false;
};

// A data source as a byte stream, read in aligned read-ahead chunks through two caches.
// Unreadable or refused blocks read as zeros and set the read error.
class CSVDSStream final : public CDataStream {
 public:
  // A null check lets every access go ahead.
  CSVDSStream(::CPhotoRecovery* engine, AccessCheck check, CDataSource* source, long long cacheSize,
              long long readAhead);
  ~CSVDSStream() override;
  CSVDSStream(const CSVDSStream&) = delete;
  CSVDSStream& operator=(const CSVDSStream&) = delete;

  long long GetPosition() override { return FPosition; }
  void SetPosition(long long position) override {
    FPosition = position > FSize ? FSize : (position < 0 ? 0 : position);
  }
  long long Seek(long long offset, int origin) override;
  long long GetSize() override;
  long long Read(long long count, void* buffer) override;

  // True once any block a read asked for was refused or unreadable; never cleared.
  bool ReadError() const { return FReadError; }
  // Unique to this stream among all built in the process: a later stream may reuse the
  // address of one destroyed, never its serial.
  long long Serial() const { return FSerial; }

 private:
  ::CPhotoRecovery* FEngine;
  CDataSource* FSource;
  long long FSize;
  long long FPosition;
  long long FReadAhead;
  long long FCacheSize;
  CVCache* FCache;
  CVCache* FBlockCache;
  long long FLastFailedChunk;
  bool FReadError;

  // True when the engine (and through it the host) refuses the block at index.
  bool Refused(long long index);
  // Where block index can be copied from (a cache buffer or `scratch`), or null when the
  // block could not be had. The pointer is valid until the next cache operation.
  const unsigned char* LocateBlock(long long index, unsigned char* scratch);
  const unsigned char* LocateMissed(long long index, unsigned char* scratch);
  const unsigned char* ReadSingleBlock(long long index, unsigned char* scratch);
  // Read's general case: any count, across blocks, through both caches.
  __attribute__((noinline)) long long ReadBlocksOf(long long count, void* buffer);

  AccessCheck FAccessCheck;
  // The source keeps its geometry for the stream's life, so it is read once.
  long long FBlockBytes = 0;
  long long FBlockCount = 0;
  long long FChunkLength = 0;     // blocks per read-ahead chunk; 0 or less: no read-ahead
  int FBlockShift = -1;           // log2 of the block size when it is a power of two
  long long FBlockMask = 0;       // block size - 1 when it is a power of two
  long long FFastBlockBytes = 0;  // the block size when Read's single-block path applies, else 0
  // One block for reads that bypass the caches, kept so that Read allocates nothing.
  unsigned char* FBlock = nullptr;
  long long FSerial;
};

}  // namespace SV
