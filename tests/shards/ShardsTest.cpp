// One scan in shards (salvor scan --range) merged with salvor merge, against the same scan in
// one piece, through the built tool: the same files, byte for byte, and the same report
// entries, whatever the cut between the shards and however they overlap.
#include <gtest/gtest.h>

#include <glob.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <set>

#include "tests/host/ToolRun.h"

using namespace testing_support;

namespace {

constexpr long long kImage = 8 << 20;
constexpr long long kCut = 4 << 20;

void Put(std::vector<uint8_t>& image, long long at, const std::vector<uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), image.begin() + at);
}

uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// The thumbnails of a folder's gallery, by name (named by content).
std::set<std::string> Thumbnails(const std::string& folder) {
  std::set<std::string> names;
  glob_t found{};
  if (glob((folder + "/.thumbnails/*").c_str(), 0, nullptr, &found) == 0)
    for (size_t i = 0; i < found.gl_pathc; ++i)
      names.insert(std::string(found.gl_pathv[i]).substr(folder.size()));
  globfree(&found);
  return names;
}

// The PNG with a private chunk after its header that holds `inside` at `offset` of the PNG:
// a whole photo inside another file, where a shard that starts in the middle of that file
// finds it and a single scan, skipping past the file, never looks.
std::vector<uint8_t> PngHolding(const std::vector<uint8_t>& png, const std::vector<uint8_t>& inside,
                                size_t offset) {
  const size_t header = 8 + 25;  // signature, IHDR
  std::vector<uint8_t> chunk = {0, 0, 0, 0, 'p', 'r', 'V', 't'};
  chunk.resize(offset - header);
  chunk.insert(chunk.end(), inside.begin(), inside.end());
  const uint32_t length = static_cast<uint32_t>(chunk.size() - 8);
  for (int i = 0; i < 4; ++i) chunk[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
  const uint32_t crc = Crc32(chunk.data() + 4, chunk.size() - 4);
  for (int i = 0; i < 4; ++i) chunk.push_back(static_cast<uint8_t>(crc >> (24 - 8 * i)));
  std::vector<uint8_t> out = png;
  out.insert(out.begin() + header, chunk.begin(), chunk.end());
  return out;
}

// The report's entries, each as written, without the report around them.
std::multiset<std::string> Entries(const std::string& report) {
  std::multiset<std::string> entries;
  for (size_t at = report.find("<fileobject>"); at != std::string::npos;
       at = report.find("<fileobject>", at + 1))
    entries.insert(report.substr(at, report.find("</fileobject>", at) - at));
  return entries;
}

// An 8 MiB card of noise with photos on both sides of its middle, one across it, and a PNG
// that holds a photo.
std::vector<uint8_t> MakeCard() {
  std::vector<uint8_t> image(kImage);
  std::mt19937 random(7);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(random());
  const auto photo = [](const char* name) { return ReadFileBytes(TestData("corpus/jpg/") + name); };
  Put(image, 64 << 10, photo("Canon_40D.jpg"));
  Put(image, 1 << 20, photo("DSCN0010.jpg"));
  // Across the cut: it starts in the first shard and is finished by it.
  Put(image, kCut - 8192, photo("nikon-e950.jpg"));
  // A PNG across the cut holding a photo that starts right at the cut.
  const std::vector<uint8_t> png = PngHolding(
      ReadFileBytes(TestData("corpus/format-samples/PNG.png")), photo("BlueSquare.jpg"), 2048);
  Put(image, kCut + (1 << 20) - 2048, png);
  Put(image, kCut + (3 << 20), photo("Canon_40D.jpg"));
  return image;
}

}  // namespace

