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

CContentHandler* Raw() {
  static CContentHandler* handler = LoadHandler("rawother.so");
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
  if (!Raw()->RecognizeData(&stream, 512, &a.recognized, &a.start, &a.end)) a = Answer();
  return a;
}

std::string Describe(const Bytes& file, bool* valid) {
  MemoryStream stream(file);
  char extension[32] = "?";
  *valid = Raw()->DescribeFile(&stream, extension, sizeof extension);
  return extension;
}

long long FindEnd(const Bytes& window) {
  MemoryStream stream(window);
  long long end = -1;
  return Raw()->FindEndOfFile(&stream, 512, &end) ? end : -1;
}

Bytes Join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes Sample(const std::string& name) {
  return ReadFileBytes(TestData("corpus/format-samples/" + name));
}

// Whole files made from the corpus samples, whose image data was cut out: each sample up to
// the end its own structure declares (the samples carry test trailers after it), and the
// Minolta one with a sensor small enough that its pixels fit.
std::map<std::string, Bytes> WholeFiles() {
  std::map<std::string, Bytes> files;
  files["Sigma.x3f"] = Sample("Sigma.x3f");
  files["SigmaDP2.x3f"] = Sample("SigmaDP2.x3f");
  const Bytes raf = Sample("FujiFilm.raf");
  files["FujiFilm.raf"] = Bytes(raf.begin(), raf.begin() + 0x961E);  // CFA offset + length
  const Bytes crw = Sample("CanonRaw.crw");
  files["CanonRaw.crw"] = Bytes(crw.begin(), crw.begin() + 0x1870);  // root directory + link
  Bytes mrw = Sample("Minolta.mrw");
  mrw.resize(0xA14);                       // header blocks up to the data offset
  const uint8_t sensor[] = {0, 16, 0, 8};  // 16 rows of 8 pixels, 16 bits each
  memcpy(&mrw[0x18], sensor, 4);
  files["Minolta.mrw"] = Join(mrw, RandomData(16 * 8 * 2, 4));
  return files;
}

std::string ExtensionOf(const std::string& name) {
  return name.substr(name.rfind('.') + 1);
}

}  // namespace

TEST(RawOtherModule, FilesEndWhereTheirOwnFieldsSay) {
  ASSERT_NE(Raw(), nullptr);
  for (const auto& [name, file] : WholeFiles()) {
    SCOPED_TRACE(name);
    const Bytes disk = Join(file, RandomData(6000, 3));
    Answer a = Recognize(disk, 0);
    EXPECT_TRUE(a.recognized);
    EXPECT_EQ(a.start, 0);
    EXPECT_EQ(a.end, static_cast<long long>(file.size()));
    EXPECT_EQ(FindEnd(disk), static_cast<long long>(file.size()));
    bool valid = false;
    EXPECT_EQ(Describe(file, &valid), ExtensionOf(name));
    EXPECT_TRUE(valid);
    // Cut short by the end of the medium: only the start, and an end inside the data.
    const Bytes cut(file.begin(), file.end() - 10);
    a = Recognize(cut, 0);
    EXPECT_TRUE(a.recognized);
    EXPECT_EQ(a.end, -1);
    EXPECT_LE(FindEnd(cut), static_cast<long long>(cut.size()));
  }
  // The untouched samples: recognised and named.
  for (const char* name : {"CanonRaw.crw", "FujiFilm.raf", "Minolta.mrw", "Sigma.x3f"}) {
    bool valid = false;
    EXPECT_TRUE(Recognize(Sample(name), 0).recognized) << name;
    EXPECT_EQ(Describe(Sample(name), &valid), ExtensionOf(name));
  }
}

TEST(RawOtherModule, SignaturesInRandomDataAreRefused) {
  ASSERT_NE(Raw(), nullptr);
  Bytes disk = RandomData(40 * 512, 9);
  const std::string magics[] = {std::string("II\x1a\0\0\0HEAPCCDR", 14), "FUJIFILMCCD-RAW ",
                                std::string("\0MRM", 4), "FOVb",
                                std::string("MM\0\0\0\x1aHEAPCCDR", 14)};
  for (size_t i = 0; i < 40; ++i) {
    const std::string& m = magics[i % 5];
    memcpy(&disk[i * 512], m.data(), m.size());
  }
  for (long long block = 0; block < 40; ++block)
    EXPECT_FALSE(Recognize(disk, block * 512).recognized) << block;
  // Unaligned: every format at odd bytes inside a block, first and last bytes included.
  ASSERT_TRUE(Raw()->SetIntPropValue("Unaligned", 1));
  for (const auto& [name, file] : WholeFiles()) {
    for (long long shift : {1, 45, 300, 511}) {
      const Bytes disk = Join(Join(RandomData(512 + shift, 8), file), RandomData(2000, 10));
      Answer a = Recognize(disk, 512);
      EXPECT_EQ(a.start, 512 + shift) << name;
      EXPECT_EQ(a.end, static_cast<long long>(512 + shift + file.size())) << name;
      EXPECT_FALSE(Recognize(disk, 0).recognized) << name;
    }
  }
  ASSERT_TRUE(Raw()->SetIntPropValue("Unaligned", 0));
}

TEST(RawOtherModule, ScanRecoversIntactFilesByteIdentical) {
  ASSERT_NE(Raw(), nullptr);
  ImageBuilder image(23);
  std::map<std::string, std::string> intact;
  image.AddRandom(2000);
  int n = 0;
  for (const auto& [name, file] : WholeFiles()) {
    image.Align();
    image.AddFile(name, file);
    intact[name] = ExtensionOf(name);
    if (++n % 2 == 0) image.AddRandom(900);
  }
  image.Align();
  Bytes lookalike = RandomData(2048, 31);
  memcpy(lookalike.data(), "FOVb", 4);
  image.bytes().insert(image.bytes().end(), lookalike.begin(), lookalike.end());
  image.AddZeros(4096);
  // Last: a RAF cut inside its CFA header by the end of the medium.
  const Bytes raf = WholeFiles().at("FujiFilm.raf");
  const Bytes cut(raf.begin(), raf.begin() + 0x4000);
  image.AddFile("cut.raf", cut);
  const std::vector<Recovered> found = ScanImage({"rawother.so"}, image.Finish());
  CarveTally t = CheckCarve(image.placed(), intact, {{"cut.raf", long(cut.size())}}, found);
  std::printf("rawother: %d files, %d byte-identical, %d broken, %d extra\n", t.files, t.identical,
              t.broken, t.extra);
  // Unaligned: the same files back to back at odd offsets, found with Unaligned=1.
  ImageBuilder shifted(98);
  shifted.AddRandom(1001);
  std::map<std::string, std::string> all;
  for (const auto& [name, file] : WholeFiles()) {
    shifted.AddFile(name, file);
    shifted.AddRandom(37);
    all[name] = ExtensionOf(name);
  }
  ASSERT_TRUE(Raw()->SetIntPropValue("Unaligned", 1));
  const std::vector<Recovered> unaligned = ScanImage({"rawother.so"}, shifted.Finish());
  ASSERT_TRUE(Raw()->SetIntPropValue("Unaligned", 0));
  t = CheckCarve(shifted.placed(), all, {}, unaligned);
  std::printf("rawother unaligned: %d files, %d byte-identical, %d extra\n", t.files, t.identical,
              t.extra);
}
