#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <tuple>

#include "tests/host/ToolRun.h"
#include "util/sha256/Sha256.h"

using namespace testing_support;

namespace {

bool HaveModule(const std::string& name) {
  return FileExists(std::string(SALVOR_MODULE_DIR) + "/" + name);
}

// The corpus files matching `pattern`, in name order.
std::vector<std::string> Corpus(const std::string& pattern) {
  glob_t found{};
  glob(TestData("corpus/" + pattern).c_str(), 0, nullptr, &found);
  std::vector<std::string> files(found.gl_pathv, found.gl_pathv + found.gl_pathc);
  globfree(&found);
  return files;
}

// JPEGs (and TIFFs when their module is built) between random filler, each on a sector; the
// expected files by name, in the order of the image, with their SHA-256.
std::map<std::string, std::string> MakeImage(const std::string& path, bool withTiff,
                                             size_t count = 100) {
  ImageBuilder builder(77);
  std::map<std::string, std::string> expected;
  std::vector<std::string> files = Corpus("jpg/*.jpg");
  if (withTiff)
    for (const auto& file : Corpus("tiff/*.tiff")) files.push_back(file);
  for (size_t i = 0; i < files.size() && i < count; ++i) {
    builder.AddRandom(3000 + i * 517);
    builder.Align(512);
    const long long offset = static_cast<long long>(builder.bytes().size());
    const std::vector<uint8_t> bytes = ReadFileBytes(files[i]);
    builder.AddFile(files[i], bytes);
    const char* type = files[i].back() == 'g' ? "jpg" : "tif";
    expected[RecoveredName('f', offset, type)] = SV::CSha256::Of(bytes.data(), bytes.size());
  }
  builder.AddZeros(8192);
  WriteFileBytes(path, builder.Finish());
  return expected;
}

std::map<std::string, std::string> Reported(const std::string& report) {
  std::map<std::string, std::string> files;
  for (const auto& file : ReportedFiles(ReadText(report))) files[file.filename] = file.sha256;
  return files;
}

// Every expected file is in `out` byte for byte, and the report there is well formed and
// begins its outcome with `outcome`.
void ExpectKept(const std::map<std::string, std::string>& expected, const std::string& out,
                const std::string& outcome) {
  for (const auto& file : expected) EXPECT_EQ(FileSha256(out + "/" + file.first), file.second);
  EXPECT_TRUE(WellFormed(out + "/report.xml"));
  const std::string line = OutcomeLine(ReadText(out + "/report.xml"));
  EXPECT_EQ(line.rfind(outcome, 0), 0u) << line;
}

}  // namespace

class SalvorCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveModule("jpeg.so")) GTEST_SKIP() << "the jpeg module is not built";
  }
};

