#include <gtest/gtest.h>

#include "report/DfxmlReport.h"
#include "tests/support/ScanHarness.h"

using namespace salvor;
using testing_support::ReadText;
using testing_support::ScratchDir;
using testing_support::WellFormed;

TEST(DfxmlReport, WellFormedWhateverTheTextsHold) {
  const std::string path = ScratchDir("host_dfxml") + "/report.xml";
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
  file.missing = {{1536, 512, "I/O <error>"}};
  ASSERT_TRUE(report.AddFile(file));
  ReportFile broken;
  broken.filename = "png/b0000000008.png";
  broken.offset = 4096;
  broken.size = 2000;
  broken.damaged = true;
  broken.damagedAt = 1500;
  broken.damageReason = "CRC <mismatch>";
  ASSERT_TRUE(report.AddFile(broken));
  ReportFile rebuilt;
  rebuilt.filename = "png/f0000000008.png";
  rebuilt.offset = 4096;
  rebuilt.size = 3000;
  rebuilt.pieces = {{4096, 1024, ""}, {10240, 1976, ""}};
  rebuilt.replaces = broken.filename;
  ASSERT_TRUE(report.AddFile(rebuilt));
  ReportOutcome outcome;
  outcome.status = "cancelled";
  outcome.badAreas = {{1536, 512, "I/O <error>"}, {4096, 65536, ""}};
  ASSERT_TRUE(report.Finish(outcome));

  std::string text = ReadText(path);
  EXPECT_TRUE(WellFormed(path));
  EXPECT_NE(text.find("<image_filename>/images/caf\xc3\xa9 ??.img</image_filename>"),
            std::string::npos);
  EXPECT_NE(text.find("a&lt;b&gt;&amp;c&quot;??.img"), std::string::npos);
  EXPECT_NE(text.find("<salvor:damaged>1</salvor:damaged>"), std::string::npos);
  EXPECT_NE(text.find("<salvor:unreadable_bytes>512</salvor:unreadable_bytes>\n"
                      "    <salvor:unreadable img_offset=\"1536\" len=\"512\" "
                      "error=\"I/O &lt;error&gt;\"/>\n  </fileobject>"),
            std::string::npos);
  // The source's bad areas come before the outcome: unreadable with the error, or left unread.
  EXPECT_NE(text.find("</fileobject>\n"
                      "  <salvor:unreadable img_offset=\"1536\" len=\"512\" "
                      "error=\"I/O &lt;error&gt;\"/>\n"
                      "  <salvor:unread img_offset=\"4096\" len=\"65536\"/>\n"
                      "  <salvor:outcome status=\"cancelled\""),
            std::string::npos);

  EXPECT_NE(
      text.find("<salvor:damaged_at reason=\"CRC &lt;mismatch&gt;\">1500</salvor:damaged_at>"),
      std::string::npos);
  // A rebuilt file lists each piece at its place in the file, and the file it replaces.
  EXPECT_NE(text.find("<byte_run file_offset=\"0\" img_offset=\"4096\" len=\"1024\"/>\n"
                      "      <byte_run file_offset=\"1024\" img_offset=\"10240\" len=\"1976\"/>"),
            std::string::npos);
  EXPECT_NE(text.find("<salvor:replaces>png/b0000000008.png</salvor:replaces>"), std::string::npos);
  // Going on with the report, the replaced file is no longer listed.
  std::vector<ReportFile> files, skipped;
  DfxmlReport reopened;
  ASSERT_TRUE(reopened.Reopen(path, files, skipped));
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files.back().filename, "png/f0000000008.png");
  EXPECT_EQ(files.back().offset, 4096);
  ASSERT_TRUE(reopened.Finish(outcome));
  text = ReadText(path);

  // An existing report is never overwritten.
  DfxmlReport again;
  EXPECT_FALSE(again.Open(path, header));
  EXPECT_EQ(ReadText(path), text);
}
