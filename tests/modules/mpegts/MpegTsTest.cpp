#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "MediaTestSupport.h"
#include "ScanHarness.h"

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
// named; an M2TS cut short of its last aligned unit comes back marked damaged.
TEST_F(MpegTsTest, RecoversFilesThroughTheEngine) {
  std::map<std::string, std::string> intact;
  ImageBuilder image;
  image.AddRandom(7000);
  bool zeros = false;
  for (const auto& f : gFiles) {
    image.Align();
    image.AddFile(f.first, f.second);
    intact[f.first] = f.first.substr(f.first.rfind('.') + 1);
    if ((zeros = !zeros)) image.AddZeros(1536);
  }
  std::vector<uint8_t> cut = gFiles["camcorder.mts"];
  cut.resize(6144 + 192 * 10 + 100);  // inside the second aligned unit
  image.Align();
  image.AddFile("cut.mts", cut);
  image.AddRandom(5000);
  // Clips of whole aligned units fill whole sectors: a camera writes them right behind each
  // other.
  image.Align();
  image.AddFile("camcorder.mts", gFiles["camcorder.mts"]);
  image.AddFile("mpeg2.mts", gFiles["mpeg2.mts"]);
  image.AddFile("camcorder.mts", gFiles["camcorder.mts"]);
  std::vector<uint8_t> bytes = image.Finish();

  MediaTally tally = CheckMediaRecovery(image.placed(), ScanImage({"mpegts.so"}, bytes), intact,
                                        {{"cut.mts", static_cast<long long>(cut.size())}});
  EXPECT_EQ(tally.identical, tally.files);
  EXPECT_EQ(tally.broken, 1);
  PrintTally("mpegts", tally);
}

// Inside blocks only with Unaligned set; a run longer than MaxSize is left to the end search.
TEST_F(MpegTsTest, UnalignedStartsAndMaxSize) {
  ImageBuilder image;
  image.AddRandom(1000);
  image.AddFile("h264.ts", gFiles["h264.ts"]);
  image.AddRandom(2000);
  std::vector<uint8_t> bytes = image.Finish();
  EXPECT_TRUE(ScanImage({"mpegts.so"}, bytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanImage({"mpegts.so"}, bytes);
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 0));
  EXPECT_EQ(CheckMediaRecovery(image.placed(), found, {{"h264.ts", "ts"}}, {}).identical, 1);

  const std::vector<uint8_t>& file = gFiles["mpeg2.ts"];
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 8));
  Answer open = RecognizeAt(handler, file, 0);
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler)));
  EXPECT_TRUE(open.recognized);
  EXPECT_EQ(open.end, -1);
  std::vector<uint8_t> window = file;
  window.resize(window.size() + 1000, 0);
  EXPECT_EQ(FindEndIn(handler, window), static_cast<long long>(file.size()));
}

// The corpus sample (cut short) is recognised and named; random data with sync bytes planted
// at the packet stride for a few packets yields nothing.
TEST_F(MpegTsTest, NamesSampleAndIgnoresRandomData) {
  std::vector<uint8_t> sample = ReadFileBytes(TestData("corpus/format-samples/M2TS.mts"));
  ASSERT_FALSE(sample.empty());
  EXPECT_TRUE(RecognizeAt(handler, sample, 0).recognized);
  std::string extension;
  EXPECT_FALSE(DescribeBytes(handler, sample, &extension));
  EXPECT_EQ(extension, "mts");

  ImageBuilder image(7);
  image.AddRandom(1 << 20);
  std::vector<uint8_t> bytes = image.Finish();
  for (size_t at = 0; at + 188 * 4 < bytes.size(); at += 512 * 5) {
    for (int packet = 0; packet < 4; ++packet) {
      bytes[at + 188 * packet] = 0x47;
      bytes[at + 188 * packet + 1] = 0x40;
      bytes[at + 188 * packet + 2] = 0x00;
    }
  }
  EXPECT_TRUE(ScanImage({"mpegts.so"}, bytes).empty());
}

// Damaged copies of every generated file: answers stay inside the data, nothing crashes.
TEST_F(MpegTsTest, DamagedCopiesStayInBounds) {
  uint32_t seed = 1;
  for (const auto& f : gFiles) {
    SCOPED_TRACE(f.first);
    ExerciseDamagedCopies(handler, f.second, seed++);
  }
}

}  // namespace
