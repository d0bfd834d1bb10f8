#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/CarveCheck.h"
#include "tests/support/SparseStream.h"

using namespace testing_support;

namespace {

void PutBE32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (24 - 8 * i));
}
void AppendBE32(std::vector<uint8_t>& b, uint32_t v) {
  b.resize(b.size() + 4);
  PutBE32(b, b.size() - 4, v);
}
void AppendBox(std::vector<uint8_t>& b, const char* type, const std::vector<uint8_t>& payload) {
  AppendBE32(b, uint32_t(8 + payload.size()));
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), payload.begin(), payload.end());
}
std::vector<uint8_t> FullBox(std::vector<uint32_t> words) {
  std::vector<uint8_t> b(4, 0);  // version and flags
  for (uint32_t w : words) AppendBE32(b, w);
  return b;
}
// A moov with one video track whose chunks and samples the three tables give.
std::vector<uint8_t> Movie(const std::vector<uint8_t>& stsc, const std::vector<uint8_t>& stsz,
                           const char* offsetsType, const std::vector<uint8_t>& offsets) {
  std::vector<uint8_t> stbl, minf, mdia, trak, moov, box;
  AppendBox(stbl, "stsd", FullBox({0}));
  AppendBox(stbl, "stsc", stsc);
  AppendBox(stbl, "stsz", stsz);
  AppendBox(stbl, offsetsType, offsets);
  AppendBox(minf, "stbl", stbl);
  AppendBox(mdia, "hdlr", FullBox({0, 0x76696465 /* vide */, 0, 0, 0}));
  AppendBox(mdia, "minf", minf);
  AppendBox(trak, "mdia", mdia);
  AppendBox(moov, "mvhd", std::vector<uint8_t>(100, 0));
  AppendBox(moov, "trak", trak);
  AppendBox(box, "moov", moov);
  return box;
}
// Offset of the first top-level box of `type`, or -1.
long long FindTopBox(const std::vector<uint8_t>& f, const char* type) {
  for (size_t pos = 0; pos + 8 <= f.size();) {
    if (memcmp(&f[pos + 4], type, 4) == 0) return static_cast<long long>(pos);
    uint32_t size =
        uint32_t(f[pos]) << 24 | uint32_t(f[pos + 1]) << 16 | f[pos + 2] << 8 | f[pos + 3];
    if (size < 8) break;
    pos += size;
  }
  return -1;
}

const std::map<std::string, std::vector<uint8_t>>& Media() {
  static const auto media = [] {
    const std::string ff = "ffmpeg -v error -y ",
                      v = " -f lavfi -i testsrc=size=64x48:rate=10:duration=1",
                      a = " -f lavfi -i sine=duration=1:sample_rate=8000",
                      h264 = " -c:v libx264 -preset ultrafast -c:a aac -shortest ";
    auto m = MakeMedia(
        "isobmff",
        {{"moov-last.mp4", ff + v + a + h264},
         {"faststart.mp4", ff + v + a + h264 + "-movflags +faststart"},
         {"movie.mov", ff + v + a + h264},
         {"phone.3gp", ff + v + a + h264 + "-ac 1"},
         {"song.m4a", ff + a + " -c:a aac"},
         {"fragmented.mp4", ff + v + " -c:v libx264 -movflags frag_keyframe+empty_moov"},
         // More top-level boxes than the walk remembers one by one: a fragment per frame.
         {"many-fragments.mp4",
          ff + "-f lavfi -i testsrc=size=32x32:rate=25:duration=90 -c:v "
               "libx264 -preset ultrafast -g 1 -movflags frag_keyframe+empty_moov"},
         {"still.avif",
          ff + "-f lavfi -i testsrc=size=64x48 -frames:v 1 -c:v libaom-av1 -still-picture 1"},
         {"plasma.avif", "convert -size 64x48 plasma:"},
         {"plasma.heic", "convert -size 64x48 plasma:"},
         {"plasma.jp2", "convert -size 64x48 plasma:"}});
    for (const char* name : {"IMG_5195.HEIC", "samplefilehub.heif"})
      m[name] = ReadFileBytes(TestData(std::string("corpus/heic/") + name));
    // Variants: a QuickTime movie without ftyp (its ftyp turned into a free box, so every
    // offset holds), and last boxes of size 0 bounded by the sample tables or the codestream.
    auto variant = [&](const char* from, const char* to, auto change) {
      if (m.count(from) == 0) return;
      std::vector<uint8_t> bytes = m[from];
      if (change(bytes)) m[to] = bytes;
    };
    variant("movie.mov", "bare.mov", [](std::vector<uint8_t>& b) {
      memcpy(&b[4], "free", 4);
      return true;
    });
    auto openLast = [](const char* type) {
      return [type](std::vector<uint8_t>& b) {
        long long at = FindTopBox(b, type);
        if (at >= 0) PutBE32(b, static_cast<size_t>(at), 0);
        return at >= 0;
      };
    };
    variant("faststart.mp4", "open-mdat.mp4", openLast("mdat"));
    variant("plasma.jp2", "open-jp2c.jp2", openLast("jp2c"));
    return m;
  }();
  return media;
}

