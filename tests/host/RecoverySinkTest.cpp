#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <fstream>

#include "host/App.h"
#include "modules/common/HandlerBase.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/MemoryStream.h"
#include "host/RecoverySink.h"
#include "host/ScannedSource.h"
#include "tests/support/ScanHarness.h"
#include "util/sha256/Sha256.h"
#include "SVSDK/SubsetStream.h"

using namespace salvor;
using testing_support::FileExists;
using testing_support::MemoryStream;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;

namespace {

// A handler whose DescribeFile answers what the test says.
class ScriptedHandler : public CHandlerBase {
 public:
  ScriptedHandler(const HandlerInfo& info) : CHandlerBase(GetSVSingleton(), info) {}
  bool DescribeFile(CDataStream* file, char* extension, int size) override {
    file->Seek(5, CDataStream::SeekFromStart);  // moves the position, as handlers may
    std::snprintf(extension, static_cast<size_t>(size), "%s", describeAs.c_str());
    return valid;
  }
  bool RecognizeData(CDataStream*, long long, bool*, long long*, long long*) override {
    return false;
  }
  bool FindEndOfFile(CDataStream*, long long, long long*) override { return false; }
  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

  std::string describeAs = "jpg";
  bool valid = true;
};

const HandlerInfo kJpegInfo{"test.sink.jpeg", "image/jpeg", "Test JPEG", "jpg;jpeg", 1024, 4096};

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

}  // namespace

TEST(RecoverySink, WritesEachFileUnderItsTypeAndOffsetAndReportsIt) {
  std::string dir = ScratchDir("host_sink");
  // A source of 4 MiB whose files sit at sector 2048 (2.5 MiB long: several copy chunks) and
  // at byte 100 of sector 10 inside a nested subset.
  MemoryStream source(Pattern(4 << 20, 3));
  ScriptedHandler handler(kJpegInfo);
  DfxmlReport report;
  ReportHeader header;
  ASSERT_TRUE(report.Open(dir + "/report.xml", header));
  SinkSettings settings;
  settings.outputDir = dir;
  settings.minSize = 100;
  RecoverySink sink(settings, &report);
  sink.BeginScan(8192, 512);

  SV::CSubsetStream big(&source, 2048 * 512, 2048 * 512 + (5 << 19));
  sink.FileRecovered(&handler, &big);
  SV::CSubsetStream window(&source, 4096, 1 << 20);
  SV::CSubsetStream nested(&window, 10 * 512 + 100 - 4096, 10 * 512 + 100 - 4096 + 3000);
  handler.valid = false;
  handler.describeAs = "JPG";
  sink.FileRecovered(&handler, &nested);
  handler.valid = true;
  handler.describeAs = "";  // falls back to the handler's first extension
  SV::CSubsetStream tiny(&source, 30 * 512, 30 * 512 + 99);  // below --min-size
  sink.FileRecovered(&handler, &tiny);

  auto expectFile = [&](const std::string& name, long long offset, long long size) {
    std::vector<uint8_t> written = ReadFileBytes(dir + "/jpg/" + name);
    ASSERT_EQ(static_cast<long long>(written.size()), size) << name;
    EXPECT_EQ(0, std::memcmp(written.data(), source.Bytes().data() + offset, written.size()));
  };
  expectFile("f0000002048.jpg", 2048 * 512, 5 << 19);
  expectFile("b0000000010_100.jpg", 10 * 512 + 100, 3000);
  EXPECT_FALSE(FileExists(dir + "/jpg/f0000000030.jpg"));
  EXPECT_EQ(sink.skippedFiles(), 1);
  ASSERT_EQ(sink.tallies().count("jpg"), 1u);
  EXPECT_EQ(sink.tallies().at("jpg").files, 2);
  EXPECT_EQ(sink.tallies().at("jpg").damaged, 1);
  EXPECT_EQ(sink.tallies().at("jpg").bytes, (5 << 19) + 3000);

  ASSERT_TRUE(report.Finish(ReportOutcome{"completed", 2, 0, 0, 0, ""}));
  std::vector<uint8_t> xml = ReadFileBytes(dir + "/report.xml");
  std::string text(xml.begin(), xml.end());
  std::string sha = SV::CSha256::Of(source.Bytes().data() + 2048 * 512, 5 << 19);
  EXPECT_NE(text.find("<filename>jpg/f0000002048.jpg</filename>"), std::string::npos);
  EXPECT_NE(text.find(sha), std::string::npos);
  EXPECT_NE(text.find("img_offset=\"5220\" len=\"3000\""), std::string::npos);

  // A second file at the same offset never overwrites the first.
  handler.describeAs = "jpg";
  SV::CSubsetStream again(&source, 2048 * 512, 2048 * 512 + 200);
  sink.FileRecovered(&handler, &again);
  EXPECT_EQ(ReadFileBytes(dir + "/jpg/f0000002048.jpg").size(), static_cast<size_t>(5 << 19));
  EXPECT_EQ(ReadFileBytes(dir + "/jpg/f0000002048-2.jpg").size(), 200u);
  EXPECT_FALSE(sink.outputFailed());

  // An output that cannot be written stops the scan at the next progress call.
  std::ofstream(dir + "/png") << "in the way";
  handler.describeAs = "png";
  sink.FileRecovered(&handler, &again);
  EXPECT_TRUE(sink.outputFailed());
  EXPECT_FALSE(sink.diskFull());
  EXPECT_EQ(sink.outputFailurePath(), dir + "/png/f0000002048.png");
  bool cancel = false;
  sink.ScanProgress(0, 8192, cancel);
  EXPECT_TRUE(cancel);
}

