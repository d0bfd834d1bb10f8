#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "salvor/CPhotoRecovery.h"
#include "salvor/LogLevel.h"
#include "plugin/FileDataSource.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/ScanHarness.h"

using testing_support::RecordingSink;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

namespace {

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// Bytes whose value tells their position, so a wrong offset shows in the data.
std::vector<uint8_t> Numbered(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i / 512 * 7 + i);
  return bytes;
}

// Installs the sink on the engine for one test and takes it away again.
struct EngineWithSink {
  EngineWithSink() : engine(GetSVSingleton()) { engine->SetEventHandler(&sink); }
  ~EngineWithSink() { engine->SetEventHandler(nullptr); }
  CPhotoRecovery* engine;
  RecordingSink sink;
};

const RecordingSink::LogLine* LastLog(const RecordingSink& sink) {
  return sink.logs.empty() ? nullptr : &sink.logs.back();
}

}  // namespace

TEST(FileDataSource, RegistersMeasuresAndReportsChanges) {
  EngineWithSink env;
  std::string path = ScratchDir("fileds-geometry") + "/card.img";
  ASSERT_TRUE(WriteFileBytes(path, Numbered(1000000)));
  const std::string id = "SVFileDS_" + path;
  int before = env.engine->GetDataSourceCount();
  {
    CFileDataSource source(env.engine, Wide(path).c_str());
    EXPECT_EQ(source.GetStateString(), "UI=" + id + ", BS=0, BC=0, R=false, F=false, FN=" + path);
    ASSERT_EQ(env.sink.logs.size(), 1u);
    EXPECT_EQ(env.sink.logs[0].source, "SVC.FileDS");
    EXPECT_EQ(env.sink.logs[0].level, LogLevel::kDetail);
    EXPECT_EQ(env.sink.logs[0].text, "Added: " + source.GetStateString());
    EXPECT_EQ(env.engine->FindDataSourceByID(id.c_str()), &source);
    EXPECT_FALSE(source.IsReady());
    EXPECT_FALSE(source.AcquireReadLock());

    // 1,000,000 bytes: 1953 whole blocks, the last 64 bytes belong to none.
    source.Refresh();
    EXPECT_EQ(env.sink.calls.back(), "DSChanged " + id);
    EXPECT_EQ(source.GetStateString(),
              "UI=" + id + ", BS=512, BC=1953, R=true, F=true, FN=" + path);
    EXPECT_TRUE(source.AcquireReadLock() && !source.AcquireWriteLock());
    std::vector<uint8_t> block(512, 0);
    void* icon = &block;
    EXPECT_FALSE(source.WriteBlocks(0, 1, block.data()) || source.GetIcon(icon));
    EXPECT_EQ(icon, nullptr);
    EXPECT_EQ(source.GetType(), 4);

    // Unchanged file: no report. One more block: exactly one report.
    size_t calls = env.sink.calls.size();
    source.Refresh();
    EXPECT_EQ(env.sink.calls.size(), calls);
    ASSERT_EQ(truncate(path.c_str(), 1954 * 512), 0);
    source.Refresh();
    EXPECT_EQ(source.GetBlockCount(), 1954);
    ASSERT_EQ(env.sink.calls.size(), calls + 1);
    EXPECT_EQ(env.sink.calls.back(), "DSChanged " + id);

    // Gone: the open error with its number, closed, geometry kept, no report.
    ASSERT_EQ(remove(path.c_str()), 0);
    calls = env.sink.calls.size();
    source.Refresh();
    ASSERT_NE(LastLog(env.sink), nullptr);
    EXPECT_EQ(LastLog(env.sink)->text, "Error opening '" + path + "': '2");
    EXPECT_EQ(LastLog(env.sink)->level, LogLevel::kError);
    EXPECT_EQ(env.sink.calls.size(), calls + 1);  // the log line only
    EXPECT_FALSE(source.AcquireReadLock());
    EXPECT_EQ(source.GetLastIOError(), ENOENT);
    env.sink.logs.clear();
  }
  ASSERT_EQ(env.sink.logs.size(), 1u);
  EXPECT_EQ(env.sink.logs[0].text,
            "Deleted: UI=" + id + ", BS=512, BC=1954, R=false, F=false, FN=" + path);
  EXPECT_EQ(env.engine->GetDataSourceCount(), before);

  // Even an empty image reports its first measurement.
  ASSERT_TRUE(WriteFileBytes(path, {}));
  CFileDataSource empty(env.engine, Wide(path).c_str());
  empty.Refresh();
  EXPECT_EQ(env.sink.calls.back(), "DSChanged " + id);
  EXPECT_EQ(empty.GetStateString(), "UI=" + id + ", BS=512, BC=0, R=true, F=true, FN=" + path);
}

