#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSourceModule.h"
#include "salvor/CPreviewHandler.h"
#include "tests/support/RecordingSink.h"
#include "engine/SVPhotoRecovery.h"
#include "tests/support/ScanHarness.h"
#include "tests/support/StderrCapture.h"

using testing_support::RecordingSink;
using testing_support::ScratchDir;
using testing_support::StderrCapture;

namespace {

const std::string kModuleDir = SALVOR_TEST_MODULE_DIR;

// Set-up commands; testing::Test has a Run of its own.
bool Shell(const std::string& command) {
  return testing_support::Run(command);
}

std::string Module(const std::string& name) {
  return kModuleDir + "/" + name + ".so";
}

std::string CurrentDir() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? buffer : path;
}

// Loading moves the whole process; every test goes back to where it started.
struct WorkingDirGuard {
  WorkingDirGuard() : saved(CurrentDir()) {}
  ~WorkingDirGuard() { EXPECT_EQ(chdir(saved.c_str()), 0); }
  std::string saved;
};

struct Fixture {
  Fixture() : engine(static_cast<SV::CPhotoRecovery*>(GetSVSingleton())) {
    engine->SetEventHandler(&sink);
  }
  ~Fixture() { engine->SetEventHandler(nullptr); }
  SV::CPhotoRecovery* engine;
  RecordingSink sink;
  WorkingDirGuard cwd;
};

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The two lines of a module that loaded, for a path whose directory is `dir`.
std::string DirectoryLines(const std::string& path, const std::string& dir) {
  return Lines(
      {"changing dir to: " + dir, "bundle " + path + " loaded, working dir: " + RealPath(dir)});
}

bool IsLoaded(const std::string& library) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

}  // namespace

TEST(ModuleLoading, PathsThatNameNoModuleAreRefusedBeforeAnythingRuns) {
  Fixture f;
  std::string dir = ScratchDir("loader-refusals");
  ASSERT_TRUE(
      Shell("mkdir -p '" + dir + "/Plain' '" + dir + "/Empty.bundle' '" + dir + "/Text.bundle'"));
  ASSERT_TRUE(Shell("printf 'This is a note, not a library: it has no ELF header at all.\\n' > '" +
                    dir + "/Text.bundle/Text.so' && cp '" + dir + "/Text.bundle/Text.so' '" + dir +
                    "/note.so'"));
  size_t modules = f.engine->FDSModules.size();
  std::string startDir = CurrentDir();

  struct Case {
    std::string path;
    std::string firstLine;
  };
  const std::vector<Case> cases = {
      {"", "bundle  not found"},
      {"/tmp/\xff-not-text.so", "bundle /tmp/\xff-not-text.so not found"},
      {dir + "/missing.so", "invalid bundle " + dir + "/missing.so"},
      {dir + "/Plain", "invalid bundle " + dir + "/Plain"},
      {dir + "/Empty.bundle", "invalid bundle " + dir + "/Empty.bundle"},
      {"/dev/null", "invalid bundle /dev/null"},
  };
  for (const auto& c : cases) {
    f.sink.logs.clear();
    StderrCapture capture;
    f.engine->AddDSPlugin(c.path.c_str());
    EXPECT_EQ(capture.Stop(), Lines({c.firstLine, "[SVC] Error loading DS Plugin " + c.path}));
    ASSERT_EQ(f.sink.logs.size(), 1u) << c.path;
    EXPECT_EQ(f.sink.logs[0].level, 4);
    EXPECT_EQ(f.sink.logs[0].text, "Error loading DS Plugin " + c.path);
  }

  // Files the dynamic loader refuses: the reason follows on a line of its own.
  for (const std::string& path : {dir + "/Text.bundle", dir + "/note.so"}) {
    f.sink.logs.clear();
    StderrCapture capture;
    f.engine->AddContentPlugin(path.c_str());
    std::string text = capture.Stop();
    std::string first = "bundle " + path + " does not contain plugin\n";
    std::string last = "[SVC] Error loading CH Plugin " + path + "\n";
    ASSERT_EQ(text.compare(0, first.size(), first), 0) << text;
    ASSERT_GT(text.size(), first.size() + last.size());
    std::string reason = text.substr(first.size(), text.size() - first.size() - last.size());
    EXPECT_NE(reason.find(".so"), std::string::npos) << reason;
    EXPECT_EQ(reason.back(), '\n');
    EXPECT_EQ(reason.find('\n'), reason.size() - 1);
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_EQ(f.sink.LogTexts(), std::vector<std::string>{"Error loading CH Plugin " + path});
  }
  EXPECT_EQ(f.engine->FDSModules.size(), modules);
  EXPECT_EQ(CurrentDir(), startDir);
}

