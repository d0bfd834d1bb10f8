#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "CarveCheck.h"
#include "MemoryStream.h"
#include "ScanHarness.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<uint8_t>;

CContentHandler* Tiff() {
  static CContentHandler* handler = LoadHandler("tiff.so");
  return handler;
}

struct Answer {
  bool recognized = false;
  long long start = -1, end = -1;
};

Answer Recognize(const Bytes& disk, long long position) {
  MemoryStream stream(disk);
  stream.SetPosition(position);
  Answer a;
  if (!Tiff()->RecognizeData(&stream, 512, &a.recognized, &a.start, &a.end)) a = Answer();
  return a;
}

std::string Describe(const Bytes& file, bool* valid) {
  MemoryStream stream(file);
  char extension[32] = "?";
  *valid = Tiff()->DescribeFile(&stream, extension, sizeof extension);
  return extension;
}

long long FindEnd(const Bytes& window) {
  MemoryStream stream(window);
  long long end = -1;
  return Tiff()->FindEndOfFile(&stream, 512, &end) ? end : -1;
}

Bytes Join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// TIFFs written by ImageMagick in the flavours the module must measure, made once.
const std::map<std::string, Bytes>& Generated() {
  static std::map<std::string, Bytes> files = [] {
    std::map<std::string, Bytes> made;
    if (!HaveTool("convert")) return made;
    const std::string dir = ScratchDir("tiff-module");
    const std::string base = "convert -seed 7 -size 160x120 plasma:fractal ";
    const std::map<std::string, std::string> recipes = {
        {"msb.tif", base + "-define tiff:endian=msb"},
        {"lsb.tif", base + "-define tiff:endian=lsb"},
        {"lzw.tif", base + "-compress lzw"},
        {"zip.tif", base + "-compress zip -define tiff:endian=msb"},
        {"jpeg.tif", base + "-compress jpeg"},
        {"tiled.tif", base + "-define tiff:tile-geometry=64x64"},
        {"deep.tif", base + "-depth 16 -compress none"},
        {"multi.tif", base + "\\( +clone -flip \\) \\( +clone -flop \\) -adjoin"},
    };
    for (const auto& [name, recipe] : recipes) {
      if (!Run(recipe + " " + dir + "/" + name)) return std::map<std::string, Bytes>();
      made[name] = ReadFileBytes(dir + "/" + name);
    }
    if (Run(base + " TIFF64:" + dir + "/big.tif"))
      made["big.tif"] = ReadFileBytes(dir + "/big.tif");
    return made;
  }();
  return files;
}

std::map<std::string, Bytes> CorpusTiffs() {
  std::map<std::string, Bytes> files;
  for (const char* name :
       {"Arbitro.tiff", "BSG1.tiff", "Jobagent.tiff", "Rudless.tiff", "Tless0.tiff"})
    files[name] = ReadFileBytes(TestData(std::string("corpus/tiff/") + name));
  return files;
}

// A minimal little-endian TIFF: header, one IFD at 8 with `entries` (tag, type, count, value),
// then `next` as the link to the following IFD.
Bytes MinimalTiff(const std::vector<std::vector<uint32_t>>& entries, uint32_t next) {
  Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put = [&b](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  put(uint32_t(entries.size()), 2);
  for (const auto& e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(e[2], 4);
    put(e[3], 4);
  }
  put(next, 4);
  return b;
}

}  // namespace

