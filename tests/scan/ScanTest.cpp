#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <tuple>

#include "salvor/CDataStream.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/FakeHandlers.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/ScanHarness.h"
#include "engine/SVPhotoRecovery.h"

using testing_support::MemoryDataSource;
using testing_support::Pattern;
using testing_support::RecordingSink;
using Lines = std::vector<std::string>;

namespace {

// A content handler for driving the scan: answers by script for chosen blocks and recognises
// nothing elsewhere.
class TestHandler : public FakeContentHandler {
 public:
  using FakeContentHandler::FakeContentHandler;
  struct Answer {
    long long start = -1, end = -1;
    bool result = true;
  };
  // Script. FindEnd/FindStart answers are taken in order; a negative one (or none) returns
  // false.
  std::map<long long, Answer> answers;
  std::deque<long long> endAnswers, startAnswers;
  bool enabled = true;
  int maxSizeKiB = -1;  // -1: no MaxSize property
  // "R <block>" per RecognizeData, "E <window size>" / "S <window size>" per search.
  Lines calls;

  bool GetIntPropValue(const char* name, int* value) override {
    if (maxSizeKiB < 0 || strcmp(name, "MaxSize") != 0) return false;
    *value = maxSizeKiB;
    return true;
  }
  bool IsEnabled() override { return enabled; }
  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    const long long block = stream->GetPosition() / blockSize;
    calls.push_back("R " + std::to_string(block));
    char head[16] = {};
    stream->Read(sizeof head, head);  // every handler reads: the stream must be in place
    auto scripted = answers.find(block);
    if (scripted == answers.end()) return true;
    *recognized = true;
    *start = scripted->second.start;
    *end = scripted->second.end;
    return scripted->second.result;
  }
  bool FindEndOfFile(CDataStream* stream, long long, long long* end) override {
    return Search("E ", stream, endAnswers, end);
  }
  bool FindStartOfFile(CDataStream* stream, long long, long long* start) override {
    return Search("S ", stream, startAnswers, start);
  }

 private:
  bool Search(const char* kind, CDataStream* stream, std::deque<long long>& script,
              long long* found) {
    calls.push_back(kind + std::to_string(stream->GetSize()));
    const long long answer = script.empty() ? -1 : script.front();
    if (!script.empty()) script.pop_front();
    if (answer >= 0) *found = answer;
    return answer >= 0;
  }
};

// One engine, sink and memory source "disk" per scan, with its handlers.
struct Scanner {
  explicit Scanner(long long blocks) : source(&engine, "disk", Pattern(blocks * 512)) {
    // Every file is handed over at its start.
    sink.onFile = [](CContentHandler*, CDataStream* file) { EXPECT_EQ(file->GetPosition(), 0); };
  }
  // Registers a new handler; the engine asks them in ID order whatever the order of these calls.
  TestHandler& Add(const std::string& id) {
    engine.CHAdded(&handlers.emplace_back(id));
    return handlers.back();
  }
  bool Scan() {
    engine.SetEventHandler(&sink);
    return engine.Scan(&source);
  }
  // Whether the engine logged "<level> <text>".
  bool Has(const std::string& line) const {
    return std::count(sink.calls.begin(), sink.calls.end(), "Log SVC " + line) > 0;
  }
  // Each delivered file as "<offset>+<size>", after checking its bytes against the source.
  Lines Files() {
    Lines files;
    const std::vector<uint8_t>& all = source.Bytes();
    for (const auto& f : sink.files) {
      EXPECT_TRUE(f.sourceOffset + f.bytes.size() <= all.size() &&
                  std::equal(f.bytes.begin(), f.bytes.end(), all.begin() + f.sourceOffset));
      files.push_back(std::to_string(f.sourceOffset) + "+" + std::to_string(f.bytes.size()));
    }
    return files;
  }
  std::deque<TestHandler> handlers;  // outlive the engine that lists them
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  MemoryDataSource source;
};

}  // namespace

