// JPEG through libjpeg-turbo: the EXIF thumbnail when it is large enough and the file is
// whole, else the picture decoded at 1/2, 1/4 or 1/8 of its size by DCT scaling.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <memory>
#include <cstring>

#include "modules/preview/Decoders.h"

namespace salvor {

namespace {

unsigned Get16(const uint8_t* p, bool little) {
  return little ? p[0] | p[1] << 8 : p[0] << 8 | p[1];
}
uint32_t Get32(const uint8_t* p, bool little) {
  return little
             ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
             : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// The value of `tag` in the IFD at `ifd` of a TIFF block (an offset or a short/long); false
// when absent or outside the block.
bool IfdValue(const uint8_t* tiff, size_t size, uint32_t ifd, unsigned tag, uint32_t* value,
              uint32_t* count = nullptr) {
  const bool little = tiff[0] == 'I';
  if (ifd < 8 || size < 2 || ifd > size - 2) return false;
  const unsigned entries = Get16(tiff + ifd, little);
  for (unsigned i = 0; i < entries && i < 512; ++i) {
    const size_t at = ifd + 2 + size_t(i) * 12;
    if (at + 12 > size) return false;
    if (Get16(tiff + at, little) != tag) continue;
    const unsigned type = Get16(tiff + at + 2, little);
    if (count != nullptr) *count = Get32(tiff + at + 4, little);
    *value = type == 3 ? Get16(tiff + at + 8, little) : Get32(tiff + at + 8, little);
    return true;
  }
  return false;
}

bool IsTiffHeader(const uint8_t* p, size_t size) {
  return size >= 8 && ((p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) ||
                       (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42));
}

// The EXIF block of a JPEG (its TIFF header onwards), found among the first segments.
bool FindExif(const uint8_t* data, size_t size, const uint8_t** tiff, size_t* tiffSize) {
  size_t at = 2;
  for (int segment = 0; segment < 16 && at + 4 <= size; ++segment) {
    if (data[at] != 0xFF) return false;
    const uint8_t marker = data[at + 1];
    if (marker == 0xDA || marker == 0xD9) return false;
    const size_t length = Get16(data + at + 2, false);
    if (length < 2 || at + 2 + length > size) return false;
    if (marker == 0xE1 && length >= 16 && std::memcmp(data + at + 4, "Exif\0\0", 6) == 0 &&
        IsTiffHeader(data + at + 10, length - 8)) {
      *tiff = data + at + 10;
      *tiffSize = length - 8;
      return true;
    }
    at += 2 + length;
  }
  return false;
}

struct DecodeError {
  jpeg_error_mgr manager;
  jmp_buf jump;
  const CDeadline* deadline;
  int warnings;
};

void DecodeFailed(j_common_ptr info) {
  longjmp(reinterpret_cast<DecodeError*>(info->err)->jump, 1);
}

// Damaged data gives a warning per restart or segment; a flood of them, or the time running
// out, ends the decoding with what was decoded so far.
void DecodeWarning(j_common_ptr info, int level) {
  auto* error = reinterpret_cast<DecodeError*>(info->err);
  if (level < 0 && (++error->warnings > 2000 || error->deadline->Passed())) longjmp(error->jump, 1);
}

void CheckTime(j_common_ptr info) {
  auto* error = reinterpret_cast<DecodeError*>(info->err);
  if (error->deadline->Passed()) longjmp(error->jump, 1);
}

// Decodes one JPEG stream; see DecodeJpeg.
bool DecodeStream(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  jpeg_decompress_struct info{};
  DecodeError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = DecodeFailed;
  error.manager.emit_message = DecodeWarning;
  error.deadline = &request.deadline;
  jpeg_progress_mgr progress{};
  progress.progress_monitor = CheckTime;
  // Declared before setjmp and only changed through pointers after it.
  std::unique_ptr<CRowScaler> scaler;
  std::vector<uint8_t> row;
  volatile bool started = false;
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&info);
    if (scaler == nullptr || scaler->RowsAdded() == 0) return started && !request.picture;
    out.rgb = scaler->Finish();
    out.rgbWidth = scaler->TargetWidth();
    out.rgbHeight = scaler->TargetHeight();
    return true;
  }
  jpeg_create_decompress(&info);
  info.progress = &progress;
  // Beyond this the library gives up rather than take the memory (progressive files keep
  // every coefficient).
  info.mem->max_memory_to_use = 512L << 20;
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&info, TRUE);
  out.width = static_cast<int>(info.image_width);
  out.height = static_cast<int>(info.image_height);
  started = true;
  if (!request.picture) {
    jpeg_destroy_decompress(&info);
    return true;
  }
  if (static_cast<long long>(info.image_width) * info.image_height > request.limits.maxPixels)
    longjmp(error.jump, 1);
  int fitWidth, fitHeight;
  FitInto(out.width, out.height, request.maxWidth, request.maxHeight, &fitWidth, &fitHeight);
  info.scale_num = 1;
  info.scale_denom = 1;
  for (unsigned denom : {8u, 4u, 2u}) {
    if (out.width / static_cast<int>(denom) >= fitWidth &&
        out.height / static_cast<int>(denom) >= fitHeight) {
      info.scale_denom = denom;
      break;
    }
  }
  const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  info.dct_method = JDCT_IFAST;
  jpeg_start_decompress(&info);
  const int width = static_cast<int>(info.output_width);
  const int height = static_cast<int>(info.output_height);
  scaler = std::make_unique<CRowScaler>(width, height, fitWidth, fitHeight);
  row.resize(static_cast<size_t>(width) * 4);
  while (info.output_scanline < info.output_height) {
    const int y = static_cast<int>(info.output_scanline);
    JSAMPROW rows[1] = {row.data()};
    if (jpeg_read_scanlines(&info, rows, 1) != 1) break;
    if (cmyk) {
      // Adobe writes CMYK inverted: each channel times black is the colour.
      for (int x = 0; x < width; ++x) {
        uint8_t* p = &row[static_cast<size_t>(x) * 4];
        const unsigned k = p[3];
        p[0] = static_cast<uint8_t>(p[0] * k / 255);
        p[1] = static_cast<uint8_t>(p[1] * k / 255);
        p[2] = static_cast<uint8_t>(p[2] * k / 255);
        p[3] = 255;
      }
      scaler->AddRow(y, row.data(), 4);
    } else {
      scaler->AddRow(y, row.data(), 3);
    }
  }
  // A cut file ends here without its EOI: what was read is the picture.
  jpeg_abort_decompress(&info);
  jpeg_destroy_decompress(&info);
  out.rgb = scaler->Finish();
  out.rgbWidth = scaler->TargetWidth();
  out.rgbHeight = scaler->TargetHeight();
  return true;
}

}  // namespace

