#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "engine/SVPhotoRecovery.h"
#include "salvor/CPreviewHandler.h"
#include "tests/support/MemoryStream.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/ScanHarness.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_support::ScratchDir;
using Calls = std::vector<std::string>;

namespace {

const std::string kModuleDir = SALVOR_TEST_MODULE_DIR;

std::string Module(const std::string& name) {
  return kModuleDir + "/" + name + ".so";
}

std::string CurrentDir() {
  return std::filesystem::current_path();
}

// The loader's own two lines for a module that loaded from directory `dir`.
std::string DirectoryLines(const std::string& path, const std::string& dir) {
  return "changing dir to: " + dir + "\nbundle " + path +
         " loaded, working dir: " + std::filesystem::canonical(dir).string() + "\n";
}

bool IsLoaded(const std::string& library) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

// Every test runs in a process of its own, with a fresh singleton. Loading moves the whole
// process's working directory; each test goes back to where it started.
struct Fixture : testing_support::SingletonWithSink {
  ~Fixture() { EXPECT_EQ(chdir(saved.c_str()), 0); }
  // What a rescan tells the sink: which data-source modules are kept.
  Calls Rescan() {
    Told();
    engine->RescanDataSources();
    return Told();
  }
  std::string saved = CurrentDir();
};

}  // namespace

