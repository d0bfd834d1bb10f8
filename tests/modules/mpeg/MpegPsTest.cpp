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
  std::map<std::string, std::string> intact;
  ImageBuilder image;
  image.AddRandom(7000);
  bool zeros = false;
  for (int round = 0; round < 2; ++round) {
    for (const auto& f : gFiles) {
      image.Align();
      image.AddFile(f.first, f.second);
      intact[f.first] = f.first.substr(f.first.rfind('.') + 1);
      if (round == 0 && (zeros = !zeros)) image.AddZeros(1536);
    }
  }
  image.AddRandom(3000);
  std::vector<uint8_t> bytes = image.Finish();

  MediaTally tally = CheckMediaRecovery(image.placed(), ScanImage({"mpeg.so"}, bytes), intact, {});
  EXPECT_EQ(tally.identical, tally.files);
  PrintTally("mpeg", tally);
}

// A stream cut inside a pack ends within that pack (its units carry their own lengths); one
// that runs off the data inside a unit is damaged; one longer than MaxSize is left open.
TEST_F(MpegPsTest, CutStreamsAndMaxSize) {
  std::vector<uint8_t> cut = gFiles["mpeg1.mpg"];
  cut.resize(cut.size() / 2 + 700);
  std::vector<uint8_t> disk = cut;
  disk.resize(disk.size() + 4096, 0);
  Answer a = RecognizeAt(handler, disk, 0);
  ASSERT_TRUE(a.recognized);
  EXPECT_GT(a.end, static_cast<long long>(cut.size()) - 2048);
  EXPECT_LT(a.end, static_cast<long long>(cut.size()) + 2048);
  std::string extension;
  EXPECT_FALSE(DescribeBytes(handler, cut, &extension));
  EXPECT_EQ(extension, "mpg");

  const std::vector<uint8_t>& file = gFiles["dvd.vob"];
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 8));
  Answer open = RecognizeAt(handler, file, 0);
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler)));
  EXPECT_TRUE(open.recognized);
  EXPECT_EQ(open.end, -1);
  std::vector<uint8_t> window = file;
  window.resize(window.size() + 1000, 0);
  EXPECT_EQ(FindEndIn(handler, window), static_cast<long long>(file.size()));
}

// Inside blocks only with Unaligned set; random data with pack headers planted at block starts
// yields nothing.
TEST_F(MpegPsTest, UnalignedStartsAndRandomData) {
  ImageBuilder image;
  image.AddRandom(1234);
  image.AddFile("mpeg2.mpg", gFiles["mpeg2.mpg"]);
  image.AddRandom(2000);
  std::vector<uint8_t> bytes = image.Finish();
  EXPECT_TRUE(ScanImage({"mpeg.so"}, bytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanImage({"mpeg.so"}, bytes);
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 0));
  EXPECT_EQ(CheckMediaRecovery(image.placed(), found, {{"mpeg2.mpg", "mpg"}}, {}).identical, 1);

  ImageBuilder noise(11);
  noise.AddRandom(1 << 20);
  std::vector<uint8_t> random = noise.Finish();
  const std::vector<uint8_t>& pack = gFiles["mpeg2.mpg"];
  for (size_t at = 0; at + 32 < random.size(); at += 512 * 3)
    std::copy(pack.begin(), pack.begin() + 20, random.begin() + static_cast<long>(at));
  EXPECT_TRUE(ScanImage({"mpeg.so"}, random).empty());
}

// Damaged copies of every generated file: answers stay inside the data, nothing crashes.
TEST_F(MpegPsTest, DamagedCopiesStayInBounds) {
  uint32_t seed = 1;
  for (const auto& f : gFiles) {
    SCOPED_TRACE(f.first);
    ExerciseDamagedCopies(handler, f.second, seed++);
  }
}

}  // namespace
