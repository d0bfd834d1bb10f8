#include "SVDSStream.h"

namespace SV {

// Placeholder until the block cache and data-source stream land.
CVCache::CVCache(long long BlockSize, long long ChunkBlocks, long long)
    : FChunkBlocks(ChunkBlocks), FBlockSize(BlockSize) {}
CVCache::~CVCache() {}
unsigned char* CVCache::GetBlock(long long) { return nullptr; }
unsigned char* CVCache::GetAddPointer(long long) { return nullptr; }
void CVCache::DeleteChunk(long long) {}

CSVDSStream::CSVDSStream(CPhotoRecovery* engine, CDataSource* source, long long cacheSize,
                         long long readAhead)
    : FEngine(engine),
      FSource(source),
      FSize(0),
      FPosition(0),
      FReadAhead(readAhead),
      FCacheSize(cacheSize),
      FCache(nullptr),
      FBlockCache(nullptr),
      FLastFailedChunk(-1),
      FReadError(false) {}
CSVDSStream::~CSVDSStream() {}
long long CSVDSStream::GetPosition() { return FPosition; }
void CSVDSStream::SetPosition(long long) {}
long long CSVDSStream::Seek(long long, int) { return FPosition; }
long long CSVDSStream::GetSize() { return FSize; }
long long CSVDSStream::Read(long long, void*) { return 0; }
bool CSVDSStream::FetchBlock(long long, unsigned char*) { return false; }

}  // namespace SV
