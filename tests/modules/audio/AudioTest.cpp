#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "tests/support/MediaTestSupport.h"
#include "tests/support/ScanHarness.h"

using namespace testing_support;

namespace {

std::map<std::string, std::vector<uint8_t>> gFiles;

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
  MediaImage image;
  image.AddAll(gFiles);
  for (const char* name : {"song.flac", "vorbis.ogg", "lame.mp3"})
    image.AddCut(std::string("cut-") + name, gFiles[name], gFiles[name].size() * 3 / 5);
  ScanAndCheck("audio.so", image);
}

// Inside blocks only with Unaligned set; a stream longer than MaxSize is left to the end
// search, which finds its end; a stream right behind another of its kind ends the first.
TEST_F(AudioTest, UnalignedMaxSizeAndNeighbours) {
  // (Frame chains without a tag are found from any frame that falls on a block start, so the
  // formats checked here are those that open with a header of their own.)
  for (const char* name : {"vorbis.ogg", "song.flac", "voice.opus"}) {
    SCOPED_TRACE(name);
    ExpectFoundOnlyUnaligned(handler, "audio.so", name, gFiles[name]);
  }
  for (const char* name : {"song.flac", "lame.mp3", "voice.opus", "adts.aac"}) {
    SCOPED_TRACE(name);
    ExpectOpenPastMaxSize(handler, gFiles[name], 4);
  }
  std::vector<uint8_t> pair = gFiles["xing.mp3"];
  pair.insert(pair.end(), gFiles["xing.mp3"].begin(), gFiles["xing.mp3"].end());
  EXPECT_EQ(Recognize(handler, pair, 0).end, static_cast<long long>(gFiles["xing.mp3"].size()));
}

// The corpus samples (cut short by their collector) are recognised and named.
TEST_F(AudioTest, NamesFormatSamples) {
  ExpectSamplesNamed(
      handler,
      {{"MP3.mp3", "mp3"}, {"FLAC.flac", "flac"}, {"Vorbis.ogg", "ogg"}, {"FLAC.ogg", "oga"}});
}

// Random data yields nothing, also with frame syncs, ID3 headers and Ogg/FLAC magic planted at
// block starts; damaged copies stay inside the data.
TEST_F(AudioTest, RandomAndDamagedData) {
  ExpectNothingFromRandom("audio.so", {{0xFF, 0xFB, 0x90, 0x64},
                                       {0xFF, 0xF1, 0x50, 0x80},
                                       {'I', 'D', '3', 3, 0, 0, 0, 0, 0x10, 0},
                                       {'f', 'L', 'a', 'C', 0, 0, 0, 34},
                                       {'O', 'g', 'g', 'S', 0, 2}});
  ExerciseDamagedCopies(handler, gFiles);
}

}  // namespace
