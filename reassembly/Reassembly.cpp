#include "reassembly/Reassembly.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <queue>
#include <set>
#include <thread>

namespace salvor {

JoinedSpan::JoinedSpan(ByteSpan& source, const std::vector<Piece>& pieces, long long limit)
    : FSource(source) {
  for (Piece piece : pieces) {
    if (FSize >= limit) break;
    if (piece.offset < 0 || piece.offset >= source.Size()) break;
    const long long wanted = std::min(piece.length, limit - FSize);
    piece.length = std::min(wanted, source.Size() - piece.offset);
    if (piece.length <= 0) break;
    FPieces.push_back(piece);
    FSize += piece.length;
    // The source ends inside the piece: what follows it would not lie where the file has it.
    if (piece.length < wanted) break;
  }
}

long long JoinedSpan::Read(long long offset, void* buffer, long long length) {
  if (offset < 0 || length <= 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  long long done = 0;
  long long start = 0;  // of the piece in the file
  for (const Piece& piece : FPieces) {
    if (done == length) break;
    const long long at = offset + done;
    if (at < start + piece.length) {
      const long long within = at - start;
      const long long want = std::min(length - done, piece.length - within);
      const long long got = FSource.Read(piece.offset + within, out + done, want);
      done += std::max(0LL, got);
      if (got < want) break;
    }
    start += piece.length;
  }
  return done;
}

void ClaimedRanges::Add(long long begin, long long end) {
  if (end <= begin) return;
  auto it = FRanges.upper_bound(begin);
  if (it != FRanges.begin() && std::prev(it)->second >= begin) {
    --it;
    begin = it->first;
  }
  while (it != FRanges.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = FRanges.erase(it);
  }
  FRanges[begin] = end;
}

void ClaimedRanges::Remove(long long begin, long long end) {
  if (end <= begin) return;
  auto it = FRanges.upper_bound(begin);
  if (it != FRanges.begin() && std::prev(it)->second > begin) --it;
  while (it != FRanges.end() && it->first < end) {
    const long long from = it->first, to = it->second;
    it = FRanges.erase(it);
    if (from < begin) FRanges[from] = begin;
    if (to > end) FRanges[end] = to;
  }
}

long long ClaimedRanges::SkipClaimed(long long offset) const {
  auto it = FRanges.upper_bound(offset);
  if (it == FRanges.begin()) return offset;
  --it;
  return it->second > offset ? it->second : offset;
}

long long ClaimedRanges::SkipClaimedBackwards(long long offset) const {
  auto it = FRanges.upper_bound(offset);
  if (it == FRanges.begin()) return offset;
  --it;
  return it->second > offset ? it->first : offset;
}

namespace {

// What a join check costs against a validation, about: a unit read, not the whole file decoded.
constexpr long long kJudgedPerTry = 100;

// A file's pieces followed by zeros up to `size`: what a validator makes of a continuation
// that cannot be the file's, to measure real ones against.
class ZeroTail : public ByteSpan {
 public:
  ZeroTail(ByteSpan& source, const std::vector<Piece>& pieces, long long size)
      : FPieces(source, pieces, size), FSize(size) {}
  long long Size() const override { return FSize; }
  long long Read(long long offset, void* buffer, long long length) override {
    if (offset < 0 || length <= 0 || offset >= FSize) return 0;
    length = std::min(length, FSize - offset);
    const long long got = FPieces.Read(offset, buffer, length);
    std::memset(static_cast<char*>(buffer) + got, 0, static_cast<size_t>(length - got));
    return length;
  }

 private:
  JoinedSpan FPieces;
  long long FSize;
};

// A span read by one thread at a time: the source keeps a cache of its own.
class LockedSpan : public ByteSpan {
 public:
  LockedSpan(ByteSpan& span, std::mutex& lock) : FSpan(span), FLock(lock) {}
  long long Size() const override { return FSpan.Size(); }
  long long Read(long long offset, void* buffer, long long length) override {
    const std::lock_guard<std::mutex> hold(FLock);
    return FSpan.Read(offset, buffer, length);
  }

 private:
  ByteSpan& FSpan;
  std::mutex& FLock;
};

// The search for one file: its limits, its budget and the best it found.
class PieceSearch {
 public:
  PieceSearch(ByteSpan& source, ValidateFunction validate, const BrokenFile& file,
              const ClaimedRanges& claimed, const SearchLimits& limits,
              ContinuationCheck couldContinue, JoinCheck joinCheck, DecodeFunction decode,
              JoinExpectationCheck expectation)
      : FSource(source),
        FValidate(validate),
        FCouldContinue(couldContinue),
        FJoinCheck(joinCheck),
        FDecode(decode),
        FExpectation(joinCheck != nullptr ? expectation : nullptr),
        FFile(file),
        FClaimed(claimed),
        FLimits(limits),
        FBlock(std::max(1LL, limits.blockSize)),
        FDeadline(std::chrono::steady_clock::now() + limits.maxTime),
        FSample(static_cast<size_t>(FBlock)) {}

  Rebuilt Run();

 private:
  // Pieces that read on past their last cut before failing: followed for a further piece.
  struct Partial {
    std::vector<Piece> pieces;
    Validation validation;
  };
  // Tries the file as `prefix` then the source from `start` on: true when that is the whole
  // file (the result is kept); a continuation that reads on is added to `furthest`.
  // `baseline`: the prefix's Baseline, kNotYet until a candidate needs it (most do not get
  // past the join check); a prefix that breaks before its cut takes no continuation.
  // `unitStart`: where the framing unit holding the cut begins in the file (-1: not known);
  // `knownBreak`: where in the source the uncut last piece broke (-1: nowhere known).
  bool TryContinuation(const std::vector<Piece>& prefix, long long& baseline, long long start,
                       int depth, std::vector<Partial>& furthest, long long unitStart,
                       long long knownBreak = -1);
  // Whether a continuation that reads `reach` bytes past its cut is followed at once, among
  // those of one search for the next piece: the first few, then only one that reads on twice
  // as far as any followed before (the file's own bytes stored elsewhere read on for some KiB
  // from almost any block, the right ones to the next cut).
  bool WorthALook(int depth, long long reach) {
    if (FLooks.size() <= static_cast<size_t>(depth)) FLooks.resize(depth + 1);
    Looks& looks = FLooks[depth];
    if (looks.count >= kLooksAtOnce && reach < 2 * looks.furthest) return false;
    ++looks.count;
    looks.furthest = std::max(looks.furthest, reach);
    return true;
  }
  // The same join with its cut, and its continuation with it, moved a block at a time either
  // way for as long as that validates as well: the cut may lie anywhere in a sample whose
  // payload the validator cannot see into. False when the walk could not reach the end of
  // them (out of time, or more than kMaxAlikeSteps either way).
  bool AlikeJoins(const std::vector<Piece>& prefix, long long start,
                  std::vector<std::vector<Piece>>& alike) {
    for (long long step : {-FBlock, FBlock}) {
      for (long long k = 1;; ++k) {
        if (k > kMaxAlikeSteps || JudgementSpent()) return false;
        std::vector<Piece> moved = prefix;
        moved.back().length += k * step;
        if (moved.back().length <= 0 || start + k * step < 0) break;
        moved.push_back({start + k * step, FLimits.maxFileBytes});
        if (Try(moved).verdict != Verdict::kIntact) break;
        alike.push_back(std::move(moved));
      }
    }
    return true;
  }
  // The one of `joins` that decodes whole, or null when none or more than one does (or the
  // time ran out before all were decoded).
  const std::vector<Piece>* TheOneThatDecodes(const std::vector<std::vector<Piece>>& joins) {
    if (FDecode == nullptr || joins.empty() || JudgementSpent()) return nullptr;
    // Up to the earliest of their last cuts, they are the same bytes: a decoder that fails
    // there fails every one of them (an earlier cut is wrong). The first is decoded whole,
    // the rest from the keyframe before that on.
    long long shared = std::numeric_limits<long long>::max();
    for (const std::vector<Piece>& join : joins)
      shared = std::min(shared, Length(join) - join.back().length);
    const Validation first = Decode(joins.front(), 0);
    if (first.verdict == Verdict::kDamaged && first.damagedAt <= shared) return nullptr;
    std::vector<Validation> decoded;
    if (!DecodeEach({joins.begin() + 1, joins.end()}, shared, decoded)) return nullptr;
    decoded.insert(decoded.begin(), first);
    const std::vector<Piece>* found = nullptr;
    for (size_t i = 0; i < joins.size(); ++i) {
      if (decoded[i].verdict != Verdict::kIntact) continue;
      if (found != nullptr) return nullptr;
      found = &joins[i];
    }
    if (found != nullptr && found != &joins.front() &&
        Decode(*found, 0).verdict != Verdict::kIntact)
      return nullptr;
    return found;
  }
  // Decodes each of `joins` from the keyframe before `from` on, on every core (the source is
  // read by one at a time). False when the judgement's time or tries ran out first.
  bool DecodeEach(const std::vector<std::vector<Piece>>& joins, long long from,
                  std::vector<Validation>& decoded) {
    decoded.assign(joins.size(), Validation::CannotTell());
    if (JudgementSpent() || FResult.tries + static_cast<long long>(joins.size()) > FLimits.maxTries)
      return false;
    FResult.tries += static_cast<long long>(joins.size());
    std::mutex reading;
    LockedSpan source(FSource, reading);
    std::atomic<size_t> next{0};
    std::atomic<bool> late{false};
    const auto work = [&] {
      for (size_t i; (i = next++) < joins.size();) {
        if (std::chrono::steady_clock::now() >= FJudgementDeadline) {
          late = true;
          return;
        }
        JoinedSpan span(source, joins[i], FLimits.maxFileBytes);
        decoded[i] = FDecode(span, CutsOf(joins[i]), from);
      }
    };
    const size_t helpers =
        std::min<size_t>(joins.size(), std::max(1u, std::thread::hardware_concurrency())) - 1;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < helpers; ++t) threads.emplace_back(work);
    work();
    for (std::thread& thread : threads) thread.join();
    if (late) FResult.outOfTime = true;
    return !late;
  }
  static std::vector<long long> CutsOf(const std::vector<Piece>& pieces) {
    std::vector<long long> cuts;
    for (size_t i = 0; i + 1 < pieces.size(); ++i)
      cuts.push_back((cuts.empty() ? 0 : cuts.back()) + pieces[i].length);
    return cuts;
  }

  // Where decoding the pieces puts their first foreign byte (Validation::likelyAt), -1 when
  // it does not say.
  long long LikelyBreak(const std::vector<Piece>& pieces) {
    if (FDecode == nullptr) return -1;
    const Validation decoded = Decode(pieces, 0);
    return decoded.verdict == Verdict::kDamaged ? decoded.likelyAt : -1;
  }
  // Decodes the file the pieces make, from the keyframe before `from` on.
  Validation Decode(const std::vector<Piece>& pieces, long long from) {
    if (FResult.tries >= FLimits.maxTries) return Validation::CannotTell();
    ++FResult.tries;
    JoinedSpan span(FSource, pieces, FLimits.maxFileBytes);
    return FDecode(span, CutsOf(pieces), from);
  }
  // Where the validator finds the break when zeros follow the prefix.
  long long Baseline(const std::vector<Piece>& prefix) {
    ++FResult.tries;
    ZeroTail zeros(FSource, prefix, FLimits.maxFileBytes);
    const Validation result = FValidate(zeros);
    return result.verdict == Verdict::kDamaged ? result.damagedAt : -1;
  }
  // A file whose break lies in [goodUntil, damagedAt) of its pieces, the last of which ends
  // there; tries every continuation, then goes on from those that got furthest.
  bool Extend(std::vector<Piece> pieces, const Validation& validation, int depth);
  // Where the validator says which bytes belong further on (a movie header after the media
  // data), those bytes found in the source fix the distance to the rest of the file: every cut
  // is tried with the continuation that distance away.
  bool FollowAnchor(const std::vector<Piece>& pieces, const Validation& validation,
                    std::vector<Partial>& furthest, int depth);
  // The same for a file in one more piece: the rest from the anchor on is one piece, which
  // makes the middle piece's candidates judged with the anchored bytes (a movie header) in
  // place, and the middle piece's end is tried with the rest that distance away.
  // `beforeAnchor`: where the join of `pieces` with the anchored rest breaks; the anchor's
  // bytes lie at `anchorInFile` in the file and at `anchorAt` in the source.
  bool ThroughMiddle(const std::vector<Piece>& pieces, const Validation& beforeAnchor,
                     long long anchorInFile, long long anchorAt);
  // A join among those alike: its cut, its continuation's start, how the join validates and
  // how far into the file it decodes.
  struct Alike {
    long long cut, start;
    Validation validation;
    long long decodedTo = 0;
  };
  // The join `trialFor(cut, start)` (which validated as `result`) and those with the cut and
  // the continuation moved a block at a time either way for as long as `readsOn` their
  // validation as well: the samples' structure does not see the bytes round the cut. When
  // there are several and the type decodes, in the order of how far each decodes, furthest
  // first (the right cut decodes to the next break, a wrong one fails where it is).
  template <typename TrialFor, typename ReadsOn>
  std::vector<Alike> AlikeByDecoding(long long cut, long long start, const Validation& result,
                                     const TrialFor& trialFor, const ReadsOn& readsOn);
  // Hands every (cut, continuation) pair, a continuation for each of `prefixes`, to `tryPair`
  // (index of the prefix, start) in the order of rank times distance: true as soon as it says
  // so, false when none did or the work was spent. With `unitStart` (>= 0), a continuation
  // without the bytes the join check needs of it for its prefix is passed over unjoined.
  template <typename TryPair>
  bool EachCandidate(const std::vector<std::vector<Piece>>& prefixes, TryPair&& tryPair,
                     long long unitStart = -1);
  // What the join check needs of every continuation of a prefix, and the bytes of the source
  // last read to tell it, a window for each list of candidates: consecutive candidates find
  // their bits a block apart in it.
  struct Expected {
    JoinExpectation expectation;
    long long low = 0, high = 0;  // the nearest and furthest distance of its bits
  };
  struct ReadWindow {
    std::vector<unsigned char> bytes;
    long long from = 0, got = 0;
  };
  Expected ExpectationOf(const std::vector<Piece>& prefix, long long unitStart);
  // Whether the continuation at `start` holds those bits, or cannot be read that far.
  bool Holds(const Expected& expected, long long start, bool forward, ReadWindow& window);
  // The cuts to try: block boundaries of the source inside the break's range, nearest the
  // place the validator noticed first, a known file's start before all.
  std::vector<long long> Cuts(const std::vector<Piece>& pieces, long long goodUntil,
                              long long damagedAt, long long likelyAt = -1);
  // The places a continuation may start, handed out one at a time: unclaimed blocks after the
  // cut, nearest first, or before the file's first piece.
  struct Starts {
    bool forward;
    long long next;   // the block to look at next
    long long bound;  // forward: the first block past reach; backward: the last within it
    long long handed = 0;
  };
  Starts StartsOf(const std::vector<Piece>& pieces, bool forward) const;
  // The next start of the list, or -1 when it has none left.
  long long NextStart(Starts& starts, const std::vector<Piece>& pieces) const;
  // A block of one repeated byte (zeros, erased flash) continues no compressed file.
  bool Blank(long long offset);
  // Whether the block at offset may continue the file: not blank, and the format's first look
  // does not rule it out.
  bool CouldContinue(long long offset) {
    return !Blank(offset) &&
           (FCouldContinue == nullptr ||
            FCouldContinue(FSample.data(), static_cast<long long>(FSample.size())));
  }
  Validation Try(const std::vector<Piece>& pieces);
  // Validations, with the candidates the join check ruled out counted at their cost.
  long long Work() const { return FResult.tries + FResult.judged / kJudgedPerTry; }
  bool Spent() {
    if (FResult.tries >= FLimits.maxTries || Work() >= FTryCeiling) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < FLookDeadline) return false;
    if (now >= FDeadline) FResult.outOfTime = true;
    return true;
  }
  // Time spent telling joins alike apart counts against JudgementSpent only: the search's own
  // deadlines move on by as much while a scope of this lives.
  class JudgementTime {
   public:
    explicit JudgementTime(PieceSearch& search)
        : FSearch(search), FStart(std::chrono::steady_clock::now()) {}
    ~JudgementTime() {
      const auto spent = std::chrono::steady_clock::now() - FStart;
      FSearch.FDeadline += spent;
      FSearch.FLookDeadline += spent;
    }

   private:
    PieceSearch& FSearch;
    std::chrono::steady_clock::time_point FStart;
  };
  // The same for telling joins alike apart, a validation or a decode each: the first such
  // judgement in a search may take twice as long as the search was given, so that a search
  // that found its file's joins near the end of its time still judges them.
  bool JudgementSpent() {
    if (FResult.tries >= FLimits.maxTries) return true;
    const auto now = std::chrono::steady_clock::now();
    if (FJudgementDeadline == std::chrono::steady_clock::time_point())
      FJudgementDeadline = std::max(now, FDeadline) + 2 * FLimits.maxTime;
    if (now < FJudgementDeadline) return false;
    FResult.outOfTime = true;
    return true;
  }
  static long long Length(const std::vector<Piece>& pieces) {
    long long total = 0;
    for (const Piece& piece : pieces) total += piece.length;
    return total;
  }

  ByteSpan& FSource;
  ValidateFunction FValidate;
  ContinuationCheck FCouldContinue;
  JoinCheck FJoinCheck;
  DecodeFunction FDecode;
  JoinExpectationCheck FExpectation;
  BrokenFile FFile;
  const ClaimedRanges& FClaimed;
  SearchLimits FLimits;
  long long FBlock;
  std::chrono::steady_clock::time_point FDeadline;
  std::vector<uint8_t> FSample;
  Rebuilt FResult;
  long long FTryCeiling = std::numeric_limits<long long>::max();    // of a look ahead
  std::chrono::steady_clock::time_point FLookDeadline = FDeadline;  // the same, by the clock
  static constexpr int kLooksAtOnce = 2;
  static constexpr long long kMaxAlikeSteps = 256;
  static constexpr long long kNotYet = std::numeric_limits<long long>::min();
  struct Looks {
    int count = 0;
    long long furthest = 0;  // bytes past its cut the furthest of them read
  };
  std::vector<Looks> FLooks;  // by depth, for the search going on there
  // What joins alike share: the prefix's piece offsets and the continuation's distance from
  // its cut.
  static std::vector<long long> AlikeKey(const std::vector<Piece>& prefix, long long start) {
    std::vector<long long> key;
    for (const Piece& piece : prefix) key.push_back(piece.offset);
    key.push_back(start - (prefix.back().offset + prefix.back().length));
    return key;
  }
  // Joins judged with those alike, by AlikeKey.
  std::set<std::vector<long long>> FJudgedAlike;
  // Continuations that read on, judged with those alike: as FJudgedAlike.
  std::set<std::vector<long long>> FJudgedReadingOn;
  std::chrono::steady_clock::time_point FJudgementDeadline;  // set by the first judgement
};

// The continuations that got furthest are followed for a further piece: a few, not all.
constexpr size_t kFollowed = 3;
constexpr size_t kMaxCuts = 32;
// Where a join check rules out most candidates for a few microseconds each, every cut in a
// unit as long as the check reads is worth a look, and this many more.
constexpr size_t kJudgedCutMargin = 8;
// The continuations before a file's first piece rank as this many cuts further down.
constexpr long long kBackwardRank = 4;
constexpr size_t kTopFirst = 4;
// A continuation that reads on this many blocks past its cut is followed at once.
constexpr long long kConvincingBlocks = 8;
constexpr long long kProbeTries = 5000;
// The depth given for a continuation that is only to be judged whole or not.
constexpr int kNoLookAhead = -1;

Rebuilt PieceSearch::Run() {
  if (FValidate == nullptr || FFile.offset < 0 || FFile.offset >= FSource.Size()) return FResult;
  BeginJoinChecks();
  // The file again, open-ended: the length the scan gave it may be what hid its end.
  std::vector<Piece> whole{{FFile.offset, FLimits.maxFileBytes}};
  const Validation first = Try(whole);
  if (first.verdict == Verdict::kIntact) {
    FResult.found = true;
    FResult.pieces = {{FFile.offset, first.end}};
    FResult.size = first.end;
    return FResult;
  }
  Validation broken = first;
  if (first.verdict != Verdict::kDamaged)
    broken = Validation::Damaged(FFile.goodUntil, FFile.damagedAt, {});
  else
    broken.likelyAt = LikelyBreak(whole);
  Extend(whole, broken, 1);
  return FResult;
}

Validation PieceSearch::Try(const std::vector<Piece>& pieces) {
  ++FResult.tries;
  JoinedSpan span(FSource, pieces, FLimits.maxFileBytes);
  return FValidate(span);
}

bool PieceSearch::Blank(long long offset) {
  if (FSource.Read(offset, FSample.data(), FBlock) < FBlock) return true;
  return std::all_of(FSample.begin(), FSample.end(), [&](uint8_t b) { return b == FSample[0]; });
}

std::vector<long long> PieceSearch::Cuts(const std::vector<Piece>& pieces, long long goodUntil,
                                         long long damagedAt, long long likelyAt) {
  const Piece& last = pieces.back();
  const long long lastStart = Length(pieces) - last.length;  // in the file
  // The block boundaries of the source in the last piece between the two offsets.
  const long long low = std::max(goodUntil, lastStart + 1) - lastStart + last.offset;
  const long long high = std::min(damagedAt, lastStart + last.length) - lastStart + last.offset;
  const long long first = (low + FBlock - 1) / FBlock * FBlock;
  const long long final = high / FBlock * FBlock;
  const size_t maxCuts =
      FJoinCheck != nullptr
          ? std::max(kMaxCuts, static_cast<size_t>(kJoinReach / FBlock) + kJudgedCutMargin)
          : kMaxCuts;
  std::vector<long long> cuts;
  const long long likely = likelyAt > lastStart ? likelyAt - lastStart + last.offset : -1;
  if (likely >= first && likely <= final) {
    // Where a decoder's complaint puts the break: outward from there, the block before first.
    for (long long down = likely / FBlock * FBlock, up = down + FBlock;
         cuts.size() < maxCuts && (down >= first || up <= final); down -= FBlock, up += FBlock) {
      if (down >= first) cuts.push_back(down);
      if (up <= final && cuts.size() < maxCuts) cuts.push_back(up);
    }
  } else {
    // A decoder notices a splice a little late: the break is just before damagedAt. Where a
    // structure check proved all but the last frame or chunk, it may as well be just past
    // goodUntil: the first cuts from there join the likeliest, then both ends take turns.
    const bool proven = goodUntil > lastStart;
    std::vector<long long> fromTop, fromBottom;
    for (long long at = final; at >= first && fromTop.size() < maxCuts; at -= FBlock)
      fromTop.push_back(at);
    for (long long at = first; proven && at <= final && fromBottom.size() < maxCuts; at += FBlock)
      fromBottom.push_back(at);
    const auto add = [&](const std::vector<long long>& from, size_t& next) {
      if (next >= from.size()) return;
      if (std::find(cuts.begin(), cuts.end(), from[next]) == cuts.end()) cuts.push_back(from[next]);
      ++next;
    };
    size_t top = 0, bottom = 0;
    while (top < kTopFirst && top < fromTop.size()) add(fromTop, top);
    add(fromBottom, bottom);
    add(fromBottom, bottom);
    while (cuts.size() < maxCuts && (top < fromTop.size() || bottom < fromBottom.size())) {
      add(fromTop, top);
      add(fromBottom, bottom);
    }
  }
  // A blank block just before the cut is not the end of a piece of compressed data.
  cuts.erase(std::remove_if(cuts.begin(), cuts.end(),
                            [&](long long at) { return at - FBlock >= 0 && Blank(at - FBlock); }),
             cuts.end());
  // A file found by the scan starts at the cut: the likeliest place of all.
  std::stable_partition(cuts.begin(), cuts.end(), [&](long long at) {
    return FClaimed.Claimed(at) && !FClaimed.Claimed(at - 1);
  });
  for (long long& cut : cuts) cut = cut - last.offset + lastStart;
  return cuts;
}

PieceSearch::Starts PieceSearch::StartsOf(const std::vector<Piece>& pieces, bool forward) const {
  const Piece& last = pieces.back();
  const long long reach = FLimits.maxGapBlocks * FBlock;
  if (forward) {
    const long long cutAt = last.offset + last.length;
    return {true, (cutAt + FBlock) / FBlock * FBlock, std::min(FSource.Size(), cutAt + reach + 1)};
  }
  const long long first = pieces.front().offset / FBlock * FBlock;
  return {false, first - FBlock, std::max(0LL, first - reach)};
}

long long PieceSearch::NextStart(Starts& starts, const std::vector<Piece>& pieces) const {
  auto used = [&](long long at) {
    for (const Piece& piece : pieces)
      if (at >= piece.offset && at < piece.offset + piece.length) return true;
    return false;
  };
  while (starts.forward ? starts.next < starts.bound : starts.next >= starts.bound) {
    const long long at = starts.next;
    const long long free =
        starts.forward ? FClaimed.SkipClaimed(at) : FClaimed.SkipClaimedBackwards(at);
    if (free != at) {  // past the claimed range
      starts.next =
          starts.forward ? (free + FBlock - 1) / FBlock * FBlock : free / FBlock * FBlock - FBlock;
      continue;
    }
    starts.next = starts.forward ? at + FBlock : at - FBlock;
    if (used(at)) continue;
    ++starts.handed;
    return at;
  }
  return -1;
}

bool PieceSearch::TryContinuation(const std::vector<Piece>& prefix, long long& baseline,
                                  long long start, int depth, std::vector<Partial>& furthest,
                                  long long unitStart, long long knownBreak) {
  const long long cut = Length(prefix);
  const auto breaksBeforeCut = [&] { return baseline >= 0 && baseline < cut; };
  if (baseline != kNotYet && breaksBeforeCut()) return false;
  std::vector<Piece> trial = prefix;
  trial.push_back({start, FLimits.maxFileBytes});
  if (FJoinCheck != nullptr && unitStart >= 0) {
    JoinedSpan joined(FSource, trial, FLimits.maxFileBytes);
    if (FJoinCheck(joined, unitStart, cut) == JoinFit::kBreaks) {
      ++FResult.judged;
      return false;
    }
  }
  if (baseline == kNotYet) {
    baseline = Baseline(prefix);
    if (breaksBeforeCut() || Spent()) return false;
  }
  const Validation result = Try(trial);
  if (result.verdict == Verdict::kIntact && result.end > cut) {
    // Where the validator cannot see into the bytes round the cut (a movie's sample
    // payloads), the cut some blocks earlier or later passes too: that is a guess, not a
    // file, unless decoding tells them apart.
    // The joins that share this one's pieces but for where the cut lies are judged together,
    // once.
    if (!FJudgedAlike.insert(AlikeKey(prefix, start)).second) return false;
    const JudgementTime judging(*this);
    std::vector<std::vector<Piece>> alike;
    if (!AlikeJoins(prefix, start, alike)) return false;
    Validation whole = result;
    if (!alike.empty()) {
      alike.push_back(trial);
      const std::vector<Piece>* decoded = TheOneThatDecodes(alike);
      if (decoded == nullptr) return false;
      trial = *decoded;
      if (trial.back().offset != start) whole = Try(trial);
      if (whole.verdict != Verdict::kIntact) return false;
    }
    trial.back().length = whole.end - (Length(trial) - trial.back().length);
    FResult.found = true;
    FResult.pieces = std::move(trial);
    FResult.size = whole.end;
    return true;
  }
  // Reading on no further than past zeros says nothing about the continuation (a movie
  // without its header breaks at the same place whatever follows the cut).
  if (result.verdict != Verdict::kDamaged || result.damagedAt < cut + FBlock ||
      result.damagedAt <= baseline + FBlock)
    return false;
  // Nor reading on to the very byte where the uncut piece broke: a decoder that resynchronises
  // (JPEG) reads the piece's own bytes a block or two on as well as in place.
  if (start + (result.damagedAt - cut) == knownBreak) return false;
  // Read on for several blocks past the cut (two where a splice shows at once), or proven
  // past it: almost surely the next piece, followed at once for the one after it.
  const long long convincing = FLimits.splicesShowAtOnce ? 2 : kConvincingBlocks;
  const auto readsOn = [&](const Validation& v, long long at) {
    return v.verdict == Verdict::kDamaged &&
           (v.goodUntil > at || v.damagedAt >= at + convincing * FBlock);
  };
  Validation reading = result;
  long long readingCut = cut;
  if (depth != kNoLookAhead && FDecode != nullptr && readsOn(result, cut)) {
    // A movie's piece reads on as well with its cut some blocks away: the one of those that
    // decodes furthest goes on, once.
    if (!FJudgedReadingOn.insert(AlikeKey(prefix, start)).second) return false;
    const long long lastStart = cut - prefix.back().length;
    const auto trialFor = [&](long long movedCut, long long movedStart) {
      std::vector<Piece> moved = prefix;
      moved.back().length = movedCut - lastStart;
      if (moved.back().length <= 0 || movedStart < 0) return std::vector<Piece>();
      moved.push_back({movedStart, FLimits.maxFileBytes});
      return moved;
    };
    const auto all = AlikeByDecoding(cut, start, result, trialFor, readsOn);
    const Alike best = all.front();
    trial = trialFor(best.cut, best.start);
    reading = best.validation;
    readingCut = best.cut;
  }
  if (depth != kNoLookAhead && depth + 1 < FLimits.maxPieces && readsOn(reading, readingCut) &&
      WorthALook(depth, reading.damagedAt - readingCut)) {
    // A look of its own, with a small share of the tries and of the time: a wrong cut can
    // read on too, and a validation of a long prefix takes milliseconds.
    const long long ceiling = FTryCeiling;
    const auto deadline = FLookDeadline;
    FTryCeiling = std::min(ceiling, Work() + kProbeTries);
    FLookDeadline = std::min(deadline, std::chrono::steady_clock::now() + FLimits.maxTime / 4);
    const bool found = Extend(trial, reading, depth + 1);
    FTryCeiling = ceiling;
    FLookDeadline = deadline;
    if (found) return true;
  }
  // A block or more: perhaps a piece of the file, followed once the rest is tried.
  furthest.push_back({std::move(trial), reading});
  return false;
}

template <typename TrialFor, typename ReadsOn>
std::vector<PieceSearch::Alike> PieceSearch::AlikeByDecoding(long long cut, long long start,
                                                             const Validation& result,
                                                             const TrialFor& trialFor,
                                                             const ReadsOn& readsOn) {
  const JudgementTime judging(*this);
  std::vector<Alike> alike{{cut, start, result}};
  for (long long step : {-FBlock, FBlock}) {
    for (long long k = 1; k <= kMaxAlikeSteps && !JudgementSpent(); ++k) {
      const std::vector<Piece> moved = trialFor(cut + k * step, start + k * step);
      if (moved.empty()) break;
      const Validation validation = Try(moved);
      if (!readsOn(validation, cut + k * step)) break;
      alike.push_back({cut + k * step, start + k * step, validation});
    }
  }
  if (FDecode == nullptr || alike.size() < 2) return alike;
  // They share their bytes up to the earliest cut: the first is decoded whole, the rest from
  // the keyframe before that cut on.
  long long shared = cut;
  std::vector<std::vector<Piece>> rest;
  for (const Alike& join : alike) {
    shared = std::min(shared, join.cut);
    if (&join != &alike.front()) rest.push_back(trialFor(join.cut, join.start));
  }
  std::vector<Validation> decoded;
  if (JudgementSpent()) return alike;
  decoded.push_back(Decode(trialFor(cut, start), 0));
  std::vector<Validation> others;
  DecodeEach(rest, shared, others);
  decoded.insert(decoded.end(), others.begin(), others.end());
  for (size_t i = 0; i < alike.size(); ++i) {
    alike[i].decodedTo = decoded[i].verdict == Verdict::kDamaged ? decoded[i].damagedAt
                         : decoded[i].verdict == Verdict::kIntact
                             ? std::numeric_limits<long long>::max()
                             : 0;
  }
  std::stable_sort(alike.begin(), alike.end(),
                   [](const Alike& a, const Alike& b) { return a.decodedTo > b.decodedTo; });
  return alike;
}

template <typename TryPair>
bool PieceSearch::EachCandidate(const std::vector<std::vector<Piece>>& prefixes, TryPair&& tryPair,
                                long long unitStart) {
  // Every (cut, continuation) pair is tried in the order of its rank times its distance: the
  // likeliest cut is tried with the nearest continuations first and with every one in the end,
  // the less likely ones with as many fewer as their rank is further down, so that a wrong
  // first guess of the cut does not use up the time before the right one is tried. A file
  // system puts the rest of a file after its start far more often than before it: the
  // continuations before the file count as four ranks further down.
  struct Candidates {
    size_t prefix;
    long long rank;
    Starts starts;
    ReadWindow window;
  };
  std::vector<Candidates> lists;
  std::vector<Expected> expected(prefixes.size());
  for (size_t j = 0; j < prefixes.size() && unitStart >= 0; ++j)
    expected[j] = ExpectationOf(prefixes[j], unitStart);
  using Turn = std::pair<long long, size_t>;  // rank times distance, list
  std::priority_queue<Turn, std::vector<Turn>, std::greater<Turn>> turns;
  for (size_t j = 0; j < prefixes.size(); ++j) {
    for (bool forward : {true, false}) {
      // Squared: a decoder's first guess of the cut is right far more often than not.
      const long long rank =
          static_cast<long long>((j + 1) * (j + 1)) * (forward ? 1 : kBackwardRank);
      lists.push_back({j, rank, StartsOf(prefixes[j], forward), {}});
      turns.push({rank, lists.size() - 1});
    }
  }
  while (!turns.empty()) {
    const size_t index = turns.top().second;
    turns.pop();
    Candidates& list = lists[index];
    const long long start = NextStart(list.starts, prefixes[list.prefix]);
    if (start < 0) continue;
    turns.push({list.rank * (list.starts.handed + 1), index});
    if (Spent()) return false;
    if (!Holds(expected[list.prefix], start, list.starts.forward, list.window) ||
        !CouldContinue(start))
      continue;
    if (tryPair(list.prefix, start)) return true;
  }
  return false;
}

PieceSearch::Expected PieceSearch::ExpectationOf(const std::vector<Piece>& prefix,
                                                 long long unitStart) {
  Expected expected;
  const long long cut = Length(prefix);
  JoinedSpan joined(FSource, prefix, cut);
  // Only where the whole prefix is there to read, and within the file's reach: a join the check
  // cannot read that far is not ruled out by them.
  if (FExpectation == nullptr || joined.Size() != cut ||
      !FExpectation(joined, unitStart, cut, &expected.expectation))
    return Expected();
  const auto& bits = expected.expectation.bits;
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i].distance < 0 || cut + bits[i].distance + 1 > FLimits.maxFileBytes)
      return Expected();
    expected.low = i == 0 ? bits[i].distance : std::min(expected.low, bits[i].distance);
    expected.high = std::max(expected.high, bits[i].distance);
  }
  return expected;
}

