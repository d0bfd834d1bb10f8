#include "tests/validate/ValidatorChecks.h"
#include "validate/Formats.h"

using namespace testing_support;
using namespace validate_test;

namespace {

// Phone photos (an Apple grid of 48 HEVC tiles with a thumbnail, a single-image HEIF) and
// pictures libheif's encoders write (HEVC, AV1): whole, trailed, cut, spliced.
TEST(HeifValidator, PhotosWholeCutAndSpliced) {
  const Samples made = MakeMedia(
      "heif", {{"plasma.heic", "convert -seed 3 -size 320x240 plasma:fractal -quality 50"},
               {"plasma.avif", "convert -seed 3 -size 320x240 plasma:fractal -quality 50"}});
  // libde265 lets about one random splice in ten into the middle rows of the single-image
  // HEIF through unnoticed (so does libavcodec): there the splice goes a third of the way in.
  std::vector<Checked> files = {
      {"IMG_5195.HEIC", "heic", ReadFileBytes(TestData("corpus/heic/IMG_5195.HEIC"))},
      {"samplefilehub.heif", "heif", ReadFileBytes(TestData("corpus/heic/samplefilehub.heif")),
       Verdict::kIntact, -1, 10000}};
  for (const Sample& sample : made) files.push_back({sample.name, sample.extension, sample.bytes});
  if (made.size() != 2) ADD_FAILURE() << "ImageMagick did not write HEIC and AVIF";
  const Bytes foreign = ReadFileBytes(TestData("corpus/jpg/DSCN0010.jpg"));
  for (const Checked& file : files) {
    ExpectChecks(file, foreign);
    // Without decoding, a whole photo cannot be told; zeros in an HEVC tile break its
    // emulation prevention at the third zero.
    salvor::MemorySpan whole(file.bytes);
    EXPECT_EQ(salvor::ValidateHeifUnits(whole).verdict, Verdict::kCannotTell) << file.name;
    if (file.type == "avif") continue;
    const size_t at = file.bytes.size() / 2;
    const Bytes zeroed = Overwritten(file.bytes, at, 512, Bytes(1, 0));
    salvor::MemorySpan span(zeroed);
    const Validation v = salvor::ValidateHeifUnits(span);
    EXPECT_EQ(v.verdict, Verdict::kDamaged) << file.name;
    EXPECT_GE(v.damagedAt, static_cast<long long>(at)) << file.name << ": " << Describe(v);
    EXPECT_LE(v.damagedAt, static_cast<long long>(at) + 2) << file.name;  // 00 00 is fine
    EXPECT_LE(v.goodUntil, static_cast<long long>(at)) << file.name;
  }

  // The collector's sample kept its boxes but not its coded data: the first NAL unit's
  // length runs past its item.
  const Bytes sample = ReadFileBytes(TestData("corpus/format-samples/QuickTime.heic"));
  const Validation v = Check("heic", sample);
  EXPECT_EQ(v.verdict, Verdict::kDamaged) << Describe(v);
  EXPECT_EQ(v.damagedAt, 571 + 8) << Describe(v);  // the first mdat's data
}

}  // namespace
