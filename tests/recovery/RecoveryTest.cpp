#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "recovery/Naming.h"
#include "recovery/Progress.h"
#include "recovery/RecoverySink.h"
#include "recovery/ScannedSource.h"
#include "modules/common/HandlerBase.h"
#include "SVSDK/SubsetStream.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/MemoryStream.h"
#include "tests/support/ScanHarness.h"
#include "util/sha256/Sha256.h"

using namespace salvor;
using namespace testing_support;

namespace {

// A handler that looks at every block and recognises nothing; its DescribeFile answers what
// the test says.
class ScriptedHandler : public CHandlerBase {
 public:
  explicit ScriptedHandler(const HandlerInfo& info) : CHandlerBase(GetSVSingleton(), info) {}
  bool DescribeFile(CDataStream* file, char* extension, int size) override {
    file->Seek(5, CDataStream::SeekFromStart);  // moves the position, as handlers may
    std::snprintf(extension, static_cast<size_t>(size), "%s", describeAs.c_str());
    return valid;
  }
  bool RecognizeData(CDataStream* stream, long long, bool*, long long*, long long*) override {
    char head[16];
    stream->Read(sizeof head, head);
    return false;
  }
  bool FindEndOfFile(CDataStream*, long long, long long*) override { return false; }
  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

  std::string describeAs = "raw";
  bool valid = true;
};

const HandlerInfo kJpegInfo{"test.sink.jpeg", "image/jpeg", "Test JPEG", "raw;rw", 1024, 4096};

}  // namespace

// What only the sink decides: names from the offset inside nested streams, the size filter,
// a second file at one offset, damaged copies of bytes already written, and an output that
// cannot be written.
TEST(RecoverySink, WritesEachFileUnderItsTypeAndOffsetAndReportsIt) {
  const std::string dir = ScratchDir("host_sink");
  // A source of 4 MiB whose files sit at sector 2048 (2.5 MiB long: several copy chunks) and
  // at byte 100 of sector 10 inside a nested subset.
  MemoryStream source(Pattern(4 << 20, 3));
  ScriptedHandler handler(kJpegInfo);
  DfxmlReport report;
  ASSERT_TRUE(report.Open(dir + "/report.xml", ReportHeader()));
  SinkSettings settings;
  settings.outputDir = dir;
  settings.minSize = 100;
  settings.maxSize = 5 << 19;  // the largest file is kept
  RecoverySink sink(settings, &report);
  sink.BeginScan(8192, 512);

  SV::CSubsetStream big(&source, 2048 * 512, 2048 * 512 + (5 << 19));
  sink.FileRecovered(&handler, &big);
  SV::CSubsetStream window(&source, 4096, 1 << 20);
  SV::CSubsetStream nested(&window, 10 * 512 + 100 - 4096, 10 * 512 + 100 - 4096 + 3000);
  handler.valid = false;
  handler.describeAs = "RAW";
  sink.FileRecovered(&handler, &nested);
  handler.valid = true;
  handler.describeAs = "";  // falls back to the handler's first extension
  SV::CSubsetStream tiny(&source, 30 * 512, 30 * 512 + 99);  // below --min-size
  sink.FileRecovered(&handler, &tiny);
  SV::CSubsetStream again(&source, 2048 * 512, 2048 * 512 + 200);  // a second file there
  sink.FileRecovered(&handler, &again);
  // Damaged files mostly made of bytes already written in damaged files are listed, not
  // written; damaged files mostly of new bytes are.
  handler.valid = false;
  SV::CSubsetStream copy(&source, 5220 + 512, 5220 + 512 + 3000);  // 2488 bytes written before
  sink.FileRecovered(&handler, &copy);
  SV::CSubsetStream past(&source, 7220, 12220);  // 1000 of 5000
  sink.FileRecovered(&handler, &past);

  const uint8_t* bytes = source.Bytes().data();
  EXPECT_EQ(FileSha256(dir + "/raw/f0000002048.raw"), SV::CSha256::Of(bytes + 2048 * 512, 5 << 19));
  EXPECT_EQ(FileSha256(dir + "/raw/b0000000010_100.raw"), SV::CSha256::Of(bytes + 5220, 3000));
  EXPECT_EQ(FileSha256(dir + "/raw/f0000002048-2.raw"), SV::CSha256::Of(bytes + 2048 * 512, 200));
  EXPECT_EQ(FileSha256(dir + "/raw/b0000000014_052.raw"), SV::CSha256::Of(bytes + 7220, 5000));
  EXPECT_FALSE(FileExists(dir + "/raw/f0000000030.raw"));
  EXPECT_FALSE(FileExists(dir + "/raw/b0000000011_100.raw"));
  EXPECT_EQ(sink.SkippedFiles(), 2);
  const TypeTally& raw = sink.TypeTallies().at("raw");
  EXPECT_EQ(raw.files, 4);
  EXPECT_EQ(raw.damaged, 2);
  EXPECT_EQ(raw.bytes, (5 << 19) + 3000 + 200 + 5000);

  ReportOutcome outcome;
  outcome.status = "completed";
  ASSERT_TRUE(report.Finish(outcome));
  const std::string text = ReadText(dir + "/report.xml");
  for (const char* entry :
       {"<filename>raw/f0000002048.raw</filename>", "img_offset=\"5220\" len=\"3000\"",
        "<filename>raw/f0000002048-2.raw</filename>",
        "img_offset=\"5732\" len=\"3000\"/>\n    </byte_runs>\n    <salvor:type>raw</salvor:type>\n"
        "    <salvor:skipped reason=\"overlap\"/>",
        "<salvor:handler>test.sink.jpeg</salvor:handler>"})
    EXPECT_NE(text.find(entry), std::string::npos) << entry;
}

