#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "MediaTestSupport.h"
#include "ScanHarness.h"

using namespace testing_support;

namespace {

std::map<std::string, std::vector<uint8_t>> gFiles;

class EbmlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("ffmpeg")) return;
    const std::string ff =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=25:duration=1 "
        "-f lavfi -i sine=duration=1 ";
    const std::string audioOnly = "ffmpeg -v error -y -f lavfi -i sine=duration=1 ";
    gFiles = MakeMedia(
        "ebml", {
                    {"h264.mkv", ff + "-c:v libx264 -preset ultrafast -c:a aac"},
                    {"vp8.webm", ff + "-c:v libvpx -b:v 200k -c:a libvorbis"},
                    {"flac.mka", audioOnly + "-c:a flac"},
                    // Written to a pipe: the Segment's size stays unknown.
                    {"live.mkv", ff + "-c:v libx264 -preset ultrafast -c:a aac -f matroska - >"},
                    {"live.webm", ff + "-c:v libvpx -b:v 200k -c:a libopus -f webm - >"},
                });
    // Clusters of unknown size too (as live encoders write them): same bytes, the size
    // fields marked unknown.
    if (gFiles.count("live.mkv")) {
      std::vector<uint8_t> open = gFiles["live.mkv"];
      const uint8_t cluster[] = {0x1F, 0x43, 0xB6, 0x75};
      for (size_t i = 0; i + 7 < open.size(); ++i) {
        if (std::equal(cluster, cluster + 4, open.begin() + static_cast<long>(i)) &&
            (open[i + 4] & 0xE0) == 0x20) {
          open[i + 4] = 0x3F;
          open[i + 5] = open[i + 6] = 0xFF;
        }
      }
      gFiles["open-clusters.mkv"] = open;
    }
  }

  void SetUp() override {
    if (gFiles.count("h264.mkv") == 0) GTEST_SKIP() << "ffmpeg missing";
    handler = LoadHandler("ebml.so");
    ASSERT_NE(handler, nullptr);
  }

  CContentHandler* handler = nullptr;
};

// Files sector-aligned, back to back and between random data and zeros come back whole and
// named; one cut short comes back marked damaged.
TEST_F(EbmlTest, RecoversFilesThroughTheEngine) {
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
  std::vector<uint8_t> cut = gFiles["h264.mkv"];
  cut.resize(cut.size() * 2 / 3);
  image.Align();
  image.AddFile("cut.mkv", cut);
  image.AddRandom(5000);
  image.Align();
  image.AddFile("h264.mkv", gFiles["h264.mkv"]);  // right behind a live file's end
  image.AddZeros(4096);
  std::vector<uint8_t> bytes = image.Finish();

  MediaTally tally = CheckMediaRecovery(image.placed(), ScanImage({"ebml.so"}, bytes), intact,
                                        {{"cut.mkv", static_cast<long long>(cut.size())}});
  EXPECT_EQ(tally.identical, tally.files);
  EXPECT_EQ(tally.broken, 1);
  PrintTally("ebml", tally);
}

// A file that starts inside a block is found only with Unaligned set, at its exact offset.
TEST_F(EbmlTest, UnalignedStartsInsideBlocks) {
  ImageBuilder image;
  image.AddRandom(3000);
  image.AddFile("live.webm", gFiles["live.webm"]);
  image.AddRandom(2000);
  std::vector<uint8_t> bytes = image.Finish();
  EXPECT_TRUE(ScanImage({"ebml.so"}, bytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanImage({"ebml.so"}, bytes);
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 0));
  MediaTally tally = CheckMediaRecovery(image.placed(), found, {{"live.webm", "webm"}}, {});
  EXPECT_EQ(tally.identical, 1);
}

// A Segment larger than MaxSize is left open; the end search then finds its end. The default
// takes files of many GiB.
TEST_F(EbmlTest, MaxSizeLeavesLargeFilesOpen) {
  int value = 0;
  ASSERT_TRUE(handler->GetIntPropDefault("MaxSize", &value));
  EXPECT_GE(value, 4194304);
  ASSERT_TRUE(handler->GetIntPropMax("MaxSize", &value));
  EXPECT_EQ(value, INT_MAX);
  const std::vector<uint8_t>& file = gFiles["h264.mkv"];
  Answer whole = RecognizeAt(handler, file, 0);
  EXPECT_TRUE(whole.recognized);
  EXPECT_EQ(whole.end, static_cast<long long>(file.size()));
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 4));
  Answer open = RecognizeAt(handler, file, 0);
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 4194304));
  EXPECT_TRUE(open.recognized);
  EXPECT_EQ(open.start, 0);
  EXPECT_EQ(open.end, -1);
  std::vector<uint8_t> window = file;
  window.resize(window.size() + 3000, 0x55);
  EXPECT_EQ(FindEndIn(handler, window), static_cast<long long>(file.size()));
}

// The corpus sample (cut short by its collector) is recognised and named; random data, also
// with the EBML magic planted at block starts, yields nothing.
TEST_F(EbmlTest, NamesSampleAndIgnoresRandomData) {
  std::vector<uint8_t> sample = ReadFileBytes(TestData("corpus/format-samples/Matroska.mkv"));
  ASSERT_FALSE(sample.empty());
  EXPECT_TRUE(RecognizeAt(handler, sample, 0).recognized);
  std::string extension;
  DescribeBytes(handler, sample, &extension);
  EXPECT_EQ(extension, "mkv");

  ImageBuilder image(99);
  image.AddRandom(1 << 20);
  std::vector<uint8_t> bytes = image.Finish();
  const uint8_t magic[] = {0x1A, 0x45, 0xDF, 0xA3, 0xA3, 0x42, 0x86, 0x81, 0x01};
  for (size_t at = 0; at + sizeof magic < bytes.size(); at += 512 * 7)
    std::copy(magic, magic + sizeof magic, bytes.begin() + static_cast<long>(at));
  EXPECT_TRUE(ScanImage({"ebml.so"}, bytes).empty());
}

}  // namespace
