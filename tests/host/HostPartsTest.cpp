#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include "host/DfxmlReport.h"
#include "host/Naming.h"
#include "host/Paths.h"
#include "host/Progress.h"
#include "tests/support/ScanHarness.h"

using namespace salvor;
using testing_support::HaveTool;
using testing_support::ReadText;
using testing_support::ScratchDir;

TEST(Naming, NamesComeFromTheOffsetAndTheVerdictOnly) {
  EXPECT_EQ(RecoveredFileName(1234567LL * 512, false, "jpg"), "f0001234567.jpg");
  // A 4 TB disk still fits the ten digits; beyond, the number just grows.
  EXPECT_EQ(RecoveredFileName(8000000000LL * 512, false, "mp4"), "f8000000000.mp4");

  EXPECT_EQ(SanitizeExtension("../../etc/PASSWD"), "etcpasswd");
  EXPECT_EQ(SanitizeExtension("j\xc3\xa9pg"), "jpg");
  EXPECT_EQ(ChooseExtension("cr2", "tif;tiff;cr2"), "cr2");
  EXPECT_EQ(ChooseExtension("", "tif;tiff"), "tif");
  EXPECT_EQ(ChooseExtension("/", ""), "bin");

  TypeFilter onlyPhotos({"jpg", "tiff"}, {});
  EXPECT_TRUE(onlyPhotos.Accepts("JPEG"));
  EXPECT_TRUE(onlyPhotos.Accepts("tif"));
  EXPECT_FALSE(onlyPhotos.Accepts("png"));
  EXPECT_TRUE(onlyPhotos.WantsHandler("png;jpg"));
  EXPECT_FALSE(onlyPhotos.WantsHandler("mp4;mov"));
  TypeFilter noVideo({}, {"mp4", "mov"});
  EXPECT_TRUE(noVideo.Accepts("jpg"));
  EXPECT_FALSE(noVideo.Accepts("MOV"));
  EXPECT_TRUE(noVideo.WantsHandler("mp4;mov;heic"));
  EXPECT_FALSE(noVideo.WantsHandler("mp4;mov"));
}

TEST(Progress, LineAndSummaryShowWhatTheUserNeeds) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(999), "999 B");
  EXPECT_EQ(FormatBytes(1500), "1.50 kB");
  EXPECT_EQ(FormatBytes(2147483648LL), "2.15 GB");
  EXPECT_EQ(FormatBytes(123456789), "123 MB");
  EXPECT_EQ(FormatDuration(7), "0:07");
  EXPECT_EQ(FormatDuration(754), "12:34");
  EXPECT_EQ(FormatDuration(3723), "1:02:03");

  Tallies tallies;
  tallies["jpg"] = {28, 5000000, 1};
  tallies["png"] = {3, 30000, 0};
  std::string line = FormatProgressLine(1000000000, 2000000000, 10, tallies, 200);
  EXPECT_EQ(line, " 50.0%  1.00 GB of 2.00 GB  100.0 MB/s  0:10 left  31 files (jpg 28, png 3)");
  // Before a second has passed the time left is not guessed; a narrow terminal is respected.
  EXPECT_NE(FormatProgressLine(10, 100, 0.2, {}, 200).find("--:-- left  0 files"),
            std::string::npos);
  EXPECT_LE(FormatProgressLine(1000000000, 2000000000, 10, tallies, 40).size(), 40u);

  std::string summary = FormatSummary(tallies, 2000000000, 20);
  EXPECT_NE(summary.find("jpg            28      5.00 MB        1"), std::string::npos) << summary;
  EXPECT_NE(summary.find("Total          31"), std::string::npos) << summary;
  EXPECT_NE(summary.find("Scanned 2.00 GB in 0:20 (100.0 MB/s)"), std::string::npos);
}

