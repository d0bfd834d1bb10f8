// Names and dates from the file systems on the source, through the built tool: every recovered
// photo whose entry survives, live or deleted, gets its path, allocation, entry number and
// times in the report. The images are made with the file systems' own tools.
#include <gtest/gtest.h>

#include <iostream>
#include <map>

#include "tests/host/ToolRun.h"
#include "util/sha256/Sha256.h"

using namespace testing_support;

namespace {

struct Photo {
  const char* corpus;  // file under testdata/corpus
  const char* path;    // where it is put in the file system
  bool deleted;
  const char* reported;  // the path the report gives: a deleted 8.3 name loses its first letter
};

const Photo kPhotos[] = {
    {"jpg/BlueSquare.jpg", "/DCIM/100TEST/BlueSquare.jpg", false, nullptr},
    {"jpg/Canon_40D.jpg", "/DCIM/100TEST/Canon_40D.jpg", true, nullptr},
    {"jpg/DSCN0010.jpg", "/DCIM/100TEST/DSCN0010.JPG", true, "/DCIM/100TEST/_SCN0010.JPG"},
    {"jpg/nikon-e950.jpg", "/Holiday 2026/Beach.jpg", false, nullptr},
};

// The fileobject entries of a report by the SHA-256 of their file.
std::map<std::string, std::string> EntriesByHash(const std::string& report) {
  std::map<std::string, std::string> entries;
  for (size_t at = report.find("<fileobject>"); at != std::string::npos;
       at = report.find("<fileobject>", at + 1)) {
    const std::string entry = report.substr(at, report.find("</fileobject>", at) - at);
    entries[Between(entry, "<hashdigest type=\"sha256\">", "<")] = entry;
  }
  return entries;
}

}  // namespace

