#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "salvor/CDataStream.h"

namespace salvor {

// What a start key looks like to the index: a set of allowed bytes for each of `length`
// bytes from `offset` on; with `repeat`, a byte of the first set again `repeat` bytes on.
struct StartPattern {
  static constexpr size_t kMaxLength = 16;
  size_t offset = 0;
  size_t length = 0;
  size_t repeat = 0;
  std::bitset<256> allowed[kMaxLength];
};

// The candidate starts of every format in a window of the scan stream, found in one pass over
// its bytes for all of them. Each content module is a library of its own, so the index lives
// in a shared library of its own: one per process, whichever modules are loaded.
//
// A window is valid for one data-source stream (told by its serial) and one generation: a
// format that sees the scan go back or begin again starts a new generation.
class CStartIndex {
 public:
  static constexpr int kMaxSlots = 64;

  // One window of candidates.
  struct Window {
    long long serial = -1;
    unsigned generation = 0;
    long long start = 0;             // absolute position in the stream of the window's first byte
    long long end = 0;               // every candidate start in [start, end) is listed
    const uint8_t* bytes = nullptr;  // the stream's bytes from start on
    size_t got = 0;                  // how many of them were read
  };

  static CStartIndex& Shared();

  // The slot under which a format's candidates are listed, or -1 when the index is full. `id`
  // is the handler's unique ID, which orders the handlers of a scan; it must outlive the slot.
  int Register(const StartPattern* patterns, size_t count, const char* id);
  void Unregister(int slot);

  // Forgets every window: a scan went back or began again.
  static void NewGeneration() { ++gGeneration; }
  static unsigned Generation() { return gGeneration; }

  // The window holding [from, to) of `stream` for `serial`, built when the current one does
  // not hold it; null when the range cannot be indexed (past the end of the stream).
  const Window* Cover(CDataStream* stream, long long serial, long long from, long long to);

  // The candidate starts of `slot` in the current window, in ascending order, as offsets
  // from the window's start.
  const uint32_t* CandidatesBegin(int slot) const;
  const uint32_t* CandidatesEnd(int slot) const;
  // Whether another format, not yet done with the block at `blockStart`, has a candidate in
  // [from, to) of the current window (offsets from its start).
  bool PendingFormatIn(int slot, long long blockStart, uint32_t from, uint32_t to) const;
  // A format answered at `start` in the scan of stream `serial`: a file left open there whose
  // structure accounts for the bytes up to `claimedEnd` (-1: a file with its end, or nothing
  // accounted for). Until the next answer, a start found off a block's start below
  // claimedEnd is that file's content (a raw file's preview, a photo's thumbnail, the EXIF
  // block in a movie's header), not a file: taking it would end the open file there.
  void Answered(long long serial, long long start, long long claimedEnd) {
    FOpenSerial = serial;
    FOpenStart = start;
    FOpenClaimedEnd = claimedEnd;
  }
  bool Claimed(long long serial, long long position) const {
    return serial == FOpenSerial && position > FOpenStart && position < FOpenClaimedEnd;
  }
  // `slot` looked at every candidate of the block at `blockStart` and answered none.
  void Done(int slot, long long blockStart) {
    if (FDoneBlock != blockStart) FDoneSlots = 0;
    FDoneBlock = blockStart;
    FDoneSlots |= 1ull << slot;
  }

 private:
  CStartIndex();
  void Compile();
  void Build(CDataStream* stream, long long serial, long long from);
  void Match(size_t span);
  size_t MatchVector(size_t group, size_t last, size_t span);
  void Verify(size_t group, size_t at, unsigned buckets, size_t span);
  void Sort();

  struct Entry {
    StartPattern pattern;
    int slot = -1;
    size_t first = 0;  // the pair of positions the pass tests: first and first + gap
    size_t group = 0;
    size_t bucket = 0;
  };
  // Patterns whose tested pair lies `gap` bytes apart; up to 8 buckets of them, each a byte
  // class per position kept as nibble tables for the vector pass.
  struct Group {
    size_t gap = 0;
    uint8_t low0[16] = {}, high0[16] = {}, low1[16] = {}, high1[16] = {};
    std::vector<size_t> members[8];
  };

  static unsigned gGeneration;

  std::vector<Entry> FEntries;
  std::vector<Group> FGroups;
  bool FCompiled = false;
  uint64_t FSlotsUsed = 0;
  size_t FReach = 0;  // the furthest a tested pair lies from a start, plus its gap

  Window FWindow;
  std::vector<uint8_t> FBuffer;
  std::vector<uint32_t> FFound;  // slot << 24 | offset, sorted
  size_t FSlotBegin[kMaxSlots + 1] = {};
  const char* FIds[kMaxSlots] = {};
  long long FOpenSerial = -1;
  long long FOpenStart = -1;
  long long FOpenClaimedEnd = -1;
  long long FDoneBlock = -1;
  uint64_t FDoneSlots = 0;
  bool FFull = false;
  size_t FFullAt = 0;
};

}  // namespace salvor