TEST_F(SalvorCli, RecoversPhotosByteIdenticalWithNamesAndReport) {
  const std::string dir = ScratchDir("cli_recover");
  const auto expected = MakeImage(dir + "/image.bin", HaveModule("tiff.so"));
  ASSERT_GE(expected.size(), 15u);  // the corpus is there
  ToolOutcome run = RunSalvor(dir, "scan image.bin -o out");
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  EXPECT_NE(run.out.find("Scan completed: image.bin"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Files:  " + dir + "/out/jpg/\n"), std::string::npos) << run.out;
  EXPECT_NE(
      run.out.find("Report: " + dir + "/out/report.xml\nLog:    " + dir + "/out/salvor.log\n"),
      std::string::npos);
  // The terminal sees no engine log lines; they are all in salvor.log.
  EXPECT_EQ(run.err.find("[SVC]"), std::string::npos) << run.err;
  EXPECT_NE(ReadText(dir + "/out/salvor.log")
                .find("[SVC] Starting scan of SVFileDS_" + dir + "/image.bin"),
            std::string::npos);
  EXPECT_EQ(Reported(dir + "/out/report.xml"), expected);
  ExpectKept(expected, dir + "/out",
             "status=\"completed\" files=\"" + std::to_string(expected.size()) + "\"");
  const std::string report = ReadText(dir + "/out/report.xml");
  EXPECT_NE(OutcomeLine(report).find("read_errors=\"0\""), std::string::npos);
  EXPECT_NE(report.find("<image_filename>" + dir + "/image.bin</image_filename>"),
            std::string::npos);

  // --list-only reports the same files and writes none; every option reaches the report.
  ToolOutcome list = RunSalvor(dir,
                               "scan image.bin -o listed --list-only -q --types JPEG,tif,png "
                               "--exclude=gif --min-size 1k --max-size=1.5M --read-ahead 64k "
                               "--cache=1M --set salvor.jpeg.MaxSize=65536 --report listed.xml");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "");
  EXPECT_TRUE(WrittenFiles(dir + "/listed").empty());
  EXPECT_EQ(Reported(dir + "/listed.xml"), expected);
  const std::string listed = ReadText(dir + "/listed.xml");
  for (const std::string setting :
       {"read_ahead\" value=\"65536", "cache\" value=\"1048576", "types\" value=\"jpg,png,tiff",
        "exclude\" value=\"gif", "min_size\" value=\"1024", "max_size\" value=\"1572864",
        "list_only\" value=\"1", "handler salvor.gif\" value=\"disabled",
        "handler salvor.jpeg\" value=\"enabled", "set salvor.jpeg.MaxSize\" value=\"65536"}) {
    EXPECT_NE(listed.find("<salvor:setting name=\"" + setting + "\"/>"), std::string::npos)
        << setting;
  }
  EXPECT_NE(listed.find("<salvor:written>0</salvor:written>"), std::string::npos);
  // A type switched off is excluded; its handler stays on for its other types.
  ToolOutcome excluded = RunSalvor(dir,
                                   "scan image.bin -o nojpg --exclude jpeg --min-size 1k "
                                   "--set tif.Enabled=0");
  ASSERT_EQ(excluded.status, 0) << excluded.err;
  EXPECT_TRUE(WrittenFiles(dir + "/nojpg").empty());
  const std::string settings = ReadText(dir + "/nojpg/report.xml");
  EXPECT_NE(settings.find("\"exclude\" value=\"jpg,tiff\""), std::string::npos);
  EXPECT_NE(settings.find("\"handler salvor.tiff\" value=\"enabled\""), std::string::npos);
  // What was left out is still listed, with why.
  size_t skipped = 0;
  for (size_t at = 0; (at = settings.find("reason=\"type\"/>", at + 1)) != std::string::npos;)
    ++skipped;
  EXPECT_EQ(skipped, expected.size());
  EXPECT_NE(OutcomeLine(settings).find(" skipped=\"" + std::to_string(expected.size()) + "\""),
            std::string::npos);
}

// An image whose length is not a whole number of sectors: a photo that ends in its last,
// partial sector comes back whole; one cut by the end of the image comes back damaged with
// just the bytes there, no zeros added. Its name is no text in any locale.
TEST_F(SalvorCli, PhotosEndingInTheLastPartialSectorComeBack) {
  const std::string dir = ScratchDir("cli_tail");
  const std::vector<uint8_t> photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  ASSERT_EQ(photo.size() % 512, 278u);
  for (size_t cut : {0, 100}) {
    SCOPED_TRACE(cut);
    const std::vector<uint8_t> kept(photo.begin(), photo.end() - static_cast<long>(cut));
    ImageBuilder image(5);
    image.AddRandom(4096);
    image.AddFile("photo", kept);
    WriteFileBytes(dir + "/image\xff.bin", image.bytes());
    const std::string out = dir + "/out" + std::to_string(cut);
    ToolOutcome run = RunSalvor(dir, "scan image\xff.bin -q -o " + out);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(out + "/" + RecoveredName(cut == 0 ? 'f' : 'b', 4096, "jpg")) ==
                kept);
    EXPECT_NE(ReadText(out + "/report.xml")
                  .find("<salvor:imagesize>" + std::to_string(image.bytes().size()) +
                        "</salvor:imagesize>"),
              std::string::npos);
  }
}

