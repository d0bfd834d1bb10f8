#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "salvor/CDataSource.h"
#include "tests/support/RecordingSink.h"
#include "engine/SVPhotoRecovery.h"
#include "tests/support/ScanHarness.h"
#include "util/sha256/Sha256.h"

using testing_support::ImageBuilder;
using testing_support::ReadFileBytes;
using testing_support::RecordingSink;
using testing_support::ScratchDir;
using testing_support::TestData;

namespace {

struct Delivered {
  std::string handlerId;
  long long offset;
  std::string sha256;
  bool operator==(const Delivered& other) const {
    return handlerId == other.handlerId && offset == other.offset && sha256 == other.sha256;
  }
};

std::ostream& operator<<(std::ostream& out, const Delivered& file) {
  return out << file.handlerId << "@" << file.offset << " " << file.sha256;
}

// Mounts the image, scans it and unmounts it again, returning what the sink received.
std::vector<Delivered> MountAndScan(CPhotoRecovery* engine, const std::string& path) {
  RecordingSink sink;
  engine->SetEventHandler(&sink);
  std::wstring widePath(path.begin(), path.end());
  CDataSource* source = engine->MountFile(widePath.c_str());
  EXPECT_NE(source, nullptr);
  if (source == nullptr) return {};
  EXPECT_TRUE(engine->Scan(source));
  engine->UnmountFile(source);
  engine->SetEventHandler(nullptr);
  std::vector<Delivered> files;
  for (const auto& file : sink.files) {
    files.push_back(
        {file.handlerId, file.sourceOffset, SV::CSha256::Of(file.bytes.data(), file.bytes.size())});
  }
  return files;
}

}  // namespace

TEST(MountScan, ImageFileScannedWithALoadedModuleGivesBackEveryFile) {
  const std::vector<uint8_t> png = ReadFileBytes(TestData("corpus/format-samples/PNG.png"));
  ASSERT_FALSE(png.empty());
  ImageBuilder image(2024);
  image.AddRandom(5000);
  image.Align();
  image.AddFile("aligned.png", png);
  // Other media between the PNG files: not the test module's business.
  for (const char* other : {"corpus/jpg/BlueSquare.jpg", "corpus/format-samples/GIF.gif",
                            "corpus/format-samples/BMP.bmp"}) {
    image.AddRandom(1500);
    image.AddFile(other, ReadFileBytes(TestData(other)));
  }
  image.AddRandom(1833);
  image.AddFile("unaligned.png", png);
  // The signature straddles a block boundary.
  image.AddRandom(1024);
  image.Align();
  image.AddRandom(509);
  image.AddFile("straddling.png", png);
  // Across the boundary of two read-ahead chunks of the scan stream.
  const size_t chunk = 16384;
  image.AddRandom(2 * chunk - image.bytes().size() % chunk - 300);
  image.AddFile("chunk-straddling.png", png);
  image.AddRandom(1024);
  image.AddFile("last.png", png);
  std::vector<uint8_t> bytes = image.Finish();

  std::vector<Delivered> expected;
  for (const auto& placed : image.placed()) {
    if (placed.name.find(".png") != std::string::npos) {
      expected.push_back({"test.png", placed.offset, placed.sha256});
    }
  }
  ASSERT_EQ(expected.size(), 5u);
  ASSERT_EQ(expected[0].offset % 512, 0);
  ASSERT_NE(expected[1].offset % 512, 0);

  std::string path = ScratchDir("mount-scan") + "/card.img";
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  fclose(file);

  char saved[PATH_MAX];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  CPhotoRecovery* engine = GetSVSingleton();
  engine->AddContentPlugin(SALVOR_TEST_MODULE_DIR "/svtest_content.so");
  ASSERT_EQ(chdir(saved), 0);
  ASSERT_EQ(engine->GetContentHandlerCount(), 1);

  EXPECT_EQ(MountAndScan(engine, path), expected);
  // Unmounted, the same image mounts and scans again with the same result.
  EXPECT_EQ(MountAndScan(engine, path), expected);
  EXPECT_EQ(engine->GetDataSourceCount(), 0);
}
