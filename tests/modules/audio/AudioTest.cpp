#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "MediaTestSupport.h"
#include "ScanHarness.h"

using namespace testing_support;

namespace {

std::map<std::string, std::vector<uint8_t>> gFiles;

std::string ExtensionOf(const std::string& name) {
  return name.substr(name.rfind('.') + 1);
}

class AudioTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("ffmpeg")) return;
    const std::string ff = "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=2 ";
    const std::string video =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=10:duration=1 "
        "-f lavfi -i sine=duration=1 ";
    gFiles = MakeMedia(
        "audio", {
                     {"lame.mp3", ff + "-c:a libmp3lame -b:a 64k"},
                     {"tagged.mp3", ff + "-c:a libmp3lame -q:a 5 -write_id3v1 1 -metadata title=T"},
                     {"bare.mp3", ff + "-c:a libmp3lame -ar 22050 -id3v2_version 0 -write_xing 0"},
                     {"xing.mp3", ff + "-c:a libmp3lame -b:a 48k -id3v2_version 0"},
                     {"layer2.mp2", ff + "-c:a mp2 -ac 1"},
                     {"song.flac", ff + "-c:a flac"},
                     {"vorbis.ogg", ff + "-c:a libvorbis"},
                     {"voice.opus", ff + "-c:a libopus"},
                     {"flac.oga", ff + "-c:a flac -f ogg"},
                     {"theora.ogv", video + "-c:v libtheora -c:a libvorbis"},
                     {"adts.aac", ff + "-c:a aac -f adts"},
                     // Written to a pipe: STREAMINFO keeps no sample count.
                     {"piped.flac", ff + "-c:a flac -f flac - >"},
                 });
    AddHandMadeTags();
  }

  // Tags that ffmpeg does not write: an APEv2 tag (header, one item, footer) and an ID3v1 tag
  // behind the frames, and an ID3v2.4 tag with a footer in front.
  static void AddHandMadeTags() {
    if (gFiles.count("bare.mp3")) {
      std::vector<uint8_t> file = gFiles["bare.mp3"];
      const std::vector<uint8_t> item = {1, 0, 0, 0, 0, 0, 0, 0, 'T', 'i', 't', 'l', 'e', 0, 'x'};
      auto apeHeader = [&](bool header) {
        std::vector<uint8_t> h = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0};
        uint32_t size = static_cast<uint32_t>(item.size() + 32);
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(size >> (8 * i)));
        h.insert(h.end(), {1, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(header ? 0xA0 : 0x80)});
        h.resize(32, 0);
        return h;
      };
      for (const auto& part : {apeHeader(true), item, apeHeader(false)})
        file.insert(file.end(), part.begin(), part.end());
      std::vector<uint8_t> id3v1(128, 0);
      std::copy_n("TAGTitle", 8, id3v1.begin());
      file.insert(file.end(), id3v1.begin(), id3v1.end());
      gFiles["apetag.mp3"] = file;
    }
    if (gFiles.count("tagged.mp3") && gFiles.count("song.flac")) {
      const std::vector<uint8_t>& mp3 = gFiles["tagged.mp3"];
      size_t tag = 10 + (static_cast<size_t>(mp3[6]) << 21 | mp3[7] << 14 | mp3[8] << 7 | mp3[9]);
      std::vector<uint8_t> file(mp3.begin(), mp3.begin() + static_cast<long>(tag));
      file.insert(file.end(), gFiles["song.flac"].begin(), gFiles["song.flac"].end());
      gFiles["id3.flac"] = file;
    }
    if (gFiles.count("lame.mp3") && gFiles["lame.mp3"][3] == 4) {
      std::vector<uint8_t> file = gFiles["lame.mp3"];
      size_t body = static_cast<size_t>(file[6]) << 21 | file[7] << 14 | file[8] << 7 | file[9];
      file[5] |= 0x10;
      std::vector<uint8_t> footer(file.begin(), file.begin() + 10);
      std::copy_n("3DI", 3, footer.begin());
      file.insert(file.begin() + static_cast<long>(10 + body), footer.begin(), footer.end());
      gFiles["footer.mp3"] = file;
    }
  }

  void SetUp() override {
    if (gFiles.count("song.flac") == 0) GTEST_SKIP() << "ffmpeg missing";
    handler = LoadHandler("audio.so");
    ASSERT_NE(handler, nullptr);
  }

  CContentHandler* handler = nullptr;
};

