// The preview module as the gallery uses it: loaded by the engine, asked through the preview
// interface for a thumbnail and the size and date of every kind of file it knows.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <memory>

#include <jpeglib.h>
#include <libheif/heif.h>

#include <string>
#include <vector>

#include "salvor/CPhotoRecovery.h"
#include "salvor/CPreviewHandler.h"
#include "tests/support/MemoryStream.h"
#include "tests/support/ScanHarness.h"

using namespace testing_support;

namespace {

CPreviewHandler* Handler() {
  static CPreviewHandler* handler = [] {
    CPhotoRecovery* engine = GetSVSingleton();
    engine->AddPreviewPlugin((std::string(SALVOR_MODULE_DIR) + "/preview.so").c_str());
    for (int i = 0; i < engine->GetPreviewHandlerCount(); ++i)
      if (std::string(engine->GetPreviewHandler(i)->GetUniqueID()) == "preview.media")
        return engine->GetPreviewHandler(i);
    return static_cast<CPreviewHandler*>(nullptr);
  }();
  return handler;
}

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

// The width and height of a JPEG that decodes whole, 0 x 0 otherwise, and its mean colour.
std::pair<int, int> JpegSize(const std::vector<unsigned char>& bytes, double* mean = nullptr) {
  jpeg_decompress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr i) {
    longjmp(reinterpret_cast<JpegError*>(i->err)->jump, 1);
  };
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return {0, 0};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  std::vector<unsigned char> row(info.output_width * info.output_components);
  double sums[3] = {};
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&info, rows, 1);
    for (size_t i = 0; i < row.size(); ++i) sums[i % 3] += row[i];
  }
  for (int c = 0; mean != nullptr && c < 3; ++c)
    mean[c] = sums[c] / (static_cast<double>(info.output_width) * info.output_height);
  jpeg_finish_decompress(&info);
  const std::pair<int, int> size(static_cast<int>(info.image_width),
                                 static_cast<int>(info.image_height));
  jpeg_destroy_decompress(&info);
  return size;
}

struct Case {
  const char* file;
  double keep;  // share of the file handed over (a cut file is a damaged one)
  int width;    // as the file states it; 0: a sound file
  int height;
  const char* date;  // the date it records, "" for none
};

}  // namespace

