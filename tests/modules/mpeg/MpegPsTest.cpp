#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "tests/support/MediaTestSupport.h"
#include "tests/support/ScanHarness.h"

using namespace testing_support;

namespace {

std::map<std::string, std::vector<uint8_t>> gFiles;

class MpegPsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("ffmpeg")) return;
    const std::string ff =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=25:duration=1 "
        "-f lavfi -i sine=duration=1 ";
    gFiles = MakeMedia("mpeg", {
                                   {"mpeg1.mpg", ff + "-c:v mpeg1video -c:a mp2 -f mpeg"},
                                   {"mpeg2.mpg", ff + "-c:v mpeg2video -c:a mp2 -f vob"},
                                   {"dvd.vob", ff + "-c:v mpeg2video -c:a ac3 -f dvd"},
                               });
    // A program end code behind the last pack, as DVD authoring tools write it.
    if (gFiles.count("mpeg2.mpg")) {
      std::vector<uint8_t> ended = gFiles["mpeg2.mpg"];
      ended.insert(ended.end(), {0x00, 0x00, 0x01, 0xB9});
      gFiles["ended.mpg"] = ended;
    }
  }

  void SetUp() override {
    if (gFiles.count("mpeg1.mpg") == 0) GTEST_SKIP() << "ffmpeg missing";
    handler = LoadHandler("mpeg.so");
    ASSERT_NE(handler, nullptr);
  }

  CContentHandler* handler = nullptr;
};

// Files sector-aligned, back to back and between random data and zeros come back whole and
// named.
TEST_F(MpegPsTest, RecoversFilesThroughTheEngine) {
  MediaImage image;
  image.AddAll(gFiles);
  ScanAndCheck("mpeg.so", image);
}

// A stream cut inside a pack ends within that pack (its units carry their own lengths); one
// that runs off the data inside a unit is damaged; one longer than MaxSize is left open.
TEST_F(MpegPsTest, CutStreamsAndMaxSize) {
  std::vector<uint8_t> cut = gFiles["mpeg1.mpg"];
  cut.resize(cut.size() / 2 + 700);
  std::vector<uint8_t> disk = cut;
  disk.resize(disk.size() + 4096, 0);
  Recognition a = Recognize(handler, disk, 0);
  ASSERT_TRUE(a.recognized);
  EXPECT_GT(a.end, static_cast<long long>(cut.size()) - 2048);
  EXPECT_LT(a.end, static_cast<long long>(cut.size()) + 2048);
  std::string extension;
  EXPECT_FALSE(Describe(handler, cut, &extension));
  EXPECT_EQ(extension, "mpg");
  ExpectOpenPastMaxSize(handler, gFiles["dvd.vob"], 8);
}

// Inside blocks only with Unaligned set; random data with pack headers planted at block starts
// yields nothing; damaged copies stay inside the data.
TEST_F(MpegPsTest, UnalignedRandomAndDamagedData) {
  ExpectFoundOnlyUnaligned(handler, "mpeg.so", "mpeg2.mpg", gFiles["mpeg2.mpg"]);
  const std::vector<uint8_t>& pack = gFiles["mpeg2.mpg"];
  ExpectNothingFromRandom("mpeg.so", {std::vector<uint8_t>(pack.begin(), pack.begin() + 20)});
  ExerciseDamagedCopies(handler, gFiles);
}

}  // namespace