TEST(Shards, MergedShardsGiveWhatOneScanGives) {
  const std::string work = ScratchDir("shards");
  const std::vector<uint8_t> image = MakeCard();
  WriteFileBytes(work + "/card.img", image);

  ASSERT_EQ(RunSalvor(work, "scan card.img -q -o whole").status, 0);
  const std::multiset<std::string> whole = Entries(ReadText(work + "/whole/report.xml"));
  ASSERT_EQ(whole.size(), 5u);

  struct Case {
    const char* name;
    std::vector<std::string> ranges;  // START:LENGTH of each shard, in the order merged
  } cases[] = {
      {"two halves", {"0:4M", "4M:4M"}},
      {"the second first", {"4M:4M", "0:4M"}},
      // The second shard starts inside the PNG: it finds the photo in it, which must go.
      {"cut inside a file", {"0:5M", "5M:3M"}},
      {"overlapping", {"0:6M", "3M:5M"}},
      {"three", {"0:2M", "2M:3M", "5M:3M"}},
  };
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tag = std::to_string(run++);
    std::string folders;
    for (size_t i = 0; i < c.ranges.size(); ++i) {
      const std::string folder = "shard" + tag + "-" + std::to_string(i);
      ASSERT_EQ(RunSalvor(work, "scan card.img -q -o " + folder + " --range " + c.ranges[i]).status,
                0);
      folders += " " + folder;
    }
    const std::string merged = "merged" + tag;
    ToolOutcome merge = RunSalvor(work, "merge" + folders + " -o " + merged);
    ASSERT_EQ(merge.status, 0) << merge.err;
    EXPECT_TRUE(WellFormed(work + "/" + merged + "/report.xml"));
    EXPECT_EQ(Entries(ReadText(work + "/" + merged + "/report.xml")), whole);
    // The gallery is the merged folder's, not the shards'.
    EXPECT_TRUE(FileExists(work + "/" + merged + "/index.html"));
    EXPECT_FALSE(FileExists(work + "/shard0-0/index.html"));
    for (const ReportedFile& file : ReportedFiles(ReadText(work + "/whole/report.xml")))
      EXPECT_EQ(FileSha256(work + "/" + merged + "/" + file.filename), file.sha256)
          << file.filename;
  }

  // What cannot be merged is refused, with nothing made.
  std::vector<uint8_t> other(image.begin(), image.begin() + kCut);
  WriteFileBytes(work + "/other.img", other);
  ASSERT_EQ(RunSalvor(work, "scan other.img -q -o other --range 4M:4M").status, 2);
  ASSERT_EQ(RunSalvor(work, "scan other.img -q -o other --range 0:4M").status, 0);
  ToolOutcome mixed = RunSalvor(work, "merge shard0-0 other -o mixed");
  EXPECT_EQ(mixed.status, 2);
  EXPECT_NE(mixed.err.find("'other' is not a shard of the same scan as 'shard0-0'"),
            std::string::npos)
      << mixed.err;
  EXPECT_FALSE(FileExists(work + "/mixed"));
  EXPECT_EQ(RunSalvor(work, "merge shard0-0 shard0-1 -o whole").status, 2);  // not empty
}

// The same with worker processes (--jobs): a worker killed halfway is started again and goes
// on from its checkpoint; a scan stopped as by Ctrl-C keeps what it found, and one whose
// parent was killed outright its workers' shards, and both go on with --resume. Every way the
// result is the single scan's.
TEST(Shards, WorkersGiveWhatOneScanGives) {
  const std::string work = ScratchDir("workers");
  ASSERT_TRUE(testing_support::Run("mkdir -p '" + work +
                                   "/mods' && ln -sf '" SALVOR_MODULE_DIR
                                   "'/*.so '" SALVOR_TROUBLE_MODULE "' '" +
                                   work + "/mods/'"));
  std::vector<uint8_t> image = MakeCard();
  for (const char trouble : {'K', 'S', 'P'}) {
    SCOPED_TRACE(trouble);
    const std::string mark = std::string("SALVOR!") + trouble;
    std::copy(mark.begin(), mark.end(), image.begin() + (6 << 20));
    WriteFileBytes(work + "/card.img", image);
    const std::string once = work + "/once" + trouble;
    const std::string scan = "scan card.img -q --modules mods -o ";
    const std::string env = "SALVOR_TROUBLE_ONCE='" + once + "' ";
    WriteFileBytes(once, {});
    const std::string whole = std::string("whole") + trouble;
    ASSERT_EQ(RunSalvor(work, scan + whole, env).status, 0);
    ASSERT_EQ(std::remove(once.c_str()), 0);

    const std::string jobs = std::string("jobs") + trouble;
    ToolOutcome run = RunSalvor(work, scan + jobs + " --jobs 2", env);
    if (trouble == 'K') {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_NE(run.err.find("salvor: worker 2 (bytes 4194304-8388607) ended by signal 9 "
                             "(Killed): scanning its range again from its last checkpoint"),
                std::string::npos)
          << run.err;
    } else {
      if (trouble == 'S') {
        EXPECT_EQ(run.status, 130) << run.err;
        EXPECT_NE(run.err.find("salvor: scan cancelled; "), std::string::npos) << run.err;
        EXPECT_TRUE(WellFormed(work + "/" + jobs + "/report.xml"));
      } else {
        EXPECT_EQ(run.status, 128 + SIGKILL);  // the workers stopped, nothing merged
      }
      run = RunSalvor(work, scan + jobs + " --resume", env);
      EXPECT_EQ(run.status, 0) << run.err;
    }
    EXPECT_TRUE(WellFormed(work + "/" + jobs + "/report.xml"));
    EXPECT_EQ(Entries(ReadText(work + "/" + jobs + "/report.xml")),
              Entries(ReadText(work + "/" + whole + "/report.xml")));
    EXPECT_FALSE(FileExists(work + "/" + jobs + "/.jobs"));
    // The merged folder's gallery, with the thumbnails a single scan makes.
    EXPECT_TRUE(FileExists(work + "/" + jobs + "/index.html"));
    EXPECT_FALSE(Thumbnails(work + "/" + whole).empty());
    EXPECT_EQ(Thumbnails(work + "/" + jobs), Thumbnails(work + "/" + whole));
    EXPECT_NE(ReadText(work + "/" + jobs + "/salvor.log").find("== worker 2: bytes 4194304-"),
              std::string::npos);
  }
}

