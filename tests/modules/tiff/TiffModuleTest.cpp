#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/CarveCheck.h"
#include "tests/support/HandlerCalls.h"
#include "tests/support/ScanHarness.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

CContentHandler* Tiff() {
  static CContentHandler* handler = LoadHandler("tiff.so");
  return handler;
}

// TIFFs written by ImageMagick in the flavours the module must measure, made once.
const std::map<std::string, Bytes>& Generated() {
  static std::map<std::string, Bytes> files = [] {
    std::map<std::string, Bytes> made;
    if (!HaveTool("convert")) return made;
    const std::string dir = ScratchDir("tiff-module");
    const std::string base = "convert -seed 7 -size 161x121 plasma:fractal ";
    const std::map<std::string, std::string> recipes = {
        {"msb.tif", "-define tiff:endian=msb"},
        {"lsb.tif", "-define tiff:endian=lsb"},
        {"lzw.tif", "-compress lzw"},
        {"zip.tif", "-compress zip -define tiff:endian=msb"},
        {"jpeg.tif", "-compress jpeg"},
        {"tiled.tif", "-define tiff:tile-geometry=64x64"},
        {"deep.tif", "-depth 16 -compress none"},
        {"multi.tif", "\\( +clone -flip \\) \\( +clone -flop \\) -adjoin"},
        {"big.tif", "-define tiff:endian=lsb TIFF64:"},
        {"bigmsb.tif", "-define tiff:endian=msb -compress lzw TIFF64:"},
    };
    for (const auto& [name, options] : recipes) {
      if (!Run(base + options + (options.back() == ':' ? "" : " ") + dir + "/" + name)) return made;
      made[name] = ReadFileBytes(dir + "/" + name);
    }
    // Rewritten by ExifTool: IFDs first, EXIF and GPS IFDs, a thumbnail, image data padded
    // to even lengths.
    const std::string exif = dir + "/exif.tif";
    if (HaveTool("exiftool") &&
        Run("cp " + dir + "/multi.tif " + exif +
            " && exiftool -q -overwrite_original -Make=NIKON " +
            "-GPSLatitude=10.5 -GPSLatitudeRef=N -ExposureTime=0.01 '-ThumbnailImage<=" +
            TestData("corpus/jpg/Canon_40D.jpg") + "' " + exif))
      made["exif.tif"] = ReadFileBytes(exif);
    return made;
  }();
  return files;
}

std::map<std::string, Bytes> AllTiffs() {
  std::map<std::string, Bytes> files = Generated();
  for (const char* name : {"Arbitro.tiff", "BSG1.tiff", "Jobagent.tiff", "Rudless.tiff"})
    files[name] = ReadFileBytes(TestData(std::string("corpus/tiff/") + name));
  return files;
}

// A little-endian TIFF: one IFD at 8 with entries {tag, type, count, value}, linked to `next`.
Bytes MinimalTiff(const std::vector<std::vector<uint32_t>>& entries, uint32_t next) {
  Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put = [&b](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  put(uint32_t(entries.size()), 2);
  for (const auto& e : entries) put(e[0], 2), put(e[1], 2), put(e[2], 4), put(e[3], 4);
  put(next, 4);
  return b;
}

}  // namespace

