#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "salvor/CDataSource.h"
#include "tests/support/RecordingSink.h"
#include "engine/SVPhotoRecovery.h"
#include "tests/support/ScanHarness.h"

using testing_support::RecordingSink;
using testing_support::ScratchDir;

namespace {

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

std::string MakeImage(const std::string& name, size_t bytes) {
  std::string path = ScratchDir(name) + "/card.img";
  FILE* file = fopen(path.c_str(), "wb");
  std::vector<char> zeros(bytes, 0);
  if (file != nullptr) {
    fwrite(zeros.data(), 1, zeros.size(), file);
    fclose(file);
  }
  return path;
}

struct Fixture {
  Fixture() : engine(static_cast<SV::CPhotoRecovery*>(GetSVSingleton())) {
    engine->SetEventHandler(&sink);
  }
  ~Fixture() { engine->SetEventHandler(nullptr); }
  SV::CPhotoRecovery* engine;
  RecordingSink sink;
};

}  // namespace

TEST(Mounting, MountedImageStaysRegisteredUntilUnmounted) {
  Fixture f;
  std::string path = MakeImage("mount-image", 10 * 512);
  const std::string id = "SVFileDS_" + path;
  int sources = f.engine->GetDataSourceCount();
  std::string state = "UI=" + id + ", BS=0, BC=0, R=false, F=false, FN=" + path;

  CDataSource* source = f.engine->MountFile(Wide(path).c_str());
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->GetUniqueID(), id);
  EXPECT_EQ(source->GetBlockCount(), 10);
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources + 1);
  EXPECT_EQ(f.sink.calls, (std::vector<std::string>{"Log SVC 3 Mounting file " + path,
                                                    "Log SVC.FileDS 1 Added: " + state,
                                                    "DSAdded " + id, "DSChanged " + id}));

  // The same file again: refused while mounted.
  f.sink.calls.clear();
  errno = 0;
  EXPECT_EQ(f.engine->MountFile(Wide(path).c_str()), nullptr);
  EXPECT_EQ(errno, 17);
  EXPECT_EQ(f.sink.calls,
            std::vector<std::string>{"Log SVC 4 File DS not loaded - can't mount file " + path});
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources + 1);

  f.sink.calls.clear();
  f.engine->UnmountFile(source);
  EXPECT_EQ(f.sink.calls,
            (std::vector<std::string>{"Log SVC 3 Unmounting file ",
                                      "Log SVC.FileDS 1 Deleted: UI=" + id +
                                          ", BS=512, BC=10, R=true, F=true, FN=" + path,
                                      "DSDeleted " + id}));
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources);

  // Unmounted, it can be mounted again.
  source = f.engine->MountFile(Wide(path).c_str());
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(f.engine->FindDataSourceByID(id.c_str()), source);
  f.engine->UnmountFile(source);

  f.sink.calls.clear();
  f.engine->UnmountFile(nullptr);
  EXPECT_EQ(f.sink.calls, std::vector<std::string>{"Log SVC 3 Unmounting file "});
}

TEST(Mounting, FileThatCannotBeOpenedIsWithdrawnAtOnce) {
  Fixture f;
  std::string path = ScratchDir("mount-missing") + "/absent.img";
  const std::string id = "SVFileDS_" + path;
  int sources = f.engine->GetDataSourceCount();
  std::string state = "UI=" + id + ", BS=0, BC=0, R=false, F=false, FN=" + path;

  errno = 0;
  EXPECT_EQ(f.engine->MountFile(Wide(path).c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(f.sink.calls, (std::vector<std::string>{
                              "Log SVC 3 Mounting file " + path, "Log SVC.FileDS 1 Added: " + state,
                              "DSAdded " + id, "Log SVC.FileDS 4 Error opening '" + path + "': '2",
                              "Log SVC 4 Error mounting file " + path + ": 2",
                              "Log SVC.FileDS 1 Deleted: " + state, "DSDeleted " + id}));
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources);

  // A path the locale cannot spell is refused before any source exists.
  f.sink.calls.clear();
  errno = 0;
  EXPECT_EQ(f.engine->MountFile(L"/cards/caf\u00e9.img"), nullptr);
  EXPECT_EQ(errno, EILSEQ);
  EXPECT_EQ(f.sink.calls,
            std::vector<std::string>{"Log SVC 4 Error mounting file /cards/caf00e9.img: " +
                                     std::to_string(EILSEQ)});
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources);
}

TEST(Mounting, RescanWithoutModulesDoesNothing) {
  Fixture f;
  int sources = f.engine->GetDataSourceCount();
  f.engine->RescanDataSources();
  EXPECT_TRUE(f.sink.calls.empty());
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources);
}