CContentHandler* Handler() {
  static CContentHandler* handler = LoadHandler("isobmff.so");
  return handler;
}

// Generated and real files, sector-aligned and back to back between random data and zeros,
// come back byte-identical and named; a cut one comes back broken, no longer than it is.
TEST(IsobmffModule, RecoversGeneratedAndRealFilesWhole) {
  const auto& media = Media();
  if (media.count("moov-last.mp4") == 0) GTEST_SKIP() << "ffmpeg missing";
  ASSERT_NE(Handler(), nullptr);
  std::map<std::string, std::string> intact = {
      {"moov-last.mp4", "mp4"},     {"faststart.mp4", "mp4"},  {"movie.mov", "mov"},
      {"phone.3gp", "3gp"},         {"song.m4a", "m4a"},       {"fragmented.mp4", "mp4"},
      {"still.avif", "avif"},       {"plasma.avif", "avif"},   {"plasma.heic", "heic"},
      {"plasma.jp2", "jp2"},        {"IMG_5195.HEIC", "heic"}, {"samplefilehub.heif", "heic"},
      {"bare.mov", "mov"},          {"open-mdat.mp4", "mp4"},  {"open-jp2c.jp2", "jp2"},
      {"many-fragments.mp4", "mp4"}};
  ImageBuilder image;
  image.AddRandom(5000);
  bool zeros = false;
  for (const auto& file : intact) {
    if (media.count(file.first) == 0) continue;
    image.Align();
    image.AddFile(file.first, media.at(file.first));
    if (file.first.compare(0, 5, "open-") == 0) image.AddRandom(3000);  // no box follows
    if ((zeros = !zeros)) image.AddZeros(1024);
  }
  std::vector<uint8_t> cut = media.at("moov-last.mp4");
  cut.resize(cut.size() * 2 / 3);
  image.Align();
  image.AddFile("cut.mp4", cut);
  image.Align();
  long long room = static_cast<long long>(image.bytes().size()) - image.placed().back().offset;
  image.AddFile("faststart.mp4", media.at("faststart.mp4"));  // right after the cut file
  image.AddRandom(4000);
  auto found = ScanImage({"isobmff.so"}, image.Finish());
  PrintTally("isobmff", CheckMediaRecovery(image.placed(), found, intact, {{"cut.mp4", room}}));

  uint32_t seed = 1;
  for (const char* name : {"moov-last.mp4", "faststart.mp4", "plasma.heic", "plasma.jp2"})
    ExerciseDamagedCopies(Handler(), media.at(name), seed++);
}

// Samples cut short by their collector are recognised and named; box names planted in random
// data yield nothing; an odd offset is found only with Unaligned; MaxSize turns a whole answer
// into a start whose end FindEndOfFile still finds.
TEST(IsobmffModule, NamesSamplesRefusesLookalikesHonoursProperties) {
  if (Media().count("faststart.mp4") == 0) GTEST_SKIP() << "ffmpeg missing";
  CContentHandler* handler = Handler();
  ASSERT_NE(handler, nullptr);
  ExpectSamplesNamed(handler, {{"CanonRaw.cr3", "cr3"},
                               {"Jpeg2000.jp2", "jp2"},
                               {"QuickTime.heic", "heic"},
                               {"QuickTime.m4a", "m4a"},
                               {"QuickTime.mov", "mov"}});

  ImageBuilder noise(99);
  noise.AddRandom(64 * 512);
  std::vector<uint8_t> bytes = noise.Finish();
  memcpy(&bytes[512 + 4], "ftypisom", 8);
  memcpy(&bytes[1024 + 4], "moov", 4);
  memcpy(&bytes[2048 + 4], "mdat", 4);
  PutBE32(bytes, 3072, 24);
  memcpy(&bytes[3072 + 4], "ftypmp42\0\0\0\0mp42", 16);
  EXPECT_TRUE(ScanImage({"isobmff.so"}, bytes).empty());

  const std::vector<uint8_t>& movie = Media().at("faststart.mp4");
  ImageBuilder odd;
  odd.AddRandom(1000 + 3);
  odd.AddFile("faststart.mp4", movie);
  odd.AddRandom(2000);
  std::vector<uint8_t> oddBytes = odd.Finish();
  EXPECT_TRUE(ScanImage({"isobmff.so"}, oddBytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanImage({"isobmff.so"}, oddBytes);
  handler->SetIntPropValue("Unaligned", 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].offset, 1003);
  EXPECT_EQ(found[0].sha256, odd.placed()[0].sha256);

  EXPECT_GE(DefaultMaxSize(handler), 4194304);  // a 4 GiB video fits by default
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", 4));
  Recognition capped = Recognize(handler, movie, 0);
  handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler));
  EXPECT_TRUE(capped.recognized && capped.start == 0 && capped.end == -1);
  EXPECT_EQ(FindEnd(handler, movie), static_cast<long long>(movie.size()));
}