TEST(TiffModule, WholeFilesAreMeasuredExactlyAndNamed) {
  ASSERT_NE(Tiff(), nullptr);
  if (Generated().size() < 10) GTEST_SKIP() << "ImageMagick convert missing";
  EXPECT_EQ(Generated().at("msb.tif")[0], 'M');
  EXPECT_EQ(Generated().at("big.tif")[2], 43);
  for (const auto& [name, file] : AllTiffs()) {
    SCOPED_TRACE(name);
    // Random data after the file: the end must come from the structure alone.
    const Bytes disk = Join(file, RandomData(5000, 3));
    const Recognition r = Recognize(Tiff(), disk, 0);
    EXPECT_TRUE(r.recognized && r.start == 0);
    EXPECT_EQ(r.end, static_cast<long long>(file.size()));
    EXPECT_EQ(FindEnd(Tiff(), disk), static_cast<long long>(file.size()));
    std::string extension;
    EXPECT_TRUE(Describe(Tiff(), file, &extension));
    EXPECT_EQ(extension, "tif");
  }
  // A strip of odd length last: a zero pad byte after it belongs to the file, other data not.
  const Bytes odd =
      Join(MinimalTiff({{256, 3, 1, 1}, {273, 4, 1, 50}, {279, 4, 1, 5}}, 0), Bytes{1, 2, 3, 4, 5});
  EXPECT_EQ(Recognize(Tiff(), Join(odd, Bytes{0, 9, 9}), 0).end, 56);
  EXPECT_EQ(Recognize(Tiff(), Join(odd, Bytes{7, 0, 9}), 0).end, 55);
  // Camera RAWs (image data cut out): recognised, named from structure and maker tags.
  for (const auto& [name, expected] : std::map<std::string, std::string>{{"CanonRaw.cr2", "cr2"},
                                                                         {"Nikon.nef", "nef"},
                                                                         {"DNG.dng", "dng"},
                                                                         {"Panasonic.rw2", "rw2"},
                                                                         {"ExifTool.tif", "tif"},
                                                                         {"PhaseOne.iiq", "iiq"}}) {
    const Bytes file = ReadFileBytes(TestData("corpus/format-samples/" + name));
    EXPECT_TRUE(Recognize(Tiff(), Join(file, Bytes(4096, 0)), 0).recognized) << name;
    std::string extension;
    Describe(Tiff(), file, &extension);
    EXPECT_EQ(extension, expected);
  }
}

TEST(TiffModule, CutFilesLookalikesAndHostileStructures) {
  ASSERT_NE(Tiff(), nullptr);
  if (Generated().size() < 10) GTEST_SKIP() << "ImageMagick convert missing";
  // ImageMagick writes each page's IFD after its strips: cut after the second page's IFD, the
  // link to the third leads into whatever follows. Start only; the end stays inside the data.
  const Bytes& multi = Generated().at("multi.tif");
  const Bytes kept = Prefix(multi, multi.size() * 3 / 4);
  for (const Bytes& after : {RandomData(80000, 5), Bytes(80000, 0), Bytes()}) {
    const Bytes disk = Join(kept, after);
    const Recognition r = Recognize(Tiff(), disk, 0);
    EXPECT_TRUE(r.recognized && r.start == 0 && r.end == -1);
    const long long end = FindEnd(Tiff(), disk);
    EXPECT_GT(end, static_cast<long long>(multi.size() / 3));
    EXPECT_LE(end, static_cast<long long>(kept.size()));
    EXPECT_FALSE(Describe(Tiff(), Prefix(disk, size_t(end))));
  }
  // Larger than MaxSize: start only; the end search in a window still measures it exactly.
  ASSERT_TRUE(Tiff()->SetIntPropValue("MaxSize", 64));
  EXPECT_EQ(Recognize(Tiff(), multi, 0).end, -1);
  EXPECT_EQ(FindEnd(Tiff(), Join(multi, RandomData(1000, 6))),
            static_cast<long long>(multi.size()));
  int defaultSize = 0;
  ASSERT_TRUE(Tiff()->GetIntPropDefault("MaxSize", &defaultSize));
  ASSERT_TRUE(Tiff()->SetIntPropValue("MaxSize", defaultSize));
  // Every flavour's magic with a plausible first-IFD offset at block starts of random data.
  Bytes disk = RandomData(64 * 512, 11);
  const char* planted[] = {"II*\0\x08\0\0\0", "MM\0*\0\0\0\x08", "II+\0\x08\0\0\0",
                           "IIRO\x08\0\0\0",  "IIU\0\x18\0\0\0", "MMOR\0\0\0\x08"};
  for (size_t i = 0; i < 64; ++i) memcpy(&disk[i * 512], planted[i % 6], 8);
  for (long long block = 0; block < 64; ++block)
    EXPECT_FALSE(Recognize(Tiff(), disk, block * 512).recognized) << block;
  // An IFD linked to itself ends the walk; the file is what the IFD covers.
  const Bytes cycle = MinimalTiff({{256, 3, 1, 16}, {257, 3, 1, 16}}, 8);
  EXPECT_EQ(Recognize(Tiff(), Join(cycle, RandomData(2000, 12)), 0).end,
            static_cast<long long>(cycle.size()));
  // A billion strips claimed: not read one by one, and not believed.
  const Bytes huge = MinimalTiff({{256, 3, 1, 16}, {273, 4, 0x40000000, 100}, {279, 4, 1, 5}}, 0);
  const Recognition r = Recognize(Tiff(), Join(huge, RandomData(2000, 13)), 0);
  EXPECT_TRUE(r.recognized && r.end == -1);
  // An entry of unknown type in the first IFD: not a TIFF.
  EXPECT_FALSE(
      Recognize(Tiff(), MinimalTiff({{256, 3, 1, 16}, {257, 99, 1, 16}}, 0), 0).recognized);
}