TEST(Scan, RoadOfOneFileAndBlockBoundaries) {
  Scanner s(6);
  s.Add("a").answers[1] = {512, 1536};  // ends on a block boundary: block 3 is examined next
  s.sink.recordProgress = true;
  EXPECT_TRUE(s.Scan());
  EXPECT_EQ(s.sink.calls, (Lines{"Log SVC 3 Starting scan of disk", "ScanProgress 0/6",
                                 "ScanProgress 1/6", "Log SVC 2 Block 1 recognized by a",
                                 "Log SVC 2 a found full file - delivering immediately",
                                 "Log SVC 2 Delivering file recovered by a - Size 1024",
                                 "FileRecovered a 1024", "ScanProgress 3/6", "ScanProgress 4/6",
                                 "ScanProgress 5/6", "Log SVC 2 End of scan - cleaning up",
                                 "ScanCompleted 1 0 0", "Log SVC 3 Scan completed - returning 1"}));
  EXPECT_EQ(s.Files(), (Lines{"512+1024"}));

  // Ending inside block 3 resumes at block 4; the later handler is not asked about block 1.
  Scanner t(6);
  TestHandler &c = t.Add("c"), &b = t.Add("b");
  c.answers[0] = {-1, -1};
  b.answers[0] = {-1, -1};
  b.answers[1] = {512, 1600};
  EXPECT_TRUE(t.Scan());
  EXPECT_EQ(b.calls, (Lines{"R 0", "R 1", "R 4", "R 5"}));
  EXPECT_EQ(c.calls, (Lines{"R 0", "R 4", "R 5"}));
}

TEST(Scan, ReactionTable) {
  Scanner s(16);
  TestHandler &a = s.Add("a"), &b = s.Add("b");
  a.answers[1] = {-1, 700};  // end only, first file: searched from 0
  a.startAnswers = {-1, -1, 100};
  a.answers[2] = {1024, -1};  // start only: open scan
  b.answers[5] = {-1, -1};    // any recognition completes the open scan first
  a.endAnswers = {700};
  a.answers[7] = {0, 100, false};  // an answer returned false counts for nothing
  a.answers[9] = {-1, 5000};       // end only, searched from the last file's end
  a.answers[12] = {-1, 6000};
  a.answers[13] = {-1, 50};  // ends before the last file's end: nothing to deliver
  EXPECT_TRUE(s.Scan());
  EXPECT_EQ(a.calls, (Lines{"R 0",    "R 1",  "S 1024", "R 2",  "R 3",    "R 4",    "R 5",
                            "E 1536", "R 6",  "R 7",    "R 8",  "R 9",    "S 3396", "R 10",
                            "R 11",   "R 12", "S 1656", "R 13", "S 1168", "R 14",   "R 15"}));
  EXPECT_EQ(b.calls, (Lines{"R 0", "R 1", "R 3", "R 4", "R 5", "R 6", "R 7", "R 8", "R 9", "R 10",
                            "R 11", "R 12", "R 13", "R 14", "R 15"}));
  EXPECT_EQ(s.Files(), (Lines{"0+700", "1024+700", "1724+3276", "5100+900"}));
  EXPECT_EQ(Lines(s.sink.calls.begin() + 1, s.sink.calls.begin() + 5),
            (Lines{"Log SVC 2 Block 1 recognized by a",
                   "Log SVC 2 a didn't report start of file - retrying with last files end pos",
                   "Log SVC 2 a couldn't find start of file ending at 700 - Using last files end "
                   "position 0 aligned to next block",
                   "Log SVC 2 Delivering file recovered by a - Size 700"}));
  EXPECT_TRUE(s.Has("2 a didn't report end of file - creating open scan"));
  EXPECT_TRUE(s.Has("2 Finishing open scan at 1024 using a"));
  EXPECT_TRUE(s.Has("4 CH b recognized data at 5 but didn't indicate start or end"));
}