// Every byte may start a file: a photo off the sector grid comes back whole, while a photo
// that is a frame chunk of a movie, the EXIF thumbnail in a photo's second piece, and the EXIF
// blocks and previews inside a raw file cut short, are no files of their own (the raw file is
// not ended at them). --aligned looks only where a sector starts.
TEST_F(SalvorCli, FilesStartAnywhereUnlessAlignedIsAsked) {
  if (!HaveModule("isobmff.so") || !HaveModule("tiff.so")) GTEST_SKIP() << "modules not built";
  const std::string dir = ScratchDir("cli_unaligned");
  const std::vector<uint8_t> raw = ReadFileBytes(TestData("corpus/format-samples/CanonRaw.cr3"));
  const std::vector<uint8_t> photo = ReadFileBytes(TestData("corpus/jpg/Canon_40D.jpg"));
  std::vector<uint8_t> frame = ReadFileBytes(TestData("corpus/jpg/Nikon_D70.jpg"));
  const uint32_t size = static_cast<uint32_t>(frame.size());
  const uint8_t chunk[8] = {'0',
                            '0',
                            'd',
                            'c',
                            static_cast<uint8_t>(size),
                            static_cast<uint8_t>(size >> 8),
                            static_cast<uint8_t>(size >> 16),
                            0};
  frame.insert(frame.begin(), chunk, chunk + 8);
  const std::vector<uint8_t> camera = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  ImageBuilder image(9);
  image.AddRandom(3000);
  image.Align(512);
  const long long rawAt = static_cast<long long>(image.bytes().size());
  image.AddFile("raw", raw);
  image.AddRandom(5037);
  const long long photoAt = static_cast<long long>(image.bytes().size());
  image.AddFile("photo", photo);
  image.AddRandom(4011);
  image.AddFile("frame", frame);
  image.AddRandom(3000);
  image.AddFile("second piece", std::vector<uint8_t>(camera.begin() + 1024, camera.end()));
  image.AddRandom(3000);
  image.AddZeros(8192);
  WriteFileBytes(dir + "/image.bin", image.Finish());
  const std::string rawSha = SV::CSha256::Of(raw.data(), raw.size());
  const std::string photoSha = SV::CSha256::Of(photo.data(), photo.size());

  for (const char* mode : {"", " --aligned"}) {
    SCOPED_TRACE(mode);
    const std::string out = dir + "/out" + (mode[0] != '\0' ? "-aligned" : "");
    ToolOutcome run =
        RunSalvor(dir, "scan image.bin -q --no-gallery --rebuild-time 0 -o " + out + mode);
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<long long, std::string> found;
    for (const auto& file : ReportedFiles(ReadText(out + "/report.xml")))
      found[file.offset] = file.sha256;
    std::map<long long, std::string> expected = {{rawAt, rawSha}};
    if (mode[0] == '\0') expected[photoAt] = photoSha;
    EXPECT_EQ(found, expected);
  }
}

