#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/HandlerCalls.h"
#include "tests/support/ScanHarness.h"
#include "util/sha256/Sha256.h"

using namespace testing_support;

extern char** environ;

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

bool HaveModule(const std::string& name) {
  return FileExists(std::string(SALVOR_MODULE_DIR) + "/" + name);
}

// Runs salvor with a shell-quoted argument string from dir; prefix may set limits first.
Outcome Salvor(const std::string& dir, const std::string& args, const std::string& prefix = "") {
  std::string command = "cd '" + dir + "' && " + prefix + "'" SALVOR_EXE "' " + args + " >'" + dir +
                        "/stdout.txt' 2>'" + dir + "/stderr.txt'";
  int raw = std::system(("bash -c \"" + command + "\"").c_str());
  Outcome outcome;
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  outcome.out = ReadText(dir + "/stdout.txt");
  outcome.err = ReadText(dir + "/stderr.txt");
  return outcome;
}

std::vector<std::string> Corpus(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> files;
  std::string path = TestData("corpus/" + folder);
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return files;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      files.push_back(path + "/" + name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

std::string Name(long long offset, const std::string& extension) {
  char name[64];
  std::snprintf(name, sizeof name, "f%010lld.%s", offset / 512, extension.c_str());
  return extension + "/" + name;
}

// JPEGs (and TIFFs when their module is built) between random filler, each on a sector.
struct TestImage {
  std::string path;
  std::map<std::string, std::string> expected;  // relative file name -> SHA-256
};

TestImage MakeImage(const std::string& dir, bool withTiff, size_t count = 100) {
  ImageBuilder builder(77);
  TestImage image;
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& path : Corpus("jpg", ".jpg")) files.push_back({path, "jpg"});
  if (withTiff) {
    for (const auto& path : Corpus("tiff", ".tiff")) files.push_back({path, "tif"});
  }
  for (size_t i = 0; i < files.size() && i < count; ++i) {
    builder.AddRandom(3000 + i * 517);
    builder.Align(512);
    long long offset = static_cast<long long>(builder.bytes().size());
    std::vector<uint8_t> bytes = ReadFileBytes(files[i].first);
    builder.AddFile(files[i].first, bytes);
    image.expected[Name(offset, files[i].second)] = SV::CSha256::Of(bytes.data(), bytes.size());
  }
  builder.AddZeros(8192);
  image.path = dir + "/image.bin";
  WriteFileBytes(image.path, builder.Finish());
  return image;
}

bool WellFormed(const std::string& path) {
  return !HaveTool("xmllint") || testing_support::Run("xmllint --noout '" + path + "'");
}

}  // namespace

class SalvorCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveModule("jpeg.so")) GTEST_SKIP() << "the jpeg module is not built";
  }
};

