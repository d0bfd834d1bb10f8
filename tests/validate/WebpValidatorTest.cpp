#include "tests/validate/ValidatorChecks.h"

using namespace testing_support;
using namespace validate_test;

namespace {

const Samples& Encoded() {
  const std::string plasma = "convert -seed 7 -size 800x600 plasma: ";
  static const Samples made =
      MakeMedia("validate-webp",
                {{"lossy.webp", plasma + "-quality 85"},
                 {"lossless.webp", plasma + "-define webp:lossless=true"},
                 // Extended format: VP8X, then the alpha plane's ALPH chunk before the image.
                 {"alpha.webp", plasma + "-alpha set -channel A -evaluate set 50% -quality 80"},
                 {"animated.webp",
                  "ffmpeg -v error -f lavfi -i testsrc=duration=2:size=320x240:rate=10 -loop 0 "
                  "-c:v libwebp_anim -f webp"}});
  return made;
}

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
  const Bytes le = LE(value);
  std::copy(le.begin(), le.end(), bytes.begin() + long(at));
}

uint32_t GetLe32(const Bytes& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
}

// Every image decodes, but lossy data gives little away: damage shows where the bitstream
// runs out before the image is done, or the image is done before its chunk is.
TEST(WebpValidator, WholeCutAndOverwritten) {
  if (Encoded().size() != 4) GTEST_SKIP() << "a Debian encoder is missing";
  const Samples& files = Encoded();
  for (size_t i = 0; i < files.size(); ++i)
    ExpectValidates("webp", files[i].bytes, files[(i + 1) % files.size()].bytes, files[i].name, 0,
                    -1);
  // Mostly EXIF and XMP around a tiny image.
  ExpectIntact("webp", ReadFileBytes(TestData("corpus/format-samples/RIFF.webp")), "sample");
}

// The RIFF size against the chunks, an image done before its chunk is, an animation frame
// that does not fit the canvas.
TEST(WebpValidator, ContainerAgainstImages) {
  if (Encoded().size() != 4) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& lossy = Find(Encoded(), "lossy.webp");
  Bytes shortRiff = lossy, padded = lossy;
  PutLe32(shortRiff, 4, uint32_t(lossy.size() - 8 - 100));
  padded.insert(padded.end(), 1000, 0);
  PutLe32(padded, 4, uint32_t(padded.size() - 8));
  PutLe32(padded, 16, GetLe32(lossy, 16) + 1000);
  Bytes wide = Find(Encoded(), "animated.webp");
  wide[24] = 0;  // canvas width 1 (VP8X: flags, 3 reserved bytes, width - 1)
  wide[25] = wide[26] = 0;
  const struct {
    const char* name;
    Bytes bytes;
    long long at;
  } cases[] = {
      {"RIFF size short of the chunk", shortRiff, long(lossy.size()) - 100},
      {"image done before its chunk", padded, long(lossy.size())},
      {"frame outside the canvas", wide, 24},
  };
  for (const auto& c : cases) ExpectDamagedAround("webp", c.bytes, c.at, c.name);
}

}  // namespace
