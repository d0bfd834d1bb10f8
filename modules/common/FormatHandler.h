#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "modules/common/HandlerBase.h"
#include "modules/common/HeadRead.h"
#include "modules/common/StartIndex.h"

namespace salvor {

// Bytes a file has at `offset` from its start, by which the search inside a block finds it.
// With a mask only the bits it sets are compared (its first byte must be 0xFF); with a repeat
// the first byte is found again `repeat` bytes further on (a sync byte of fixed-size units).
struct Signature {
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  size_t offset = 0;
  const uint8_t* mask = nullptr;
  size_t repeat = 0;

  Signature() = default;
  template <size_t N>
  Signature(const char (&text)[N], size_t at = 0, size_t again = 0)
      : bytes(reinterpret_cast<const uint8_t*>(text)), length(N - 1), offset(at), repeat(again) {}
  template <size_t N>
  Signature(const uint8_t (&raw)[N], size_t at = 0) : bytes(raw), length(N), offset(at) {}
  template <size_t N>
  Signature(const uint8_t (&raw)[N], const uint8_t (&bits)[N], size_t at = 0, size_t again = 0)
      : bytes(raw), length(N), offset(at), mask(bits), repeat(again) {}
};

// The bytes a file of some format can begin with, for formats without one fixed signature.
struct FirstBytes {
  bool member[256];
  constexpr FirstBytes(std::initializer_list<uint8_t> bytes) : member() {
    for (uint8_t b : bytes) member[b] = true;
  }
};

// The most bytes a format's CanStart may look at.
constexpr size_t kMaxHead = 64;
// The most signatures one format may be searched by.
constexpr size_t kMaxSignatures = 4;

// How the block search finds a format's candidate starts: the bytes CanStart needs, and either
// the signatures a file has near its start or the set of bytes it can begin with.
struct StartKeys {
  size_t head;
  Signature signatures[kMaxSignatures] = {};
  size_t signatureCount = 0;
  const FirstBytes* first = nullptr;
  // Whether every file the format accepts matches a key, at a block's start too. Then the
  // unaligned scan skips a block the index lists no candidate in without reading its head.
  // A format that also knows other starts at a block's start (ISOBMFF's moov or mdat first)
  // clears it.
  bool keysCoverBlockStarts = true;

  template <size_t N>
  StartKeys(size_t headBytes, const Signature (&keys)[N]) : head(headBytes), signatureCount(N) {
    static_assert(N <= kMaxSignatures, "too many signatures");
    for (size_t i = 0; i < N; ++i) signatures[i] = keys[i];
  }
  StartKeys(size_t headBytes, const FirstBytes& firstBytes) : head(headBytes), first(&firstBytes) {}
};

// One candidate start, as Examine sees it.
struct Candidate {
  CDataStream* stream;
  long long start;
  const uint8_t* bytes;  // the data from start on, already read: at least the head
  size_t available;
  // >= 0 for a start left in the unsearched rest of a skipped block: that block's beginning
  // belongs to the file delivered before, and a file that ends before mustReach lay inside it.
  long long mustReach;
  long long blockSize;
};

// What a format answers for a candidate: a file at start, ending at end (one past its last
// byte) or, with end -1, left open for the next recognition to end. A file left open may say
// how far its structure accounts for the bytes (claimedEnd): the unaligned scan takes no start
// inside that, as it would end the file there.
struct Found {
  bool recognized = false;
  long long start = -1;
  long long end = -1;
  long long claimedEnd = -1;

  void File(long long at, long long fileEnd = -1) {
    recognized = true;
    start = at;
    end = fileEnd;
    claimedEnd = -1;
  }
  void OpenFile(long long at, long long claimed) {
    File(at);
    claimedEnd = claimed;
  }
  // A file whose structure goes on past MaxSize: it ends there.
  void FileBeyondMaxSize(long long at) { File(at, LLONG_MAX); }
};

// Base of a format's handler: the per-block answer is made here once. A format says only how
// its files may start (StartKeys and CanStart, a test of a few bytes that allocates nothing)
// and what is there at a candidate (Examine, which reads through a CStreamReader).
//
// MaxSize is kept here for every format: no file it delivers is longer. A file whose structure
// runs further, or whose end is not found within MaxSize, ends at MaxSize bytes and is
// described as damaged, whatever the format makes of the bytes that are left.
//
// Without Unaligned a block costs one read of the head at its start and CanStart. With it:
// the rest of the block before that the scan skipped after a delivered file, the block's
// start, then the rest of the block, each candidate found by the StartKeys and offered in
// ascending order. The rest of the block is looked up in the process's CStartIndex, which
// finds every format's candidates in one pass over a window of the stream; a format keeps
// where its next candidate lies, so a block without one costs it a comparison.
//
// A format derives from CFormatHandlerOf<itself> (below), which makes the common case, an
// aligned scan, call its CanStart directly rather than through the vtable: that test runs for
// every block and every format.
class CFormatHandler : public CHandlerBase {
 public:
  CFormatHandler(CPhotoRecovery* engine, const HandlerInfo& info, const StartKeys& keys);
  ~CFormatHandler() override;
  CFormatHandler(const CFormatHandler&) = delete;
  CFormatHandler& operator=(const CFormatHandler&) = delete;

  // Whether the head (StartKeys::head bytes at a candidate) can begin a file.
  virtual bool CanStart(const uint8_t* head) const = 0;

  bool FindEndOfFile(CDataStream* stream, long long blockSize, long long* end) final;
  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) final;
  // No format here can tell a file's start from its end.
  bool FindStartOfFile(CDataStream*, long long, long long*) final { return false; }