bool PieceSearch::Holds(const Expected& expected, long long start, bool forward,
                        ReadWindow& window) {
  constexpr long long kWindow = 64 * 1024;
  const auto& bits = expected.expectation.bits;
  if (bits.empty()) return true;
  const long long low = start + expected.low, end = start + expected.high + 1;
  const auto covered = [&] { return low >= window.from && end <= window.from + window.got; };
  if (!covered()) {
    if (end - low > kWindow) return true;
    window.bytes.resize(static_cast<size_t>(kWindow));
    window.from = forward ? low : std::max(0LL, end - kWindow);
    window.got = std::max(0LL, FSource.Read(window.from, window.bytes.data(), kWindow));
    // Near the end of the source the join check reads what it can: left to it.
    if (!covered()) return true;
  }
  for (const JoinExpectation::Bits& bit : bits) {
    const unsigned char seen =
        window.bytes[static_cast<size_t>(start + bit.distance - window.from)];
    if ((seen & bit.mask) != bit.value) return false;
  }
  return true;
}

bool PieceSearch::FollowAnchor(const std::vector<Piece>& pieces, const Validation& validation,
                               std::vector<Partial>& furthest, int depth) {
  constexpr size_t kMaxAnchors = 16;
  const Piece& last = pieces.back();
  const long long lastStart = Length(pieces) - last.length;
  const long long length = static_cast<long long>(validation.expect.size());
  if (validation.expectAt <= lastStart || length == 0 || length > FBlock) return false;
  // Where the anchor would be were the file in one piece from its last cut on; it lies a
  // whole number of blocks from there.
  const long long home = last.offset + validation.expectAt - lastStart;
  const long long reach = FLimits.maxGapBlocks * FBlock + validation.expectAt;
  std::vector<long long> anchors;
  std::string seen(static_cast<size_t>(length), '\0');
  for (long long distance = FBlock; distance <= reach && anchors.size() < kMaxAnchors;
       distance += FBlock) {
    for (long long at : {home + distance, home - distance}) {
      if (at < 0 || at + length > FSource.Size() || FClaimed.Claimed(at)) continue;
      if (FSource.Read(at, &seen[0], length) == length && seen == validation.expect)
        anchors.push_back(at);
    }
  }
  // The cuts, as source offsets in the last piece.
  const auto inSource = [&](long long fileOffset) { return fileOffset - lastStart + last.offset; };
  const long long low = inSource(std::max(validation.goodUntil, lastStart + 1));
  const long long high = inSource(std::min(validation.damagedAt, validation.expectAt));
  for (long long anchor : anchors) {
    const long long shift = anchor - home;
    const long long from = (low + FBlock - 1) / FBlock * FBlock;
    long long to = high / FBlock * FBlock;
    if (to < from || to + shift < 0) continue;
    // The join with the latest cut reads the last piece on as far as it can: where that breaks
    // (at the first sample past the real cut, or later) bounds the cut. Not from below: a weak
    // check (audio that decodes whatever it is given) may pass foreign samples.
    if (Spent()) return false;
    std::vector<Piece> longest = pieces;
    longest.back().length = to - last.offset;
    longest.push_back({to + shift, FLimits.maxFileBytes});
    Validation bound = Try(longest);
    if (bound.verdict == Verdict::kDamaged)
      to = std::min(to, inSource(bound.damagedAt) / FBlock * FBlock);
    for (long long at = to; at >= from; at -= FBlock) {
      if (Spent()) return false;
      if (at + shift < 0 || FClaimed.Claimed(at + shift)) continue;
      std::vector<Piece> prefix = pieces;
      prefix.back().length = at - last.offset;
      long long noBaseline = -1;
      if (TryContinuation(prefix, noBaseline, at + shift, kNoLookAhead, furthest,
                          validation.goodUntil))
        return true;
    }
    if (depth == kNoLookAhead || pieces.size() + 2 > static_cast<size_t>(FLimits.maxPieces) ||
        bound.verdict != Verdict::kDamaged)
      continue;
    bound.likelyAt = LikelyBreak(longest);
    if (ThroughMiddle(pieces, bound, validation.expectAt, anchor)) return true;
  }
  return false;
}

