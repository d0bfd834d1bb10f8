#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

const Samples& Files() {
  static const Samples made = [] {
    const std::string ff = kFfmpegPictureAndTone;
    Samples files = MakeMedia("mpeg", {{"mpeg1.mpg", ff + "-c:v mpeg1video -c:a mp2 -f mpeg"},
                                       {"mpeg2.mpg", ff + "-c:v mpeg2video -c:a mp2 -f vob"},
                                       {"dvd.vob", ff + "-c:v mpeg2video -c:a ac3 -f dvd"}});
    // A program end code behind the last pack, as DVD authoring tools write it.
    if (files.size() == 3)
      files.push_back({"ended.mpg", Join(files[1].bytes, {0x00, 0x00, 0x01, 0xB9}), "mpg"});
    return files;
  }();
  return made;
}

// Every file whole, sector-aligned and back to back, and one at an odd offset (found only with
// Unaligned set); pack headers planted in random data yield nothing. A stream cut inside a
// pack ends within that pack (its units carry their own lengths); one that runs off the data
// inside a unit is damaged; one longer than MaxSize is cut there, damaged even on a pack
// boundary. Damaged copies stay inside the data.
TEST(MpegModule, ScanRecoversEveryFile) {
  if (Files().size() != 4) GTEST_SKIP() << "ffmpeg missing";
  Layout layout;
  layout.Random(7000).Spread(Files());
  layout.Planted({Prefix(Files()[1].bytes, 20)}, 300).Random(1234).Whole(Files()[1]).Random(2000);
  ExpectCarvedEitherWay("mpeg", layout);
  CContentHandler* mpeg = Handler("mpeg");
  const Bytes cut = Prefix(Files()[0].bytes, Files()[0].bytes.size() / 2 + 700);
  const Recognition a = Recognize(mpeg, Join(cut, Bytes(4096, 0)), 0);
  ASSERT_TRUE(a.recognized);
  EXPECT_NEAR(a.end, cut.size(), 2047);
  std::string extension;
  EXPECT_FALSE(Describe(mpeg, cut, &extension));
  EXPECT_EQ(extension, "mpg");
  const Bytes& dvd = Files()[2].bytes;
  ASSERT_TRUE(mpeg->SetIntPropValue("MaxSize", 8));
  EXPECT_EQ(Recognize(mpeg, dvd, 0).end, 8192);
  EXPECT_FALSE(Describe(mpeg, Prefix(dvd, 8192)));  // whole packs, not the whole file
  ASSERT_TRUE(mpeg->SetIntPropValue("MaxSize", DefaultMaxSize(mpeg)));
  EXPECT_EQ(FindEnd(mpeg, Join(dvd, Bytes(1500, 0))), static_cast<long long>(dvd.size()));
  ExpectDamagedCopiesStayInside("mpeg", Files());
}

}  // namespace
