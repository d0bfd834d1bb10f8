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

CContentHandler* Gif() {
  static CContentHandler* handler = LoadHandler("gif.so");
  return handler;
}

struct Inputs {
  bool ok = false;
  std::vector<std::pair<std::string, Bytes>> files;
};

// Encoded once per test binary: a long animation from ffmpeg, a small one and a GIF87a still
// from ImageMagick, and the corpus sample.
const Inputs& Generated() {
  static Inputs in = [] {
    Inputs g;
    if (!HaveTool("convert") || !HaveTool("ffmpeg")) return g;
    const std::string d = ScratchDir("gif_inputs");
    g.ok = Run("cd '" + d +
               "' && ffmpeg -v error -f lavfi"
               " -i testsrc=duration=10:size=240x180:rate=15 -y long.gif"
               " && convert 'long.gif[10]' GIF87:still87.gif"
               " && convert -delay 8 -size 200x150 gradient:red-blue gradient:blue-green"
               "    gradient:green-yellow gradient:yellow-red -loop 0 small.gif");
    for (const char* name : {"long.gif", "still87.gif", "small.gif"}) {
      g.files.emplace_back(name, ReadFileBytes(d + "/" + name));
    }
    g.files.emplace_back("GIF.gif", ReadFileBytes(TestData("corpus/format-samples/GIF.gif")));
    return g;
  }();
  return in;
}

TEST(GifHandler, FollowsBlocksToTheTrailer) {
  ASSERT_NE(Gif(), nullptr);
  if (!Generated().ok) GTEST_SKIP() << "convert or ffmpeg missing";
  for (const auto& [name, gif] : Generated().files) {
    SCOPED_TRACE(name);
    ASSERT_GT(gif.size(), 1000u);
    const Bytes disk = Join(gif, RandomData(5000, 1));
    const Recognition r = Recognize(Gif(), disk, 0);
    EXPECT_TRUE(r.recognized && r.start == 0);
    EXPECT_EQ(r.end, static_cast<long long>(gif.size()));
    EXPECT_EQ(FindEnd(Gif(), disk), static_cast<long long>(gif.size()));
    std::string extension;
    EXPECT_TRUE(Describe(Gif(), gif, &extension));
    EXPECT_EQ(extension, "gif");

    // Cut short before random data or zeros: open, ended within the data, marked damaged.
    const size_t cut = gif.size() * 3 / 5;
    for (const Bytes& after : {RandomData(80000, 2), Bytes(80000, 0)}) {
      const Bytes cutDisk = Join(Prefix(gif, cut), after);
      const Recognition open = Recognize(Gif(), cutDisk, 0);
      EXPECT_TRUE(open.recognized && open.end == -1);
      const long long end = FindEnd(Gif(), cutDisk);
      EXPECT_GT(end, 13);
      EXPECT_LE(end, static_cast<long long>(cut));
      EXPECT_FALSE(Describe(Gif(), Prefix(cutDisk, static_cast<size_t>(end))));
    }
  }
}

// Sector-aligned between random data, back to back with only slack, cut short, planted
// signatures, then packed at odd offsets with Unaligned=1; through the engine.
TEST(GifHandler, ScanRecoversEveryGifWhole) {
  if (!Generated().ok) GTEST_SKIP() << "convert or ffmpeg missing";
  const auto& files = Generated().files;
  ImageBuilder image(5);
  image.AddRandom(3000);
  image.Align();
  for (const auto& [name, gif] : files) {
    image.AddFile(name, gif);
    image.AddRandom(2000);
    image.Align();
  }
  image.AddZeros(2048);
  for (const auto& [name, gif] : files) {
    image.AddFile("packed-" + name, gif);
    image.AddZeros((512 - gif.size() % 512) % 512);
  }
  image.AddFile("cut-random", Prefix(files[0].second, files[0].second.size() / 2));
  image.AddRandom(9000);
  image.Align();
  image.AddFile("cut-zeros", Prefix(files[2].second, files[2].second.size() / 2));
  image.AddZeros(5000);
  image.Align();
  image.AddFile("after-cut", files[1].second);
  for (int i = 0; i < 8; ++i) {
    image.Align();
    image.bytes().insert(image.bytes().end(), {'G', 'I', 'F', '8', '9', 'a'});
    image.AddRandom(1000);
  }
  ExpectRecovered("gif", image.placed(), ScanImage({"gif.so"}, image.Finish()), "gif");

  ImageBuilder packed(6);
  packed.AddRandom(300);
  for (const auto& [name, gif] : files) {
    packed.AddFile(name, gif);
    packed.AddRandom(51);
  }
  ASSERT_TRUE(Gif()->SetIntPropValue("Unaligned", 1));
  const std::vector<Recovered> found = ScanImage({"gif.so"}, packed.Finish());
  ASSERT_TRUE(Gif()->SetIntPropValue("Unaligned", 0));
  ExpectRecovered("gif unaligned", packed.placed(), found, "gif");
}

}  // namespace
