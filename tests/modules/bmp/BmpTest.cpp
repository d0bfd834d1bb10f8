#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

// Every header size ImageMagick and ffmpeg write (12, 40 with and without bit masks, 124),
// 1 to 32 bits per pixel, RLE8, and the corpus sample; the first is a big 24-bit one.
const Samples& Bitmaps() {
  static const Samples made = [] {
    const std::string src =
        "ffmpeg -v error -f lavfi -i testsrc=size=241x181 -frames:v 1 -f image2 s.png && ";
    Samples files = MakeMedia(
        "bmp",
        {{"big24.bmp", "convert -size 1601x1203 gradient:red-blue -type TrueColor BMP3:- >"},
         {"rgb565.bmp", src + "ffmpeg -v error -i s.png -pix_fmt rgb565le -y"},
         {"ffpal8.bmp", src + "ffmpeg -v error -i s.png -pix_fmt pal8 -y"},
         {"v5.bmp", src + "convert s.png -type TrueColor BMP:- >"},
         {"os2.bmp", src + "convert s.png -type TrueColor BMP2:- >"},
         {"pal4.bmp", src + "convert s.png -colors 12 -type Palette BMP3:- >"},
         {"mono.bmp", src + "convert s.png -monochrome BMP3:- >"},
         {"rle8.bmp", src + "convert s.png -colors 200 -type Palette -compress RLE BMP3:- >"},
         {"alpha.bmp", src + "convert s.png -alpha set -channel A -evaluate set 50% BMP:- >"}});
    files.push_back({"BMP.bmp", ReadFileBytes(TestData("corpus/format-samples/BMP.bmp")), "bmp"});
    return files;
  }();
  return made;
}

// Every bitmap whole, sector-aligned and back to back; each cut short before zeros (the
// corpus sample's half keeps no pixels: no file), one before another file's start at the next
// sector; "BM" and a whole header planted in random data; a header whose declared size
// disagrees with its pixel array; all but the big one at odd offsets, found only with
// Unaligned set. With a small MaxSize every end comes from the end search instead.
TEST(BmpModule, ScanRecoversEveryBitmap) {
  if (Bitmaps().size() != 10) GTEST_SKIP() << "ImageMagick or ffmpeg missing";
  const Bytes& big = Bitmaps()[0].bytes;
  Bytes wrongSize = Bitmaps().back().bytes;
  wrongSize[2] = 0x10, wrongSize[3] = 0x20;
  Layout layout(8);
  layout.Random(1000).Spread(Bitmaps());
  for (const Sample& file : Samples(Bitmaps().begin(), Bitmaps().end() - 1))
    layout.Align()
        .Cut("cut-" + file.name, Prefix(file.bytes, file.bytes.size() / 2), "bmp")
        .Zeros(300)
        .Slack();
  layout.Align().Cut("cut-big", Prefix(big, 100000), "bmp").Slack().Whole(Bitmaps()[1]);
  layout.Align().Junk(Prefix(Bitmaps().back().bytes, Bitmaps().back().bytes.size() / 2));
  layout.Planted({{0xFF, 0xD8, 0xFF, 0xE0}, {'B', 'M'}, Prefix(big, 54)}, 9);
  layout.Packed(Samples(Bitmaps().begin() + 1, Bitmaps().end()), 29);
  layout.Align().Junk(wrongSize).Zeros(10000);
  layout.Align().Cut("cut-end", Prefix(big, big.size() / 2 / 512 * 512 + 100), "bmp").Zeros(412);
  ExpectCarvedEitherWay("bmp", layout);
  Layout open(7);  // every end from the end search
  ExpectCarved("bmp", open.Spread(Bitmaps()), false, 16);
}

}  // namespace