TEST(ModuleLoading, PathsThatNameNoModuleAreRefusedBeforeAnythingRuns) {
  Fixture f;
  std::string dir = ScratchDir("loader-refusals");
  ASSERT_TRUE(testing_support::Run(
      "mkdir -p '" + dir + "/Plain' '" + dir + "/Empty.bundle' '" + dir + "/Dir.bundle/Dir.so' '" +
      dir + "/Text.bundle' && echo 'not a library' > '" + dir + "/Text.bundle/Text.so' && cp '" +
      dir + "/Text.bundle/Text.so' '" + dir + "/note.so'"));
  const std::pair<std::string, std::string> cases[] = {
      {"", "bundle  not found"},
      {"/tmp/\xff-not-text.so", "bundle /tmp/\xff-not-text.so not found"},
      {dir + "/missing.so", "invalid bundle " + dir + "/missing.so"},
      {dir + "/Plain", "invalid bundle " + dir + "/Plain"},
      {dir + "/Empty.bundle", "invalid bundle " + dir + "/Empty.bundle"},
      {dir + "/Dir.bundle", "invalid bundle " + dir + "/Dir.bundle"},  // Dir.so is a folder
      {"/dev/null", "invalid bundle /dev/null"},
      // Files the dynamic loader refuses: its reason follows on a line of its own.
      {dir + "/Text.bundle", "bundle " + dir + "/Text.bundle does not contain plugin"},
      {dir + "/note.so", "bundle " + dir + "/note.so does not contain plugin"},
  };
  for (const auto& [path, firstLine] : cases) {
    CaptureStderr();
    f.engine->AddDSPlugin(path.c_str());
    const std::string text = GetCapturedStderr();
    EXPECT_EQ(text.substr(0, firstLine.size() + 1), firstLine + "\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              firstLine.find("contain") != std::string::npos ? 3 : 2)
        << text;
    EXPECT_EQ(f.Told(), Calls{"Log SVC 4 Error loading DS Plugin " + path});
  }
  EXPECT_EQ(f.Rescan(), Calls{});
  EXPECT_EQ(CurrentDir(), f.saved);
}

TEST(ModuleLoading, EntriesThatBuildNothingLeaveTheModuleUnloaded) {
  Fixture f;
  using Load = void (CPhotoRecovery::*)(const char*);
  const std::tuple<Load, std::string, std::string> cases[] = {
      {&CPhotoRecovery::AddContentPlugin, "CH", Module("svtest_null")},
      {&CPhotoRecovery::AddPreviewPlugin, "PV", Module("svtest_null")},
      {&CPhotoRecovery::AddDSPlugin, "DS", Module("svtest_null")},
      // A library without the entry function at all is reported the same way.
      {&CPhotoRecovery::AddContentPlugin, "CH", Module("svtest_noentry")},
  };
  for (const auto& [load, kind, path] : cases) {
    ASSERT_EQ(chdir("/"), 0);
    CaptureStderr();
    (f.engine->*load)(path.c_str());
    EXPECT_EQ(GetCapturedStderr().substr(0, DirectoryLines(path, kModuleDir).size()),
              DirectoryLines(path, kModuleDir));
    EXPECT_EQ(f.Told(), (Calls{"Log SVC 1 Loaded " + kind + " Plugin Module " + path,
                               "Log SVC 4 Error initializing " + kind + " Plugin " + path}));
    // The working directory stays with the module although it failed.
    EXPECT_EQ(CurrentDir(), std::filesystem::canonical(kModuleDir).string());
    EXPECT_FALSE(IsLoaded(path)) << path;
  }
  EXPECT_EQ(f.engine->GetContentHandlerCount() + f.engine->GetPreviewHandlerCount(), 0);
  EXPECT_EQ(f.Rescan(), Calls{});
}

TEST(ModuleLoading, HandlerModulesRegisterTheirHandlers) {
  Fixture f;
  std::string dir = ScratchDir("loader-bundle");
  std::string bundle = dir + "/Content.bundle";
  ASSERT_TRUE(testing_support::Run("mkdir -p '" + bundle + "' && cp '" + Module("svtest_content") +
                                   "' '" + bundle + "/Content.so'"));
  const std::string success = "Log SVC 2 Loaded module " + bundle +
                              " and registered CH Plugin test.content supporting mime type(s) "
                              "test/fake";
  CaptureStderr();
  f.engine->AddContentPlugin(bundle.c_str());
  EXPECT_EQ(GetCapturedStderr().substr(0, DirectoryLines(bundle, dir).size()),
            DirectoryLines(bundle, dir));
  EXPECT_EQ(CurrentDir(), std::filesystem::canonical(dir).string());
  EXPECT_EQ(f.Told(), (Calls{"Log SVC 1 Loaded CH Plugin Module " + bundle, "CHAdded test.content",
                             success}));
  ASSERT_EQ(f.engine->GetContentHandlerCount(), 1);

  // Loading it again runs the entry again: the handler is refused, the module still reported.
  f.engine->AddContentPlugin(bundle.c_str());
  EXPECT_EQ(f.Told(),
            (Calls{"Log SVC 1 Loaded CH Plugin Module " + bundle,
                   "Log SVC 4 Content Handler test.content already registered - can't reregister",
                   success}));
  EXPECT_EQ(f.engine->GetContentHandlerCount(), 1);

  std::string path = Module("svtest_preview");
  f.engine->AddPreviewPlugin(path.c_str());
  EXPECT_EQ(f.Told(),
            (Calls{"Log SVC 1 Loaded PV Plugin Module " + path,
                   "Log SVC 2 Loaded module " + path + " and registered PV Plugin test.preview"}));
  ASSERT_EQ(f.engine->GetPreviewHandlerCount(), 1);

  // Every operation of the separately built handler answers from its own slot.
  CPreviewHandler* preview = f.engine->GetPreviewHandler(0);
  testing_support::MemoryStream file(std::vector<uint8_t>(1234));
  char text[64] = "";
  EXPECT_STREQ(preview->GetDisplayName(), "Test preview");
  EXPECT_TRUE(preview->CanPreview("image/test"));
  EXPECT_FALSE(preview->CanPreview("image/other"));
  EXPECT_TRUE(preview->DescribePreview(&file, text, sizeof text));
  EXPECT_STREQ(text, "1234 bytes");
  const std::string thumb = "thumb 160x120 of 1234";
  EXPECT_EQ(preview->MakeThumbnail(&file, 160, 120, nullptr, 0), int(thumb.size()));
  unsigned char picture[64] = {};
  EXPECT_EQ(preview->MakeThumbnail(&file, 160, 120, picture, 5), int(thumb.size()));
  EXPECT_EQ(picture[0], 0);  // too small a buffer gets nothing
  ASSERT_EQ(preview->MakeThumbnail(&file, 160, 120, picture, sizeof picture), int(thumb.size()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(picture), thumb.size()), thumb);
  int width = 0, height = 0;
  ASSERT_TRUE(preview->GetPreviewInfo(&file, &width, &height, text, sizeof text));
  EXPECT_EQ(std::to_string(width) + "x" + std::to_string(height) + " " + text,
            "640x480 2001-02-03T04:05:06");
}

TEST(ModuleLoading, DataSourceModulesAreKeptByIdentifierAndAskedOnRescan) {
  Fixture f;
  std::string path = Module("svtest_sources");
  f.engine->AddDSPlugin(path.c_str());
  EXPECT_EQ(f.Told(),
            (Calls{"Log SVC 1 Loaded DS Plugin Module " + path,
                   "Log SVC 2 Loaded module " + path + " and registered DS Plugin test.sources"}));
  // Sources are found only when the host asks.
  EXPECT_EQ(f.engine->GetDataSourceCount(), 0);
  EXPECT_EQ(f.Rescan(), (Calls{"Log SVC 1 Scanning sources with test.sources plugin",
                               "DSAdded test.card0.0", "DSAdded test.card1.0"}));
  // Found again: refused by the registry, nothing changes.
  EXPECT_EQ(f.Rescan(),
            (Calls{"Log SVC 1 Scanning sources with test.sources plugin",
                   "Log SVC 4 DataSource test.card0.0 already added - can't reregister",
                   "Log SVC 4 DataSource test.card1.0 already added - can't reregister"}));
  EXPECT_EQ(f.engine->GetDataSourceCount(), 2);

  // A disabled module is kept but passed over in silence; another module with the same
  // identifier takes the first one's place.
  f.engine->AddDSPlugin(Module("svtest_sources_off").c_str());
  f.engine->AddDSPlugin(Module("svtest_sources_twin").c_str());
  EXPECT_EQ(f.Rescan(), (Calls{"Log SVC 1 Scanning sources with test.sources plugin",
                               "DSAdded test.twin0.0", "DSAdded test.twin1.0"}));
  EXPECT_EQ(f.engine->GetDataSourceCount(), 4);
}
