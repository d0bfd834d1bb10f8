#include <gtest/gtest.h>

#include "tests/support/MediaTestSupport.h"

using namespace testing_support;

namespace {

const std::map<std::string, std::vector<uint8_t>>& Media() {
  static const auto media =
      MakeMedia("png", {{"plasma.png", "convert -size 64x48 plasma:"},
                        {"large.png", "convert -size 240x180 plasma:"},  // several IDAT chunks
                        {"gray.png", "convert -size 64x48 gradient: -type Grayscale"},
                        {"palette.png", "convert -size 64x48 plasma: -colors 200 -type Palette"},
                        {"deep.png", "convert -size 32x32 gradient: -depth 16"},
                        {"interlaced.png", "convert -size 64x48 plasma: -interlace PNG"},
                        {"animated.apng",
                         "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=5:duration=1 "
                         "-plays 0 -f apng"}});
  return media;
}

CContentHandler* Handler() {
  static CContentHandler* handler = LoadHandler("png.so");
  return handler;
}

// Files sector-aligned and back to back between random data and zeros come back whole and
// named; one with a flipped byte (its CRC fails) still ends at its IEND and one cut short ends
// where the next file starts, both marked broken.
TEST(PngModule, RecoversFilesWholeAndMarksDamage) {
  const auto& media = Media();
  if (media.count("large.png") == 0) GTEST_SKIP() << "ImageMagick missing";
  ASSERT_NE(Handler(), nullptr);
  std::map<std::string, std::string> intact = {{"plasma.png", "png"},    {"large.png", "png"},
                                               {"gray.png", "png"},      {"palette.png", "png"},
                                               {"deep.png", "png"},      {"interlaced.png", "png"},
                                               {"animated.apng", "apng"}};
  ImageBuilder image;
  image.AddRandom(5000);
  bool zeros = false;
  for (const auto& file : intact) {
    if (media.count(file.first) == 0) continue;
    image.Align();
    image.AddFile(file.first, media.at(file.first));
    if ((zeros = !zeros)) image.AddZeros(1024);
  }
  std::vector<uint8_t> damaged = media.at("large.png"), cut = damaged;
  damaged[damaged.size() / 2] ^= 0x40;
  cut.resize(cut.size() / 2);
  std::map<std::string, long long> rooms;
  for (const auto& file :
       {std::make_pair("damaged.png", damaged), std::make_pair("cut.png", cut)}) {
    image.Align();
    image.AddFile(file.first, file.second);
    image.Align();
    rooms[file.first] = static_cast<long long>(image.bytes().size()) - image.placed().back().offset;
    image.AddFile("plasma.png", media.at("plasma.png"));
  }
  image.AddRandom(3000);
  auto found = ScanImage({"png.so"}, image.Finish());
  PrintTally("png", CheckMediaRecovery(image.placed(), found, intact, rooms));
  const long long damagedAt = image.placed()[image.placed().size() - 4].offset;
  for (const auto& r : found) {
    if (r.offset == damagedAt) {
      EXPECT_EQ(r.size, static_cast<long long>(damaged.size()));
    }
  }

  ExerciseDamagedCopies(Handler(), media.at("plasma.png"), 20);
  ExerciseDamagedCopies(Handler(), media.at("animated.apng"), 21);
}

// The format sample is recognised; a signature, or one with an IHDR changed under its CRC,
// planted in random data yields nothing; Unaligned finds an odd offset; MaxSize turns a whole
// answer into a start whose end FindEndOfFile still finds.
TEST(PngModule, RefusesLookalikesAndHonoursProperties) {
  if (Media().count("large.png") == 0) GTEST_SKIP() << "ImageMagick missing";
  CContentHandler* handler = Handler();
  ASSERT_NE(handler, nullptr);
  Recognition sample =
      Recognize(handler, ReadFileBytes(TestData("corpus/format-samples/PNG.png")), 0);
  EXPECT_TRUE(sample.recognized && sample.start == 0);

  const std::vector<uint8_t>& png = Media().at("plasma.png");
  ImageBuilder noise(5);
  noise.AddRandom(32 * 512);
  std::vector<uint8_t> bytes = noise.Finish();
  std::copy(png.begin(), png.begin() + 8, bytes.begin() + 512);
  std::copy(png.begin(), png.begin() + 33, bytes.begin() + 2048);
  bytes[2048 + 20] ^= 1;  // width changed under its CRC
  EXPECT_TRUE(ScanImage({"png.so"}, bytes).empty());

  ImageBuilder odd;
  odd.AddRandom(300 + 5);
  odd.AddFile("plasma.png", png);
  odd.AddRandom(2000);
  std::vector<uint8_t> oddBytes = odd.Finish();
  EXPECT_TRUE(ScanImage({"png.so"}, oddBytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanImage({"png.so"}, oddBytes);
  handler->SetIntPropValue("Unaligned", 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].offset, 305);
  EXPECT_EQ(found[0].sha256, odd.placed()[0].sha256);

  const std::vector<uint8_t>& large = Media().at("large.png");
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 1));
  Recognition capped = Recognize(handler, large, 0);
  handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler));
  EXPECT_TRUE(capped.recognized && capped.start == 0 && capped.end == -1);
  EXPECT_EQ(FindEnd(handler, large), static_cast<long long>(large.size()));
}

}  // namespace
