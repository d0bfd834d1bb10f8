#pragma once

#include <list>
#include <map>
#include <utility>

#include "CDataStream.h"

class CDataSource;

namespace SV {

class CPhotoRecovery;

// Recently read runs (chunks) of blocks, in buffers set aside once at construction, with
// least-recently-used eviction. Pointers it returns are valid until the next GetAddPointer
// or DeleteChunk.
class CVCache {
 public:
  CVCache(long long BlockSize, long long ChunkBlocks, long long CacheSize);
  ~CVCache();
  CVCache(const CVCache&) = delete;
  CVCache& operator=(const CVCache&) = delete;

  unsigned char* GetBlock(long long Index);
  // Precondition: no chunk in use covers ChunkStart. May evict; null when there are no buffers.
  unsigned char* GetAddPointer(long long ChunkStart);
  // Precondition: ChunkStart is in use.
  void DeleteChunk(long long ChunkStart);

  std::list<long long> FLRU;
  std::list<unsigned char*> FFree;
  std::map<long long, std::pair<unsigned char*, std::list<long long>::iterator>> FUsed;
  long long FChunkBlocks;
  long long FBlockSize;
};

// A data source as a byte stream, read in aligned read-ahead chunks through two caches.
// Unreadable blocks read as zeros and set FReadError.
class CSVDSStream : public CDataStream {
 public:
  CSVDSStream(CPhotoRecovery* engine, CDataSource* source, long long cacheSize,
              long long readAhead);
  ~CSVDSStream() override;
  CSVDSStream(const CSVDSStream&) = delete;
  CSVDSStream& operator=(const CSVDSStream&) = delete;

  long long GetPosition() override;
  void SetPosition(long long position) override;
  long long Seek(long long offset, int origin) override;
  long long GetSize() override;
  long long Read(long long count, void* buffer) override;

  // Fills a buffer of one block with block Index; false when the block could not be had.
  bool FetchBlock(long long Index, unsigned char* block);

  CPhotoRecovery* FEngine;
  CDataSource* FSource;
  long long FSize;
  long long FPosition;
  long long FReadAhead;
  long long FCacheSize;
  CVCache* FCache;
  CVCache* FBlockCache;
  long long FLastFailedChunk;
  bool FReadError;
};

}  // namespace SV
