#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/CarveCheck.h"
#include "tests/support/HandlerCalls.h"
#include "tests/support/ScanHarness.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

CContentHandler* Raw() {
  static CContentHandler* handler = LoadHandler("rawother.so");
  return handler;
}

Bytes Sample(const std::string& name) {
  return ReadFileBytes(TestData("corpus/format-samples/" + name));
}

// Whole files made from the corpus samples, whose image data was cut out: each sample up to
// the end its own structure declares (the samples carry test trailers after it), and the
// Minolta one with a sensor small enough that its pixels fit.
std::map<std::string, PlacedFile> WholeFiles() {
  std::map<std::string, PlacedFile> files;
  files["Sigma.x3f"] = {Sample("Sigma.x3f"), "x3f"};
  files["SigmaDP2.x3f"] = {Sample("SigmaDP2.x3f"), "x3f"};
  files["FujiFilm.raf"] = {Prefix(Sample("FujiFilm.raf"), 0x961E), "raf"};  // CFA end
  files["CanonRaw.crw"] = {Prefix(Sample("CanonRaw.crw"), 0x1870), "crw"};  // root directory
  Bytes mrw = Prefix(Sample("Minolta.mrw"), 0xA14);  // header blocks up to the data
  const uint8_t sensor[] = {0, 16, 0, 8};            // 16 rows of 8 16-bit pixels
  memcpy(&mrw[0x18], sensor, 4);
  files["Minolta.mrw"] = {Join(mrw, RandomData(16 * 8 * 2, 4)), "mrw"};
  return files;
}

}  // namespace

TEST(RawOtherModule, FilesEndWhereTheirOwnFieldsSay) {
  ASSERT_NE(Raw(), nullptr);
  for (const auto& [name, file] : WholeFiles()) {
    SCOPED_TRACE(name);
    const Bytes disk = Join(file.bytes, RandomData(6000, 3));
    Recognition r = Recognize(Raw(), disk, 0);
    EXPECT_TRUE(r.recognized && r.start == 0);
    EXPECT_EQ(r.end, static_cast<long long>(file.bytes.size()));
    EXPECT_EQ(FindEnd(Raw(), disk), static_cast<long long>(file.bytes.size()));
    std::string extension;
    EXPECT_TRUE(Describe(Raw(), file.bytes, &extension));
    EXPECT_EQ(extension, file.extension);
    // Cut short by the end of the medium: only the start, and an end inside the data.
    const Bytes cut = Prefix(file.bytes, file.bytes.size() - 10);
    r = Recognize(Raw(), cut, 0);
    EXPECT_TRUE(r.recognized && r.end == -1);
    EXPECT_LE(FindEnd(Raw(), cut), static_cast<long long>(cut.size()));
    EXPECT_FALSE(Describe(Raw(), cut));
  }
  // A RAF whose sectors from inside its CFA header on were reused by a photo.
  ExpectWrittenOverFileEndsWhereNextBegins("rawother", Raw(), WholeFiles().at("FujiFilm.raf").bytes,
                                           0x5000);
  // The untouched samples: recognised and named.
  for (const char* name : {"CanonRaw.crw", "FujiFilm.raf", "Minolta.mrw", "Sigma.x3f"}) {
    std::string extension;
    EXPECT_TRUE(Recognize(Raw(), Sample(name), 0).recognized) << name;
    Describe(Raw(), Sample(name), &extension);
    EXPECT_EQ(extension, std::string(name).substr(std::strlen(name) - 3));
  }
}

TEST(RawOtherModule, SignaturesInRandomDataAndUnalignedStarts) {
  ASSERT_NE(Raw(), nullptr);
  Bytes disk = RandomData(40 * 512, 9);
  const std::string magics[] = {std::string("II\x1a\0\0\0HEAPCCDR", 14), "FUJIFILMCCD-RAW ",
                                std::string("\0MRM", 4), "FOVb",
                                std::string("MM\0\0\0\x1aHEAPCCDR", 14)};
  for (size_t i = 0; i < 40; ++i)
    memcpy(&disk[i * 512], magics[i % 5].data(), magics[i % 5].size());
  for (long long block = 0; block < 40; ++block)
    EXPECT_FALSE(Recognize(Raw(), disk, block * 512).recognized) << block;
  // Every format at odd bytes inside a block, its first and last bytes included.
  ASSERT_TRUE(Raw()->SetIntPropValue("Unaligned", 1));
  for (const auto& [name, file] : WholeFiles()) {
    for (long long shift : {1, 45, 300, 511}) {
      const Bytes shifted =
          Join(Join(RandomData(512 + shift, 8), file.bytes), RandomData(2000, 10));
      const Recognition r = Recognize(Raw(), shifted, 512);
      EXPECT_EQ(r.start, 512 + shift) << name;
      EXPECT_EQ(r.end, static_cast<long long>(512 + shift + file.bytes.size())) << name;
      EXPECT_FALSE(Recognize(Raw(), shifted, 0).recognized) << name;
    }
  }
  ASSERT_TRUE(Raw()->SetIntPropValue("Unaligned", 0));
}

TEST(RawOtherModule, ScansRecoverIntactFilesByteIdentical) {
  ASSERT_NE(Raw(), nullptr);
  // Last on the medium: a RAF cut inside its CFA header.
  CheckScans("rawother", Raw(), WholeFiles(), Bytes{'F', 'O', 'V', 'b'},
             Prefix(WholeFiles().at("FujiFilm.raf").bytes, 0x4000));
}