TEST_F(SalvorCli, RecoversPhotosByteIdenticalWithNamesAndReport) {
  std::string dir = ScratchDir("cli_recover");
  TestImage image = MakeImage(dir, HaveModule("tiff.so"));
  Outcome run = Salvor(dir, "scan image.bin -o out");
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  EXPECT_NE(run.out.find("Scan completed: image.bin"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Report: " + dir + "/out/report.xml"), std::string::npos);
  // The terminal sees no engine log lines; they are all in salvor.log.
  EXPECT_EQ(run.err.find("[SVC]"), std::string::npos) << run.err;
  std::string log = ReadText(dir + "/out/salvor.log");
  EXPECT_NE(log.find("[SVC] Starting scan of SVFileDS_" + dir + "/image.bin"), std::string::npos);

  std::string report = ReadText(dir + "/out/report.xml");
  EXPECT_TRUE(WellFormed(dir + "/out/report.xml"));
  for (const auto& file : image.expected) {
    SCOPED_TRACE(file.first);
    ASSERT_TRUE(FileExists(dir + "/out/" + file.first));
    EXPECT_EQ(FileSha256(dir + "/out/" + file.first), file.second);
    EXPECT_NE(report.find("<filename>" + file.first + "</filename>"), std::string::npos);
    EXPECT_NE(report.find("<hashdigest type=\"sha256\">" + file.second + "</hashdigest>"),
              std::string::npos);
  }
  EXPECT_NE(report.find("<salvor:outcome status=\"completed\" files=\"" +
                        std::to_string(image.expected.size()) + "\""),
            std::string::npos);
  EXPECT_NE(report.find("<image_filename>" + dir + "/image.bin</image_filename>"),
            std::string::npos);

  // A second recovery into the same folder is refused and changes nothing there.
  std::string before = ReadText(dir + "/out/report.xml");
  Outcome again = Salvor(dir, "scan image.bin -o out");
  EXPECT_EQ(again.status, 4);
  EXPECT_EQ(again.err,
            "salvor: output folder 'out' is not empty: choose a new folder so that "
            "recoveries never mix\n");
  EXPECT_EQ(ReadText(dir + "/out/report.xml"), before);

  // --list-only reports the same files and writes none; --exclude drops a type.
  Outcome list = Salvor(dir, "scan image.bin -o listed --list-only -q");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "");
  EXPECT_FALSE(FileExists(dir + "/listed/jpg"));
  std::string listed = ReadText(dir + "/listed/report.xml");
  for (const auto& file : image.expected) {
    EXPECT_NE(listed.find(file.second), std::string::npos) << file.first;
  }
  EXPECT_NE(listed.find("<salvor:written>0</salvor:written>"), std::string::npos);
  Outcome excluded = Salvor(dir, "scan image.bin -o nojpg --exclude jpeg --min-size 1k");
  ASSERT_EQ(excluded.status, 0) << excluded.err;
  EXPECT_FALSE(FileExists(dir + "/nojpg/jpg"));
}

// An image whose length is not a whole number of sectors: a photo that ends in its last,
// partial sector comes back whole; one cut by the end of the image comes back damaged with
// just the bytes there, no zeros added.
TEST_F(SalvorCli, PhotosEndingInTheLastPartialSectorComeBack) {
  std::string dir = ScratchDir("cli_tail");
  const std::vector<uint8_t> photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  ASSERT_EQ(photo.size() % 512, 278u);
  for (size_t cut : {0, 100}) {
    SCOPED_TRACE(cut);
    const std::vector<uint8_t> kept = Prefix(photo, photo.size() - cut);
    const std::vector<uint8_t> image = Join(RandomData(4096, 5), kept);
    WriteFileBytes(dir + "/image.bin", image);
    const std::string out = dir + "/out" + std::to_string(cut);
    Outcome run = Salvor(dir, "scan image.bin -q -o " + out);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<uint8_t> got =
        ReadFileBytes(out + (cut == 0 ? "/jpg/f" : "/jpg/b") + "0000000008.jpg");
    EXPECT_TRUE(got == kept) << got.size() << " bytes";
    EXPECT_NE(ReadText(out + "/report.xml")
                  .find("<imagesize>" + std::to_string(image.size()) + "</imagesize>"),
              std::string::npos);
  }
}

TEST_F(SalvorCli, ErrorsGiveOneLineAndTheirOwnStatus) {
  std::string dir = ScratchDir("cli_errors");
  MakeImage(dir, false, 3);
  Outcome missing = Salvor(dir, "scan /nonexistent/sdz -o out");
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.err, "salvor: cannot open '/nonexistent/sdz': No such file or directory\n");
  EXPECT_FALSE(FileExists(dir + "/out"));

  Outcome folder = Salvor(dir, "scan . -o out");
  EXPECT_EQ(folder.status, 3);
  EXPECT_EQ(folder.err, "salvor: cannot open '.': Is a directory\n");

  std::ofstream(dir + "/plain") << "x";
  Outcome unwritable = Salvor(dir, "scan image.bin -o plain/out");
  EXPECT_EQ(unwritable.status, 4);
  EXPECT_EQ(unwritable.err, "salvor: cannot use output folder 'plain/out': Not a directory\n");

  Outcome usage = Salvor(dir, "scan image.bin");
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("salvor: scan needs an output folder: -o DIR"), std::string::npos);
  Outcome badSet = Salvor(dir, "scan image.bin -o badset --set jpg.NoSuchProperty=1");
  EXPECT_EQ(badSet.status, 2);
  EXPECT_NE(badSet.err.find("has no property 'NoSuchProperty'"), std::string::npos);

  // A module folder holding something that is not a loadable module.
  ASSERT_TRUE(testing_support::Run("mkdir -p '" + dir + "/mods' && echo junk > '" + dir +
                                   "/mods/broken.so'"));
  Outcome module = Salvor(dir, "scan image.bin -o modout --modules mods");
  EXPECT_EQ(module.status, 5);
  EXPECT_EQ(module.err.rfind("salvor: cannot load module '" + dir + "/mods/broken.so': ", 0), 0u)
      << module.err;
  EXPECT_EQ(std::count(module.err.begin(), module.err.end(), '\n'), 1);
}