// What the user typed or pointed at is refused with one line and a status of its own; nothing
// is made when the refusal needs no module.
TEST_F(SalvorCli, RefusalsGiveOneLineAndTheirOwnStatus) {
  const std::string dir = ScratchDir("cli_errors");
  MakeImage(dir + "/image.bin", false, 3);
  std::ofstream(dir + "/plain") << "x";
  ASSERT_TRUE(testing_support::Run("mkdir -p '" + dir + "/used' '" + dir + "/mods' && touch '" +
                                   dir + "/used/x' '" + dir + "/empty.img' && echo junk > '" + dir +
                                   "/mods/broken.so'"));
  const std::string broken = "salvor: cannot load module '" + dir + "/mods/broken.so': ";
  const std::string help = "\nTry 'salvor --help'.\n";
  struct Case {
    std::string args;
    int status;
    std::string says;  // the start of what is printed
  };
  for (const Case& c : std::vector<Case>{
           {"--version", 0, "salvor 0.1.0\n"},
           {"--help", 0, "Usage: salvor scan SOURCE -o DIR [options]"},
           {"types", 0, "ID                Enabled MaxSize   Name"},
           {"", 2, "salvor: no command given (scan, merge, info, sources or types)" + help},
           {"restore", 2,
            "salvor: unknown command 'restore' (scan, merge, info, sources or types)" + help},
           {"scan image.bin", 2, "salvor: scan needs an output folder: -o DIR" + help},
           {"scan -o out", 2,
            "salvor: scan needs a SOURCE (an image file or a device such as /dev/sdb)" + help},
           {"scan a b -o out", 2, "salvor: unexpected argument 'b'" + help},
           {"scan a -o", 2, "salvor: option '-o' needs a value" + help},
           {"--quiet=1 types", 2, "salvor: option '--quiet' takes no value" + help},
           {"scan a -o out --frobnicate", 2, "salvor: unknown option '--frobnicate'" + help},
           {"scan a -o out --min-size ten", 2,
            "salvor: invalid size 'ten' for --min-size (examples: 4096, 64k, 2M, 1G)" + help},
           {"scan a -o out --read-ahead 4095M", 2,
            "salvor: invalid size '4095M' for --read-ahead (between 16k and 64M, e.g. 4M)" + help},
           {"scan a -o out --min-size 2M --max-size 1M", 2,
            "salvor: --max-size is smaller than --min-size" + help},
           {"scan a -o out --set MaxSize=3", 2,
            "salvor: invalid setting 'MaxSize=3' (expected HANDLER.PROPERTY=VALUE)" + help},
           {"scan a -o out --set .MaxSize=3", 2,
            "salvor: invalid setting '.MaxSize=3' (expected HANDLER.PROPERTY=VALUE)" + help},
           {"scan a -o out --set jpg.=3", 2,
            "salvor: invalid setting 'jpg.=3' (expected HANDLER.PROPERTY=VALUE)" + help},
           {"scan /nonexistent/sdz -o out", 3,
            "salvor: cannot open '/nonexistent/sdz': No such file or directory\n"},
           {"scan . -o out", 3, "salvor: cannot open '.': Is a directory\n"},
           {"scan /dev/null -o out", 3,
            "salvor: cannot open '/dev/null': not an image file or a block device\n"},
           {"scan empty.img -o e", 0,  // an empty image is scanned, not refused
            "Scanning empty.img (0 B) into e - Ctrl-C stops and keeps the files\n\nScan completed"},
           {"scan image.bin -o plain/out", 4,
            "salvor: cannot use output folder 'plain/out': Not a directory\n"},
           {"scan image.bin -o used", 4,
            "salvor: output folder 'used' is not empty: choose a new folder so that recoveries "
            "never mix\n"},
           {"scan -o out -- -x", 3, "salvor: cannot open '-x': No such file or directory\n"},
           // Refusals that need the modules: still before anything is made.
           {"scan image.bin -o out --set jpg.Colour=1", 2,
            "salvor: handler salvor.jpeg has no property 'Colour'\n"},
           {"scan image.bin -o out --set salvor.nosuch.MaxSize=1", 2,
            "salvor: no handler 'salvor.nosuch' (see 'salvor types')\n"},
           {"scan image.bin -o out --set jpg.MaxSize=lots", 2,
            "salvor: handler salvor.jpeg refused MaxSize=lots\n"},
           {"scan image.bin -o out --set jpg.Enabled=maybe", 2,
            "salvor: invalid value 'maybe' for jpg.Enabled (0 or 1)\n"},
           {"scan image.bin -o out --types jpg,pgn", 2,
            "salvor: unknown type 'pgn' in --types (see 'salvor types')\n"},
           {"scan image.bin -o out --exclude xyz", 2,
            "salvor: unknown type 'xyz' in --exclude (see 'salvor types')\n"},
           {"scan image.bin -o out --report image.bin", 4,
            "salvor: report 'image.bin' already exists: choose a new name\n"},
           {"scan image.bin -o out --modules mods", 5, broken},
           {"scan image.bin -o out --modules used", 5,
            "salvor: no file-type module in '" + dir + "/used': nothing could be recovered\n"},
           {"types --modules mods", 5, broken},
           {"sources --modules nowhere", 5,
            "salvor: cannot open module folder '" + dir + "/nowhere': No such file or directory\n"},
       }) {
    ToolOutcome run = RunSalvor(dir, c.args);
    EXPECT_EQ(run.status, c.status) << c.args;
    if (c.says.back() == '\n') {
      EXPECT_EQ(run.err + run.out, c.says) << c.args;
    } else {  // the rest of the line comes from elsewhere (the loader, the usage text)
      EXPECT_EQ((run.err + run.out).rfind(c.says, 0), 0u) << c.args << ": " << run.err;
    }
  }
  EXPECT_FALSE(FileExists(dir + "/out"));
}