TEST(ModuleLoading, EntriesThatBuildNothingLeaveTheModuleUnloaded) {
  Fixture f;
  int handlers = f.engine->GetContentHandlerCount();
  int previews = f.engine->GetPreviewHandlerCount();
  size_t modules = f.engine->FDSModules.size();

  struct Case {
    void (SV::CPhotoRecovery::*load)(const char*);
    const char* kind;
    std::string path;
  };
  const std::vector<Case> cases = {
      {&SV::CPhotoRecovery::AddContentPlugin, "CH", Module("svtest_null")},
      {&SV::CPhotoRecovery::AddPreviewPlugin, "PV", Module("svtest_null")},
      {&SV::CPhotoRecovery::AddDSPlugin, "DS", Module("svtest_null")},
      // A library without the entry function at all is reported the same way.
      {&SV::CPhotoRecovery::AddContentPlugin, "CH", Module("svtest_noentry")},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(chdir("/"), 0);
    f.sink.logs.clear();
    StderrCapture capture;
    (f.engine->*c.load)(c.path.c_str());
    const std::string kind = c.kind;
    EXPECT_EQ(capture.Stop(),
              DirectoryLines(c.path, kModuleDir) +
                  Lines({"[SVC] Loaded " + kind + " Plugin Module " + c.path,
                         "[SVC] Error initializing " + kind + " Plugin " + c.path}));
    ASSERT_EQ(f.sink.logs.size(), 2u);
    EXPECT_EQ(f.sink.logs[0].level, 1);
    EXPECT_EQ(f.sink.logs[1].level, 4);
    // The working directory stays with the module although it failed.
    EXPECT_EQ(CurrentDir(), RealPath(kModuleDir));
    EXPECT_FALSE(IsLoaded(c.path)) << c.path;
  }
  EXPECT_EQ(f.engine->GetContentHandlerCount(), handlers);
  EXPECT_EQ(f.engine->GetPreviewHandlerCount(), previews);
  EXPECT_EQ(f.engine->FDSModules.size(), modules);
}

TEST(ModuleLoading, ContentModuleInABundleRegistersItsHandler) {
  Fixture f;
  std::string dir = ScratchDir("loader-bundle");
  std::string bundle = dir + "/Png.bundle";
  ASSERT_TRUE(Shell("mkdir -p '" + bundle + "' && cp '" + Module("svtest_content") + "' '" +
                    bundle + "/Png.so'"));
  int handlers = f.engine->GetContentHandlerCount();
  const std::string success =
      "Loaded module " + bundle +
      " and registered CH Plugin test.png supporting mime type(s) image/png";

  StderrCapture capture;
  f.engine->AddContentPlugin(bundle.c_str());
  EXPECT_EQ(capture.Stop(),
            DirectoryLines(bundle, dir) +
                Lines({"[SVC] Loaded CH Plugin Module " + bundle, "[SVC] " + success}));
  EXPECT_EQ(CurrentDir(), RealPath(dir));
  EXPECT_EQ(f.sink.calls, (std::vector<std::string>{"Log SVC 1 Loaded CH Plugin Module " + bundle,
                                                    "CHAdded test.png", "Log SVC 2 " + success}));
  ASSERT_EQ(f.engine->GetContentHandlerCount(), handlers + 1);
  ASSERT_NE(f.engine->FContentHandlers.count("test.png"), 0u);
  EXPECT_STREQ(f.engine->FContentHandlers["test.png"]->GetMimeTypes(), "image/png");

  // Loading it again runs the entry again: the handler is refused, the module still reported.
  f.sink.calls.clear();
  f.engine->AddContentPlugin(bundle.c_str());
  EXPECT_EQ(f.sink.calls,
            (std::vector<std::string>{
                "Log SVC 1 Loaded CH Plugin Module " + bundle,
                "Log SVC 4 Content Handler test.png already registered - can't reregister",
                "Log SVC 2 " + success}));
  EXPECT_EQ(f.engine->GetContentHandlerCount(), handlers + 1);
}

