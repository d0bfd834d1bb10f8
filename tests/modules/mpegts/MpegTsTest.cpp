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

class MpegTsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("ffmpeg")) return;
    const std::string ff =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=25:duration=1 "
        "-f lavfi -i sine=duration=1 ";
    gFiles = MakeMedia("mpegts",
                       {
                           {"mpeg2.ts", ff + "-c:v mpeg2video -c:a mp2 -f mpegts"},
                           {"h264.ts", ff + "-c:v libx264 -preset ultrafast -c:a aac -f mpegts"},
                           {"camcorder.mts", ff + "-c:v libx264 -preset ultrafast -c:a ac3 "
                                                  "-f mpegts -mpegts_m2ts_mode 1"},
                           {"mpeg2.mts", ff + "-c:v mpeg2video -c:a mp2 -f mpegts "
                                              "-mpegts_m2ts_mode 1"},
                       });
  }

  void SetUp() override {
    if (gFiles.count("h264.ts") == 0) GTEST_SKIP() << "ffmpeg missing";
    handler = LoadHandler("mpegts.so");
    ASSERT_NE(handler, nullptr);
  }

  CContentHandler* handler = nullptr;
};

// Files sector-aligned, back to back and between random data and zeros come back whole and
// named; an M2TS cut inside an aligned unit comes back marked damaged.
TEST_F(MpegTsTest, RecoversFilesThroughTheEngine) {
  MediaImage image;
  image.AddAll(gFiles);
  image.AddCut("cut.mts", gFiles["camcorder.mts"], 6144 + 192 * 10 + 100);
  // Clips of whole aligned units fill whole sectors: a camera writes them right behind each
  // other.
  image.builder.Align();
  for (const char* clip : {"camcorder.mts", "mpeg2.mts", "camcorder.mts"})
    image.builder.AddFile(clip, gFiles[clip]);
  ScanAndCheck("mpegts.so", image);
}

// Inside blocks only with Unaligned set; a run longer than MaxSize is left to the end search;
// the corpus sample (cut short) is recognised and named.
TEST_F(MpegTsTest, UnalignedMaxSizeAndSample) {
  ExpectFoundOnlyUnaligned(handler, "mpegts.so", "h264.ts", gFiles["h264.ts"]);
  ExpectOpenPastMaxSize(handler, gFiles["mpeg2.ts"], 8);
  std::vector<uint8_t> sample = ReadFileBytes(TestData("corpus/format-samples/M2TS.mts"));
  ASSERT_FALSE(sample.empty());
  EXPECT_TRUE(Recognize(handler, sample, 0).recognized);
  std::string extension;
  EXPECT_FALSE(Describe(handler, sample, &extension));
  EXPECT_EQ(extension, "mts");
}

// Random data with sync bytes planted at the packet stride for a few packets yields nothing;
// damaged copies stay inside the data.
TEST_F(MpegTsTest, RandomAndDamagedData) {
  std::vector<uint8_t> packets(188 * 3 + 4, 0x5A);
  for (int packet = 0; packet < 4; ++packet) {
    packets[188 * packet] = 0x47;
    packets[188 * packet + 1] = 0x40;
    packets[188 * packet + 2] = 0x00;
    packets[188 * packet + 3] = 0x10;
  }
  ExpectNothingFromRandom("mpegts.so", {packets});
  ExerciseDamagedCopies(handler, gFiles);
}

}  // namespace