TEST(TiffModule, UnalignedStartsAreFoundExactly) {
  ASSERT_NE(Tiff(), nullptr);
  const Bytes file = ReadFileBytes(TestData("corpus/tiff/Arbitro.tiff"));
  for (long long shift : {1, 77, 511}) {
    const Bytes disk = Join(Join(RandomData(512 + shift, 21), file), RandomData(3000, 22));
    EXPECT_FALSE(Recognize(Tiff(), disk, 512).recognized);
    ASSERT_TRUE(Tiff()->SetIntPropValue("Unaligned", 1));
    const Recognition r = Recognize(Tiff(), disk, 512);
    EXPECT_EQ(r.start, 512 + shift);
    EXPECT_EQ(r.end, static_cast<long long>(512 + shift + file.size()));
    EXPECT_FALSE(Recognize(Tiff(), disk, 0).recognized);
    ASSERT_TRUE(Tiff()->SetIntPropValue("Unaligned", 0));
  }
  // A JPEG's EXIF block, and the Nikon MakerNote inside it, are TIFF structures, not files.
  ASSERT_TRUE(Tiff()->SetIntPropValue("Unaligned", 1));
  for (const char* name : {"Canon_40D.jpg", "DSCN0010.jpg"}) {
    const Bytes photo = ReadFileBytes(TestData(std::string("corpus/jpg/") + name));
    for (long long block = 0; block < 8; ++block)
      EXPECT_FALSE(Recognize(Tiff(), photo, block * 512).recognized) << name << " " << block;
  }
  ASSERT_TRUE(Tiff()->SetIntPropValue("Unaligned", 0));
}

TEST(TiffModule, ScansRecoverIntactFilesByteIdentical) {
  ASSERT_NE(Tiff(), nullptr);
  if (Generated().size() < 10) GTEST_SKIP() << "ImageMagick convert missing";
  std::map<std::string, PlacedFile> files;
  for (const auto& [name, bytes] : AllTiffs()) files[name] = {bytes, "tif"};
  const Bytes& multi = Generated().at("multi.tif");
  CheckScans("tiff", Tiff(), files, Bytes{'I', 'I', 42, 0, 8, 0, 0, 0},
             Prefix(multi, multi.size() * 3 / 4));
}

// A TIFF whose clusters were reused ends where the file written over it begins, marked
// damaged, and the scan finds that file whole; a preview of its own at a block start is no
// other file.
TEST(TiffModule, AFileWrittenOverEndsWhereTheNextOneBegins) {
  ASSERT_NE(Tiff(), nullptr);
  const Bytes photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  Bytes header =
      MinimalTiff({{256, 3, 1, 128}, {257, 3, 1, 128}, {273, 4, 1, 512}, {279, 4, 1, 65536}}, 0);
  header.resize(512, 0);
  ExpectWrittenOverFileEndsWhereNextBegins("tiff", Tiff(), Join(header, RandomData(65536, 31)),
                                           41 * 512);  // the IFD and 40 blocks of its strip

  // The same photo as the TIFF's own preview, on its second block: the TIFF is whole.
  Bytes owner = MinimalTiff({{256, 3, 1, 128},
                             {257, 3, 1, 128},
                             {273, 4, 1, 512 + 16 * 512},
                             {279, 4, 1, 4096},
                             {513, 4, 1, 512},
                             {514, 4, 1, uint32_t(photo.size())}},
                            0);
  owner.resize(512, 0);
  Bytes preview = photo;
  preview.resize(16 * 512, 0);
  const Bytes whole = Join(Join(owner, preview), RandomData(4096, 33));
  EXPECT_EQ(Recognize(Tiff(), Join(whole, RandomData(3000, 34)), 0).end,
            static_cast<long long>(whole.size()));
}
