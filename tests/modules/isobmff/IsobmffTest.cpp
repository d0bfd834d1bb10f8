#include <cstring>
#include <set>

#include "tests/support/CarveCheck.h"
#include "tests/support/SparseStream.h"

using namespace testing_support;

namespace {

Bytes Box(const char* type, const Bytes& payload) {
  return Concat({BE(8 + payload.size()), Text(type), payload});
}
Bytes FullBox(std::vector<uint32_t> words) {
  Bytes b(4, 0);  // version and flags
  for (uint32_t w : words) b = Join(b, BE(w));
  return b;
}
// A moov with one video track whose chunks and samples the three tables give.
Bytes Movie(const Bytes& stsc, const Bytes& stsz, const char* offsetsType, const Bytes& offsets) {
  const Bytes stbl = Concat(
      {Box("stsd", FullBox({0})), Box("stsc", stsc), Box("stsz", stsz), Box(offsetsType, offsets)});
  const Bytes mdia = Join(Box("hdlr", FullBox({0, 0x76696465 /* vide */, 0, 0, 0})),
                          Box("minf", Box("stbl", stbl)));
  return Box("moov", Join(Box("mvhd", Bytes(100, 0)), Box("trak", Box("mdia", mdia))));
}

const Samples& Media() {
  static const Samples media = [] {
    const std::string ff = "ffmpeg -v error -y ",
                      v = " -f lavfi -i testsrc=size=64x48:rate=10:duration=1",
                      a = " -f lavfi -i sine=duration=1:sample_rate=8000",
                      h264 = " -c:v libx264 -preset ultrafast -c:a aac -shortest ";
    Samples m = MakeMedia(
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
         {"plasma.jp2", "convert -size 64x48 plasma:"},
         // Larger than the first window of media data a movie header is given.
         {"long.mp4", ff + "-f lavfi -i testsrc=size=160x120:rate=25:duration=1" + a +
                          " -vf noise=alls=20:allf=t" + h264}});
    for (const char* name : {"IMG_5195.HEIC", "samplefilehub.heif"})
      m.push_back({name, ReadFileBytes(TestData(std::string("corpus/heic/") + name)), "heic"});
    // Variants: a QuickTime movie without ftyp (its ftyp turned into a free box, so every
    // offset holds), and last boxes of size 0 bounded by the sample tables or the codestream.
    Bytes bare = Find(m, "movie.mov");
    memcpy(&bare[4], "free", 4);
    m.push_back({"bare.mov", bare, "mov"});
    for (const auto& [from, type] :
         {std::make_pair("faststart.mp4", "mdat"), std::make_pair("plasma.jp2", "jp2c")}) {
      Bytes open = Find(m, from);
      const Bytes box = Text(type);  // its first mention is the top-level box
      std::fill_n(std::search(open.begin(), open.end(), box.begin(), box.end()) - 4, 4, 0);
      const std::string name = from;
      m.push_back({"open-" + name, open, name.substr(name.rfind('.') + 1)});
    }
    return m;
  }();
  return media;
}

Samples Without(const Samples& files, const std::set<std::string>& names) {
  Samples kept;
  for (const Sample& file : files)
    if (names.count(file.name) == 0) kept.push_back(file);
  return kept;
}

