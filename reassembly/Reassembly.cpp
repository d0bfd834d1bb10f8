#include "reassembly/Reassembly.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace salvor {

JoinedSpan::JoinedSpan(ByteSpan& source, const std::vector<Piece>& pieces, long long limit)
    : FSource(source) {
  for (Piece piece : pieces) {
    if (FSize >= limit) break;
    if (piece.offset < 0 || piece.offset >= source.Size()) break;
    piece.length = std::min({piece.length, source.Size() - piece.offset, limit - FSize});
    if (piece.length <= 0) break;
    FPieces.push_back(piece);
    FSize += piece.length;
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

// The search for one file: its limits, its budget and the best it found.
class PieceSearch {
 public:
  PieceSearch(ByteSpan& source, ValidateFunction validate, const BrokenFile& file,
              const ClaimedRanges& claimed, const SearchLimits& limits)
      : FSource(source),
        FValidate(validate),
        FFile(file),
        FClaimed(claimed),
        FLimits(limits),
        FBlock(std::max(1LL, limits.blockSize)),
        FDeadline(std::chrono::steady_clock::now() + limits.maxTime),
        FSample(static_cast<size_t>(FBlock)) {}

  Rebuilt Run();

 private:
  // A file whose break lies in [goodUntil, damagedAt) of its pieces, the last of which ends
  // there; tries every continuation, then goes on from those that got furthest.
  bool Extend(std::vector<Piece> pieces, long long goodUntil, long long damagedAt, int depth);
  // The cuts to try: block boundaries of the source inside the break's range, nearest the
  // place the validator noticed first, a known file's start before all.
  std::vector<long long> Cuts(const std::vector<Piece>& pieces, long long goodUntil,
                              long long damagedAt) const;
  // Where a continuation may start: unclaimed blocks after the cut, then before the file.
  std::vector<long long> Starts(const std::vector<Piece>& pieces) const;
  // A block of one repeated byte (zeros, erased flash) continues no compressed file.
  bool Blank(long long offset);
  Validation Try(const std::vector<Piece>& pieces);
  bool Spent() {
    if (FResult.tries >= FLimits.maxTries) return true;
    if (std::chrono::steady_clock::now() < FDeadline) return false;
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
  BrokenFile FFile;
  const ClaimedRanges& FClaimed;
  SearchLimits FLimits;
  long long FBlock;
  std::chrono::steady_clock::time_point FDeadline;
  std::vector<uint8_t> FSample;
  Rebuilt FResult;
};

// The continuations that got furthest are followed for a further piece: a few, not all.
constexpr size_t kFollowed = 3;
constexpr size_t kMaxCuts = 32;

Rebuilt PieceSearch::Run() {
  if (FValidate == nullptr || FFile.offset < 0 || FFile.offset >= FSource.Size()) return FResult;
  // The file again, open-ended: the length the scan gave it may be what hid its end.
  std::vector<Piece> whole{{FFile.offset, FLimits.maxFileBytes}};
  const Validation first = Try(whole);
  if (first.verdict == Verdict::kIntact) {
    FResult.found = true;
    FResult.pieces = {{FFile.offset, first.end}};
    FResult.size = first.end;
    return FResult;
  }
  if (first.verdict == Verdict::kDamaged) {
    FFile.goodUntil = first.goodUntil;
    FFile.damagedAt = first.damagedAt;
  }
  Extend(whole, FFile.goodUntil, FFile.damagedAt, 1);
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
                                         long long damagedAt) const {
  const Piece& last = pieces.back();
  const long long lastStart = Length(pieces) - last.length;  // in the file
  // File offset -> source offset in the last piece, and the block boundaries between.
  const long long low = std::max(goodUntil, lastStart + 1) - lastStart + last.offset;
  const long long high = std::min(damagedAt, lastStart + last.length) - lastStart + last.offset;
  std::vector<long long> cuts;
  for (long long at = high / FBlock * FBlock; at >= low && cuts.size() < kMaxCuts; at -= FBlock)
    cuts.push_back(at - last.offset + lastStart);
  // A file found by the scan starts at the cut: the likeliest place of all.
  std::stable_partition(cuts.begin(), cuts.end(), [&](long long cut) {
    const long long at = cut - lastStart + last.offset;
    return FClaimed.Claimed(at) && !FClaimed.Claimed(at - 1);
  });
  return cuts;
}

std::vector<long long> PieceSearch::Starts(const std::vector<Piece>& pieces) const {
  const Piece& last = pieces.back();
  const long long cutAt = last.offset + last.length;
  const long long reach = FLimits.maxGapBlocks * FBlock;
  auto used = [&](long long at) {
    for (const Piece& piece : pieces)
      if (at >= piece.offset && at < piece.offset + piece.length) return true;
    return false;
  };
  std::vector<long long> starts;
  for (long long at = (cutAt + FBlock) / FBlock * FBlock;
       at < FSource.Size() && at <= cutAt + reach;) {
    const long long free = FClaimed.SkipClaimed(at);
    if (free != at) {
      at = (free + FBlock - 1) / FBlock * FBlock;
      continue;
    }
    if (!used(at)) starts.push_back(at);
    at += FBlock;
  }
  const long long first = pieces.front().offset / FBlock * FBlock;
  for (long long at = first - FBlock; at >= 0 && at >= first - reach;) {
    const long long free = FClaimed.SkipClaimedBackwards(at);
    if (free != at) {
      at = free / FBlock * FBlock - FBlock;
      continue;
    }
    if (!used(at)) starts.push_back(at);
    at -= FBlock;
  }
  return starts;
}

bool PieceSearch::Extend(std::vector<Piece> pieces, long long goodUntil, long long damagedAt,
                         int depth) {
  struct Partial {
    std::vector<Piece> pieces;
    Validation validation;
  };
  std::vector<Partial> furthest;
  const long long lastStart = Length(pieces) - pieces.back().length;
  for (long long cut : Cuts(pieces, goodUntil, damagedAt)) {
    if (Spent()) return false;
    std::vector<Piece> trial = pieces;
    trial.back().length = cut - lastStart;
    // Bytes before the cut that already do not fit: the break is earlier, no continuation
    // can help this cut.
    const Validation before = Try(trial);
    if (before.verdict == Verdict::kDamaged && before.damagedAt < cut) continue;
    const std::vector<long long> starts = Starts(trial);
    trial.push_back({0, FLimits.maxFileBytes});
    for (long long start : starts) {
      if (Spent()) return false;
      if (Blank(start)) continue;
      trial.back().offset = start;
      const Validation result = Try(trial);
      if (result.verdict == Verdict::kIntact && result.end > cut) {
        trial.back().length = result.end - cut;
        FResult.found = true;
        FResult.pieces = trial;
        FResult.size = result.end;
        return true;
      }
      // Read on for a block or more past the cut before anything failed: perhaps a piece of
      // the file, with more to find.
      if (result.verdict == Verdict::kDamaged && result.damagedAt >= cut + FBlock)
        furthest.push_back({trial, result});
    }
  }
  if (depth + 1 >= FLimits.maxPieces) return false;
  std::sort(furthest.begin(), furthest.end(), [](const Partial& a, const Partial& b) {
    return std::max(a.validation.goodUntil, a.validation.damagedAt) >
           std::max(b.validation.goodUntil, b.validation.damagedAt);
  });
  if (furthest.size() > kFollowed) furthest.resize(kFollowed);
  for (Partial& partial : furthest) {
    if (Extend(std::move(partial.pieces), partial.validation.goodUntil,
               partial.validation.damagedAt, depth + 1))
      return true;
  }
  return false;
}

}  // namespace

Rebuilt FindPieces(ByteSpan& source, ValidateFunction validate, const BrokenFile& file,
                   const ClaimedRanges& claimed, const SearchLimits& limits) {
  return PieceSearch(source, validate, file, claimed, limits).Run();
}

}  // namespace salvor
