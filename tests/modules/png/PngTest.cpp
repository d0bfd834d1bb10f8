#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "HandlerScan.h"
#include "MemoryStream.h"
#include "ScanHarness.h"

using namespace testing_support;

namespace {

std::map<std::string, std::vector<uint8_t>> gFiles;

class PngTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("convert")) return;
    std::string dir = ScratchDir("png");
    struct Command {
      std::string name, command, outputPrefix;  // prefix: ImageMagick's format selector
    };
    const std::vector<Command> commands = {
        {"plasma.png", "convert -size 64x48 plasma:", ""},
        {"large.png", "convert -size 240x180 plasma:", ""},  // several IDAT chunks
        {"gray.png", "convert -size 64x48 gradient: -type Grayscale", ""},
        {"palette.png", "convert -size 64x48 plasma: -colors 200 -type Palette", ""},
        {"deep.png", "convert -size 32x32 gradient:", "PNG48:"},
        {"interlaced.png", "convert -size 64x48 plasma: -interlace PNG", ""},
        {"animated.apng",
         "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=5:duration=1 -plays 0 -f apng",
         ""},
    };
    for (const auto& c : commands) {
      std::string path = dir + "/" + c.name;
      if (testing_support::Run(c.command + " " + c.outputPrefix + "'" + path + "' >/dev/null 2>&1"))
        gFiles[c.name] = ReadFileBytes(path);
      if (gFiles.count(c.name) && gFiles[c.name].empty()) gFiles.erase(c.name);
    }
  }

  void SetUp() override {
    if (gFiles.count("large.png") == 0) GTEST_SKIP() << "ImageMagick missing";
    handler = LoadHandler("png.so");
    ASSERT_NE(handler, nullptr);
  }

  CContentHandler* handler = nullptr;
};

// Files sector-aligned and back to back between random data and zeros come back whole and
// named; a file with a bad CRC inside and a cut one come back broken; filler yields nothing.
TEST_F(PngTest, RecoversEveryFileWholeAndNamed) {
  std::map<std::string, Expected> expected = {
      {"plasma.png", {"png"}},     {"large.png", {"png"}},          {"gray.png", {"png"}},
      {"palette.png", {"png"}},    {"deep.png", {"png"}},           {"interlaced.png", {"png"}},
      {"animated.apng", {"apng"}}, {"damaged.png", {"png", false}}, {"cut.png", {"png", false}},
  };
  ImageBuilder image;
  image.AddRandom(5000);
  bool zeros = false;
  for (const auto& e : expected) {
    if (gFiles.count(e.first) == 0) continue;
    image.Align();
    image.AddFile(e.first, gFiles[e.first]);
    if ((zeros = !zeros)) image.AddZeros(1024);
  }
  // One flipped byte in the image data: the CRC catches it, the file still ends at IEND.
  std::vector<uint8_t> damaged = gFiles["large.png"];
  damaged[damaged.size() / 2] ^= 0x40;
  image.Align();
  image.AddFile("damaged.png", damaged);
  image.AddRandom(700);
  std::vector<uint8_t> cut = gFiles["large.png"];
  cut.resize(cut.size() / 2);
  image.Align();
  image.AddFile("cut.png", cut);
  image.Align();
  image.AddFile("plasma.png", gFiles["plasma.png"]);
  image.AddRandom(3000);
  std::vector<uint8_t> bytes = image.Finish();

  auto direct = ScanWithHandler(handler, bytes);
  ExpectRecovery(direct, image, static_cast<long long>(bytes.size()), expected);
  for (const auto& r : direct) {
    if (r.offset == image.placed()[image.placed().size() - 3].offset) {
      EXPECT_EQ(r.size, static_cast<long long>(damaged.size()));  // ends at its IEND
    }
  }
  auto scanned = ScanImage({"png.so"}, bytes);
  ExpectRecovery(scanned, image, static_cast<long long>(bytes.size()), expected);

  std::vector<uint8_t> sample = ReadFileBytes(TestData("corpus/format-samples/PNG.png"));
  MemoryStream stream(sample);
  bool recognized = false;
  long long start = -1, end = -1;
  ASSERT_TRUE(handler->RecognizeData(&stream, 512, &recognized, &start, &end));
  EXPECT_TRUE(recognized);
  EXPECT_EQ(start, 0);
}

// A signature, or a signature with a broken IHDR, planted in random data yields nothing; a
// file at an odd offset is found only with Unaligned; MaxSize turns a whole answer into a
// start whose end FindEndOfFile then finds.
TEST_F(PngTest, RefusesFillerAndHonoursProperties) {
  ImageBuilder noise(5);
  noise.AddRandom(32 * 512);
  std::vector<uint8_t> bytes = noise.Finish();
  const std::vector<uint8_t>& png = gFiles["plasma.png"];
  std::copy(png.begin(), png.begin() + 8, bytes.begin() + 512);
  std::copy(png.begin(), png.begin() + 33, bytes.begin() + 2048);
  bytes[2048 + 20] ^= 1;  // width changed under its CRC
  EXPECT_TRUE(ScanWithHandler(handler, bytes).empty());

  ImageBuilder odd;
  odd.AddRandom(300 + 5);
  odd.AddFile("plasma.png", png);
  odd.AddRandom(2000);
  std::vector<uint8_t> oddBytes = odd.Finish();
  EXPECT_TRUE(ScanWithHandler(handler, oddBytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanWithHandler(handler, oddBytes);
  handler->SetIntPropValue("Unaligned", 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].offset, 305);
  EXPECT_EQ(found[0].sha256, odd.placed()[0].sha256);

  int maxSize = 0;
  ASSERT_TRUE(handler->GetIntPropValue("MaxSize", &maxSize));
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 1));
  const std::vector<uint8_t>& large = gFiles["large.png"];
  MemoryStream stream(large);
  bool recognized = false;
  long long start = -1, end = -1;
  handler->RecognizeData(&stream, 512, &recognized, &start, &end);
  handler->SetIntPropValue("MaxSize", maxSize);
  EXPECT_TRUE(recognized);
  EXPECT_EQ(end, -1);
  MemoryStream window(large);
  EXPECT_TRUE(handler->FindEndOfFile(&window, 512, &end));
  EXPECT_EQ(end, static_cast<long long>(large.size()));
}

}  // namespace
