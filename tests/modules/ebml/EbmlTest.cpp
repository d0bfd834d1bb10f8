#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "tests/support/MediaTestSupport.h"
#include "tests/support/ScanHarness.h"
#include "tests/support/SparseStream.h"

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
  MediaImage image;
  image.AddAll(gFiles);
  image.AddCut("cut.mkv", gFiles["h264.mkv"], gFiles["h264.mkv"].size() * 2 / 3);
  ScanAndCheck("ebml.so", image);
}

// Inside blocks only with Unaligned set; a Segment larger than MaxSize is left to the end
// search, and the default MaxSize takes files of many GiB.
TEST_F(EbmlTest, UnalignedAndMaxSize) {
  ExpectFoundOnlyUnaligned(handler, "ebml.so", "live.webm", gFiles["live.webm"]);
  int value = 0;
  ASSERT_TRUE(handler->GetIntPropDefault("MaxSize", &value));
  EXPECT_GE(value, 4194304);
  ASSERT_TRUE(handler->GetIntPropMax("MaxSize", &value));
  EXPECT_EQ(value, INT_MAX);
  ExpectOpenPastMaxSize(handler, gFiles["h264.mkv"], 4);
}

// The corpus sample (cut short by its collector) is recognised and named; random data, also
// with the EBML magic planted at block starts, yields nothing; damaged copies stay inside.
TEST_F(EbmlTest, SampleRandomAndDamagedData) {
  std::vector<uint8_t> sample = ReadFileBytes(TestData("corpus/format-samples/Matroska.mkv"));
  ASSERT_FALSE(sample.empty());
  EXPECT_TRUE(Recognize(handler, sample, 0).recognized);
  std::string extension;
  Describe(handler, sample, &extension);
  EXPECT_EQ(extension, "mkv");
  ExpectNothingFromRandom("ebml.so", {{0x1A, 0x45, 0xDF, 0xA3, 0xA3, 0x42, 0x86, 0x81, 0x01}});
  ExerciseDamagedCopies(handler, gFiles);
}

}  // namespace

namespace {

std::vector<uint8_t> SizedId(std::vector<uint8_t> id, long long size) {
  id.push_back(0x01);  // 8-byte size
  for (int shift = 48; shift >= 0; shift -= 8) id.push_back(static_cast<uint8_t>(size >> shift));
  return id;
}

// A 5 GiB Matroska file (sizes beyond 32 bits everywhere) is followed to its exact end when
// MaxSize allows it, and left open for the end search when it does not.
TEST(EbmlLargeFile, FollowsSegmentsBeyondFourGiB) {
  CContentHandler* handler = LoadHandler("ebml.so");
  ASSERT_NE(handler, nullptr);
  const std::vector<uint8_t> header = {0x1A, 0x45, 0xDF, 0xA3, 0x9F, 0x42, 0x86, 0x81, 0x01,
                                       0x42, 0xF7, 0x81, 0x01, 0x42, 0xF2, 0x81, 0x04, 0x42,
                                       0xF3, 0x81, 0x08, 0x42, 0x82, 0x84, 'w',  'e',  'b',
                                       'm',  0x42, 0x87, 0x81, 0x04, 0x42, 0x85, 0x81, 0x02};
  const long long cluster = 5LL << 30;
  const long long segment = 13 + 12 + cluster + 9;
  const long long start = 4096;  // the file's offset in the image
  const long long fileSize = static_cast<long long>(header.size()) + 12 + segment;
  SparseStream image(start + fileSize + 8192);
  image.Place(start, header);
  long long at = start + static_cast<long long>(header.size());
  image.Place(at, SizedId({0x18, 0x53, 0x80, 0x67}, segment));
  at += 12;
  image.Place(at, {0x15, 0x49, 0xA9, 0x66, 0x88, 0x2A, 0xD7, 0xB1, 0x83, 0x0F, 0x42, 0x40, 0x00});
  at += 13;
  image.Place(at, SizedId({0x1F, 0x43, 0xB6, 0x75}, cluster));
  at += 12 + cluster;
  image.Place(at, {0x1C, 0x53, 0xBB, 0x6B, 0x84, 0xBB, 0x82, 0xB3, 0x80});
  image.Place(at + 9, {0xFF, 0xD8, 0xFF, 0xE0});  // whatever follows the file

  image.SetPosition(start);
  bool recognized = false;
  long long found = -1, end = -1;
  ASSERT_TRUE(handler->RecognizeData(&image, 512, &recognized, &found, &end));
  EXPECT_TRUE(recognized);
  EXPECT_EQ(found, start);
  EXPECT_EQ(end, start + fileSize);

  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 4194304));
  image.SetPosition(start);
  recognized = false;
  found = end = -1;
  ASSERT_TRUE(handler->RecognizeData(&image, 512, &recognized, &found, &end));
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler)));
  EXPECT_TRUE(recognized);
  EXPECT_EQ(end, -1);
}

}  // namespace