// An image's tail is one more block, filled out with zeros, also in a run read with whole
// blocks; a run past it is refused; a bad block in a run costs only itself.
TEST(ScannedSource, TailIsOneMoreBlockFilledOutWithZeros) {
  MemoryDataSource disk(GetSVSingleton(), "mem:tail", Pattern(1024, 4));
  disk.Refresh();
  CScannedSource source(&disk, 4, 64);
  source.AddTail({7, 8, 9});
  EXPECT_EQ(source.GetBlockCount(), 3);
  EXPECT_EQ(source.Bytes(), 1027);
  std::vector<uint8_t> expected = Pattern(1024, 4);
  expected.insert(expected.end(), {7, 8, 9});
  expected.resize(3 * 512, 0);
  std::vector<uint8_t> buffer(3 * 512, 0xAA);
  ASSERT_TRUE(source.ReadBlocks(0, 3, buffer.data()));
  EXPECT_TRUE(buffer == expected);
  std::fill(buffer.begin(), buffer.end(), 0xAA);
  ASSERT_TRUE(source.ReadBlocks(2, 1, buffer.data()));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 512, expected.begin() + 1024));
  EXPECT_FALSE(source.ReadBlocks(2, 2, buffer.data()));
  EXPECT_FALSE(source.ReadBlocks(3, 1, buffer.data()));
  // A run with a bad block is read all the same, block by block where it fails, the bad block
  // as zeros and marked: it is refused on its own from then on, without a read.
  disk.failingBlocks = {1};
  ASSERT_TRUE(source.ReadBlocks(0, 3, buffer.data()));
  std::fill(expected.begin() + 512, expected.begin() + 1024, 0);
  EXPECT_TRUE(buffer == expected);
  EXPECT_EQ(source.UnreadableBytes(0, 1027), 512);
  EXPECT_EQ(source.ReadErrors(), 3);  // the run, its piece and the block
  EXPECT_TRUE(source.Avoid(512) && !source.Avoid(0) && !source.Avoid(1024));
  EXPECT_FALSE(source.ReadBlocks(1, 1, buffer.data()));
  EXPECT_EQ(source.ReadErrors(), 3);
}

