#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "engine/SVPhotoRecovery.h"
#include "tests/support/RecordingSink.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_support::RecordingSink;
using Calls = std::vector<std::string>;

TEST(Engine, SingletonStartsEmptyAndScanSettingsAreClampedLoggedAndStoredUnsigned) {
  CPhotoRecovery* singleton = GetSVSingleton();
  EXPECT_EQ(GetSVSingleton(), singleton);
  EXPECT_EQ(singleton->GetDataSourceCount() + singleton->GetContentHandlerCount() +
                singleton->GetPreviewHandlerCount(),
            0);
  SV::CPhotoRecovery engine;
  EXPECT_EQ(engine.ScanReadAhead(), 16384);
  EXPECT_EQ(engine.ScanCacheSize(), 0x200000);
  RecordingSink sink;
  engine.SetEventHandler(&sink);
  // clang-format off
  for (auto [readAhead, bytes, stored] : std::vector<std::tuple<bool, unsigned, long long>>{
           {true, 0, 16384}, {true, 16383, 16384}, {true, 16384, 16384}, {true, 16385, 16385},
           {true, 0xFFFFFFFFu, 4294967295LL}, {false, 0, 0}, {false, 0x80000000u, 2147483648LL}}) {
    // clang-format on
    readAhead ? engine.SetScanReadAhead(bytes) : engine.SetScanCacheSize(bytes);
    EXPECT_EQ(readAhead ? engine.ScanReadAhead() : engine.ScanCacheSize(), stored);
    EXPECT_EQ(sink.calls.back(), std::string("Log SVC 1 Setting Scan") +
                                     (readAhead ? "ReadAhead" : "CacheSize") + " to " +
                                     std::to_string(stored));
  }
}

TEST(Engine, LogWritesOneBracketedLineAndHandsTheSinkTheOriginalArguments) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  CaptureStderr();
  engine.Log("SVC", 3, "before any sink");
  engine.SetEventHandler(&sink);
  // Per-cent signs must come out as they are, not as format directives.
  engine.Log("Plug.X", 7, "100% %s %d done");
  engine.ReportWindowsError(5, nullptr);
  engine.ReportWindowsError(-2, "x");
  engine.SetEventHandler(nullptr);
  engine.Log("SVC", 2, "after the sink was removed");

  EXPECT_EQ(GetCapturedStderr(),
            "[SVC] before any sink\n[Plug.X] 100% %s %d done\n[SVC] Windows error 5: <no data>\n"
            "[SVC] Windows error -2: x\n[SVC] after the sink was removed\n");
  EXPECT_EQ(sink.calls,
            (Calls{"Log Plug.X 7 100% %s %d done", "Log SVC 1 Windows error 5: <no data>",
                   "Log SVC 1 Windows error -2: x"}));
}
