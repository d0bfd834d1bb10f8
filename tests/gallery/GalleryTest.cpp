// The gallery a scan leaves, opened in headless Chromium as a person opens it: the page's
// script writes what it shows into a status element, which the test reads from the DOM
// Chromium dumps once the page has run.
#include <glob.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>

#include "tests/host/ToolRun.h"

using namespace testing_support;

namespace {

// What the page shows at `url`: the data-* attributes of its status element.
std::map<std::string, long long> Shown(const std::string& url, const std::string& screenshot = "") {
  const std::string command =
      "chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1600,4000 "
      "--virtual-time-budget=5000 " +
      (screenshot.empty() ? std::string("--dump-dom") : "--screenshot='" + screenshot + "'") +
      " '" + url + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string dom;
  char buffer[65536];
  for (size_t got; pipe != nullptr && (got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
    dom.append(buffer, got);
  std::map<std::string, long long> status;
  const std::string element = Between(dom, "<div id=\"status\"", ">");
  for (size_t at = element.find("data-"); at != std::string::npos;
       at = element.find("data-", at + 1)) {
    const size_t equals = element.find("=\"", at);
    status[element.substr(at + 5, equals - at - 5)] = std::atoll(element.c_str() + equals + 2);
  }
  return status;
}

// Photos whole, a PNG, and a photo cut in half by noise: one broken file.
std::vector<uint8_t> SixFilesOneBroken() {
  ImageBuilder builder(21);
  for (const char* name : {"jpg/Canon_40D.jpg", "jpg/landscape_3.jpg", "jpg/nikon-e950.jpg",
                           "format-samples/PNG.png", "jpg/kodak-dc240.jpg"}) {
    builder.AddRandom(3000);
    builder.Align(512);
    builder.AddFile(name, ReadFileBytes(TestData(std::string("corpus/") + name)));
  }
  std::vector<uint8_t> cut = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  cut.resize(cut.size() / 2);
  builder.AddRandom(3000);
  builder.Align(512);
  builder.AddFile("cut", cut);
  builder.AddRandom(40000);
  builder.AddZeros(8192);
  return builder.Finish();
}

}  // namespace

TEST(Gallery, ShowsEveryRecoveredFileWithItsThumbnailAndFilters) {
  if (!HaveTool("chromium")) GTEST_SKIP() << "chromium is not installed";
  const std::string dir = ScratchDir("gallery");
  WriteFileBytes(dir + "/image.bin", SixFilesOneBroken());

  ToolOutcome run = RunSalvor(dir, "scan image.bin -o out --no-file-systems --rebuild-time 0");
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  EXPECT_NE(run.out.find("Gallery: " + dir + "/out/index.html (6 of 6 files with thumbnails)"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(WellFormed(dir + "/out/report.xml"));
  const auto files = ReportedFiles(ReadText(dir + "/out/report.xml"));
  ASSERT_EQ(files.size(), 6u);
  long long broken = 0;
  for (const auto& file : files) broken += file.damaged ? 1 : 0;
  ASSERT_EQ(broken, 1);
  // Made beside the scan or after it: one thumbnail a file, nothing half written.
  glob_t made{};
  glob((dir + "/out/.thumbnails/*").c_str(), 0, nullptr, &made);
  EXPECT_EQ(made.gl_pathc, 6u);
  globfree(&made);

  const std::string page = "file://" + dir + "/out/index.html";
  auto all = Shown(page);
  all.erase("ready");  // when the tiles were laid out, for the benchmark
  EXPECT_EQ(all, (std::map<std::string, long long>{{"shown", 6},
                                                   {"tiles", 6},
                                                   {"thumbnails", 6},
                                                   {"loaded", 6},
                                                   {"failed", 0},
                                                   {"broken", 1}}));
  // Filters set from the address, as a link would.
  EXPECT_EQ(Shown(page + "#broken")["tiles"], 1);
  EXPECT_EQ(Shown(page + "#intact")["tiles"], 5);
  EXPECT_EQ(Shown(page + "#type=png")["tiles"], 1);
  EXPECT_EQ(Shown(page + "#res=76800&sort=size")["tiles"], 4);  // 320x240 and over
  Shown(page + "#broken", dir + "/broken.png");
  EXPECT_GT(ReadFileBytes(dir + "/broken.png").size(), 1000u);

  // No gallery when asked for none, nor for a list of what would be recovered.
  for (const char* options : {"--no-gallery", "--list-only"}) {
    ToolOutcome quiet = RunSalvor(dir, std::string("scan image.bin -o ") +
                                           (options[2] == 'n' ? "plain " : "list ") + options +
                                           " --no-file-systems --rebuild-time 0");
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    const std::string out = dir + (options[2] == 'n' ? "/plain" : "/list");
    EXPECT_FALSE(FileExists(out + "/index.html")) << options;
    EXPECT_FALSE(FileExists(out + "/.thumbnails")) << options;
  }
}

TEST(Gallery, ADecoderThatCrashesCostsOnlyItsFilesThumbnails) {
  const std::string dir = ScratchDir("gallery_crash");
  WriteFileBytes(dir + "/image.bin", SixFilesOneBroken());
  // The photo modules, and a preview module that crashes on files of an odd size.
  ASSERT_TRUE(testing_support::Run(
      "mkdir '" + dir + "/modules' && cp '" SALVOR_MODULE_DIR "/jpeg.so' '" +
      SALVOR_MODULE_DIR "/png.so' '" SALVOR_TEST_MODULE_DIR "/svtest_preview_crashing.so' '" + dir +
      "/modules/'"));
  ToolOutcome run = RunSalvor(dir, "scan image.bin -o out --modules modules --no-file-systems");
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  long long odd = 0;
  const auto files = ReportedFiles(ReadText(dir + "/out/report.xml"));
  for (const auto& file : files) odd += file.size % 2;
  ASSERT_GT(odd, 0);
  ASSERT_LT(odd, static_cast<long long>(files.size()));
  const std::string even = std::to_string(files.size() - odd);
  EXPECT_NE(
      run.out.find("(" + even + " of " + std::to_string(files.size()) + " files with thumbnails)"),
      std::string::npos)
      << run.out;
  EXPECT_NE(
      ReadText(dir + "/out/salvor.log")
          .find(", " + std::to_string(odd) + " whose decoding crashed or hung (no thumbnail)"),
      std::string::npos);
}
