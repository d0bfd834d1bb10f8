#pragma once

// What every validator must answer for a real file of its format, whole and damaged in the
// ways recovered files are: junk after the end, cut short, a piece of the middle overwritten.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/CarveCheck.h"
#include "validate/Spans.h"
#include "validate/Validator.h"

namespace validate_test {

using salvor::Validation;
using salvor::Verdict;
using testing_support::Bytes;

// The fullest check the type has (HEIF: the images decoded, as reassembly judges them).
inline salvor::Validation Check(const std::string& type, const Bytes& bytes) {
  const salvor::ValidateFunction validate = salvor::FindRebuildValidator(type);
  if (validate == nullptr) {
    ADD_FAILURE() << "no validator for " << type;
    return {};
  }
  salvor::MemorySpan span(bytes);
  return validate(span);
}

inline std::string Describe(const salvor::Validation& v) {
  const char* verdicts[] = {"intact", "damaged", "cannot tell"};
  return std::string(verdicts[static_cast<int>(v.verdict)]) + " end " + std::to_string(v.end) +
         " good until " + std::to_string(v.goodUntil) + " damaged at " +
         std::to_string(v.damagedAt) + " (" + v.reason + ")";
}

// `file` with `length` bytes at `at` replaced by `with` (repeated as needed).
inline Bytes Overwritten(Bytes file, size_t at, size_t length, const Bytes& with) {
  for (size_t i = 0; i < length && at + i < file.size(); ++i) file[at + i] = with[i % with.size()];
  return file;
}

inline void ExpectIntact(const std::string& type, const Bytes& file, const std::string& name) {
  const salvor::Validation v = Check(type, file);
  EXPECT_EQ(v.verdict, salvor::Verdict::kIntact) << name << ": " << Describe(v);
  EXPECT_EQ(v.end, static_cast<long long>(file.size())) << name;
}

// The break lies where the validator says: after what it proved, no later than where it
// stopped, and (when `reach` is given) found within `reach` bytes of it.
inline void ExpectDamagedAround(const std::string& type, const Bytes& bytes, long long at,
                                const std::string& name, long long reach = -1) {
  const salvor::Validation v = Check(type, bytes);
  EXPECT_EQ(v.verdict, salvor::Verdict::kDamaged) << name << ": " << Describe(v);
  if (v.verdict != salvor::Verdict::kDamaged) return;
  EXPECT_LE(v.goodUntil, at) << name << ": " << Describe(v);
  EXPECT_GE(v.damagedAt, at) << name << ": " << Describe(v);
  EXPECT_LE(v.damagedAt, static_cast<long long>(bytes.size())) << name;
  if (reach >= 0) {
    EXPECT_LE(v.damagedAt, at + reach) << name << ": " << Describe(v);
  }
}

// The whole table of checks for one real file; `other` is a different file of the same
// format, whose bytes make the most convincing foreign piece. Cut and overwritten at sector
// boundaries, as fragments are, in the middle of what the format checks (from `data` on);
// `reach` bounds how far past noise the damage may be found.
inline void ExpectValidates(const std::string& type, const Bytes& file, const Bytes& other,
                            const std::string& name, size_t data, long long reach) {
  ExpectIntact(type, file, name);
  const Bytes junk = testing_support::RandomData(5000, 17);
  const salvor::Validation v = Check(type, testing_support::Concat({file, junk}));
  EXPECT_EQ(v.verdict, salvor::Verdict::kIntact) << name << " + junk: " << Describe(v);
  EXPECT_EQ(v.end, static_cast<long long>(file.size())) << name << " + junk";

  const size_t half = (data + file.size()) / 2 / 512 * 512;
  const Bytes cut(file.begin(), file.begin() + static_cast<long>(half));
  const salvor::Validation c = Check(type, cut);
  EXPECT_EQ(c.verdict, salvor::Verdict::kDamaged) << name << " cut: " << Describe(c);
  EXPECT_EQ(c.damagedAt, static_cast<long long>(half)) << name << " cut: " << Describe(c);
  EXPECT_LE(c.goodUntil, static_cast<long long>(half)) << name << " cut: " << Describe(c);

  const size_t length = std::min<size_t>(4096, file.size() - half - 1);
  const Bytes foreign(other.begin() + static_cast<long>(other.size() / 2), other.end());
  const struct {
    const char* what;
    Bytes with;
    long long reach;
  } pieces[] = {{"another file", foreign, -1},
                {"zeros", Bytes(1, 0), -1},
                {"noise", testing_support::RandomData(length, 5), reach}};
  for (const auto& piece : pieces)
    ExpectDamagedAround(type, Overwritten(file, half, length, piece.with),
                        static_cast<long long>(half), name + " with " + piece.what, piece.reach);
}

// A file of a table and how it fares whole: intact with its structural end (`end`, -1 for
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

// Whole: as the table says, with the same answer when 3000 random bytes follow. Cut at half:
// damaged where the bytes run out. Intact files only: a piece of the middle replaced by random
// bytes, zeros, or the middle of another file (`foreign`, from a third in) is damaged between
// goodUntil <= splice <= damagedAt.
inline void ExpectChecks(const Checked& file, const Bytes& foreign) {
  SCOPED_TRACE(file.name);
  const long long size = static_cast<long long>(file.bytes.size());
  const long long end = file.end < 0 ? size : file.end;
  for (const Bytes& bytes :
       {file.bytes, testing_support::Concat({file.bytes, testing_support::RandomData(3000, 11)})}) {
    const Validation v = Check(file.type, bytes);
    EXPECT_EQ(v.verdict, file.whole) << Describe(v);
    if (file.whole == Verdict::kIntact) {
      EXPECT_EQ(v.end, end) << Describe(v);
    }
  }
  const size_t cut = file.bytes.size() / 2;
  const Validation short_ = Check(file.type, testing_support::Prefix(file.bytes, cut));
  EXPECT_EQ(short_.verdict, Verdict::kDamaged) << "cut at " << cut << ": " << Describe(short_);
  EXPECT_EQ(short_.damagedAt, static_cast<long long>(cut)) << Describe(short_);
  EXPECT_LE(short_.goodUntil, short_.damagedAt);
  if (file.whole != Verdict::kIntact) return;
  const size_t at = file.spliceAt > 0 ? file.spliceAt : file.bytes.size() / 2;
  const size_t length =
      file.spliceLength > 0 ? file.spliceLength : std::min<size_t>(4096, file.bytes.size() / 8);
  const Bytes other(foreign.begin() + long(foreign.size() / 3),
                    foreign.begin() + long(foreign.size() / 3 + length));
  for (const Bytes& piece : {testing_support::RandomData(length, 5), Bytes(1, 0), other})
    ExpectDamagedAround(file.type, Overwritten(file.bytes, at, length, piece),
                        static_cast<long long>(at), "splice");
}

}  // namespace validate_test