TEST(FileDataSource, ReadsWholeBlocksUnderTheHostsWatch) {
  EngineWithSink env;
  std::string path = ScratchDir("fileds-read") + "/card.img";
  std::vector<uint8_t> image = Numbered(10 * 512 + 100);
  ASSERT_TRUE(WriteFileBytes(path, image));
  const std::string id = "SVFileDS_" + path;
  CFileDataSource source(env.engine, Wide(path).c_str());
  std::vector<uint8_t> buffer(3 * 512, 0xEE);

  // Closed: refused without a word.
  env.sink.logs.clear();
  EXPECT_FALSE(source.ReadBlocks(0, 1, buffer.data()));
  EXPECT_TRUE(env.sink.logs.empty());
  EXPECT_EQ(env.sink.seekCalls, 0);

  source.Refresh();
  env.sink.calls.clear();
  env.sink.logs.clear();
  ASSERT_TRUE(source.ReadBlocks(4, 3, buffer.data()));
  EXPECT_EQ(buffer, std::vector<uint8_t>(image.begin() + 2048, image.begin() + 3584));
  ASSERT_EQ(env.sink.calls.size(), 3u);
  EXPECT_EQ(env.sink.calls[0], "DSSeek 2048");
  EXPECT_EQ(env.sink.calls[1], "DSSeek 3584");
  EXPECT_EQ(env.sink.logs[0].level, LogLevel::kDetail);
  EXPECT_EQ(env.sink.logs[0].text,
            "Read of " + id + " succeeded - Index 4, Count 3, ByteOffset 2048");

  // Cancelled before reading: one seek report, nothing logged, nothing read.
  env.sink.calls.clear();
  env.sink.logs.clear();
  env.sink.cancelSeek = [](long long position) { return position == 512; };
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  EXPECT_FALSE(source.ReadBlocks(1, 1, buffer.data()));
  EXPECT_EQ(env.sink.calls, std::vector<std::string>{"DSSeek 512"});
  EXPECT_EQ(buffer[0], 0xEE);

  // Cancelled after reading: the data is there, the read still fails.
  env.sink.calls.clear();
  env.sink.cancelSeek = [](long long position) { return position == 1024; };
  EXPECT_FALSE(source.ReadBlocks(1, 1, buffer.data()));
  EXPECT_EQ(buffer[0], image[512]);
  ASSERT_EQ(env.sink.logs.size(), 1u);
  EXPECT_EQ(env.sink.logs[0].level, LogLevel::kStep);
  EXPECT_EQ(env.sink.logs[0].text, "Read cancelled in DSSeek");
  env.sink.cancelSeek = nullptr;

  // The trailing 100 bytes make no block: reading past the last one fails.
  env.sink.logs.clear();
  env.sink.calls.clear();
  EXPECT_FALSE(source.ReadBlocks(9, 2, buffer.data()));
  EXPECT_EQ(env.sink.calls.front(), "DSSeek 4608");
  EXPECT_EQ(env.sink.logs[0].text, "Error reading 2 blocks from " + id + " at offset 4608: 0");
  EXPECT_EQ(source.GetLastIOError(), EIO);

  // A position before the start cannot be sought to; the source stays usable.
  env.sink.logs.clear();
  env.sink.calls.clear();
  EXPECT_FALSE(source.ReadBlocks(-1, 1, buffer.data()));
  EXPECT_EQ(env.sink.calls.size(), 1u);  // the log line, no seek report
  EXPECT_EQ(env.sink.logs[0].text,
            "Error seeking to offset -512 of " + id + " for read of 1 blocks: 22");
  EXPECT_EQ(source.GetLastIOError(), EINVAL);
  EXPECT_TRUE(source.ReadBlocks(9, 1, buffer.data()));
  EXPECT_EQ(source.GetLastIOError(), 0);
}

