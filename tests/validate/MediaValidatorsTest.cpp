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
    Samples made = MakeMedia(
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
         {"h264.avi", ff + v + a + " -c:v libx264 -preset ultrafast -c:a libmp3lame"},
         // ffmpeg's Matroska has CRC-32 elements, its WebM none; piped, a live recording's
         // sizes are unknown.
         {"h264.mkv", ff + v + a + h264},
         {"av1.mkv", ff + v + a + " -c:v libaom-av1 -cpu-used 8 -c:a flac -write_crc32 0"},
         {"song.mka", ff + noise + " -c:a libmp3lame"},
         {"vp8.webm", ff + v + a + " -c:v libvpx -c:a libvorbis"},
         {"vp9.webm", ff + " -f lavfi -i testsrc2=size=160x120:rate=25:duration=2" + a +
                          " -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 300k -c:a libopus"},
         {"live.webm", ff + v + a + " -c:v libvpx -c:a libopus -f webm - | tee"}});
    // Clusters of unknown size too, as some live encoders write them.
    Bytes open = Find(made, "live.webm");
    const uint8_t cluster[] = {0x1F, 0x43, 0xB6, 0x75};
    for (size_t i = 0; i + 7 < open.size(); ++i) {
      if (!std::equal(cluster, cluster + 4, open.begin() + long(i))) continue;
      const bool two = (open[i + 4] & 0xC0) == 0x40;
      std::fill_n(open.begin() + long(i) + 4, two ? 2 : 3, 0xFF);
      open[i + 4] = two ? 0x7F : 0x3F;
    }
    made.push_back({"open-clusters.webm", open, "webm"});
    return made;
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
  ASSERT_EQ(Media().size(), 21u);
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

// PCM sound, transport and program streams (and sound Matroska cannot hand a decoder) have
// nothing to check their payload by: only the structure (chunk lengths; packet sync bytes and
// continuity counters; packet lengths and marker bits; elements and blocks).
TEST(MediaValidators, StructureOnlyFormatsCannotTellUnlessTheStructureBreaks) {
  const std::string ff =
      "ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=2 "
      "-f lavfi -i sine=duration=2 -c:v libx264 -preset ultrafast ";
  const Samples made = MakeMedia(
      "validate", {{"tone.wav", "ffmpeg -v error -y -f lavfi -i sine=duration=1 -c:a pcm_s16le"},
                   {"clip.ts", ff + "-c:a aac"},
                   {"clip.m2ts", ff + "-c:a ac3 -mpegts_m2ts_mode 1"},
                   {"clip.mpg", ff + "-c:v mpeg1video -c:a mp2 -f mpeg"},
                   {"clip.vob", ff + "-c:v mpeg2video -c:a ac3 -f vob"},
                   // Matroska keeps WavPack blocks without their headers: not decodable as such.
                   {"wavpack.mka",
                    "ffmpeg -v error -y -f lavfi -i sine=duration=1 -c:a wavpack "
                    "-write_crc32 0"}});
  ASSERT_EQ(made.size(), 6u);
  for (const Sample& file : made) {
    EXPECT_EQ(Check(file, file.bytes).verdict, Verdict::kCannotTell) << file.name;
    const long long cut = static_cast<long long>(file.bytes.size()) / 2 + 7;
    const Validation answer = Check(file, Bytes(file.bytes.begin(), file.bytes.begin() + cut));
    EXPECT_EQ(answer.verdict, Verdict::kDamaged) << file.name;
    EXPECT_EQ(answer.damagedAt, cut) << file.name;
  }
  // Zeros within one sample's payload go unseen where there is no structure there.
  for (const Sample& file : Without(Without(made, "tone.wav"), "wavpack.mka")) {
    Bytes bytes = file.bytes;
    const size_t at = bytes.size() / 3;
    std::fill_n(bytes.begin() + long(at), 4096, 0);
    const Validation answer = Check(file, bytes);
    EXPECT_EQ(answer.verdict, Verdict::kDamaged) << file.name;
    EXPECT_LE(answer.goodUntil, static_cast<long long>(at)) << file.name;
    EXPECT_GE(answer.damagedAt, static_cast<long long>(at)) << file.name;
  }
  // A program stream ends where another begins (its clock starting over), even one cut short.
  for (const char* name : {"clip.mpg", "clip.vob"}) {
    const Bytes& bytes = Find(made, name);
    const Bytes next(bytes.begin(), bytes.begin() + long(bytes.size() / 2));
    EXPECT_EQ(Check({name, {}, "mpg"}, Join(bytes, next)).verdict, Verdict::kCannotTell) << name;
  }
}

