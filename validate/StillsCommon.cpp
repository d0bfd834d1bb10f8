#include "validate/StillsCommon.h"

#include <algorithm>
#include <cstring>

#include "validate/Spans.h"

namespace salvor {

namespace {

// Enough to find the first break of a hostile file without holding one per strip.
constexpr size_t kMaxFailures = 1024;

}  // namespace

bool ReadExact(ByteSpan& bytes, long long offset, void* buffer, long long length) {
  if (length == 0) return offset >= 0 && offset <= bytes.Size();
  return length > 0 && bytes.Read(offset, buffer, length) == length;
}

bool ReadRange(ByteSpan& bytes, long long offset, long long length, long long limit,
               std::vector<unsigned char>& out) {
  if (length < 0 || length > limit || offset < 0 || offset > bytes.Size() - length) return false;
  out.resize(static_cast<size_t>(length));
  return ReadExact(bytes, offset, out.data(), length);
}

bool ByteReader::Fill() {
  const long long want = std::min<long long>(sizeof(FBuffer), FEnd - FPos);
  const long long n = want > 0 ? FBytes.Read(FPos, FBuffer, want) : 0;
  if (n <= 0) return false;
  FPos += n;
  FHave = static_cast<size_t>(n);
  FAt = 0;
  return true;
}

PackBitsRun DecodePackBits(ByteReader& in, long long length, long long expected) {
  PackBitsRun run;
  const long long stop = in.Offset() + length;
  while (in.Offset() < stop) {
    const long long at = in.Offset();
    const int n = in.Next();
    if (n < 0) {
      run.shortInput = true;
      break;
    }
    long long copy = 0;
    if (n < 128) {
      copy = n + 1;
      for (int i = 0; i < copy; ++i) {
        if (in.Offset() >= stop || in.Next() < 0) run.shortInput = true;
      }
    } else if (n > 128) {
      copy = 257 - n;
      if (in.Offset() >= stop || in.Next() < 0) run.shortInput = true;
    }
    run.produced += copy;
    if (run.shortInput) return run;
    if (expected >= 0 && run.produced > expected) {
      run.bad = at;
      return run;
    }
  }
  return run;
}

void Findings::Damage(long long goodUntil, long long damagedAt, const std::string& reason) {
  if (FFailures.size() >= kMaxFailures) return;
  damagedAt = std::max(0LL, std::min(damagedAt, FSize));
  FFailures.push_back({std::max(0LL, std::min(goodUntil, damagedAt)), 0, damagedAt, reason});
}

void Findings::Fail(long long partStart, long long damagedAt, const std::string& reason) {
  if (FFailures.size() >= kMaxFailures) return;
  damagedAt = std::max(0LL, std::min(damagedAt, FSize));
  FFailures.push_back({-1, std::min(partStart, damagedAt), damagedAt, reason});
}

void Findings::Proven(long long from, long long to) {
  if (to <= from) return;
  if (!FProven.empty() && FProven.back().second == from) {
    FProven.back().second = to;  // rows and strips come one after another
  } else {
    FProven.emplace_back(from, to);
  }
}

void Findings::Add(const Validation& part) {
  if (part.verdict == Verdict::kDamaged) {
    Damage(part.goodUntil, part.damagedAt, part.reason);
  } else if (part.verdict == Verdict::kCannotTell) {
    Unchecked();
  }
}

Validation Findings::Result(long long end) const {
  if (FFailures.empty()) return FUnchecked ? Validation::CannotTell() : Validation::Intact(end);
  // The first break lies at or before every failure's damagedAt, and after the goodUntil of
  // the failure it belongs to: so between the smallest of each.
  long long goodUntil = -1;
  const Failure* first = nullptr;
  for (const Failure& f : FFailures) {
    long long good = f.goodUntil;
    if (good < 0) {
      good = 0;
      for (const auto& part : FProven) {
        if (part.first < f.partStart) good = std::max(good, std::min(part.second, f.partStart));
      }
    }
    goodUntil = goodUntil < 0 ? good : std::min(goodUntil, good);
    if (first == nullptr || f.damagedAt < first->damagedAt) first = &f;
  }
  return Validation::Damaged(std::min(goodUntil, first->damagedAt), first->damagedAt,
                             first->reason);
}

namespace {

// A tables-only JPEG stream (without its EOI) followed by an abbreviated one from the file
// (without its SOI): the whole stream a JPEG decoder expects.
class TablesAndStrip : public ByteSpan {
 public:
  TablesAndStrip(const std::vector<unsigned char>& tables, ByteSpan& strip)
      : FTables(tables), FHead(static_cast<long long>(tables.size()) - 2), FStrip(strip) {}
  long long Size() const override { return FHead + std::max(0LL, FStrip.Size() - 2); }
  long long Read(long long offset, void* buffer, long long length) override {
    if (offset < 0 || length <= 0 || offset >= Size()) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    long long done = 0;
    if (offset < FHead) {
      done = std::min(length, FHead - offset);
      std::memcpy(out, FTables.data() + offset, static_cast<size_t>(done));
    }
    if (done < length) {
      const long long from = offset + done - FHead + 2;
      done += FStrip.Read(from, out + done, length - done);
    }
    return done;
  }
  // Where a position of the joined stream lies in the strip.
  long long StripOffset(long long joined) const { return std::max(0LL, joined - FHead) + 2; }

 private:
  const std::vector<unsigned char>& FTables;
  long long FHead;
  ByteSpan& FStrip;
};

Validation Shift(const Validation& inner, long long by) {
  switch (inner.verdict) {
    case Verdict::kIntact:
      return Validation::Intact(inner.end + by);
    case Verdict::kDamaged:
      return Validation::Damaged(inner.goodUntil + by, inner.damagedAt + by, inner.reason);
    case Verdict::kCannotTell:
      break;
  }
  return Validation::CannotTell();
}

}  // namespace

Validation CheckEmbeddedJpeg(ByteSpan& bytes, long long offset, long long length,
                             const std::vector<unsigned char>& tables) {
  const ValidateFunction jpeg = FindValidator("jpg");
  if (jpeg == nullptr) return Validation::CannotTell();
  SubSpan part(bytes, offset, length);
  if (tables.size() < 4) return Shift(jpeg(part), offset);
  TablesAndStrip joined(tables, part);
  Validation inner = jpeg(joined);
  if (inner.verdict == Verdict::kIntact) inner.end = joined.StripOffset(inner.end);
  if (inner.verdict == Verdict::kDamaged) {
    inner.goodUntil = joined.StripOffset(inner.goodUntil);
    inner.damagedAt = joined.StripOffset(inner.damagedAt);
  }
  return Shift(inner, offset);
}

}  // namespace salvor