TEST(RecoverySink, ListOnlyWritesNothingAndInterruptCancels) {
  std::string dir = ScratchDir("host_sink_list");
  MemoryStream source(Pattern(64 * 512, 9));
  ScriptedHandler handler(kJpegInfo);
  volatile std::sig_atomic_t interrupts = 0;
  SinkSettings settings;
  settings.outputDir = dir;
  settings.listOnly = true;
  settings.interrupts = &interrupts;
  RecoverySink sink(settings, nullptr);
  sink.BeginScan(64, 512);
  SV::CSubsetStream file(&source, 512, 4096);
  sink.FileRecovered(&handler, &file);
  EXPECT_FALSE(FileExists(dir + "/jpg"));
  EXPECT_EQ(sink.tallies().at("jpg").files, 1);

  bool cancel = false;
  for (int i = 0; i < 5000; ++i) sink.ScanProgress(i % 64, 64, cancel);
  EXPECT_FALSE(cancel);
  interrupts = 1;
  sink.ScanProgress(7, 64, cancel);
  EXPECT_TRUE(cancel);
  sink.ScanCompleted(false, true, 0);
  EXPECT_TRUE(sink.cancelled());

  // Failed reads are counted from the data sources' own error lines; a lost drive is noticed.
  sink.Log("SVC", 2, "Block 3 recognized by test.sink.jpeg");
  sink.Log("blockdev", 4, "Read error on /dev/sdb at byte 512: Input/output error");
  sink.Log("SVC", 4, "Lost drive blockdev:sdb - scan aborted");
  EXPECT_EQ(sink.readErrors(), 1);
  EXPECT_TRUE(sink.lostSource());
  EXPECT_EQ(sink.TakeErrors().size(), 2u);
  EXPECT_TRUE(sink.TakeErrors().empty());
}

TEST(RecoverySink, HandlerSettingsFromTheCommandLine) {
  ScriptedHandler jpeg(kJpegInfo);
  ScriptedHandler png(HandlerInfo{"test.sink.png", "image/png", "Test PNG", "png", 1024, 4096});
  CPhotoRecovery* engine = GetSVSingleton();
  engine->CHAdded(&jpeg);
  engine->CHAdded(&png);
  Options options;
  options.types = {"png"};
  options.settings = {{"test.sink.png", "MaxSize", "2048"}};
  std::string error;
  ASSERT_TRUE(ConfigureHandlers(engine, options, error)) << error;
  EXPECT_FALSE(jpeg.IsEnabled());
  EXPECT_TRUE(png.IsEnabled());
  int maxSize = 0;
  ASSERT_TRUE(png.GetIntPropValue("MaxSize", &maxSize));
  EXPECT_EQ(maxSize, 2048);

  // A type names every handler producing it; unknown names and properties are refused.
  options = Options();
  options.settings = {{"jpeg", "Enabled", "1"}};
  ASSERT_TRUE(ConfigureHandlers(engine, options, error)) << error;
  EXPECT_TRUE(jpeg.IsEnabled());
  options.settings = {{"test.sink.gif", "MaxSize", "1"}};
  EXPECT_FALSE(ConfigureHandlers(engine, options, error));
  EXPECT_NE(error.find("no handler 'test.sink.gif'"), std::string::npos);
  options.settings = {{"png", "Colour", "1"}};
  EXPECT_FALSE(ConfigureHandlers(engine, options, error));
  EXPECT_NE(error.find("has no property 'Colour'"), std::string::npos);
  options.settings = {{"png", "MaxSize", "lots"}};
  EXPECT_FALSE(ConfigureHandlers(engine, options, error));
  EXPECT_NE(error.find("refused MaxSize=lots"), std::string::npos);
  options = Options();
  options.types = {"webm"};
  EXPECT_FALSE(ConfigureHandlers(engine, options, error));
  engine->CHDeleted(&jpeg);
  engine->CHDeleted(&png);
}

// An image's tail is one more block, filled out with zeros, also in a run read with whole
// blocks; a run past it is refused, and a whole block that fails is still counted as unreadable.
TEST(ScannedSource, TailIsOneMoreBlockFilledOutWithZeros) {
  testing_support::MemoryDataSource disk(GetSVSingleton(), "mem:tail", Pattern(1024, 4));
  disk.Refresh();
  CScannedSource source(&disk);
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

  disk.failingBlocks = {1};
  EXPECT_FALSE(source.ReadBlocks(1, 2, buffer.data()));
  EXPECT_FALSE(source.ReadBlocks(1, 1, buffer.data()));
  EXPECT_TRUE(source.ReadBlocks(2, 1, buffer.data()));
  EXPECT_EQ(source.UnreadableBytes(0, 1027), 512);
}