// PCM sound has no structure in its samples, but sound is smooth and quiet beside random or
// compressed bytes, and does not fall silent from loud in one sample: a recording whose second
// half is another file's data or zeros is damaged at the 512-byte block where that starts, in
// every sample form. Noise recorded from the start says nothing.
TEST(MediaValidators, PcmTurningToNoiseIsDamagedWhereItTurns) {
  const std::string tone = "ffmpeg -v error -y -f lavfi -i sine=f=440:duration=1 -ac 2 -c:a ";
  const Samples made = MakeMedia(
      "validate-pcm",
      {{"s16.wav", tone + "pcm_s16le"},
       {"u8.wav", tone + "pcm_u8"},
       {"s24.wav", tone + "pcm_s24le"},
       {"f32.wav", tone + "pcm_f32le"},
       {"noise.wav",
        "ffmpeg -v error -y -f lavfi -i anoisesrc=amplitude=1:duration=1 -c:a pcm_s16le"}});
  ASSERT_EQ(made.size(), 5u);
  const Bytes& foreign = Find(Media(), "song.flac");
  for (const Sample& file : made) {
    EXPECT_EQ(Check(file, file.bytes).verdict, Verdict::kCannotTell) << file.name;
    const size_t at = file.bytes.size() / 2 / 512 * 512;
    const size_t length = file.bytes.size() - at;
    for (const Bytes& patch :
         {Random(length, 4), Bytes(foreign.end() - long(length), foreign.end()),
          Bytes(length, 0)}) {
      Bytes bytes = file.bytes;
      std::copy(patch.begin(), patch.end(), bytes.begin() + long(at));
      const Validation answer = Check(file, bytes);
      if (file.name == "noise.wav") {
        EXPECT_EQ(answer.verdict, Verdict::kCannotTell) << file.name << ": " << answer.reason;
        continue;
      }
      EXPECT_EQ(answer.verdict, Verdict::kDamaged) << file.name;
      EXPECT_EQ(answer.damagedAt, static_cast<long long>(at)) << file.name << ": " << answer.reason;
    }
  }
}

// An EBML element: the ID's bytes, an 8-byte size, the content.
Bytes Element(uint32_t id, const Bytes& content) {
  Bytes out;
  for (int shift = 24; shift >= 0; shift -= 8)
    if ((id >> shift) != 0 || !out.empty()) out.push_back(uint8_t(id >> shift));
  return Concat({out, {0x01}, BE(content.size(), 7), content});
}

// A Matroska file of one PCM track (its frames have nothing to be checked by: only the
// structure speaks) with a cluster of three blocks, the middle one given, then a cue that
// points `cueShift` bytes after the cluster. `middle` is where the middle block's content is.
Bytes BlockFile(const Bytes& block, size_t* middle, bool live, long long cueShift = 0) {
  const Bytes header = Element(0x1A45DFA3, Element(0x4282, Text("matroska")));
  const Bytes tracks =
      Element(0x1654AE6B,
              Element(0xAE, Concat({Element(0xD7, {1}), Element(0x86, Text("A_PCM/INT/LIT"))})));
  const Bytes plain = {0x81, 0, 0, 0x80, 1, 2, 3, 4};
  const Bytes first = Concat({Element(0xE7, {0}), Element(0xA3, plain)});
  const Bytes cues = Element(
      0x1C53BB6B,
      Element(0xBB,
              Concat({Element(0xB3, {0}),
                      Element(0xB7, Concat({Element(0xF7, {1}),
                                            Element(0xF1, BE(tracks.size() + cueShift, 8))}))})));
  Bytes segment = Element(
      0x18538067,
      Concat({tracks,
              Element(0x1F43B675, Concat({first, Element(0xA3, block), Element(0xA3, plain)})),
              cues}));
  if (live) std::fill_n(segment.begin() + 5, 7, 0xFF);  // its size unknown
  *middle = header.size() + 12 + tracks.size() + 12 + first.size() + 9;
  return Concat({header, segment});
}