TEST(TiffModule, WholeFilesAreMeasuredExactlyAndNamed) {
  ASSERT_NE(Tiff(), nullptr);
  if (Generated().empty()) GTEST_SKIP() << "ImageMagick convert missing";
  std::map<std::string, Bytes> files = Generated();
  for (auto& [name, bytes] : CorpusTiffs()) files[name] = bytes;
  EXPECT_EQ(Generated().at("msb.tif")[0], 'M');
  EXPECT_EQ(Generated().at("lsb.tif")[0], 'I');
  for (const auto& [name, file] : files) {
    SCOPED_TRACE(name);
    // Random data after the file: the end must come from the structure alone.
    const Bytes disk = Join(file, RandomData(5000, 3));
    Answer a = Recognize(disk, 0);
    EXPECT_TRUE(a.recognized);
    EXPECT_EQ(a.start, 0);
    EXPECT_EQ(a.end, static_cast<long long>(file.size()));
    EXPECT_EQ(FindEnd(disk), static_cast<long long>(file.size()));
    bool valid = false;
    EXPECT_EQ(Describe(file, &valid), "tif");
    EXPECT_TRUE(valid);
  }
  // Camera RAWs (their image data cut out): recognised and named from structure and maker.
  const std::map<std::string, std::string> raws = {
      {"CanonRaw.cr2", "cr2"},  {"Nikon.nef", "nef"},    {"DNG.dng", "dng"},
      {"Panasonic.rw2", "rw2"}, {"ExifTool.tif", "tif"}, {"PhaseOne.iiq", "iiq"}};
  for (const auto& [name, extension] : raws) {
    SCOPED_TRACE(name);
    const Bytes file = ReadFileBytes(TestData("corpus/format-samples/" + name));
    EXPECT_TRUE(Recognize(Join(file, Bytes(4096, 0)), 0).recognized);
    bool valid = false;
    EXPECT_EQ(Describe(file, &valid), extension);
  }
}

TEST(TiffModule, CutFilesStayOpenAndEndInsideTheirData) {
  ASSERT_NE(Tiff(), nullptr);
  if (Generated().empty()) GTEST_SKIP() << "ImageMagick convert missing";
  // ImageMagick writes each page's IFD after its strips: a cut after the second page's IFD
  // leaves a link into whatever follows.
  const Bytes& multi = Generated().at("multi.tif");
  const size_t cut = multi.size() * 3 / 4;
  const Bytes kept(multi.begin(), multi.begin() + long(cut));
  for (const Bytes& after : {RandomData(80000, 5), Bytes(80000, 0)}) {
    const Bytes disk = Join(kept, after);
    Answer a = Recognize(disk, 0);
    EXPECT_TRUE(a.recognized);
    EXPECT_EQ(a.start, 0);
    EXPECT_EQ(a.end, -1);
    const long long end = FindEnd(disk);
    EXPECT_GT(end, static_cast<long long>(multi.size() / 3));
    EXPECT_LE(end, static_cast<long long>(cut));
    bool valid = true;
    Describe(Bytes(disk.begin(), disk.begin() + end), &valid);
    EXPECT_FALSE(valid);
  }
  // Cut inside the last strip of a file whose IFD comes first: off the end of the source.
  const Bytes& cr2 = ReadFileBytes(TestData("corpus/format-samples/ExifTool.tif"));
  const Bytes short_file(cr2.begin(), cr2.end() - 100);
  EXPECT_EQ(Recognize(short_file, 0).end, -1);
  EXPECT_LE(FindEnd(short_file), static_cast<long long>(short_file.size()));
}

TEST(TiffModule, RefusesLookalikesAndBoundsHostileStructures) {
  ASSERT_NE(Tiff(), nullptr);
  // Every flavour's magic with a plausible first-IFD offset, planted at block starts of
  // random data (compressed data looks like this): nothing.
  Bytes disk = RandomData(64 * 512, 11);
  const uint8_t planted[][8] = {
      {'I', 'I', 42, 0, 8, 0, 0, 0},       {'M', 'M', 0, 42, 0, 0, 0, 8},
      {'I', 'I', 43, 0, 8, 0, 0, 0},       {'I', 'I', 'R', 'O', 8, 0, 0, 0},
      {'I', 'I', 'U', 0, 24, 0, 0, 0},     {'M', 'M', 'O', 'R', 0, 0, 0, 8},
      {'I', 'I', 42, 0, 0x10, 0x20, 0, 0}, {'I', 'I', 'R', 'S', 8, 0, 0, 0}};
  for (size_t i = 0; i < 64; ++i) memcpy(&disk[i * 512], planted[i % 8], 8);
  for (long long block = 0; block < 64; ++block)
    EXPECT_FALSE(Recognize(disk, block * 512).recognized) << block;

  // An IFD chain that links back to itself ends; the file is what the IFD covers.
  const Bytes cycle = MinimalTiff({{256, 3, 1, 16}, {257, 3, 1, 16}}, 8);
  Answer a = Recognize(Join(cycle, RandomData(2000, 12)), 0);
  EXPECT_TRUE(a.recognized);
  EXPECT_EQ(a.end, static_cast<long long>(cycle.size()));

  // A billion strips claimed: measured without reading them, and not believed complete.
  const Bytes huge = MinimalTiff({{256, 3, 1, 16}, {273, 4, 0x40000000, 100}, {279, 4, 1, 5}}, 0);
  a = Recognize(Join(huge, RandomData(2000, 13)), 0);
  EXPECT_TRUE(a.recognized);
  EXPECT_EQ(a.end, -1);
  // Entries of unknown types in the first IFD: not a TIFF.
  EXPECT_FALSE(Recognize(MinimalTiff({{256, 3, 1, 16}, {257, 99, 1, 16}}, 0), 0).recognized);
}

