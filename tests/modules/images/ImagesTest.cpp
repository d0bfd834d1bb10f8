// Evidence and split images scanned through the built tool: the same files as from the raw
// image they were made from, damage confined to what spans a bad chunk, and incomplete images
// refused before anything is written. The images are made with the imaging tools themselves.
#include <gtest/gtest.h>

#include <glob.h>

#include <fstream>
#include <map>

#include "tests/host/ToolRun.h"
#include "util/sha256/Sha256.h"

using namespace testing_support;

namespace {

// Corpus JPEGs on sector starts between random filler: name -> SHA-256 of what should come
// back. The largest photo's offset and size are kept for the damage test.
struct RawCard {
  std::map<std::string, std::string> expected;
  long long largestOffset = 0;
  long long largestSize = 0;
};

RawCard MakeRawCard(const std::string& path) {
  RawCard card;
  ImageBuilder builder(22);
  glob_t found{};
  glob(TestData("corpus/jpg/*.jpg").c_str(), 0, nullptr, &found);
  for (size_t i = 0; i < found.gl_pathc && i < 24; ++i) {
    builder.AddRandom(40000 + i * 977);
    builder.Align(512);
    const long long offset = static_cast<long long>(builder.bytes().size());
    const std::vector<uint8_t> bytes = ReadFileBytes(found.gl_pathv[i]);
    builder.AddFile(found.gl_pathv[i], bytes);
    card.expected[RecoveredName('f', offset, "jpg")] = SV::CSha256::Of(bytes.data(), bytes.size());
    if (static_cast<long long>(bytes.size()) > card.largestSize) {
      card.largestSize = static_cast<long long>(bytes.size());
      card.largestOffset = offset;
    }
  }
  globfree(&found);
  builder.AddZeros(65536);
  WriteFileBytes(path, builder.Finish());
  return card;
}

std::map<std::string, std::string> RecoveredFiles(const std::string& out) {
  std::map<std::string, std::string> files;
  for (const auto& file : ReportedFiles(ReadText(out + "/report.xml"))) {
    EXPECT_EQ(FileSha256(out + "/" + file.filename), file.sha256) << file.filename;
    files[file.filename] = file.sha256;
  }
  return files;
}

std::string Md5(const std::string& path) {
  testing_support::Run("md5sum '" + path + "' | cut -c1-32 >'" + path + ".md5'");
  std::string text = ReadText(path + ".md5");
  return text.substr(0, text.find('\n'));
}

class ImagesModule : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"ewfacquire", "affconvert", "split"})
      if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (scripts/deps.sh)";
    dir = ScratchDir("images");
    card = MakeRawCard(dir + "/card.raw");
    ASSERT_GE(card.expected.size(), 10u);
  }

  // ewfacquire, unattended: 1 MiB segments, so that the card takes several.
  bool AcquireEwf(const std::string& name, const std::string& compression) {
    return testing_support::Run("cd '" + dir + "' && ewfacquire -u -q -c " + compression +
                                " -S 1048576 -C 'case 7' -e examiner -t " + name +
                                " card.raw >/dev/null 2>&1");
  }

  std::string dir;
  RawCard card;
};

}  // namespace

TEST_F(ImagesModule, EveryFormatGivesTheFilesOfTheRawImage) {
  struct Case {
    const char* make;  // shell command in the scratch folder
    const char* source;
    const char* format;
    bool storesMd5;
  } cases[] = {
      {"ewfacquire -u -q -c deflate:fast -S 1048576 -C 'case 7' -t ewf card.raw", "ewf.E01",
       "EWF (EnCase 6)", true},
      {"cp card.raw aff.raw && affconvert -q aff.raw", "aff.aff", "AFF", true},
      {"split -b 700000 -d -a 3 --numeric-suffixes=1 card.raw split.", "split.001", "split raw",
       false},
      {"split -b 500000 card.raw letters.", "letters.aa", "split raw", false},
  };
  const std::string md5 = Md5(dir + "/card.raw");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    ASSERT_TRUE(testing_support::Run("cd '" + dir + "' && " + c.make + " >/dev/null 2>&1"));
    const std::string out = std::string("out-") + c.source;
    ToolOutcome run = RunSalvor(dir, std::string("scan ") + c.source + " -o " + out + " -q");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(RecoveredFiles(dir + "/" + out), card.expected);
    const std::string report = ReadText(dir + "/" + out + "/report.xml");
    EXPECT_TRUE(WellFormed(dir + "/" + out + "/report.xml"));
    EXPECT_NE(report.find(std::string("<salvor:image_format>") + c.format), std::string::npos);
    ToolOutcome info = RunSalvor(dir, std::string("info ") + c.source);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find(std::string("Format:       ") + c.format + "\n"), std::string::npos)
        << info.out;
    if (c.storesMd5) {
      EXPECT_NE(info.out.find("Stored MD5:   " + md5 + "\n"), std::string::npos) << info.out;
      EXPECT_NE(report.find("<salvor:stored_hash type=\"md5\">" + md5 + "</salvor:stored_hash>"),
                std::string::npos);
    } else {
      EXPECT_NE(info.out.find("Segments:     "), std::string::npos) << info.out;
    }
  }
  ToolOutcome info = RunSalvor(dir, "info ewf.E01");
  EXPECT_NE(info.out.find("  case number: case 7\n"), std::string::npos) << info.out;
  ToolOutcome formats = RunSalvor(dir, "info");
  EXPECT_NE(formats.out.find("EWF: "), std::string::npos) << formats.out;
  EXPECT_NE(formats.out.find("AFF: "), std::string::npos);
}

