#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

Bytes Corpus(const std::string& name) {
  return ReadFileBytes(TestData("corpus/format-samples/" + name));
}

// Whole files made from the corpus samples, whose image data was cut out: each sample up to
// the end its own structure declares (the samples carry test trailers after it), and the
// Minolta one with a sensor small enough that its pixels fit.
Samples WholeFiles() {
  Bytes mrw = Prefix(Corpus("Minolta.mrw"), 0xA14);  // header blocks up to the data
  const uint8_t sensor[] = {0, 16, 0, 8};            // 16 rows of 8 16-bit pixels
  memcpy(&mrw[0x18], sensor, 4);
  return {{"Sigma.x3f", Corpus("Sigma.x3f"), "x3f"},
          {"SigmaDP2.x3f", Corpus("SigmaDP2.x3f"), "x3f"},
          {"FujiFilm.raf", Prefix(Corpus("FujiFilm.raf"), 0x961E), "raf"},  // CFA end
          {"CanonRaw.crw", Prefix(Corpus("CanonRaw.crw"), 0x1870), "crw"},  // root directory
          {"Minolta.mrw", Join(mrw, RandomData(16 * 8 * 2, 4)), "mrw"}};
}

// Every file whole, sector-aligned and back to back, then at odd bytes inside a block, its
// first and last bytes included (found only with Unaligned set); every format's magic planted
// in random data; a RAF whose sectors from inside its CFA header on were reused by a photo
// ends where the photo begins; a RAF cut inside its CFA header last on the medium. With a
// small MaxSize every end comes from the end search instead. Each cut short by 10 bytes by
// the end of the medium: only the start, and an end inside the data. The untouched samples
// are recognised and named.
TEST(RawOtherModule, ScanRecoversEveryFile) {
  const Samples files = WholeFiles();
  const Bytes& raf = files[2].bytes;
  Layout layout(99);
  layout.Random(3000).Spread(files);
  for (const auto& file : files)
    for (size_t shift : {1, 45, 300, 511}) layout.Align().Random(512 + shift).Whole(file);
  std::vector<Bytes> plants;
  for (std::string magic :
       {std::string("II\x1a\0\0\0HEAPCCDR", 14), std::string("FUJIFILMCCD-RAW "),
        std::string("\0MRM", 4), std::string("FOVb"), std::string("MM\0\0\0\x1aHEAPCCDR", 14)})
    plants.emplace_back(magic.begin(), magic.end());
  layout.Planted(plants, 40).Cut("written-over", Prefix(raf, 0x5000), "raf").EndsHere();
  layout.Whole({"photo", ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg")), "jpg"});
  layout.Random(raf.size() + 65536).Align().Cut("cut-end", Prefix(raf, 0x4000), "raf");
  ExpectCarvedEitherWay("rawother", layout, {"jpeg"});
  Layout open(7);  // every end from the end search
  ExpectCarved("rawother", open.Spread(files), false, 4);
  for (const auto& file : files) {
    const Bytes cut = Prefix(file.bytes, file.bytes.size() - 10);
    EXPECT_EQ(Recognize(Handler("rawother"), cut, 0).end, -1) << file.name;
    EXPECT_LE(FindEnd(Handler("rawother"), cut), long(cut.size())) << file.name;
    EXPECT_FALSE(Describe(Handler("rawother"), cut)) << file.name;
  }
  ExpectSamplesNamed("rawother", {{"CanonRaw.crw", "crw"},
                                  {"FujiFilm.raf", "raf"},
                                  {"Minolta.mrw", "mrw"},
                                  {"Sigma.x3f", "x3f"}});
}

}  // namespace