TEST(ModuleLoading, PreviewModuleRegistersItsHandler) {
  Fixture f;
  int previews = f.engine->GetPreviewHandlerCount();
  std::string path = Module("svtest_preview");
  f.engine->AddPreviewPlugin(path.c_str());
  EXPECT_EQ(f.sink.calls, (std::vector<std::string>{"Log SVC 1 Loaded PV Plugin Module " + path,
                                                    "Log SVC 2 Loaded module " + path +
                                                        " and registered PV Plugin test.preview"}));
  ASSERT_EQ(f.engine->GetPreviewHandlerCount(), previews + 1);
  ASSERT_NE(f.engine->FPreviewHandlers.count("test.preview"), 0u);
  EXPECT_TRUE(f.engine->FPreviewHandlers["test.preview"]->CanPreview("image/png"));
  EXPECT_EQ(CurrentDir(), RealPath(kModuleDir));
}

TEST(ModuleLoading, DataSourceModulesAreKeptByIdentifierAndAskedOnRescan) {
  Fixture f;
  int sources = f.engine->GetDataSourceCount();
  std::string path = Module("svtest_sources");
  f.engine->AddDSPlugin(path.c_str());
  EXPECT_EQ(f.sink.calls, (std::vector<std::string>{"Log SVC 1 Loaded DS Plugin Module " + path,
                                                    "Log SVC 2 Loaded module " + path +
                                                        " and registered DS Plugin test.sources"}));
  ASSERT_EQ(f.engine->FDSModules.count("test.sources"), 1u);
  CDataSourceModule* first = f.engine->FDSModules["test.sources"];
  // Sources are found only when the host asks.
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources);

  f.sink.calls.clear();
  f.engine->RescanDataSources();
  EXPECT_EQ(f.sink.calls,
            (std::vector<std::string>{"Log SVC 1 Scanning sources with test.sources plugin",
                                      "DSAdded test.card0.0", "DSAdded test.card1.0"}));
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources + 2);

  // Found again: refused by the registry, nothing changes.
  f.sink.calls.clear();
  f.engine->RescanDataSources();
  EXPECT_EQ(f.sink.calls,
            (std::vector<std::string>{
                "Log SVC 1 Scanning sources with test.sources plugin",
                "Log SVC 4 DataSource test.card0.0 already added - can't reregister",
                "Log SVC 4 DataSource test.card1.0 already added - can't reregister"}));
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources + 2);

  // A disabled module is kept but passed over in silence.
  f.engine->AddDSPlugin(Module("svtest_sources_off").c_str());
  EXPECT_EQ(f.engine->FDSModules.size(), 2u);
  f.sink.calls.clear();
  f.engine->RescanDataSources();
  EXPECT_EQ(f.sink.calls.size(), 3u);
  EXPECT_EQ(f.sink.calls[0], "Log SVC 1 Scanning sources with test.sources plugin");

  // Another module with the same identifier takes the first one's place.
  f.engine->AddDSPlugin(Module("svtest_sources_twin").c_str());
  EXPECT_EQ(f.engine->FDSModules.size(), 2u);
  EXPECT_NE(f.engine->FDSModules["test.sources"], first);
  f.sink.calls.clear();
  f.engine->RescanDataSources();
  EXPECT_EQ(f.sink.calls,
            (std::vector<std::string>{"Log SVC 1 Scanning sources with test.sources plugin",
                                      "DSAdded test.twin0.0", "DSAdded test.twin1.0"}));
  EXPECT_EQ(f.engine->GetDataSourceCount(), sources + 4);
  EXPECT_EQ(CurrentDir(), RealPath(kModuleDir));
}
