#include "tests/support/CarveCheck.h"
#include "tests/support/SparseStream.h"

using namespace testing_support;

namespace {

// A chunk header, with the form name that opens its data when given.
Bytes Chunk(const char* tag, uint64_t size, const std::string& form = "") {
  return Concat({Text(tag), LE(size), Text(form)});
}
// A PCM format chunk: mono, 8 kHz, 16 bits.
const Bytes kFormat =
    Concat({Chunk("fmt ", 16), LE(0x00010001), LE(8000), LE(16000), LE(0x00100002)});

const Samples& Media() {
  static const Samples media = [] {
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

// Files whole (the 8 header bytes included), sector-aligned and back to back, then at odd
// offsets (found only with Unaligned set, RIFF and RF64 alike); a cut AVI, a WAV whose later
// sectors were reused and files whose sizes were never written end where the next file begins; RIFF
// headers planted in random data yield nothing, a WAV header with a data chunk followed within 4
// KiB by another file included. Samples cut short by their collector are recognised and named;
// damaged copies stay inside.
TEST(RiffModule, ScanRecoversEveryFile) {
  if (Media().size() != 9) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
  const Samples intact(Media().begin(), Media().begin() + 7);
  const Bytes& avi = Find(Media(), "mjpeg.avi");
  const Sample tone = {"tone.wav", Find(Media(), "tone.wav"), "wav"};
  Layout layout;
  layout.Random(5000).Spread(intact);
  for (const Sample& broken :
       {Media()[7], Media()[8], Sample{"cut.avi", Prefix(avi, avi.size() / 2), "avi"},
        Sample{"written-over.wav", Prefix(tone.bytes, 4096), "wav"}})
    layout.Align().Cut(broken.name, broken.bytes, broken.extension).Align().EndsHere().Whole(tone);
  const Bytes wave = Join(Chunk("RIFF", 4000, "WAVE"), kFormat);  // then random bytes
  // An RF64 whose data would be larger than the whole file.
  const Bytes rf64 = Concat({Chunk("RF64", 0xFFFFFFFF, "WAVE"), Chunk("ds64", 28), LE(100, 8),
                             LE(200, 20), kFormat, Chunk("data", 0xFFFFFFFF)});
  // A whole WAV but for a form name that is no name.
  Bytes junkForm = tone.bytes;
  junkForm[9] = 0x01;
  layout.Planted({wave, Chunk("RIFF", 0x10010, "AVI LIST"), rf64, junkForm,
                  Concat({Chunk("RIFF", 1 << 20, "WAVE"), kFormat, Chunk("data", 1 << 19)})},
                 9);
  // An empty LIST after the data.
  const Bytes listed =
      Concat({Chunk("RIFF", tone.bytes.size() + 4, "WAVE"),
              Bytes(tone.bytes.begin() + 12, tone.bytes.end()), Chunk("LIST", 4, "INFO")});
  layout.Align().Whole({"empty-list.wav", listed, "wav"}).Random(3000);
  // The broadcast form of RF64 under its own magic; a WAV with a format but no data is damaged.
  Bytes bw64 = Media()[3].bytes;
  std::copy_n("BW64", 4, bw64.begin());
  layout.Align().Whole({"bw64.wav", bw64, "wav"}).Align();
  layout.Place("no-data.wav", Join(Chunk("RIFF", 28, "WAVE"), kFormat), "wav", Layout::kDamaged);
  layout.Random(3000);
  ExpectCarvedEitherWay("riff", layout.Random(701).Packed(intact, 1333));
  ExpectSamplesNamed("riff", {{"RIFF.avi", "avi"}, {"Pentax.avi", "avi"}, {"RIFF.webp", "webp"}});
  ExpectDamagedCopiesStayInside("riff", {Media()[0], Media()[3], Media()[6]});
}

// Beyond 4 GiB: an OpenDML AVI whose RIFF AVI part is followed by AVIX parts, and an RF64 WAV
// whose sizes live in ds64; both read as sparse streams followed by zeros.
TEST(RiffModule, FollowsOpenDmlAndRf64BeyondFourGiB) {
  CContentHandler* handler = Handler("riff");
  EXPECT_GE(DefaultMaxSize(handler), 4194304);
  auto endOf = [&](SparseStream& file) {
    const Recognition r = Recognize(handler, &file);
    EXPECT_TRUE(r.ok && r.recognized && r.start == 0);
    return r.end;
  };

  const uint32_t frame = (1u << 30) - 64, movi = 4 + 8 + frame;  // one huge frame per part
  SparseStream avi(6LL << 30);
  long long pos = 0;
  for (int part = 0; part < 5; ++part) {
    const Bytes hdrl =
        part ? Bytes()
             : Concat({Chunk("LIST", 4 + 8 + 56, "hdrl"), Chunk("avih", 56), Bytes(56, 0)});
    const uint32_t riff = uint32_t(4 + hdrl.size() + 8 + movi + (part ? 0 : 8 + 16));
    const Bytes head = Concat({Chunk("RIFF", riff, part ? "AVIX" : "AVI "), hdrl,
                               Chunk("LIST", movi, "movi"), Chunk("00dc", frame)});
    if (part == 0)
      avi.Place(pos + long(head.size()) + frame, Join(Chunk("idx1", 16), Bytes(16, 0)));
    avi.Place(pos, head);
    pos += 8 + riff;
  }
  ASSERT_GT(pos, 4LL << 30);
  EXPECT_EQ(endOf(avi), pos);
  avi.SetPosition(pos - 8 - (4 + 8 + 4 + 8 + frame));  // a continuation part is no file of its own
  EXPECT_FALSE(Recognize(handler, &avi).recognized);

  const uint64_t dataBytes = 5ULL << 30, riffSize = 4 + 36 + 24 + 8 + dataBytes;
  const Bytes rf64 = Concat({Chunk("RF64", 0xFFFFFFFF, "WAVE"), Chunk("ds64", 28), LE(riffSize, 8),
                             LE(dataBytes, 8), LE(dataBytes / 2, 8), LE(0), kFormat,
                             Chunk("data", 0xFFFFFFFF)});  // no table in ds64
  SparseStream wav(static_cast<long long>(riffSize) + 8 + 4096);
  wav.Place(0, rf64);
  EXPECT_EQ(endOf(wav), static_cast<long long>(riffSize) + 8);
}

}  // namespace
