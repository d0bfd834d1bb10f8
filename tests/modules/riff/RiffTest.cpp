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

void AppendLE32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void AppendLE64(std::vector<uint8_t>& b, uint64_t v) {
  AppendLE32(b, uint32_t(v));
  AppendLE32(b, uint32_t(v >> 32));
}
void AppendTag(std::vector<uint8_t>& b, const char* tag) {
  b.insert(b.end(), tag, tag + 4);
}

class RiffTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("ffmpeg") || !HaveTool("convert")) return;
    std::string dir = ScratchDir("riff");
    std::string video = "-f lavfi -i testsrc=size=64x48:rate=10:duration=1";
    std::string audio = "-f lavfi -i sine=duration=0.5:sample_rate=8000";
    std::string ff = "ffmpeg -v error -y ";
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"mjpeg.avi", ff + video + " " + audio + " -c:v mjpeg -c:a pcm_s16le -shortest"},
        {"mpeg4.avi", ff + video + " -c:v mpeg4"},
        {"tone.wav", ff + audio},
        // Written to a pipe: the sizes stay placeholders, as after a recorder's power cut.
        {"piped.wav", ff + audio + " -f wav pipe:1 | tee"},
        {"piped.avi", ff + video + " -c:v mjpeg -f avi pipe:1 | tee"},
        {"rf64.wav", ff + audio + " -rf64 always"},
        {"plasma.webp", "convert -size 64x48 plasma:"},
        {"lossless.webp", "convert -size 64x48 plasma: -define webp:lossless=true"},
        {"animated.webp", ff + "-f lavfi -i testsrc=size=64x48:rate=5:duration=1 "
                               "-c:v libwebp_anim -loop 0"},
    };
    for (const auto& c : commands) {
      std::string path = dir + "/" + c.first;
      if (testing_support::Run(c.second + " '" + path + "' >/dev/null 2>&1"))
        gFiles[c.first] = ReadFileBytes(path);
      if (gFiles.count(c.first) && gFiles[c.first].empty()) gFiles.erase(c.first);
    }
  }

  void SetUp() override {
    if (gFiles.count("mjpeg.avi") == 0) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
    handler = LoadHandler("riff.so");
    ASSERT_NE(handler, nullptr);
  }

  CContentHandler* handler = nullptr;
};

// Generated files, sector-aligned and back to back between random data and zeros, come back
// whole (header included) and named; a cut AVI comes back broken; the filler yields nothing.
TEST_F(RiffTest, RecoversEveryFileWholeAndNamed) {
  std::map<std::string, Expected> expected = {
      {"mjpeg.avi", {"avi"}},        {"mpeg4.avi", {"avi"}},      {"tone.wav", {"wav"}},
      {"rf64.wav", {"wav"}},         {"plasma.webp", {"webp"}},   {"lossless.webp", {"webp"}},
      {"animated.webp", {"webp"}},   {"cut.avi", {"avi", false}}, {"piped.wav", {"wav", false}},
      {"piped.avi", {"avi", false}},
  };
  ImageBuilder image;
  image.AddRandom(5000);
  bool zeros = false;
  for (const auto& e : expected) {
    if (gFiles.count(e.first) == 0) continue;
    image.Align();
    image.AddFile(e.first, gFiles[e.first]);
    if (!e.second.intact) {  // a file without a known end ends where the next one starts
      image.Align();
      image.AddFile("tone.wav", gFiles["tone.wav"]);
    }
    if ((zeros = !zeros)) image.AddZeros(1024);
  }
  std::vector<uint8_t> cut = gFiles["mjpeg.avi"];
  cut.resize(cut.size() / 2);
  image.Align();
  image.AddFile("cut.avi", cut);
  image.Align();
  image.AddFile("tone.wav", gFiles["tone.wav"]);
  image.AddRandom(3000);
  std::vector<uint8_t> bytes = image.Finish();

  ExpectRecovery(ScanWithHandler(handler, bytes), image, static_cast<long long>(bytes.size()),
                 expected);
  auto scanned = ScanImage({"riff.so"}, bytes);
  ExpectRecovery(scanned, image, static_cast<long long>(bytes.size()), expected);
}

