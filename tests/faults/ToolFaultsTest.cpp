#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/host/ToolRun.h"
#include "util/sha256/Sha256.h"

using namespace testing_support;

namespace {

constexpr long long kBlock = 512;
constexpr long long kChunkBlocks = 128;  // --read-ahead 64k

struct TruthFile {
  std::string type;  // the type folder the tool files it under
  long long offset;
  std::string sha256;
  long long size;
};

}  // namespace

// The tool scans a loop device whose data comes from a failing-disk module: the device node
// makes the tool take its device path, the module decides what each read returns.
class ToolFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = ScratchDir("faults_tool");
    ImageBuilder builder(11);
    const std::vector<std::pair<std::string, std::string>> media = {
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
      const std::vector<uint8_t> bytes = ReadFileBytes(TestData("corpus/" + media[i].first));
      truth.push_back({media[i].second, static_cast<long long>(builder.bytes().size()),
                       SV::CSha256::Of(bytes.data(), bytes.size()),
                       static_cast<long long>(bytes.size())});
      builder.AddFile(media[i].first, bytes);
    }
    builder.AddRandom(5000);
    image = builder.Finish();
    WriteFileBytes(dir + "/image.bin", image);
    // Every shipped content module, and the failing disk in place of the block-device module.
    testing_support::Run("mkdir -p '" + dir +
                         "/mods' && for m in '" SALVOR_MODULE_DIR
                         "'/*.so; do "
                         "[ \"$(basename \"$m\")\" = blockdev.so ] || ln -sf \"$m\" '" +
                         dir + "/mods/'; done");
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
  ToolOutcome Scan(const std::string& out, const std::string& faults) {
    return RunSalvor(dir, "scan " + device + " -o " + out + " --modules mods --read-ahead 64k -q",
                     "SALVOR_FAULT_DEVICE=" + device + " SALVOR_FAULT_IMAGE='" + dir +
                         "/image.bin' " + faults + " ");
  }

  // Every reported file is on disk, and its bytes are the image's over its range with the
  // unreadable blocks as zeros; a file touching an unreadable block is marked damaged.
  std::vector<ReportedFile> CheckDelivered(const std::string& out,
                                           const std::set<long long>& unreadable) {
    const std::vector<ReportedFile> files =
        ReportedFiles(ReadText(dir + "/" + out + "/report.xml"));
    std::set<std::string> reported;
    for (const auto& file : files) {
      SCOPED_TRACE(file.filename);
      reported.insert(file.filename);
      std::vector<uint8_t> expected(image.begin() + file.offset,
                                    image.begin() + file.offset + file.size);
      long long zeroed = 0;
      for (long long block = file.offset / kBlock; block * kBlock < file.offset + file.size;
           ++block) {
        if (unreadable.count(block) == 0) continue;
        const long long from = std::max(block * kBlock, file.offset) - file.offset;
        const long long to = std::min((block + 1) * kBlock, file.offset + file.size) - file.offset;
        std::fill(expected.begin() + from, expected.begin() + to, 0);
        zeroed += to - from;
      }
      EXPECT_EQ(file.sha256, SV::CSha256::Of(expected.data(), expected.size()));
      EXPECT_EQ(FileSha256(dir + "/" + out + "/" + file.filename), file.sha256);
      EXPECT_EQ(file.damaged, file.filename.find("/b") != std::string::npos);
      EXPECT_TRUE(file.damaged || zeroed == 0);
      EXPECT_EQ(file.unreadable, zeroed);
    }
    EXPECT_EQ(WrittenFiles(dir + "/" + out), reported);
    return files;
  }

  static bool Found(const std::vector<ReportedFile>& files, const std::string& name,
                    const std::string& sha256 = "") {
    return std::any_of(files.begin(), files.end(), [&](const ReportedFile& f) {
      return f.filename == name && (sha256.empty() || f.sha256 == sha256);
    });
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
  for (size_t i : {0, 7, 11}) bad.insert((truth[i].offset + truth[i].size / 2) / kBlock);
  const long long chunk = (truth[5].offset / kBlock / kChunkBlocks) * kChunkBlocks;
  for (long long block = chunk; block < chunk + kChunkBlocks; ++block) bad.insert(block);
  std::mt19937 random(3);
  for (int i = 0; i < 12; ++i) bad.insert(random() % (image.size() / kBlock));
  std::string list;
  for (long long block : bad) list += (list.empty() ? "" : ",") + std::to_string(block);

  ToolOutcome run = Scan("out", "SALVOR_FAULT_BAD_BLOCKS=" + list);
  EXPECT_EQ(run.status, 7) << run.err;
  EXPECT_EQ(run.err, "salvor: parts of '" + device +
                         "' could not be read (unreadable blocks were taken as zeros; see "
                         "out/salvor.log)\n");
  EXPECT_EQ(OutcomeLine(ReadText(dir + "/out/report.xml")).rfind("status=\"read errors\"", 0), 0u);
  const std::vector<ReportedFile> files = CheckDelivered("out", bad);
  // Every file that no unreadable block touches comes back whole under its own name; the
  // photos with one bad block inside are still found, as damaged files.
  for (const auto& file : truth) {
    const auto first = bad.lower_bound(file.offset / kBlock);
    if (first == bad.end() || *first > (file.offset + file.size - 1) / kBlock) {
      EXPECT_TRUE(Found(files, RecoveredName('f', file.offset, file.type), file.sha256));
    }
  }
  for (size_t i : {0, 7, 11}) EXPECT_TRUE(Found(files, RecoveredName('b', truth[i].offset, "jpg")));
}