// Three small photos, then one larger than what the output takes. A file-size limit (as
// FAT32's 4 GiB) keeps it cut at the limit as damaged and the scan goes on; a full disk stops
// the scan. Either way the whole files are kept and reported, and nothing half-written is left.
TEST_F(SalvorCli, OutputLimitsKeepWhatFits) {
  const std::string dir = ScratchDir("cli_full");
  auto expected = MakeImage(dir + "/image.bin", false, 4);
  const std::string big = std::prev(expected.end())->first;
  expected.erase(big);
  ToolOutcome limited = RunSalvor(dir, "scan image.bin -o out", "ulimit -f 100; ");
  EXPECT_EQ(limited.status, 0) << limited.err;
  EXPECT_NE(limited.err.find("salvor: 1 file is larger than the output file system allows"),
            std::string::npos)
      << limited.err;
  std::string cut = big;
  cut[cut.find("/f") + 1] = 'b';
  EXPECT_EQ(ReadFileBytes(dir + "/out/" + cut).size(), 100u * 1024);
  ExpectKept(expected, dir + "/out", "status=\"completed\" files=\"4\"");

  if (!testing_support::Run("mkdir -p '" + dir + "/small' && mount -t tmpfs -o size=128k tmpfs '" +
                            dir + "/small' 2>/dev/null"))
    GTEST_SKIP() << "cannot mount a small file system here";
  ToolOutcome full = RunSalvor(dir, "scan image.bin -o small/out");
  const std::set<std::string> written = WrittenFiles(dir + "/small/out");
  ExpectKept(expected, dir + "/small/out", "status=\"disk full\" files=\"3\"");
  testing_support::Run("umount '" + dir + "/small'");
  EXPECT_EQ(full.status, 6) << full.err;
  EXPECT_NE(full.err.find("salvor: output disk is full (No space left on device): scan stopped; 3 "
                          "files recovered so far are kept in small/out\n"),
            std::string::npos)
      << full.err;
  EXPECT_EQ(written.size(), 3u);
}

// Ctrl-C, SIGTERM and a closed terminal stop the scan alike, each with its own status; an image
// cut short during the scan ends it at once as a lost source, instead of every later block
// failing in turn. Either way what was found is kept.
TEST_F(SalvorCli, StopsKeepFilesAndSayHowTheScanEnded) {
  const std::string dir = ScratchDir("cli_interrupt");
  const auto expected = MakeImage(dir + "/image.bin", false, 4);
  // A long tail of empty space so that the scan is still running when the stop comes; one
  // process, which writes each file where it goes as soon as it is found.
  ASSERT_TRUE(testing_support::Run("truncate -s 6G '" + dir + "/image.bin'"));
  const std::string cancelled = "salvor: scan cancelled";
  for (const auto& [stop, status, outcome, says] :
       std::vector<std::tuple<std::string, int, std::string, std::string>>{
           {"kill -INT \\$\\$", 130, "cancelled", cancelled},
           {"kill -TERM \\$\\$", 143, "cancelled by SIGTERM", cancelled},
           {"kill -HUP \\$\\$", 129, "cancelled by SIGHUP", cancelled},
           {"truncate -s 1M image.bin", 7, "lost source",
            "salvor: lost 'image.bin' during the scan (removed?)"}}) {
    SCOPED_TRACE(outcome);
    const std::string out = "out" + std::to_string(status);
    // Once the last photo (in the first few hundred kB) is written; exec gives the tool the
    // shell's process id.
    const std::string wait =
        "until [ -e " + out + "/" + expected.rbegin()->first + " ]; do sleep 0.005; done";
    ToolOutcome run =
        RunSalvor(dir, "scan image.bin -q --jobs 1 -o " + out,
                  "{ (timeout 60 sh -c '" + wait + "'; sleep 0.05; " + stop + ") & } ; exec ");
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_EQ(run.err, says + "; 4 files recovered so far are kept in " + out + "\n");
    ExpectKept(expected, dir + "/" + out, "status=\"" + outcome + "\" files=\"4\"");
  }
}

TEST_F(SalvorCli, RefusesAnOutputFolderOnTheDeviceBeingScanned) {
  const std::string dir = ScratchDir("cli_same_device");
  // The device that holds the scratch folder, when the machine lets us see it.
  struct stat info {};
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  const std::string link = "/sys/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                           std::to_string(minor(info.st_dev));
  char resolved[4096];
  if (realpath(link.c_str(), resolved) == nullptr) GTEST_SKIP() << "no block device behind " << dir;
  const std::string name = resolved;
  const std::string device = "/dev/" + name.substr(name.rfind('/') + 1);
  struct stat node {};
  if (stat(device.c_str(), &node) != 0 || !S_ISBLK(node.st_mode) || node.st_rdev != info.st_dev)
    GTEST_SKIP() << "no device node for " << name;
  ToolOutcome run = RunSalvor(dir, "scan " + device + " -o out");
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(
      run.err.rfind("salvor: '" + dir + "/out' is on the device being scanned (" + device + ")", 0),
      0u)
      << run.err;
  EXPECT_FALSE(FileExists(dir + "/out"));
}

