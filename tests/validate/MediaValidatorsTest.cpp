// Movie and sound validators on files made by ffmpeg: whole, with bytes after them, cut short,
// and with a cluster's worth of their middle overwritten.

#include <random>

#include "tests/support/CarveCheck.h"
#include "validate/Spans.h"
#include "validate/Validator.h"

using namespace testing_support;
using salvor::Validation;
using salvor::Verdict;

namespace {

const Samples& Media() {
  static const Samples media = [] {
    const std::string ff = "ffmpeg -v error -y ",
                      v = " -f lavfi -i testsrc=size=160x120:rate=25:duration=2",
                      a = " -f lavfi -i sine=duration=2",
                      noise = " -f lavfi -i anoisesrc=duration=3:amplitude=0.3:seed=7",
                      h264 = " -c:v libx264 -preset ultrafast -c:a aac ";
    return MakeMedia(
        "validate",
        {{"moov-last.mp4", ff + v + a + h264},
         {"faststart.mp4", ff + v + a + h264 + "-movflags +faststart"},
         {"fragmented.mp4", ff + v + " -c:v libx264 -movflags frag_keyframe+empty_moov"},
         {"hevc.mov", ff + v + a + " -c:v libx265 -preset ultrafast -x265-params log-level=none"},
         {"motion-jpeg.mov", ff + v + a + " -c:v mjpeg -c:a pcm_s16le"},
         {"song.m4a", ff + noise + " -c:a aac"},
         {"song.mp3", ff + noise + " -c:a libmp3lame -b:a 128k"},
         {"song.mp2", ff + noise + " -c:a mp2"},
         {"song.aac", ff + noise + " -c:a aac -f adts"},
         {"song.flac", ff + noise + " -c:a flac"},
         {"song.ogg", ff + noise + " -c:a libvorbis"},
         {"song.opus", ff + noise + " -c:a libopus"},
         {"motion-jpeg.avi", ff + v + a + " -c:v mjpeg -c:a pcm_s16le"},
         {"h264.avi", ff + v + a + " -c:v libx264 -preset ultrafast -c:a libmp3lame"}});
  }();
  return media;
}

Validation Check(const Sample& file, const Bytes& bytes) {
  salvor::ValidateFunction validate = salvor::FindValidator(file.extension);
  EXPECT_NE(validate, nullptr) << file.extension;
  if (validate == nullptr) return Validation::CannotTell();
  salvor::MemorySpan span(bytes);
  return validate(span);
}

Samples Without(const Samples& files, const std::string& name) {
  Samples kept;
  for (const Sample& file : files)
    if (file.name != name) kept.push_back(file);
  return kept;
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out(n);
  for (uint8_t& b : out) b = uint8_t(random());
  return out;
}

TEST(MediaValidators, WholeFilesEndWhereTheyEnd) {
  ASSERT_EQ(Media().size(), 14u);
  for (const Sample& file : Media()) {
    const long long size = static_cast<long long>(file.bytes.size());
    for (const Bytes& after : {Bytes(), Bytes(3000, 0), Random(3000, 5)}) {
      const Validation answer = Check(file, Join(file.bytes, after));
      EXPECT_EQ(answer.verdict, Verdict::kIntact)
          << file.name << " + " << after.size() << ": " << answer.reason;
      EXPECT_EQ(answer.end, size) << file.name << " + " << after.size();
    }
  }
}

TEST(MediaValidators, CutShortIsDamagedAtTheCut) {
  for (const Sample& file : Media()) {
    const long long cut = static_cast<long long>(file.bytes.size()) * 11 / 20 + 1;
    const Validation answer = Check(file, Bytes(file.bytes.begin(), file.bytes.begin() + cut));
    EXPECT_EQ(answer.verdict, Verdict::kDamaged) << file.name;
    EXPECT_EQ(answer.damagedAt, cut) << file.name << ": " << answer.reason;
    EXPECT_LE(answer.goodUntil, cut) << file.name;
  }
}

// Up to two 4 KiB clusters of the middle replaced: the break lies between the two answers.
TEST(MediaValidators, OverwrittenMiddleIsFoundAroundTheSplice) {
  const Bytes& foreign = Find(Media(), "song.flac");
  for (const Sample& file : Media()) {
    const size_t at = file.bytes.size() * 2 / 5,
                 length = std::min<size_t>(8192, file.bytes.size() / 4);
    for (const Bytes& patch : {Bytes(length, 0), Random(length, 9),
                               Bytes(foreign.end() - long(length), foreign.end())}) {
      Bytes bytes = file.bytes;
      std::copy(patch.begin(), patch.end(), bytes.begin() + long(at));
      const Validation answer = Check(file, bytes);
      EXPECT_EQ(answer.verdict, Verdict::kDamaged) << file.name << ": " << answer.reason;
      EXPECT_LE(answer.goodUntil, static_cast<long long>(at)) << file.name << ": " << answer.reason;
      EXPECT_GE(answer.damagedAt, static_cast<long long>(at)) << file.name;
      EXPECT_LE(answer.damagedAt, static_cast<long long>(at + length + 64 * 1024)) << file.name;
    }
  }
}

// PCM sound and transport streams have nothing to check their payload by: only the structure
// (chunk lengths; packet sync bytes and continuity counters).
TEST(MediaValidators, StructureOnlyFormatsCannotTellUnlessTheStructureBreaks) {
  const std::string ff =
      "ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=2 "
      "-f lavfi -i sine=duration=2 -c:v libx264 -preset ultrafast ";
  const Samples made = MakeMedia(
      "validate", {{"tone.wav", "ffmpeg -v error -y -f lavfi -i sine=duration=1 -c:a pcm_s16le"},
                   {"clip.ts", ff + "-c:a aac"},
                   {"clip.m2ts", ff + "-c:a ac3 -mpegts_m2ts_mode 1"}});
  ASSERT_EQ(made.size(), 3u);
  for (const Sample& file : made) {
    EXPECT_EQ(Check(file, file.bytes).verdict, Verdict::kCannotTell) << file.name;
    const long long cut = static_cast<long long>(file.bytes.size()) / 2 + 7;
    const Validation answer = Check(file, Bytes(file.bytes.begin(), file.bytes.begin() + cut));
    EXPECT_EQ(answer.verdict, Verdict::kDamaged) << file.name;
    EXPECT_EQ(answer.damagedAt, cut) << file.name;
  }
  for (const Sample& file : Without(made, "tone.wav")) {
    Bytes bytes = file.bytes;
    const size_t at = bytes.size() / 3;
    std::fill_n(bytes.begin() + long(at), 4096, 0);
    const Validation answer = Check(file, bytes);
    EXPECT_EQ(answer.verdict, Verdict::kDamaged) << file.name;
    EXPECT_LE(answer.goodUntil, static_cast<long long>(at)) << file.name;
    EXPECT_GE(answer.damagedAt, static_cast<long long>(at)) << file.name;
  }
}

// The collector's samples lost their sound data: none is whole.
TEST(MediaValidators, CorpusSamplesCutByTheirCollectorAreNotIntact) {
  for (const char* name :
       {"MP3.mp3", "FLAC.flac", "FLAC.ogg", "Vorbis.ogg", "Pentax.avi", "RIFF.avi", "RIFF.wav"}) {
    const std::string path = name;
    const Sample file{path, ReadFileBytes(TestData("corpus/format-samples/" + path)),
                      path.substr(path.rfind('.') + 1)};
    const Validation answer = Check(file, file.bytes);
    EXPECT_EQ(answer.verdict, Verdict::kDamaged) << name;
  }
}

// Hostile copies (bytes changed, runs zeroed, cut anywhere): answers stay inside the span.
TEST(MediaValidators, DamagedCopiesGiveAnswersInsideTheSpan) {
  std::mt19937 random(3);
  for (const Sample& file : Media()) {
    for (int copy = 0; copy < 40; ++copy) {
      Bytes bytes = file.bytes;
      for (int e = 0, edits = 1 + int(random() % 8); e < edits; ++e) {
        const size_t at = random() % bytes.size();
        if (e % 2 == 0)
          bytes[at] = uint8_t(random());
        else
          std::fill_n(bytes.begin() + long(at), std::min<size_t>(bytes.size() - at, 300), 0);
      }
      if (copy % 4 == 0) bytes.resize(random() % bytes.size() + 1);
      const long long size = static_cast<long long>(bytes.size());
      const Validation answer = Check(file, bytes);
      if (answer.verdict == Verdict::kIntact) {
        EXPECT_TRUE(answer.end > 0 && answer.end <= size) << file.name;
      } else if (answer.verdict == Verdict::kDamaged) {
        EXPECT_TRUE(0 <= answer.goodUntil && answer.goodUntil <= answer.damagedAt &&
                    answer.damagedAt <= size)
            << file.name << " " << answer.goodUntil << " " << answer.damagedAt << " " << size;
      }
    }
  }
}

}  // namespace
