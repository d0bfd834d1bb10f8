#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "engine/SVPhotoRecovery.h"
#include "salvor/CDataSource.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/ScanHarness.h"
#include "util/StringUtils.h"

using testing_support::ScratchDir;
using Calls = std::vector<std::string>;

namespace {

// Every test runs in a process of its own, with a fresh singleton.
struct Fixture : testing_support::SingletonWithSink {
  // What the engine itself told the sink since the last call: the file data source's own
  // lines are its business.
  Calls EngineCalls() {
    Calls calls;
    for (const auto& call : Told())
      if (call.rfind("Log SVC.FileDS", 0) != 0) calls.push_back(call);
    return calls;
  }
};

}  // namespace

TEST(Mounting, ImageIsMountedOnceAndUnmounted) {
  Fixture f;
  const std::string path = ScratchDir("mount-image") + "/card.img";
  ASSERT_TRUE(testing_support::WriteFileBytes(path, std::vector<uint8_t>(4096, 0x5A)));
  const std::string id = "SVFileDS_" + path;
  for (int round = 0; round < 2; ++round) {  // unmounted, it mounts again
    CDataSource* source = f.engine->MountFile(toWideString(path).c_str());
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(f.engine->FindDataSourceByID(id.c_str()), source);
    EXPECT_EQ(f.EngineCalls(),
              (Calls{"Log SVC 3 Mounting file " + path, "DSAdded " + id, "DSChanged " + id}));
    // The same file again: refused while mounted.
    errno = 0;
    EXPECT_EQ(f.engine->MountFile(toWideString(path).c_str()), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(f.EngineCalls(), Calls{"Log SVC 4 File DS not loaded - can't mount file " + path});
    f.engine->UnmountFile(source);
    EXPECT_EQ(f.EngineCalls(), (Calls{"Log SVC 3 Unmounting file ", "DSDeleted " + id}));
    EXPECT_EQ(f.engine->GetDataSourceCount(), 0);
  }
  f.engine->UnmountFile(nullptr);
  EXPECT_EQ(f.EngineCalls(), Calls{"Log SVC 3 Unmounting file "});
}

TEST(Mounting, FileThatCannotBeOpenedIsWithdrawnAtOnce) {
  Fixture f;
  const std::string path = ScratchDir("mount-missing") + "/absent.img";
  const std::string id = "SVFileDS_" + path;
  errno = 0;
  EXPECT_EQ(f.engine->MountFile(toWideString(path).c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(f.EngineCalls(),
            (Calls{"Log SVC 3 Mounting file " + path, "DSAdded " + id,
                   "Log SVC 4 Error mounting file " + path + ": 2", "DSDeleted " + id}));
  // A path the locale cannot spell, or one of 4096 bytes or more, is refused before any
  // source exists; one byte less is tried (and refused by the system).
  const std::string tooLong = "/" + std::string(4095, 'x');
  for (auto [wide, firstLine, error] : std::vector<std::tuple<std::wstring, std::string, int>>{
           {L"/cards/caf\u00e9.img", "4 Error mounting file /cards/caf00e9.img: 84", EILSEQ},
           {toWideString(tooLong), "4 Error mounting file " + tooLong + ": 36", ENAMETOOLONG},
           {toWideString(tooLong.substr(1)), "3 Mounting file " + tooLong.substr(1),
            ENAMETOOLONG}}) {
    errno = 0;
    EXPECT_EQ(f.engine->MountFile(wide.c_str()), nullptr);
    EXPECT_EQ(errno, error);
    EXPECT_EQ(f.EngineCalls().front(), "Log SVC " + firstLine);
  }
  EXPECT_EQ(f.engine->GetDataSourceCount(), 0);
}
