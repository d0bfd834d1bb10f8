#include <filesystem>

#include "tests/validate/ValidatorChecks.h"

using namespace testing_support;
using namespace validate_test;

namespace {

const Samples& Encoded() {
  const std::string plasma = "convert -seed 7 -size 800x600 plasma: ppm:- | cjpeg ";
  static const Samples made =
      MakeMedia("validate-jpeg",
                {{"progressive.jpg", plasma + "-progressive -quality 85 >"},
                 {"restart.jpg", plasma + "-restart 2 -quality 90 >"},
                 {"optimized.jpg", plasma + "-optimize -grayscale >"},
                 {"arithmetic.jpg", plasma + "-arithmetic >"},
                 {"thumb.jpg", plasma + "-quality 97 >"},
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
    if (made.name != "thumb.jpg") photos.push_back(made);
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
  if (Encoded().size() != 6) GTEST_SKIP() << "a Debian encoder is missing";
  const Samples photos = Photos();
  for (size_t i = 0; i < photos.size(); ++i)
    ExpectValidates("jpg", photos[i].bytes, photos[(i + 1) % photos.size()].bytes, photos[i].name,
                    Segment(photos[i].bytes, 0xDA), 4096);
}

TEST(JpegValidator, MultiPictureFile) {
  if (Encoded().size() != 6) GTEST_SKIP() << "a Debian encoder is missing";
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

// Where the file itself says exactly where the break is: a restart marker out of order, a
// zeroed sector in data coded with the standard tables, a marker code no image holds.
TEST(JpegValidator, BreaksFoundWhereTheyAre) {
  if (Encoded().size() != 6) GTEST_SKIP() << "a Debian encoder is missing";
  const Bytes& restart = Get("restart.jpg");
  const size_t rst = FindMarker(restart, 0xD3, restart.size() / 2);
  const Bytes camera = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  const size_t sector = camera.size() / 2 / 512 * 512;
  const struct {
    const char* name;
    Bytes bytes;
    long long at;
  } cases[] = {
      {"restart out of order", Overwritten(restart, rst + 1, 1, {0xD5}), long(rst) + 1},
      {"zero sector", Overwritten(camera, sector, 512, {0}), long(sector)},
      {"0xFF sector", Overwritten(camera, sector, 512, {0xFF}), long(sector)},
      {"reserved marker", Overwritten(camera, sector, 2, {0xFF, 0x02}), long(sector) + 1},
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
}

// Fill bytes before markers are allowed; a kind of JPEG this decoder does not handle (12-bit,
// lossless) cannot be told, unless its structure alone shows it cut short.
TEST(JpegValidator, FillBytesAndUnsupportedKinds) {
  const Bytes camera = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  const size_t sos = Segment(camera, 0xDA), sof = Segment(camera, 0xC0);
  Bytes filled = camera;
  filled.insert(filled.end() - 2, {0xFF, 0xFF, 0xFF});
  filled.insert(filled.begin() + long(sos), {0xFF, 0xFF});
  ExpectIntact("jpg", filled, "fill bytes");
  for (const Bytes& odd : {Overwritten(camera, sof + 4, 1, {12}),       // 12-bit samples
                           Overwritten(camera, sof + 1, 1, {0xC3})}) {  // lossless
    EXPECT_EQ(Check("jpg", odd).verdict, salvor::Verdict::kCannotTell);
    const salvor::Validation v = Check("jpg", Bytes(odd.begin(), odd.end() - 100));
    EXPECT_EQ(v.damagedAt, long(odd.size()) - 100) << Describe(v);
  }
}

}  // namespace
