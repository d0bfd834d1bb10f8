#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace salvor {

// The bytes of one recovered file, read at any offset.
class CByteSource {
 public:
  virtual ~CByteSource() = default;
  virtual long long Size() = 0;
  // Copies up to count bytes from offset; returns how many were copied.
  virtual long long ReadAt(long long offset, void* buffer, long long count) = 0;
};

// What a file shows of itself: its picture scaled into the box, as a baseline JPEG (empty
// when nothing decodes), its size in pixels and the date it records.
struct Preview {
  std::vector<uint8_t> jpeg;
  int width = 0;
  int height = 0;
  std::string date;  // "YYYY-MM-DDTHH:MM:SS", ending in Z when the file keeps UTC
};

// Every decoder stops at these, whatever the file says of itself.
struct PreviewLimits {
  long long maxPixels = 200LL << 20;      // of the picture as stored
  long long maxStillBytes = 128LL << 20;  // a still is read whole up to this
  std::chrono::milliseconds maxTime{3000};
};

// Tells the file's format by its first bytes and makes its preview with the library made for
// it: embedded previews first (EXIF thumbnails, camera RAWs' JPEGs, HEIF thumbnail items),
// then scaled decoding; a frame for movies, an icon for sound. `picture` false: only the size
// and date. False when the file's format is not one it knows or nothing of it can be read.
bool MakePreview(CByteSource& file, int maxWidth, int maxHeight, bool picture, Preview& out,
                 const PreviewLimits& limits = PreviewLimits());

}  // namespace salvor
