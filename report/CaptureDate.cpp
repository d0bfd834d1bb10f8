#include "report/CaptureDate.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace salvor {

namespace {

// EXIF sits in the first APP1 segment, at most 64 KiB long.
constexpr long long kExifWindow = 1 << 16;

// Reads inside [0, size) only; every failed read gives false.
class CBytes {
 public:
  CBytes(const uint8_t* data, size_t size, bool bigEndian = true)
      : FData(data), FSize(size), FBig(bigEndian) {}
  size_t Size() const { return FSize; }
  bool U16(size_t at, uint16_t& value) const {
    if (at > FSize || FSize - at < 2) return false;
    value = FBig ? static_cast<uint16_t>(FData[at] << 8 | FData[at + 1])
                 : static_cast<uint16_t>(FData[at + 1] << 8 | FData[at]);
    return true;
  }
  bool U32(size_t at, uint32_t& value) const {
    if (at > FSize || FSize - at < 4) return false;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | FData[at + (FBig ? i : 3 - i)];
    value = v;
    return true;
  }
  bool U64(size_t at, uint64_t& value) const {
    uint32_t high = 0, low = 0;
    if (!U32(at, high) || !U32(at + 4, low)) return false;
    value = static_cast<uint64_t>(high) << 32 | low;
    return true;
  }
  bool Text(size_t at, size_t length, std::string& text) const {
    if (at > FSize || FSize - at < length) return false;
    text.assign(reinterpret_cast<const char*>(FData + at), length);
    return true;
  }
  bool Is(size_t at, const char* magic, size_t length) const {
    return at <= FSize && FSize - at >= length && std::memcmp(FData + at, magic, length) == 0;
  }
  CBytes Sub(size_t at, size_t length, bool bigEndian) const {
    if (at > FSize) return CBytes(FData, 0, bigEndian);
    return CBytes(FData + at, length < FSize - at ? length : FSize - at, bigEndian);
  }

