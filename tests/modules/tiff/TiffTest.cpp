#include <tuple>

#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

// TIFFs written by ImageMagick in the flavours the module must measure; one rewritten by
// ExifTool (IFDs first, EXIF and GPS IFDs, a thumbnail, image data padded to even lengths).
const Samples& Generated() {
  static const Samples made = [] {
    const std::string plasma = "convert -seed 7 -size 161x121 plasma:fractal ";
    std::vector<std::pair<std::string, std::string>> recipes = {
        {"msb.tif", "-define tiff:endian=msb"},
        {"lsb.tif", "-define tiff:endian=lsb"},
        {"lzw.tif", "-compress lzw"},
        {"zip.tif", "-compress zip -define tiff:endian=msb"},
        {"jpeg.tif", "-compress jpeg"},
        {"tiled.tif", "-define tiff:tile-geometry=64x64"},
        {"deep.tif", "-depth 16 -compress none"},
        {"multi.tif", "\\( +clone -flip \\) \\( +clone -flop \\) -adjoin"},
        {"big.tif", "-define tiff:endian=lsb TIFF64:- >"},
        {"bigmsb.tif", "-define tiff:endian=msb -compress lzw TIFF64:- >"},
        {"exif.tif",
         "\\( +clone -flip \\) -adjoin m.tif && exiftool -q -Make=NIKON "
         "-GPSLatitude=10.5 -GPSLatitudeRef=N -ExposureTime=0.01 "
         "'-ThumbnailImage<=" +
             TestData("corpus/jpg/Canon_40D.jpg") + "' m.tif -o"}};
    for (auto& recipe : recipes) recipe.second = plasma + recipe.second;
    Samples files = MakeMedia("tiff", recipes);
    for (const char* name : {"Arbitro.tiff", "BSG1.tiff", "Jobagent.tiff", "Rudless.tiff"})
      files.push_back({name, ReadFileBytes(TestData(std::string("corpus/tiff/") + name)), "tif"});
    return files;
  }();
  return made;
}

// A little-endian TIFF: one IFD at 8 with entries {tag, type, count, value}, linked to `next`.
Bytes MinimalTiff(const std::vector<std::vector<uint32_t>>& entries, uint32_t next) {
  Bytes b = Join({'I', 'I', 42, 0, 8, 0, 0, 0}, LE(entries.size(), 2));
  for (const auto& e : entries) b = Concat({b, LE(e[0], 2), LE(e[1], 2), LE(e[2]), LE(e[3])});
  return Join(b, LE(next));
}

// Every flavour whole, sector-aligned and back to back, then at odd offsets (found at their
// exact byte only with Unaligned set, first and last bytes of a block included); every
// flavour's magic with a plausible first-IFD offset, and an IFD whose strip lies beyond the
// next file's start, planted in random data; a JPEG's EXIF
// block, and the Nikon MakerNote inside it, are no files; a multi-page file cut after its
// second page's IFD (the link to the third leads into what follows), before random data or
// zeros or by the end of the medium. With a small MaxSize every end comes from the end search.
TEST(TiffModule, ScanRecoversEveryFlavour) {
  if (Generated().size() != 15) GTEST_SKIP() << "ImageMagick or ExifTool missing";
  const Bytes& multi = Find(Generated(), "multi.tif");
  const Bytes kept = Prefix(multi, multi.size() * 3 / 4);
  Layout layout(99);
  layout.Random(3000).Spread(Generated()).Random(1001).Packed(Generated());
  const Bytes arbitro = ReadFileBytes(TestData("corpus/tiff/Arbitro.tiff"));
  for (size_t shift : {1, 77, 511}) layout.Align().Random(shift).Whole({"shifted", arbitro, "tif"});
  for (const char* name : {"Canon_40D.jpg", "DSCN0010.jpg"})
    layout.Align().Junk(ReadFileBytes(TestData(std::string("corpus/jpg/") + name)));
  layout.Planted({Bytes{'I', 'I', '*', 0, 8, 0, 0, 0},
                  {'M', 'M', 0, '*', 0, 0, 0, 8},
                  {'I', 'I', '+', 0, 8, 0, 0, 0},
                  {'I', 'I', 'R', 'O', 8, 0, 0, 0},
                  {'I', 'I', 'U', 0, 0x18, 0, 0, 0},
                  {'M', 'M', 'O', 'R', 0, 0, 0, 8},
                  MinimalTiff({{256, 3, 1, 64}, {273, 4, 1, 8192}, {279, 4, 1, 4096}}, 0)},
                 42);
  const long long least = static_cast<long long>(multi.size() / 3);
  layout.Align().Cut("cut-random", kept, "tif", least).Random(80000);
  layout.Align().Cut("cut-zeros", kept, "tif", least).Zeros(80000);
  layout.Align().Cut("cut-end", kept, "tif", least);
  ExpectCarvedEitherWay("tiff", layout);
  Layout open(7);  // every end from the end search
  ExpectCarved("tiff", open.Spread(Generated()), false, 4);
}

