#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "modules/common/Checked.h"

class CDataStream;

namespace salvor {

// Bounds-checked random access to a stream through a read-ahead window. Offsets are relative
// to `base` and every access outside [0, Size()) fails instead of reading. Every module parses
// through this reader. Not for the per-block rejection path: it allocates its window once.
class CStreamReader {
 public:
  static constexpr size_t kWindow = 64 * 1024;
  static constexpr size_t kFirstWindow = 4096;

  // limit < 0: up to the end of the stream.
  explicit CStreamReader(CDataStream* stream, long long base = 0, long long limit = -1);

  long long Size() const { return FSize; }
  bool Contains(long long offset, long long length) const;

  // Pointer to length bytes at offset, valid until the next call; null when out of range or
  // length > kWindow.
  const uint8_t* Peek(long long offset, size_t length);
  bool Read(long long offset, void* out, size_t length);

  bool U8(long long offset, uint8_t* v);
  bool U16BE(long long offset, uint16_t* v);
  bool U16LE(long long offset, uint16_t* v);
  bool U32BE(long long offset, uint32_t* v);
  bool U32LE(long long offset, uint32_t* v);
  bool U64BE(long long offset, uint64_t* v);
  bool U64LE(long long offset, uint64_t* v);
  // 16/32-bit in the given byte order (bigEndian true: Motorola, false: Intel).
  bool U16(long long offset, bool bigEndian, uint16_t* v);
  bool U32(long long offset, bool bigEndian, uint32_t* v);

  // First offset in [from, to) where pattern starts (the whole pattern inside [from, to)),
  // or -1. Reads window by window; cost is linear in to - from.
  long long Find(const void* pattern, size_t length, long long from, long long to);

 private:
  bool Fill(long long offset, size_t length);

  CDataStream* FStream;
  long long FBase;
  long long FSize;
  std::vector<uint8_t> FWindow;
  long long FWindowStart;  // offset of FWindow[0]; -1 when empty
  size_t FWindowLength;
  int FFills = 0;  // windows read so far, up to the growth to kWindow
};

}  // namespace salvor
