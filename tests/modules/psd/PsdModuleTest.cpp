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

CContentHandler* Psd() {
  static CContentHandler* handler = LoadHandler("psd.so");
  return handler;
}

// Documents written by ImageMagick: raw and RLE image data, grey, 16-bit, layers, PSB.
const std::map<std::string, PlacedFile>& Generated() {
  static std::map<std::string, PlacedFile> files = [] {
    std::map<std::string, PlacedFile> made;
    if (!HaveTool("convert")) return made;
    const std::string dir = ScratchDir("psd-module");
    const std::string base = "convert -seed 5 -size 120x90 plasma:fractal -depth 8 ";
    const std::map<std::string, std::string> recipes = {
        {"rle.psd", "-compress rle "},
        {"raw.psd", "-compress none "},
        {"gray.psd", "-colorspace gray -compress none "},
        {"deep.psd", "-depth 16 -compress rle "},
        {"layers.psd", "\\( +clone -flip \\) -adjoin "},
        {"large.psb", "PSB:"},
    };
    for (const auto& [name, options] : recipes) {
      if (!Run(base + options + dir + "/" + name)) return made;
      made[name] = {ReadFileBytes(dir + "/" + name), name.substr(name.size() - 3)};
    }
    return made;
  }();
  return files;
}

}  // namespace

TEST(PsdModule, DocumentsAreMeasuredBySectionLengths) {
  ASSERT_NE(Psd(), nullptr);
  if (Generated().size() < 6) GTEST_SKIP() << "ImageMagick convert missing";
  for (const auto& [name, file] : Generated()) {
    SCOPED_TRACE(name);
    const Bytes disk = Join(file.bytes, RandomData(5000, 3));
    const Recognition r = Recognize(Psd(), disk, 0);
    EXPECT_TRUE(r.recognized && r.start == 0);
    EXPECT_EQ(r.end, static_cast<long long>(file.bytes.size()));
    EXPECT_EQ(FindEnd(Psd(), disk), static_cast<long long>(file.bytes.size()));
    std::string extension;
    EXPECT_TRUE(Describe(Psd(), file.bytes, &extension));
    EXPECT_EQ(extension, file.extension);
  }
  // Photoshop's own file (cut short in the corpus): recognised and named.
  const Bytes sample = ReadFileBytes(TestData("corpus/format-samples/Photoshop.psd"));
  EXPECT_TRUE(Recognize(Psd(), sample, 0).recognized);
  std::string extension;
  Describe(Psd(), sample, &extension);
  EXPECT_EQ(extension, "psd");
}

TEST(PsdModule, CutDocumentsLookalikesAndUnalignedStarts) {
  ASSERT_NE(Psd(), nullptr);
  if (Generated().size() < 6) GTEST_SKIP() << "ImageMagick convert missing";
  // Cut by the end of the medium, inside the layers or the image data: start only, and an
  // end inside the data that is there.
  for (const char* name : {"rle.psd", "raw.psd"}) {
    const Bytes& file = Generated().at(name).bytes;
    for (size_t keep : {file.size() / 2, file.size() - 1000}) {
      const Bytes cut = Join(Prefix(file, keep), RandomData(300, 4));
      const Recognition r = Recognize(Psd(), cut, 0);
      EXPECT_TRUE(r.recognized && r.end == -1) << name;
      const long long end = FindEnd(Psd(), cut);
      EXPECT_GT(end, 26);
      EXPECT_LE(end, static_cast<long long>(keep)) << name;
      EXPECT_FALSE(Describe(Psd(), Prefix(cut, size_t(end))));
    }
  }
  // Its later sectors reused by a photo: it ends where the photo begins.
  const Bytes& raw = Generated().at("raw.psd").bytes;
  ExpectWrittenOverFileEndsWhereNextBegins("psd", Psd(), raw, (raw.size() * 3 / 4) / 512 * 512);
  // The signature, and a whole plausible header, planted in random data: nothing.
  const Bytes& real = Generated().at("rle.psd").bytes;
  Bytes disk = RandomData(32 * 512, 7);
  for (size_t i = 0; i < 32; ++i) memcpy(&disk[i * 512], real.data(), i % 2 ? 4 : 26);
  for (long long block = 0; block < 32; ++block)
    EXPECT_FALSE(Recognize(Psd(), disk, block * 512).recognized) << block;
  // Unaligned: found at its exact byte, first and last bytes of a block included.
  for (long long shift : {1, 301, 511}) {
    const Bytes shifted = Join(Join(RandomData(512 + shift, 8), real), RandomData(2000, 9));
    EXPECT_FALSE(Recognize(Psd(), shifted, 512).recognized);
    ASSERT_TRUE(Psd()->SetIntPropValue("Unaligned", 1));
    const Recognition r = Recognize(Psd(), shifted, 512);
    EXPECT_EQ(r.start, 512 + shift);
    EXPECT_EQ(r.end, static_cast<long long>(512 + shift + real.size()));
    ASSERT_TRUE(Psd()->SetIntPropValue("Unaligned", 0));
  }
}

TEST(PsdModule, ScansRecoverIntactDocumentsByteIdentical) {
  ASSERT_NE(Psd(), nullptr);
  if (Generated().size() < 6) GTEST_SKIP() << "ImageMagick convert missing";
  const Bytes& rle = Generated().at("rle.psd").bytes;
  CheckScans("psd", Psd(), Generated(), Bytes{'8', 'B', 'P', 'S'}, Prefix(rle, rle.size() / 2));
}