// Structures the walk must not believe or follow, as first answers on a sector of their own.
TEST(TiffModule, HostileStructuresAndFilesWrittenOver) {
  CContentHandler* tiff = Handler("tiff");
  // A strip of odd length last: a zero pad byte after it belongs to the file, other data not.
  const Bytes odd = Join(MinimalTiff({{256, 3, 1, 1}, {273, 4, 1, 50}, {279, 4, 1, 7}}, 0),
                         Bytes{1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(Recognize(tiff, Join(odd, Bytes{0, 9, 9}), 0).end, 58);
  EXPECT_EQ(Recognize(tiff, Join(odd, Bytes{7, 0, 9}), 0).end, 57);
  // A BigTIFF whose IFD follows its 16-byte header, with one 6-byte strip after the IFD.
  Bytes big = {'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
  for (const auto& [tag, type, value] : {std::tuple{256, 3, 1}, {273, 16, 92}, {279, 16, 6}})
    big = Concat({big, LE(tag, 2), LE(type, 2), LE(1, 8), LE(value, 8)});
  big.resize(big.size() + 8 + 6, 0);  // no next IFD; the strip
  EXPECT_EQ(Recognize(tiff, Join(big, RandomData(2000, 14)), 0).end, 98);
  // Exactly MaxSize long: still measured whole.
  const Bytes fits = Join(MinimalTiff({{256, 3, 1, 1}, {273, 4, 1, 50}, {279, 4, 1, 4046}}, 0),
                          RandomData(4046, 15));
  ASSERT_TRUE(tiff->SetIntPropValue("MaxSize", 4));
  EXPECT_EQ(Recognize(tiff, Join(fits, RandomData(100, 16)), 0).end, 4096);
  EXPECT_TRUE(Describe(tiff, fits));
  ASSERT_TRUE(tiff->SetIntPropValue("MaxSize", DefaultMaxSize(tiff)));
  // An IFD linked to itself ends the walk; the file is what the IFD covers.
  const Bytes cycle = MinimalTiff({{256, 3, 1, 16}, {257, 3, 1, 16}}, 8);
  EXPECT_EQ(Recognize(tiff, Join(cycle, RandomData(2000, 12)), 0).end,
            static_cast<long long>(cycle.size()));
  // A billion strips claimed: not read one by one, and not believed.
  const Bytes huge = MinimalTiff({{256, 3, 1, 16}, {273, 4, 0x40000000, 100}, {279, 4, 1, 5}}, 0);
  EXPECT_FALSE(Recognize(tiff, Join(huge, RandomData(2000, 13)), 0).recognized);
  // An entry of unknown type in the first IFD: not a TIFF.
  EXPECT_FALSE(Recognize(tiff, MinimalTiff({{256, 3, 1, 16}, {257, 99, 1, 16}}, 0), 0).recognized);
  // Camera RAWs (image data cut out): recognised, named from structure and maker tags; one
  // left without the start of any image block is no file, but still named.
  ExpectSamplesNamed("tiff", {{"CanonRaw.cr2", "cr2"},
                              {"Nikon.nef", "nef"},
                              {"DNG.dng", "dng"},
                              {"ExifTool.tif", "tif"},
                              {"PhaseOne.iiq", "iiq"}});
  const Bytes rw2 = ReadFileBytes(TestData("corpus/format-samples/Panasonic.rw2"));
  std::string extension;
  Describe(tiff, rw2, &extension);
  EXPECT_EQ(extension, "rw2");
  EXPECT_FALSE(Recognize(tiff, rw2, 0).recognized);
  // A TIFF whose clusters were reused ends where the photo written over it begins, marked
  // damaged, and the photo comes back whole; the same photo as the TIFF's own preview, on its
  // second sector, is no other file.
  const Bytes photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  Bytes header =
      MinimalTiff({{256, 3, 1, 128}, {257, 3, 1, 128}, {273, 4, 1, 512}, {279, 4, 1, 65536}}, 0);
  header.resize(512, 0);
  header = Join(header, RandomData(40 * 512, 31));  // the IFD and 40 blocks of its strip
  Bytes owner = MinimalTiff({{256, 3, 1, 128},
                             {257, 3, 1, 128},
                             {273, 4, 1, 512 + 16 * 512},
                             {279, 4, 1, 4096},
                             {513, 4, 1, 512},
                             {514, 4, 1, uint32_t(photo.size())}},
                            0);
  owner.resize(512, 0);
  owner = Concat({owner, photo, Bytes(16 * 512 - photo.size(), 0), RandomData(4096, 33)});
  Layout layout(5);
  layout.Cut("written-over", header, "tif").EndsHere().Whole({"photo", photo, "jpg"});
  layout.Random(65536 + 4096).Align().Whole({"owner", owner, "tif"}).Random(3000);
  ExpectCarved("tiff", layout, false, 0, {"jpeg"});
}

}  // namespace
