#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "modules/preview/Picture.h"
#include "modules/preview/Thumbnailer.h"

namespace salvor {

// One decoder's work: the picture's size as stored and, when asked, the picture scaled into
// the box as RGB rows.
struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
  int rgbWidth = 0;
  int rgbHeight = 0;
  std::string date;
};

// What every decoder is handed: the box, whether a picture is wanted, and its bounds.
struct DecodeRequest {
  int maxWidth;
  int maxHeight;
  bool picture;
  const PreviewLimits& limits;
  const CDeadline& deadline;
};

// Stills, from the whole file in memory. True when the size is known and, when a picture was
// asked, some of it decoded.
bool DecodeJpeg(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out);
bool DecodePng(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out);
bool DecodeGif(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out);
bool DecodeWebp(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out);
bool DecodeHeif(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out);
bool DecodeTiff(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out);
bool DecodePsd(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out);
bool DecodeBmp(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out);
// The largest JPEG a camera RAW (or any file) carries inside it.
bool DecodeEmbeddedJpeg(const uint8_t* data, size_t size, const DecodeRequest& request,
                        Decoded& out);
// The date an EXIF block (TIFF header onwards) records: DateTimeOriginal, else DateTime.
std::string ExifDate(const uint8_t* tiff, size_t size);

// Movies, and anything else FFmpeg reads (BMP, PSD, ...), read through the source in pieces:
// the first frame that decodes. `sound` is set for a file with sound and no picture.
bool DecodeWithFfmpeg(CByteSource& file, const DecodeRequest& request, Decoded& out, bool* sound);

}  // namespace salvor
