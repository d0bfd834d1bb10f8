#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

// Documents written by ImageMagick: raw and RLE image data, grey, 16-bit, layers, PSB.
const Samples& Documents() {
  static const Samples made = [] {
    std::vector<std::pair<std::string, std::string>> recipes = {
        {"rle.psd", "-compress rle"},
        {"raw.psd", "-compress none"},
        {"gray.psd", "-colorspace gray -compress none"},
        {"deep.psd", "-depth 16 -compress rle"},
        {"layers.psd", "\\( +clone -flip \\) -adjoin"},
        {"large.psb", "PSB:- >"}};
    for (auto& recipe : recipes)
      recipe.second = "convert -seed 5 -size 120x90 plasma:fractal -depth 8 " + recipe.second;
    return MakeMedia("psd", recipes);
  }();
  return made;
}

// Every document whole, sector-aligned and back to back, then at odd offsets, first and last
// bytes of a block included (found only with Unaligned set); the signature and a whole
// plausible header planted in random data; one whose later sectors a photo reused ends where
// the photo begins; one cut by the end of the medium. With a small MaxSize every end comes
// from the end search instead. Photoshop's own file (cut short in the corpus) is named.
TEST(PsdModule, ScanRecoversEveryDocument) {
  if (Documents().size() != 6) GTEST_SKIP() << "ImageMagick missing";
  const Bytes &rle = Find(Documents(), "rle.psd"), &raw = Find(Documents(), "raw.psd");
  Layout layout(99);
  layout.Random(3000).Spread(Documents()).Random(1001).Packed(Documents());
  for (size_t shift : {1, 301, 511}) layout.Align().Random(shift).Whole(Documents()[0]);
  layout.Planted({Prefix(rle, 4), Prefix(rle, 26)}, 32);
  layout.Cut("written-over", Prefix(raw, (raw.size() * 3 / 4) / 512 * 512), "psd").EndsHere();
  layout.Whole({"photo", ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg")), "jpg"});
  layout.Random(raw.size() + 65536).Align().Cut("cut-end", Prefix(rle, rle.size() / 2), "psd", 27);
  ExpectCarvedEitherWay("psd", layout, {"jpeg"});
  Layout open(7);  // every end from the end search
  ExpectCarved("psd", open.Spread(Documents()), false, 8);
  // Cut by the end of the medium inside the layers or the image data: only the start, and an
  // end inside the data that is there.
  for (const Bytes& file : {rle, raw}) {
    for (size_t keep : {file.size() / 2, file.size() - 1000}) {
      const Bytes cut = Join(Prefix(file, keep), RandomData(300, 4));
      EXPECT_EQ(Recognize(Handler("psd"), cut, 0).end, -1) << keep;
      const long long end = FindEnd(Handler("psd"), cut);
      EXPECT_TRUE(end > 26 && end <= long(keep)) << keep << ": " << end;
      EXPECT_FALSE(Describe(Handler("psd"), Prefix(cut, size_t(end))));
    }
  }
  ExpectSamplesNamed("psd", {{"Photoshop.psd", "psd"}});
}

}  // namespace
