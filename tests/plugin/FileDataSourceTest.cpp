#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <string>
#include <vector>

#include "salvor/CPhotoRecovery.h"
#include "plugin/FileDataSource.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/ScanHarness.h"
#include "util/StringUtils.h"

using testing_support::Pattern;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;
using Calls = std::vector<std::string>;

namespace {

// A source over a fresh image file, with the sink on the engine for the test's length.
struct Fixture : testing_support::SingletonWithSink {
  Fixture(const std::string& name, const std::vector<uint8_t>& image)
      : path(ScratchDir(name) + "/card.img"), id("SVFileDS_" + path) {
    EXPECT_TRUE(WriteFileBytes(path, image));
  }
  std::string path, id;
};

}  // namespace

TEST(FileDataSource, RegistersMeasuresAndReportsChanges) {
  Fixture f("fileds-geometry", Pattern(1000000));
  const std::string state = "UI=" + f.id + ", BS=512, BC=";
  {
    CFileDataSource source(f.engine, toWideString(f.path).c_str());
    EXPECT_EQ(f.Told(), (Calls{"Log SVC.FileDS 1 Added: UI=" + f.id +
                                   ", BS=0, BC=0, R=false, F=false, FN=" + f.path,
                               "DSAdded " + f.id}));
    EXPECT_FALSE(source.IsReady() || source.AcquireReadLock() || source.GetLastIOError() != 0);

    // 1,000,000 bytes: 1953 whole blocks, the last 64 bytes belong to none.
    source.Refresh();
    EXPECT_EQ(f.Told(), Calls{"DSChanged " + f.id});
    EXPECT_EQ(source.GetStateString(), state + "1953, R=true, F=true, FN=" + f.path);
    EXPECT_TRUE(source.AcquireReadLock() && !source.AcquireWriteLock());
    std::vector<uint8_t> block(512, 0);
    void* icon = &block;
    EXPECT_FALSE(source.WriteBlocks(0, 1, block.data()) || source.GetIcon(icon));
    EXPECT_EQ(icon, nullptr);
    EXPECT_EQ(source.GetType(), 4);

    // Unchanged file: no report. One more block: exactly one report.
    source.Refresh();
    EXPECT_EQ(f.Told(), Calls{});
    ASSERT_EQ(truncate(f.path.c_str(), 1954 * 512), 0);
    source.Refresh();
    EXPECT_EQ(f.Told(), Calls{"DSChanged " + f.id});

    // Gone: the open error with its number, closed, geometry kept, no report.
    ASSERT_EQ(remove(f.path.c_str()), 0);
    source.Refresh();
    EXPECT_EQ(f.Told(), Calls{"Log SVC.FileDS 4 Error opening '" + f.path + "': '2"});
    EXPECT_FALSE(source.AcquireReadLock());
    EXPECT_EQ(source.GetLastIOError(), ENOENT);
  }
  EXPECT_EQ(f.Told(),
            (Calls{"Log SVC.FileDS 1 Deleted: " + state + "1954, R=false, F=false, FN=" + f.path,
                   "DSDeleted " + f.id}));

  // Even an empty image reports its first measurement.
  ASSERT_TRUE(WriteFileBytes(f.path, {}));
  CFileDataSource empty(f.engine, toWideString(f.path).c_str());
  empty.Refresh();
  EXPECT_EQ(f.sink.calls.back(), "DSChanged " + f.id);
  EXPECT_EQ(empty.GetStateString(), state + "0, R=true, F=true, FN=" + f.path);
}