TEST(Scan, OpenScanWindows) {
  struct Case {
    int maxSizeKiB;
    long long start, recognizedAt;
    std::deque<long long> ends;
    std::string file;
    Lines logs;
    long long blocks = 64;  // what the source says it holds
  };
  const std::string end = "2 a couldn't find end of file at ";
  // clang-format off
  const std::vector<Case> cases = {
      // MaxSize 1: the second window reaches 1 KiB past the current position, not the start.
      {1, 1100, 10, {-1, -1}, "1100+4020", {end + "1100 - trying with stream size 5044",
       "2 a still couldn't find end of file at 1100 - using current position 5120 as end of file"}},
      // Without MaxSize (32 MiB), and with 4 GiB, the window stops at the end of the source.
      {-1, 30720, 62, {-1, 1500}, "30720+1500", {end + "30720 - trying with stream size 2048"}},
      {4194304, 30720, 62, {-1, -1}, "30720+1024", {end + "30720 - trying with stream size 2048"}},
      // Without MaxSize the second window reaches 32 MiB past the current position.
      {-1, 1024, 10, {-1, 4096}, "1024+4096", {end + "1024 - trying with stream size 33558528"},
       100000},
      {-1, 1024, 4, {0}, "1024+0", {"2 Delivering file recovered by a - Size 0"}},
      {-1, 0, 4, {700}, "0+700", {"2 a didn't report end of file - creating open scan"}},
      {-1, 1024, 4, {-1, 0}, "1024+0", {end + "1024 - trying with stream size 31744"}},
      {0, 1100, 10, {-1, -1}, "1100+4020", {end + "1100 - trying with stream size 4020"}},
      {-1, 30720, -1, {0}, "30720+0", {"2 Finishing open scan at 30720 using a"}},
      // A start ahead of the scan gives an empty first window and an empty file.
      {-1, 9000, 12, {-1, -1}, "9000+0", {end + "9000 - trying with stream size 23768"}},
      // Still open when the source ends: the end is searched up to the end of the source.
      {-1, 30720, -1, {-1}, "30720+2048",
       {"2 Finishing open scan at 30720 using a", end + "30720 - Using current position 32768"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    Scanner s(64);
    s.source.virtualBlockCount = c.blocks;
    TestHandler &a = s.Add("a"), &b = s.Add("b");
    a.maxSizeKiB = c.maxSizeKiB;
    a.answers[c.start / 512 > 20 ? 60 : 2] = {c.start, -1};
    if (c.recognizedAt >= 0) b.answers[c.recognizedAt] = {-1, -1};
    a.endAnswers = c.ends;
    EXPECT_TRUE(s.Scan());
    for (const auto& line : c.logs) EXPECT_TRUE(s.Has(line)) << line;
    EXPECT_EQ(s.Files(), Lines{c.file});
  }
}

TEST(Scan, CancellationPoints) {
  for (const auto& [ordinal, suffix, files] :
       std::vector<std::tuple<long long, std::string, size_t>>{
           {1, " cancelled in ScanProgress while selecting next block", 0},
           {3, " cancelled in ScanProgress after searching for start of file", 0},
           {9, " cancelled in ScanProgress while finishing open scan", 1},
           {10, " cancelled in ScanProgress while retrying open scan completion", 1},
           {11, " cancelled in ScanProgress after completing open scan", 2}}) {
    Scanner s(16);
    TestHandler& a = s.Add("a");
    a.answers[1] = {-1, 700};
    a.answers[3] = {1536, -1};
    a.answers[6] = {-1, -1};
    a.endAnswers = {-1, -1};
    s.sink.cancelProgress = [at = ordinal](long long n) { return n == at; };
    EXPECT_FALSE(s.Scan());
    const Lines& calls = s.sink.calls;
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(Lines(calls.end() - 4, calls.end()),
              (Lines{"Log SVC 3 Scan of disk" + suffix, "Log SVC 2 End of scan - cleaning up",
                     "ScanCompleted 0 1 0", "Log SVC 3 Scan completed - returning 0"}));
    EXPECT_EQ(s.sink.files.size(), files) << suffix;
    EXPECT_EQ(s.source.releaseCalls, 1);
    EXPECT_TRUE(ordinal != 1 || a.calls.empty());  // cancelled before any question
  }
}

TEST(Scan, LostDriveAndRefusals) {
  // Lost with a file open: nothing more is asked, searched or delivered.
  Scanner s(64);
  TestHandler &a = s.Add("a"), &b = s.Add("b");
  a.answers[3] = {1536, -1};
  s.source.loseDriveAfterReads = 1;  // the second chunk cannot be read
  EXPECT_FALSE(s.Scan());
  EXPECT_TRUE(s.Has("4 Lost drive disk - scan aborted"));
  EXPECT_EQ(a.calls.back(), "R 32");
  EXPECT_EQ(b.calls.back(), "R 31");  // nobody else is asked once the drive is lost
  EXPECT_FALSE(s.Has("2 Finishing open scan at 1536 using a"));
  EXPECT_EQ(s.sink.calls[s.sink.calls.size() - 2], "ScanCompleted 0 0 0");
  EXPECT_EQ(s.source.releaseCalls, 1);
  // The drive comes back after Refresh: the answer stands and the scan goes on.
  Scanner back(64);
  TestHandler& c = back.Add("a");
  c.answers[32] = {16384, 16400};
  back.source.loseDriveAfterReads = 1;
  back.source.lostForGood = false;
  EXPECT_TRUE(back.Scan());
  EXPECT_EQ(back.sink.files.size(), 1u);
  EXPECT_EQ(c.calls.back(), "R 63");
  EXPECT_EQ(back.sink.calls[back.sink.calls.size() - 2], "ScanCompleted 0 0 0");

  Scanner locked(4);
  EXPECT_FALSE(locked.engine.Scan(nullptr));  // no source: nothing to name, lock or read
  locked.source.refuseLock = true;
  EXPECT_FALSE(locked.Scan());
  EXPECT_EQ(locked.sink.calls, (Lines{"Log SVC 3 Starting scan of disk",
                                      "Log SVC 4 Could not lock disk - scan aborted"}));
  EXPECT_EQ(locked.source.releaseCalls, 0);

  // An empty source asks nobody; a disabled handler is never asked, and without one the scan
  // makes no progress calls.
  Scanner empty(0);
  TestHandler& asked = empty.Add("a");
  EXPECT_TRUE(empty.Scan());
  EXPECT_EQ(empty.sink.calls,
            (Lines{"Log SVC 3 Starting scan of disk", "Log SVC 2 End of scan - cleaning up",
                   "ScanCompleted 1 0 0", "Log SVC 3 Scan completed - returning 1"}));
  EXPECT_TRUE(asked.calls.empty());
  Scanner idle(8);
  TestHandler& off = idle.Add("off");
  off.enabled = false;
  EXPECT_TRUE(idle.Scan());
  EXPECT_EQ(idle.sink.progressCalls, 0);
  EXPECT_TRUE(off.calls.empty());
}

TEST(Scan, EmptyFilesAndTheSmallestSource) {
  Scanner one(1);
  one.Add("a").answers[0] = {0, 0};  // complete, and empty
  EXPECT_TRUE(one.Scan());
  EXPECT_EQ(one.Files(), Lines{"0+0"});
  // A start found exactly at the reported end.
  Scanner s(4);
  TestHandler& b = s.Add("b");
  b.answers[1] = {-1, 700};
  b.startAnswers = {700};
  EXPECT_TRUE(s.Scan());
  EXPECT_EQ(s.Files(), Lines{"700+0"});
}
