#pragma once

// Checks what a scan of a built image gave back against where the files were placed.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ScanHarness.h"

namespace testing_support {

inline std::vector<uint8_t> RandomData(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

struct CarveTally {
  int files = 0;      // intact files placed
  int identical = 0;  // came back byte-identical, named right, marked complete
  int broken = 0;     // truncated files that came back marked damaged and not too long
  int extra = 0;      // anything else delivered
};

// `intact`: placed name -> expected extension. `truncated`: placed name -> bytes of it that
// are really in the image (the rest was cut off).
inline CarveTally CheckCarve(const std::vector<ImageBuilder::Placed>& placed,
                             const std::map<std::string, std::string>& intact,
                             const std::map<std::string, long long>& truncated,
                             const std::vector<Recovered>& found) {
  CarveTally tally;
  std::vector<bool> matched(found.size(), false);
  for (const auto& p : placed) {
    for (size_t i = 0; i < found.size(); ++i) {
      if (found[i].offset != p.offset) continue;
      matched[i] = true;
      const Recovered& r = found[i];
      if (intact.count(p.name)) {
        EXPECT_EQ(r.sha256, p.sha256) << p.name << " size " << r.size << " of " << p.size;
        EXPECT_EQ(r.extension, intact.at(p.name)) << p.name;
        EXPECT_TRUE(r.valid) << p.name;
        if (r.sha256 == p.sha256 && r.extension == intact.at(p.name) && r.valid) ++tally.identical;
      } else if (truncated.count(p.name)) {
        EXPECT_FALSE(r.valid) << p.name;
        EXPECT_LE(r.size, truncated.at(p.name)) << p.name;
        if (!r.valid && r.size <= truncated.at(p.name)) ++tally.broken;
      }
    }
    if (intact.count(p.name)) ++tally.files;
  }
  for (size_t i = 0; i < found.size(); ++i) {
    if (matched[i]) continue;
    ++tally.extra;
    ADD_FAILURE() << "extra file at " << found[i].offset << " size " << found[i].size << " ."
                  << found[i].extension;
  }
  EXPECT_EQ(tally.identical, tally.files);
  EXPECT_EQ(tally.broken, static_cast<int>(truncated.size()));
  return tally;
}

}  // namespace testing_support