 private:
  const uint8_t* FData;
  size_t FSize;
  bool FBig;
};

// "2008:05:30 15:56:01" -> "2008-05-30T15:56:01"; empty when it is not such a date.
std::string ExifTime(const std::string& text) {
  if (text.size() < 19) return std::string();
  for (size_t i = 0; i < 19; ++i) {
    const char c = text[i];
    const bool digit = c >= '0' && c <= '9';
    if ((i == 4 || i == 7)     ? c != ':'
        : i == 10              ? c != ' '
        : (i == 13 || i == 16) ? c != ':'
                               : !digit)
      return std::string();
  }
  if (text.compare(0, 4, "0000") == 0) return std::string();  // cameras without a clock
  std::string time = text.substr(0, 19);
  time[4] = time[7] = '-';
  time[10] = 'T';
  return time;
}

// The IFD entry `tag` of the IFD at `ifd`: its value or offset field. False when absent.
bool FindTag(const CBytes& tiff, uint32_t ifd, uint16_t tag, uint32_t& count, uint32_t& value) {
  uint16_t entries = 0;
  if (!tiff.U16(ifd, entries)) return false;
  for (uint32_t i = 0; i < entries && i < 1024; ++i) {
    const size_t at = ifd + 2 + i * 12;
    uint16_t id = 0;
    if (!tiff.U16(at, id)) return false;
    if (id != tag) continue;
    return tiff.U32(at + 4, count) && tiff.U32(at + 8, value);
  }
  return false;
}

// DateTimeOriginal of a TIFF structure (EXIF block or TIFF file) starting at byte 0.
std::string TiffDate(const CBytes& whole) {
  const bool big = whole.Is(0, "MM\0*", 4);
  if (!big && !whole.Is(0, "II*\0", 4)) return std::string();
  const CBytes tiff = whole.Sub(0, whole.Size(), big);
  uint32_t ifd0 = 0, count = 0, exifIfd = 0, offset = 0;
  std::string text;
  if (!tiff.U32(4, ifd0) || !FindTag(tiff, ifd0, 0x8769, count, exifIfd) ||
      !FindTag(tiff, exifIfd, 0x9003, count, offset) || count < 19 || !tiff.Text(offset, 19, text))
    return std::string();
  return ExifTime(text);
}

std::string JpegDate(const CBytes& jpeg) {
  // Segments up to the first scan; the EXIF block is normally the first.
  size_t at = 2;
  for (int segments = 0; segments < 64; ++segments) {
    uint16_t marker = 0, length = 0;
    if (!jpeg.U16(at, marker) || (marker >> 8) != 0xFF || marker == 0xFFDA ||
        !jpeg.U16(at + 2, length) || length < 2)
      return std::string();
    if (marker == 0xFFE1 && jpeg.Is(at + 4, "Exif\0\0", 6))
      return TiffDate(jpeg.Sub(at + 10, length - 8u, true));
    at += 2 + length;
  }
  return std::string();
}

// mvhd's creation time (seconds since 1904, UTC), found through the top-level boxes.
std::string QuickTimeDate(const FileReader& read, long long fileSize) {
  long long at = 0;
  for (int boxes = 0; boxes < 256 && at + 8 <= fileSize; ++boxes) {
    uint8_t head[16];
    if (!read(at, 16 <= fileSize - at ? 16 : 8, head)) return std::string();
    const CBytes box(head, 16);
    uint32_t size32 = 0;
    box.U32(0, size32);
    long long size = size32;
    if (size32 == 1) {
      uint64_t size64 = 0;
      if (!box.U64(8, size64) || size64 > static_cast<uint64_t>(fileSize)) return std::string();
      size = static_cast<long long>(size64);
    } else if (size32 == 0) {
      size = fileSize - at;
    }
    if (size < 8) return std::string();
    if (box.Is(4, "moov", 4)) {
      // mvhd comes first in moov as every writer lays it out.
      uint8_t mvhd[32];
      if (!read(at + 8, sizeof mvhd, mvhd)) return std::string();
      const CBytes first(mvhd, sizeof mvhd);
      if (!first.Is(4, "mvhd", 4)) return std::string();
      uint64_t seconds = 0;
      uint32_t short32 = 0;
      if (first.Is(8, "\x01", 1) ? !first.U64(12, seconds) : !first.U32(12, short32))
        return std::string();
      if (!first.Is(8, "\x01", 1)) seconds = short32;
      constexpr uint64_t k1904To1970 = 2082844800ULL;
      if (seconds <= k1904To1970) return std::string();  // 0: never set
      const time_t unix = static_cast<time_t>(seconds - k1904To1970);
      struct tm parts {};
      char text[32] = "";
      if (gmtime_r(&unix, &parts) == nullptr) return std::string();
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
      return text;
    }
    at += size;
  }
  return std::string();
}

}  // namespace

CaptureDate FindCaptureDate(const FileReader& read, long long fileSize) {
  CaptureDate date;
  if (fileSize < 8) return date;
  uint8_t start[8];
  if (!read(0, sizeof start, start)) return date;
  const CBytes magic(start, sizeof start);
  if (magic.Is(4, "ftyp", 4)) {
    date.time = QuickTimeDate(read, fileSize);
    date.source = "quicktime";
  } else if (magic.Is(0, "\xFF\xD8", 2) || magic.Is(0, "MM\0*", 4) || magic.Is(0, "II*\0", 4)) {
    std::vector<uint8_t> head(static_cast<size_t>(fileSize < kExifWindow ? fileSize : kExifWindow));
    if (!read(0, head.size(), head.data())) return date;
    const CBytes bytes(head.data(), head.size());
    date.time = magic.Is(0, "\xFF\xD8", 2) ? JpegDate(bytes) : TiffDate(bytes);
    date.source = "exif";
  }
  if (date.time.empty()) date.source.clear();
  return date;
}

}  // namespace salvor
