#include <gtest/gtest.h>

#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

const Samples& Files() {
  static const Samples made = [] {
    const std::string ff = kFfmpegPictureAndTone;
    return MakeMedia(
        "mpegts", {{"mpeg2.ts", ff + "-c:v mpeg2video -c:a mp2 -f mpegts"},
                   {"h264.ts", ff + "-c:v libx264 -preset ultrafast -c:a aac -f mpegts"},
                   {"camcorder.mts",
                    ff + "-c:v libx264 -preset ultrafast -c:a ac3 -f mpegts -mpegts_m2ts_mode 1"},
                   {"mpeg2.mts", ff + "-c:v mpeg2video -c:a mp2 -f mpegts -mpegts_m2ts_mode 1"}});
  }();
  return made;
}

bool Ready() {
  return Files().size() == 4;
}

// Every file whole, sector-aligned and back to back; clips of whole aligned units fill whole
// sectors, so a camera writes them right behind each other; an M2TS cut inside an aligned unit
// comes back damaged; sync bytes planted at the packet stride for a few packets yield nothing.
TEST(MpegTsModule, ScanRecoversEveryFile) {
  if (!Ready()) GTEST_SKIP() << "ffmpeg missing";
  Bytes packets(188 * 3 + 4, 0x5A);
  for (size_t packet = 0; packet < 4; ++packet) {
    packets[188 * packet] = 0x47;
    packets[188 * packet + 1] = 0x40;
    packets[188 * packet + 3] = 0x10;
  }
  Layout layout;
  layout.Random(7000).Spread(Files());
  layout.Align()
      .Cut("cut.mts", Prefix(Files()[2].bytes, 6144 + 192 * 10 + 100), "mts")
      .Random(3000);
  layout.Align().Whole(Files()[2]).Whole(Files()[3]).Whole(Files()[2]).Zeros(2048);
  layout.Planted({packets}, 300);
  ExpectCarved("mpegts", layout);
  // Longer than MaxSize: left open, and the end search finds its end.
  CContentHandler* ts = Handler("mpegts");
  ASSERT_TRUE(ts->SetIntPropValue("MaxSize", 8));
  EXPECT_EQ(Recognize(ts, Files()[0].bytes, 0).end, -1);
  ASSERT_TRUE(ts->SetIntPropValue("MaxSize", DefaultMaxSize(ts)));
  EXPECT_EQ(FindEnd(ts, Join(Files()[0].bytes, Bytes(1500, 0))), long(Files()[0].bytes.size()));
}

// At odd offsets, found only with Unaligned set; the corpus sample (cut short) is recognised,
// named and damaged; damaged copies stay inside the data.
TEST(MpegTsModule, UnalignedStartsSampleAndDamage) {
  if (!Ready()) GTEST_SKIP() << "ffmpeg missing";
  Layout layout;
  layout.Random(1234).Whole(Files()[1]).Random(2000);
  ExpectCarved("mpegts", layout, {true});
  ExpectCarved("mpegts", layout, {false});
  ExpectSamplesNamed("mpegts", {{"M2TS.mts", "mts"}});
  EXPECT_FALSE(
      Describe(Handler("mpegts"), ReadFileBytes(TestData("corpus/format-samples/M2TS.mts"))));
  ExpectDamagedCopiesStayInside("mpegts", Files());
}

}  // namespace