// What the scan does after a failed read: the source's last I/O error is non-zero, Refresh,
// then IsReady tells a lost image from one that is only shorter now.
TEST(FileDataSource, AnImageCutShortOrRemovedIsAnIOError) {
  EngineWithSink env;
  std::string path = ScratchDir("fileds-lost") + "/card.img";
  ASSERT_TRUE(WriteFileBytes(path, Numbered(64 * 512)));
  CFileDataSource source(env.engine, Wide(path).c_str());
  source.Refresh();
  std::vector<uint8_t> buffer(2 * 512);
  // Cut to one byte short of 41 blocks: the partial block counts for nothing.
  ASSERT_EQ(truncate(path.c_str(), 41 * 512 - 1), 0);
  EXPECT_FALSE(source.ReadBlocks(50, 2, buffer.data()));
  EXPECT_EQ(source.GetLastIOError(), EIO);
  source.Refresh();
  EXPECT_EQ(source.GetBlockCount(), 40);
  EXPECT_EQ(source.GetLastIOError(), 0);

  // Block 0 lies outside what the reopen left buffered, so the read reaches the file.
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  ASSERT_EQ(remove(path.c_str()), 0);
  EXPECT_FALSE(source.ReadBlocks(0, 1, buffer.data()));
  EXPECT_EQ(source.GetLastIOError(), EIO);
  source.Refresh();
  EXPECT_FALSE(source.IsReady());
}

TEST(FileDataSource, ImagesBeyondFourGiBAreMeasuredAndReadIn64Bits) {
  EngineWithSink env;
  std::string path = ScratchDir("fileds-sparse") + "/big.img";
  // Sparse: only the marker block takes space on disk.
  const long long size = 5LL * 1024 * 1024 * 1024 + 700;
  const long long markerBlock = (4LL * 1024 * 1024 * 1024 + 4096) / 512;
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::vector<uint8_t> marker = Numbered(512);
  bool made = ftruncate(fileno(file), size) == 0 &&
              fseeko(file, markerBlock * 512, SEEK_SET) == 0 &&
              fwrite(marker.data(), 1, 512, file) == 512;
  fclose(file);
  if (!made) {
    remove(path.c_str());
    GTEST_SKIP() << "no sparse file of 5 GiB here";
  }

  CFileDataSource source(env.engine, Wide(path).c_str());
  source.Refresh();
  EXPECT_EQ(source.GetBlockCount(), size / 512);
  std::vector<uint8_t> buffer(1024, 0xEE);
  env.sink.calls.clear();
  ASSERT_TRUE(source.ReadBlocks(markerBlock, 2, buffer.data()));
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 512), marker);
  EXPECT_EQ(env.sink.calls[1], "DSSeek " + std::to_string(markerBlock * 512 + 1024));
  EXPECT_TRUE(source.ReadBlocks(size / 512 - 1, 1, buffer.data()));
  EXPECT_FALSE(source.ReadBlocks(size / 512, 1, buffer.data()));
  remove(path.c_str());
}

TEST(FileDataSource, NamesAndPathsFitTheHostsBuffers) {
  EngineWithSink env;
  const wchar_t* windowsPath = L"C:\\cards\\sd/one.img";
  CFileDataSource source(env.engine, windowsPath);
  std::vector<wchar_t> buffer(1030, L'#');
  source.GetOSPath(buffer.data());
  EXPECT_EQ(std::wstring(buffer.data()), windowsPath);
  // The rest of the bounded copy is padding up to exactly 1024 characters.
  EXPECT_EQ(buffer[1023], L'\0');
  EXPECT_EQ(buffer[1024], L'#');
  EXPECT_TRUE(source.GetDisplayName(buffer.data()));
  EXPECT_EQ(std::wstring(buffer.data()), L"sd/one.img");

  CFileDataSource plain(env.engine, L"/media/card/DCIM.img");
  EXPECT_TRUE(plain.GetDisplayName(buffer.data()));
  EXPECT_EQ(std::wstring(buffer.data()), L"/media/card/DCIM.img");

  // A path of 1024 characters or more fills the buffer without a terminator.
  std::wstring longPath = L"/" + std::wstring(1500, L'x');
  CFileDataSource longOne(env.engine, longPath.c_str());
  std::fill(buffer.begin(), buffer.end(), L'#');
  longOne.GetOSPath(buffer.data());
  EXPECT_EQ(std::wstring(buffer.data(), 1024), longPath.substr(0, 1024));
  EXPECT_EQ(buffer[1024], L'#');
  std::fill(buffer.begin(), buffer.end(), L'#');
  longOne.GetDisplayName(buffer.data());
  EXPECT_EQ(buffer[1023], L'x');
  EXPECT_EQ(buffer[1024], L'#');

  // Characters beyond ASCII keep identifiers apart by their hexadecimal codes.
  CFileDataSource accented(env.engine, L"/cards/caf\u00e9.img");
  EXPECT_STREQ(accented.GetUniqueID(), "SVFileDS_/cards/caf00e9.img");
}