std::string ExifDate(const uint8_t* tiff, size_t size) {
  if (!IsTiffHeader(tiff, size)) return std::string();
  const bool little = tiff[0] == 'I';
  const uint32_t ifd0 = Get32(tiff + 4, little);
  uint32_t exif = 0, at = 0, count = 0;
  if (!(IfdValue(tiff, size, ifd0, 0x8769, &exif) &&
        IfdValue(tiff, size, exif, 0x9003, &at, &count)) &&
      !IfdValue(tiff, size, ifd0, 0x0132, &at, &count))
    return std::string();
  if (count < 19 || at > size || size - at < 19) return std::string();
  // "YYYY:MM:DD HH:MM:SS"
  std::string text(reinterpret_cast<const char*>(tiff + at), 19);
  for (size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u, 11u, 12u, 14u, 15u, 17u, 18u})
    if (text[i] < '0' || text[i] > '9') return std::string();
  if (text.compare(0, 4, "0000") == 0) return std::string();
  text[4] = text[7] = '-';
  text[10] = 'T';
  return text;
}

bool DecodeJpeg(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  const uint8_t* tiff = nullptr;
  size_t tiffSize = 0;
  const bool hasExif = FindExif(data, size, &tiff, &tiffSize);
  if (hasExif) out.date = ExifDate(tiff, tiffSize);
  if (!DecodeStream(data, size,
                    DecodeRequest{request.maxWidth, request.maxHeight, false, request.limits,
                                  request.deadline},
                    out))
    return false;
  if (!request.picture) return true;
  // The camera's own thumbnail (IFD1) spares decoding the picture, but only of a whole file:
  // a damaged one must show how much of it is left.
  const bool whole = size >= 2 && data[size - 2] == 0xFF && data[size - 1] == 0xD9;
  uint32_t ifd1 = 0, offset = 0, length = 0;
  if (hasExif && whole) {
    const bool little = tiff[0] == 'I';
    const uint32_t ifd0 = Get32(tiff + 4, little);
    if (ifd0 >= 8 && tiffSize >= 2 && ifd0 <= tiffSize - 2) {
      const size_t next = ifd0 + 2 + size_t(Get16(tiff + ifd0, little)) * 12;
      if (next + 4 <= tiffSize) ifd1 = Get32(tiff + next, little);
    }
  }
  if (ifd1 != 0 && IfdValue(tiff, tiffSize, ifd1, 0x0201, &offset) &&
      IfdValue(tiff, tiffSize, ifd1, 0x0202, &length) && offset < tiffSize &&
      length <= tiffSize - offset && length > 4) {
    Decoded thumb;
    const int wantSide = std::min(request.maxWidth, request.maxHeight) / 2;
    if (DecodeStream(tiff + offset, length, request, thumb) &&
        std::max(thumb.width, thumb.height) >= wantSide && !thumb.rgb.empty()) {
      out.rgb = std::move(thumb.rgb);
      out.rgbWidth = thumb.rgbWidth;
      out.rgbHeight = thumb.rgbHeight;
      return true;
    }
  }
  Decoded full;
  if (!DecodeStream(data, size, request, full)) return false;
  out.rgb = std::move(full.rgb);
  out.rgbWidth = full.rgbWidth;
  out.rgbHeight = full.rgbHeight;
  return true;
}

bool DecodeEmbeddedJpeg(const uint8_t* data, size_t size, const DecodeRequest& request,
                        Decoded& out) {
  // Every SOI followed by a marker is a candidate; the one of the most pixels wins.
  size_t best = size, bestLength = 0;
  long long bestPixels = 0;
  int tried = 0;
  for (size_t at = 0; at + 4 < size && tried < 64;) {
    const void* found = std::memchr(data + at, 0xFF, size - at - 3);
    if (found == nullptr) break;
    at = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (data[at + 1] == 0xD8 && data[at + 2] == 0xFF && at > 0) {
      ++tried;
      Decoded header;
      if (DecodeStream(data + at, size - at,
                       DecodeRequest{1, 1, false, request.limits, request.deadline}, header) &&
          static_cast<long long>(header.width) * header.height > bestPixels) {
        bestPixels = static_cast<long long>(header.width) * header.height;
        best = at;
        bestLength = size - at;
      }
    }
    ++at;
  }
  if (best == size) return false;
  Decoded picture;
  if (!DecodeStream(data + best, bestLength, request, picture)) return false;
  out.rgb = std::move(picture.rgb);
  out.rgbWidth = picture.rgbWidth;
  out.rgbHeight = picture.rgbHeight;
  if (out.width == 0) {
    out.width = picture.width;
    out.height = picture.height;
  }
  return true;
}

}  // namespace salvor
