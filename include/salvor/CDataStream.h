#pragma once

// A readable, seekable byte sequence of known length. Positions, sizes and counts are signed
// 64-bit byte values; positions are always clamped to [0, GetSize()].
class CDataStream {
 public:
  // Origin codes of Seek. 0 and every other value leave the position unchanged.
  enum { SeekFromStart = 1, SeekFromCurrent = 2, SeekFromEnd = 3 };

  virtual ~CDataStream() {}
  virtual long long GetPosition() = 0;
  virtual void SetPosition(long long position) = 0;
  // Returns the position after the move.
  virtual long long Seek(long long offset, int origin) = 0;
  virtual long long GetSize() = 0;
  // Copies up to count bytes from the position into buffer and advances the position by the
  // count clamped to the end of the stream. Returns the bytes delivered intact.
  virtual long long Read(long long count, void* buffer) = 0;
};