TEST(Naming, NamesComeFromTheOffsetAndTheVerdictOnly) {
  EXPECT_EQ(RecoveredFileName(1234567LL * 512, false, "jpg"), "f0001234567.jpg");
  // A 4 TB disk still fits the ten digits; beyond, the number just grows.
  EXPECT_EQ(RecoveredFileName(8000000000LL * 512, false, "mp4"), "f8000000000.mp4");

  EXPECT_EQ(SanitizeExtension("../../etc/PASSWD"), "etcpasswd");
  EXPECT_EQ(SanitizeExtension("j\xc3\xa9pg"), "jpg");
  EXPECT_EQ(ChooseExtension("cr2", "tif;tiff;cr2"), "cr2");
  EXPECT_EQ(ChooseExtension("", "tif;tiff"), "tif");
  EXPECT_EQ(ChooseExtension("/", ""), "bin");

  TypeFilter photos({"jpg", "tiff"}, {}), noVideo({}, {"mp4", "mov"});
  EXPECT_TRUE(photos.Accepts("JPEG") && photos.Accepts(" .Tif\t") && !photos.Accepts("png"));
  EXPECT_TRUE(photos.WantsHandler("png;jpg") && !photos.WantsHandler("mp4;mov"));
  EXPECT_TRUE(noVideo.Accepts("jpg") && !noVideo.Accepts("MOV"));
  EXPECT_TRUE(noVideo.WantsHandler("mp4;mov;heic") && !noVideo.WantsHandler("mp4;mov"));

  // Original paths from a file system the source controls never leave the output folder.
  std::string deep;
  for (int i = 0; i < kMaxNameDepth + 3; ++i) deep += "/d";
  for (const auto& [path, safe] : std::vector<std::pair<std::string, std::string>>{
           {"/DCIM/100CANON/IMG_0001.JPG", "DCIM/100CANON/IMG_0001.JPG"},
           {"/../../etc/passwd", "etc/passwd"},
           {"//a/./b//c\x01\\d", "a/b/c__d"},
           {"/..", ""},
           {"/" + std::string(300, 'x'), std::string(200, 'x')},
           {deep, deep.substr(1, kMaxNameDepth * 2 + 1) + "_d_d"}})
    EXPECT_EQ(SafeRelativePath(path), safe) << path;
  EXPECT_EQ(DamagedName("DCIM/IMG_1.JPG"), "DCIM/IMG_1 (damaged).JPG");
  EXPECT_EQ(DamagedName("a.b/README"), "a.b/README (damaged)");
}

TEST(Progress, LineAndSummaryShowWhatTheUserNeeds) {
  // clang-format off
  for (auto [bytes, text] : std::vector<std::pair<long long, std::string>>{
           {0, "0 B"}, {1023, "1023 B"}, {1536, "1.50 KiB"}, {2147483648LL, "2.00 GiB"},
           {123456789, "118 MiB"}})
    EXPECT_EQ(FormatBytes(bytes), text);
  // clang-format on
  EXPECT_EQ(FormatDuration(7) + " " + FormatDuration(754) + " " + FormatDuration(3723),
            "0:07 12:34 1:02:03");

  Tallies tallies;
  tallies["jpg"] = {28, 5 << 20, 1};
  tallies["png"] = {3, 30000, 0};
  std::string line = FormatProgressLine(1LL << 30, 2LL << 30, 10, tallies, 200);
  EXPECT_EQ(line, " 50.0%  1.00 GiB of 2.00 GiB  102.4 MiB/s  0:10 left  31 files (jpg 28, png 3)");
  // Before a second has passed the time left is not guessed; a narrow terminal is respected.
  EXPECT_NE(FormatProgressLine(10, 100, 0.2, {}, 200).find("--:-- left  0 files"),
            std::string::npos);
  EXPECT_LE(FormatProgressLine(1000000000, 2000000000, 10, tallies, 40).size(), 40u);

  std::string summary = FormatSummary(tallies, 2LL << 30, 20);
  EXPECT_NE(summary.find("jpg            28     5.00 MiB        1"), std::string::npos) << summary;
  EXPECT_NE(summary.find("Total          31"), std::string::npos) << summary;
  EXPECT_NE(summary.find("Scanned 2.00 GiB in 0:20 (102.4 MiB/s)"), std::string::npos);
}
