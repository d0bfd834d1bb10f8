#include "tests/validate/ValidatorChecks.h"

using namespace testing_support;
using namespace validate_test;

namespace {

const Samples& Encoded() {
  static const Samples made = MakeMedia(
      "validate-gif",
      {{"still.gif", "convert -seed 7 -size 640x480 plasma: -colors 256"},
       {"interlaced.gif", "convert -seed 7 -size 640x480 plasma: -colors 64 -interlace GIF"},
       {"animated.gif",
        "ffmpeg -v error -f lavfi -i mandelbrot=size=320x240:rate=10 -t 1 -f gif"}});
  return made;
}

TEST(GifValidator, WholeCutAndOverwritten) {
  if (Encoded().size() != 3) GTEST_SKIP() << "a Debian encoder is missing";
  const Samples& files = Encoded();
  for (size_t i = 0; i < files.size(); ++i)
    ExpectValidates("gif", files[i].bytes, files[(i + 1) % files.size()].bytes, files[i].name, 0,
                    8192);
  // Mostly extensions (comment, XMP) around an 8x8 frame.
  ExpectIntact("gif", ReadFileBytes(TestData("corpus/format-samples/GIF.gif")), "sample");
}

// Once the LZW table is full any code decodes, so foreign data can run a frame to its last
// pixel: data going on after it gives it away. A frame too large to decode in bounded time
// cannot be told.
TEST(GifValidator, FrameEndsAndSizes) {
  if (Encoded().size() != 3) GTEST_SKIP() << "a Debian encoder is missing";
  Bytes still = Find(Encoded(), "still.gif");
  const size_t end = still.size() - 2;  // the empty sub-block ending the frame, the trailer
  Bytes runOn = still;
  for (int block = 0; block < 4; ++block) {
    const Bytes data = RandomData(255, block);
    runOn.insert(runOn.begin() + long(end) + 256 * block, 255);
    runOn.insert(runOn.begin() + long(end) + 256 * block + 1, data.begin(), data.end());
  }
  ExpectDamagedAround("gif", runOn, long(end), "data after the last pixel", 2 * 256 + 1);
  size_t frame = 13 + 3 * (2 << (still[10] & 7));
  while (still[frame] == 0x21) {  // extensions before the frame
    frame += 2;
    while (still[frame] != 0) frame += 1 + still[frame];
    ++frame;
  }
  still[frame + 5] = still[frame + 6] = still[frame + 7] = still[frame + 8] = 0xFF;
  EXPECT_EQ(Check("gif", still).verdict, salvor::Verdict::kCannotTell);
}

}  // namespace
