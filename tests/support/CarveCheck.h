#pragma once

// Scans of built images through the engine, checked against where the files were placed.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "tests/support/HandlerCalls.h"
#include "tests/support/MediaTestSupport.h"
#include "tests/support/ScanHarness.h"
#include "util/sha256/Sha256.h"

namespace testing_support {

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
  std::map<std::string, std::string> extensions;
  std::map<std::string, long long> cut;
  for (const auto& p : placed) {
    if (intact.count(p.name) > 0) {
      extensions[p.name] = intact.at(p.name).extension;
    } else {
      cut[p.name] = p.size;
    }
  }
  ExpectRecovered(label, placed, found, extensions, cut);
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

// A file whose sectors from `kept` (a multiple of 512) on were reused by a photo, with random
// data after it so that all the file claims lies on the medium: the handler must end it where
// the photo begins, as damaged, and a scan with the JPEG module must find the photo whole.
inline void ExpectWrittenOverFileEndsWhereNextBegins(const std::string& module,
                                                     CContentHandler* handler,
                                                     const std::vector<uint8_t>& file,
                                                     long long kept) {
  SCOPED_TRACE(module);
  const std::vector<uint8_t> photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  const std::vector<uint8_t> disk =
      Join(Join(Prefix(file, size_t(kept)), photo), RandomData(file.size() + 65536, 51));
  const Recognition r = Recognize(handler, disk, 0);
  EXPECT_TRUE(r.recognized && r.start == 0);
  EXPECT_EQ(r.end, kept);
  EXPECT_EQ(FindEnd(handler, disk), kept);
  EXPECT_FALSE(Describe(handler, Prefix(disk, size_t(kept))));
  const std::string sha = SV::CSha256::Of(photo.data(), photo.size());
  int photos = 0;
  for (const Recovered& found : ScanImage({module + ".so", "jpeg.so"}, disk))
    photos += found.offset == kept && found.sha256 == sha && found.valid;
  EXPECT_EQ(photos, 1);
}

}  // namespace testing_support
