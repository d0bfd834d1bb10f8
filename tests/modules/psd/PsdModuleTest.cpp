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

CContentHandler* Psd() {
  static CContentHandler* handler = LoadHandler("psd.so");
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
  if (!Psd()->RecognizeData(&stream, 512, &a.recognized, &a.start, &a.end)) a = Answer();
  return a;
}

std::string Describe(const Bytes& file, bool* valid) {
  MemoryStream stream(file);
  char extension[32] = "?";
  *valid = Psd()->DescribeFile(&stream, extension, sizeof extension);
  return extension;
}

long long FindEnd(const Bytes& window) {
  MemoryStream stream(window);
  long long end = -1;
  return Psd()->FindEndOfFile(&stream, 512, &end) ? end : -1;
}

Bytes Join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// Documents written by ImageMagick: raw and RLE image data, grey, 16-bit, layers, PSB.
const std::map<std::string, Bytes>& Generated() {
  static std::map<std::string, Bytes> files = [] {
    std::map<std::string, Bytes> made;
    if (!HaveTool("convert")) return made;
    const std::string dir = ScratchDir("psd-module");
    const std::string base = "convert -seed 5 -size 120x90 plasma:fractal -depth 8 ";
    const std::map<std::string, std::string> recipes = {
        {"rle.psd", base + "-compress rle"},
        {"raw.psd", base + "-compress none"},
        {"gray.psd", base + "-colorspace gray -compress none"},
        {"deep.psd", base + "-depth 16 -compress rle"},
        {"layers.psd", base + "\\( +clone -flip \\) -adjoin"},
    };
    for (const auto& [name, recipe] : recipes) {
      if (!Run(recipe + " " + dir + "/" + name)) return std::map<std::string, Bytes>();
      made[name] = ReadFileBytes(dir + "/" + name);
    }
    if (Run(base + "PSB:" + dir + "/large.psb"))
      made["large.psb"] = ReadFileBytes(dir + "/large.psb");
    return made;
  }();
  return files;
}

std::string ExtensionOf(const std::string& name) {
  return name.substr(name.rfind('.') + 1);
}

}  // namespace

TEST(PsdModule, DocumentsAreMeasuredBySectionLengths) {
  ASSERT_NE(Psd(), nullptr);
  if (Generated().empty()) GTEST_SKIP() << "ImageMagick convert missing";
  for (const auto& [name, file] : Generated()) {
    SCOPED_TRACE(name);
    const Bytes disk = Join(file, RandomData(5000, 3));
    Answer a = Recognize(disk, 0);
    EXPECT_TRUE(a.recognized);
    EXPECT_EQ(a.start, 0);
    EXPECT_EQ(a.end, static_cast<long long>(file.size()));
    EXPECT_EQ(FindEnd(disk), static_cast<long long>(file.size()));
    bool valid = false;
    EXPECT_EQ(Describe(file, &valid), ExtensionOf(name));
    EXPECT_TRUE(valid);
  }
  // Photoshop's own file (cut short in the corpus): recognised and named.
  const Bytes sample = ReadFileBytes(TestData("corpus/format-samples/Photoshop.psd"));
  EXPECT_TRUE(Recognize(sample, 0).recognized);
  bool valid = true;
  EXPECT_EQ(Describe(sample, &valid), "psd");
}

TEST(PsdModule, CutDocumentsAndLookalikes) {
  ASSERT_NE(Psd(), nullptr);
  if (Generated().empty()) GTEST_SKIP() << "ImageMagick convert missing";
  // Cut inside the image data by the end of the medium: start only, end within the data.
  for (const char* name : {"rle.psd", "raw.psd"}) {
    SCOPED_TRACE(name);
    const Bytes& file = Generated().at(name);
    const Bytes cut(file.begin(), file.begin() + long(file.size() - 1000));
    Answer a = Recognize(cut, 0);
    EXPECT_TRUE(a.recognized);
    EXPECT_EQ(a.end, -1);
    const long long end = FindEnd(cut);
    EXPECT_GT(end, 26);
    EXPECT_LE(end, static_cast<long long>(cut.size()));
    bool valid = true;
    Describe(Bytes(cut.begin(), cut.begin() + end), &valid);
    EXPECT_FALSE(valid);
  }
  // The signature and a plausible header planted in random data: nothing.
  const Bytes& real = Generated().at("rle.psd");
  Bytes disk = RandomData(32 * 512, 7);
  for (size_t i = 0; i < 32; ++i) memcpy(&disk[i * 512], real.data(), i % 2 ? 4 : 26);
  for (long long block = 0; block < 32; ++block)
    EXPECT_FALSE(Recognize(disk, block * 512).recognized) << block;
  // Unaligned: found at its exact byte, first and last bytes of a block included.
  for (long long shift : {1, 301, 511}) {
    const Bytes shifted = Join(Join(RandomData(512 + shift, 8), real), RandomData(2000, 9));
    EXPECT_FALSE(Recognize(shifted, 512).recognized);
    ASSERT_TRUE(Psd()->SetIntPropValue("Unaligned", 1));
    Answer a = Recognize(shifted, 512);
    EXPECT_EQ(a.start, 512 + shift);
    EXPECT_EQ(a.end, static_cast<long long>(512 + shift + real.size()));
    ASSERT_TRUE(Psd()->SetIntPropValue("Unaligned", 0));
  }
}

TEST(PsdModule, ScanRecoversIntactDocumentsByteIdentical) {
  ASSERT_NE(Psd(), nullptr);
  if (Generated().empty()) GTEST_SKIP() << "ImageMagick convert missing";
  ImageBuilder image(17);
  std::map<std::string, std::string> intact;
  image.AddRandom(5000);
  int n = 0;
  for (const auto& [name, file] : Generated()) {
    image.Align();
    image.AddFile(name, file);
    intact[name] = ExtensionOf(name);
    if (++n % 2 == 0) image.AddRandom(1500);
  }
  image.Align();
  Bytes lookalike = RandomData(2048, 31);
  memcpy(lookalike.data(), "8BPS", 4);
  image.bytes().insert(image.bytes().end(), lookalike.begin(), lookalike.end());
  image.AddZeros(4096);
  const Bytes& rle = Generated().at("rle.psd");
  const Bytes cut(rle.begin(), rle.begin() + long(rle.size() / 2));
  image.AddFile("cut.psd", cut);
  const std::vector<Recovered> found = ScanImage({"psd.so"}, image.Finish());
  CarveTally t = CheckCarve(image.placed(), intact, {{"cut.psd", long(cut.size())}}, found);
  std::printf("psd: %d files, %d byte-identical, %d broken, %d extra\n", t.files, t.identical,
              t.broken, t.extra);
  // Unaligned: the same files back to back at odd offsets, found with Unaligned=1.
  ImageBuilder shifted(98);
  shifted.AddRandom(1001);
  std::map<std::string, std::string> all;
  for (const auto& [name, file] : Generated()) {
    shifted.AddFile(name, file);
    shifted.AddRandom(37);
    all[name] = ExtensionOf(name);
  }
  ASSERT_TRUE(Psd()->SetIntPropValue("Unaligned", 1));
  const std::vector<Recovered> unaligned = ScanImage({"psd.so"}, shifted.Finish());
  ASSERT_TRUE(Psd()->SetIntPropValue("Unaligned", 0));
  t = CheckCarve(shifted.placed(), all, {}, unaligned);
  std::printf("psd unaligned: %d files, %d byte-identical, %d extra\n", t.files, t.identical,
              t.extra);
}
