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

using testing_support::Bytes;

inline salvor::Validation Check(const std::string& type, const Bytes& bytes) {
  const salvor::ValidateFunction validate = salvor::FindValidator(type);
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

}  // namespace validate_test