TEST_F(ToolFaults, DiskThatComesBackLosesNothing) {
  ToolOutcome run = Scan("back", "SALVOR_FAULT_TRANSIENT=3");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::vector<ReportedFile> files = CheckDelivered("back", {});
  for (const auto& file : truth)
    EXPECT_TRUE(Found(files, RecoveredName('f', file.offset, file.type), file.sha256));
  const std::string outcome = OutcomeLine(ReadText(dir + "/back/report.xml"));
  EXPECT_EQ(outcome.rfind("status=\"completed\" files=\"" + std::to_string(truth.size()) + "\"", 0),
            0u);
  EXPECT_NE(outcome.find("read_errors=\"1\""), std::string::npos) << outcome;
}

TEST_F(ToolFaults, VanishingDiskKeepsWhatWasFound) {
  // Gone after ten chunks: the files that end well before stay recovered.
  ToolOutcome run = Scan("gone", "SALVOR_FAULT_VANISH_AFTER=10");
  EXPECT_EQ(run.status, 7) << run.err;
  const std::vector<ReportedFile> files = CheckDelivered("gone", {});
  EXPECT_EQ(run.err, "salvor: lost '" + device + "' during the scan (removed?); " +
                         std::to_string(files.size()) +
                         " files recovered so far are kept in gone\n");
  EXPECT_EQ(OutcomeLine(ReadText(dir + "/gone/report.xml")).rfind("status=\"lost source\"", 0), 0u);
  EXPECT_NE(ReadText(dir + "/gone/salvor.log").find("Lost drive faultydisk:" + device),
            std::string::npos);
  size_t before = 0;
  for (const auto& file : truth) {
    if (file.offset + file.size > 9 * kChunkBlocks * kBlock) continue;
    ++before;
    EXPECT_TRUE(Found(files, RecoveredName('f', file.offset, file.type), file.sha256));
  }
  EXPECT_GE(before, 3u);
  EXPECT_LT(files.size(), truth.size());
}

TEST_F(ToolFaults, RefusedLockIsAFailedScan) {
  ToolOutcome run = Scan("locked", "SALVOR_FAULT_REFUSE_LOCK=1");
  EXPECT_EQ(run.status, 8);
  EXPECT_EQ(run.err,
            "salvor: the scan of '" + device + "' could not start (see locked/salvor.log)\n");
  EXPECT_TRUE(WrittenFiles(dir + "/locked").empty());
  EXPECT_EQ(
      OutcomeLine(ReadText(dir + "/locked/report.xml")).rfind("status=\"failed\" files=\"0\"", 0),
      0u);
}