// Movies beyond 4 GiB: a 64-bit mdat size and co64 chunk offsets, with the moov before and
// after the media data, read as sparse streams.
TEST(IsobmffModule, FollowsMoviesBeyondFourGiB) {
  CContentHandler* handler = Handler();
  ASSERT_NE(handler, nullptr);
  const uint64_t sampleBytes = 1ULL << 30, samples = 5, media = sampleBytes * samples;
  auto movie = [&](uint64_t chunkOffset) {
    return Movie(FullBox({1, 1, uint32_t(samples), 1}),
                 FullBox({uint32_t(sampleBytes), uint32_t(samples)}), "co64",
                 FullBox({1, uint32_t(chunkOffset >> 32), uint32_t(chunkOffset)}));
  };
  std::vector<uint8_t> ftyp, mdat;
  AppendBox(ftyp, "ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm'});
  AppendBE32(mdat, 1);  // the 64-bit size follows the type
  mdat.insert(mdat.end(), {'m', 'd', 'a', 't'});
  AppendBE32(mdat, uint32_t((media + 16) >> 32));
  AppendBE32(mdat, uint32_t(media + 16));
  const long long moovSize = static_cast<long long>(movie(0).size());
  const long long head = static_cast<long long>(ftyp.size()), mdatHead = 16;
  for (bool moovFirst : {true, false}) {
    long long mdatAt = head + (moovFirst ? moovSize : 0);
    long long total = head + moovSize + mdatHead + static_cast<long long>(media);
    SparseStream file(total + 4096);  // followed by zeros
    std::vector<uint8_t> start = ftyp;
    std::vector<uint8_t> m = movie(uint64_t(mdatAt + mdatHead));
    if (moovFirst) start.insert(start.end(), m.begin(), m.end());
    start.insert(start.end(), mdat.begin(), mdat.begin() + mdatHead);
    file.Place(0, start);
    if (!moovFirst) file.Place(total - moovSize, m);
    bool recognized = false;
    long long begin = -1, end = -1;
    ASSERT_TRUE(handler->RecognizeData(&file, 512, &recognized, &begin, &end));
    EXPECT_TRUE(recognized && begin == 0) << moovFirst;
    EXPECT_EQ(end, total) << moovFirst;
  }
}

// A movie whose later sectors another file was written over ends where that one begins; a
// Motion JPEG frame of its own on a sector start is no other file.
TEST(IsobmffModule, AFileWrittenOverEndsWhereTheNextOneBegins) {
  CContentHandler* handler = Handler();
  ASSERT_NE(handler, nullptr);
  const std::vector<uint8_t> photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  const uint32_t frameAt = 1024, lastFrame = 4096;
  auto movie = [&](uint32_t media) {
    return Movie(FullBox({1, 1, 3, 1}),
                 FullBox({0, 3, frameAt - media, uint32_t(photo.size()), lastFrame}), "stco",
                 FullBox({1, media}));
  };
  std::vector<uint8_t> file;
  AppendBox(file, "ftyp", {'q', 't', ' ', ' ', 0, 0, 2, 0, 'q', 't', ' ', ' '});
  const uint32_t media = uint32_t(file.size() + movie(0).size() + 8);
  const std::vector<uint8_t> moov = movie(media);
  file.insert(file.end(), moov.begin(), moov.end());
  std::vector<uint8_t> frames = RandomData(frameAt - media, 41);
  frames.insert(frames.end(), photo.begin(), photo.end());
  const std::vector<uint8_t> last = RandomData(lastFrame, 42);
  frames.insert(frames.end(), last.begin(), last.end());
  AppendBox(file, "mdat", frames);
  std::vector<uint8_t> disk = file;
  const std::vector<uint8_t> after = RandomData(5000, 43);
  disk.insert(disk.end(), after.begin(), after.end());

  const Recognition whole = Recognize(handler, disk, 0);
  EXPECT_TRUE(whole.recognized && whole.start == 0);
  EXPECT_EQ(whole.end, static_cast<long long>(file.size()));

  // The last frame's second sector and what follows reused by a photo.
  ExpectWrittenOverFileEndsWhereNextBegins("isobmff", handler, file,
                                           ((frameAt + photo.size()) / 512 + 1) * 512);
  // A JPEG 2000 image: its codestream's tiles are what nothing checks.
  if (Media().count("plasma.jp2") != 0)
    ExpectWrittenOverFileEndsWhereNextBegins("isobmff", handler, Media().at("plasma.jp2"), 8192);
}

}  // namespace