TEST(TiffModule, UnalignedStartsAreFoundExactly) {
  ASSERT_NE(Tiff(), nullptr);
  const Bytes file = ReadFileBytes(TestData("corpus/tiff/Arbitro.tiff"));
  for (long long shift : {1, 77, 511}) {
    const Bytes disk = Join(Join(RandomData(512 + shift, 21), file), RandomData(3000, 22));
    EXPECT_FALSE(Recognize(disk, 512).recognized);
    ASSERT_TRUE(Tiff()->SetIntPropValue("Unaligned", 1));
    Answer a = Recognize(disk, 512);
    EXPECT_TRUE(a.recognized);
    EXPECT_EQ(a.start, 512 + shift);
    EXPECT_EQ(a.end, static_cast<long long>(512 + shift + file.size()));
    EXPECT_FALSE(Recognize(disk, 0).recognized);
    ASSERT_TRUE(Tiff()->SetIntPropValue("Unaligned", 0));
  }
}

TEST(TiffModule, ScanRecoversIntactFilesByteIdentical) {
  ASSERT_NE(Tiff(), nullptr);
  if (Generated().empty()) GTEST_SKIP() << "ImageMagick convert missing";
  ImageBuilder image(99);
  std::map<std::string, std::string> intact;
  image.AddRandom(3000);
  // Sector-aligned with random gaps, then back to back.
  int n = 0;
  for (const auto& [name, file] : Generated()) {
    image.Align();
    image.AddFile(name, file);
    intact[name] = "tif";
    if (++n % 2 == 0) image.AddRandom(700);
  }
  for (const auto& [name, file] : CorpusTiffs()) {
    image.Align();
    image.AddFile(name, file);
    intact[name] = "tif";
  }
  image.Align();
  // A signature planted in random data.
  Bytes lookalike = RandomData(4096, 31);
  memcpy(lookalike.data(), "II*\0\x08\0\0\0", 8);
  image.bytes().insert(image.bytes().end(), lookalike.begin(), lookalike.end());
  image.AddZeros(8192);
  // Last: a multi-page TIFF cut short by the end of the medium.
  const Bytes& multi = Generated().at("multi.tif");
  const Bytes kept(multi.begin(), multi.begin() + long(multi.size() * 3 / 4));
  image.AddFile("cut.tif", kept);
  const std::vector<Recovered> found = ScanImage({"tiff.so"}, image.Finish());
  CarveTally t = CheckCarve(image.placed(), intact, {{"cut.tif", long(kept.size())}}, found);
  std::printf("tiff: %d files, %d byte-identical, %d broken, %d extra\n", t.files, t.identical,
              t.broken, t.extra);

  // Unaligned: the same files back to back at odd offsets, found with Unaligned=1.
  ImageBuilder shifted(98);
  shifted.AddRandom(1001);
  for (const auto& [name, file] : Generated()) {
    shifted.AddFile(name, file);
    shifted.AddRandom(37);
  }
  ASSERT_TRUE(Tiff()->SetIntPropValue("Unaligned", 1));
  const std::vector<Recovered> unaligned = ScanImage({"tiff.so"}, shifted.Finish());
  ASSERT_TRUE(Tiff()->SetIntPropValue("Unaligned", 0));
  std::map<std::string, std::string> generated;
  for (const auto& [name, file] : Generated()) generated[name] = "tif";
  t = CheckCarve(shifted.placed(), generated, {}, unaligned);
  std::printf("tiff unaligned: %d files, %d byte-identical, %d extra\n", t.files, t.identical,
              t.extra);
}
