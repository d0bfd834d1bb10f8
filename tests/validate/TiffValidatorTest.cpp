#include "tests/validate/ValidatorCheck.h"

using namespace testing_support;

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
  for (const Sample& sample : made) {
    const bool checkable = sample.name != "jpeg.tif" || HaveJpegValidator();
    files.push_back(
        {sample.name, "tif", sample.bytes, checkable ? Verdict::kIntact : Verdict::kCannotTell});
  }
  const Bytes foreign = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  for (const Checked& file : files) ExpectChecks(file, foreign);
}

// The collector's RAW samples keep their structure with dummy sensor data: never intact;
// those whose tables point past their end or at dummy bytes are damaged already. Other bytes
// after them change nothing; cut at 60% they are damaged where they stop. (With a JPEG
// validator, dummy previews may turn a "cannot tell" into "damaged".)
TEST(TiffValidator, RawSamplesStructure) {
  const struct {
    const char* name;
    Verdict verdict;
  } samples[] = {{"CanonRaw.cr2", Verdict::kCannotTell}, {"Nikon.nef", Verdict::kCannotTell},
                 {"PhaseOne.iiq", Verdict::kCannotTell}, {"DNG.dng", Verdict::kDamaged},
                 {"Panasonic.rw2", Verdict::kDamaged},   {"FujiFilm.raf", Verdict::kCannotTell},
                 {"Minolta.mrw", Verdict::kDamaged},     {"CanonRaw.crw", Verdict::kCannotTell},
                 {"Sigma.x3f", Verdict::kCannotTell},    {"SigmaDP2.x3f", Verdict::kCannotTell}};
  for (const auto& sample : samples) {
    SCOPED_TRACE(sample.name);
    const std::string name = sample.name;
    const std::string type = name.substr(name.rfind('.') + 1);
    const Bytes file = ReadFileBytes(TestData("corpus/format-samples/" + name));
    const Validation whole = Validate(type, file);
    const Validation trailed = Validate(type, Concat({file, RandomData(5000, 3)}));
    EXPECT_NE(whole.verdict, Verdict::kIntact) << Describe(whole);
    if (!HaveJpegValidator()) {
      EXPECT_EQ(whole.verdict, sample.verdict) << Describe(whole);
    }
    EXPECT_EQ(trailed.verdict, whole.verdict) << Describe(trailed);
    const size_t cut = file.size() * 6 / 10;
    const Validation short_ = Validate(type, Prefix(file, cut));
    EXPECT_EQ(short_.verdict, Verdict::kDamaged) << Describe(short_);
    EXPECT_EQ(short_.damagedAt, static_cast<long long>(cut)) << Describe(short_);
  }
}

}  // namespace
