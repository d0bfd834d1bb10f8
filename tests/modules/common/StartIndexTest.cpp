#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

const char* const kModules[] = {"bmp", "gif", "isobmff", "png", "riff", "tiff"};

// A corpus sample, or bytes that only look like a start, placed at an offset of the image.
struct Placed {
  const char* sample;  // null: `junk` is placed, and nothing must come back from it
  long long offset;
  const char* junk = "";
};

struct Case {
  const char* what;
  std::vector<Placed> files;
};

// Files at chosen byte offsets in random data, scanned by several formats at once with every
// handler's Unaligned set: the start index of the process lists every format's starts, and
// every file must come back whole at its offset, with nothing else. The cases run one after
// another in one process, each a new scan of other data, so nothing may be carried over.
TEST(StartIndex, FindsEveryFormatsStartsInOnePass) {
  const Case cases[] = {
      {"a key from the last byte of a block on", {{"PNG.png", 511}, {"GIF.gif", 4096 + 511}}},
      {"a start across a block and an index window boundary", {{"RIFF.webp", 65535}}},
      {"a key past a window's end for a start inside it", {{"QuickTime.heic", 65533}}},
      {"starts in the windows after a file found early", {{"BMP.bmp", 1000}, {"GIF.gif", 131071}}},
      {"two formats' keys in one block",
       {{nullptr, 1024 + 10, "\x89PNG\r\n\x1a\n"}, {"BMP.bmp", 1024 + 100}}},
      {"two formats' keys in one block, the other way round",
       {{nullptr, 2048 + 3, "BM"}, {nullptr, 2048 + 40, "II*"}, {"RIFF.webp", 2048 + 300}}},
  };
  for (const char* module : kModules) ASSERT_TRUE(Handler(module)->SetIntPropValue("Unaligned", 1));
  std::vector<std::string> modules;
  for (const char* module : kModules) modules.push_back(std::string(module) + ".so");
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageBuilder builder(seed++);
    std::vector<Placed> placed;
    std::vector<Bytes> contents;
    for (const Placed& file : c.files) {
      builder.AddRandom(static_cast<size_t>(file.offset) - builder.bytes().size());
      if (file.sample == nullptr) {
        const std::string junk = file.junk;
        builder.bytes().insert(builder.bytes().end(), junk.begin(), junk.end());
        continue;
      }
      const Bytes bytes =
          ReadFileBytes(TestData(std::string("corpus/format-samples/") + file.sample));
      builder.AddFile(file.sample, bytes);
      placed.push_back(file);
      contents.push_back(bytes);
    }
    builder.AddRandom(70000);
    const std::vector<Recovered> found = ScanImage(modules, builder.Finish());
    std::string offsets;
    for (const Recovered& r : found) offsets += " " + std::to_string(r.offset) + "." + r.extension;
    ASSERT_EQ(found.size(), placed.size()) << "found at" << offsets;
    for (size_t i = 0; i < placed.size(); ++i) {
      EXPECT_EQ(found[i].offset, placed[i].offset);
      EXPECT_TRUE(found[i].valid) << "at " << placed[i].offset;
      EXPECT_TRUE(found[i].bytes == contents[i]) << "at " << placed[i].offset;
    }
  }
  for (const char* module : kModules) ASSERT_TRUE(Handler(module)->SetIntPropValue("Unaligned", 0));
}

}  // namespace
