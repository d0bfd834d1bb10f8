#include "tests/validate/ValidatorChecks.h"

using namespace testing_support;
using namespace validate_test;

namespace {

// Photoshop's own sample (75 bytes of another tool's trailer after its image data) and
// documents ImageMagick writes: RLE, RLE with a layer away from the corner, 16-bit, ZIP
// layers, PSB; raw image data has nothing to check.
TEST(PsdValidator, DocumentsWholeCutAndSpliced) {
  std::vector<std::pair<std::string, std::string>> recipes = {
      {"rle.psd", "-compress rle"},
      {"layers.psd", "\\( +clone -flip -crop 100x80+0+0 -repage +8+6 \\) -compress rle"},
      {"deep.psd", "-depth 16 -compress rle"},
      {"zip.psd", "\\( +clone -flip \\) -compress zip"},
      {"large.psb", "-compress rle PSB:- >"},
      {"raw.psd", "-compress none"}};
  for (auto& recipe : recipes) {
    recipe.second = "convert -seed 5 -size 160x120 plasma:fractal -depth 8 " + recipe.second;
  }
  const Samples made = MakeMedia("psd-validate", recipes);
  if (made.size() != recipes.size()) ADD_FAILURE() << "ImageMagick did not write every document";
  // Photoshop's sample: 17 KB of resources, then 8x8 RLE pixels at 17196.
  std::vector<Checked> files = {{"Photoshop.psd", "psd",
                                 ReadFileBytes(TestData("corpus/format-samples/Photoshop.psd")),
                                 Verdict::kIntact, 17294, 17250, 32}};
  for (const Sample& sample : made) {
    files.push_back({sample.name, sample.extension, sample.bytes,
                     sample.name == "raw.psd" ? Verdict::kCannotTell : Verdict::kIntact});
  }
  const Bytes foreign = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  for (const Checked& file : files) ExpectChecks(file, foreign);
}

}  // namespace
