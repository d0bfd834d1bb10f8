#include "recovery/Spans.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "recovery/ScannedSource.h"

namespace salvor {

namespace {
// Reassembly reads near where it last read, and each read of the source is a line of its log.
constexpr long long kChunkBytes = 1 << 20;
constexpr size_t kCachedChunks = 16;  // 16 MiB
}  // namespace

FileSpan::FileSpan(const std::string& path, long long size)
    : FFd(open(path.c_str(), O_RDONLY | O_CLOEXEC)), FSize(size) {
  if (FFd < 0) FSize = 0;
}

FileSpan::~FileSpan() {
  if (FFd >= 0) close(FFd);
}

long long FileSpan::Read(long long offset, void* buffer, long long length) {
  if (offset < 0 || length <= 0 || offset >= FSize) return 0;
  length = std::min(length, FSize - offset);
  long long done = 0;
  while (done < length) {
    const ssize_t got = pread(FFd, static_cast<char*>(buffer) + done,
                              static_cast<size_t>(length - done), offset + done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

long long StreamSpan::Read(long long offset, void* buffer, long long length) {
  if (offset < 0 || length <= 0 || offset >= FSize) return 0;
  FStream->SetPosition(offset);
  return FStream->Read(std::min(length, FSize - offset), buffer);
}

long long SpanStream::Seek(long long offset, int origin) {
  if (origin == SeekFromStart) SetPosition(offset);
  if (origin == SeekFromCurrent) SetPosition(FPosition + offset);
  if (origin == SeekFromEnd) SetPosition(FSpan.Size() + offset);
  return FPosition;
}

long long SpanStream::Read(long long count, void* buffer) {
  const long long got = FSpan.Read(FPosition, buffer, count);
  FPosition += std::max(0LL, std::min(count, FSpan.Size() - FPosition));
  return got;
}

SourceSpan::SourceSpan(CScannedSource& source)
    : FSource(source),
      FSize(source.Bytes()),
      FBlockSize(std::max(1LL, source.BlockSize())),
      FChunkBlocks(std::max(1LL, kChunkBytes / std::max(1LL, source.BlockSize()))) {}

const std::vector<unsigned char>* SourceSpan::Chunk(long long index) {
  auto found = FChunks.find(index);
  if (found != FChunks.end()) {
    FRecent.splice(FRecent.begin(), FRecent, found->second.recent);
    return &found->second.bytes;
  }
  const long long firstBlock = index * FChunkBlocks;
  const long long blocks =
      std::min(FChunkBlocks, (FSize + FBlockSize - 1) / FBlockSize - firstBlock);
  if (blocks <= 0) return nullptr;
  std::vector<unsigned char> bytes(static_cast<size_t>(blocks * FBlockSize));
  if (!FSource.ReadFromStart(firstBlock, blocks, bytes.data())) return nullptr;
  if (FChunks.size() >= kCachedChunks) {
    FChunks.erase(FRecent.back());
    FRecent.pop_back();
  }
  FRecent.push_front(index);
  Cached& cached = FChunks[index];
  cached.bytes = std::move(bytes);
  cached.recent = FRecent.begin();
  return &cached.bytes;
}

long long SourceSpan::Read(long long offset, void* buffer, long long length) {
  if (offset < 0 || length <= 0 || offset >= FSize) return 0;
  length = std::min(length, FSize - offset);
  const long long chunkBytes = FChunkBlocks * FBlockSize;
  long long done = 0;
  while (done < length) {
    const long long at = offset + done;
    const std::vector<unsigned char>* chunk = Chunk(at / chunkBytes);
    if (chunk == nullptr) break;
    const long long within = at % chunkBytes;
    const long long count = std::min(length - done, static_cast<long long>(chunk->size()) - within);
    if (count <= 0) break;
    std::memcpy(static_cast<char*>(buffer) + done, chunk->data() + within,
                static_cast<size_t>(count));
    done += count;
  }
  return done;
}

}  // namespace salvor