TEST(PreviewModule, EveryFormatGetsAThumbnailWithinTheBox) {
  CPreviewHandler* handler = Handler();
  ASSERT_NE(handler, nullptr);
  // The corpus's RAW, PSD, movie and MP3 samples carry metadata only, no picture or sound:
  // movies and sound are made here with ffmpeg, a Photoshop file and a large BMP with
  // ImageMagick.
  const std::string made = ScratchDir("preview");
  const bool haveFfmpeg = HaveTool("ffmpeg");
  if (haveFfmpeg) {
    ASSERT_TRUE(testing_support::Run(
        "cd '" + made + "' && ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=10 " +
        "-t 1 -pix_fmt yuv420p -metadata creation_time=2024-05-06T07:08:09Z movie.mp4 " +
        "&& ffmpeg -v error -i movie.mp4 -c copy movie.mkv " +
        "&& ffmpeg -v error -f lavfi -i sine=duration=1 sound.mp3"));
  }
  const bool haveConvert = HaveTool("convert");
  if (haveConvert) {
    ASSERT_TRUE(testing_support::Run("cd '" + made +
                                     "' && convert -size 300x200 plasma:fractal -seed 2 "
                                     "-depth 16 -compress RLE picture.psd && convert "
                                     "'picture.psd[0]' -depth 8 BMP3:picture.bmp"));
  }
  std::vector<Case> cases = {
      {"corpus/jpg/Canon_40D.jpg", 1, 100, 68, "2008-05-30T15:56:01"},
      {"corpus/jpg/DSCN0010.jpg", 0.5, 640, 480, "2008-10-22T16:28:39"},
      {"corpus/jpg/landscape_3.jpg", 1, 600, 450, ""},
      {"corpus/jpg/landscape_3.jpg", 0.4, 600, 450, ""},
      {"corpus/format-samples/PNG.png", 1, 16, 16, ""},
      {"corpus/format-samples/PNG.png", 0.6, 16, 16, ""},
      {"corpus/format-samples/GIF.gif", 1, 8, 8, ""},
      {"corpus/format-samples/RIFF.webp", 1, 1, 1, ""},
      {"corpus/format-samples/BMP.bmp", 1, 8, 8, ""},
      {"corpus/heic/IMG_5195.HEIC", 1, 2566, 3313, ""},
      {"corpus/tiff/Arbitro.tiff", 1, 174, 38, ""},
      {"corpus/format-samples/DNG.dng", 1, 8, 8, "2005-08-03T18:59:18"},
      {"corpus/format-samples/RIFF.wav", 1, 0, 0, ""},
  };
  if (haveFfmpeg) {
    cases.push_back({"movie.mp4", 1, 320, 240, "2024-05-06T07:08:09Z"});
    cases.push_back({"movie.mkv", 0.7, 320, 240, ""});  // an MP4 cut before its moov has nothing
    cases.push_back({"movie.mkv", 1, 320, 240, ""});
    cases.push_back({"sound.mp3", 1, 0, 0, ""});
  }
  if (haveConvert) {
    cases.push_back({"picture.psd", 1, 300, 200, ""});  // 16-bit, PackBits
    cases.push_back({"picture.psd", 0.7, 300, 200, ""});
    cases.push_back({"picture.bmp", 0.5, 300, 200, ""});  // FFmpeg refuses a cut BMP
  }
  constexpr int kBox = 160;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " x" + std::to_string(c.keep));
    const std::string path = c.file[0] == 'c' ? TestData(c.file) : made + "/" + c.file;
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * c.keep));
    MemoryStream file(bytes);
    const int size = handler->MakeThumbnail(&file, kBox, kBox, nullptr, 0);
    EXPECT_GT(size, 0);
    if (size <= 0) continue;
    std::vector<unsigned char> thumbnail(static_cast<size_t>(size));
    ASSERT_EQ(handler->MakeThumbnail(&file, kBox, kBox, thumbnail.data(), size), size);
    const auto [width, height] = JpegSize(thumbnail);
    EXPECT_TRUE(width > 0 && height > 0 && width <= kBox && height <= kBox)
        << width << "x" << height;
    int fileWidth = -1, fileHeight = -1;
    char date[32] = "";
    ASSERT_TRUE(handler->GetPreviewInfo(&file, &fileWidth, &fileHeight, date, sizeof date));
    EXPECT_EQ(std::to_string(fileWidth) + "x" + std::to_string(fileHeight) + " " + date,
              std::to_string(c.width) + "x" + std::to_string(c.height) + " " + c.date);
  }
}

// A HEIF photo is scaled from its separate colour planes: its thumbnail has the colours of
// libheif's own RGB picture of it.
TEST(PreviewModule, HeifThumbnailKeepsThePhotosColours) {
  const std::vector<uint8_t> bytes = ReadFileBytes(TestData("corpus/heic/IMG_5195.HEIC"));
  std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(),
                                                                 heif_context_free);
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  ASSERT_EQ(
      heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr)
          .code,
      heif_error_Ok);
  ASSERT_EQ(heif_context_get_primary_image_handle(context.get(), &handle).code, heif_error_Ok);
  heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
  heif_image_handle_release(handle);
  ASSERT_NE(image, nullptr);
  int stride = 0;
  const uint8_t* pixels = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  const int width = heif_image_get_width(image, heif_channel_interleaved);
  const int height = heif_image_get_height(image, heif_channel_interleaved);
  double expected[3] = {};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width * 3; ++x) expected[x % 3] += pixels[y * stride + x];
  heif_image_release(image);

  MemoryStream file(bytes);
  std::vector<unsigned char> thumbnail(64 * 1024);
  const int size = Handler()->MakeThumbnail(&file, 160, 160, thumbnail.data(),
                                            static_cast<int>(thumbnail.size()));
  ASSERT_GT(size, 0);
  thumbnail.resize(static_cast<size_t>(size));
  double mean[3] = {};
  JpegSize(thumbnail, mean);
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(mean[c], expected[c] / (static_cast<double>(width) * height), 3.0)
        << "channel " << c;
}

TEST(PreviewModule, NoiseAndNothingGiveNoThumbnail) {
  CPreviewHandler* handler = Handler();
  ASSERT_NE(handler, nullptr);
  std::vector<uint8_t> jpegHeaderOnly = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10};
  std::vector<uint8_t> noise(4096);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 7919 >> 3);
  for (const auto& bytes : {std::vector<uint8_t>(), jpegHeaderOnly, noise}) {
    MemoryStream file(bytes);
    unsigned char buffer[64];
    EXPECT_EQ(handler->MakeThumbnail(&file, 160, 160, buffer, sizeof buffer), 0);
  }
}