TEST(DfxmlReport, WellFormedWhateverTheTextsHold) {
  std::string dir = ScratchDir("host_dfxml");
  std::string path = dir + "/report.xml";
  ReportHeader header;
  header.version = "0.1.0";
  header.commandLine = "salvor scan 'a<b>&c\"\x01\xff.img' -o out";
  header.settings = {{"types", "jpg,png"}, {"set x.Y", "<&>"}};
  header.sourcePath = "/images/caf\xc3\xa9 \xff\xfe.img";
  DfxmlReport report;
  ASSERT_TRUE(report.Open(path, header));
  ReportFile file;
  file.filename = "jpg/f0000000002.jpg";
  file.size = 1000;
  file.offset = 1024;
  ASSERT_TRUE(report.AddFile(file));
  file.damaged = true;
  file.written = false;
  file.unreadableBytes = 512;
  ASSERT_TRUE(report.AddFile(file));
  ReportOutcome outcome{"cancelled", 2, 2000, 0, 3, 1.5, "2026-01-01T00:00:02Z"};
  ASSERT_TRUE(report.Finish(outcome));

  std::string text = ReadText(path);
  EXPECT_TRUE(!HaveTool("xmllint") || testing_support::Run("xmllint --noout '" + path + "'"));
  EXPECT_NE(text.find("<image_filename>/images/caf\xc3\xa9 ??.img</image_filename>"),
            std::string::npos);
  EXPECT_NE(text.find("a&lt;b&gt;&amp;c&quot;??.img"), std::string::npos);
  EXPECT_NE(text.find("<salvor:damaged>1</salvor:damaged>"), std::string::npos);
  EXPECT_NE(text.find("<salvor:unreadable_bytes>512</salvor:unreadable_bytes>"), std::string::npos);

  // An existing report is never overwritten.
  DfxmlReport again;
  EXPECT_FALSE(again.Open(path, header));
  EXPECT_EQ(ReadText(path), text);
}

TEST(Paths, AbsolutePathsAndTheDeviceUnderAFolder) {
  EXPECT_EQ(AbsolutePath("/a/./b/../c/"), "/a/c");
  EXPECT_EQ(AbsolutePath("/.."), "/");
  EXPECT_EQ(AbsolutePath("x/y").front(), '/');

  const std::string sys = ScratchDir("host_paths") + "/sys";
  // A fake sysfs: disk 8:16 (sdb) with partition 8:17, and a mapper volume 254:0 on sdb1.
  ASSERT_TRUE(testing_support::Run(
      "mkdir -p " + sys + "/devices/pci/sdb/sdb1 " + sys + "/devices/pci/sdc " + sys +
      "/devices/virtual/dm-0/slaves " + sys + "/dev/block && " + "ln -s ../../devices/pci/sdb " +
      sys + "/dev/block/8:16 && " + "ln -s ../../devices/pci/sdb/sdb1 " + sys +
      "/dev/block/8:17 && " + "ln -s ../../devices/pci/sdc " + sys + "/dev/block/8:32 && " +
      "ln -s ../../devices/virtual/dm-0 " + sys + "/dev/block/254:0 && " +
      "ln -s ../../../pci/sdb/sdb1 " + sys + "/devices/virtual/dm-0/slaves/sdb1"));
  EXPECT_TRUE(DeviceHoldsFileSystem(makedev(8, 16), makedev(8, 17), sys));   // on a partition
  EXPECT_TRUE(DeviceHoldsFileSystem(makedev(8, 17), makedev(8, 17), sys));   // the same
  EXPECT_TRUE(DeviceHoldsFileSystem(makedev(8, 17), makedev(8, 16), sys));   // whole disk
  EXPECT_TRUE(DeviceHoldsFileSystem(makedev(8, 16), makedev(254, 0), sys));  // via mapper
  EXPECT_FALSE(DeviceHoldsFileSystem(makedev(8, 32), makedev(8, 17), sys));  // other disk
  EXPECT_FALSE(DeviceHoldsFileSystem(makedev(8, 32), makedev(254, 0), sys));
}
