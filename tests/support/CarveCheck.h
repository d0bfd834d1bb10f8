#pragma once

// Scans of built images through the engine, checked against where the files were placed.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "ScanHarness.h"

namespace testing_support {

inline std::vector<uint8_t> RandomData(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

inline std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A file to place: its bytes and the extension DescribeFile must give it.
struct PlacedFile {
  std::vector<uint8_t> bytes;
  std::string extension;
};

// Every placed file must come back at its offset: the intact ones byte-identical, named and
// valid; `cut` (if any, the last one) marked damaged and no longer than what was placed.
// Anything else delivered is an extra. Prints the tally under `label`.
inline void CheckCarve(const std::string& label, const std::vector<ImageBuilder::Placed>& placed,
                       const std::map<std::string, PlacedFile>& intact,
                       const std::vector<Recovered>& found) {
  int identical = 0, broken = 0, extra = 0, cut = 0;
  for (const auto& r : found) {
    const ImageBuilder::Placed* p = nullptr;
    for (const auto& q : placed) p = q.offset == r.offset ? &q : p;
    if (p == nullptr) {
      ++extra;
      ADD_FAILURE() << label << ": extra file at " << r.offset << " size " << r.size;
    } else if (intact.count(p->name) == 0) {
      EXPECT_FALSE(r.valid) << p->name;
      EXPECT_LE(r.size, p->size) << p->name;
      broken += !r.valid && r.size <= p->size;
    } else {
      const bool same =
          r.sha256 == p->sha256 && r.valid && r.extension == intact.at(p->name).extension;
      EXPECT_TRUE(same) << p->name << ": size " << r.size << " of " << p->size << ", valid "
                        << r.valid << ", ." << r.extension;
      identical += same;
    }
  }
  for (const auto& p : placed) cut += intact.count(p.name) == 0;
  EXPECT_EQ(identical, static_cast<int>(intact.size())) << label;
  EXPECT_EQ(broken, cut) << label;
  std::printf("%s: %zu intact files, %d byte-identical, %d cut, %d broken, %d extra\n",
              label.c_str(), intact.size(), identical, cut, broken, extra);
}

// Two scans of `module` through the engine: the files sector-aligned (a random gap after every
// other one), then a block of random data starting with `lookalike`, zeros, and `cut` (when not
// empty) at the end of the medium; then the same files back to back at odd offsets, with the
// handler's Unaligned property set.
inline void CheckScans(const std::string& module, CContentHandler* handler,
                       const std::map<std::string, PlacedFile>& files,
                       const std::vector<uint8_t>& lookalike, const std::vector<uint8_t>& cut) {
  ImageBuilder aligned(99);
  aligned.AddRandom(3000);
  int n = 0;
  for (const auto& [name, file] : files) {
    aligned.Align();
    aligned.AddFile(name, file.bytes);
    if (++n % 2 == 0) aligned.AddRandom(700);
  }
  aligned.Align();
  std::vector<uint8_t> planted = RandomData(4096, 31);
  std::copy(lookalike.begin(), lookalike.end(), planted.begin());
  aligned.bytes().insert(aligned.bytes().end(), planted.begin(), planted.end());
  aligned.AddZeros(8192);
  if (!cut.empty()) aligned.AddFile("cut", cut);
  CheckCarve(module, aligned.placed(), files, ScanImage({module + ".so"}, aligned.Finish()));

  ImageBuilder shifted(98);
  shifted.AddRandom(1001);
  for (const auto& [name, file] : files) {
    shifted.AddFile(name, file.bytes);
    shifted.AddRandom(37);
  }
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  const std::vector<Recovered> found = ScanImage({module + ".so"}, shifted.Finish());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 0));
  CheckCarve(module + " unaligned", shifted.placed(), files, found);
}

}  // namespace testing_support
