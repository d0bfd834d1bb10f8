#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "tests/support/ScanHarness.h"
#include "util/sha256/Sha256.h"

using namespace testing_support;

namespace {

constexpr long long kBlock = 512;
constexpr long long kChunkBlocks = 128;  // --read-ahead 64k

struct Outcome {
  int status = -1;
  std::string err;
};

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  size_t start = text.find(open);
  if (start == std::string::npos) return "";
  start += open.size();
  return text.substr(start, text.find(close, start) - start);
}

struct TruthFile {
  std::string folder;  // the type folder the tool files it under
  long long offset;
  std::vector<uint8_t> bytes;
};

struct ReportedFile {
  std::string filename;
  long long offset;
  long long size;
  std::string sha256;
  bool damaged;
};

std::vector<ReportedFile> ReportedFiles(const std::string& report) {
  std::vector<ReportedFile> files;
  for (size_t at = report.find("<fileobject>"); at != std::string::npos;
       at = report.find("<fileobject>", at + 1)) {
    std::string entry = report.substr(at, report.find("</fileobject>", at) - at);
    files.push_back({Between(entry, "<filename>", "</filename>"),
                     std::atoll(Between(entry, "img_offset=\"", "\"").c_str()),
                     std::atoll(Between(entry, " len=\"", "\"").c_str()),
                     Between(entry, "<hashdigest type=\"sha256\">", "</hashdigest>"),
                     Between(entry, "<salvor:damaged>", "</salvor:damaged>") == "1"});
  }
  return files;
}

// Files on disk below the output folder's type folders, as "type/name".
std::set<std::string> WrittenFiles(const std::string& out) {
  std::set<std::string> names;
  DIR* top = opendir(out.c_str());
  for (dirent* type; top != nullptr && (type = readdir(top)) != nullptr;) {
    if (type->d_name[0] == '.') continue;
    DIR* folder = opendir((out + "/" + type->d_name).c_str());
    for (dirent* file; folder != nullptr && (file = readdir(folder)) != nullptr;) {
      if (file->d_name[0] != '.') names.insert(std::string(type->d_name) + "/" + file->d_name);
    }
    if (folder != nullptr) closedir(folder);
  }
  if (top != nullptr) closedir(top);
  return names;
}

std::string Name(char prefix, long long offset, const std::string& folder) {
  char name[64];
  std::snprintf(name, sizeof name, "%c%010lld.", prefix, offset / kBlock);
  return folder + "/" + name + folder;
}

}  // namespace

