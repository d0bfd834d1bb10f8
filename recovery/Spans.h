#pragma once

#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "salvor/CDataStream.h"
#include "validate/Validator.h"

namespace salvor {

class CScannedSource;

// The first `size` bytes of a file on disk (a recovered file just written, still in the page
// cache), read with pread.
class FileSpan : public ByteSpan {
 public:
  FileSpan(const std::string& path, long long size);
  ~FileSpan() override;
  FileSpan(const FileSpan&) = delete;
  FileSpan& operator=(const FileSpan&) = delete;
  bool IsOpen() const { return FFd >= 0; }
  long long Size() const override { return FSize; }
  long long Read(long long offset, void* buffer, long long length) override;

 private:
  int FFd = -1;
  long long FSize = 0;
};

// A delivered file's stream, read at any offset (while the sink holds it).
class StreamSpan : public ByteSpan {
 public:
  explicit StreamSpan(CDataStream* stream) : FStream(stream), FSize(stream->GetSize()) {}
  long long Size() const override { return FSize; }
  long long Read(long long offset, void* buffer, long long length) override;

 private:
  CDataStream* FStream;
  long long FSize;
};

// A span as a stream, to be written out like a delivered file.
class SpanStream : public CDataStream {
 public:
  explicit SpanStream(ByteSpan& span) : FSpan(span) {}
  long long GetPosition() override { return FPosition; }
  void SetPosition(long long position) override {
    FPosition = std::max(0LL, std::min(position, FSpan.Size()));
  }
  long long Seek(long long offset, int origin) override;
  long long GetSize() override { return FSpan.Size(); }
  long long Read(long long count, void* buffer) override;

 private:
  ByteSpan& FSpan;
  long long FPosition = 0;
};

// The scanned source as one span, after the scan: read in aligned chunks kept in a small cache
// (validators read the same pieces again and again while reassembly tries continuations).
// Bad and skipped blocks read as zeros and are not read again.
class SourceSpan : public ByteSpan {
 public:
  explicit SourceSpan(CScannedSource& source);
  long long Size() const override { return FSize; }
  long long Read(long long offset, void* buffer, long long length) override;

 private:
  // The chunk holding `index`, read when not cached; null when it cannot be read.
  const std::vector<unsigned char>* Chunk(long long index);

  CScannedSource& FSource;
  long long FSize;
  long long FBlockSize;
  long long FChunkBlocks;
  std::list<long long> FRecent;  // most recent first
  struct Cached {
    std::vector<unsigned char> bytes;
    std::list<long long>::iterator recent;
  };
  std::unordered_map<long long, Cached> FChunks;
};

}  // namespace salvor