bool PieceSearch::ThroughMiddle(const std::vector<Piece>& pieces, const Validation& beforeAnchor,
                                long long anchorInFile, long long anchorAt) {
  // The rest, from the block before the one the anchor's bytes begin in (a header's length
  // may come before them).
  const long long tailAt = anchorAt / FBlock * FBlock - FBlock;
  const long long tailInFile = tailAt - anchorAt + anchorInFile;
  if (tailAt < 0) return false;
  const long long lastStart = Length(pieces) - pieces.back().length;
  const auto prefixTo = [&](long long cut) {
    std::vector<Piece> prefix = pieces;
    prefix.back().length = cut - lastStart;
    return prefix;
  };
  // The middle piece is judged run up to the rest, which must then fit in the source.
  const auto withRest = [&](std::vector<Piece> prefix, long long start) {
    const long long cut = Length(prefix);
    if (cut <= lastStart || cut >= tailInFile || start < 0 ||
        start + (tailInFile - cut) > FSource.Size())
      return std::vector<Piece>();
    prefix.push_back({start, tailInFile - cut});
    prefix.push_back({tailAt, FLimits.maxFileBytes});
    return prefix;
  };
  // Proven past its cut: a break noticed only at the end of a long sample says nothing.
  const auto readsOn = [&](const Validation& v, long long cut) {
    return v.verdict == Verdict::kIntact || (v.verdict == Verdict::kDamaged && v.goodUntil > cut);
  };
  std::vector<std::vector<Piece>> prefixes;
  for (long long cut :
       Cuts(pieces, beforeAnchor.goodUntil, beforeAnchor.damagedAt, beforeAnchor.likelyAt))
    if (cut < tailInFile) prefixes.push_back(prefixTo(cut));
  return EachCandidate(prefixes, [&](size_t j, long long start) {
    const long long cut = Length(prefixes[j]);
    const std::vector<Piece> trial = withRest(prefixes[j], start);
    if (trial.empty()) return false;
    if (FJoinCheck != nullptr) {
      JoinedSpan joined(FSource, trial, FLimits.maxFileBytes);
      if (FJoinCheck(joined, beforeAnchor.goodUntil, cut) == JoinFit::kBreaks) {
        ++FResult.judged;
        return false;
      }
    }
    const Validation middle = Try(trial);
    if (!readsOn(middle, cut)) return false;
    // The same middle piece with its first cut a block or more away reads on as well: those
    // joins are gathered once, the one that decodes furthest tried first.
    if (!FJudgedReadingOn.insert(AlikeKey(prefixes[j], start)).second) return false;
    const std::vector<Alike> alike = AlikeByDecoding(
        cut, start, middle,
        [&](long long movedCut, long long movedStart) {
          return withRest(prefixTo(movedCut), movedStart);
        },
        readsOn);
    // The middle piece ends where the join with the rest breaks, or a little before (a
    // sample's check proves it only whole), and the rest lies the anchor's distance away;
    // whole, it runs up to the rest as tried.
    std::vector<Partial> ignored;  // a join with the rest fixed is whole or nothing
    for (const Alike& join : alike) {
      const bool whole = join.validation.verdict == Verdict::kIntact;
      const long long top = whole ? tailInFile : std::min(join.validation.damagedAt, tailInFile);
      const long long lowest =
          whole ? top : std::max(join.cut + FBlock, join.validation.goodUntil - FBlock);
      std::vector<Piece> two = prefixTo(join.cut);
      two.push_back({join.start, 0});
      for (long long length = (top - join.cut) / FBlock * FBlock; join.cut + length >= lowest;
           length -= FBlock) {
        if (Spent()) return false;
        two.back().length = length;
        const long long rest = tailAt + (join.cut + length - tailInFile);
        long long noBaseline = -1;
        if (rest >= 0 && !FClaimed.Claimed(rest) &&
            TryContinuation(two, noBaseline, rest, kNoLookAhead, ignored,
                            join.validation.goodUntil))
          return true;
      }
    }
    return false;
  });
}

