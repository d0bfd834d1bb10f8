#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

// Tags that ffmpeg does not write: an APEv2 tag (header, one item, footer) and an ID3v1 tag
// behind the frames, an ID3v2 tag in front of FLAC, and an ID3v2.4 tag with a footer.
void AddHandMadeTags(Samples& files) {
  Bytes ape = Find(files, "bare.mp3");
  const Bytes item = {1, 0, 0, 0, 0, 0, 0, 0, 'T', 'i', 't', 'l', 'e', 0, 'x'};
  for (bool header : {true, false}) {
    Bytes h(32, 0);
    std::copy_n("APETAGEX\xD0\x07", 10, h.begin());
    h[12] = uint8_t(item.size() + 32), h[16] = 1, h[23] = header ? 0xA0 : 0x80;
    ape = header ? Join(Join(ape, h), item) : Join(ape, h);
  }
  Bytes id3v1(128, 0);
  std::copy_n("TAGTitle", 8, id3v1.begin());
  files.push_back({"apetag.mp3", Join(ape, id3v1), "mp3"});

  const Bytes& mp3 = Find(files, "tagged.mp3");
  const size_t tag = 10 + (size_t(mp3[6]) << 21 | mp3[7] << 14 | mp3[8] << 7 | mp3[9]);
  files.push_back({"id3.flac", Join(Prefix(mp3, tag), Find(files, "song.flac")), "flac"});

  Bytes footer = Find(files, "lame.mp3");
  if (footer[3] != 4) return;
  const size_t body = size_t(footer[6]) << 21 | footer[7] << 14 | footer[8] << 7 | footer[9];
  footer[5] |= 0x10;
  Bytes copy = Prefix(footer, 10);
  std::copy_n("3DI", 3, copy.begin());
  footer.insert(footer.begin() + long(10 + body), copy.begin(), copy.end());
  files.push_back({"footer.mp3", footer, "mp3"});
}

const Samples& Files() {
  static const Samples made = [] {
    const std::string ff = "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=2 ";
    Samples files = MakeMedia(
        "audio", {{"lame.mp3", ff + "-c:a libmp3lame -b:a 64k"},
                  {"tagged.mp3", ff + "-c:a libmp3lame -q:a 5 -write_id3v1 1 -metadata title=T"},
                  {"bare.mp3", ff + "-c:a libmp3lame -ar 22050 -id3v2_version 0 -write_xing 0"},
                  {"xing.mp3", ff + "-c:a libmp3lame -b:a 48k -id3v2_version 0"},
                  {"layer2.mp2", ff + "-c:a mp2 -ac 1"},
                  {"song.flac", ff + "-c:a flac"},
                  {"vorbis.ogg", ff + "-c:a libvorbis"},
                  {"voice.opus", ff + "-c:a libopus"},
                  {"flac.oga", ff + "-c:a flac -f ogg"},
                  {"theora.ogv",
                   "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=10:duration=1 "
                   "-f lavfi -i sine=duration=1 -c:v libtheora -c:a libvorbis"},
                  {"adts.aac", ff + "-c:a aac -f adts"},
                  // Written to a pipe: STREAMINFO keeps no sample count.
                  {"piped.flac", ff + "-c:a flac -f flac - >"}});
    if (files.size() == 12) AddHandMadeTags(files);
    return files;
  }();
  return made;
}

// Every format whole, sector-aligned and back to back; files cut short come back damaged;
// frame syncs, ID3 headers and Ogg/FLAC magic planted in random data yield nothing; formats
// that open with a header of their own at odd offsets are found only with Unaligned set (frame
// chains without a tag are found from any frame on a block start). A stream longer than
// MaxSize is left to the end search, which finds its end. The corpus samples are recognised
// and named; a stream right behind another of its kind ends the first; damaged copies stay
// inside the data.
TEST(AudioModule, ScanRecoversEveryFile) {
  if (Files().size() != 15) GTEST_SKIP() << "ffmpeg missing";
  Layout layout;
  layout.Random(7000).Spread(Files());
  for (const char* name : {"song.flac", "vorbis.ogg", "lame.mp3"}) {
    const Bytes& file = Find(Files(), name);
    layout.Align().Cut(std::string("cut-") + name, Prefix(file, file.size() * 3 / 5), "");
    layout.Random(3000);
  }
  layout.Planted({{0xFF, 0xFB, 0x90, 0x64},
                  {0xFF, 0xF1, 0x50, 0x80},
                  {'I', 'D', '3', 3, 0, 0, 0, 0, 0x10, 0},
                  {'f', 'L', 'a', 'C', 0, 0, 0, 34},
                  {'O', 'g', 'g', 'S', 0, 2}},
                 700);
  layout.Random(1234);
  for (const char* name : {"vorbis.ogg", "song.flac", "voice.opus"})
    layout.Whole({name, Find(Files(), name), ""}).Random(2000);
  ExpectCarvedEitherWay("audio", layout);
  Layout open;
  for (const char* name : {"song.flac", "lame.mp3", "voice.opus", "adts.aac"})
    open.Align().Whole({name, Find(Files(), name), ""}).Zeros(1500);
  ExpectCarved("audio", open, false, 4);
  ExpectSamplesNamed(
      "audio",
      {{"MP3.mp3", "mp3"}, {"FLAC.flac", "flac"}, {"Vorbis.ogg", "ogg"}, {"FLAC.ogg", "oga"}});
  const Bytes& xing = Find(Files(), "xing.mp3");
  EXPECT_EQ(Recognize(Handler("audio"), Join(xing, xing), 0).end,
            static_cast<long long>(xing.size()));
  ExpectDamagedCopiesStayInside("audio", Files());
}

}  // namespace
