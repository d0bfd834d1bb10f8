#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/host/ToolRun.h"
#include "util/sha256/Sha256.h"

using namespace testing_support;

constexpr long long kBlock = 512;
constexpr long long kChunkBlocks = 128;  // --read-ahead 64k

// The tool scans a loop device whose data comes from a failing-disk module: the device node
// makes the tool take its device path, the module decides what each read returns. Each fault
// as the user meets it: the status, the one line on the terminal (@N the files kept), the report's
// outcome. Every reported file is on disk with the image's bytes over its range, unreadable blocks
// as zeros, and is marked damaged when it has any.
TEST(ToolFaults, EachFaultEndsTheScanAsTheUserIsTold) {
  const std::string dir = ScratchDir("faults_tool");
  ImageBuilder builder(11);
  for (const char* media :
       {"jpg/DSCN0010.jpg", "jpg/Canon_40D.jpg", "tiff/Rudless.tiff", "jpg/canon-ixus.jpg",
        "format-samples/PNG.png", "jpg/kodak-dc240.jpg", "format-samples/GIF.gif",
        "jpg/nikon-e950.jpg", "tiff/Tless0.tiff", "jpg/olympus-c960.jpg", "jpg/Nikon_D70.jpg",
        "jpg/fujifilm-dx10.jpg", "jpg/Pentax_K10D.jpg", "jpg/landscape_3.jpg"}) {
    const size_t placed = builder.placed().size();
    placed % 3 == 1 ? builder.AddZeros(4096) : builder.AddRandom(2000 + 700 * placed);
    builder.Align();
    builder.AddFile(media, ReadFileBytes(TestData(std::string("corpus/") + media)));
  }
  // A photo cut short, its end lost in random data until the next photo: the scan holds it
  // open for a long stretch.
  const std::vector<uint8_t> photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  builder.AddRandom(3000);
  builder.Align();
  const long long cutAt = static_cast<long long>(builder.bytes().size());
  builder.AddFile("cut.jpg", std::vector<uint8_t>(photo.begin(), photo.begin() + photo.size() / 2));
  builder.AddRandom(12 * 65536);
  builder.Align();
  builder.AddFile("jpg/Canon_40D.jpg", photo);
  builder.AddRandom(5000);
  const std::vector<uint8_t> image = builder.Finish();
  const auto& truth = builder.placed();
  WriteFileBytes(dir + "/image.bin", image);
  // Every shipped content module, and the failing disk in place of the block-device module.
  testing_support::Run("mkdir -p '" + dir +
                       "/mods' && for m in '" SALVOR_MODULE_DIR
                       "'/*.so; do [ \"$(basename \"$m\")\" = blockdev.so ] || ln -sf \"$m\" '" +
                       dir + "/mods/'; done && ln -sf '" SALVOR_FAULT_MODULE "' '" + dir +
                       "/mods/faultydisk.so'");
  const std::string device = AttachLoopDevice(dir + "/image.bin");
  if (device.empty()) GTEST_SKIP() << "loop devices are not available here";

  // A block in the middle of three photos, a whole read-ahead chunk, a run before a photo, and
  // random blocks.
  std::set<long long> bad;
  for (size_t i : {0, 7, 11}) bad.insert((truth[i].offset + truth[i].size / 2) / kBlock);
  const long long chunk = (truth[5].offset / kBlock / kChunkBlocks) * kChunkBlocks;
  for (long long block = chunk; block < chunk + kChunkBlocks; ++block) bad.insert(block);
  // Bad blocks just before a photo: the scan skips ahead over its start.
  for (long long block = truth[12].offset / kBlock - 8; block < truth[12].offset / kBlock; ++block)
    bad.insert(block);
  std::mt19937 random(3);
  for (int i = 0; i < 12; ++i) bad.insert(random() % (image.size() / kBlock));
  std::string list;
  for (long long block : bad) list += (list.empty() ? "" : ",") + std::to_string(block);
  std::set<long long> dead, none;

  const long long blocks = static_cast<long long>(image.size()) / kBlock;
  const long long deadFrom = truth[9].offset / kBlock + 3;  // inside a photo
  for (long long block = deadFrom; block < blocks; ++block) dead.insert(block);

  const std::string env =
      "SALVOR_FAULT_DEVICE=" + device + " SALVOR_FAULT_IMAGE='" + dir + "/image.bin' ";
  // The reads are counted from the scan's first: the file systems are not looked for.
  const std::string scan =
      "scan " + device + " --modules mods --read-ahead 64k --no-file-systems -q -o ";
  const auto unreadableIn = [&](const std::string& out) {
    return "salvor: parts of '" + device +
           "' could not be read (unreadable blocks were taken as zeros; see " + out +
           "/salvor.log)\n";
  };
  const struct {
    std::string out, faults;
    int status;
    std::string err, outcome;
    const std::set<long long>& unreadable;
  } cases[] = {
      {"out", "SALVOR_FAULT_BAD_BLOCKS=" + list, 7, unreadableIn("out"), "status=\"read errors\"",
       bad},
      {"dead", "SALVOR_FAULT_DEAD_FROM=" + std::to_string(deadFrom), 7, unreadableIn("dead"),
       "status=\"read errors\"", dead},
      // A read that fails once and works after Refresh costs nothing but the count.
      {"back", "SALVOR_FAULT_TRANSIENT=3", 0, "",
       "status=\"completed\" files=\"" + std::to_string(truth.size()) + "\"", none},
      {"gone", "SALVOR_FAULT_VANISH_AFTER=10", 7,
       "salvor: lost '" + device +
           "' during the scan (removed?); @N files recovered so far are kept in gone\n",
       "status=\"lost source\"", none},
      {"locked", "SALVOR_FAULT_REFUSE_LOCK=1", 8,
       "salvor: the scan of '" + device + "' could not start (see locked/salvor.log)\n",
       "status=\"failed\" files=\"0\"", none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    const std::string out = dir + "/" + c.out;
    ToolOutcome run = RunSalvor(dir, scan + c.out, env + c.faults + " ");
    const std::string report = ReadText(out + "/report.xml");
    const std::vector<ReportedFile> files = ReportedFiles(report);
    EXPECT_EQ(run.status, c.status) << run.err;
    std::string err = c.err;
    if (err.find("@N") != std::string::npos)
      err.replace(err.find("@N"), 2, std::to_string(files.size()));
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(OutcomeLine(report).rfind(c.outcome, 0), 0u) << OutcomeLine(report);
    EXPECT_TRUE(WellFormed(out + "/report.xml"));
    std::set<std::string> reported;
    for (const auto& file : files) {
      SCOPED_TRACE(file.filename);
      reported.insert(file.filename);
      // The image's bytes, with zeros where the report says the source gave none: every
      // unreadable block among them, and at most the blocks skipped around them.
      std::vector<uint8_t> expected(image.begin() + file.offset,
                                    image.begin() + file.offset + file.size);
      long long zeroed = 0;
      std::set<long long> missingBlocks;
      for (const auto& range : file.missing) {
        std::fill(expected.begin() + (range.first - file.offset),
                  expected.begin() + (range.first - file.offset + range.second), 0);
        zeroed += range.second;
        for (long long b = range.first / kBlock; b * kBlock < range.first + range.second; ++b)
          missingBlocks.insert(b);
      }
      for (long long b = file.offset / kBlock; b * kBlock < file.offset + file.size; ++b)
        EXPECT_TRUE(c.unreadable.count(b) == 0 || missingBlocks.count(b) != 0) << b;
      EXPECT_EQ(file.sha256, SV::CSha256::Of(expected.data(), expected.size()));
      EXPECT_EQ(FileSha256(out + "/" + file.filename), file.sha256);
      EXPECT_EQ(file.damaged, file.filename.find("/b") != std::string::npos);
      EXPECT_EQ(file.damaged, zeroed > 0 || file.offset == cutAt);
      EXPECT_EQ(file.unreadable, zeroed);
    }
    EXPECT_EQ(WrittenFiles(out), reported);
    // Every file the failing blocks spare comes back whole, also one that starts where the
    // scan skipped ahead and read only on its second try.
    for (const auto& placed : c.status == 7 && !c.unreadable.empty() ? truth : decltype(truth){}) {
      const auto hit = c.unreadable.lower_bound(placed.offset / kBlock);
      if ((hit != c.unreadable.end() && *hit * kBlock < placed.offset + placed.size) ||
          placed.offset == cutAt)
        continue;
      EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const ReportedFile& file) {
        return file.offset == placed.offset && !file.damaged && file.size == placed.size;
      })) << placed.name;
    }
    // After the scan's second try, the report's bad areas hold every unreadable block.
    if (c.unreadable.empty()) continue;
    std::set<long long> reportedBad;
    const std::string areas = report.substr(report.rfind("</fileobject>"));
    for (const auto& range : MissingRanges(areas)) {
      for (long long b = range.first / kBlock; b * kBlock < range.first + range.second; ++b)
        reportedBad.insert(b);
    }
    EXPECT_TRUE(std::includes(reportedBad.begin(), reportedBad.end(), c.unreadable.begin(),
                              c.unreadable.end()));
  }
  // The photos with one bad block inside are still found, as damaged files; the lost disk is
  // in the log, and what was found before it went is kept.
  for (size_t i : {0, 7, 11})
    EXPECT_EQ(WrittenFiles(dir + "/out").count(RecoveredName('b', truth[i].offset, "jpg")), 1u);
  EXPECT_NE(ReadText(dir + "/gone/salvor.log").find("Lost drive faultydisk:" + device),
            std::string::npos);
  const size_t kept = ReportedFiles(ReadText(dir + "/gone/report.xml")).size();
  EXPECT_TRUE(kept >= 3 && kept < truth.size()) << kept;
  EXPECT_NE(OutcomeLine(ReadText(dir + "/back/report.xml")).find("read_errors=\"1\""),
            std::string::npos);
  // The lost disk back in, the scan resumed: the files of the scan that went through, each
  // once, and a report that says so. Then the same after kill -9 halfway through a slow disk.
  // A resumed scan must be the same scan: another source or setting, or a finished scan, is
  // refused before anything changes.
  const auto filesOf = [&](const std::string& out) {
    std::set<std::pair<std::string, std::string>> set;
    for (const auto& file : ReportedFiles(ReadText(dir + "/" + out + "/report.xml")))
      set.emplace(file.filename, file.sha256);
    return set;
  };
  testing_support::Run("cd '" + dir + "' && " + env + "SALVOR_FAULT_READ_MS=80 '" SALVOR_EXE "' " +
                       scan + "killed & sleep 1.5; kill -9 $!; wait");
  // Lost while the cut photo is held open: the resumed scan goes back to its start.
  const std::string lostWhileOpen = std::to_string(2 + cutAt / 65536 + 6);
  EXPECT_EQ(RunSalvor(dir, scan + "open", env + "SALVOR_FAULT_VANISH_AFTER=" + lostWhileOpen + " ")
                .status,
            7);
  for (const char* out : {"gone", "killed", "open"}) {
    SCOPED_TRACE(out);
    ToolOutcome resumed = RunSalvor(dir, scan + out + " --resume", env);
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(filesOf(out), filesOf("back"));
    EXPECT_EQ(WrittenFiles(dir + "/" + out), WrittenFiles(dir + "/back"));
    EXPECT_EQ(OutcomeLine(ReadText(dir + "/" + out + "/report.xml"))
                  .rfind("status=\"completed\" files=\"" + std::to_string(truth.size()) + "\"", 0),
              0u);
  }
  EXPECT_NE(ReadText(dir + "/open/salvor.log").find("resuming at byte " + std::to_string(cutAt)),
            std::string::npos);
  // Stopped on a disk with bad blocks: the resumed scan takes the bad areas found before from
  // the checkpoint (it does not read them again) and ends with the files and the bad blocks
  // of the scan that went through.
  const std::string badEnv = env + "SALVOR_FAULT_BAD_BLOCKS=" + list + " ";
  testing_support::Run("cd '" + dir + "' && " + badEnv +
                       "SALVOR_FAULT_READ_MS=80 '" SALVOR_EXE "' " + scan +
                       "stopped 2>/dev/null & sleep 1.5; kill -TERM $!; wait");
  EXPECT_EQ(RunSalvor(dir, scan + "stopped --resume", badEnv).status, 7);
  EXPECT_EQ(filesOf("stopped"), filesOf("out"));
  const std::string stopped = ReadText(dir + "/stopped/report.xml");
  const long long firstBad = *bad.begin() * kBlock;
  EXPECT_NE(stopped.find("\n  <salvor:unreadable img_offset=\"" + std::to_string(firstBad) + "\""),
            std::string::npos);
  EXPECT_NE(ReadText(dir + "/stopped/salvor.log").find("salvor: resuming at byte "),
            std::string::npos);
  const struct {
    std::string args;
    std::string err;
  } refusals[] = {
      {"killed --resume", "salvor: cannot resume: the scan in 'killed' is complete\n"},
      {"new --resume",
       "salvor: cannot resume: no interrupted scan to resume in '" + dir + "/new'\n"},
      {"gone --resume --types jpg",
       "salvor: cannot resume the scan in 'gone' with this command: it ran with types=, this "
       "one with types=jpg\n"},
  };
  testing_support::Run("cp -a '" + dir + "/killed/.salvor-resume' '" + dir + "/gone/'");
  testing_support::Run("sed -i 's/^complete 1/complete 0/' '" + dir + "/gone/.salvor-resume'");
  for (const auto& refusal : refusals) {
    ToolOutcome run = RunSalvor(dir, scan + refusal.args, env);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, refusal.err);
  }
  EXPECT_EQ(filesOf("gone"), filesOf("back"));

  // A card dying halfway (the photos before the dead area come back whole, see above): the dead
  // area read only a few times instead of block by block; the log names its ranges with the
  // error.
  const std::string deadLog = ReadText(dir + "/dead/salvor.log");
  const long long failed = std::atoll(Between(deadLog, ", failed ", "\n").c_str());
  EXPECT_TRUE(failed > 0 && failed < (blocks - deadFrom) / 16) << failed;
  EXPECT_NE(deadLog.find("salvor: bad area: bytes " + std::to_string(deadFrom * kBlock) + "-" +
                         std::to_string(blocks * kBlock - 1) + " (" +
                         std::to_string(blocks - deadFrom) + " blocks): "),
            std::string::npos)
      << deadLog.substr(deadLog.find("salvor: bad area"));
  testing_support::Run("losetup -d " + device);
}