TEST(FileDataSource, ReadsWholeBlocksUnderTheHostsWatch) {
  std::vector<uint8_t> image = Pattern(10 * 512 + 100);
  Fixture f("fileds-read", image);
  CFileDataSource source(f.engine, toWideString(f.path).c_str());
  std::vector<uint8_t> buffer(3 * 512, 0xEE);

  // Closed: refused without a word.
  f.Told();
  EXPECT_FALSE(source.ReadBlocks(0, 1, buffer.data()));
  EXPECT_EQ(f.Told(), Calls{});

  source.Refresh();
  f.Told();
  ASSERT_TRUE(source.ReadBlocks(4, 3, buffer.data()));
  EXPECT_EQ(buffer, std::vector<uint8_t>(image.begin() + 2048, image.begin() + 3584));
  EXPECT_EQ(f.Told(), (Calls{"DSSeek 2048", "DSSeek 3584",
                             "Log SVC.FileDS 1 Read of " + f.id +
                                 " succeeded - Index 4, Count 3, ByteOffset 2048"}));

  // Cancelled before reading: nothing logged, nothing read. Cancelled after reading: the data
  // is there, the read still fails.
  f.sink.cancelSeek = [](long long position) { return position == 512; };
  EXPECT_FALSE(source.ReadBlocks(1, 1, buffer.data()));
  EXPECT_EQ(f.Told(), Calls{"DSSeek 512"});
  EXPECT_EQ(buffer[0], image[2048]);
  f.sink.cancelSeek = [](long long position) { return position == 1024; };
  EXPECT_FALSE(source.ReadBlocks(1, 1, buffer.data()));
  EXPECT_EQ(buffer[0], image[512]);
  EXPECT_EQ(f.Told(),
            (Calls{"DSSeek 512", "DSSeek 1024", "Log SVC.FileDS 2 Read cancelled in DSSeek"}));
  f.sink.cancelSeek = nullptr;

  // The trailing 100 bytes make no block: reading past the last one fails.
  EXPECT_FALSE(source.ReadBlocks(9, 2, buffer.data()));
  EXPECT_EQ(f.Told().back(),
            "Log SVC.FileDS 4 Error reading 2 blocks from " + f.id + " at offset 4608: 0");
  EXPECT_EQ(source.GetLastIOError(), EIO);

  // A position before the start cannot be sought to; the source stays usable.
  EXPECT_FALSE(source.ReadBlocks(-1, 1, buffer.data()));
  EXPECT_EQ(f.Told(), Calls{"Log SVC.FileDS 4 Error seeking to offset -512 of " + f.id +
                            " for read of 1 blocks: 22"});
  EXPECT_EQ(source.GetLastIOError(), EINVAL);
  EXPECT_TRUE(source.ReadBlocks(9, 1, buffer.data()));
  EXPECT_EQ(source.GetLastIOError(), 0);

  // Cut short under the source, to one byte short of 9 blocks: a read past the cut is an I/O
  // error, which the scan answers with Refresh. That measures anew (the partial block counts
  // for nothing) and clears the error; the image is still there.
  ASSERT_EQ(truncate(f.path.c_str(), 9 * 512 - 1), 0);
  EXPECT_FALSE(source.ReadBlocks(8, 1, buffer.data()));
  EXPECT_EQ(source.GetLastIOError(), EIO);
  source.Refresh();
  EXPECT_EQ(source.GetBlockCount(), 8);
  EXPECT_TRUE(source.IsReady() && source.GetLastIOError() == 0);
}

TEST(FileDataSource, ImagesBeyondFourGiBAreMeasuredAndReadIn64Bits) {
  Fixture f("fileds-sparse", {});
  // Sparse: only the marker block takes space on disk.
  const long long size = (5LL << 30) + 700, markerBlock = ((4LL << 30) + 4096) / 512;
  const std::vector<uint8_t> marker = Pattern(512);
  if (truncate(f.path.c_str(), size) != 0) GTEST_SKIP() << "no sparse file of 5 GiB here";
  std::fstream(f.path, std::ios::in | std::ios::out | std::ios::binary)
      .seekp(markerBlock * 512)
      .write(reinterpret_cast<const char*>(marker.data()), 512);
  CFileDataSource source(f.engine, toWideString(f.path).c_str());
  source.Refresh();
  EXPECT_EQ(source.GetBlockCount(), size / 512);
  std::vector<uint8_t> buffer(1024, 0xEE);
  f.Told();
  ASSERT_TRUE(source.ReadBlocks(markerBlock, 2, buffer.data()));
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 512), marker);
  EXPECT_EQ(f.Told()[1], "DSSeek " + std::to_string(markerBlock * 512 + 1024));
  EXPECT_TRUE(source.ReadBlocks(size / 512 - 1, 1, buffer.data()));
  EXPECT_FALSE(source.ReadBlocks(size / 512, 1, buffer.data()));
  remove(f.path.c_str());
}

TEST(FileDataSource, NamesAndPathsFitTheHostsBuffers) {
  const std::wstring longPath = L"/" + std::wstring(1500, L'x');
  // The display name follows the last backslash only. Both copies fill exactly 1024
  // characters: padded with zeros, without a terminator when the text is longer.
  for (auto [path, display] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"C:\\cards\\sd/one.img", L"sd/one.img"},
           {L"/media/card/DCIM.img", L"/media/card/DCIM.img"},
           {longPath, longPath}}) {
    CFileDataSource source(GetSVSingleton(), path.c_str());
    std::vector<wchar_t> os(1030, L'#'), name(1030, L'#');
    source.GetOSPath(os.data());
    EXPECT_TRUE(source.GetDisplayName(name.data()));
    EXPECT_EQ(std::wstring(os.data(), 1025),
              (path + std::wstring(1024, L'\0')).substr(0, 1024) + L'#');
    EXPECT_EQ(std::wstring(name.data(), 1025),
              (display + std::wstring(1024, L'\0')).substr(0, 1024) + L'#');
  }
  // Characters beyond ASCII keep identifiers apart by their hexadecimal codes.
  CFileDataSource accented(GetSVSingleton(), L"/cards/caf\u00e9.img");
  EXPECT_STREQ(accented.GetUniqueID(), "SVFileDS_/cards/caf00e9.img");
}