TEST_F(SalvorCli, RefusesAnOutputFolderInsideTheImageBeingScanned) {
  const std::string dir = ScratchDir("cli_same_image");
  if (!HaveTool("mkfs.ext4") ||
      !testing_support::Run(
          "cd '" + dir + "' && truncate -s 8M card.img && mkfs.ext4 -q card.img " +
          ">/dev/null 2>&1 && mkdir mnt && mount -o loop card.img mnt 2>/dev/null"))
    GTEST_SKIP() << "cannot mount an image here";
  ToolOutcome run = RunSalvor(dir, "scan card.img -o mnt/out");
  const bool made = FileExists(dir + "/mnt/out");
  testing_support::Run("umount '" + dir + "/mnt'");
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.err.rfind("salvor: '" + dir + "/mnt/out' is inside the image being scanned", 0), 0u)
      << run.err;
  EXPECT_FALSE(made);
}

// The README's demo: the photos deleted from a FAT card's file system come back byte for byte.
TEST_F(SalvorCli, DemoCardGivesBackEveryDeletedPhoto) {
  if (!HaveTool("mkfs.fat") || !HaveTool("mcopy")) GTEST_SKIP() << "dosfstools/mtools missing";
  const std::string dir = ScratchDir("cli_demo");
  ASSERT_TRUE(testing_support::Run("'" SALVOR_SOURCE_DIR "/scripts/make-demo-card.sh' '" + dir +
                                   "/card.img' >/dev/null"));
  ToolOutcome run = RunSalvor(dir, "scan card.img -o recovered -q");
  ASSERT_EQ(run.status, 0) << run.err;
  std::set<std::string> recovered;
  for (const auto& file : WrittenFiles(dir + "/recovered"))
    recovered.insert(FileSha256(dir + "/recovered/" + file));
  std::vector<std::string> photos = Corpus("jpg/*.jpg");
  if (HaveModule("tiff.so"))
    for (const auto& path : Corpus("tiff/*.tiff")) photos.push_back(path);
  for (const auto& photo : photos) EXPECT_EQ(recovered.count(FileSha256(photo)), 1u) << photo;
}

// A loop device, listed by `sources` and scanned through the block-device module; then the same
// device after its image file was cut short under it: every read past the cut fails, so the
// photos before it come back whole, the rest is one bad area, and the log stays small.
TEST_F(SalvorCli, ScansABlockDeviceThroughTheBlockDeviceModule) {
  const std::string dir = ScratchDir("cli_loop");
  const auto expected = MakeImage(dir + "/image.bin", false, 6);
  // Well past the photos: the kernel's read-ahead fails around the cut as a whole.
  const long long cut = (static_cast<long long>(ReadFileBytes(dir + "/image.bin").size() >> 20) + 2)
                        << 20;
  ASSERT_TRUE(testing_support::Run("truncate -s 8M '" + dir + "/image.bin'"));
  const std::string device = AttachLoopDevice(dir + "/image.bin");
  if (device.empty()) GTEST_SKIP() << "loop devices are not available here";
  ToolOutcome sources = RunSalvor(dir, "sources");
  ToolOutcome run = RunSalvor(dir, "scan " + device + " -o out -q");
  // The device's cached blocks are dropped, or they would still be read past the cut (they
  // stay cached while anything else, such as another test listing sources, holds it open).
  ASSERT_TRUE(testing_support::Run("truncate -s " + std::to_string(cut) + " '" + dir +
                                   "/image.bin' && blockdev --flushbufs " + device));
  ToolOutcome shortened = RunSalvor(dir, "scan " + device + " -o cut -q");
  testing_support::Run("losetup -d " + device);
  EXPECT_EQ(sources.status, 0);
  EXPECT_NE(sources.out.find(device + " "), std::string::npos) << sources.out;
  EXPECT_NE(sources.out.find("Loop device of " + dir + "/image.bin"), std::string::npos);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(shortened.status, 7) << shortened.err;
  for (const auto& file : expected) {
    EXPECT_EQ(FileSha256(dir + "/out/" + file.first), file.second);
    EXPECT_EQ(FileSha256(dir + "/cut/" + file.first), file.second);
  }
  EXPECT_NE(
      ReadText(dir + "/out/report.xml").find("<image_filename>" + device + "</image_filename>"),
      std::string::npos);
  const std::string log = ReadText(dir + "/cut/salvor.log");
  EXPECT_NE(log.find("salvor: bad area: bytes " + std::to_string(cut) + "-8388607 ("),
            std::string::npos)
      << log;
  EXPECT_LT(log.size(), 100000u);  // a line per block would be over a megabyte
}