TEST_F(SalvorCli, FullOutputDiskStopsCleanlyAndKeepsWhatWasWritten) {
  std::string dir = ScratchDir("cli_full");
  // Small photos first, then one larger than the file-size limit, which stands in for a
  // full disk (the write fails with EFBIG instead of ENOSPC).
  ImageBuilder builder(5);
  std::vector<std::string> small = {TestData("corpus/jpg/Canon_40D.jpg"),
                                    TestData("corpus/jpg/Fujifilm_FinePix_E500.jpg")};
  std::map<std::string, std::string> expected;
  for (const auto& path : small) {
    builder.AddRandom(2000);
    builder.Align();
    long long offset = static_cast<long long>(builder.bytes().size());
    auto bytes = ReadFileBytes(path);
    builder.AddFile(path, bytes);
    expected[Name(offset, "jpg")] = SV::CSha256::Of(bytes.data(), bytes.size());
  }
  builder.AddRandom(2000);
  builder.Align();
  builder.AddFile("big", ReadFileBytes(TestData("corpus/jpg/nikon-e950.jpg")));
  builder.AddRandom(2000);
  WriteFileBytes(dir + "/image.bin", builder.Finish());
  Outcome full = Salvor(dir, "scan image.bin -o out", "trap '' XFSZ; ulimit -f 100; ");
  EXPECT_EQ(full.status, 6) << full.err;
  EXPECT_NE(full.err.find("salvor: output disk is full"), std::string::npos) << full.err;
  EXPECT_NE(full.err.find("2 files recovered so far are kept in out"), std::string::npos);
  for (const auto& file : expected) EXPECT_EQ(FileSha256(dir + "/out/" + file.first), file.second);
  std::string report = ReadText(dir + "/out/report.xml");
  EXPECT_TRUE(WellFormed(dir + "/out/report.xml"));
  EXPECT_NE(report.find("status=\"disk full\" files=\"2\""), std::string::npos);
}

TEST_F(SalvorCli, InterruptKeepsFilesAndSaysCancelled) {
  std::string dir = ScratchDir("cli_interrupt");
  TestImage image = MakeImage(dir, false, 4);
  // A long tail of empty space so that the scan is still running when the signal comes.
  ASSERT_TRUE(testing_support::Run("truncate -s 6G '" + image.path + "'"));
  std::string out = dir + "/out";
  std::string outFile = dir + "/stdout.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir + "/stderr.txt").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const char* argv[] = {SALVOR_EXE, "scan", image.path.c_str(), "-o", out.c_str(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, SALVOR_EXE, &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Wait until the last photo (in the first few hundred kB) has been written.
  std::string last = out + "/" + image.expected.rbegin()->first;
  for (int i = 0; i < 12000 && !FileExists(last); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(pid, SIGINT);
  int raw = 0;
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 130);
  std::string err = ReadText(dir + "/stderr.txt");
  EXPECT_NE(err.find("salvor: scan cancelled; " + std::to_string(image.expected.size()) +
                     " files recovered so far are kept in " + out),
            std::string::npos)
      << err;
  for (const auto& file : image.expected) {
    EXPECT_EQ(FileSha256(out + "/" + file.first), file.second) << file.first;
  }
  std::string report = ReadText(out + "/report.xml");
  EXPECT_TRUE(WellFormed(out + "/report.xml"));
  EXPECT_NE(report.find("<salvor:outcome status=\"cancelled\""), std::string::npos);
  EXPECT_NE(ReadText(out + "/salvor.log").find("cancelled in ScanProgress"), std::string::npos);
}

