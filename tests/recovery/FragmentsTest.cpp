#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "reassembly/Reassembly.h"
#include "tests/host/ToolRun.h"
#include "validate/Spans.h"

namespace {

using namespace testing_support;

constexpr long long kSector = 512;
constexpr long long kRegionSectors = 8192;  // each case has 4 MiB of the image to itself

// What lies between two pieces of a fragmented file.
enum class Gap { kNoise, kZeros, kPhoto };

struct Fragmented {
  const char* name;
  std::string make;                     // shell command writing the original to $F
  std::vector<long long> pieceSectors;  // in file order; the last piece holds the rest
  std::vector<int> storedOrder;         // which piece lies first on the source, and so on
  long long gapSectors;
  Gap gap;
  // false: its validator cannot judge the join (lossy WebP, PCM sound): it stays b...
  bool rebuilt = true;
  // false: its join check has nothing to judge by at an arbitrary continuation (a movie whose
  // header follows its media data is judged only where the search found that header).
  bool judged = true;
};

const std::vector<Fragmented>& Cases() {
  static const std::vector<Fragmented> cases = {
      // A middle piece of 6 KiB, shorter than what the join check reads past a cut.
      {"jpg",
       "convert -seed 3 -size 640x480 plasma:fractal -quality 90 jpg:$F",
       {60, 12},
       {0, 1, 2},
       300,
       Gap::kNoise},
      {"png",
       "convert -seed 5 -size 300x200 plasma:fractal png:$F",
       {40, 90},
       {0, 1, 2},
       17,
       Gap::kPhoto},
      // Its header after the media data, in the last of three pieces, the middle one stored
      // first; the cut a block away passes the NAL chains too, and decoding the video tells
      // the joins apart.
      {"mp4",
       "ffmpeg -loglevel error -f lavfi -i testsrc2=duration=2:size=640x480:rate=25 -c:v "
       "libx264 -crf 18 -pix_fmt yuv420p -f mp4 $F",
       {100, 300},
       {1, 0, 2},
       40,
       Gap::kNoise,
       true,
       false},
      // Cut inside its first frame, after the metadata's 8 KiB of padding.
      {"flac",
       "ffmpeg -loglevel error -f lavfi -i sine=duration=3 -f flac $F",
       {17},
       {0, 1},
       1000,
       Gap::kZeros},
      // Motion JPEG: each frame's data decoded, so the cut a block away fails.
      {"avi",
       "ffmpeg -loglevel error -f lavfi -i testsrc2=duration=2:size=320x240:rate=25 -c:v mjpeg "
       "-q:v 3 -f avi $F",
       {90, 200},
       {1, 0, 2},
       30,
       Gap::kNoise},
      {"opus",
       "ffmpeg -loglevel error -f lavfi -i anoisesrc=duration=4:amplitude=0.3:seed=7 "
       "-fflags +bitexact -c:a libopus -f ogg $F",
       {50},
       {0, 1},
       120,
       Gap::kPhoto},
      // Its coded units chain across the gap: only decoding after the scan finds it broken;
      // the decoder takes some foreign data, so it is not rebuilt. A fixed photo: whether
      // the decoder notices a splice depends on the bytes.
      {"heic",
       "cp '" + TestData("corpus/heic/samplefilehub.heif") + "' $F",
       {20},
       {0, 1},
       200,
       Gap::kNoise,
       false},
      // Sound turning to noise: broken, but nothing tells the right continuation.
      {"wav",
       "ffmpeg -loglevel error -f lavfi -i sine=duration=2 -c:a pcm_s16le -f wav $F",
       {100},
       {0, 1},
       50,
       Gap::kNoise,
       false},
      {"webp",
       "convert -seed 9 -size 400x300 plasma:fractal -quality 80 webp:$F",
       {20},
       {0, 1},
       5,
       Gap::kNoise,
       false},
  };
  return cases;
}

struct Placed {
  bool rebuilt;
  std::string type;
  std::string sha256;
  std::vector<std::pair<long long, long long>> runs;  // source offset, length, in file order
};

// Writes `bytes` in pieces as the case says, from sector `region` on; the gaps get noise,
// zeros or a whole photo.
Placed Place(const Fragmented& layout, const std::string& original,
             const std::vector<uint8_t>& photo, long long region, std::vector<uint8_t>& image) {
  const std::vector<uint8_t> bytes = ReadFileBytes(original);
  long long cut = 0;
  for (long long sectors : layout.pieceSectors) cut += sectors * kSector;
  EXPECT_GT(static_cast<long long>(bytes.size()), cut) << layout.name << " too short to cut";
  std::vector<std::pair<long long, long long>> pieces;  // file offset, length
  long long at = 0;
  for (long long sectors : layout.pieceSectors) {
    pieces.push_back({at, sectors * kSector});
    at += sectors * kSector;
  }
  pieces.push_back({at, static_cast<long long>(bytes.size()) - at});
  Placed placed{layout.rebuilt, layout.name, FileSha256(original),
                std::vector<std::pair<long long, long long>>(pieces.size())};
  long long sector = region;
  for (int index : layout.storedOrder) {
    const auto& piece = pieces[static_cast<size_t>(index)];
    std::copy_n(bytes.begin() + piece.first, piece.second, image.begin() + sector * kSector);
    placed.runs[static_cast<size_t>(index)] = {sector * kSector, piece.second};
    sector += (piece.second + kSector - 1) / kSector;
    const long long gapStart = sector * kSector;
    if (layout.gap == Gap::kZeros) {
      std::fill_n(image.begin() + gapStart, layout.gapSectors * kSector, 0);
    } else if (layout.gap == Gap::kPhoto) {
      std::copy(photo.begin(), photo.end(), image.begin() + gapStart);
      sector += (static_cast<long long>(photo.size()) + kSector - 1) / kSector;
    }
    sector += layout.gapSectors;
  }
  return placed;
}

TEST(Fragments, RebuiltWholeAndNothingElseNamedIntact) {
  for (const char* tool : {"convert", "ffmpeg"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is needed to make the originals";
  const std::string dir = ScratchDir("fragments");
  const std::vector<uint8_t> photo = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  std::vector<uint8_t> image(static_cast<size_t>(Cases().size() + 1) * kRegionSectors * kSector);
  std::mt19937 noise(11);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(noise());
  std::vector<Placed> placed;
  std::set<std::string> originals{FileSha256(TestData("corpus/jpg/DSCN0010.jpg"))};
  long long region = kRegionSectors / 2;
  for (const Fragmented& layout : Cases()) {
    const std::string file = dir + "/original." + layout.name;
    ASSERT_TRUE(testing_support::Run("F='" + file + "'; " + layout.make)) << layout.name;
    placed.push_back(Place(layout, file, photo, region, image));
    originals.insert(placed.back().sha256);
    region += kRegionSectors;
  }
  ASSERT_TRUE(WriteFileBytes(dir + "/card.img", image));

  // A minute a file: enough for a sanitizer build on a loaded machine.
  const ToolOutcome run = RunSalvor(dir, "scan card.img -o out -q --rebuild-time 12000");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string report = ReadText(dir + "/out/report.xml");
  for (const Placed& file : placed) {
    if (!file.rebuilt) {
      EXPECT_TRUE(FileExists(dir + "/out/" + RecoveredName('b', file.runs[0].first, file.type)));
      continue;
    }
    const std::string name = RecoveredName('f', file.runs[0].first, file.type);
    const size_t entry = report.find("<filename>" + name + "</filename>");
    if (entry == std::string::npos) {
      ADD_FAILURE() << file.type << " not rebuilt";
      continue;
    }
    EXPECT_EQ(FileSha256(dir + "/out/" + name), file.sha256) << file.type;
    const std::string runs = Between(report.substr(entry), "<byte_runs>", "</byte_runs>");
    long long within = 0;
    for (const auto& run : file.runs) {
      EXPECT_NE(
          runs.find("file_offset=\"" + std::to_string(within) + "\" img_offset=\"" +
                    std::to_string(run.first) + "\" len=\"" + std::to_string(run.second) + "\""),
          std::string::npos)
          << file.type << " piece at " << run.first;
      within += run.second;
    }
    // The first piece alone is no longer there.
    EXPECT_FALSE(FileExists(dir + "/out/" + RecoveredName('b', file.runs[0].first, file.type)));
  }
  // The log tells what the work after the scan did, to its last line.
  const std::string log = ReadText(dir + "/out/salvor.log");
  EXPECT_NE(log.find("salvor: decoded after the scan: 1 files, 1 found damaged, 0 not decoded\n"),
            std::string::npos);
  EXPECT_NE(log.find("salvor: fragments: "), std::string::npos);
  EXPECT_NE(log.find("salvor: scan completed\n"), std::string::npos);
  // A list of what would be recovered has no written copies: the photo is decoded from the
  // source instead.
  ASSERT_EQ(RunSalvor(dir, "scan card.img -o listed -q --list-only --rebuild-time 12000").status,
            0);
  EXPECT_NE(ReadText(dir + "/listed/salvor.log")
                .find("salvor: decoded after the scan: 1 files, 1 found damaged, 0 not decoded\n"),
            std::string::npos);
  // Nothing that is not an original is named intact.
  for (const std::string& written : WrittenFiles(dir + "/out")) {
    const std::string base = written.substr(written.find('/') + 1);
    if (base[0] == 'f') {
      EXPECT_EQ(originals.count(FileSha256(dir + "/out/" + written)), 1u) << written;
    }
  }
}

// Where a format's framing can judge a join by the unit across the cut (a CRC, the next
// header), reassembly rules out candidates without decoding: the right continuation must hold,
// and a block of the gap, or the right bytes a block early, must not.
TEST(Fragments, JoinCheckHoldsForTheRightContinuationOnly) {
  for (const char* tool : {"convert", "ffmpeg", "cjpeg"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is needed to make the originals";
  const std::string dir = ScratchDir("joins");
  // Matroska too: audio in one cluster with a CRC-32, whose rebuilding takes a time that
  // depends on the machine, so it is judged here only.
  std::vector<Fragmented> cases = Cases();
  cases.push_back({"mka",
                   "ffmpeg -loglevel error -f lavfi -i anoisesrc=duration=4:amplitude=0.3:seed=7 "
                   "-fflags +bitexact -c:a flac -f matroska $F",
                   {60},
                   {0, 1},
                   40,
                   Gap::kNoise});
  // Vorbis and FLAC in Ogg: the packets past the cut begin as their codec says. The Vorbis
  // stream again cut in its last page, which nothing need follow.
  const std::pair<const char*, long long> oggCuts[] = {
      {"libvorbis", 30}, {"flac", 30}, {"libvorbis", 60}};
  for (const auto& [codec, sectors] : oggCuts) {
    cases.push_back({"ogg",
                     std::string("ffmpeg -loglevel error -f lavfi -i "
                                 "anoisesrc=duration=4:amplitude=0.3:seed=3 -fflags +bitexact "
                                 "-c:a ") +
                         codec + " -f ogg $F",
                     {sectors},
                     {0, 1},
                     40,
                     Gap::kNoise});
  }
  // A movie with its header first: the NAL chains of the samples past the cut.
  cases.push_back({"mp4",
                   "ffmpeg -loglevel error -f lavfi -i testsrc2=duration=2:size=320x240:rate=25 "
                   "-c:v libx264 -crf 18 -pix_fmt yuv420p -movflags +faststart -f mp4 $F",
                   {60},
                   {0, 1},
                   40,
                   Gap::kNoise});
  // JPEG with restart markers and full-size chroma, and a grey one: the entropy-coded data
  // is walked through its restart markers and blocks of one component.
  cases.push_back({"jpg",
                   "convert -seed 4 -size 320x240 plasma:fractal ppm:- | cjpeg -restart 1 "
                   "-sample 1x1 -quality 85 > $F",
                   {20},
                   {0, 1},
                   40,
                   Gap::kNoise});
  cases.push_back({"jpg",
                   "convert -seed 6 -size 333x251 plasma:fractal -colorspace gray pgm:- | "
                   "cjpeg -grayscale -quality 90 > $F",
                   {12},
                   {0, 1},
                   40,
                   Gap::kNoise});
  int judged = 0, expectations = 0;
  for (const Fragmented& layout : cases) {
    const salvor::JoinCheck check = salvor::FindJoinCheck(layout.name);
    if (check == nullptr || !layout.judged) continue;
    ++judged;
    const std::string file = dir + "/original" + std::to_string(judged) + "." + layout.name;
    ASSERT_TRUE(testing_support::Run("F='" + file + "'; " + layout.make)) << layout.name;
    const std::vector<uint8_t> bytes = ReadFileBytes(file);
    // The first piece, 64 blocks of noise, the rest.
    const long long cut = layout.pieceSectors[0] * kSector, gap = 64 * kSector;
    std::vector<uint8_t> source(bytes.begin(), bytes.begin() + cut);
    std::mt19937 noise(5);
    for (long long i = 0; i < gap; ++i) source.push_back(static_cast<uint8_t>(noise()));
    source.insert(source.end(), bytes.begin() + cut, bytes.end());
    salvor::MemorySpan span(source);
    const long long whole = static_cast<long long>(source.size());
    salvor::SubSpan uncut(span, 0, whole);
    const salvor::Validation broken = salvor::FindValidator(layout.name)(uncut);
    ASSERT_EQ(broken.verdict, salvor::Verdict::kDamaged) << layout.name;
    // The first `at` bytes (by default the first piece) joined to the source from `start`,
    // judged by the unit the validator places for that cut.
    const auto judge = [&](long long start, long long at = -1) {
      at = at < 0 ? cut : at;
      salvor::JoinedSpan joined(span, {{0, at}, {start, whole}}, whole);
      const long long unitStart =
          at == cut ? broken.goodUntil : salvor::FindValidator(layout.name)(joined).goodUntil;
      return check(joined, unitStart, at);
    };
    // The bits a search reads at each candidate instead of joining it: a candidate without
    // them is one the check turns down.
    salvor::JoinExpectation expected;
    const salvor::JoinExpectationCheck expect = salvor::FindJoinExpectation(layout.name);
    salvor::SubSpan prefix(span, 0, cut);
    const bool haveBits = expect != nullptr && expect(prefix, broken.goodUntil, cut, &expected);
    const auto bitsHold = [&](long long start) {
      for (const auto& bit : expected.bits) {
        const size_t at = static_cast<size_t>(start + bit.distance);
        if (at < source.size() && (source[at] & bit.mask) != bit.value) return false;
      }
      return true;
    };
    expectations += haveBits;
    EXPECT_TRUE(!haveBits || bitsHold(cut + gap)) << layout.name;
    for (const auto& bit : expected.bits)  // none past the file's end: nothing need follow it
      EXPECT_LT(cut + bit.distance, static_cast<long long>(bytes.size())) << layout.name;
    EXPECT_EQ(judge(cut + gap), salvor::JoinFit::kHolds) << layout.name;
    // Every block of the gap, the last of which is the right bytes a block early. A checksum
    // rules out each of them; a chain of headers nearly each (noise looks like one header now
    // and then).
    const bool checksummed = layout.name != std::string("avi") && layout.name != std::string("mka");
    int held = 0;
    for (long long start = cut + kSector; start < cut + gap; start += kSector) {
      const salvor::JoinFit fit = judge(start);
      EXPECT_NE(fit, salvor::JoinFit::kCannotTell) << layout.name << " from " << start;
      EXPECT_TRUE(!haveBits || bitsHold(start) || fit == salvor::JoinFit::kBreaks)
          << layout.name << " from " << start;
      held += fit == salvor::JoinFit::kHolds;
    }
    EXPECT_LE(held, checksummed ? 0 : 63 / 10) << layout.name;
    // The right bytes with a block of the file missing before them. A JPEG's bytes decode on
    // for a while that way; a break well past the cut is taken for a piece's end there, and
    // the search does not try a piece's own bytes with some left out.
    if (checksummed && layout.name != std::string("jpg")) {
      EXPECT_NE(judge(cut + gap, cut - kSector), salvor::JoinFit::kHolds) << layout.name;
    }
  }
  EXPECT_EQ(judged, 12);
  EXPECT_EQ(expectations, 4);  // Opus, Vorbis (twice) and FLAC in Ogg
}

// Restart intervals of one photo decode alike: a JPEG join holds only when the interval after
// the cut carries the restart number that comes next.
TEST(Fragments, JpegJoinFollowsTheRestartOrder) {
  for (const char* tool : {"convert", "cjpeg"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is needed to make the original";
  const std::string file = ScratchDir("restarts") + "/original.jpg";
  ASSERT_TRUE(
      testing_support::Run("convert -seed 8 -size 256x256 plasma:fractal ppm:- | cjpeg "
                           "-restart 1 -quality 85 > '" +
                           file + "'"));
  std::vector<uint8_t> bytes = ReadFileBytes(file);
  std::vector<long long> restarts;  // just past each restart marker
  for (size_t i = 0; i + 1 < bytes.size(); ++i)
    if (bytes[i] == 0xFF && bytes[i + 1] >= 0xD0 && bytes[i + 1] <= 0xD7) restarts.push_back(i + 2);
  ASSERT_GE(restarts.size(), 3u);
  salvor::MemorySpan span(bytes);
  const long long whole = static_cast<long long>(bytes.size());
  const auto judge = [&](long long start) {
    salvor::JoinedSpan joined(span, {{0, restarts[0]}, {start, whole}}, whole);
    return salvor::FindJoinCheck("jpg")(joined, 0, restarts[0]);
  };
  EXPECT_EQ(judge(restarts[0]), salvor::JoinFit::kHolds);
  EXPECT_EQ(judge(restarts[1]), salvor::JoinFit::kBreaks);
  EXPECT_EQ(judge(restarts[2]), salvor::JoinFit::kBreaks);
}

// Two clips from one camera share their movie header but for its sample tables: the join
// check must judge each by its own.
TEST(Fragments, MovieJoinCheckTellsClipsOfOneCameraApart) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed to make the clips";
  const std::string dir = ScratchDir("one-camera");
  for (int seed : {1, 2}) {
    const std::string file = dir + "/clip" + std::to_string(seed) + ".mp4";
    ASSERT_TRUE(testing_support::Run(
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -vf "
        "noise=alls=14:allf=t+u:all_seed=" +
        std::to_string(seed) +
        " -c:v libx264 -preset veryfast -b:v 1M -threads 1 -movflags +faststart -f mp4 '" + file +
        "'"));
    const std::vector<uint8_t> bytes = ReadFileBytes(file);
    const long long cut = 60 * kSector, gap = 64 * kSector;
    std::vector<uint8_t> source(bytes.begin(), bytes.begin() + cut);
    source.resize(cut + gap, 0x5A);
    source.insert(source.end(), bytes.begin() + cut, bytes.end());
    salvor::MemorySpan span(source);
    const long long whole = static_cast<long long>(source.size());
    salvor::JoinedSpan joined(span, {{0, cut}, {cut + gap, whole}}, whole);
    EXPECT_EQ(salvor::FindJoinCheck("mp4")(joined, 0, cut), salvor::JoinFit::kHolds) << seed;
  }
}

}  // namespace