// The tool scans a loop device whose data comes from a failing-disk module: the device node
// makes the tool take its device path, the module decides what each read returns.
class ToolFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = ScratchDir("faults_tool");
    ImageBuilder builder(11);
    std::vector<std::pair<std::string, std::string>> media = {
        {"jpg/DSCN0010.jpg", "jpg"},       {"jpg/Canon_40D.jpg", "jpg"},
        {"tiff/Rudless.tiff", "tif"},      {"jpg/canon-ixus.jpg", "jpg"},
        {"format-samples/PNG.png", "png"}, {"jpg/kodak-dc240.jpg", "jpg"},
        {"format-samples/GIF.gif", "gif"}, {"jpg/nikon-e950.jpg", "jpg"},
        {"tiff/Tless0.tiff", "tif"},       {"jpg/olympus-c960.jpg", "jpg"},
        {"jpg/Nikon_D70.jpg", "jpg"},      {"jpg/fujifilm-dx10.jpg", "jpg"},
        {"jpg/Pentax_K10D.jpg", "jpg"},    {"jpg/landscape_3.jpg", "jpg"},
    };
    for (size_t i = 0; i < media.size(); ++i) {
      if (i % 3 == 1) {
        builder.AddZeros(4096);
      } else {
        builder.AddRandom(2000 + 700 * i);
      }
      builder.Align();
      long long offset = static_cast<long long>(builder.bytes().size());
      std::vector<uint8_t> bytes = ReadFileBytes(TestData("corpus/" + media[i].first));
      builder.AddFile(media[i].first, bytes);
      truth.push_back({media[i].second, offset, bytes});
    }
    builder.AddRandom(5000);
    image = builder.Finish();
    std::ofstream(dir + "/image.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));

    // Every shipped content module, and the failing disk in place of the block-device module.
    testing_support::Run("mkdir -p '" + dir + "/mods'");
    DIR* shipped = opendir(SALVOR_MODULE_DIR);
    for (dirent* entry; shipped != nullptr && (entry = readdir(shipped)) != nullptr;) {
      std::string name = entry->d_name;
      if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0 && name != "blockdev.so")
        testing_support::Run("ln -sf '" SALVOR_MODULE_DIR "/" + name + "' '" + dir + "/mods/" +
                             name + "'");
    }
    if (shipped != nullptr) closedir(shipped);
    testing_support::Run("ln -sf '" SALVOR_FAULT_MODULE "' '" + dir + "/mods/faultydisk.so'");

    device = AttachLoopDevice(dir + "/image.bin");
  }
  static void TearDownTestSuite() {
    if (!device.empty()) testing_support::Run("losetup -d " + device);
  }
  void SetUp() override {
    if (device.empty()) GTEST_SKIP() << "loop devices are not available here";
  }

  // Runs salvor on the device with the faults given as environment settings.
  Outcome Scan(const std::string& out, const std::string& faults) {
    std::string command = "cd '" + dir + "' && SALVOR_FAULT_DEVICE=" + device +
                          " SALVOR_FAULT_IMAGE='" + dir + "/image.bin' " + faults +
                          " '" SALVOR_EXE "' scan " + device + " -o " + out +
                          " --modules mods --read-ahead 64k -q >/dev/null 2>'" + dir + "/err.txt'";
    int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText(dir + "/err.txt")};
  }

  // Every reported file is on disk, and its bytes are the image's over its range with the
  // unreadable blocks as zeros; a file touching an unreadable block is marked damaged.
  std::vector<ReportedFile> CheckDelivered(const std::string& out,
                                           const std::set<long long>& unreadable) {
    std::vector<ReportedFile> files = ReportedFiles(ReadText(dir + "/" + out + "/report.xml"));
    std::set<std::string> reported;
    for (const auto& file : files) {
      SCOPED_TRACE(file.filename);
      reported.insert(file.filename);
      std::vector<uint8_t> expected(image.begin() + file.offset,
                                    image.begin() + file.offset + file.size);
      bool touched = false;
      for (long long block = file.offset / kBlock; block * kBlock < file.offset + file.size;
           ++block) {
        if (unreadable.count(block) == 0) continue;
        touched = true;
        long long from = std::max(block * kBlock, file.offset) - file.offset;
        long long to = std::min((block + 1) * kBlock, file.offset + file.size) - file.offset;
        std::fill(expected.begin() + from, expected.begin() + to, 0);
      }
      std::vector<uint8_t> written = ReadFileBytes(dir + "/" + out + "/" + file.filename);
      EXPECT_TRUE(written == expected);
      EXPECT_EQ(file.sha256, SV::CSha256::Of(written.data(), written.size()));
      if (touched) {
        EXPECT_TRUE(file.damaged);
        EXPECT_EQ(file.filename[file.filename.find('/') + 1], 'b');
      }
    }
    EXPECT_EQ(WrittenFiles(dir + "/" + out), reported);
    return files;
  }

  static std::string dir, device;
  static std::vector<uint8_t> image;
  static std::vector<TruthFile> truth;
};

std::string ToolFaults::dir, ToolFaults::device;
std::vector<uint8_t> ToolFaults::image;
std::vector<TruthFile> ToolFaults::truth;