TEST_F(SalvorCli, DemoCardGivesBackEveryDeletedPhoto) {
  if (!HaveTool("mkfs.fat") || !HaveTool("mcopy")) GTEST_SKIP() << "dosfstools/mtools missing";
  std::string dir = ScratchDir("cli_demo");
  ASSERT_TRUE(testing_support::Run("'" SALVOR_SOURCE_DIR "/scripts/make-demo-card.sh' '" + dir +
                                   "/card.img' >/dev/null"));
  // The photos are gone from the file system...
  EXPECT_FALSE(testing_support::Run("MTOOLS_SKIP_CHECK=1 mdir -i '" + dir +
                                    "/card.img' ::DCIM/100DEMO 2>/dev/null | grep -qi jpg"));
  Outcome run = Salvor(dir, "scan card.img -o recovered -q");
  ASSERT_EQ(run.status, 0) << run.err;
  std::set<std::string> recovered;
  for (const char* type : {"jpg", "tif", "heic"}) {
    DIR* folder = opendir((dir + "/recovered/" + type).c_str());
    if (folder == nullptr) continue;
    while (dirent* entry = readdir(folder)) {
      if (entry->d_name[0] != '.')
        recovered.insert(FileSha256(dir + "/recovered/" + type + "/" + entry->d_name));
    }
    closedir(folder);
  }
  // ...and every one comes back byte for byte.
  std::vector<std::string> photos = Corpus("jpg", ".jpg");
  if (HaveModule("tiff.so")) {
    for (const auto& path : Corpus("tiff", ".tiff")) photos.push_back(path);
  }
  for (const auto& photo : photos) {
    EXPECT_EQ(recovered.count(FileSha256(photo)), 1u) << photo;
  }
  EXPECT_TRUE(WellFormed(dir + "/recovered/report.xml"));
}

TEST_F(SalvorCli, RefusesAnOutputFolderOnTheDeviceBeingScanned) {
  std::string dir = ScratchDir("cli_same_device");
  // The device that holds the scratch folder, when the machine lets us see it.
  struct stat info {};
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  std::string link = "/sys/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                     std::to_string(minor(info.st_dev));
  char resolved[4096];
  if (realpath(link.c_str(), resolved) == nullptr) GTEST_SKIP() << "no block device behind " << dir;
  std::string name = resolved;
  std::string device = "/dev/" + name.substr(name.rfind('/') + 1);
  struct stat node {};
  if (stat(device.c_str(), &node) != 0 || !S_ISBLK(node.st_mode) || node.st_rdev != info.st_dev)
    GTEST_SKIP() << "no device node for " << name;
  Outcome run = Salvor(dir, "scan " + device + " -o out");
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(
      run.err.rfind("salvor: '" + dir + "/out' is on the device being scanned (" + device + ")", 0),
      0u)
      << run.err;
  EXPECT_FALSE(FileExists(dir + "/out"));
}

TEST_F(SalvorCli, ScansABlockDeviceThroughTheBlockDeviceModule) {
  std::string dir = ScratchDir("cli_loop");
  TestImage image = MakeImage(dir, false, 6);
  std::string device = AttachLoopDevice(image.path);
  if (device.empty()) GTEST_SKIP() << "loop devices are not available here";
  Outcome sources = Salvor(dir, "sources");
  Outcome run = Salvor(dir, "scan " + device + " -o out -q");
  testing_support::Run("losetup -d " + device);
  EXPECT_EQ(sources.status, 0);
  EXPECT_NE(sources.out.find(device + " "), std::string::npos) << sources.out;
  EXPECT_NE(sources.out.find("Loop device of " + image.path), std::string::npos) << sources.out;
  ASSERT_EQ(run.status, 0) << run.err;
  for (const auto& file : image.expected) {
    EXPECT_EQ(FileSha256(dir + "/out/" + file.first), file.second) << file.first;
  }
  std::string report = ReadText(dir + "/out/report.xml");
  EXPECT_NE(report.find("<image_filename>" + device + "</image_filename>"), std::string::npos);
  EXPECT_NE(ReadText(dir + "/out/salvor.log").find("Starting scan of blockdev:"),
            std::string::npos);
}

TEST_F(SalvorCli, TypesListsTheLoadedHandlers) {
  std::string dir = ScratchDir("cli_types");
  Outcome run = Salvor(dir, "types");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("ID ", 0), 0u);
  EXPECT_NE(run.out.find("salvor.jpeg"), std::string::npos);
  EXPECT_NE(run.out.find("jpg,jpeg"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("blockdev"), std::string::npos);
}
