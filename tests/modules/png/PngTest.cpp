#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

const Samples& Media() {
  static const Samples media =
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

// Files whole, sector-aligned and back to back, then at odd offsets (found only with
// Unaligned set); one with a flipped byte (its CRC fails) still ends at its IEND and one cut
// short ends where the next file begins, both damaged; a signature, a whole IHDR, and one
// changed under its CRC, planted in random data yield nothing. With a small MaxSize every
// file longer comes back cut at MaxSize. The format sample is recognised; damaged copies stay
// inside.
TEST(PngModule, ScanRecoversEveryFile) {
  if (Media().size() != 7) GTEST_SKIP() << "ImageMagick or ffmpeg missing";
  const Bytes& large = Find(Media(), "large.png");
  Bytes damaged = large, changed = Prefix(large, 33);
  damaged[damaged.size() / 2] ^= 0x40;
  changed[20] ^= 1;  // width changed under its CRC
  Layout layout;
  layout.Random(5000).Spread(Media());
  layout.Align().Place("damaged.png", damaged, "png", Layout::kDamaged).Align();
  layout.Whole(Media()[0]).Align().Cut("cut.png", Prefix(large, large.size() / 2), "png");
  layout.Align().EndsHere().Whole(Media()[0]).Random(3000);
  layout.Planted({Prefix(large, 8), Prefix(large, 33), changed}, 9);
  ExpectCarvedEitherWay("png", layout.Packed(Media(), 600));  // gaps past the last file's block
  Layout open(7);                                             // every end from the end search
  ExpectCarved("png", open.Spread(Media()), false, 1);
  ExpectSamplesNamed("png", {{"PNG.png", "png"}});
  ExpectDamagedCopiesStayInside("png", {Media()[0], Media()[6]});
}

}  // namespace
