#pragma once

// The checks every validator table runs on each of its files: whole, with other bytes after
// it, cut short, and with a piece of its middle replaced.

#include <gtest/gtest.h>

#include "tests/support/CarveCheck.h"
#include "validate/Spans.h"
#include "validate/Validator.h"

namespace testing_support {

using salvor::Validation;
using salvor::Verdict;

inline Validation Validate(const std::string& type, const Bytes& bytes) {
  const salvor::ValidateFunction validate = salvor::FindRebuildValidator(type);
  if (validate == nullptr) {
    ADD_FAILURE() << "no validator for " << type;
    return {};
  }
  salvor::MemorySpan span(bytes);
  return validate(span);
}

inline bool HaveJpegValidator() {
  return salvor::FindValidator("jpg") != nullptr;
}

inline const char* Name(Verdict verdict) {
  return verdict == Verdict::kIntact    ? "intact"
         : verdict == Verdict::kDamaged ? "damaged"
                                        : "cannot tell";
}

inline std::string Describe(const Validation& v) {
  return std::string(Name(v.verdict)) + " end " + std::to_string(v.end) + " [" +
         std::to_string(v.goodUntil) + ", " + std::to_string(v.damagedAt) + ") " + v.reason;
}

// A file of the table and how it fares whole: intact with its structural end (`end`, -1 for
// its size), or cannot tell. The splice goes to the middle unless `spliceAt` puts it in the
// data that can be checked (not in metadata a validator cannot judge).
struct Checked {
  std::string name;
  std::string type;
  Bytes bytes;
  Verdict whole = Verdict::kIntact;
  long long end = -1;
  size_t spliceAt = 0, spliceLength = 0;
};

inline Bytes Replaced(Bytes file, size_t at, const Bytes& piece) {
  for (size_t i = 0; i < piece.size() && at + i < file.size(); ++i) file[at + i] = piece[i];
  return file;
}

// Whole: as the table says, with the same answer when 3000 random bytes follow. Cut at
// `cut` (default: half): damaged where the bytes run out, nothing after the cut called good.
// Intact files only: a piece of the middle replaced by random bytes, zeros, or the middle of
// another file (`foreign`, from a third in) is damaged between goodUntil <= splice <=
// damagedAt.
inline void ExpectChecks(const Checked& file, const Bytes& foreign, size_t cut = 0) {
  SCOPED_TRACE(file.name);
  const long long size = static_cast<long long>(file.bytes.size());
  const long long end = file.end < 0 ? size : file.end;
  for (const Bytes& bytes : {file.bytes, Concat({file.bytes, RandomData(3000, 11)})}) {
    const Validation v = Validate(file.type, bytes);
    EXPECT_EQ(v.verdict, file.whole) << Describe(v);
    if (file.whole == Verdict::kIntact) {
      EXPECT_EQ(v.end, end) << Describe(v);
    }
  }
  if (cut == 0) cut = file.bytes.size() / 2;
  const Validation short_ = Validate(file.type, Prefix(file.bytes, cut));
  EXPECT_EQ(short_.verdict, Verdict::kDamaged) << "cut at " << cut << ": " << Describe(short_);
  EXPECT_EQ(short_.damagedAt, static_cast<long long>(cut)) << Describe(short_);
  EXPECT_LE(short_.goodUntil, short_.damagedAt);
  if (file.whole != Verdict::kIntact) return;
  const size_t at = file.spliceAt > 0 ? file.spliceAt : file.bytes.size() / 2;
  const size_t length =
      file.spliceLength > 0 ? file.spliceLength : std::min<size_t>(4096, file.bytes.size() / 8);
  const Bytes other(foreign.begin() + foreign.size() / 3,
                    foreign.begin() + foreign.size() / 3 + length);
  for (const Bytes& piece : {RandomData(length, 5), Bytes(length, 0), other}) {
    const Validation v = Validate(file.type, Replaced(file.bytes, at, piece));
    EXPECT_EQ(v.verdict, Verdict::kDamaged) << "splice at " << at << ": " << Describe(v);
    EXPECT_LE(v.goodUntil, static_cast<long long>(at)) << Describe(v);
    EXPECT_GE(v.damagedAt, static_cast<long long>(at)) << Describe(v);
    EXPECT_LE(v.damagedAt, size) << Describe(v);
  }
}

}  // namespace testing_support