// Blocks unlaced and with each lacing, then with lace sizes, a track number or a cue that do
// not fit: the break is reported around the bytes changed, in a Segment of known or unknown size.
TEST(MediaValidators, MatroskaBlocksAndCuesMustFit) {
  const Bytes payload(330, 7);
  struct Case {
    const char* name;
    Bytes block;
    long long cueShift;
    long long changed;  // in the block (-1: the cue's last byte); -2: nothing
  } cases[] = {
      {"unlaced", {0x81, 0, 0, 0x80, 1, 2, 3, 4}, 0, -2},
      {"Xiph lacing", Concat({{0x81, 0, 0, 0x82, 2, 255, 45, 10}, payload}), 0, -2},
      {"EBML lacing", Concat({{0x81, 0, 0, 0x86, 3, 0x41, 0x2C, 0x5E, 0xDD, 0xC0}, payload}), 0,
       -2},
      {"fixed lacing", Concat({{0x81, 0, 0, 0x84, 2}, Bytes(12, 7)}), 0, -2},
      {"Xiph sizes past the block", Concat({{0x81, 0, 0, 0x82, 2, 255, 255, 45, 10}, payload}), 0,
       6},
      {"EBML size below zero", Concat({{0x81, 0, 0, 0x86, 2, 0x41, 0x2C, 0x40, 0x01}, payload}), 0,
       7},
      {"fixed sizes unequal", Concat({{0x81, 0, 0, 0x84, 2}, Bytes(13, 7)}), 0, 4},
      {"undeclared track", {0x82, 0, 0, 0x80, 1, 2, 3, 4}, 0, 0},
      {"cue off its cluster", {0x81, 0, 0, 0x80, 1, 2, 3, 4}, 12, -1},
  };
  for (const Case& test : cases) {
    for (bool live : {false, true}) {
      size_t middle = 0;
      const Bytes file = BlockFile(test.block, &middle, live, test.cueShift);
      const Validation answer = Check({"blocks.mkv", {}, "mkv"}, Join(file, Bytes(100, 0)));
      if (test.changed == -2) {
        EXPECT_EQ(answer.verdict, Verdict::kCannotTell) << test.name << ": " << answer.reason;
        continue;
      }
      const long long changed = test.changed == -1 ? static_cast<long long>(file.size()) - 1
                                                   : static_cast<long long>(middle) + test.changed;
      EXPECT_EQ(answer.verdict, Verdict::kDamaged) << test.name << " " << live;
      EXPECT_LE(answer.goodUntil, changed) << test.name << ": " << answer.reason;
      EXPECT_GT(answer.damagedAt, changed) << test.name << ": " << answer.reason;
    }
  }
}

// A live recording whose third cluster is followed by another recording's first (the same
// tracks, chaining as well): damaged at the join, where the cluster times go back.
TEST(MediaValidators, MatroskaClustersOfAnotherRecordingAreDamaged) {
  const Bytes id = {0x1F, 0x43, 0xB6, 0x75};
  for (const char* name : {"live.webm", "open-clusters.webm"}) {
    const Bytes& file = Find(Media(), name);
    std::vector<long long> clusters;
    for (auto at = file.begin();
         (at = std::search(at, file.end(), id.begin(), id.end())) != file.end(); ++at)
      clusters.push_back(at - file.begin());
    ASSERT_GE(clusters.size(), 3u) << name;
    const Bytes joined = Join(Bytes(file.begin(), file.begin() + clusters[2]),
                              Bytes(file.begin() + clusters[0], file.end()));
    const Validation answer = Check({name, {}, "webm"}, joined);
    EXPECT_EQ(answer.verdict, Verdict::kDamaged) << name;
    EXPECT_LE(answer.goodUntil, clusters[2]) << name << ": " << answer.reason;
    EXPECT_GT(answer.damagedAt, clusters[2]) << name;
  }
}

