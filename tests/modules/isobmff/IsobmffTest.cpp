#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "HandlerScan.h"
#include "MemoryStream.h"
#include "ScanHarness.h"

using namespace testing_support;

namespace {

std::map<std::string, std::vector<uint8_t>> gFiles;

void PutBE32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (24 - 8 * i));
}
void AppendBE32(std::vector<uint8_t>& b, uint32_t v) {
  b.resize(b.size() + 4);
  PutBE32(b, b.size() - 4, v);
}
void AppendBE64(std::vector<uint8_t>& b, uint64_t v) {
  AppendBE32(b, uint32_t(v >> 32));
  AppendBE32(b, uint32_t(v));
}
void AppendBox(std::vector<uint8_t>& b, const char* type, const std::vector<uint8_t>& payload) {
  AppendBE32(b, uint32_t(8 + payload.size()));
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), payload.begin(), payload.end());
}
std::vector<uint8_t> FullBox(std::vector<uint32_t> words) {
  std::vector<uint8_t> b(4, 0);  // version and flags
  for (uint32_t w : words) AppendBE32(b, w);
  return b;
}

// Offset of the first top-level box of `type`, or -1.
long long FindTopBox(const std::vector<uint8_t>& f, const char* type) {
  size_t pos = 0;
  while (pos + 8 <= f.size()) {
    uint32_t size =
        uint32_t(f[pos]) << 24 | uint32_t(f[pos + 1]) << 16 | f[pos + 2] << 8 | f[pos + 3];
    if (memcmp(&f[pos + 4], type, 4) == 0) return static_cast<long long>(pos);
    if (size < 8) return -1;
    pos += size;
  }
  return -1;
}

class IsobmffTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("ffmpeg") || !HaveTool("convert")) return;
    std::string dir = ScratchDir("isobmff");
    std::string video = "-f lavfi -i testsrc=size=64x48:rate=10:duration=1";
    std::string audio = "-f lavfi -i sine=duration=1:sample_rate=8000";
    std::string h264 = " -c:v libx264 -preset ultrafast -c:a aac -shortest ";
    std::string ff = "ffmpeg -v error -y ";
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"moov-last.mp4", ff + video + " " + audio + h264},
        {"faststart.mp4", ff + video + " " + audio + h264 + "-movflags +faststart"},
        {"movie.mov", ff + video + " " + audio + h264},
        {"phone.3gp", ff + video + " " + audio + h264 + "-ac 1"},
        {"song.m4a", ff + audio + " -c:a aac"},
        {"fragmented.mp4", ff + video +
                               " -c:v libx264 -preset ultrafast "
                               "-movflags frag_keyframe+empty_moov"},
        // More top-level boxes than the walk remembers one by one: a fragment per frame.
        {"many-fragments.mp4", ff + "-f lavfi -i testsrc=size=32x32:rate=25:duration=90 "
                                    "-c:v libx264 -preset ultrafast -g 1 "
                                    "-movflags frag_keyframe+empty_moov"},
        {"still.avif", ff + "-f lavfi -i testsrc=size=64x48 -frames:v 1 -c:v libaom-av1 "
                            "-still-picture 1"},
        {"plasma.avif", "convert -size 64x48 plasma:"},
        {"plasma.heic", "convert -size 64x48 plasma:"},
        {"plasma.jp2", "convert -size 64x48 plasma:"},
    };
    for (const auto& c : commands) {
      std::string path = dir + "/" + c.first;
      if (testing_support::Run(c.second + " '" + path + "' >/dev/null 2>&1"))
        gFiles[c.first] = ReadFileBytes(path);
      if (gFiles.count(c.first) && gFiles[c.first].empty()) gFiles.erase(c.first);
    }
    gFiles["IMG_5195.HEIC"] = ReadFileBytes(TestData("corpus/heic/IMG_5195.HEIC"));
    gFiles["samplefilehub.heif"] = ReadFileBytes(TestData("corpus/heic/samplefilehub.heif"));
    // A QuickTime movie that opens without ftyp: the ftyp box becomes a free box, so every
    // offset in the movie still holds.
    if (gFiles.count("movie.mov")) {
      std::vector<uint8_t> bare = gFiles["movie.mov"];
      memcpy(&bare[4], "free", 4);
      gFiles["bare.mov"] = bare;
    }
    // A last codestream box of size 0, bounded by the codestream's own tile-parts.
    if (gFiles.count("plasma.jp2")) {
      std::vector<uint8_t> open = gFiles["plasma.jp2"];
      long long codestream = FindTopBox(open, "jp2c");
      if (codestream >= 0) {
        PutBE32(open, static_cast<size_t>(codestream), 0);
        gFiles["open-jp2c.jp2"] = open;
      }
    }
    // A last mdat of size 0, bounded by the sample tables.
    if (gFiles.count("faststart.mp4")) {
      std::vector<uint8_t> open = gFiles["faststart.mp4"];
      long long mdat = FindTopBox(open, "mdat");
      if (mdat >= 0) {
        PutBE32(open, static_cast<size_t>(mdat), 0);
        gFiles["open-mdat.mp4"] = open;
      }
    }
  }

  void SetUp() override {
    if (gFiles.count("moov-last.mp4") == 0) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
    handler = LoadHandler("isobmff.so");
    ASSERT_NE(handler, nullptr);
  }

  CContentHandler* handler = nullptr;
};

