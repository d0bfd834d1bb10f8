#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "validate/Validator.h"

// Helpers shared by the still-image validators (HEIF, TIFF and the RAWs, PSD).
namespace salvor {

// Reads exactly `length` bytes at `offset`; false when the span holds fewer.
bool ReadExact(ByteSpan& bytes, long long offset, void* buffer, long long length);

// Reads [offset, offset + length) into `out`; false when the span holds fewer bytes or the
// length is negative or above `limit` (the caller's bound on memory).
bool ReadRange(ByteSpan& bytes, long long offset, long long length, long long limit,
               std::vector<unsigned char>& out);

inline uint32_t Be16(const unsigned char* p) {
  return (uint32_t{p[0]} << 8) | p[1];
}
inline uint32_t Be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t Be64(const unsigned char* p) {
  return (uint64_t{Be32(p)} << 32) | Be32(p + 4);
}
inline uint32_t Le16(const unsigned char* p) {
  return (uint32_t{p[1]} << 8) | p[0];
}
inline uint32_t Le32(const unsigned char* p) {
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}
inline uint64_t Le64(const unsigned char* p) {
  return (uint64_t{Le32(p + 4)} << 32) | Le32(p);
}

// What a validator found so far: the earliest damage wins, and anything left unchecked makes
// an otherwise clean file "cannot tell".
class Findings {
 public:
  // Offsets reported never pass `size`, the span's end.
  explicit Findings(long long size) : FSize(size) {}
  // The break lies in [goodUntil, damagedAt).
  void Damage(long long goodUntil, long long damagedAt, const std::string& reason);
  // A part starting at `partStart` does not fit from `damagedAt` on; the break lies after the
  // last part proven before it (see Proven), which is settled when the result is asked for.
  void Fail(long long partStart, long long damagedAt, const std::string& reason);
  // [from, to) was checked whole (decoded, or a structure that held).
  void Proven(long long from, long long to);
  // A part nothing could check (raw sensor data, an unsupported codec).
  void Unchecked() { FUnchecked = true; }
  bool Damaged() const { return !FFailures.empty(); }
  // Folds in another validator's answer about an embedded part.
  void Add(const Validation& part);
  Validation Result(long long end) const;

 private:
  struct Failure {
    long long goodUntil;  // -1: the end of the last part proven before partStart
    long long partStart;
    long long damagedAt;
    std::string reason;
  };
  std::vector<Failure> FFailures;
  std::vector<std::pair<long long, long long>> FProven;
  long long FSize;
  bool FUnchecked = false;
};

// Reads part of a span byte by byte through a window, for decoders that walk compressed data.
class ByteReader {
 public:
  ByteReader(ByteSpan& bytes, long long offset, long long length)
      : FBytes(bytes), FPos(offset), FEnd(offset + length) {}
  // The next byte, or -1 at the part's end.
  int Next() {
    if (FAt == FHave && !Fill()) return -1;
    return FBuffer[FAt++];
  }
  // File offset of the byte Next() returns next.
  long long Offset() const { return FPos - static_cast<long long>(FHave - FAt); }
  // The unread bytes of the current window (the next one when this one is used up).
  const unsigned char* Window(size_t& size) {
    if (FAt == FHave) Fill();
    size = FHave - FAt;
    return FBuffer + FAt;
  }
  void Consume(size_t n) { FAt += n < FHave - FAt ? n : FHave - FAt; }

 private:
  bool Fill();
  ByteSpan& FBytes;
  long long FPos, FEnd;
  unsigned char FBuffer[65536];
  size_t FHave = 0, FAt = 0;
};

// PackBits over `length` bytes from a reader: `produced` bytes came out; `bad` is the offset of
// the run that went past `expected` (when expected >= 0), or -1.
struct PackBitsRun {
  long long produced = 0;
  long long bad = -1;
  bool shortInput = false;  // a run's bytes were missing
};
PackBitsRun DecodePackBits(ByteReader& in, long long length, long long expected);

// An embedded JPEG at [offset, offset + length) checked by the JPEG validator, with positions
// in the outer file. Cannot tell when no JPEG validator is built in. `tables`, when not empty,
// is a tables-only JPEG stream (TIFF JPEGTables) the abbreviated strip is read after.
Validation CheckEmbeddedJpeg(ByteSpan& bytes, long long offset, long long length,
                             const std::vector<unsigned char>& tables = {});

}  // namespace salvor
