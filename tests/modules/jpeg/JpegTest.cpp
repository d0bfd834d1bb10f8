#include <filesystem>

#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

// `jpeg` with an APPn segment holding `payload` right after its SOI.
Bytes WithSegment(const Bytes& jpeg, uint8_t marker, const Bytes& payload) {
  const Bytes head = {0xFF, 0xD8, 0xFF, marker};
  return Concat({head, BE(payload.size() + 2, 2), payload, Bytes(jpeg.begin() + 2, jpeg.end())});
}

// A multi-picture file: `primary` with an MPF index listing `second`, which follows it.
Bytes MakeMpf(const Bytes& primary, const Bytes& second) {
  Bytes mpf = {'M', 'P', 'F', 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 3};
  const auto put = [&mpf](uint64_t v, int n) { mpf = Join(mpf, BE(v, n)); };
  put(0xB000'0007'0000'0004, 8), mpf = Join(mpf, Text("0100"));
  put(0xB001'0004'0000'0001, 8), put(2, 4);
  put(0xB002'0007'0000'0020, 8), put(50, 4), put(0, 4);  // entries at 50
  const uint64_t primarySize = primary.size() + 4 + mpf.size() + 32;
  put(0x20030000, 4), put(primarySize, 4), put(0, 8);
  // The second image's offset counts from the TIFF header, at byte 10 of the file.
  put(0, 4), put(second.size(), 4), put(primarySize - 10, 4), put(0, 4);
  return Concat({WithSegment(primary, 0xE2, mpf), second});
}

// A phone motion photo: `photo` with XMP (GCamera or Container form) declaring `video`.
Bytes MakeMotionPhoto(const Bytes& photo, const Bytes& video, bool container) {
  const std::string length = std::to_string(video.size());
  std::string xmp = std::string("http://ns.adobe.com/xap/1.0/") + '\0' +
                    "<x:xmpmeta><rdf:RDF><rdf:Description GCamera:MotionPhoto=\"1\" ";
  xmp += container ? "><Container:Directory><rdf:Seq><rdf:li><Container:Item "
                     "Item:Semantic=\"Primary\"/></rdf:li><rdf:li><Container:Item "
                     "Item:Mime=\"video/mp4\" Item:Semantic=\"MotionPhoto\" Item:Length=\"" +
                         length + "\"/></rdf:li></rdf:Seq></Container:Directory>"
                   : "GCamera:MicroVideoOffset=\"" + length + "\">";
  xmp += "</rdf:Description></rdf:RDF></x:xmpmeta>";
  return Concat({WithSegment(photo, 0xE1, Bytes(xmp.begin(), xmp.end())), video});
}

// A Samsung motion photo: `photo`, the video in a MotionPhoto_Data block, the SEFH directory
// (one entry: type, distance back to the block, length) and the SEFT tail.
Bytes MakeSamsungMotionPhoto(const Bytes& photo, const Bytes& video) {
  const std::string name = "MotionPhoto_Data";
  const Bytes block = Concat({{0, 0, 0x30, 0x0A, 16, 0, 0, 0}, Text(name), video});
  const Bytes head = {'S', 'E', 'F', 'H', 106, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x30, 0x0A};
  return Concat({photo, block, head, LE(block.size()), LE(block.size()), LE(24), Text("SEFT")});
}

const Samples& Encoded() {
  const std::string plasma = "convert -seed 7 -size 800x600 plasma: ",
                    thumb = plasma + "-resize 320x240 ppm:- | cjpeg -quality 97 ",
                    restart = plasma + "ppm:- | cjpeg -restart 2 -quality 90 ";
  static const Samples made = MakeMedia(
      "jpeg",
      {{"progressive.jpg", plasma + "ppm:- | cjpeg -progressive -quality 85 >"},
       {"restart.jpg", restart + ">"},
       // Damage beyond the first MiB.
       {"large.jpg",
        "convert -seed 7 -size 3000x2000 plasma: ppm:- | cjpeg -restart 2 -quality 90 >"},
       {"thumb.jpg", thumb + ">"},
       // A large EXIF thumbnail.
       {"big-thumbnail.jpg", restart + "> r.jpg && " + thumb +
                                 "> t.jpg && exiftool -q '-ThumbnailImage<=t.jpg' r.jpg -o"},
       {"clip.mp4",
        "ffmpeg -v error -f lavfi -i testsrc=duration=1:size=128x96:rate=10"
        " -pix_fmt yuv420p -f mp4"}});
  return made;
}

const Bytes& Get(const char* name) {
  return Find(Encoded(), name);
}

Samples CameraPhotos() {
  Samples photos;
  for (const auto& entry : std::filesystem::directory_iterator(TestData("corpus/jpg")))
    if (entry.path().extension() == ".jpg")
      photos.push_back({entry.path().filename(), ReadFileBytes(entry.path()), "jpg"});
  return photos;
}

// Camera files, encoder output (progressive, restart markers, a large EXIF thumbnail), MPF
// and the three kinds of motion photo.
Samples Photos() {
  Samples photos = CameraPhotos();
  for (const char* name : {"progressive.jpg", "restart.jpg", "big-thumbnail.jpg"})
    photos.push_back({name, Get(name), "jpg"});
  photos.push_back({"mpf.jpg", MakeMpf(Get("restart.jpg"), Get("thumb.jpg")), "jpg"});
  photos.push_back(
      {"motion.jpg", MakeMotionPhoto(Get("progressive.jpg"), Get("clip.mp4"), false), "jpg"});
  photos.push_back(
      {"container.jpg", MakeMotionPhoto(Get("restart.jpg"), Get("clip.mp4"), true), "jpg"});
  photos.push_back(
      {"samsung.jpg", MakeSamsungMotionPhoto(Get("progressive.jpg"), Get("clip.mp4")), "jpg"});
  // A stand-alone marker between segments, and a scan that selects table 3 (rare, allowed).
  const Bytes& restart = Get("restart.jpg");
  Bytes tem = restart, table3 = restart, sos = {0xFF, 0xDA};
  tem.insert(tem.begin() + 4 + (restart[4] << 8 | restart[5]), {0xFF, 0x01});  // after APP0
  *(std::search(table3.begin(), table3.end(), sos.begin(), sos.end()) + 8) = 0x33;
  photos.push_back({"tem.jpg", tem, "jpg"});
  photos.push_back({"table3.jpg", table3, "jpg"});
  return photos;
}

// Every photo whole, sector-aligned and back to back, then camera photos at odd offsets (found
// only with Unaligned set); two cut short, before random data and zeros, the photo after them
// whole; signatures planted in random data; files that trip up other readers whole or
// damaged. A cut photo's own thumbnail (in the next sector) does not end it or come back
// alone, and a cut photo never swallows the one right behind it.
TEST(JpegModule, ScanRecoversEveryPhoto) {
  if (Encoded().size() != 6) GTEST_SKIP() << "a Debian encoder is missing";
  const Samples photos = Photos();
  const Bytes& restart = Get("restart.jpg");
  Layout layout(99);
  layout.Random(1500).Spread(photos);
  layout.Cut("cut-random", Prefix(photos[3].bytes, photos[3].bytes.size() / 2), "jpg");
  layout.Random(7000).Align().Cut("cut-zeros", Prefix(Get("progressive.jpg"), 30000), "jpg");
  layout.Zeros(3000).Align().Whole(photos[0]);
  // A declared video that is not there leaves the photo, marked damaged.
  const Bytes motion = MakeMotionPhoto(Get("progressive.jpg"), Get("clip.mp4"), false);
  const Bytes noVideo = Prefix(motion, motion.size() - Get("clip.mp4").size());
  layout.Align().Place("no-video", noVideo, "jpg", Layout::kDamaged).Zeros(8192);
  // Damage inside the entropy data of a file with restart intervals (a run of 0xFF from a
  // bad block, foreign bytes): picked up again at the next restart marker.
  for (const Bytes& damage : {Bytes(4096, 0xFF), RandomData(4096, 31)}) {
    Bytes damaged = Get("large.jpg");
    std::copy(damage.begin(), damage.end(), damaged.begin() + long(damaged.size() / 2));
    layout.Align().Place("damaged", damaged, "jpg", Layout::kDamaged).Random(5000);
  }
  for (const auto& entry : std::filesystem::directory_iterator(TestData("corpus/invalid")))
    layout.Align()
        .Place(entry.path().filename(), ReadFileBytes(entry.path()), "", Layout::kMaybe)
        .Random(9000);
  std::vector<Bytes> signatures;  // SOI and a segment marker
  for (int marker : {0xE0, 0xE1, 0xDB, 0xC4, 0xE7})
    signatures.push_back(Join({0xFF, 0xD8, 0xFF}, {uint8_t(marker)}));
  layout.Planted(signatures, 40);
  layout.Packed(CameraPhotos()).Align().Random(400);
  layout.Cut("cut-thumbnail", Prefix(Get("big-thumbnail.jpg"), 60000), "jpg").Random(20000);
  layout.Whole(photos[1]).Cut("cut-restart", Prefix(restart, restart.size() / 2), "jpg");
  layout.Whole({"after", restart, "jpg"});
  // A header left alone (cut between its segments): the photo right behind it is no part of it.
  layout.Junk(Prefix(restart, 20)).Whole({"after-header", restart, "jpg"}).Random(3000);
  ExpectCarvedEitherWay("jpeg", layout);
}

// The end search alone ends every whole photo exactly (cut short, the scan above ends it inside
// the data that is there). With a small MaxSize every photo longer comes back as its first
// MaxSize bytes, damaged, even one whose header is longer.
TEST(JpegModule, EndSearch) {
  if (Encoded().size() != 6) GTEST_SKIP() << "a Debian encoder is missing";
  CContentHandler* jpeg = Handler("jpeg");
  Layout open(5);
  ExpectCarved("jpeg", open.Spread(Photos()), false, 10);
  for (const Sample& photo : Photos())
    EXPECT_EQ(FindEnd(jpeg, Join(photo.bytes, RandomData(70000, 3))), long(photo.bytes.size()))
        << photo.name;
}

}  // namespace

// The header of a photo left open when one scan ends belongs to that scan: a photo that the
// next scan finds where that header was is a photo, not a thumbnail.
TEST(JpegModule, NextScanForgetsTheOpenHeader) {
  if (Encoded().size() != 6) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& big = Get("big-thumbnail.jpg");
  Layout first(3);
  first.Cut("cut", Prefix(big, big.size() * 3 / 4 / 512 * 512), "jpg");
  ExpectCarved("jpeg", first);
  Layout second(4);
  second.Random(1024).Whole({"inside", Get("restart.jpg"), "jpg"});
  ExpectCarved("jpeg", second);
}
