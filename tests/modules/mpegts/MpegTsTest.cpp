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

// Every file whole, sector-aligned and back to back, and one at an odd offset (found only with
// Unaligned set); clips of whole aligned units fill whole sectors, so a camera writes them
// right behind each other; an M2TS cut inside an aligned unit comes back damaged; sync bytes
// planted at the packet stride for a few packets yield nothing. One longer than MaxSize is
// cut at MaxSize. The corpus sample (cut short) is recognised,
// named and damaged; damaged copies stay inside the data.
TEST(MpegTsModule, ScanRecoversEveryFile) {
  if (Files().size() != 4) GTEST_SKIP() << "ffmpeg missing";
  Bytes packets(188 * 3 + 4, 0x5A);
  for (size_t at = 0; at < packets.size(); at += 188)
    packets[at] = 0x47, packets[at + 1] = 0x40, packets[at + 3] = 0x10;
  Layout layout;
  layout.Random(7000).Spread(Files());
  layout.Align().Cut("cut.mts", Prefix(Files()[2].bytes, 6144 + 192 * 10 + 100), "mts");
  layout.Random(3000).Align().Whole(Files()[2]).Whole(Files()[3]).Whole(Files()[2]).Zeros(2048);
  layout.Planted({packets}, 300).Random(1234).Whole(Files()[1]).Random(2000);
  ExpectCarvedEitherWay("mpegts", layout);
  CContentHandler* ts = Handler("mpegts");
  ASSERT_TRUE(ts->SetIntPropValue("MaxSize", 8));
  EXPECT_EQ(Recognize(ts, Files()[0].bytes, 0).end, 8192);
  ASSERT_TRUE(ts->SetIntPropValue("MaxSize", DefaultMaxSize(ts)));
  EXPECT_EQ(FindEnd(ts, Join(Files()[0].bytes, Bytes(1500, 0))), long(Files()[0].bytes.size()));
  ExpectSamplesNamed("mpegts", {{"M2TS.mts", "mts"}});
  EXPECT_FALSE(
      Describe(Handler("mpegts"), ReadFileBytes(TestData("corpus/format-samples/M2TS.mts"))));
  ExpectDamagedCopiesStayInside("mpegts", Files());
}

}  // namespace
