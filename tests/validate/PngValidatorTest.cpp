#include "tests/validate/ValidatorChecks.h"

using namespace testing_support;
using namespace validate_test;

namespace {

const Samples& Encoded() {
  const std::string plasma = "convert -seed 7 -size 640x480 plasma: ";
  static const Samples made = MakeMedia(
      "validate-png",
      {{"rgb.png", plasma},
       {"interlaced.png", plasma + "-interlace PNG"},
       {"palette.png", plasma + "-colors 60"},
       {"gray16.png", plasma + "-colorspace gray -depth 16"},
       // 30 frames: the first in IDAT, the others in fdAT chunks.
       {"animated.apng",
        "ffmpeg -v error -f lavfi -i testsrc=duration=3:size=320x240:rate=10 -plays 0 -f apng"}});
  return made;
}

uint32_t Crc32(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// Where the `index`th chunk of `type` starts.
size_t FindChunk(const Bytes& png, const char* type, int index = 0) {
  for (size_t at = 8; at + 12 <= png.size();) {
    const size_t length = png[at] << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
    if (std::equal(type, type + 4, png.begin() + long(at) + 4) && index-- == 0) return at;
    at += 12 + length;
  }
  ADD_FAILURE() << "no chunk " << type;
  return 0;
}

// `png` with the data of the chunk at `at` changed by `change` and its CRC made right again.
template <typename Change>
Bytes Rewritten(Bytes png, size_t at, Change change) {
  change(png.data() + at + 8);
  const size_t length = png[at] << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
  const Bytes crc = BE(Crc32(png.data() + at + 4, length + 4), 4);
  std::copy(crc.begin(), crc.end(), png.begin() + long(at + 8 + length));
  return png;
}

TEST(PngValidator, WholeCutAndOverwritten) {
  if (Encoded().size() != 5) GTEST_SKIP() << "a Debian encoder is missing";
  Samples files = Encoded();
  files.push_back({"sample", ReadFileBytes(TestData("corpus/format-samples/PNG.png")), "png"});
  for (size_t i = 0; i < files.size(); ++i)
    ExpectValidates(files[i].extension, files[i].bytes, files[(i + 1) % files.size()].bytes,
                    files[i].name, 0, 8192);
}

// What the chunks themselves pin down: an ancillary chunk's CRC (libspng would drop the
// chunk and go on), the order and number of animation frames, a frame left without data.
TEST(PngValidator, ChunksAndFrames) {
  if (Encoded().size() != 5) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& anim = Find(Encoded(), "animated.apng");
  const size_t phys = FindChunk(anim, "pHYs"), actl = FindChunk(anim, "acTL");
  const size_t frame = FindChunk(anim, "fcTL", 3), data = FindChunk(anim, "fdAT", 2);
  const size_t next = FindChunk(anim, "fcTL", 4), end = FindChunk(anim, "IEND");
  Bytes noFrame = anim, noData = anim;
  noFrame.erase(noFrame.begin() + long(frame), noFrame.begin() + long(next));
  noData.erase(noData.begin() + long(data), noData.begin() + long(next));
  const struct {
    const char* name;
    Bytes bytes;
    long long goodUntil, damagedAt;
  } cases[] = {
      {"ancillary CRC", Overwritten(anim, phys + 9, 1, {0x77}), 33, long(actl)},
      {"frame missing", noFrame, long(frame), long(frame) + 12},
      {"frame without data", noData, long(data), long(data)},
      {"frames declared", Rewritten(anim, actl, [](uint8_t* d) { d[3] += 1; }), long(end),
       long(end)},
  };
  for (const auto& c : cases) {
    const salvor::Validation v = Check("apng", c.bytes);
    EXPECT_EQ(v.verdict, salvor::Verdict::kDamaged) << c.name << ": " << Describe(v);
    EXPECT_EQ(v.goodUntil, c.goodUntil) << c.name << ": " << Describe(v);
    EXPECT_EQ(v.damagedAt, c.damagedAt) << c.name << ": " << Describe(v);
  }
}

// An image larger than decoding is allowed for cannot be told, unless its header's CRC shows
// the size is damage.
TEST(PngValidator, TooLargeToDecode) {
  if (Encoded().size() != 5) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& rgb = Find(Encoded(), "rgb.png");
  const Bytes huge = Rewritten(rgb, 8, [](uint8_t* d) { d[0] = 0x40; });
  EXPECT_EQ(Check("png", huge).verdict, salvor::Verdict::kCannotTell);
  const salvor::Validation v = Check("png", Overwritten(rgb, 16, 1, {0x40}));
  EXPECT_EQ(v.damagedAt, 33) << Describe(v);
  EXPECT_EQ(v.goodUntil, 0) << Describe(v);
}

}  // namespace
