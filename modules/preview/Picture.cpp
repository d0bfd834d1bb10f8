#include "modules/preview/Picture.h"

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

namespace salvor {

void FitInto(int width, int height, int maxWidth, int maxHeight, int* fitWidth, int* fitHeight) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  maxWidth = std::max(maxWidth, 1);
  maxHeight = std::max(maxHeight, 1);
  if (width <= maxWidth && height <= maxHeight) {
    *fitWidth = width;
    *fitHeight = height;
    return;
  }
  // Compare width/maxWidth with height/maxHeight without dividing.
  if (static_cast<long long>(width) * maxHeight >= static_cast<long long>(height) * maxWidth) {
    *fitWidth = maxWidth;
    *fitHeight = static_cast<int>(std::max(1LL, static_cast<long long>(height) * maxWidth / width));
  } else {
    *fitHeight = maxHeight;
    *fitWidth = static_cast<int>(std::max(1LL, static_cast<long long>(width) * maxHeight / height));
  }
}

CRowScaler::CRowScaler(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight)
    : FSourceWidth(std::max(sourceWidth, 1)),
      FSourceHeight(std::max(sourceHeight, 1)),
      FTargetWidth(std::max(targetWidth, 1)),
      FTargetHeight(std::max(targetHeight, 1)),
      FSums(static_cast<size_t>(FTargetWidth) * FTargetHeight * 4, 0),
      FColumnOf(static_cast<size_t>(FSourceWidth)) {
  for (int x = 0; x < FSourceWidth; ++x)
    FColumnOf[static_cast<size_t>(x)] =
        static_cast<int>(static_cast<long long>(x) * FTargetWidth / FSourceWidth);
}

void CRowScaler::AddRow(int y, const uint8_t* pixels, int channels) {
  if (y < 0 || y >= FSourceHeight) return;
  ++FRowsAdded;
  const int row = static_cast<int>(static_cast<long long>(y) * FTargetHeight / FSourceHeight);
  uint32_t* sums = &FSums[static_cast<size_t>(row) * FTargetWidth * 4];
  for (int x = 0; x < FSourceWidth; ++x) {
    const uint8_t* p = pixels + static_cast<size_t>(x) * channels;
    uint32_t r, g, b;
    if (channels == 1) {
      r = g = b = p[0];
    } else if (channels == 4) {
      // Over white, the gallery's ground.
      const uint32_t a = p[3];
      r = (p[0] * a + 255 * (255 - a)) / 255;
      g = (p[1] * a + 255 * (255 - a)) / 255;
      b = (p[2] * a + 255 * (255 - a)) / 255;
    } else {
      r = p[0];
      g = p[1];
      b = p[2];
    }
    uint32_t* s = sums + static_cast<size_t>(FColumnOf[static_cast<size_t>(x)]) * 4;
    s[0] += r;
    s[1] += g;
    s[2] += b;
    s[3] += 1;
  }
}

std::vector<uint8_t> CRowScaler::Finish() const {
  std::vector<uint8_t> rgb(static_cast<size_t>(FTargetWidth) * FTargetHeight * 3, 128);
  for (size_t i = 0, n = static_cast<size_t>(FTargetWidth) * FTargetHeight; i < n; ++i) {
    const uint32_t* s = &FSums[i * 4];
    if (s[3] == 0) continue;
    for (int c = 0; c < 3; ++c)
      rgb[i * 3 + static_cast<size_t>(c)] = static_cast<uint8_t>(s[c] / s[3]);
  }
  return rgb;
}

namespace {

struct EncodeError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void EncodeFailed(j_common_ptr info) {
  longjmp(reinterpret_cast<EncodeError*>(info->err)->jump, 1);
}

}  // namespace

std::vector<uint8_t> EncodeJpeg(const std::vector<uint8_t>& rgb, int width, int height) {
  if (width <= 0 || height <= 0 || rgb.size() < static_cast<size_t>(width) * height * 3) return {};
  jpeg_compress_struct info{};
  EncodeError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = EncodeFailed;
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_compress(&info);
    std::free(out);
    return {};
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &out, &outSize);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 80, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(&rgb[static_cast<size_t>(info.next_scanline) * width * 3]);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uint8_t> encoded(out, out + outSize);
  std::free(out);
  return encoded;
}

std::vector<uint8_t> SoundIcon(int maxWidth, int maxHeight) {
  const int size = std::max(8, std::min({maxWidth, maxHeight, 256}));
  std::vector<uint8_t> rgb(static_cast<size_t>(size) * size * 3, 0xe4);
  auto dot = [&](int x, int y) {
    if (x >= 0 && y >= 0 && x < size && y < size)
      for (int c = 0; c < 3; ++c) rgb[(static_cast<size_t>(y) * size + x) * 3 + c] = 0x50;
  };
  // A quaver: a filled head, a stem and a flag.
  const int r = size / 9, cx = size * 2 / 5, cy = size * 2 / 3, stem = cx + r - 1;
  for (int y = cy - r; y <= cy + r; ++y)
    for (int x = cx - r - r / 3; x <= cx + r + r / 3; ++x) {
      const long long dx = (x - cx) * 3LL, dy = (y - cy) * 4LL;
      if (dx * dx * 16 / 9 + dy * dy <= 16LL * r * r) dot(x, y);
    }
  for (int y = size / 5; y <= cy; ++y)
    for (int w = 0; w < std::max(2, size / 40); ++w) dot(stem - w, y);
  for (int i = 0; i < size / 6; ++i)
    for (int w = 0; w < std::max(2, size / 30); ++w) dot(stem + i, size / 5 + i + w);
  return EncodeJpeg(rgb, size, size);
}

}  // namespace salvor
