#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/CarveCheck.h"
#include "tests/support/SparseStream.h"

using namespace testing_support;

namespace {

void AppendLE32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void AppendTag(Bytes& b, const char* tag) {
  b.insert(b.end(), tag, tag + 4);
}
void AppendChunk(Bytes& b, const char* tag, uint32_t size) {
  AppendTag(b, tag);
  AppendLE32(b, size);
}
// A PCM format chunk: mono, 8 kHz, 16 bits.
void AppendFormat(Bytes& b) {
  AppendChunk(b, "fmt ", 16);
  for (uint32_t v : {0x00010001u, 8000u, 16000u, 0x00100002u}) AppendLE32(b, v);
}

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

bool Ready() {
  return Media().size() == 9;
}

Samples Intact() {
  return Samples(Media().begin(), Media().begin() + 7);
}

// Files whole (the 8 header bytes included), sector-aligned and back to back; a cut AVI and
// files whose sizes were never written end where the next file begins; RIFF headers planted
// in random data yield nothing.
TEST(RiffModule, ScanRecoversEveryFile) {
  if (!Ready()) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
  const Bytes& avi = Find(Media(), "mjpeg.avi");
  const Sample tone = {"tone.wav", Find(Media(), "tone.wav"), "wav"};
  Layout layout;
  layout.Random(5000).Spread(Intact());
  for (const Sample& broken :
       {Media()[7], Media()[8], Sample{"cut.avi", Prefix(avi, avi.size() / 2), "avi"}})
    layout.Align().Cut(broken.name, broken.bytes, broken.extension).Align().EndsHere().Whole(tone);
  Bytes wave;
  AppendChunk(wave, "RIFF", 4000);
  AppendTag(wave, "WAVE");
  AppendFormat(wave);  // then random bytes where the next chunk should be
  const std::string list(
      "RIFF\x10\x00\x01\x00"
      "AVI LIST",
      16);
  // An RF64 whose data would be larger than the whole file.
  Bytes rf64;
  AppendChunk(rf64, "RF64", 0xFFFFFFFF);
  AppendTag(rf64, "WAVE");
  AppendChunk(rf64, "ds64", 28);
  for (uint32_t v : {100u, 0u, 200u, 0u, 0u, 0u, 0u}) AppendLE32(rf64, v);
  AppendFormat(rf64);
  AppendChunk(rf64, "data", 0xFFFFFFFF);
  // A whole WAV but for a form name that is no name.
  Bytes junkForm = tone.bytes;
  junkForm[9] = 0x01;
  layout.Planted({wave, Bytes(list.begin(), list.end()), rf64, junkForm}, 9);
  // An empty LIST after the data.
  Bytes listed = Join(tone.bytes, {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'});
  const uint32_t size =
      12 + (listed[4] | listed[5] << 8 | listed[6] << 16 | uint32_t(listed[7]) << 24);
  for (int i = 0; i < 4; ++i) listed[4 + i] = uint8_t(size >> (8 * i));
  layout.Align().Whole({"empty-list.wav", listed, "wav"}).Random(3000);
  ExpectCarved("riff", layout);
}

// At odd offsets, found only with Unaligned set (RIFF and RF64 alike).
TEST(RiffModule, UnalignedStarts) {
  if (!Ready()) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
  Layout layout(3);
  layout.Random(701).Packed(Intact(), 1333);
  ExpectCarved("riff", layout, {true});
  ExpectCarved("riff", layout, {false});
}

// Samples cut short by their collector are recognised and named; damaged copies stay inside.
TEST(RiffModule, NamesSamplesAndSurvivesDamage) {
  if (!Ready()) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
  ExpectSamplesNamed(
      "riff",
      {{"RIFF.avi", "avi"}, {"Pentax.avi", "avi"}, {"RIFF.wav", "wav"}, {"RIFF.webp", "webp"}});
  ExpectDamagedCopiesStayInside("riff", {Media()[0], Media()[3], Media()[6]});
}

// Its later sectors reused by a photo: a WAV ends where the photo begins.
TEST(RiffModule, AFileWrittenOverEndsWhereTheNextOneBegins) {
  if (!Ready()) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
  const Bytes& wav = Find(Media(), "tone.wav");
  const Bytes photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  Layout layout;
  layout.Cut("written-over", Prefix(wav, 4096), "wav").EndsHere().Whole({"photo", photo, "jpg"});
  layout.Random(wav.size() + 65536);
  ExpectCarved("riff", layout, {false, 0, {"jpeg"}});
}

// Beyond 4 GiB: an OpenDML AVI whose RIFF AVI part is followed by AVIX parts, and an RF64 WAV
// whose sizes live in ds64; both read as sparse streams followed by zeros.
TEST(RiffModule, FollowsOpenDmlAndRf64BeyondFourGiB) {
  CContentHandler* handler = Handler("riff");
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
    Bytes head;
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
      Bytes index;
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
  Bytes rf64;
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
