// Names and dates from the file systems on the source, through the built tool: every recovered
// photo whose entry survives, live or deleted, gets its path, allocation, entry number and
// times in the report. The images are made with the file systems' own tools.
#include <gtest/gtest.h>

#include <algorithm>
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

// Photos in pieces, with the file system's record of where each piece lies: they come back
// whole, byte for byte, as intact files whose report entry lists every piece where it lies.
// Holes are made between files that stay, and the photos copied into them.
TEST(FileSystems, FragmentedPhotosComeBackThroughTheirRecords) {
  if (!HaveTool("mkfs.fat") || !HaveTool("mcopy") || !HaveTool("mkfs.ntfs") ||
      !HaveTool("ntfscp") || !HaveTool("debugfs"))
    GTEST_SKIP() << "dosfstools, mtools, ntfs-3g or e2fsprogs missing (scripts/deps.sh)";
  struct Fragmented {
    const char* photo;  // under testdata/corpus/jpg
    bool deleted;
    bool replacesDamaged;  // the scan found it damaged; else it did not find it at all
  };
  // ntfs-3g takes a free range large enough where there is one: the volume is filled and
  // holes opened by truncating every other file. No tool deletes a file without mounting:
  // its record is marked free as a deletion leaves it.
  const std::string ntfs =
      "truncate -s 40M card.img && mkfs.ntfs -F -f -q -c 4096 card.img && "
      "head -c 48000 /dev/zero >pad && : >empty && "
      "for i in 1 2 3 4 5 6 7 8 9 10; do ntfscp -q card.img pad pad$i; done && "
      "ntfscp -q card.img empty filler && "
      "free=$(ntfsinfo -m card.img | awk '/Free Clusters/ {print $3}') && "
      "ntfsfallocate -l $(( (free - 2) * 4096 )) card.img filler && "
      "for i in 2 4 6 8 10; do ntfstruncate -q card.img "
      "$(ntfsls -i card.img | awk -v n=pad$i '$2 == n {print $1}') 0; done && "
      "ntfscp -q card.img canon-ixus.jpg canon-ixus.jpg && "
      "ntfscp -q card.img kodak-dc240.jpg kodak-dc240.jpg && "
      "name=$(printf kodak-dc240.jpg | sed 's/./&\\\\x00/g') && "
      "for at in $(LC_ALL=C grep -obUaP \"$name\" card.img | cut -d: -f1); do "
      "record=$((at / 1024 * 1024)); "
      "[ \"$(dd if=card.img bs=1 skip=$record count=4)\" = FILE ] || continue; "
      "[ $(od -An -tu2 -j $((record + 22)) -N2 card.img) = 1 ] || continue; "
      "printf '\\000\\000' | dd of=card.img bs=1 seek=$((record + 22)) conv=notrunc; done";
  struct Case {
    const char* name;
    std::string make;
    std::vector<Fragmented> photos;
  } cases[] = {
      // mtools allocates from the FSInfo sector's next-free hint; set back to cluster 2 before
      // each copy, it fills the holes first. The 6 KB first pieces end inside the photos' EXIF.
      {"fat32",
       "truncate -s 40M card.img && mkfs.fat -F 32 card.img && export MTOOLS_SKIP_CHECK=1 && "
       "hint() { printf '\\377\\377\\377\\377\\002\\000\\000\\000' | "
       "dd of=card.img bs=1 seek=1000 conv=notrunc; } && "
       "head -c 6000 /dev/zero >pad && head -c 40000 /dev/zero >big && "
       "for i in 1 2 3 4 5 6 7 8; do mcopy -i card.img pad ::/pad$i; done && "
       "mcopy -i card.img big ::/big1 && mcopy -i card.img big ::/big2 && "
       "mdel -i card.img ::/pad2 ::/pad4 && hint && mcopy -i card.img DSCN0010.jpg ::/ && "
       "mdel -i card.img ::/pad6 ::/pad8 && hint && mcopy -i card.img kodak-dc240.jpg ::/ && "
       "mdel -i card.img ::/big1 && hint && mcopy -i card.img canon-ixus.jpg ::/",
       {{"DSCN0010.jpg", false, false},
        {"kodak-dc240.jpg", false, false},
        {"canon-ixus.jpg", false, true}}},
      {"ntfs", ntfs, {{"canon-ixus.jpg", false, true}, {"kodak-dc240.jpg", true, true}}},
      // Formatted again: the new MFT lists nothing, the old one's records past it still give
      // every piece.
      {"ntfs formatted",
       ntfs + " && mkfs.ntfs -F -f -q -c 4096 card.img",
       {{"canon-ixus.jpg", true, true}, {"kodak-dc240.jpg", true, true}}},
      // debugfs writes blocks of zeros as holes: the padding is not zeros. The photo's extents
      // go through the holes and on after the filler, one before another.
      {"ext4",
       "truncate -s 40M card.img && mkfs.ext4 -q -m 0 -b 1024 card.img && "
       "head -c 6000 /dev/zero | tr '\\0' x >pad && "
       "for i in 1 2 3 4 5 6 7 8; do debugfs -w -R \"write pad pad$i\" card.img; done && "
       "free=$(dumpe2fs -h card.img | awk '/^Free blocks:/ {print $3}') && "
       "head -c $(( (free - 70) * 1024 )) /dev/zero | tr '\\0' x >filler && "
       "debugfs -w -R 'write filler filler' card.img && "
       "for i in 2 4 6 8; do debugfs -w -R \"rm pad$i\" card.img; done && "
       "debugfs -w -R 'write kodak-dc240.jpg kodak-dc240.jpg' card.img",
       {{"kodak-dc240.jpg", false, false}}},
  };
  const std::string dir = ScratchDir("fragmented");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string work = dir + "/" + c.name;
    ASSERT_TRUE(testing_support::Run("rm -rf '" + work + "' && mkdir -p '" + work + "'"));
    for (const char* photo : {"DSCN0010.jpg", "kodak-dc240.jpg", "canon-ixus.jpg"})
      WriteFileBytes(work + "/" + photo, ReadFileBytes(TestData("corpus/jpg/") + photo));
    ASSERT_TRUE(testing_support::Run("cd '" + work + "' && (" + c.make + ") >/dev/null 2>&1"))
        << c.make;

    ToolOutcome run = RunSalvor(work, "scan card.img -o out -q");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(WellFormed(work + "/out/report.xml"));
    EXPECT_NE(ReadText(work + "/out/salvor.log")
                  .find("salvor: run lists: " + std::to_string(c.photos.size()) +
                        " files recovered through their file system's record"),
              std::string::npos);
    const auto entries = EntriesByHash(ReadText(work + "/out/report.xml"));
    const std::vector<uint8_t> image = ReadFileBytes(work + "/card.img");
    for (const Fragmented& photo : c.photos) {
      SCOPED_TRACE(photo.photo);
      const std::vector<uint8_t> bytes = ReadFileBytes(work + "/" + photo.photo);
      const auto found = entries.find(SV::CSha256::Of(bytes.data(), bytes.size()));
      ASSERT_NE(found, entries.end());
      const std::string& entry = found->second;
      const std::string name = Between(entry, "<filename>", "<");
      EXPECT_EQ(name.rfind("jpg/f", 0), 0u) << entry;
      EXPECT_EQ(FileSha256(work + "/out/" + name), found->first);
      EXPECT_EQ(Between(entry, "<alloc>", "<"), photo.deleted ? "0" : "1");
      const std::string replaced = Between(entry, "<salvor:replaces>", "<");
      EXPECT_EQ(replaced.rfind("jpg/b", 0) == 0, photo.replacesDamaged) << entry;
      EXPECT_TRUE(replaced.empty() || !FileExists(work + "/out/" + replaced)) << replaced;
      // Every run where the image holds it, in file order, none continuing the one before.
      long long within = 0, previousEnd = -1, runs = 0;
      for (size_t at = entry.find("<byte_run "); at != std::string::npos;
           at = entry.find("<byte_run ", at + 1), ++runs) {
        const std::string run = entry.substr(at, entry.find("/>", at) - at);
        const long long fileOffset = std::atoll(Between(run, "file_offset=\"", "\"").c_str());
        const long long imgOffset = std::atoll(Between(run, "img_offset=\"", "\"").c_str());
        const long long length = std::atoll(Between(run, "len=\"", "\"").c_str());
        EXPECT_EQ(fileOffset, within);
        EXPECT_NE(imgOffset, previousEnd);
        ASSERT_LE(imgOffset + length, static_cast<long long>(image.size()));
        ASSERT_LE(fileOffset + length, static_cast<long long>(bytes.size()));
        EXPECT_TRUE(std::equal(bytes.begin() + fileOffset, bytes.begin() + fileOffset + length,
                               image.begin() + imgOffset))
            << run;
        within += length;
        previousEnd = imgOffset + length;
      }
      EXPECT_GE(runs, 2);
      EXPECT_EQ(within, static_cast<long long>(bytes.size()));
    }
  }
}