// The cluster recipe of the docs on a single-node Slurm this test starts and stops: a job array
// whose tasks scan a shard each, then the merge once they are done.
TEST(Shards, SlurmJobArrayMergesLikeOneScan) {
  for (const char* tool : {"slurmctld", "slurmd", "sbatch", "munged"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " missing (scripts/deps.sh)";
  if (geteuid() != 0) GTEST_SKIP() << "the test's Slurm runs its daemons as root";
  const std::string work = ScratchDir("slurm");
  WriteFileBytes(work + "/card.img", MakeCard());
  ASSERT_EQ(RunSalvor(work, "scan card.img -q -o whole").status, 0);
  const int port = 20000 + static_cast<int>(getpid() % 5000) * 2;
  const std::string conf =
      "ClusterName=salvortest\nSlurmctldHost=$(hostname -s)\nAuthType=auth/munge\n"
      "AuthInfo=socket=$W/munge.sock\nCredType=cred/munge\nSlurmUser=root\nSlurmdUser=root\n"
      "StateSaveLocation=$W/state\nSlurmdSpoolDir=$W/spool\nSlurmctldPidFile=$W/ctld.pid\n"
      "SlurmdPidFile=$W/d.pid\nSlurmctldPort=" +
      std::to_string(port) + "\nSlurmdPort=" + std::to_string(port + 1) +
      "\nSlurmctldLogFile=$W/ctld.log\nSlurmdLogFile=$W/d.log\nProctrackType=proctrack/linuxproc\n"
      "TaskPlugin=task/none\nSelectType=select/cons_tres\nSelectTypeParameters=CR_Core\n"
      "ReturnToService=2\nNodeName=$(hostname -s) CPUs=$(nproc) State=UNKNOWN\n"
      "PartitionName=test Nodes=$(hostname -s) Default=YES MaxTime=INFINITE State=UP\n";
  const std::string env = "export W='" + work + "' SLURM_CONF='" + work + "/slurm.conf' && ";
  struct Stop {
    std::string env;
    ~Stop() {
      testing_support::Run(env +
                           "scontrol shutdown >/dev/null 2>&1; sleep 1; "
                           "kill $(cat \"$W/munge.pid\") 2>/dev/null; true");
    }
  } stop{env};
  const bool started = testing_support::Run(
      env + "mkdir -p \"$W/state\" \"$W/spool\" && cat > \"$W/slurm.conf\" <<EOF\n" + conf +
      "EOF\nhead -c 1024 /dev/urandom > \"$W/munge.key\" && chmod 600 \"$W/munge.key\" && "
      "munged --force --key-file=\"$W/munge.key\" --socket=\"$W/munge.sock\" "
      "--pid-file=\"$W/munge.pid\" --log-file=\"$W/munge.log\" --seed-file=\"$W/munge.seed\" && "
      "slurmctld && slurmd && for i in $(seq 50); do sinfo -h -o %t 2>/dev/null | grep -q idle "
      "&& exit 0; sleep 0.2; done; exit 1");
  if (!started) GTEST_SKIP() << "Slurm did not start here (see " << work << "/ctld.log, d.log)";
  // The job array of the docs, 4 MiB a task, then the merge.
  ASSERT_TRUE(testing_support::Run(
      env + "cd \"$W\" && printf '#!/bin/sh\\n%s\\n' '\"" SALVOR_EXE
            "\" scan card.img -q -o shards/$SLURM_ARRAY_TASK_ID --jobs 1 --range "
            "$((SLURM_ARRAY_TASK_ID * 4))M:4M' > scan.sh && mkdir shards && "
            "job=$(sbatch --parsable --array=0-1 --output=shards/%a.out scan.sh) && "
            "sbatch --parsable --dependency=afterok:$job --output=merge.out --wrap '\"" SALVOR_EXE
            "\" merge shards/0 shards/1 -o recovered -q' > merge.job && for i in $(seq 300); do "
            "[ -z \"$(squeue -h)\" ] && exit 0; sleep 0.2; done; exit 1"))
      << ReadText(work + "/merge.out");
  EXPECT_TRUE(WellFormed(work + "/recovered/report.xml")) << ReadText(work + "/merge.out");
  EXPECT_EQ(Entries(ReadText(work + "/recovered/report.xml")),
            Entries(ReadText(work + "/whole/report.xml")));
}