// Every format, sector-aligned, back to back and between random data and zeros, comes back
// whole and named; files cut short come back marked damaged and no longer than they are.
TEST_F(AudioTest, RecoversFilesThroughTheEngine) {
  std::map<std::string, std::string> intact;
  std::map<std::string, long long> truncated;
  ImageBuilder image;
  image.AddRandom(7000);
  bool zeros = false;
  for (int round = 0; round < 2; ++round) {
    for (const auto& f : gFiles) {
      image.Align();
      image.AddFile(f.first, f.second);
      intact[f.first] = ExtensionOf(f.first);
      if (round == 0 && (zeros = !zeros)) image.AddZeros(1536);
    }
  }
  for (const char* name : {"song.flac", "vorbis.ogg", "lame.mp3"}) {
    if (gFiles.count(name) == 0) continue;
    std::vector<uint8_t> cut = gFiles[name];
    cut.resize(cut.size() * 3 / 5);
    std::string cutName = std::string("cut-") + name;
    image.Align();
    image.AddFile(cutName, cut);
    truncated[cutName] = static_cast<long long>(cut.size());
    image.AddRandom(3000);
  }
  image.AddZeros(2048);
  std::vector<uint8_t> bytes = image.Finish();

  MediaTally tally =
      CheckMediaRecovery(image.placed(), ScanImage({"audio.so"}, bytes), intact, truncated);
  EXPECT_EQ(tally.identical, tally.files);
  EXPECT_EQ(tally.broken, static_cast<int>(truncated.size()));
  PrintTally("audio", tally);
}

// Inside blocks only with Unaligned set; a stream longer than MaxSize is left to the end
// search, which finds its end.
TEST_F(AudioTest, UnalignedStartsAndMaxSize) {
  ImageBuilder image;
  image.AddRandom(777);
  image.AddFile("vorbis.ogg", gFiles["vorbis.ogg"]);
  image.AddRandom(1001);
  image.AddFile("bare.mp3", gFiles["bare.mp3"]);
  image.AddRandom(2000);
  image.AddFile("xing.mp3", gFiles["xing.mp3"]);
  image.AddRandom(1000);
  std::vector<uint8_t> bytes = image.Finish();
  EXPECT_TRUE(ScanImage({"audio.so"}, bytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanImage({"audio.so"}, bytes);
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 0));
  MediaTally tally = CheckMediaRecovery(
      image.placed(), found, {{"vorbis.ogg", "ogg"}, {"bare.mp3", "mp3"}, {"xing.mp3", "mp3"}}, {});
  EXPECT_EQ(tally.identical, 3);

  // Two streams of one kind right behind each other: the second's info frame ends the first.
  std::vector<uint8_t> pair = gFiles["xing.mp3"];
  pair.insert(pair.end(), gFiles["xing.mp3"].begin(), gFiles["xing.mp3"].end());
  EXPECT_EQ(RecognizeAt(handler, pair, 0).end, static_cast<long long>(gFiles["xing.mp3"].size()));

  for (const char* name : {"song.flac", "lame.mp3", "voice.opus", "adts.aac"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t>& file = gFiles[name];
    ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 4));
    Answer open = RecognizeAt(handler, file, 0);
    ASSERT_TRUE(handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler)));
    EXPECT_TRUE(open.recognized);
    EXPECT_EQ(open.end, -1);
    std::vector<uint8_t> window = file;
    window.resize(window.size() + 1500, 0);
    EXPECT_EQ(FindEndIn(handler, window), static_cast<long long>(file.size()));
  }
}

// The corpus samples (cut short by their collector) are recognised and named.
TEST_F(AudioTest, NamesFormatSamples) {
  const std::vector<std::pair<std::string, std::string>> samples = {
      {"MP3.mp3", "mp3"}, {"FLAC.flac", "flac"}, {"Vorbis.ogg", "ogg"}, {"FLAC.ogg", "oga"}};
  for (const auto& s : samples) {
    SCOPED_TRACE(s.first);
    std::vector<uint8_t> sample = ReadFileBytes(TestData("corpus/format-samples/" + s.first));
    ASSERT_FALSE(sample.empty());
    EXPECT_TRUE(RecognizeAt(handler, sample, 0).recognized);
    std::string extension;
    DescribeBytes(handler, sample, &extension);
    EXPECT_EQ(extension, s.second);
  }
}

// Random data yields nothing, also with frame syncs, ID3 headers and Ogg/FLAC magic planted at
// block starts.
TEST_F(AudioTest, IgnoresRandomData) {
  ImageBuilder image(5);
  image.AddRandom(2 << 20);
  std::vector<uint8_t> bytes = image.Finish();
  const std::vector<std::vector<uint8_t>> plants = {{0xFF, 0xFB, 0x90, 0x64},
                                                    {0xFF, 0xF1, 0x50, 0x80},
                                                    {'I', 'D', '3', 3, 0, 0, 0, 0, 0x10, 0},
                                                    {'f', 'L', 'a', 'C', 0, 0, 0, 34},
                                                    {'O', 'g', 'g', 'S', 0, 2}};
  size_t which = 0;
  for (size_t at = 0; at + 16 < bytes.size(); at += 512 * 3, ++which) {
    const auto& plant = plants[which % plants.size()];
    std::copy(plant.begin(), plant.end(), bytes.begin() + static_cast<long>(at));
  }
  for (const auto& r : ScanImage({"audio.so"}, bytes))
    ADD_FAILURE() << "found " << r.size << " bytes at " << r.offset << " ." << r.extension;
}

// Damaged copies of every generated file: answers stay inside the data, nothing crashes.
TEST_F(AudioTest, DamagedCopiesStayInBounds) {
  uint32_t seed = 1;
  for (const auto& f : gFiles) {
    SCOPED_TRACE(f.first);
    ExerciseDamagedCopies(handler, f.second, seed++);
  }
}

}  // namespace
