#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/CarveCheck.h"
#include "tests/support/MediaTestSupport.h"
#include "tests/support/SparseStream.h"

using namespace testing_support;

namespace {

void AppendLE32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void AppendTag(std::vector<uint8_t>& b, const char* tag) {
  b.insert(b.end(), tag, tag + 4);
}
void AppendChunk(std::vector<uint8_t>& b, const char* tag, uint32_t size) {
  AppendTag(b, tag);
  AppendLE32(b, size);
}
// A PCM format chunk: mono, 8 kHz, 16 bits.
void AppendFormat(std::vector<uint8_t>& b) {
  AppendChunk(b, "fmt ", 16);
  for (uint32_t v : {0x00010001u, 8000u, 16000u, 0x00100002u}) AppendLE32(b, v);
}

const std::map<std::string, std::vector<uint8_t>>& Media() {
  static const auto media = [] {
    const std::string ff = "ffmpeg -v error -y ",
                      v = " -f lavfi -i testsrc=size=64x48:rate=10:duration=1",
                      a = " -f lavfi -i sine=duration=0.5:sample_rate=8000";
    return MakeMedia(
        "riff", {{"mjpeg.avi", ff + v + a + " -c:v mjpeg -c:a pcm_s16le -shortest"},
                 {"mpeg4.avi", ff + v + " -c:v mpeg4"},
                 {"tone.wav", ff + a},
                 {"rf64.wav", ff + a + " -rf64 always"},
                 {"plasma.webp", "convert -size 64x48 plasma:"},
                 {"lossless.webp", "convert -size 64x48 plasma: -define webp:lossless=true"},
                 {"animated.webp", ff + "-f lavfi -i testsrc=size=64x48:rate=5:duration=1 "
                                        "-c:v libwebp_anim -loop 0"},
                 // Through a pipe the sizes stay placeholders, as after a recorder's power cut.
                 {"piped.wav", ff + a + " -f wav pipe:1 | tee"},
                 {"piped.avi", ff + v + " -c:v mjpeg -f avi pipe:1 | tee"}});
  }();
  return media;
}

CContentHandler* Handler() {
  static CContentHandler* handler = LoadHandler("riff.so");
  return handler;
}

// Generated files, sector-aligned and back to back between random data and zeros, come back
// whole (the 8 header bytes included) and named; a cut AVI and files whose sizes were never
// written come back broken, ending where the next file starts.
TEST(RiffModule, RecoversGeneratedFilesWhole) {
  const auto& media = Media();
  if (media.count("tone.wav") == 0) GTEST_SKIP() << "ffmpeg missing";
  ASSERT_NE(Handler(), nullptr);
  std::map<std::string, std::string> intact = {{"mjpeg.avi", "avi"},     {"mpeg4.avi", "avi"},
                                               {"tone.wav", "wav"},      {"rf64.wav", "wav"},
                                               {"plasma.webp", "webp"},  {"lossless.webp", "webp"},
                                               {"animated.webp", "webp"}};
  std::map<std::string, std::vector<uint8_t>> broken;
  for (const char* name : {"piped.wav", "piped.avi"})
    if (media.count(name)) broken[name] = media.at(name);
  broken["cut.avi"] = media.at("mjpeg.avi");
  broken["cut.avi"].resize(broken["cut.avi"].size() / 2);
  ImageBuilder image;
  image.AddRandom(5000);
  bool zeros = false;
  for (const auto& file : intact) {
    if (media.count(file.first) == 0) continue;
    image.Align();
    image.AddFile(file.first, media.at(file.first));
    if ((zeros = !zeros)) image.AddZeros(1024);
  }
  std::map<std::string, long long> rooms;
  for (const auto& file : broken) {
    image.Align();
    image.AddFile(file.first, file.second);
    image.Align();
    rooms[file.first] = static_cast<long long>(image.bytes().size()) - image.placed().back().offset;
    image.AddFile("tone.wav", media.at("tone.wav"));
  }
  image.AddRandom(3000);
  auto found = ScanImage({"riff.so"}, image.Finish());
  PrintTally("riff", CheckMediaRecovery(image.placed(), found, intact, rooms));

  uint32_t seed = 10;
  for (const char* name : {"mjpeg.avi", "rf64.wav", "animated.webp"})
    if (media.count(name)) ExerciseDamagedCopies(Handler(), media.at(name), seed++);
}

// Samples cut short by their collector are recognised and named; RIFF headers planted in random
// data yield nothing; Unaligned finds RIFF and RF64 files at odd offsets.
TEST(RiffModule, NamesSamplesRefusesLookalikesFindsUnalignedStarts) {
  if (Media().count("rf64.wav") == 0) GTEST_SKIP() << "ffmpeg missing";
  CContentHandler* handler = Handler();
  ASSERT_NE(handler, nullptr);
  ExpectSamplesNamed(
      handler,
      {{"RIFF.avi", "avi"}, {"Pentax.avi", "avi"}, {"RIFF.wav", "wav"}, {"RIFF.webp", "webp"}});

  // Its later sectors reused by a photo: a WAV ends where the photo begins.
  ExpectWrittenOverFileEndsWhereNextBegins("riff", handler, Media().at("tone.wav"), 4096);

  ImageBuilder noise(7);
  noise.AddRandom(32 * 512);
  std::vector<uint8_t> bytes = noise.Finish();
  std::vector<uint8_t> wave;
  AppendChunk(wave, "RIFF", 4000);
  AppendTag(wave, "WAVE");
  AppendFormat(wave);  // then random bytes where the next chunk should be
  std::copy(wave.begin(), wave.end(), bytes.begin() + 1024);
  memcpy(&bytes[2048],
         "RIFF\x10\x00\x01\x00"
         "AVI LIST",
         12);
  EXPECT_TRUE(ScanImage({"riff.so"}, bytes).empty());

  ImageBuilder odd;
  odd.AddRandom(700 + 1);
  odd.AddFile("tone.wav", Media().at("tone.wav"));
  odd.AddRandom(1333);  // beyond the block in which the first file ends
  odd.AddFile("rf64.wav", Media().at("rf64.wav"));
  odd.AddRandom(2000);
  std::vector<uint8_t> oddBytes = odd.Finish();
  EXPECT_TRUE(ScanImage({"riff.so"}, oddBytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanImage({"riff.so"}, oddBytes);
  handler->SetIntPropValue("Unaligned", 0);
  ASSERT_EQ(found.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(found[i].offset, odd.placed()[i].offset);
    EXPECT_EQ(found[i].sha256, odd.placed()[i].sha256);
  }
}

// Beyond 4 GiB: an OpenDML AVI whose RIFF AVI part is followed by AVIX parts, and an RF64 WAV
// whose sizes live in ds64; both read as sparse streams followed by zeros.
TEST(RiffModule, FollowsOpenDmlAndRf64BeyondFourGiB) {
  CContentHandler* handler = Handler();
  ASSERT_NE(handler, nullptr);
  EXPECT_GE(DefaultMaxSize(handler), 4194304);
  auto endOf = [&](SparseStream& file) {
    bool recognized = false;
    long long start = -1, end = -1;
    EXPECT_TRUE(handler->RecognizeData(&file, 512, &recognized, &start, &end));
    EXPECT_TRUE(recognized && start == 0);
    return end;
  };

  const uint32_t frame = (1u << 30) - 64;  // one huge frame per part
  SparseStream avi(6LL << 30);
  long long pos = 0;
  for (int part = 0; part < 5; ++part) {
    const uint32_t movi = 4 + 8 + frame;
    const uint32_t riff = 4 + 8 + movi + (part == 0 ? 8 + 4 + 8 + 56 + 8 + 16 : 0);
    std::vector<uint8_t> head;
    AppendChunk(head, "RIFF", riff);
    AppendTag(head, part == 0 ? "AVI " : "AVIX");
    if (part == 0) {
      AppendChunk(head, "LIST", 4 + 8 + 56);
      AppendTag(head, "hdrl");
      AppendChunk(head, "avih", 56);
      head.resize(head.size() + 56, 0);
    }
    AppendChunk(head, "LIST", movi);
    AppendTag(head, "movi");
    AppendChunk(head, "00dc", frame);
    if (part == 0) {
      std::vector<uint8_t> index;
      AppendChunk(index, "idx1", 16);
      index.resize(index.size() + 16, 0);
      avi.Place(pos + static_cast<long long>(head.size()) + frame, index);
    }
    avi.Place(pos, head);
    pos += 8 + static_cast<long long>(riff);
  }
  ASSERT_GT(pos, 4LL << 30);
  EXPECT_EQ(endOf(avi), pos);
  bool recognized = false;  // a continuation part is no file of its own
  long long start = -1, end = -1;
  avi.SetPosition(pos - 8 - (4 + 8 + 4 + 8 + frame));
  handler->RecognizeData(&avi, 512, &recognized, &start, &end);
  EXPECT_FALSE(recognized);

  const uint64_t dataBytes = 5ULL << 30, riffSize = 4 + 36 + 24 + 8 + dataBytes;
  std::vector<uint8_t> rf64;
  AppendChunk(rf64, "RF64", 0xFFFFFFFF);
  AppendTag(rf64, "WAVE");
  AppendChunk(rf64, "ds64", 28);
  for (uint64_t v : {riffSize, dataBytes, dataBytes / 2}) {
    AppendLE32(rf64, uint32_t(v));
    AppendLE32(rf64, uint32_t(v >> 32));
  }
  AppendLE32(rf64, 0);  // no table
  AppendFormat(rf64);
  AppendChunk(rf64, "data", 0xFFFFFFFF);
  SparseStream wav(static_cast<long long>(riffSize) + 8 + 4096);
  wav.Place(0, rf64);
  EXPECT_EQ(endOf(wav), static_cast<long long>(riffSize) + 8);
}

}  // namespace