bool PieceSearch::Extend(std::vector<Piece> pieces, const Validation& validation, int depth) {
  if (FLooks.size() > static_cast<size_t>(depth)) FLooks[depth] = Looks();
  std::vector<Partial> furthest;
  if (FollowAnchor(pieces, validation, furthest, depth)) return true;
  // Where the structure says which bytes must come further on, a continuation without them
  // there cannot make the file whole: the places they were found were the search.
  if (!validation.expect.empty() && validation.expectAt > Length(pieces) - pieces.back().length)
    return false;
  const long long goodUntil = validation.goodUntil;
  const long long damagedAt = validation.damagedAt;
  const long long lastStart = Length(pieces) - pieces.back().length;
  const long long knownBreak =
      damagedAt >= lastStart ? pieces.back().offset + (damagedAt - lastStart) : -1;
  std::vector<std::vector<Piece>> prefixes;
  // Past the first piece, the decoder's guess at the break is taken here.
  const long long likelyAt =
      validation.likelyAt >= 0 || depth == 1 ? validation.likelyAt : LikelyBreak(pieces);
  for (long long cut : Cuts(pieces, goodUntil, damagedAt, likelyAt)) {
    std::vector<Piece> prefix = pieces;
    prefix.back().length = cut - lastStart;
    prefixes.push_back(std::move(prefix));
  }
  std::vector<long long> baselines(prefixes.size(), kNotYet);
  const bool found = EachCandidate(
      prefixes,
      [&](size_t j, long long start) {
        // The piece's own bytes with some left out: a gap the validator would have noticed.
        const Piece& last = prefixes[j].back();
        if (FLimits.splicesShowAtOnce && start > last.offset + last.length && start < knownBreak)
          return false;
        return TryContinuation(prefixes[j], baselines[j], start, depth, furthest, goodUntil,
                               knownBreak);
      },
      goodUntil);
  if (found) return true;
  if (depth + 1 >= FLimits.maxPieces) return false;
  std::sort(furthest.begin(), furthest.end(), [](const Partial& a, const Partial& b) {
    return std::max(a.validation.goodUntil, a.validation.damagedAt) >
           std::max(b.validation.goodUntil, b.validation.damagedAt);
  });
  if (furthest.size() > kFollowed) furthest.resize(kFollowed);
  for (Partial& partial : furthest) {
    if (Extend(std::move(partial.pieces), partial.validation, depth + 1)) return true;
  }
  return false;
}

}  // namespace

Rebuilt FindPieces(ByteSpan& source, ValidateFunction validate, const BrokenFile& file,
                   const ClaimedRanges& claimed, const SearchLimits& limits,
                   ContinuationCheck couldContinue, JoinCheck joinCheck, DecodeFunction decode,
                   JoinExpectationCheck expectation) {
  return PieceSearch(source, validate, file, claimed, limits, couldContinue, joinCheck, decode,
                     expectation)
      .Run();
}

}  // namespace salvor
