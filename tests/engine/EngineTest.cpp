#include <gtest/gtest.h>

#include <vector>

#include "engine/SVPhotoRecovery.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/StderrCapture.h"

using testing_support::MemoryDataSource;
using testing_support::RecordingSink;
using testing_support::StderrCapture;
using Calls = std::vector<std::string>;

TEST(Engine, SingletonIsOneObjectThatStartsEmpty) {
  CPhotoRecovery* first = GetSVSingleton();
  EXPECT_EQ(GetSVSingleton(), first);
  SV::CPhotoRecovery fresh;
  for (CPhotoRecovery* e : {first, static_cast<CPhotoRecovery*>(&fresh)}) {
    EXPECT_EQ(e->GetDataSourceCount() + e->GetContentHandlerCount() + e->GetPreviewHandlerCount(),
              0);
    EXPECT_EQ(e->GetDataSource(0), nullptr);
    EXPECT_EQ(e->GetContentHandler(0), nullptr);
    EXPECT_EQ(e->GetPreviewHandler(0), nullptr);
    EXPECT_EQ(e->FindDataSourceByID(""), nullptr);
  }
  EXPECT_EQ(fresh.ScanReadAhead(), 16384);
  EXPECT_EQ(fresh.ScanCacheSize(), 0x200000);
}

TEST(Engine, ScanSettingsAreClampedLoggedAndStoredUnsigned) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  engine.SetEventHandler(&sink);
  const struct {
    unsigned int bytes;
    long long stored;
  } readAheads[] = {{0, 16384},
                    {16383, 16384},
                    {16384, 16384},
                    {16385, 16385},
                    {0xFFFFFFFFu, 4294967295LL}},
    cacheSizes[] = {{0, 0}, {0x80000000u, 2147483648LL}};
  for (const auto& c : readAheads) {
    engine.SetScanReadAhead(c.bytes);
    EXPECT_EQ(engine.ScanReadAhead(), c.stored);
    EXPECT_EQ(sink.calls.back(), "Log SVC 1 Setting ScanReadAhead to " + std::to_string(c.stored));
  }
  for (const auto& c : cacheSizes) {
    engine.SetScanCacheSize(c.bytes);
    EXPECT_EQ(engine.ScanCacheSize(), c.stored);
    EXPECT_EQ(sink.calls.back(), "Log SVC 1 Setting ScanCacheSize to " + std::to_string(c.stored));
  }
}

TEST(Engine, LogWritesOneBracketedLineAndHandsTheSinkTheOriginalArguments) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  StderrCapture capture;
  engine.Log("SVC", 3, "before any sink");
  engine.SetEventHandler(&sink);
  // Per-cent signs must come out as they are, not as format directives.
  engine.Log("Plug.X", 7, "100% %s %d done");
  engine.ReportWindowsError(5, nullptr);
  engine.ReportWindowsError(-2, "x");
  engine.SetEventHandler(nullptr);
  engine.Log("SVC", 2, "after the sink was removed");

  EXPECT_EQ(capture.Stop(),
            "[SVC] before any sink\n[Plug.X] 100% %s %d done\n[SVC] Windows error 5: <no data>\n"
            "[SVC] Windows error -2: x\n[SVC] after the sink was removed\n");
  EXPECT_EQ(sink.calls,
            (Calls{"Log Plug.X 7 100% %s %d done", "Log SVC 1 Windows error 5: <no data>",
                   "Log SVC 1 Windows error -2: x"}));
}

TEST(Engine, ForwardingOperationsReachTheSinkUnchecked) {
  SV::CPhotoRecovery engine;
  MemoryDataSource unregistered(&engine, "never-added", std::vector<uint8_t>(1024));
  // Without a sink nothing happens and the caller's flag keeps its value.
  bool cancel = true;
  engine.DSSeek(&unregistered, 10, cancel);
  engine.DSAccess(&unregistered, 10, cancel);
  engine.DSChanged(&unregistered);
  EXPECT_TRUE(cancel);

  RecordingSink sink;
  sink.recordAccess = true;
  sink.cancelSeek = [](long long position) { return position == 4096; };
  sink.cancelAccess = [](long long position) { return position == -1; };
  engine.SetEventHandler(&sink);
  engine.DSChanged(&unregistered);
  bool flags[4] = {};
  engine.DSSeek(&unregistered, 512, flags[0]);
  engine.DSSeek(&unregistered, 4096, flags[1]);
  engine.DSAccess(&unregistered, 1LL << 40, flags[2]);
  engine.DSAccess(&unregistered, -1, flags[3]);
  EXPECT_EQ((std::vector<bool>(flags, flags + 4)), (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(sink.calls, (Calls{"DSChanged never-added", "DSSeek 512", "DSSeek 4096",
                               "DSAccess 1099511627776", "DSAccess -1"}));
  EXPECT_EQ(engine.GetDataSourceCount(), 0);
}
