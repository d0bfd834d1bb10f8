#pragma once

#include <string>
#include <vector>

namespace salvor {

// The bytes of a candidate file, read at any offset: a recovered file as delivered, or pieces
// of the source joined into one during reassembly. Every read is bounds-checked here, so a
// validator never needs to trust a length it parsed.
class ByteSpan {
 public:
  virtual ~ByteSpan() = default;
  // Bytes available. A candidate may hold more than the file (reassembly hands a validator
  // everything up to a bound and lets it say where the file ends).
  virtual long long Size() const = 0;
  // Copies up to `length` bytes at `offset` into `buffer`; returns the bytes copied: fewer only
  // past Size() or where the source could not be read, 0 for a negative offset or length.
  virtual long long Read(long long offset, void* buffer, long long length) = 0;
};

enum class Verdict {
  kIntact,      // decoded through to its structural end with nothing out of place
  kDamaged,     // some bytes do not belong: cut short, spliced, overwritten
  kCannotTell,  // nothing in the format to check the bytes against
};

struct Validation {
  Verdict verdict = Verdict::kCannotTell;
  // kIntact: the bytes the file takes from the span's start, its structural end (which may
  // come before Size()).
  long long end = -1;
  // kDamaged: the break lies in [goodUntil, damagedAt). damagedAt is the first byte seen not
  // to fit (a decoder notices late, so the real break may be earlier); goodUntil is the end of
  // what was proven to belong (a checked chunk, a sample, a restart interval), 0 when nothing
  // was. damagedAt is at most Size(); a file cut short has damagedAt == Size().
  long long goodUntil = 0;
  long long damagedAt = -1;
  // Why, in a few words for the report: "bad Huffman code", "CRC mismatch in IDAT".
  std::string reason;
  // kDamaged, where the structure says what must come later: `expect` belongs at file offset
  // `expectAt` (a movie's "moov" after its media data). Reassembly looks for those bytes in
  // the source to find where the rest of the file went. -1: nothing known.
  long long expectAt = -1;
  std::string expect;
  // kDamaged, where a decoder's complaint puts the first foreign byte, from how far into a
  // picture it gave up: a guess for which cuts to try first, not a bound. -1: none.
  long long likelyAt = -1;

