#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "HandlerCalls.h"
#include "RecoveryTally.h"
#include "ScanHarness.h"
#include "Sha256.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

CContentHandler* Jpeg() {
  static CContentHandler* handler = LoadHandler("jpeg.so");
  return handler;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void PutBE16(Bytes& b, unsigned v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
void PutBE32(Bytes& b, uint32_t v) {
  PutBE16(b, v >> 16);
  PutBE16(b, v & 0xFFFF);
}

// An APPn segment with `payload`.
Bytes AppSegment(uint8_t marker, const Bytes& payload) {
  Bytes s = {0xFF, marker};
  PutBE16(s, static_cast<unsigned>(payload.size() + 2));
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

// `jpeg` with `segment` inserted right after its SOI.
Bytes InsertAfterSoi(const Bytes& jpeg, const Bytes& segment) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  out.insert(out.end(), segment.begin(), segment.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

// A multi-picture file: `primary` carrying an MPF index, followed by `second`.
Bytes MakeMpf(const Bytes& primary, const Bytes& second) {
  const size_t segmentSize = 4 + 4 + 8 + 2 + 3 * 12 + 4 + 32;
  Bytes mpf = {'M', 'P', 'F', 0, 'M', 'M', 0, 42};
  PutBE32(mpf, 8);  // first IFD right after the TIFF header
  PutBE16(mpf, 3);
  PutBE16(mpf, 0xB000), PutBE16(mpf, 7), PutBE32(mpf, 4),
      mpf.insert(mpf.end(), {'0', '1', '0', '0'});
  PutBE16(mpf, 0xB001), PutBE16(mpf, 4), PutBE32(mpf, 1), PutBE32(mpf, 2);
  PutBE16(mpf, 0xB002), PutBE16(mpf, 7), PutBE32(mpf, 32), PutBE32(mpf, 8 + 2 + 36 + 4);
  PutBE32(mpf, 0);  // no next IFD
  const uint32_t primarySize = static_cast<uint32_t>(primary.size() + segmentSize);
  PutBE32(mpf, 0x20030000), PutBE32(mpf, primarySize), PutBE32(mpf, 0), PutBE32(mpf, 0);
  PutBE32(mpf, 0x00000000), PutBE32(mpf, static_cast<uint32_t>(second.size()));
  PutBE32(mpf, primarySize - 10), PutBE32(mpf, 0);  // from the TIFF header at byte 10
  EXPECT_EQ(mpf.size() + 4, segmentSize);
  return Concat({InsertAfterSoi(primary, AppSegment(0xE2, mpf)), second});
}

// A phone motion photo: `photo` with XMP that declares `video` behind it.
Bytes MakeMotionPhoto(const Bytes& photo, const Bytes& video, bool container) {
  std::string xmp = "http://ns.adobe.com/xap/1.0/";
  xmp.push_back('\0');
  const std::string length = std::to_string(video.size());
  xmp += "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description ";
  if (container) {
    xmp +=
        "GCamera:MotionPhoto=\"1\"><Container:Directory><rdf:Seq>"
        "<rdf:li><Container:Item Item:Mime=\"image/jpeg\" Item:Semantic=\"Primary\"/></rdf:li>"
        "<rdf:li><Container:Item Item:Mime=\"video/mp4\" Item:Semantic=\"MotionPhoto\" "
        "Item:Length=\"" +
        length + "\"/></rdf:li></rdf:Seq></Container:Directory>";
  } else {
    xmp += "GCamera:MicroVideo=\"1\" GCamera:MicroVideoOffset=\"" + length + "\">";
  }
  xmp += "</rdf:Description></rdf:RDF></x:xmpmeta>";
  return Concat({InsertAfterSoi(photo, AppSegment(0xE1, Bytes(xmp.begin(), xmp.end()))), video});
}

// A Samsung motion photo: `photo`, the video in a MotionPhoto_Data block, the SEFH directory
// and the SEFT tail.
Bytes MakeSamsungMotionPhoto(const Bytes& photo, const Bytes& video) {
  auto le32 = [](Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  Bytes block = {0, 0, 0x30, 0x0A};
  le32(block, 16);
  const std::string name = "MotionPhoto_Data";
  block.insert(block.end(), name.begin(), name.end());
  block.insert(block.end(), video.begin(), video.end());
  Bytes directory = {'S', 'E', 'F', 'H'};
  le32(directory, 106);
  le32(directory, 1);
  directory.insert(directory.end(), {0, 0, 0x30, 0x0A});
  le32(directory, static_cast<uint32_t>(block.size()));  // distance back to the block
  le32(directory, static_cast<uint32_t>(block.size()));
  Bytes tail;
  le32(tail, static_cast<uint32_t>(directory.size()));
  tail.insert(tail.end(), {'S', 'E', 'F', 'T'});
  return Concat({photo, block, directory, tail});
}

struct Inputs {
  bool ok = false;
  std::string missing;
  Bytes progressive, restart, bigThumbnail, thumbnail, clip;
};

// Encoded once per test binary with the Debian tools.
const Inputs& Generated() {
  static Inputs in = [] {
    Inputs g;
    for (const char* tool : {"convert", "cjpeg", "exiftool", "ffmpeg"}) {
      if (!HaveTool(tool)) {
        g.missing = tool;
        return g;
      }
    }
    const std::string d = ScratchDir("jpeg_inputs");
    g.ok = Run("cd '" + d +
               "' && convert -seed 7 -size 800x600 plasma: src.ppm"
               " && cjpeg -progressive -quality 85 src.ppm > progressive.jpg"
               " && cjpeg -restart 2 -quality 90 src.ppm > restart.jpg"
               " && convert src.ppm -resize 320x240 thumb.ppm"
               " && cjpeg -quality 97 thumb.ppm > thumb.jpg"
               " && exiftool -q '-ThumbnailImage<=thumb.jpg' -o big.jpg restart.jpg"
               " && ffmpeg -v error -f lavfi -i testsrc=duration=1:size=128x96:rate=10"
               "    -pix_fmt yuv420p -y clip.mp4");
    g.progressive = ReadFileBytes(d + "/progressive.jpg");
    g.restart = ReadFileBytes(d + "/restart.jpg");
    g.bigThumbnail = ReadFileBytes(d + "/big.jpg");
    g.thumbnail = ReadFileBytes(d + "/thumb.jpg");
    g.clip = ReadFileBytes(d + "/clip.mp4");
    return g;
  }();
  return in;
}

const char* const kCorpus[] = {
    "BlueSquare.jpg",
    "Canon_40D.jpg",
    "Canon_PowerShot_S40.jpg",
    "DSCN0010.jpg",
    "Fujifilm_FinePix_E500.jpg",
    "Konica_Minolta_DiMAGE_Z3.jpg",
    "Nikon_D70.jpg",
    "Pentax_K10D.jpg",
    "Samsung_Digimax_i50_MP3.jpg",
    "canon-ixus.jpg",
    "fujifilm-dx10.jpg",
    "kodak-dc240.jpg",
    "landscape_3.jpg",
    "nikon-e950.jpg",
    "olympus-c960.jpg",
};

// The JPEGs the tests place: real camera files and encoder output.
std::vector<std::pair<std::string, Bytes>> Photos() {
  std::vector<std::pair<std::string, Bytes>> photos;
  for (const char* name : kCorpus) {
    photos.emplace_back(name, ReadFileBytes(TestData(std::string("corpus/jpg/") + name)));
  }
  const Inputs& g = Generated();
  if (g.ok) {
    photos.emplace_back("progressive.jpg", g.progressive);
    photos.emplace_back("restart.jpg", g.restart);
    photos.emplace_back("big-thumbnail.jpg", g.bigThumbnail);
    photos.emplace_back("mpf.jpg", MakeMpf(g.restart, g.thumbnail));
    photos.emplace_back("motion.jpg", MakeMotionPhoto(g.progressive, g.clip, false));
    photos.emplace_back("motion-container.jpg", MakeMotionPhoto(g.restart, g.clip, true));
    photos.emplace_back("motion-samsung.jpg", MakeSamsungMotionPhoto(g.progressive, g.clip));
  }
  return photos;
}

TEST(JpegHandler, FindsWholePhotosWithTheirTrailers) {
  ASSERT_NE(Jpeg(), nullptr);
  if (!Generated().ok) GTEST_SKIP() << "missing tool " << Generated().missing;
  for (const auto& [name, photo] : Photos()) {
    SCOPED_TRACE(name);
    ASSERT_GT(photo.size(), 1000u);
    // Random data after the file: the end must come from the structure, not from the data.
    const Bytes disk = Concat({photo, RandomBytes(70000, 3)});
    const Recognition r = Recognize(Jpeg(), disk, 0);
    EXPECT_TRUE(r.ok && r.recognized);
    EXPECT_EQ(r.start, 0);
    EXPECT_EQ(r.end, static_cast<long long>(photo.size()));
    std::string extension;
    EXPECT_TRUE(Describe(Jpeg(), photo, &extension));
    EXPECT_EQ(extension, "jpg");
    EXPECT_EQ(FindEnd(Jpeg(), disk), static_cast<long long>(photo.size()));
  }
  // The thumbnail's own EOI lies early in the big-thumbnail file; the MPF image and the
  // motion video lie after the main image's EOI.
  const Bytes mpf = MakeMpf(Generated().restart, Generated().thumbnail);
  EXPECT_EQ(Recognize(Jpeg(), mpf, 0).end, static_cast<long long>(mpf.size()));
  // A declared video that is not there leaves the photo, marked damaged.
  const Bytes orphan = MakeMotionPhoto(Generated().progressive, Generated().clip, false);
  const Bytes photoOnly = Prefix(orphan, orphan.size() - Generated().clip.size());
  EXPECT_EQ(Recognize(Jpeg(), Concat({photoOnly, Bytes(8192, 0)}), 0).end,
            static_cast<long long>(photoOnly.size()));
  EXPECT_FALSE(Describe(Jpeg(), photoOnly));
}

TEST(JpegHandler, CutShortPhotosStayOpenAndEndWithinTheirData) {
  ASSERT_NE(Jpeg(), nullptr);
  if (!Generated().ok) GTEST_SKIP() << "missing tool " << Generated().missing;
  for (const auto& [name, photo] : Photos()) {
    SCOPED_TRACE(name);
    const size_t cut = photo.size() * 3 / 5;
    for (const Bytes& after : {RandomBytes(40000, 5), Bytes(40000, 0)}) {
      const Bytes disk = Concat({Prefix(photo, cut), after});
      const Recognition r = Recognize(Jpeg(), disk, 0);
      EXPECT_TRUE(r.recognized);
      EXPECT_EQ(r.start, 0);
      EXPECT_EQ(r.end, -1);
      const long long end = FindEnd(Jpeg(), disk);
      EXPECT_GT(end, 0);
      EXPECT_LE(end, static_cast<long long>(cut));
      EXPECT_FALSE(Describe(Jpeg(), Prefix(disk, static_cast<size_t>(end))));
    }
  }
}

// Damage inside the entropy data of a file with restart intervals (a run of 0xFF from a bad
// block, foreign bytes): the file is picked up again at the next restart marker and comes
// back whole, marked damaged. A cut file never swallows the JPEG right behind it.
TEST(JpegHandler, DamagedScanDataIsSkippedToTheNextRestartMarker) {
  ASSERT_NE(Jpeg(), nullptr);
  if (!Generated().ok) GTEST_SKIP() << "missing tool " << Generated().missing;
  const Bytes& photo = Generated().restart;
  for (const Bytes& damage : {Bytes(4096, 0xFF), RandomBytes(4096, 31)}) {
    Bytes damaged = photo;
    std::copy(damage.begin(), damage.end(), damaged.begin() + damaged.size() / 2);
    const Recognition r = Recognize(Jpeg(), Concat({damaged, RandomBytes(5000, 32)}), 0);
    EXPECT_TRUE(r.recognized);
    EXPECT_EQ(r.end, static_cast<long long>(damaged.size()));
    EXPECT_FALSE(Describe(Jpeg(), damaged));
  }
  const size_t cut = photo.size() / 2;
  const Bytes packed = Concat({Prefix(photo, cut), photo});
  const Recognition r = Recognize(Jpeg(), packed, 0);
  EXPECT_TRUE(r.recognized);
  EXPECT_EQ(r.end, -1);
  EXPECT_LE(FindEnd(Jpeg(), packed), static_cast<long long>(cut));
}

TEST(JpegHandler, RefusesSignaturesInOtherDataAndSurvivesBrokenFiles) {
  ASSERT_NE(Jpeg(), nullptr);
  Bytes disk = RandomBytes(64 * 512, 11);
  const uint8_t planted[][4] = {{0xFF, 0xD8, 0xFF, 0xE0},
                                {0xFF, 0xD8, 0xFF, 0xE1},
                                {0xFF, 0xD8, 0xFF, 0xDB},
                                {0xFF, 0xD8, 0xFF, 0xC4}};
  for (size_t i = 0; i < 64; ++i) memcpy(&disk[i * 512], planted[i % 4], 4);
  for (long long block = 0; block < 64; ++block) {
    EXPECT_FALSE(Recognize(Jpeg(), disk, block * 512).recognized) << block;
  }
  // A JPEG header followed by garbage is no photo either.
  const Bytes photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  Bytes header = Concat({Prefix(photo, 20), RandomBytes(4000, 12)});
  EXPECT_FALSE(Recognize(Jpeg(), header, 0).recognized);

  for (const char* name : {"image01088.jpg", "image01137.jpg", "image02206.jpg"}) {
    SCOPED_TRACE(name);
    const Bytes broken = ReadFileBytes(TestData(std::string("corpus/invalid/") + name));
    const Bytes broken_disk = Concat({broken, RandomBytes(9000, 13)});
    const Recognition r = Recognize(Jpeg(), broken_disk, 0);
    if (!r.recognized) continue;
    const long long end = r.end >= 0 ? r.end : FindEnd(Jpeg(), broken_disk);
    if (end < 0) continue;
    const bool valid = Describe(Jpeg(), Prefix(broken_disk, static_cast<size_t>(end)));
    // Either the structure holds up to the EOI and the file is whole, or it is marked damaged.
    if (valid) {
      EXPECT_EQ(end, static_cast<long long>(broken.size()));
    }
  }
}

TEST(JpegHandler, UnalignedStartsAreFoundExactly) {
  ASSERT_NE(Jpeg(), nullptr);
  const Bytes photo = ReadFileBytes(TestData("corpus/jpg/Nikon_D70.jpg"));
  const Bytes disk = Concat({RandomBytes(512 + 123, 21), photo, RandomBytes(3000, 22)});
  EXPECT_FALSE(Recognize(Jpeg(), disk, 512).recognized);
  ASSERT_TRUE(Jpeg()->SetIntPropValue("Unaligned", 1));
  const Recognition r = Recognize(Jpeg(), disk, 512);
  EXPECT_TRUE(r.recognized);
  EXPECT_EQ(r.start, 512 + 123);
  EXPECT_EQ(r.end, static_cast<long long>(512 + 123 + photo.size()));
  EXPECT_FALSE(Recognize(Jpeg(), disk, 0).recognized);
  ASSERT_TRUE(Jpeg()->SetIntPropValue("Unaligned", 0));
}

// Photos sector-aligned between random data and zeros, then back to back with only the
// sector's slack between them, and two cut short; scanned through the engine.
TEST(JpegHandler, ScanRecoversEveryPhotoWhole) {
  if (!Generated().ok) GTEST_SKIP() << "missing tool " << Generated().missing;
  const auto photos = Photos();
  ImageBuilder image(99);
  image.AddRandom(5000);
  image.Align();
  for (const auto& [name, photo] : photos) {
    image.AddFile(name, photo);
    image.AddRandom(1500);
    image.Align();
  }
  image.AddZeros(4096);
  for (const auto& [name, photo] : photos) {
    image.AddFile("packed-" + name, photo);
    image.AddZeros((512 - photo.size() % 512) % 512);
  }
  // A photo cut short before random data, another before zeros and the next photo.
  image.AddFile("cut-random", Prefix(photos[3].second, photos[3].second.size() / 2));
  image.AddRandom(7000);
  image.Align();
  image.AddFile("cut-zeros", Prefix(Generated().progressive, 30000));
  image.AddZeros(3000);
  image.Align();
  image.AddFile("after-cut", photos[0].second);
  // Signatures at sector starts inside random data.
  for (int i = 0; i < 8; ++i) {
    image.Align();
    const uint8_t soi[] = {0xFF, 0xD8, 0xFF, uint8_t(0xE0 + i)};
    image.bytes().insert(image.bytes().end(), soi, soi + 4);
    image.AddRandom(2000);
  }
  const RecoveryTally tally = Tally(image.placed(), ScanImage({"jpeg.so"}, image.Finish()), "jpg");
  std::cout << "jpeg: " << tally.Summary() << std::endl;
  EXPECT_EQ(tally.identical, tally.intact);
  EXPECT_EQ(tally.broken, tally.cut);
  EXPECT_EQ(tally.extra, 0);
  EXPECT_TRUE(tally.problems.empty()) << tally.Summary();
}

// With Unaligned=1 photos packed at odd offsets come back whole too.
TEST(JpegHandler, ScanWithUnalignedFindsPackedPhotos) {
  ImageBuilder image(7);
  image.AddRandom(700);
  for (const char* name : kCorpus) {
    image.AddFile(name, ReadFileBytes(TestData(std::string("corpus/jpg/") + name)));
    image.AddRandom(37);
  }
  ASSERT_NE(Jpeg(), nullptr);
  ASSERT_TRUE(Jpeg()->SetIntPropValue("Unaligned", 1));
  const RecoveryTally tally = Tally(image.placed(), ScanImage({"jpeg.so"}, image.Finish()), "jpg");
  ASSERT_TRUE(Jpeg()->SetIntPropValue("Unaligned", 0));
  std::cout << "jpeg unaligned: " << tally.Summary() << std::endl;
  EXPECT_EQ(tally.identical, tally.intact);
  EXPECT_TRUE(tally.problems.empty()) << tally.Summary();
}

}  // namespace