// The collector's samples lost their sound data: none is whole.
TEST(MediaValidators, CorpusSamplesCutByTheirCollectorAreNotIntact) {
  for (const char* name : {"MP3.mp3", "FLAC.flac", "FLAC.ogg", "Vorbis.ogg", "Pentax.avi",
                           "RIFF.avi", "RIFF.wav", "Matroska.mkv"}) {
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

// Ten frames of a noisy test pattern in H.264, its pictures some 4 to 60 KiB, as a camera's.
const Bytes& NoisyClip() {
  static const Samples made =
      MakeMedia("decoded-joins", {{"noisy.mp4",
                                   "ffmpeg -v error -y -f lavfi -i "
                                   "testsrc2=size=640x360:rate=25:duration=0.4 -vf "
                                   "noise=alls=14:allf=t+u:all_seed=5 -c:v libx264 -preset "
                                   "veryfast -b:v 2M -threads 1 -movflags +faststart"}});
  static const Bytes none;
  return made.empty() ? none : made[0].bytes;
}

// A sector of foreign bytes inside an H.264 frame may decode without complaint: the decoder
// reaches the frame's last macroblock early and leaves the rest unread. Told where pieces were
// joined, the decoding validator never names such a join intact, and names the file itself
// intact whatever the cut, but for cuts in pictures that cost next to nothing at their end.
TEST(MediaValidators, DecodingNeverKeepsAJoinWhoseFrameEndsEarly) {
  const Bytes& bytes = NoisyClip();
  ASSERT_FALSE(bytes.empty());
  const salvor::DecodeFunction decode = salvor::FindDecodingValidator("mp4");
  ASSERT_NE(decode, nullptr);
  const long long size = static_cast<long long>(bytes.size());
  int cuts = 0, kept = 0, spliced = 0, wronglyKept = 0;
  // Cuts through the frames after the first (the decoder notices noise in a keyframe).
  for (long long cut = size / 3 / 512 * 512; cut + 512 < size; cut += 512, ++cuts) {
    salvor::MemorySpan whole(bytes);
    const Verdict right = decode(whole, {cut}, 0).verdict;
    EXPECT_NE(right, Verdict::kDamaged) << cut;
    kept += right == Verdict::kIntact;
    Bytes wrong = bytes;
    const Bytes noise = Random(512, static_cast<uint32_t>(cut));
    std::copy(noise.begin(), noise.end(), wrong.begin() + cut);
    salvor::MemorySpan span(wrong);
    if (decode(span, {}, 0).verdict != Verdict::kIntact) continue;  // noticed anyway
    ++spliced;
    wronglyKept += decode(span, {cut}, 0).verdict == Verdict::kIntact;
  }
  EXPECT_GE(kept, cuts * 9 / 10);
  EXPECT_GE(spliced, 2);
  EXPECT_EQ(wronglyKept, 0);
}

// Where a decoder gives up inside a picture tells about where foreign bytes begin in it: the
// search tries the cuts there first.
TEST(MediaValidators, DecodingPlacesASpliceInsideAPicture) {
  const Bytes& clip = NoisyClip();
  ASSERT_FALSE(clip.empty());
  const salvor::DecodeFunction decode = salvor::FindDecodingValidator("mp4");
  // Noise from somewhere in the first picture (60 KiB) on.
  int splices = 0, placed = 0;
  for (long long splice = 8192; splice < 60000; splice += 4096, ++splices) {
    Bytes wrong = clip;
    const Bytes noise = Random(wrong.size() - splice, static_cast<uint32_t>(splice));
    std::copy(noise.begin(), noise.end(), wrong.begin() + splice);
    salvor::MemorySpan span(wrong);
    const Validation found = decode(span, {}, 0);
    EXPECT_EQ(found.verdict, Verdict::kDamaged) << splice;
    placed += found.likelyAt >= splice - 8192 && found.likelyAt <= splice + 8192;
  }
  EXPECT_GE(placed, splices * 3 / 4);
}

}  // namespace
