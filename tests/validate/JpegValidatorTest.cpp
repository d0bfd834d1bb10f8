#include <filesystem>

#include "tests/validate/ValidatorChecks.h"

using namespace testing_support;
using namespace validate_test;

namespace {

const Samples& Encoded() {
  const std::string plasma = "convert -seed 7 -size 800x600 plasma: ppm:- | cjpeg ",
                    disc =
                        "convert -size 2400x1600 xc:black -fill white -draw 'circle "
                        "1200,800 1200,1000' ppm:- | cjpeg ";
  static const Samples made =
      MakeMedia("validate-jpeg",
                {{"progressive.jpg", plasma + "-progressive -quality 85 >"},
                 {"restart.jpg", plasma + "-restart 2 -quality 90 >"},
                 {"optimized.jpg", plasma + "-optimize -grayscale >"},
                 {"arithmetic.jpg", plasma + "-arithmetic >"},
                 {"thumb.jpg", plasma + "-quality 97 >"},
                 // Black but for a disc: runs of zero bytes longer than a sector.
                 {"flat.jpg", disc + "-optimize >"},
                 {"flat-progressive.jpg", disc + "-progressive >"},
                 // A whole JPEG inside the APP1 segment of another.
                 {"big-thumbnail.jpg",
                  plasma + "-restart 2 > r.jpg && convert -seed 3 -size 320x240 plasma: t.jpg && "
                           "exiftool -q '-ThumbnailImage<=t.jpg' r.jpg -o"}});
  return made;
}

const Bytes& Get(const char* name) {
  return Find(Encoded(), name);
}

Samples Photos() {
  Samples photos;
  for (const auto& entry : std::filesystem::directory_iterator(TestData("corpus/jpg")))
    if (entry.path().extension() == ".jpg")
      photos.push_back({entry.path().filename(), ReadFileBytes(entry.path()), "jpg"});
  for (const Sample& made : Encoded())
    if (made.name != "thumb.jpg" && made.name.rfind("flat", 0) != 0) photos.push_back(made);
  return photos;
}

// `jpeg` with an APP2 "MPF" index listing `second`, which follows it.
Bytes MakeMpf(const Bytes& primary, const Bytes& second) {
  Bytes mpf = {'M', 'P', 'F', 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 2};
  const auto put = [&mpf](uint64_t v, int n) { mpf = Concat({mpf, BE(v, n)}); };
  put(0xB000'0007'0000'0004, 8), mpf = Concat({mpf, Text("0100")});
  put(0xB002'0007'0000'0020, 8), put(38, 4), put(0, 4);  // two entries at 38
  const uint64_t primarySize = primary.size() + 4 + mpf.size() + 32;
  put(0x20030000, 4), put(primarySize, 4), put(0, 8);
  // Offsets count from the MP header, 8 bytes into the segment at byte 2.
  put(0, 4), put(second.size(), 4), put(primarySize - 10, 4), put(0, 4);
  const Bytes head = {0xFF, 0xD8, 0xFF, 0xE2};
  return Concat(
      {head, BE(mpf.size() + 2, 2), mpf, Bytes(primary.begin() + 2, primary.end()), second});
}

// Where the main image's segment `code` stands (segments are followed by their lengths, so
// that a thumbnail's markers are passed over).
size_t Segment(const Bytes& jpeg, uint8_t code) {
  for (size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF;
       at += 2 + size_t(jpeg[at + 2] << 8 | jpeg[at + 3]))
    if (jpeg[at + 1] == code) return at;
  ADD_FAILURE() << "no segment " << int(code);
  return 0;
}

// Where the first `marker` (0xFF then `code`) stands at or after `from`.
size_t FindMarker(const Bytes& jpeg, uint8_t code, size_t from) {
  for (size_t i = from; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == code) return i;
  ADD_FAILURE() << "no marker " << int(code);
  return 0;
}

TEST(JpegValidator, TypesAreChecked) {
  for (const char* type : {"jpg", "jpeg", "jpe", "jfif"})
    EXPECT_NE(salvor::FindValidator(type), nullptr) << type;
}

// Camera files (with and without restart markers, thumbnails, XMP) and encoder output:
// progressive, optimised tables, arithmetic coding, a thumbnail holding a whole JPEG.
TEST(JpegValidator, WholeCutAndOverwritten) {
  if (Encoded().size() != 8) GTEST_SKIP() << "a Debian encoder is missing";
  const Samples photos = Photos();
  for (size_t i = 0; i < photos.size(); ++i)
    ExpectValidates("jpg", photos[i].bytes, photos[(i + 1) % photos.size()].bytes, photos[i].name,
                    Segment(photos[i].bytes, 0xDA), 4096);
}

TEST(JpegValidator, MultiPictureFile) {
  if (Encoded().size() != 8) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& second = Get("thumb.jpg");
  const Bytes mpf = MakeMpf(Get("restart.jpg"), second);
  ExpectIntact("jpg", mpf, "mpf");
  const long long secondAt = static_cast<long long>(mpf.size() - second.size());
  // The listed image cut short, missing, or overwritten.
  const Bytes cut(mpf.begin(), mpf.end() - 1000);
  const salvor::Validation c = Check("jpg", cut);
  EXPECT_EQ(c.damagedAt, static_cast<long long>(cut.size())) << Describe(c);
  EXPECT_GE(c.goodUntil, secondAt) << Describe(c);
  ExpectDamagedAround("jpg", Bytes(mpf.begin(), mpf.begin() + secondAt), secondAt, "mpf alone");
  ExpectDamagedAround("jpg", Overwritten(mpf, secondAt + 2, 2, {0}), secondAt, "mpf second");
}

// Where the file itself says exactly where the break is: a restart marker out of order or in
// a file without restart intervals, a zeroed sector in data coded with the standard tables, a
// run of 0xFF over a sector, a marker code no image holds, a broken table definition (placed
// at the end of its segment).
TEST(JpegValidator, BreaksFoundWhereTheyAre) {
  if (Encoded().size() != 8) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& restart = Get("restart.jpg");
  const size_t rst = FindMarker(restart, 0xD3, restart.size() / 2);
  const size_t dht = Segment(restart, 0xC4),
               dhtEnd = dht + 2 + (restart[dht + 2] << 8 | restart[dht + 3]);
  const Bytes camera = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  const size_t sector = camera.size() / 2 / 512 * 512;
  const struct {
    const char* name;
    Bytes bytes;
    long long at;
  } cases[] = {
      {"restart out of order", Overwritten(restart, rst + 1, 1, {0xD5}), long(rst) + 1},
      {"restart without interval", Overwritten(camera, sector, 2, {0xFF, 0xD0}), long(sector) + 1},
      {"zero sector", Overwritten(camera, sector, 512, {0}), long(sector)},
      {"0xFF over a sector", Overwritten(camera, sector - 3, 515, {0xFF}), long(sector)},
      {"reserved marker", Overwritten(camera, sector, 2, {0xFF, 0x02}), long(sector) + 1},
      {"Huffman table", Overwritten(restart, dht + 5, 1, {0xFF}), long(dhtEnd)},
  };
  for (const auto& c : cases) {
    const salvor::Validation v = Check("jpg", c.bytes);
    EXPECT_EQ(v.verdict, salvor::Verdict::kDamaged) << c.name << ": " << Describe(v);
    EXPECT_EQ(v.damagedAt, c.at) << c.name << ": " << Describe(v);
  }
  // Restart markers prove what came before them.
  size_t previous = rst - 1;
  while (restart[previous] != 0xFF || restart[previous + 1] != 0xD2) --previous;
  const salvor::Validation v = Check("jpg", Overwritten(restart, rst + 1, 1, {0xD5}));
  EXPECT_EQ(v.goodUntil, long(previous) + 2) << Describe(v);
  // Without restart markers another camera's data decodes too: its DC values leave the range
  // of 8-bit samples within a few blocks.
  const Bytes other = ReadFileBytes(TestData("corpus/jpg/canon-ixus.jpg"));
  const Bytes foreign(other.begin() + long(other.size() / 2), other.end());
  ExpectDamagedAround("jpg", Overwritten(camera, sector, 4096, foreign), long(sector), "foreign",
                      1024);
}

// Legal but unusual files stay intact: fill bytes before markers, long runs of zero bytes
// (a flat area with optimised tables), no Huffman tables (the standard ones are meant). Kinds
// this decoder does not handle (12-bit, lossless, too large to decode in bounded memory)
// cannot be told, unless their structure alone shows them cut short.
TEST(JpegValidator, UnusualAndUnsupported) {
  if (Encoded().size() != 8) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes camera = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  Bytes filled = camera;
  filled.insert(filled.end() - 2, {0xFF, 0xFF, 0xFF});
  filled.insert(filled.begin() + long(Segment(camera, 0xDA)), {0xFF, 0xFF});
  ExpectIntact("jpg", filled, "fill bytes");
  ExpectIntact("jpg", Get("flat.jpg"), "flat");
  ExpectIntact("jpg", Get("flat-progressive.jpg"), "flat progressive");
  Bytes noTables = Get("restart.jpg");
  for (size_t dht = Segment(noTables, 0xC4); noTables[dht + 1] == 0xC4;)
    noTables.erase(noTables.begin() + long(dht),
                   noTables.begin() + long(dht + 2 + (noTables[dht + 2] << 8 | noTables[dht + 3])));
  ExpectIntact("jpg", noTables, "no Huffman tables");

  const Bytes& restart = Get("restart.jpg");
  const Bytes& progressive = Get("progressive.jpg");
  const size_t sof = Segment(restart, 0xC0), sof2 = Segment(progressive, 0xC2);
  for (const Bytes& odd : {Overwritten(restart, sof + 4, 1, {12}),    // 12-bit samples
                           Overwritten(restart, sof + 1, 1, {0xC3}),  // lossless
                           Overwritten(progressive, sof2 + 5, 4, {0xEA, 0x60})}) {  // 60000²
    EXPECT_EQ(Check("jpg", odd).verdict, salvor::Verdict::kCannotTell);
    const salvor::Validation v = Check("jpg", Bytes(odd.begin(), odd.end() - 100));
    EXPECT_EQ(v.damagedAt, long(odd.size()) - 100) << Describe(v);
  }
}

}  // namespace
