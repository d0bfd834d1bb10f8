#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "tests/support/HandlerCalls.h"
#include "tests/support/MediaTestSupport.h"
#include "tests/support/ScanHarness.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

CContentHandler* Bmp() {
  static CContentHandler* handler = LoadHandler("bmp.so");
  return handler;
}

struct Inputs {
  bool ok = false;
  std::vector<std::pair<std::string, Bytes>> files;  // the first is the big 24-bit one
};

// Encoded once per test binary: every header size ImageMagick and ffmpeg write (12, 40 with
// and without bit masks, 124), 1 to 32 bits per pixel, RLE8, and the corpus sample.
const Inputs& Generated() {
  static Inputs in = [] {
    Inputs g;
    if (!HaveTool("convert") || !HaveTool("ffmpeg")) return g;
    const std::string d = ScratchDir("bmp_inputs");
    g.ok = Run("cd '" + d +
               "' && convert -size 1601x1203 gradient:red-blue -type TrueColor"
               "    BMP3:big24.bmp"
               " && ffmpeg -v error -f lavfi -i testsrc=size=241x181 -frames:v 1 -y src.png"
               " && ffmpeg -v error -i src.png -pix_fmt rgb565le -y rgb565.bmp"
               " && ffmpeg -v error -i src.png -pix_fmt pal8 -y ffpal8.bmp"
               " && convert src.png -type TrueColor BMP:v5.bmp"
               " && convert src.png -type TrueColor BMP2:os2.bmp"
               " && convert src.png -colors 12 -type Palette BMP3:pal4.bmp"
               " && convert src.png -monochrome BMP3:mono.bmp"
               " && convert src.png -colors 200 -type Palette -compress RLE BMP3:rle8.bmp"
               " && convert src.png -alpha set -channel A -evaluate set 50% BMP:alpha.bmp");
    for (const char* name : {"big24.bmp", "rgb565.bmp", "ffpal8.bmp", "v5.bmp", "os2.bmp",
                             "pal4.bmp", "mono.bmp", "rle8.bmp", "alpha.bmp"}) {
      g.files.emplace_back(name, ReadFileBytes(d + "/" + name));
    }
    g.files.emplace_back("BMP.bmp", ReadFileBytes(TestData("corpus/format-samples/BMP.bmp")));
    return g;
  }();
  return in;
}

TEST(BmpHandler, EndsWhereTheHeaderSays) {
  ASSERT_NE(Bmp(), nullptr);
  if (!Generated().ok) GTEST_SKIP() << "convert or ffmpeg missing";
  for (const auto& [name, bmp] : Generated().files) {
    SCOPED_TRACE(name);
    ASSERT_GT(bmp.size(), 1000u);
    const Bytes disk = Join(bmp, RandomData(3000, 1));
    const Recognition r = Recognize(Bmp(), disk, 0);
    EXPECT_TRUE(r.recognized && r.start == 0);
    EXPECT_EQ(r.end, static_cast<long long>(bmp.size()));
    EXPECT_EQ(FindEnd(Bmp(), disk), static_cast<long long>(bmp.size()));
    std::string extension;
    EXPECT_TRUE(Describe(Bmp(), bmp, &extension));
    EXPECT_EQ(extension, "bmp");

    // Cut short at the end of the medium: open, ended before the zeros, marked damaged.
    const Bytes cut = Prefix(bmp, bmp.size() / 2);
    const Recognition open = Recognize(Bmp(), cut, 0);
    EXPECT_TRUE(open.recognized && open.end == -1);
    const long long end = FindEnd(Bmp(), Join(cut, Bytes(300, 0)));
    EXPECT_GT(end, 0);
    EXPECT_LE(end, static_cast<long long>(cut.size()));
    EXPECT_FALSE(Describe(Bmp(), cut));
  }
  // Cut short with another file's start at the next sector: open, ended before that file.
  const Bytes& big = Generated().files[0].second;
  const Bytes cut = Prefix(big, 100000);
  Bytes next = {0xFF, 0xD8, 0xFF, 0xE0};
  next.resize(400000, 0x55);
  const Bytes disk = Join(Join(cut, Bytes(512 - cut.size() % 512, 0)), next);
  EXPECT_EQ(Recognize(Bmp(), disk, 0).end, -1);
  EXPECT_LE(FindEnd(Bmp(), Prefix(disk, cut.size() + 512 - cut.size() % 512)),
            static_cast<long long>(cut.size()));
  // A header whose declared size disagrees with its pixel array is refused.
  Bytes bmp = Generated().files.back().second;
  bmp[2] = 0x10, bmp[3] = 0x20;
  EXPECT_FALSE(Recognize(Bmp(), Join(bmp, Bytes(10000, 0)), 0).recognized);
}

// Sector-aligned between random data, back to back with only slack, planted signatures and
// a bitmap cut short by the end of the medium; then packed at odd offsets with Unaligned=1.
TEST(BmpHandler, ScanRecoversEveryBitmapWhole) {
  if (!Generated().ok) GTEST_SKIP() << "convert or ffmpeg missing";
  const auto& files = Generated().files;
  ImageBuilder image(8);
  image.AddRandom(1000);
  image.Align();
  for (const auto& [name, bmp] : files) {
    image.AddFile(name, bmp);
    image.AddRandom(700);
    image.Align();
  }
  image.AddZeros(1024);
  for (const auto& [name, bmp] : files) {
    image.AddFile("packed-" + name, bmp);
    image.AddZeros((512 - bmp.size() % 512) % 512);
  }
  for (int i = 0; i < 8; ++i) {
    image.bytes().insert(image.bytes().end(), {'B', 'M'});
    image.AddRandom(1000);
    image.Align();
  }
  const Bytes& big = files[0].second;
  const size_t cut = big.size() / 2 / 512 * 512 + 100;
  image.AddFile("cut-end", Prefix(big, cut));
  image.AddZeros(412);
  ExpectRecovered("bmp", image.placed(), ScanImage({"bmp.so"}, image.Finish()), "bmp");

  ImageBuilder packed(9);
  packed.AddRandom(300);
  for (size_t i = 1; i < files.size(); ++i) {
    packed.AddFile(files[i].first, files[i].second);
    packed.AddRandom(29);
  }
  ASSERT_TRUE(Bmp()->SetIntPropValue("Unaligned", 1));
  const std::vector<Recovered> found = ScanImage({"bmp.so"}, packed.Finish());
  ASSERT_TRUE(Bmp()->SetIntPropValue("Unaligned", 0));
  ExpectRecovered("bmp unaligned", packed.placed(), found, "bmp");
}

}  // namespace
