#include <algorithm>
#include <climits>

#include "tests/support/CarveCheck.h"
#include "tests/support/SparseStream.h"

using namespace testing_support;

namespace {

const Samples& Files() {
  static const Samples made = [] {
    const std::string ff = kFfmpegPictureAndTone;
    Samples files = MakeMedia(
        "ebml", {{"h264.mkv", ff + "-c:v libx264 -preset ultrafast -c:a aac"},
                 {"vp8.webm", ff + "-c:v libvpx -b:v 200k -c:a libvorbis"},
                 {"flac.mka", "ffmpeg -v error -y -f lavfi -i sine=duration=1 -c:a flac"},
                 // Written to a pipe: the Segment's size stays unknown.
                 {"live.mkv", ff + "-c:v libx264 -preset ultrafast -c:a aac -f matroska - >"},
                 {"live.webm", ff + "-c:v libvpx -b:v 200k -c:a libopus -f webm - >"}});
    if (files.size() < 4) return files;
    // Clusters of unknown size too (as live encoders write them): the size fields marked so.
    Bytes open = Find(files, "live.mkv");
    const uint8_t cluster[] = {0x1F, 0x43, 0xB6, 0x75};
    for (size_t i = 0; i + 7 < open.size(); ++i) {
      if (std::equal(cluster, cluster + 4, open.begin() + long(i)) &&
          (open[i + 4] & 0xE0) == 0x20) {
        open[i + 4] = 0x3F;
        open[i + 5] = open[i + 6] = 0xFF;
      }
    }
    files.push_back({"open-clusters.mkv", open, "mkv"});
    return files;
  }();
  return made;
}

// Every file whole, sector-aligned and back to back, then at odd offsets (found only with
// Unaligned set); one cut short comes back damaged; the EBML magic, and a whole header up to
// the segment's data, planted in random data yield nothing. With a small MaxSize every file
// longer is cut there. The corpus
// sample is recognised and named; damaged copies stay inside the data.
TEST(EbmlModule, ScanRecoversEveryFile) {
  if (Files().size() != 6) GTEST_SKIP() << "ffmpeg missing";
  const Bytes& h264 = Find(Files(), "h264.mkv");
  Layout layout;
  layout.Random(7000).Spread(Files()).Random(1234).Packed(Files(), 2000);
  const Bytes segmentId = {0x18, 0x53, 0x80, 0x67};
  const size_t segment = size_t(
      std::search(h264.begin(), h264.end(), segmentId.begin(), segmentId.end()) - h264.begin());
  layout.Planted(
      {{0x1A, 0x45, 0xDF, 0xA3, 0xA3, 0x42, 0x86, 0x81, 0x01}, Prefix(h264, segment + 12)}, 200);
  layout.Align().Cut("cut.mkv", Prefix(h264, h264.size() * 2 / 3), "mkv").Random(3000);
  ExpectCarvedEitherWay("ebml", layout);
  Layout open(7);  // every end from the end search
  ExpectCarved("ebml", open.Spread(Files()), false, 4);
  ExpectSamplesNamed("ebml", {{"Matroska.mkv", "mkv"}});
  ExpectDamagedCopiesStayInside("ebml", Files());
}

Bytes SizedId(const Bytes& id, long long size) {
  return Concat({id, {0x01}, BE(size, 7)});  // an 8-byte size
}

// A 5 GiB Matroska file (sizes beyond 32 bits everywhere) is followed to its exact end with
// the default MaxSize (which takes files of many GiB), and cut at MaxSize when that is smaller.
TEST(EbmlModule, FollowsSegmentsBeyondFourGiB) {
  CContentHandler* handler = Handler("ebml");
  int largest = 0;
  ASSERT_TRUE(handler->GetIntPropMax("MaxSize", &largest));
  EXPECT_EQ(largest, INT_MAX);
  const Bytes header = {0x1A, 0x45, 0xDF, 0xA3, 0x9F, 0x42, 0x86, 0x81, 0x01, 0x42, 0xF7, 0x81,
                        0x01, 0x42, 0xF2, 0x81, 0x04, 0x42, 0xF3, 0x81, 0x08, 0x42, 0x82, 0x84,
                        'w',  'e',  'b',  'm',  0x42, 0x87, 0x81, 0x04, 0x42, 0x85, 0x81, 0x02};
  const long long cluster = 5LL << 30, segment = 13 + 12 + cluster + 9;
  const Bytes head =
      Join(Join(header, SizedId({0x18, 0x53, 0x80, 0x67}, segment)),
           Join({0x15, 0x49, 0xA9, 0x66, 0x88, 0x2A, 0xD7, 0xB1, 0x83, 0x0F, 0x42, 0x40, 0x00},
                SizedId({0x1F, 0x43, 0xB6, 0x75}, cluster)));
  const long long start = 4096, end = start + static_cast<long long>(head.size()) + cluster + 9;
  SparseStream image(end + 8192);
  image.Place(start, head);
  image.Place(end - 9, {0x1C, 0x53, 0xBB, 0x6B, 0x84, 0xBB, 0x82, 0xB3, 0x80});
  image.Place(end, {0xFF, 0xD8, 0xFF, 0xE0});  // whatever follows the file
  for (int maxSize : {DefaultMaxSize(handler), 4194304}) {
    ASSERT_TRUE(handler->SetIntPropValue("MaxSize", maxSize));
    image.SetPosition(start);
    const Recognition r = Recognize(handler, &image);
    EXPECT_TRUE(r.ok && r.recognized && r.start == start);
    EXPECT_EQ(r.end, maxSize == 4194304 ? start + (4194304LL << 10) : end);
  }
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler)));
}

}  // namespace
