#include "tests/validate/ValidatorChecks.h"

using namespace testing_support;
using namespace validate_test;

namespace {

const Samples& Encoded() {
  const std::string plasma = "convert -seed 7 -size 640x480 plasma: ";
  static const Samples made =
      MakeMedia("validate-bmp", {{"rle8.bmp", plasma + "-colors 200 -compress RLE"},
                                 {"rle-other.bmp", plasma + "-colors 16 -compress RLE"},
                                 {"rgb.bmp", plasma},
                                 {"small.jpg", plasma + "-resize 160x120"},
                                 {"small.png", plasma + "-resize 160x120"}});
  return made;
}

// A bitmap whose pixels are `image` (BI_JPEG or BI_PNG), with a BITMAPINFOHEADER.
Bytes Embedding(const Bytes& image, uint32_t compression) {
  const Bytes info = Concat({LE(40),
                             LE(160),
                             LE(120),
                             {1, 0, 0, 0},
                             LE(compression),
                             LE(uint32_t(image.size())),
                             LE(0),
                             LE(0),
                             LE(0),
                             LE(0)});
  return Concat({{'B', 'M'}, LE(uint32_t(54 + image.size())), LE(0), LE(54), info, image});
}

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
  const Bytes le = LE(value);
  std::copy(le.begin(), le.end(), bytes.begin() + long(at));
}

// RLE data decodes to its end-of-bitmap marker; an embedded JPEG or PNG decodes with its own
// validator, its positions those of the bitmap.
TEST(BmpValidator, WholeCutAndOverwritten) {
  if (Encoded().size() != 5) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& rle = Find(Encoded(), "rle8.bmp");
  const Bytes jpeg = Embedding(Find(Encoded(), "small.jpg"), 4);
  const Bytes png = Embedding(Find(Encoded(), "small.png"), 5);
  ExpectValidates("bmp", rle, Find(Encoded(), "rle-other.bmp"), "rle8", 0, 4096);
  ExpectValidates("dib", jpeg, png, "jpeg inside", 54, -1);
  ExpectValidates("bmp", png, jpeg, "png inside", 54, -1);
}

// Rows of pixels cannot be told from damage, unless the file is cut short, its headers do not
// fit the rows, or another file starts at a sector inside them.
TEST(BmpValidator, RowsOfPixels) {
  if (Encoded().size() != 5) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& rgb = Find(Encoded(), "rgb.bmp");
  EXPECT_EQ(Check("bmp", rgb).verdict, salvor::Verdict::kCannotTell);
  EXPECT_EQ(Check("bmp", Concat({rgb, RandomData(3000, 1)})).verdict, salvor::Verdict::kCannotTell);
  Bytes sizeOff = rgb, rleShort = Find(Encoded(), "rle8.bmp");
  PutLe32(sizeOff, 2, uint32_t(rgb.size() + 10000));
  const size_t rleEnd = rleShort.size();
  rleShort.resize(rleEnd + 512, 0);
  PutLe32(rleShort, 2, uint32_t(rleShort.size()));
  PutLe32(rleShort, 34, uint32_t(rleShort.size() - 1162));  // the declared size of the data
  const size_t sector = rgb.size() / 2 / 512 * 512;
  const struct {
    const char* name;
    Bytes bytes;
    long long at;
  } cases[] = {
      {"cut short", Bytes(rgb.begin(), rgb.begin() + long(sector)), long(sector)},
      {"file size", sizeOff, 14 + rgb[14]},  // the end of the DIB header
      {"PNG inside", Overwritten(rgb, sector, 1000, Find(Encoded(), "small.png")), long(sector)},
      {"RLE ends early", rleShort, long(rleEnd)},
  };
  for (const auto& c : cases) {
    const salvor::Validation v = Check("bmp", c.bytes);
    EXPECT_EQ(v.verdict, salvor::Verdict::kDamaged) << c.name << ": " << Describe(v);
    EXPECT_EQ(v.damagedAt, c.at) << c.name << ": " << Describe(v);
  }
}

}  // namespace