// A chunk whose stored checksum fails is unreadable: the photo over it comes back damaged
// (b...), every other photo intact, and the scan says it met read errors.
TEST_F(ImagesModule, BadChunkDamagesOnlyThePhotoOverIt) {
  ASSERT_TRUE(AcquireEwf("plain", "none"));  // stored, so the photo's bytes can be found
  const std::vector<uint8_t> raw = ReadFileBytes(dir + "/card.raw");
  const long long middle = card.largestOffset + card.largestSize / 2;
  const std::string needle(raw.begin() + middle, raw.begin() + middle + 64);
  bool flipped = false;
  for (int segment = 1; segment <= 9 && !flipped; ++segment) {
    const std::string path = dir + "/plain.E0" + std::to_string(segment);
    if (!FileExists(path)) break;
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    const std::string text(bytes.begin(), bytes.end());
    const size_t at = text.find(needle);
    if (at == std::string::npos) continue;
    bytes[at + 7] ^= 0x5a;
    WriteFileBytes(path, bytes);
    flipped = true;
  }
  ASSERT_TRUE(flipped);
  ToolOutcome run = RunSalvor(dir, "scan plain.E01 -o out -q");
  EXPECT_EQ(run.status, 7) << run.err;
  auto expected = card.expected;
  const std::string damaged = RecoveredName('f', card.largestOffset, "jpg");
  expected.erase(damaged);
  auto recovered = RecoveredFiles(dir + "/out");
  const std::string broken = RecoveredName('b', card.largestOffset, "jpg");
  EXPECT_EQ(recovered.count(broken), 1u);
  recovered.erase(broken);
  EXPECT_EQ(recovered, expected);
  EXPECT_NE(ReadText(dir + "/out/salvor.log").find("Input/output error"), std::string::npos);
}

// An image that cannot be read whole is refused with one line and exit status 3, and nothing
// is made in the output folder.
TEST_F(ImagesModule, IncompleteOrHostileImagesAreRefusedBeforeAnythingIsWritten) {
  ASSERT_TRUE(AcquireEwf("gap", "deflate:fast"));
  ASSERT_TRUE(AcquireEwf("cut", "deflate:fast"));
  ASSERT_TRUE(testing_support::Run(
      "cd '" + dir + "' && rm gap.E02 && truncate -s 600000 cut.E02 && " +
      "split -b 700000 -d -a 3 --numeric-suffixes=1 card.raw hole. && rm hole.002 && " +
      "printf 'EVF\\t\\r\\n\\377\\000junk' >junk.E01 && printf 'AFF10\\r\\n\\000' " +
      ">junk.aff && printf 'EVF2\\r\\n\\201\\000' >v2.Ex01 && " +
      // A sector-size segment of almost 4 GiB, which afflib would allocate as it opens.
      "printf 'AFF10\\r\\n\\000AFF\\000\\000\\000\\000\\012\\000\\000\\000\\000"
      "\\373\\377\\001\\000sectorsizeATT\\000\\000\\000\\000\\042' >huge.aff"));
  struct Case {
    const char* source;
    const char* reason;
  } cases[] = {
      {"gap.E01", "segment files end early (found 1, "},
      {"cut.E01", "a segment file is missing or cut short"},
      {"hole.001", "part "},
      {"junk.E01", "not a readable EWF image: "},
      {"junk.aff", "AFF image holds no media data"},
      {"huge.aff", "AFF image's sector size is out of range"},
      {"v2.Ex01", "an EWF2 (Ex01) image, which libewf "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    ToolOutcome run = RunSalvor(dir, std::string("scan ") + c.source + " -o never");
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.err.find(std::string("salvor: cannot open '") + c.source + "': "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_FALSE(FileExists(dir + "/never"));
  }
}
