#pragma once

// Reading the fields of the file-system structures the scan finds itself (FAT folders, NTFS
// records): little-endian numbers and UTF-16 names.
#include <cstddef>
#include <cstdint>
#include <string>

namespace salvor {

inline uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}
inline uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

// UTF-16 code units as UTF-8, up to the first NUL or 0xFFFF (FAT pads long names with them);
// half of a surrogate pair becomes '?': names of photos do not need them.
inline std::string Utf8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c == 0 || c == 0xffff) break;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xc0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c >= 0xd800 && c < 0xe000) {
      out += '?';
    } else {
      out += static_cast<char>(0xe0 | c >> 12);
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

// `units` little-endian UTF-16 code units at p.
inline std::u16string Utf16(const uint8_t* p, size_t units) {
  std::u16string text;
  for (size_t i = 0; i < units; ++i) text += static_cast<char16_t>(Le16(p + 2 * i));
  return text;
}

}  // namespace salvor