// Generated and real files whole, sector-aligned and back to back, then at odd offsets
// (found only with Unaligned set; searched from the ftyp box, which neither a JPEG 2000 image
// nor a movie without one opens with), a gap beyond the block in which the last file ended;
// box names, and movie headers (ftyp and an mdat) each followed by another within its first
// 64 KiB of media data, planted in random data yield nothing; a recording cut before its moov
// was written ends where the next file begins. With a small MaxSize every end comes from the end
// search instead. Samples cut short by their collector are recognised and named; damaged copies
// stay inside.
TEST(IsobmffModule, ScanRecoversEveryFile) {
  if (Media().size() != 17) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
  const Bytes& movie = Find(Media(), "long.mp4");
  Layout layout;
  layout.Random(5000).Spread(Media()).Random(4000);
  layout.Planted(
      {{0x7A, 0x13, 0x02, 0x44, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'},
       {0x00, 0x31, 0x02, 0x44, 'm', 'o', 'o', 'v'},
       {0x00, 0x00, 0x72, 0x10, 'm', 'd', 'a', 't'},
       {0, 0, 0, 24, 'f', 't', 'y', 'p', 'm', 'p', '4', '2', 0, 0, 0, 0, 'm', 'p', '4', '2'},
       Concat({BE(24), Text("ftypisom"), BE(0x200), Text("isomiso2"), BE(1 << 20), Text("mdat")})},
      40);
  layout.Cut("cut", Prefix(movie, movie.size() * 2 / 3), "mp4").Align().EndsHere();
  layout.Whole({"faststart.mp4", Find(Media(), "faststart.mp4"), "mp4"}).Random(1003);
  layout.Packed(Without(Media(), {"plasma.jp2", "open-plasma.jp2", "bare.mov"}), 1000);
  ExpectCarvedEitherWay("isobmff", layout);
  Layout open(7);  // every end from the end search
  // (A movie without ftyp is believed only when measured whole.)
  ExpectCarved("isobmff", open.Spread(Without(Media(), {"bare.mov"})), false, 4);
  ExpectSamplesNamed("isobmff", {{"CanonRaw.cr3", "cr3"},
                                 {"Jpeg2000.jp2", "jp2"},
                                 {"QuickTime.heic", "heic"},
                                 {"QuickTime.m4a", "m4a"},
                                 {"QuickTime.mov", "mov"}});
  ExpectDamagedCopiesStayInside("isobmff", {Media()[0], Media()[1], Media()[9], Media()[10]});
}

// Movies beyond 4 GiB: a 64-bit mdat size and co64 chunk offsets, with the moov before and
// after the media data, read as sparse streams.
TEST(IsobmffModule, FollowsMoviesBeyondFourGiB) {
  CContentHandler* handler = Handler("isobmff");
  EXPECT_GE(DefaultMaxSize(handler), 4194304);  // a 4 GiB video fits by default
  const uint64_t sampleBytes = 1ULL << 30, samples = 5, media = sampleBytes * samples;
  auto movie = [&](uint64_t chunkOffset) {
    return Movie(FullBox({1, 1, uint32_t(samples), 1}),
                 FullBox({uint32_t(sampleBytes), uint32_t(samples)}), "co64",
                 FullBox({1, uint32_t(chunkOffset >> 32), uint32_t(chunkOffset)}));
  };
  const Bytes ftyp = Box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm'});
  // The 64-bit size follows the type.
  const Bytes mdat = Concat({BE(1), {'m', 'd', 'a', 't'}, BE(media + 16, 8)});
  const long long moovSize = long(movie(0).size()), head = long(ftyp.size());
  const long long total = head + moovSize + long(mdat.size() + media);
  for (bool moovFirst : {true, false}) {
    const Bytes m = movie(uint64_t(head + (moovFirst ? moovSize : 0)) + mdat.size());
    SparseStream file(total + 4096);  // followed by zeros
    file.Place(0, Concat({ftyp, moovFirst ? m : Bytes(), mdat}));
    if (!moovFirst) file.Place(total - moovSize, m);
    const Recognition r = Recognize(handler, &file);
    EXPECT_TRUE(r.ok && r.recognized && r.start == 0 && r.end == total)
        << moovFirst << ": " << r.end;
  }
}

// A movie whose later sectors a photo was written over ends where the photo begins, and the
// photo comes back whole; a Motion JPEG frame of its own on a sector start is no other file.
// The same for a JPEG 2000 image, whose codestream tiles nothing checks.
TEST(IsobmffModule, AFileWrittenOverEndsWhereTheNextOneBegins) {
  if (Media().size() != 17) GTEST_SKIP() << "ffmpeg or ImageMagick missing";
  const Bytes photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  const uint32_t frameAt = 1024, lastFrame = 4096;
  auto movie = [&](uint32_t media) {
    return Movie(FullBox({1, 1, 3, 1}),
                 FullBox({0, 3, frameAt - media, uint32_t(photo.size()), lastFrame}), "stco",
                 FullBox({1, media}));
  };
  const Bytes ftyp = Box("ftyp", {'q', 't', ' ', ' ', 0, 0, 2, 0, 'q', 't', ' ', ' '});
  const uint32_t media = uint32_t(ftyp.size() + movie(0).size() + 8);
  const Bytes file = Concat(
      {ftyp, movie(media),
       Box("mdat", Concat({RandomData(frameAt - media, 41), photo, RandomData(lastFrame, 42)}))});
  Layout layout(4);
  layout.Whole({"movie", file, "mov"}).Random(5000).Align();
  // The last frame's second sector and what follows reused by a photo.
  const size_t kept = ((frameAt + photo.size()) / 512 + 1) * 512;
  layout.Cut("written-over", Prefix(file, kept), "mov").EndsHere().Whole({"photo", photo, "jpg"});
  layout.Random(file.size() + 65536).Align();
  layout.Cut("jp2", Prefix(Find(Media(), "plasma.jp2"), 8192), "jp2").EndsHere();
  layout.Whole({"photo", photo, "jpg"}).Random(65536);
  ExpectCarved("isobmff", layout, false, 0, {"jpeg"});
}

}  // namespace
