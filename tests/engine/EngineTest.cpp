#include <gtest/gtest.h>

#include <vector>

#include "tests/support/MemoryDataSource.h"
#include "tests/support/RecordingSink.h"
#include "engine/SVPhotoRecovery.h"
#include "tests/support/StderrCapture.h"

using testing_support::MemoryDataSource;
using testing_support::RecordingSink;
using testing_support::StderrCapture;

namespace {

struct Line {
  std::string source;
  int level;
  std::string text;
};

void ExpectLogs(const RecordingSink& sink, const std::vector<Line>& expected) {
  ASSERT_EQ(sink.logs.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(sink.logs[i].source, expected[i].source) << i;
    EXPECT_EQ(sink.logs[i].level, expected[i].level) << i;
    EXPECT_EQ(sink.logs[i].text, expected[i].text) << i;
  }
}

}  // namespace

TEST(Engine, SingletonIsOneObjectThatStartsEmpty) {
  CPhotoRecovery* first = GetSVSingleton();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetSVSingleton(), first);
  auto* engine = dynamic_cast<SV::CPhotoRecovery*>(first);
  ASSERT_NE(engine, nullptr);

  // A fresh engine: no sink, empty registries, default scan settings.
  SV::CPhotoRecovery fresh;
  for (SV::CPhotoRecovery* e : {engine, &fresh}) {
    EXPECT_EQ(e->FEventHandler, nullptr);
    EXPECT_EQ(e->GetDataSourceCount(), 0);
    EXPECT_EQ(e->GetContentHandlerCount(), 0);
    EXPECT_EQ(e->GetPreviewHandlerCount(), 0);
    EXPECT_EQ(e->GetDataSource(0), nullptr);
    EXPECT_EQ(e->GetContentHandler(0), nullptr);
    EXPECT_EQ(e->GetPreviewHandler(0), nullptr);
    EXPECT_EQ(e->FindDataSourceByID(""), nullptr);
    EXPECT_EQ(e->FindDataSourceByID("a"), nullptr);
    EXPECT_EQ(e->FScanReadAhead, 16384);
    EXPECT_EQ(e->FScanCacheSize, 0x200000);
  }
}

TEST(Engine, ScanSettingsAreClampedLoggedAndStoredUnsigned) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  engine.SetEventHandler(&sink);
  StderrCapture capture;

  engine.SetScanReadAhead(0);
  EXPECT_EQ(engine.FScanReadAhead, 16384);
  engine.SetScanReadAhead(16383);
  EXPECT_EQ(engine.FScanReadAhead, 16384);
  engine.SetScanReadAhead(16384);
  EXPECT_EQ(engine.FScanReadAhead, 16384);
  engine.SetScanReadAhead(16385);
  EXPECT_EQ(engine.FScanReadAhead, 16385);
  engine.SetScanReadAhead(0xFFFFFFFFu);
  EXPECT_EQ(engine.FScanReadAhead, 4294967295LL);

  engine.SetScanCacheSize(0);
  EXPECT_EQ(engine.FScanCacheSize, 0);
  engine.SetScanCacheSize(0x80000000u);
  EXPECT_EQ(engine.FScanCacheSize, 2147483648LL);

  EXPECT_EQ(capture.Stop(),
            "[SVC] Setting ScanReadAhead to 16384\n"
            "[SVC] Setting ScanReadAhead to 16384\n"
            "[SVC] Setting ScanReadAhead to 16384\n"
            "[SVC] Setting ScanReadAhead to 16385\n"
            "[SVC] Setting ScanReadAhead to 4294967295\n"
            "[SVC] Setting ScanCacheSize to 0\n"
            "[SVC] Setting ScanCacheSize to 2147483648\n");
  ExpectLogs(sink, {{"SVC", 1, "Setting ScanReadAhead to 16384"},
                    {"SVC", 1, "Setting ScanReadAhead to 16384"},
                    {"SVC", 1, "Setting ScanReadAhead to 16384"},
                    {"SVC", 1, "Setting ScanReadAhead to 16385"},
                    {"SVC", 1, "Setting ScanReadAhead to 4294967295"},
                    {"SVC", 1, "Setting ScanCacheSize to 0"},
                    {"SVC", 1, "Setting ScanCacheSize to 2147483648"}});
}

TEST(Engine, LogWritesOneBracketedLineAndHandsTheSinkTheOriginalArguments) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  StderrCapture capture;

  engine.Log("SVC", 3, "before any sink");
  engine.SetEventHandler(&sink);
  // Per-cent signs must come out as they are, not as format directives.
  engine.Log("Plug.X", 7, "100% %s %d done");
  engine.Log("", 0, "");
  engine.SetEventHandler(nullptr);
  engine.Log("SVC", 2, "after the sink was removed");

  EXPECT_EQ(capture.Stop(),
            "[SVC] before any sink\n"
            "[Plug.X] 100% %s %d done\n"
            "[] \n"
            "[SVC] after the sink was removed\n");
  ExpectLogs(sink, {{"Plug.X", 7, "100% %s %d done"}, {"", 0, ""}});
  EXPECT_EQ(sink.calls.size(), 2u);
}

TEST(Engine, ReportWindowsErrorLogsCodeAndData) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  engine.SetEventHandler(&sink);
  StderrCapture capture;
  engine.ReportWindowsError(5, nullptr);
  engine.ReportWindowsError(-2, "x");
  EXPECT_EQ(capture.Stop(), "[SVC] Windows error 5: <no data>\n[SVC] Windows error -2: x\n");
  ExpectLogs(sink, {{"SVC", 1, "Windows error 5: <no data>"}, {"SVC", 1, "Windows error -2: x"}});
}

TEST(Engine, ForwardingOperationsReachTheSinkUnchecked) {
  SV::CPhotoRecovery engine;
  MemoryDataSource unregistered(&engine, "never-added", std::vector<uint8_t>(1024));

  // Without a sink nothing happens and the caller's flag keeps its value.
  bool cancel = false;
  engine.DSSeek(&unregistered, 10, cancel);
  EXPECT_FALSE(cancel);
  cancel = true;
  engine.DSAccess(&unregistered, 10, cancel);
  EXPECT_TRUE(cancel);
  engine.DSChanged(&unregistered);

  RecordingSink sink;
  sink.recordAccess = true;
  sink.cancelSeek = [](long long position) { return position == 4096; };
  sink.cancelAccess = [](long long position) { return position == -1; };
  engine.SetEventHandler(&sink);
  StderrCapture capture;

  engine.DSChanged(&unregistered);
  cancel = false;
  engine.DSSeek(&unregistered, 512, cancel);
  EXPECT_FALSE(cancel);
  engine.DSSeek(&unregistered, 4096, cancel);
  EXPECT_TRUE(cancel);
  cancel = false;
  engine.DSAccess(&unregistered, 1LL << 40, cancel);
  EXPECT_FALSE(cancel);
  engine.DSAccess(&unregistered, -1, cancel);
  EXPECT_TRUE(cancel);

  EXPECT_EQ(capture.Stop(), "");
  EXPECT_EQ(sink.calls,
            (std::vector<std::string>{"DSChanged never-added", "DSSeek 512", "DSSeek 4096",
                                      "DSAccess 1099511627776", "DSAccess -1"}));
  EXPECT_EQ(engine.GetDataSourceCount(), 0);
}