// Generated and real files, sector-aligned and back to back between random data and zeros,
// come back whole and named; a truncated one comes back broken; the filler yields nothing.
TEST_F(IsobmffTest, RecoversEveryFileWholeAndNamed) {
  std::map<std::string, Expected> expected = {
      {"moov-last.mp4", {"mp4"}},       {"faststart.mp4", {"mp4"}},  {"movie.mov", {"mov"}},
      {"phone.3gp", {"3gp"}},           {"song.m4a", {"m4a"}},       {"fragmented.mp4", {"mp4"}},
      {"many-fragments.mp4", {"mp4"}},  {"still.avif", {"avif"}},    {"plasma.avif", {"avif"}},
      {"plasma.heic", {"heic"}},        {"plasma.jp2", {"jp2"}},     {"IMG_5195.HEIC", {"heic"}},
      {"samplefilehub.heif", {"heic"}}, {"bare.mov", {"mov"}},       {"open-mdat.mp4", {"mp4"}},
      {"open-jp2c.jp2", {"jp2"}},       {"cut.mp4", {"mp4", false}},
  };
  ImageBuilder image;
  image.AddRandom(5000);
  bool zeros = false;
  for (const auto& e : expected) {
    if (e.first == "cut.mp4" || gFiles.count(e.first) == 0) continue;
    image.Align();
    image.AddFile(e.first, gFiles[e.first]);
    if (e.first.compare(0, 5, "open-") == 0) image.AddRandom(3000);  // no box follows it
    if ((zeros = !zeros)) image.AddZeros(1024);
  }
  // Cut short and followed at once by another file.
  std::vector<uint8_t> cut = gFiles["moov-last.mp4"];
  cut.resize(cut.size() * 2 / 3);
  image.Align();
  image.AddFile("cut.mp4", cut);
  image.Align();
  image.AddFile("faststart.mp4", gFiles["faststart.mp4"]);
  image.AddRandom(4000);
  std::vector<uint8_t> bytes = image.Finish();

  auto direct = ScanWithHandler(handler, bytes);
  ExpectRecovery(direct, image, static_cast<long long>(bytes.size()), expected);
  auto scanned = ScanImage({"isobmff.so"}, bytes);
  ExpectRecovery(scanned, image, static_cast<long long>(bytes.size()), expected);
}

// Samples cut short by their collector: recognised and named, never taken as whole.
TEST_F(IsobmffTest, NamesFormatSamples) {
  const std::vector<std::pair<std::string, std::string>> samples = {{"CanonRaw.cr3", "cr3"},
                                                                    {"Jpeg2000.jp2", "jp2"},
                                                                    {"QuickTime.heic", "heic"},
                                                                    {"QuickTime.m4a", "m4a"},
                                                                    {"QuickTime.mov", "mov"}};
  for (const auto& s : samples) {
    SCOPED_TRACE(s.first);
    std::vector<uint8_t> file = ReadFileBytes(TestData("corpus/format-samples/" + s.first));
    MemoryStream stream(file);
    bool recognized = false;
    long long start = -1, end = -1;
    ASSERT_TRUE(handler->RecognizeData(&stream, 512, &recognized, &start, &end));
    EXPECT_TRUE(recognized);
    EXPECT_EQ(start, 0);
    MemoryStream describe(file);
    char extension[16] = "";
    handler->DescribeFile(&describe, extension, sizeof extension);
    EXPECT_STREQ(extension, s.second.c_str());
  }
}