TEST(FileSystems, RecoveredPhotosGetTheirNamesAndDates) {
  for (const char* tool : {"mkfs.fat", "mcopy", "mkfs.ext4", "mkfs.exfat", "genisoimage"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " missing (scripts/deps.sh)";
  const std::string dir = ScratchDir("filesystems");
  // Each image is made from tree/ with its file system's own tools, and the photos marked
  // deleted are deleted there (ext4 and ISO 9660 keep them live: ext4 clears a deleted file's
  // block map, and a CD deletes nothing). exFAT is written through FUSE on a loop device.
  const std::string deleted = "::/DCIM/100TEST/Canon_40D.jpg ::/DCIM/100TEST/DSCN0010.JPG";
  struct Case {
    const char* name;
    std::string make;    // run in the case's folder, with tree/ filled
    const char* volume;  // as the report names the file system
    bool deletes;        // the deleted photos are deleted, not just left out of the check
    bool shortNames;     // a deleted 8.3 name loses its first letter
  } cases[] = {
      {"fat32",
       "truncate -s 40M card.img && mkfs.fat -F 32 card.img && mcopy -s -i card.img "
       "tree/DCIM 'tree/Holiday 2026' ::/ && mdel -i card.img " +
           deleted,
       "fat32 at byte 0", true, true},
      {"mbr",
       "truncate -s 42M card.img && printf '\\000\\000\\000\\000\\014\\000\\000\\000"
       "\\000\\010\\000\\000\\000\\100\\001\\000' | dd of=card.img bs=1 seek=446 "
       "conv=notrunc && printf '\\125\\252' | dd of=card.img bs=1 seek=510 conv=notrunc && "
       "mkfs.fat -F 32 --offset 2048 card.img 40960 && mcopy -s -i card.img@@1M tree/DCIM "
       "'tree/Holiday 2026' ::/ && mdel -i card.img@@1M " +
           deleted,
       "fat32 at byte 1048576 (partition 1)", true, true},
      {"exfat",
       "truncate -s 40M card.img && mkfs.exfat card.img && L=$(losetup -f --show card.img) && "
       "mkdir m && { mount.exfat-fuse $L m && cp -r tree/DCIM 'tree/Holiday 2026' m/ && "
       "rm m/DCIM/100TEST/Canon_40D.jpg m/DCIM/100TEST/DSCN0010.JPG; r=$?; fusermount -u m; "
       "losetup -d $L; [ $r = 0 ]; } && rmdir m",
       "exfat at byte 0", true, false},
      {"ext4", "truncate -s 40M card.img && mkfs.ext4 -q -d tree card.img", "ext4 at byte 0", false,
       false},
      {"iso9660", "genisoimage -quiet -R -J -o card.img tree", "iso9660 at byte 0", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string work = dir + "/" + c.name;
    ASSERT_TRUE(testing_support::Run("rm -rf '" + work + "' && mkdir -p '" + work +
                                     "/tree/DCIM/100TEST' '" + work + "/tree/Holiday 2026'"));
    std::map<std::string, const Photo*> byHash;
    for (const Photo& photo : kPhotos) {
      const std::vector<uint8_t> bytes =
          ReadFileBytes(TestData(std::string("corpus/") + photo.corpus));
      byHash[SV::CSha256::Of(bytes.data(), bytes.size())] = &photo;
      WriteFileBytes(work + "/tree" + photo.path, bytes);
    }
    // A movie with its moov after the media data, as cameras write it.
    ASSERT_TRUE(testing_support::Run(
        "cd '" + work + "' && ffmpeg -v error -f lavfi -i testsrc=duration=1:size=64x48:rate=5 " +
        "-metadata creation_time=2026-01-02T03:04:05Z -pix_fmt yuv420p -y " +
        "tree/DCIM/100TEST/MVI_0001.MP4"));
    const bool made = testing_support::Run("cd '" + work + "' && export MTOOLS_SKIP_CHECK=1 && " +
                                           c.make + " >/dev/null 2>&1");
    if (!made && std::string(c.name) == "exfat") {
      std::cout << "exFAT not tried: no loop device or FUSE here\n";
      continue;
    }
    ASSERT_TRUE(made) << c.make;

    ToolOutcome run = RunSalvor(work, "scan card.img -o out -q");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(WellFormed(work + "/out/report.xml"));
    const auto entries = EntriesByHash(ReadText(work + "/out/report.xml"));
    for (const auto& [hash, photo] : byHash) {
      const bool deleted = photo->deleted && c.deletes;
      if (photo->deleted && !deleted) continue;  // never put on the ext4 image
      SCOPED_TRACE(photo->path);
      auto found = entries.find(hash);
      ASSERT_NE(found, entries.end());
      const std::string& entry = found->second;
      const std::string path =
          deleted && c.shortNames && photo->reported != nullptr ? photo->reported : photo->path;
      EXPECT_EQ(
          Between(entry, "<salvor:original_path file_system=\"" + std::string(c.volume) + "\">",
                  "<"),
          path)
          << entry;
      EXPECT_EQ(Between(entry, "<alloc>", "<"), deleted ? "0" : "1");
      EXPECT_NE(Between(entry, "<inode>", "<"), "");
      // 2026-12-07T14:16:36Z; a CD records when it was made only.
      EXPECT_EQ(Between(entry, c.deletes || c.shortNames ? "<mtime>" : "time>", "<").size(), 20u)
          << entry;
    }
    // --names: each photo under its original folders and name, the sector name in the report.
    ASSERT_EQ(RunSalvor(work, "scan card.img -o named -q --names").status, 0);
    EXPECT_TRUE(WellFormed(work + "/named/report.xml"));
    for (const auto& [hash, photo] : byHash) {
      const bool lostLetter = photo->deleted && photo->reported != nullptr && c.shortNames;
      const std::string path = lostLetter ? photo->reported : photo->path;
      EXPECT_EQ(FileSha256(work + "/named" + path), hash) << path;
    }
    EXPECT_NE(ReadText(work + "/named/report.xml").find("<salvor:sector_name>jpg/f"),
              std::string::npos);
    // --deleted-only: the live photos are found, listed as left out, and not written.
    ASSERT_EQ(RunSalvor(work, "scan card.img -o deleted -q --deleted-only").status, 0);
    const std::string deletedReport = ReadText(work + "/deleted/report.xml");
    for (const auto& [hash, photo] : byHash) {
      const bool live = !photo->deleted || !c.deletes;
      EXPECT_EQ(deletedReport.find(hash) == std::string::npos, live) << photo->path;
    }
    EXPECT_NE(deletedReport.find("<salvor:skipped reason=\"live\"/>"), std::string::npos);
    // --sort-by-date: by the date the photo records, else the file system's.
    ASSERT_EQ(RunSalvor(work, "scan card.img -o dated -q --names --sort-by-date").status, 0);
    EXPECT_EQ(FileSha256(work + "/dated/2008/05/Canon_40D.jpg"),
              FileSha256(work + "/tree/DCIM/100TEST/Canon_40D.jpg"));
    EXPECT_TRUE(FileExists(work + "/dated/2026/01/MVI_0001.MP4"));
    // With no file system to ask, the report holds the date the photo itself records.
    ASSERT_EQ(RunSalvor(work, "scan card.img -o plain -q --no-file-systems").status, 0);
    const std::string plain = ReadText(work + "/plain/report.xml");
    EXPECT_EQ(plain.find("original_path"), std::string::npos);
    for (const char* date :
         {"source=\"exif\">2008-05-30T15:56:01<", "source=\"quicktime\">2026-01-02T03:04:05Z<"})
      EXPECT_NE(plain.find(std::string("<salvor:capture_time ") + date), std::string::npos) << date;
    ToolOutcome info = RunSalvor(work, "info card.img");
    EXPECT_NE(info.out.find(std::string("File system:  ") + c.volume + ": "), std::string::npos)
        << info.out;
  }
}

// --partition and --free-space on an MBR card: a FAT16 partition with a live and a deleted
// photo, and a partition no file system claims with a photo in it.
TEST(FileSystems, PartitionAndFreeSpaceScans) {
  if (!HaveTool("mkfs.fat") || !HaveTool("mcopy"))
    GTEST_SKIP() << "dosfstools or mtools missing (scripts/deps.sh)";
  const std::string work = ScratchDir("areas");
  std::vector<uint8_t> card(64 << 20);
  const auto partition = [&](int slot, uint8_t type, uint32_t first, uint32_t sectors) {
    uint8_t* entry = card.data() + 446 + 16 * slot;
    entry[4] = type;
    for (int i = 0; i < 4; ++i) {
      entry[8 + i] = static_cast<uint8_t>(first >> (8 * i));
      entry[12 + i] = static_cast<uint8_t>(sectors >> (8 * i));
    }
  };
  partition(0, 0x0e, 2048, 61440);
  partition(1, 0x83, 63488, 67584);
  card[510] = 0x55;
  card[511] = 0xaa;
  const std::vector<uint8_t> outside = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  std::copy(outside.begin(), outside.end(), card.begin() + (63488 + 100) * 512);
  WriteFileBytes(work + "/card.img", card);
  const std::string corpus = TestData("corpus/jpg");
  ASSERT_TRUE(testing_support::Run(
      "cd '" + work + "' && mkfs.fat -F 16 --offset 2048 card.img 30720 >/dev/null 2>&1 && " +
      "export MTOOLS_SKIP_CHECK=1 && mcopy -i card.img@@1M '" + corpus +
      "/BlueSquare.jpg' ::/LIVE.JPG && mcopy -i card.img@@1M '" + corpus +
      "/Canon_40D.jpg' ::/GONE.JPG && mdel -i card.img@@1M ::/GONE.JPG"));
  const std::string live = FileSha256(corpus + "/BlueSquare.jpg");
  const std::string deleted = FileSha256(corpus + "/Canon_40D.jpg");
  const std::string unclaimed = FileSha256(TestData("corpus/jpg/DSCN0010.jpg"));

  ToolOutcome info = RunSalvor(work, "info card.img");
  EXPECT_NE(info.out.find("Partition 1:  bytes 1048576-32505855 (30.0 MiB)"), std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("Partition 2:  bytes 32505856-67108863"), std::string::npos);

  struct Case {
    const char* options;
    std::vector<std::string> found, notFound;
    const char* logged;
  } cases[] = {
      {"--partition 2", {unclaimed}, {live, deleted}, "(partition 2)"},
      {"--partition 1", {live, deleted}, {unclaimed}, "(partition 1)"},
      {"--free-space", {deleted, unclaimed}, {live}, "(free space in 1 area)"},
      {"--free-space --partition 1", {deleted}, {live, unclaimed}, "(partition 1, free space in"},
  };
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string out = "out" + std::to_string(run++);
    ASSERT_EQ(RunSalvor(work, "scan card.img -q -o " + out + " " + c.options).status, 0);
    EXPECT_TRUE(WellFormed(work + "/" + out + "/report.xml"));
    const std::string report = ReadText(work + "/" + out + "/report.xml");
    for (const std::string& hash : c.found) EXPECT_NE(report.find(hash), std::string::npos);
    for (const std::string& hash : c.notFound) EXPECT_EQ(report.find(hash), std::string::npos);
    EXPECT_NE(ReadText(work + "/" + out + "/salvor.log").find(c.logged), std::string::npos);
  }
  // A partition the card does not have is refused before anything is made.
  ToolOutcome refused = RunSalvor(work, "scan card.img -q -o none --partition 3");
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("no partition 3 on the source (its partitions: 1, 2)"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(FileExists(work + "/none"));
}

// After a quick format the card's new root lists nothing, but the old subfolders' clusters
// still hold their entries: the scan finds them and the photos get their names back, long
// names included, as deleted files of a folder the file system no longer reaches.
TEST(FileSystems, QuickFormattedCardKeepsNamesFromItsOldFolders) {
  if (!HaveTool("mkfs.fat") || !HaveTool("mcopy"))
    GTEST_SKIP() << "dosfstools or mtools missing (scripts/deps.sh)";
  const std::string work = ScratchDir("quickformat");
  const std::string corpus = TestData("corpus/jpg");
  ASSERT_TRUE(testing_support::Run(
      "cd '" + work +
      "' && rm -rf tree card.img && mkdir -p tree/DCIM/100TEST 'tree/Holiday 2026' &&"
      " cp '" +
      corpus + "/BlueSquare.jpg' tree/DCIM/100TEST/IMG_0001.JPG && cp '" + corpus +
      "/Canon_40D.jpg' tree/DCIM/100TEST/IMG_0002.JPG && cp '" + corpus +
      "/DSCN0010.jpg' 'tree/Holiday 2026/Beach at noon.jpg' && truncate -s 40M card.img && "
      "mkfs.fat -F 32 card.img >/dev/null && export MTOOLS_SKIP_CHECK=1 && "
      "mcopy -s -i card.img tree/DCIM 'tree/Holiday 2026' ::/ && "
      "mdel -i card.img ::/DCIM/100TEST/IMG_0002.JPG && mkfs.fat -F 32 card.img >/dev/null"));
  ASSERT_EQ(RunSalvor(work, "scan card.img -o out -q --names").status, 0);
  EXPECT_TRUE(WellFormed(work + "/out/report.xml"));
  // The folders' own names were in the old root: each is named by its first cluster.
  for (const auto& [original, recovered] : std::vector<std::pair<std::string, std::string>>{
           {"DCIM/100TEST/IMG_0001.JPG", "Folder at cluster 3/100TEST/IMG_0001.JPG"},
           {"DCIM/100TEST/IMG_0002.JPG", "Folder at cluster 3/100TEST/_MG_0002.JPG"},
           {"Holiday 2026/Beach at noon.jpg", "Folder at cluster 69/Beach at noon.jpg"}})
    EXPECT_EQ(FileSha256(work + "/out/" + recovered), FileSha256(work + "/tree/" + original))
        << recovered;
  const std::string report = ReadText(work + "/out/report.xml");
  EXPECT_NE(report.find("file_system=\"fat32 at byte 0, a folder it no longer reaches\">"
                        "/Folder at cluster 69/Beach at noon.jpg<"),
            std::string::npos);
  EXPECT_NE(ReadText(work + "/out/salvor.log")
                .find("salvor: folders the file system no longer reaches: 3 found, listing 3 "
                      "files"),
            std::string::npos);
}