  static Validation Intact(long long end) { return {Verdict::kIntact, end, 0, -1, {}, -1, {}, -1}; }
  static Validation Damaged(long long goodUntil, long long damagedAt, std::string reason) {
    return {Verdict::kDamaged, -1, goodUntil, damagedAt, std::move(reason), -1, {}, -1};
  }
  static Validation CannotTell() { return {}; }
};

// Checks a file's bytes against its format. Contract for every validator: reads only through
// `bytes`; never allocates more than a bound fixed by the format's own limits (not by sizes
// read from the file alone: a hostile header must not make it allocate gigabytes); never takes
// more than a few passes over the span; never throws.
using ValidateFunction = Validation (*)(ByteSpan& bytes);

// A cheap first look at a block that might continue a file of some type, before the
// validator decodes the whole candidate: false when the block cannot be part of such a file's
// data (a JPEG's entropy-coded data never holds a marker other than a restart or its end).
using ContinuationCheck = bool (*)(const unsigned char* block, long long size);

// The check for a type, or null when any block might continue it.
ContinuationCheck FindContinuationCheck(const std::string& type);

// What a format's own framing says of a join, judged on the one unit of it that holds the cut.
enum class JoinFit {
  kBreaks,      // that unit, read across the cut, fails its own check (a CRC, the next header)
  kHolds,       // it passes: worth the validator's look at the whole file
  kCannotTell,  // no unit to judge by (or one too long to read for every candidate)
};

// Judges the join at file offset `cut` in `joined` (the file's pieces, the last open-ended)
// by the unit of the format's framing that begins at `unitStart`, the validator's goodUntil for
// the piece before the cut. Reads only that unit (a PNG chunk, an Ogg page, a FLAC frame) and
// the header after it, so that reassembly can afford it for every candidate where a validation
// of the whole file would cost milliseconds. A unit that ends more than kJoinReach past the
// cut is not judged (kCannotTell): the longer the unit, the likelier a further cut inside it,
// which would make the right piece fail its check. A piece shorter than the rest of its unit
// is lost to this check, the price of judging every candidate; JPEG's takes a break some KiB
// past the cut for the end of such a piece.
using JoinCheck = JoinFit (*)(ByteSpan& joined, long long unitStart, long long cut);
constexpr long long kJoinReach = 64 * 1024;
// Where a unit has no check of its own but its length says where the next header is (AVI,
// Matroska), up to this many headers past the cut are read: foreign data looks like a header
// now and then, like a run of them hardly ever. Only those within kJoinHeaderReach of the cut
// (at least one): a further cut a little on must not fail the right piece.
constexpr int kJoinHeaders = 4;
constexpr long long kJoinHeaderReach = 16 * 1024;

// The join check for a type, or null when its framing has no unit to judge a cut by.
JoinCheck FindJoinCheck(const std::string& type);

// Bits that every continuation of a join must hold at some distances past the cut, or the
// join check says kBreaks: an Ogg page that runs on past the cut is followed by the next page's
// capture pattern, and each Vorbis packet begins with a clear bit.
struct JoinExpectation {
  struct Bits {
    long long distance;
    unsigned char mask, value;  // (byte & mask) == value
  };
  std::vector<Bits> bits;
};
// Tells them from the bytes before the cut alone (`prefix` ends at `cut`; `unitStart` as for
// the join check); false when the join check needs no such bits. A search reads them at each
// candidate, about the cost of a blank block's look, instead of joining it for the check.
using JoinExpectationCheck = bool (*)(ByteSpan& prefix, long long unitStart, long long cut,
                                      JoinExpectation* out);
JoinExpectationCheck FindJoinExpectation(const std::string& type);

// Starts another file's search on this thread: what the join checks learnt of the joins of
// the one before is not used for it.
void BeginJoinChecks();

// Whether the validator's "intact" for the type rests on checks that bytes from elsewhere pass
// only by a very rare chance (checksums, exact frame and sample chains): reassembly tries many
// candidates, and a check that noise passes now and then would sooner or later name a wrong
// join intact. Lossy WebP, HEIF (an HEVC decoder takes some foreign slice data without
// complaint), TIFF, PSD and the RAWs are validated, but not rebuilt.
bool RebuildsReliably(const std::string& type);

// Whether the validator notices foreign bytes within a block or so of where they begin, as
// JPEG's entropy decoding does: then bytes it read through before its break were the file's.
bool NoticesSplicesAtOnce(const std::string& type);

// The validator reassembly judges joins with: the same, except where the sink settles for a
// cheaper check that cannot say intact (HEIF items are decoded here).
ValidateFunction FindRebuildValidator(const std::string& type);

// A slower validator that also decodes what the type's validator checks only by structure
// (the video samples of a movie, whose payloads a NAL-length chain does not see into), to tell
// apart the few joins that one cannot. `cuts` are the offsets in `bytes` where pieces were
// joined: intact also needs each picture whose coded data a cut lies in to be seen to end
// where its length says (a decoder reading foreign bytes may finish the picture early and
// leave the rest unread without complaint); where that cannot be seen, kCannotTell.
// Decoding starts at the last keyframe at or before `from` (0: the start), for a caller that
// decoded the bytes before `from` already, in a file that had the same bytes there: pictures
// wholly before it are not looked at again.
using DecodeFunction = Validation (*)(ByteSpan& bytes, const std::vector<long long>& cuts,
                                      long long from);
// Null when the type has none.
DecodeFunction FindDecodingValidator(const std::string& type);

// The validator for a recovered file's type (its extension as the sink names it: "jpg",
// "png", "mp4"...), or null when there is none for it.
ValidateFunction FindValidator(const std::string& type);

}  // namespace salvor
