#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "tests/support/HandlerCalls.h"
#include "tests/support/MediaTestSupport.h"
#include "tests/support/ScanHarness.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

CContentHandler* Jpeg() {
  static CContentHandler* handler = LoadHandler("jpeg.so");
  return handler;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Appends the `n` low bytes of v, big- or little-endian.
void Put(Bytes& b, uint64_t v, int n, bool bigEndian = true) {
  for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> 8 * (bigEndian ? n - 1 - i : i)));
}

// `jpeg` with an APPn segment holding `payload` right after its SOI.
Bytes WithSegment(const Bytes& jpeg, uint8_t marker, const Bytes& payload) {
  Bytes out = {0xFF, 0xD8, 0xFF, marker};
  Put(out, payload.size() + 2, 2);
  return Concat({out, payload, Bytes(jpeg.begin() + 2, jpeg.end())});
}

// A multi-picture file: `primary` with an MPF index listing `second`, which follows it.
Bytes MakeMpf(const Bytes& primary, const Bytes& second) {
  Bytes mpf = {'M', 'P', 'F', 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 3};
  Put(mpf, 0xB000'0007'0000'0004, 8), mpf.insert(mpf.end(), {'0', '1', '0', '0'});
  Put(mpf, 0xB001'0004'0000'0001, 8), Put(mpf, 2, 4);
  Put(mpf, 0xB002'0007'0000'0020, 8), Put(mpf, 50, 4), Put(mpf, 0, 4);  // entries at 50
  const uint64_t primarySize = primary.size() + 4 + mpf.size() + 32;
  Put(mpf, 0x20030000, 4), Put(mpf, primarySize, 4), Put(mpf, 0, 8);
  // The second image's offset counts from the TIFF header, at byte 10 of the file.
  Put(mpf, 0, 4), Put(mpf, second.size(), 4), Put(mpf, primarySize - 10, 4), Put(mpf, 0, 4);
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
  Bytes block = {0, 0, 0x30, 0x0A, 16, 0, 0, 0};
  block.insert(block.end(), name.begin(), name.end());
  block.insert(block.end(), video.begin(), video.end());
  Bytes tail = {'S', 'E', 'F', 'H', 106, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x30, 0x0A};
  Put(tail, block.size(), 4, false), Put(tail, block.size(), 4, false);
  Put(tail, 24, 4, false), tail.insert(tail.end(), {'S', 'E', 'F', 'T'});
  return Concat({photo, block, tail});
}

struct Inputs {
  bool ok = false;
  Bytes progressive, restart, bigThumbnail, thumbnail, clip;
};

// Encoded once per test binary with the Debian tools.
const Inputs& Generated() {
  static Inputs in = [] {
    Inputs g;
    for (const char* tool : {"convert", "cjpeg", "exiftool", "ffmpeg"}) {
      if (!HaveTool(tool)) return g;
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

std::vector<std::pair<std::string, Bytes>> CameraPhotos() {
  std::vector<std::pair<std::string, Bytes>> photos;
  for (const auto& entry : std::filesystem::directory_iterator(TestData("corpus/jpg"))) {
    if (entry.path().extension() == ".jpg") {
      photos.emplace_back(entry.path().filename(), ReadFileBytes(entry.path()));
    }
  }
  return photos;
}

// Camera files, encoder output (progressive, restart markers, a large EXIF thumbnail), MPF
// and the three kinds of motion photo.
std::vector<std::pair<std::string, Bytes>> Photos() {
  auto photos = CameraPhotos();
  const Inputs& g = Generated();
  photos.emplace_back("progressive.jpg", g.progressive);
  photos.emplace_back("restart.jpg", g.restart);
  photos.emplace_back("big-thumbnail.jpg", g.bigThumbnail);
  photos.emplace_back("mpf.jpg", MakeMpf(g.restart, g.thumbnail));
  photos.emplace_back("motion.jpg", MakeMotionPhoto(g.progressive, g.clip, false));
  photos.emplace_back("motion-container.jpg", MakeMotionPhoto(g.restart, g.clip, true));
  photos.emplace_back("motion-samsung.jpg", MakeSamsungMotionPhoto(g.progressive, g.clip));
  return photos;
}

TEST(JpegHandler, WholePhotosEndAtTheirStructureCutOnesWithinTheirData) {
  ASSERT_NE(Jpeg(), nullptr);
  if (!Generated().ok) GTEST_SKIP() << "a Debian tool is missing";
  for (const auto& [name, photo] : Photos()) {
    SCOPED_TRACE(name);
    // Random data after the file: the end must come from the structure.
    const Bytes disk = Concat({photo, RandomData(70000, 3)});
    const Recognition r = Recognize(Jpeg(), disk, 0);
    EXPECT_TRUE(r.recognized && r.start == 0);
    EXPECT_EQ(r.end, static_cast<long long>(photo.size()));
    EXPECT_EQ(FindEnd(Jpeg(), disk), static_cast<long long>(photo.size()));
    std::string extension;
    EXPECT_TRUE(Describe(Jpeg(), photo, &extension));
    EXPECT_EQ(extension, "jpg");

    const size_t cut = photo.size() * 3 / 5;
    for (const Bytes& after : {RandomData(40000, 5), Bytes(40000, 0)}) {
      const Bytes cutDisk = Concat({Prefix(photo, cut), after});
      const Recognition open = Recognize(Jpeg(), cutDisk, 0);
      EXPECT_TRUE(open.recognized && open.start == 0 && open.end == -1);
      const long long end = FindEnd(Jpeg(), cutDisk);
      EXPECT_GT(end, 0);
      EXPECT_LE(end, static_cast<long long>(cut));
      EXPECT_FALSE(Describe(Jpeg(), Prefix(cutDisk, static_cast<size_t>(end))));
    }
  }
  // A declared video that is not there leaves the photo, marked damaged.
  const Bytes motion = MakeMotionPhoto(Generated().progressive, Generated().clip, false);
  const Bytes photoOnly = Prefix(motion, motion.size() - Generated().clip.size());
  EXPECT_EQ(Recognize(Jpeg(), Concat({photoOnly, Bytes(8192, 0)}), 0).end,
            static_cast<long long>(photoOnly.size()));
  EXPECT_FALSE(Describe(Jpeg(), photoOnly));
}

// Damage inside the entropy data of a file with restart intervals (a run of 0xFF from a bad
// block, foreign bytes): the file is picked up again at the next restart marker and comes
// back whole, marked damaged. A cut file never swallows the JPEG right behind it.
TEST(JpegHandler, DamagedScanDataIsSkippedToTheNextRestartMarker) {
  ASSERT_NE(Jpeg(), nullptr);
  if (!Generated().ok) GTEST_SKIP() << "a Debian tool is missing";
  const Bytes& photo = Generated().restart;
  for (const Bytes& damage : {Bytes(4096, 0xFF), RandomData(4096, 31)}) {
    Bytes damaged = photo;
    std::copy(damage.begin(), damage.end(), damaged.begin() + damaged.size() / 2);
    EXPECT_EQ(Recognize(Jpeg(), Concat({damaged, RandomData(5000, 32)}), 0).end,
              static_cast<long long>(damaged.size()));
    EXPECT_FALSE(Describe(Jpeg(), damaged));
  }
  const size_t cut = photo.size() / 2;
  const Bytes packed = Concat({Prefix(photo, cut), photo});
  EXPECT_EQ(Recognize(Jpeg(), packed, 0).end, -1);
  EXPECT_LE(FindEnd(Jpeg(), packed), static_cast<long long>(cut));
}

TEST(JpegHandler, RefusesSignaturesInOtherDataAndSurvivesBrokenFiles) {
  ASSERT_NE(Jpeg(), nullptr);
  Bytes disk = RandomData(64 * 512, 11);
  const uint8_t markers[] = {0xE0, 0xE1, 0xDB, 0xC4};
  for (size_t i = 0; i < 64; ++i) {
    disk[i * 512] = disk[i * 512 + 2] = 0xFF, disk[i * 512 + 1] = 0xD8;
    disk[i * 512 + 3] = markers[i % 4];
    EXPECT_FALSE(Recognize(Jpeg(), disk, static_cast<long long>(i * 512)).recognized) << i;
  }
  // Files that trip up other readers: whole to their EOI, or marked damaged.
  for (const auto& entry : std::filesystem::directory_iterator(TestData("corpus/invalid"))) {
    const Bytes broken = ReadFileBytes(entry.path());
    const Bytes brokenDisk = Concat({broken, RandomData(9000, 13)});
    const Recognition r = Recognize(Jpeg(), brokenDisk, 0);
    const long long end = r.end >= 0 ? r.end : FindEnd(Jpeg(), brokenDisk);
    if (r.recognized && end > 0 && Describe(Jpeg(), Prefix(brokenDisk, size_t(end)))) {
      EXPECT_EQ(end, static_cast<long long>(broken.size())) << entry.path();
    }
  }
}

// Through the engine: photos sector-aligned between random data and zeros, then back to back
// with only the sector's slack between them, two cut short, signatures planted in random
// data; then camera photos packed at odd offsets, found with Unaligned=1.
TEST(JpegHandler, ScanRecoversEveryPhotoWhole) {
  if (!Generated().ok) GTEST_SKIP() << "a Debian tool is missing";
  const auto photos = Photos();
  ImageBuilder image(99);
  for (const auto& [name, photo] : photos) {
    image.AddRandom(1500);
    image.Align();
    image.AddFile(name, photo);
  }
  image.AddZeros(4096);
  for (const auto& [name, photo] : photos) {
    image.Align();
    image.AddFile("packed-" + name, photo);
    image.AddZeros((512 - photo.size() % 512) % 512);
  }
  image.AddFile("cut-random", Prefix(photos[3].second, photos[3].second.size() / 2));
  image.AddRandom(7000);
  image.Align();
  image.AddFile("cut-zeros", Prefix(Generated().progressive, 30000));
  image.AddZeros(3000);
  image.Align();
  image.AddFile("after-cut", photos[0].second);
  for (uint8_t marker = 0xE0; marker < 0xE8; ++marker) {
    image.Align();
    image.bytes().insert(image.bytes().end(), {0xFF, 0xD8, 0xFF, marker});
    image.AddRandom(2000);
  }
  ExpectRecovered("jpeg", image.placed(), ScanImage({"jpeg.so"}, image.Finish()), "jpg");

  // A cut photo's own thumbnail must not end it or come back as a file of its own.
  ImageBuilder packed(7);
  for (const auto& [name, photo] : CameraPhotos()) {
    packed.AddRandom(37);
    packed.AddFile(name, photo);
  }
  packed.Align();
  packed.AddRandom(400);  // puts the thumbnail, 202 bytes in, into the next sector
  packed.AddFile("cut-thumbnail", Prefix(Generated().bigThumbnail, 60000));
  packed.AddRandom(20000);
  packed.AddFile("after-cut", photos[1].second);
  ASSERT_TRUE(Jpeg()->SetIntPropValue("Unaligned", 1));
  const std::vector<Recovered> found = ScanImage({"jpeg.so"}, packed.Finish());
  ASSERT_TRUE(Jpeg()->SetIntPropValue("Unaligned", 0));
  ExpectRecovered("jpeg unaligned", packed.placed(), found, "jpg");
}

}  // namespace
