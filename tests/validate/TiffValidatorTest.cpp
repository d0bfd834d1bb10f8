#include "tests/validate/ValidatorChecks.h"

using namespace testing_support;
using namespace validate_test;

namespace {

// Scanned documents (LZW), ExifTool's and a GeoTIFF sample (uncompressed: nothing to check),
// and what libtiff writes through ImageMagick: Deflate, PackBits, tiles, planes, big-endian,
// BigTIFF, JPEG (abbreviated strips after JPEGTables; checked only with a JPEG validator).
TEST(TiffValidator, ImagesWholeCutAndSpliced) {
  std::vector<std::pair<std::string, std::string>> recipes = {
      {"zip.tif", "-compress zip"},
      {"packbits.tif", "-compress rle"},
      {"tiles.tif", "-compress zip -define tiff:tile-geometry=64x64"},
      {"planes.tif", "-compress lzw -interlace plane -define tiff:rows-per-strip=16"},
      {"motorola.tif", "-compress zip -endian msb -define tiff:rows-per-strip=8"},
      {"big.tif", "-compress lzw TIFF64:- >"},
      {"jpeg.tif", "-compress jpeg"}};
  for (auto& recipe : recipes) {
    recipe.second = "convert -seed 7 -size 200x150 plasma:fractal -depth 8 " + recipe.second;
  }
  const Samples made = MakeMedia("tiff-validate", recipes);
  if (made.size() != recipes.size()) ADD_FAILURE() << "ImageMagick did not write every image";
  std::vector<Checked> files;
  for (const char* name : {"Arbitro", "BSG1", "Jobagent", "Rudless", "Tless0"}) {
    const std::string path = std::string("corpus/tiff/") + name + ".tiff";
    files.push_back({name, "tiff", ReadFileBytes(TestData(path))});
  }
  // ExifTool's sample: metadata up to its one strip at 3816.
  files.push_back({"ExifTool.tif", "tif",
                   ReadFileBytes(TestData("corpus/format-samples/ExifTool.tif")), Verdict::kIntact,
                   -1, 4000, 600});
  files.push_back({"GeoTiff.tif", "tif",
                   ReadFileBytes(TestData("corpus/format-samples/GeoTiff.tif")),
                   Verdict::kCannotTell});
  for (const Sample& sample : made) files.push_back({sample.name, "tif", sample.bytes});
  const Bytes foreign = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  for (const Checked& file : files) ExpectChecks(file, foreign);
}

// The collector's RAW samples keep their structure with dummy sensor data and previews: never
// intact; those whose tables point past their end or at dummy bytes are damaged already. Other
// bytes after them change nothing; cut at 60% they are damaged no later than where they stop.
TEST(TiffValidator, RawSamplesStructure) {
  const struct {
    const char* name;
    Verdict verdict;
  } samples[] = {{"CanonRaw.cr2", Verdict::kDamaged},    {"Nikon.nef", Verdict::kDamaged},
                 {"PhaseOne.iiq", Verdict::kCannotTell}, {"DNG.dng", Verdict::kDamaged},
                 {"Panasonic.rw2", Verdict::kDamaged},   {"FujiFilm.raf", Verdict::kCannotTell},
                 {"Minolta.mrw", Verdict::kDamaged},     {"CanonRaw.crw", Verdict::kDamaged},
                 {"Sigma.x3f", Verdict::kCannotTell},    {"SigmaDP2.x3f", Verdict::kDamaged}};
  for (const auto& sample : samples) {
    SCOPED_TRACE(sample.name);
    const std::string name = sample.name;
    const std::string type = name.substr(name.rfind('.') + 1);
    const Bytes file = ReadFileBytes(TestData("corpus/format-samples/" + name));
    const Validation whole = Check(type, file);
    const Validation trailed = Check(type, Concat({file, RandomData(5000, 3)}));
    EXPECT_EQ(whole.verdict, sample.verdict) << Describe(whole);
    EXPECT_EQ(trailed.verdict, whole.verdict) << Describe(trailed);
    const size_t cut = file.size() * 6 / 10;
    const Validation short_ = Check(type, Prefix(file, cut));
    EXPECT_EQ(short_.verdict, Verdict::kDamaged) << Describe(short_);
    EXPECT_LE(short_.damagedAt, static_cast<long long>(cut)) << Describe(short_);
  }
}

// Lossless JPEG, as DNG and CR2 keep sensor data, in a TIFF strip: libjpeg-turbo 2.1 cannot
// decode it, so only its markers are checked: segments, stuffed 0xFF bytes, restart markers in
// turn, an EOI before the strip ends. A fault among them is damage where it lies.
TEST(TiffValidator, LosslessJpegMarkers) {
  Bytes entropy;
  for (int interval = 0; interval < 3; ++interval) {
    if (interval > 0) entropy.insert(entropy.end(), {0xff, uint8_t(0xd0 + interval - 1)});
    for (uint8_t b : RandomData(300, interval)) {
      entropy.push_back(b);
      if (b == 0xff) entropy.push_back(0);
    }
  }
  const Bytes head = Concat({{0xff, 0xd8, 0xff, 0xc3},
                             BE(11, 2),
                             {16, 0, 16, 0, 16, 1, 1, 0x11, 0},
                             {0xff, 0xc4},
                             BE(21, 2),
                             {0, 1, 1},
                             Bytes(14, 0),
                             {0, 1},
                             {0xff, 0xdd},
                             BE(4, 2),
                             BE(86, 2),
                             {0xff, 0xda},
                             BE(8, 2),
                             {1, 1, 0, 1, 0, 0}});
  const Bytes jpeg = Concat({head, entropy, {0xff, 0xd9}});
  const long strip = 8 + 2 + 9 * 12 + 4, data = strip + long(head.size());
  const auto tiff = [strip](const Bytes& jpeg) {
    Bytes ifd = LE(9, 2);
    const uint32_t entries[][2] = {{256, 16}, {257, 16},    {258, 16},
                                   {259, 7},  {262, 32803}, {273, uint32_t(strip)},
                                   {277, 1},  {278, 16},    {279, uint32_t(jpeg.size())}};
    for (const auto& e : entries) ifd = Concat({ifd, LE(e[0], 2), LE(4, 2), LE(1), LE(e[1])});
    return Concat({Text("II*"), {0}, LE(8), ifd, LE(0), jpeg});
  };
  Bytes badMarker = jpeg, swapped = jpeg;
  badMarker[head.size() + 100] = 0xff;
  badMarker[head.size() + 101] = 0x45;
  long restart = 0;  // the first restart marker, made RST1
  for (size_t i = head.size(); restart == 0; ++i) {
    if (swapped[i] == 0xff && swapped[i + 1] == 0xd0) {
      swapped[i + 1] = 0xd1;
      restart = strip + long(i);
    }
  }
  const struct {
    const char* name;
    Bytes file;
    Verdict verdict;
    long damagedAt;
  } cases[] = {
      {"markers hold", tiff(jpeg), Verdict::kCannotTell, -1},
      {"marker 0x45 in the data", tiff(badMarker), Verdict::kDamaged, data + 100},
      {"restart 1 first", tiff(swapped), Verdict::kDamaged, restart},
      {"no EOI", tiff(Prefix(jpeg, jpeg.size() - 2)), Verdict::kDamaged,
       strip + long(jpeg.size()) - 2},
  };
  for (const auto& c : cases) {
    const Validation v = Check("dng", c.file);
    EXPECT_EQ(v.verdict, c.verdict) << c.name << ": " << Describe(v);
    EXPECT_EQ(v.damagedAt, c.damagedAt) << c.name;
  }
}

}  // namespace