// Random data, with box signatures planted at block starts, yields nothing; a file at an odd
// offset is found only with Unaligned set; MaxSize turns a whole answer into a start.
TEST_F(IsobmffTest, RefusesFillerAndHonoursProperties) {
  ImageBuilder noise(99);
  noise.AddRandom(64 * 512);
  std::vector<uint8_t> bytes = noise.Finish();
  memcpy(&bytes[512 + 4], "ftypisom", 8);
  memcpy(&bytes[1024 + 4], "moov", 4);
  memcpy(&bytes[2048 + 4], "mdat", 4);
  PutBE32(bytes, 3072, 24);
  memcpy(&bytes[3072 + 4], "ftypmp42\0\0\0\0mp42", 16);
  EXPECT_TRUE(ScanWithHandler(handler, bytes).empty());

  ImageBuilder odd;
  odd.AddRandom(1000 + 3);
  odd.AddFile("faststart.mp4", gFiles["faststart.mp4"]);
  odd.AddRandom(2000);
  std::vector<uint8_t> oddBytes = odd.Finish();
  EXPECT_TRUE(ScanWithHandler(handler, oddBytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanWithHandler(handler, oddBytes);
  handler->SetIntPropValue("Unaligned", 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].offset, 1003);
  EXPECT_EQ(found[0].sha256, odd.placed()[0].sha256);

  int maxSize = 0;
  ASSERT_TRUE(handler->GetIntPropValue("MaxSize", &maxSize));
  EXPECT_GE(maxSize, 4194304);  // a 4 GiB video fits by default
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 4));
  MemoryStream stream(gFiles["moov-last.mp4"]);
  bool recognized = false;
  long long start = -1, end = -1;
  handler->RecognizeData(&stream, 512, &recognized, &start, &end);
  handler->SetIntPropValue("MaxSize", maxSize);
  EXPECT_TRUE(recognized);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, -1);
  MemoryStream window(gFiles["moov-last.mp4"]);
  end = -1;
  EXPECT_TRUE(handler->FindEndOfFile(&window, 512, &end));
  EXPECT_EQ(end, static_cast<long long>(gFiles["moov-last.mp4"].size()));
}

// Movies beyond 4 GiB: 64-bit mdat sizes and co64 chunk offsets, moov before and after the
// media data, read as a sparse stream.
TEST_F(IsobmffTest, HandlesMoviesBeyondFourGiB) {
  const uint64_t sampleBytes = 1ULL << 30, samples = 5, media = sampleBytes * samples;
  auto movie = [&](uint64_t chunkOffset) {
    std::vector<uint8_t> mvhd(100, 0), stbl, minf, mdia, trak, moov;
    AppendBox(stbl, "stsd", FullBox({0}));
    AppendBox(stbl, "stsc", FullBox({1, 1, uint32_t(samples), 1}));
    AppendBox(stbl, "stsz", FullBox({uint32_t(sampleBytes), uint32_t(samples)}));
    std::vector<uint8_t> co64 = FullBox({1});
    AppendBE64(co64, chunkOffset);
    AppendBox(stbl, "co64", co64);
    AppendBox(minf, "stbl", stbl);
    AppendBox(mdia, "hdlr", FullBox({0, 0x76696465 /* vide */, 0, 0, 0}));
    AppendBox(mdia, "minf", minf);
    AppendBox(trak, "mdia", mdia);
    AppendBox(moov, "mvhd", mvhd);
    AppendBox(moov, "trak", trak);
    std::vector<uint8_t> box;
    AppendBox(box, "moov", moov);
    return box;
  };
  std::vector<uint8_t> ftyp;
  AppendBox(ftyp, "ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm'});
  auto mdatHeader = [&] {
    std::vector<uint8_t> h;
    AppendBE32(h, 1);
    h.insert(h.end(), {'m', 'd', 'a', 't'});
    AppendBE64(h, media + 16);
    return h;
  };
  const size_t moovSize = movie(0).size();
  // moov first.
  {
    long long mdatAt = static_cast<long long>(ftyp.size() + moovSize);
    long long total = mdatAt + 16 + static_cast<long long>(media);
    SparseStream file(total + 4096);  // followed by zeros
    std::vector<uint8_t> head = ftyp;
    std::vector<uint8_t> m = movie(uint64_t(mdatAt + 16));
    head.insert(head.end(), m.begin(), m.end());
    std::vector<uint8_t> h = mdatHeader();
    head.insert(head.end(), h.begin(), h.end());
    file.Place(0, head);
    bool recognized = false;
    long long start = -1, end = -1;
    ASSERT_TRUE(handler->RecognizeData(&file, 512, &recognized, &start, &end));
    EXPECT_TRUE(recognized);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, total);
  }
  // moov last, behind more than 4 GiB of media data.
  {
    long long moovAt = static_cast<long long>(ftyp.size() + 16 + media);
    long long total = moovAt + static_cast<long long>(moovSize);
    SparseStream file(total + 4096);
    std::vector<uint8_t> head = ftyp;
    std::vector<uint8_t> h = mdatHeader();
    head.insert(head.end(), h.begin(), h.end());
    file.Place(0, head);
    file.Place(moovAt, movie(ftyp.size() + 16));
    bool recognized = false;
    long long start = -1, end = -1;
    ASSERT_TRUE(handler->RecognizeData(&file, 512, &recognized, &start, &end));
    EXPECT_TRUE(recognized);
    EXPECT_EQ(end, total);
  }
}

}  // namespace
