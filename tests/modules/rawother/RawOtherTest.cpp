#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

Bytes Corpus(const std::string& name) {
  return ReadFileBytes(TestData("corpus/format-samples/" + name));
}

// The Fuji sample with 8 KiB of CFA data, so that a file cut past the data's start is long.
Bytes BigRaf() {
  Bytes raf = Prefix(Corpus("FujiFilm.raf"), 0x9608);
  memcpy(&raf[0x68], BE(0x2000).data(), 4);
  return Join(raf, RandomData(0x2000, 5));
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
          {"FujiFilm.raf", BigRaf(), "raf"},
          {"CanonRaw.crw", Prefix(Corpus("CanonRaw.crw"), 0x1870), "crw"},  // root directory
          {"Minolta.mrw", Join(mrw, RandomData(16 * 8 * 2, 4)), "mrw"}};
}

// Every file whole, sector-aligned and back to back, then at odd bytes inside a block, its
// first and last bytes included (found only with Unaligned set); every format's magic planted
// in random data; a RAF whose sectors from inside its CFA header on were reused by a photo
// ends where the photo begins. With a
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
  layout.Planted(plants, 40).Cut("written-over", Prefix(raf, 0xA000), "raf").EndsHere();
  layout.Whole({"photo", ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg")), "jpg"});
  ExpectCarvedEitherWay("rawother", layout, {"jpeg"});
  Layout open(7);  // every end from the end search
  ExpectCarved("rawother", open.Spread(files), false, 4);
  for (const auto& file : files) {
    const Bytes cut = Prefix(file.bytes, file.bytes.size() - 10);
    EXPECT_EQ(Recognize(Handler("rawother"), cut, 0).end, -1) << file.name;
    EXPECT_LE(FindEnd(Handler("rawother"), cut), long(cut.size())) << file.name;
    EXPECT_FALSE(Describe(Handler("rawother"), cut)) << file.name;
  }
  ExpectSamplesNamed("rawother",
                     {{"CanonRaw.crw", "crw"}, {"FujiFilm.raf", "raf"}, {"Sigma.x3f", "x3f"}});
}

// A header of each kind at every other sector over random data is no file, however long its
// structure claims to be: each ends where the next of its kind begins, and keeps too little of
// its sensor data (CRW and X3F, whose data nothing checks: 64 KiB). A damaged file of each
// kind that keeps enough, last on the medium, still comes back damaged: CRW and X3F cut before
// their closing directory, a RAF cut inside its CFA data and an MRW inside its pixels. None is
// dropped when MaxSize cuts it.
TEST(RawOtherModule, AHeaderOverRandomDataIsNoFile) {
  Bytes mrwHead = Prefix(Corpus("Minolta.mrw"), 0xA14);
  memcpy(&mrwHead[0x18], BE(0x01000100).data(), 4);  // 256 x 256 pixels
  const Bytes crw = Corpus("CanonRaw.crw"), x3f = Corpus("SigmaDP2.x3f");
  const Bytes mrwPlant = Concat({Text(std::string("\0MRM\0\0\0\x28\0PRD\0\0\0\x18", 16)),
                                 Text("21810002"), BE(0x0030004000300040, 8),
                                 BE(0x0C0C520000000000, 8), Text(std::string("\0TTW", 4)), BE(0)});
  const struct {
    Bytes plant;
    Sample damaged;
  } kinds[] = {
      {Prefix(crw, 26), {"crw", Join(Prefix(crw, 0x1000), RandomData(69632, 1)), "crw"}},
      {Prefix(BigRaf(), 0x98), {"raf", Prefix(BigRaf(), 0xA200), "raf"}},
      {mrwPlant, {"mrw", Join(mrwHead, RandomData(69632 - 0xA14 + 0x1000, 2)), "mrw"}},
      {Prefix(x3f, 40), {"x3f", Join(Prefix(x3f, 0x800), RandomData(69632, 3)), "x3f"}},
  };
  for (const auto& kind : kinds) {
    Layout layout(3);
    layout.Planted({kind.plant}, 40)
        .Place(kind.damaged.name, kind.damaged.bytes, kind.damaged.extension, Layout::kDamaged);
    ExpectCarvedEitherWay("rawother", layout);
    ExpectCarved("rawother", layout, false, 16);
  }
}

}  // namespace
