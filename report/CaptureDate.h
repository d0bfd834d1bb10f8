#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace salvor {

// When a photo or movie was taken, as the file itself records it.
struct CaptureDate {
  std::string time;    // "2008-05-30T15:56:01" (camera's local time: EXIF keeps no zone), or
                       // "2008-05-30T15:56:01Z" (QuickTime keeps UTC); empty when none
  std::string source;  // "exif" (DateTimeOriginal) or "quicktime" (mvhd creation time)
};

// Reads `length` bytes of the file from `offset`; false when they are not all there.
using FileReader = std::function<bool(long long offset, size_t length, uint8_t* out)>;

// Looks in a JPEG's EXIF block, a TIFF-based file's IFDs (both within the first 64 KiB) or an
// ISO media file's moov/mvhd box (found by its top-level box headers, wherever moov lies).
// Every read is bounds-checked; hostile offsets and counts give no date.
CaptureDate FindCaptureDate(const FileReader& read, long long fileSize);

}  // namespace salvor
