#pragma once

#include <set>
#include <string>

namespace salvor {

// Lower case, and the one spelling per type that filters compare (jpeg -> jpg, tif -> tiff).
std::string CanonicalType(const std::string& extension);

// Keeps [a-z0-9] of a handler-supplied extension (lower-cased, at most 15 characters), so a
// misbehaving module can never steer a path. Empty when nothing is left.
std::string SanitizeExtension(const std::string& extension);

// The extension a recovered file is stored under: what DescribeFile said, else the handler's
// first extension, else "bin".
std::string ChooseExtension(const std::string& described, const char* handlerExtensions);

// File name of a file found at byte `offset` of the source: "f" (or "b" when damaged), the
// 512-byte sector number in 10 digits, then "_<byte in sector>" when the file does not start
// on a sector boundary, then "." extension. Built from the offset only, never from the data.
std::string RecoveredFileName(long long offset, bool damaged, const std::string& extension);

// Folders below the output folder that an original path may have (--names); deeper ones are
// joined into the last.
constexpr int kMaxNameDepth = 32;

// A file system's path for a recovered file, made safe to create below the output folder: no
// empty, "." or ".." parts, no control characters or backslashes, every part at most 200
// bytes, at most kMaxNameDepth folders. Empty when nothing usable is left.
std::string SafeRelativePath(const std::string& path);

// "DCIM/IMG_1.JPG" -> "DCIM/IMG_1 (damaged).JPG": a damaged file never looks intact.
std::string DamagedName(const std::string& path);

// Which files the user asked for (--types / --exclude), compared by CanonicalType.
class TypeFilter {
 public:
  TypeFilter(std::set<std::string> types, std::set<std::string> exclude);
  bool Accepts(const std::string& extension) const;
  // Whether a handler producing these ';'-separated extensions can yield a wanted file.
  bool WantsHandler(const char* extensions) const;

 private:
  std::set<std::string> FTypes;
  std::set<std::string> FExclude;
};

}  // namespace salvor
