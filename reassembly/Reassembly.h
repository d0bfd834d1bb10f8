#pragma once

#include <chrono>
#include <map>
#include <vector>

#include "validate/Validator.h"

namespace salvor {

// A run of the source's bytes that is part of a file.
struct Piece {
  long long offset = 0;  // in the source
  long long length = 0;
};

// The bytes of the source a file is made of: its pieces one after another. The last piece is
// open-ended up to `limit` bytes in all, so that a validator can find where the file ends.
class JoinedSpan : public ByteSpan {
 public:
  JoinedSpan(ByteSpan& source, const std::vector<Piece>& pieces, long long limit);
  long long Size() const override { return FSize; }
  long long Read(long long offset, void* buffer, long long length) override;

 private:
  ByteSpan& FSource;
  std::vector<Piece> FPieces;  // the last one cut to what the source and the limit allow
  long long FSize = 0;
};

// Where the source's bytes are known to belong to some file already: intact files whole, and
// damaged files up to where they were proven good. A continuation is looked for elsewhere
// first.
class ClaimedRanges {
 public:
  void Add(long long begin, long long end);
  // Unclaims [begin, end): a file first taken as whole there was not.
  void Remove(long long begin, long long end);
  // The end of the claimed range holding offset, or offset itself when none does.
  long long SkipClaimed(long long offset) const;
  // The start of the claimed range holding offset, or offset itself when none does.
  long long SkipClaimedBackwards(long long offset) const;
  bool Claimed(long long offset) const { return SkipClaimed(offset) != offset; }

 private:
  std::map<long long, long long> FRanges;  // begin -> end, joined where they touch
};

// What the search may spend on one file: a hostile source must not stall the run.
struct SearchLimits {
  long long blockSize = 512;
  long long maxGapBlocks = 16384;  // how far from a break a continuation is looked for
  int maxPieces = 3;
  long long maxTries = 100000;  // validations per file
  std::chrono::milliseconds maxTime{3000};
  long long maxFileBytes = 256LL << 20;  // the format's largest file
  // The validator notices foreign bytes within a block of where they begin: what it read
  // through before its break is no gap between pieces.
  bool splicesShowAtOnce = false;
};

// A file found damaged: where it starts and where its validator placed the break.
struct BrokenFile {
  long long offset = 0;
  long long goodUntil = 0;
  long long damagedAt = 0;
};

struct Rebuilt {
  bool found = false;
  std::vector<Piece> pieces;  // in file order
  long long size = 0;
  long long tries = 0;   // validations spent
  long long judged = 0;  // candidates the join check ruled out before any validation
  bool outOfTime = false;
};

// Looks in `source` for the pieces that make `file` whole: first one continuation after the
// break (the rest of the file in one piece, a gap of whole blocks away, after or before the
// first piece), then, from the continuations that get furthest, a further piece each, up to
// limits.maxPieces. A result is found only when `validate` says the joined pieces are intact;
// nothing is guessed.
// `couldContinue` (may be null) rules out a candidate block cheaply before any validation, and
// `joinCheck` (may be null) a join by the framing unit across its cut; `expectation` (may be
// null; used with `joinCheck`) names bytes a continuation must hold for that check, read at
// each candidate before anything else. A join that validates
// as well with its cut (and continuation) some blocks away is no file unless `decode` (may be
// null), a slower validator, passes exactly one of those joins alike: that one is the file.
Rebuilt FindPieces(ByteSpan& source, ValidateFunction validate, const BrokenFile& file,
                   const ClaimedRanges& claimed, const SearchLimits& limits,
                   ContinuationCheck couldContinue = nullptr, JoinCheck joinCheck = nullptr,
                   DecodeFunction decode = nullptr, JoinExpectationCheck expectation = nullptr);

}  // namespace salvor