TEST_F(ToolFaults, UnreadableBlocksComeBackAsZerosInDamagedFiles) {
  // A block in the middle of three photos, a whole read-ahead chunk, and random blocks.
  std::set<long long> bad;
  for (size_t i : {0, 7, 11}) bad.insert((truth[i].offset + truth[i].bytes.size() / 2) / kBlock);
  const long long chunk = (truth[5].offset / kBlock / kChunkBlocks) * kChunkBlocks;
  for (long long block = chunk; block < chunk + kChunkBlocks; ++block) bad.insert(block);
  std::mt19937 random(3);
  for (int i = 0; i < 12; ++i) bad.insert(random() % (image.size() / kBlock));
  std::string list;
  for (long long block : bad) list += (list.empty() ? "" : ",") + std::to_string(block);

  Outcome run = Scan("out", "SALVOR_FAULT_BAD_BLOCKS=" + list);
  EXPECT_EQ(run.status, 7) << run.err;
  EXPECT_NE(run.err.find("salvor: parts of '" + device +
                         "' could not be read (unreadable blocks were taken as zeros; see "
                         "out/salvor.log)"),
            std::string::npos)
      << run.err;
  std::string report = ReadText(dir + "/out/report.xml");
  EXPECT_NE(report.find("<salvor:outcome status=\"read errors\""), std::string::npos);
  std::vector<ReportedFile> files = CheckDelivered("out", bad);

  // Every file that no unreadable block touches comes back whole under its own name.
  for (const auto& file : truth) {
    long long first = file.offset / kBlock;
    long long last = (file.offset + static_cast<long long>(file.bytes.size()) - 1) / kBlock;
    bool intact = bad.lower_bound(first) == bad.end() || *bad.lower_bound(first) > last;
    std::string name = Name(intact ? 'f' : 'b', file.offset, file.folder);
    SCOPED_TRACE(name);
    auto found = std::find_if(files.begin(), files.end(),
                              [&](const ReportedFile& f) { return f.filename == name; });
    if (intact) {
      ASSERT_NE(found, files.end());
      EXPECT_EQ(found->sha256, SV::CSha256::Of(file.bytes.data(), file.bytes.size()));
    }
  }
  // The photos with one bad block inside are still found, as damaged files.
  for (size_t i : {0, 7, 11}) {
    std::string name = Name('b', truth[i].offset, "jpg");
    EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const ReportedFile& f) {
      return f.filename == name;
    })) << name;
  }
}

TEST_F(ToolFaults, DiskThatComesBackLosesNothing) {
  Outcome run = Scan("back", "SALVOR_FAULT_TRANSIENT=3");
  EXPECT_EQ(run.status, 0) << run.err;
  CheckDelivered("back", {});
  std::string report = ReadText(dir + "/back/report.xml");
  for (const auto& file : truth) {
    EXPECT_NE(report.find(SV::CSha256::Of(file.bytes.data(), file.bytes.size())), std::string::npos)
        << Name('f', file.offset, file.folder);
  }
  EXPECT_NE(report.find("status=\"completed\" files=\"" + std::to_string(truth.size()) + "\""),
            std::string::npos);
  EXPECT_NE(report.find("read_errors=\"1\""), std::string::npos);
  EXPECT_NE(ReadText(dir + "/back/salvor.log").find("[faultydisk] Read error on " + device),
            std::string::npos);
}

TEST_F(ToolFaults, VanishingDiskKeepsWhatWasFound) {
  // Gone after ten chunks: the files that end well before stay recovered.
  Outcome run = Scan("gone", "SALVOR_FAULT_VANISH_AFTER=10");
  EXPECT_EQ(run.status, 7) << run.err;
  std::vector<ReportedFile> files = CheckDelivered("gone", {});
  EXPECT_NE(run.err.find("salvor: lost '" + device + "' during the scan (removed?); " +
                         std::to_string(files.size()) + " files recovered so far are kept in gone"),
            std::string::npos)
      << run.err;
  EXPECT_NE(ReadText(dir + "/gone/report.xml").find("<salvor:outcome status=\"lost source\""),
            std::string::npos);
  EXPECT_NE(ReadText(dir + "/gone/salvor.log").find("Lost drive faultydisk:" + device),
            std::string::npos);
  size_t before = 0;
  for (const auto& file : truth) {
    if (file.offset + static_cast<long long>(file.bytes.size()) > 9 * kChunkBlocks * kBlock)
      continue;
    ++before;
    std::string sha = SV::CSha256::Of(file.bytes.data(), file.bytes.size());
    EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const ReportedFile& f) {
      return f.sha256 == sha;
    })) << Name('f', file.offset, file.folder);
  }
  EXPECT_GE(before, 3u);
  EXPECT_LT(files.size(), truth.size());
}

TEST_F(ToolFaults, RefusedLockIsAFailedScan) {
  Outcome run = Scan("locked", "SALVOR_FAULT_REFUSE_LOCK=1");
  EXPECT_EQ(run.status, 8);
  EXPECT_NE(
      run.err.find("salvor: the scan of '" + device + "' could not start (see locked/salvor.log)"),
      std::string::npos)
      << run.err;
  EXPECT_TRUE(WrittenFiles(dir + "/locked").empty());
  EXPECT_NE(
      ReadText(dir + "/locked/report.xml").find("<salvor:outcome status=\"failed\" files=\"0\""),
      std::string::npos);
  EXPECT_NE(ReadText(dir + "/locked/salvor.log").find("Could not lock faultydisk:" + device),
            std::string::npos);
}
