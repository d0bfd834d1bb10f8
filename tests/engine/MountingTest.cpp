#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "engine/SVPhotoRecovery.h"
#include "salvor/CDataSource.h"
#include "tests/support/RecordingSink.h"
#include "tests/support/ScanHarness.h"
#include "util/sha256/Sha256.h"

using testing_support::ImageBuilder;
using testing_support::ReadFileBytes;
using testing_support::RecordingSink;
using testing_support::ScratchDir;
using testing_support::TestData;
using Calls = std::vector<std::string>;

namespace {

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// Every test runs in a process of its own, with a fresh singleton.
struct Fixture {
  Fixture() : engine(GetSVSingleton()) { engine->SetEventHandler(&sink); }
  ~Fixture() { engine->SetEventHandler(nullptr); }
  // What the engine itself told the sink since the last call: the file data source's own
  // lines are its business.
  Calls EngineCalls() {
    Calls calls;
    for (const auto& call : sink.calls) {
      if (call.rfind("Log SVC.FileDS", 0) != 0) calls.push_back(call);
    }
    sink.calls.clear();
    return calls;
  }
  // Each delivered file as "<handler>@<offset> <sha256>".
  Calls Files() {
    Calls files;
    for (const auto& f : sink.files) {
      files.push_back(f.handlerId + "@" + std::to_string(f.sourceOffset) + " " +
                      SV::CSha256::Of(f.bytes.data(), f.bytes.size()));
    }
    sink.files.clear();
    return files;
  }
  CPhotoRecovery* engine;
  RecordingSink sink;
};

// PNG files aligned, unaligned, straddling a block and a read-ahead chunk, between other media.
ImageBuilder PngImage() {
  const std::vector<uint8_t> png = ReadFileBytes(TestData("corpus/format-samples/PNG.png"));
  ImageBuilder image(2024);
  image.AddRandom(5000);
  image.Align();
  image.AddFile("aligned.png", png);
  for (const char* other : {"corpus/jpg/BlueSquare.jpg", "corpus/format-samples/GIF.gif",
                            "corpus/format-samples/BMP.bmp"}) {
    image.AddRandom(1500);
    image.AddFile(other, ReadFileBytes(TestData(other)));
  }
  image.AddRandom(1833);
  image.AddFile("unaligned.png", png);
  image.AddRandom(1024);
  image.Align();
  image.AddRandom(509);
  image.AddFile("straddling.png", png);
  const size_t chunk = 16384;
  image.AddRandom(2 * chunk - image.bytes().size() % chunk - 300);
  image.AddFile("chunk-straddling.png", png);
  image.AddRandom(1024);
  image.AddFile("last.png", png);
  return image;
}

}  // namespace

TEST(Mounting, ImageIsMountedScannedWithALoadedModuleAndUnmounted) {
  Fixture f;
  ImageBuilder image = PngImage();
  const std::string path = ScratchDir("mount-scan") + "/card.img";
  ASSERT_TRUE(testing_support::WriteFileBytes(path, image.Finish()));
  Calls expected;
  for (const auto& placed : image.placed()) {
    if (placed.name.find(".png") == std::string::npos) continue;
    expected.push_back("test.png@" + std::to_string(placed.offset) + " " + placed.sha256);
  }
  ASSERT_EQ(expected.size(), 5u);

  char saved[PATH_MAX];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  f.engine->AddContentPlugin(SALVOR_TEST_MODULE_DIR "/svtest_content.so");
  ASSERT_EQ(chdir(saved), 0);
  f.sink.calls.clear();

  const std::string id = "SVFileDS_" + path;
  for (int round = 0; round < 2; ++round) {  // unmounted, it mounts and scans again
    CDataSource* source = f.engine->MountFile(Wide(path).c_str());
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(f.engine->FindDataSourceByID(id.c_str()), source);
    EXPECT_EQ(f.EngineCalls(),
              (Calls{"Log SVC 3 Mounting file " + path, "DSAdded " + id, "DSChanged " + id}));
    // The same file again: refused while mounted.
    errno = 0;
    EXPECT_EQ(f.engine->MountFile(Wide(path).c_str()), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(f.EngineCalls(), Calls{"Log SVC 4 File DS not loaded - can't mount file " + path});

    EXPECT_TRUE(f.engine->Scan(source));
    EXPECT_EQ(f.Files(), expected);
    f.sink.calls.clear();
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
  EXPECT_EQ(f.engine->MountFile(Wide(path).c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(f.EngineCalls(),
            (Calls{"Log SVC 3 Mounting file " + path, "DSAdded " + id,
                   "Log SVC 4 Error mounting file " + path + ": 2", "DSDeleted " + id}));
  // A path the locale cannot spell is refused before any source exists.
  errno = 0;
  EXPECT_EQ(f.engine->MountFile(L"/cards/caf\u00e9.img"), nullptr);
  EXPECT_EQ(errno, EILSEQ);
  EXPECT_EQ(f.EngineCalls(),
            Calls{"Log SVC 4 Error mounting file /cards/caf00e9.img: " + std::to_string(EILSEQ)});
  EXPECT_EQ(f.engine->GetDataSourceCount(), 0);
}