// Samples cut short by their collector: recognised at their start and named.
TEST_F(RiffTest, NamesFormatSamples) {
  const std::vector<std::pair<std::string, std::string>> samples = {
      {"RIFF.avi", "avi"}, {"Pentax.avi", "avi"}, {"RIFF.wav", "wav"}, {"RIFF.webp", "webp"}};
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

// RIFF headers planted in random data yield nothing; Unaligned finds a file at an odd offset.
TEST_F(RiffTest, RefusesFillerAndFindsUnalignedStarts) {
  ImageBuilder noise(7);
  noise.AddRandom(32 * 512);
  std::vector<uint8_t> bytes = noise.Finish();
  std::vector<uint8_t> wave;
  AppendTag(wave, "RIFF");
  AppendLE32(wave, 4000);
  AppendTag(wave, "WAVE");
  AppendTag(wave, "fmt ");
  AppendLE32(wave, 16);
  for (uint32_t v : {0x00010001u, 8000u, 16000u, 0x00100002u}) AppendLE32(wave, v);
  std::copy(wave.begin(), wave.end(), bytes.begin() + 1024);
  memcpy(&bytes[2048],
         "RIFF\x10\x00\x01\x00"
         "AVI LIST",
         12);
  EXPECT_TRUE(ScanWithHandler(handler, bytes).empty());

  ImageBuilder odd;
  odd.AddRandom(700 + 1);
  odd.AddFile("tone.wav", gFiles["tone.wav"]);
  odd.AddRandom(1333);  // beyond the block in which the first file ends
  odd.AddFile("rf64.wav", gFiles["rf64.wav"]);
  odd.AddRandom(2000);
  std::vector<uint8_t> oddBytes = odd.Finish();
  EXPECT_TRUE(ScanWithHandler(handler, oddBytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanWithHandler(handler, oddBytes);
  handler->SetIntPropValue("Unaligned", 0);
  ASSERT_EQ(found.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(found[i].offset, odd.placed()[i].offset);
    EXPECT_EQ(found[i].sha256, odd.placed()[i].sha256);
  }
}

// Beyond 4 GiB: an OpenDML AVI whose RIFF AVI part is followed by AVIX parts, and an RF64
// WAV whose sizes live in ds64; both read as sparse streams.
TEST_F(RiffTest, FollowsOpenDmlAndRf64BeyondFourGiB) {
  int maxSize = 0;
  ASSERT_TRUE(handler->GetIntPropValue("MaxSize", &maxSize));
  EXPECT_GE(maxSize, 4194304);

  const uint32_t frame = (1u << 30) - 64;  // one huge frame per part
  std::vector<std::pair<long long, std::vector<uint8_t>>> pieces;
  long long pos = 0;
  for (int part = 0; part < 5; ++part) {
    std::vector<uint8_t> head, tail;
    uint32_t movi = 4 + 8 + frame;
    uint32_t riff = 4 + 8 + movi;
    if (part == 0) riff += 8 + 4 + 8 + 56 + 8 + 16;  // hdrl and idx1
    AppendTag(head, "RIFF");
    AppendLE32(head, riff);
    AppendTag(head, part == 0 ? "AVI " : "AVIX");
    if (part == 0) {
      AppendTag(head, "LIST");
      AppendLE32(head, 4 + 8 + 56);
      AppendTag(head, "hdrl");
      AppendTag(head, "avih");
      AppendLE32(head, 56);
      head.resize(head.size() + 56, 0);
    }
    AppendTag(head, "LIST");
    AppendLE32(head, movi);
    AppendTag(head, "movi");
    AppendTag(head, "00dc");
    AppendLE32(head, frame);
    pieces.push_back({pos, head});
    long long tailAt = pos + static_cast<long long>(head.size()) + frame;
    if (part == 0) {
      AppendTag(tail, "idx1");
      AppendLE32(tail, 16);
      tail.resize(tail.size() + 16, 0);
      pieces.push_back({tailAt, tail});
    }
    pos += 8 + static_cast<long long>(riff);
  }
  ASSERT_GT(pos, 4LL << 30);
  SparseStream avi(pos + 8192);
  for (auto& p : pieces) avi.Place(p.first, p.second);
  bool recognized = false;
  long long start = -1, end = -1;
  ASSERT_TRUE(handler->RecognizeData(&avi, 512, &recognized, &start, &end));
  EXPECT_TRUE(recognized);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, pos);

  const uint64_t dataBytes = 5ULL << 30;
  std::vector<uint8_t> rf64;
  AppendTag(rf64, "RF64");
  AppendLE32(rf64, 0xFFFFFFFF);
  AppendTag(rf64, "WAVE");
  AppendTag(rf64, "ds64");
  AppendLE32(rf64, 28);
  const uint64_t riffSize = 4 + 36 + 24 + 8 + dataBytes;
  AppendLE64(rf64, riffSize);
  AppendLE64(rf64, dataBytes);
  AppendLE64(rf64, dataBytes / 2);
  AppendLE32(rf64, 0);
  AppendTag(rf64, "fmt ");
  AppendLE32(rf64, 16);
  for (uint32_t v : {0x00010001u, 8000u, 16000u, 0x00100002u}) AppendLE32(rf64, v);
  AppendTag(rf64, "data");
  AppendLE32(rf64, 0xFFFFFFFF);
  SparseStream wav(static_cast<long long>(riffSize) + 8 + 4096);
  wav.Place(0, rf64);
  recognized = false;
  start = end = -1;
  ASSERT_TRUE(handler->RecognizeData(&wav, 512, &recognized, &start, &end));
  EXPECT_TRUE(recognized);
  EXPECT_EQ(end, static_cast<long long>(riffSize) + 8);
}

}  // namespace