 protected:
  // The format's end search over a file that starts at 0 of `stream`: true with its length.
  virtual bool FindEnd(CDataStream* stream, long long blockSize, long long* end) = 0;
  // The format's verdict on a delivered file (whole and valid), and its extension.
  virtual bool Describe(CDataStream* file, char* extension, int extensionSize) = 0;
  // A new MaxSize: the cuts made under the old one are forgotten.
  void IntPropChanged(const char* name) override;
  // Looks at a candidate that passed CanStart; true when it answered (found->File).
  virtual bool Examine(const Candidate& candidate, Found* found) = 0;
  // The scan went back to an earlier block: a new scan, on other data. Called only for a
  // format that asked for it with WatchScans(), since it costs a position query per block.
  virtual void ScanRestarted() {}
  void WatchScans() { FWatchesScans = true; }

  // Reads the block's head where the scan left the stream (at the block's start), after
  // telling a format that watches scans when the scan went back. False when it is short.
  bool ReadBlockHead(CDataStream* stream) {
    if (FWatchesScans) {
      const long long blockStart = stream->GetPosition();
      if (blockStart <= FLastBlock) ScanRestarted();
      FLastBlock = blockStart;
    }
    return ReadHere(stream, FHead, FKeys.head) == FKeys.head;
  }
  // True when the block NextInSequence noted holds no candidate, its start included.
  bool SkipsBlock(CDataStream* stream, long long blockSize) const {
    return FKeys.keysCoverBlockStarts && NoCandidateIn(stream, FLastBlock, blockSize);
  }
  // True when the index, as this format last saw it, lists nothing in the block.
  bool NoCandidateIn(CDataStream* stream, long long blockStart, long long blockSize) const {
    return stream == FIndexStream && FIndexGeneration == CStartIndex::Generation() &&
           blockStart + blockSize <= FNextCandidate;
  }
  // The same without the watch: for the unaligned scan, which keeps its own.
  bool ReadHead(CDataStream* stream) { return ReadHere(stream, FHead, FKeys.head) == FKeys.head; }
  const uint8_t* BlockHead() const { return FHead; }
  // Offers the block's start, whose head ReadBlockHead read and CanStart passed; true when
  // it was answered.
  bool AnswerBlockStart(CDataStream* stream, long long blockSize, bool* recognized,
                        long long* start, long long* end);
  // True, noting the block, when the stream stands at the block after the one this format
  // was asked about last.
  bool NextInSequence(CDataStream* stream, long long blockSize) {
    const long long blockStart = stream->GetPosition();
    if (FLastBlock < 0 || blockStart != FLastBlock + blockSize) return false;
    FLastBlock = blockStart;
    return true;
  }
  // The candidates after the first byte of the block the stream stands at.
  void AnswerRest(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                  long long* end) {
    Found found;
    if (SearchRest(stream, FLastBlock, blockSize, &found))
      Answer(stream, found, recognized, start, end);
  }
  // The per-block answer of an unaligned scan.
  void AnswerAnywhere(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                      long long* end);

 private:
  bool Offer(const Candidate& candidate, Found* found);
  bool Search(CDataStream* stream, long long from, long long to, long long mustReach,
              long long blockSize, Found* found);
  // Offers the candidates after the block's first byte, from the index where it can.
  bool SearchRest(CDataStream* stream, long long blockStart, long long blockSize, Found* found) {
    return !NoCandidateIn(stream, blockStart, blockSize) &&
           SearchIndexed(stream, blockStart, blockSize, found);
  }
  bool SearchIndexed(CDataStream* stream, long long blockStart, long long blockSize, Found* found);
  size_t NextCandidate(const uint8_t* buffer, size_t at, size_t last, size_t key) const;
  static void Answer(CDataStream* stream, const Found& found, bool* recognized, long long* start,
                     long long* end);
  // Ends at MaxSize a file of `stream` at `start` that would end further on.
  long long Bounded(CDataStream* stream, long long start, long long end);

  StartKeys FKeys;
  size_t FNeed;  // bytes the search needs in hand at a candidate
  long long FLastBlock = -1;
  bool FWatchesScans = false;
  uint8_t FHead[kMaxHead];
  // Where in the source the last files cut at MaxSize begin. The format sees only the bytes
  // kept, which may end on a boundary of its units (a pack, a frame) and look whole.
  long long FCuts[4] = {-1, -1, -1, -1};
  size_t FNextCut = 0;
  // This format's slot in the start index (-1: it searches on its own), and where its next
  // candidate lies in the window it last looked at, for the stream and generation it was for.
  int FSlot = -1;
  CDataStream* FIndexStream = nullptr;
  unsigned FIndexGeneration = 0;
  long long FNextCandidate = -1;
};

// What a format derives from: `class CPngHandler final : public CFormatHandlerOf<CPngHandler>`.
template <class Format>
class CFormatHandlerOf : public CFormatHandler {
 public:
  using CFormatHandler::CFormatHandler;

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) final {
    if (Unaligned()) {
      // The block after the one asked last, the common case, is answered here; a new scan, a
      // step back or blocks skipped go the general way.
      if (!NextInSequence(stream, blockSize)) {
        AnswerAnywhere(stream, blockSize, recognized, start, end);
      } else if (!SkipsBlock(stream, blockSize) &&
                 !(ReadHead(stream) &&
                   static_cast<const Format*>(this)->Format::CanStart(BlockHead()) &&
                   AnswerBlockStart(stream, blockSize, recognized, start, end))) {
        AnswerRest(stream, blockSize, recognized, start, end);
      }
    } else if (ReadBlockHead(stream) &&
               static_cast<const Format*>(this)->Format::CanStart(BlockHead())) {
      AnswerBlockStart(stream, blockSize, recognized, start, end);
    }
    return true;
  }
};

}  // namespace salvor
