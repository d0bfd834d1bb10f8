#include "modules/images/ImageReader.h"

// afflib's header needs the fixed-width types and stdio declared first.
#include <cstdint>
#include <cstdio>
// clang-format off
#include <afflib/afflib.h>
// clang-format on
#include <fcntl.h>
#include <libewf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace salvor::images {

namespace {

// The first bytes of the file, fewer when it is shorter; empty when it cannot be read.
std::string FirstBytes(const std::string& path, size_t count) {
  std::string bytes(count, '\0');
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  const ssize_t got = pread(fd, bytes.data(), count, 0);
  close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

bool StartsWith(const std::string& bytes, const char* magic, size_t length) {
  return bytes.size() >= length && std::memcmp(bytes.data(), magic, length) == 0;
}

}  // namespace

bool LooksLikeEwf(const std::string& path) {
  const std::string start = FirstBytes(path, 8);
  // EWF 1 media (E01) and logical (L01).
  return StartsWith(start, "EVF\x09\x0d\x0a\xff\x00", 8) ||
         StartsWith(start, "LVF\x09\x0d\x0a\xff\x00", 8);
}

bool LooksLikeEwf2(const std::string& path) {
  const std::string start = FirstBytes(path, 8);
  // EWF 2 media (Ex01) and logical (Lx01).
  return StartsWith(start, "EVF2\x0d\x0a\x81\x00", 8) ||
         StartsWith(start, "LEF2\x0d\x0a\x81\x00", 8);
}

bool LooksLikeAff(const std::string& path) {
  return StartsWith(FirstBytes(path, 8), "AFF10\r\n\0", 8);
}

bool CImageReader::NoteSegments(std::vector<std::string> segments) {
  FSegmentBytes.clear();
  for (const std::string& segment : segments) {
    struct stat info {};
    if (stat(segment.c_str(), &info) != 0) return false;
    FSegmentBytes.push_back(info.st_size);
  }
  FFacts.segments = std::move(segments);
  return true;
}

bool CImageReader::FilesPresent() const {
  for (size_t i = 0; i < FFacts.segments.size(); ++i) {
    struct stat info {};
    if (stat(FFacts.segments[i].c_str(), &info) != 0 || info.st_size < FSegmentBytes[i])
      return false;
  }
  return true;
}

std::unique_ptr<CImageReader> OpenImage(const std::string& path, std::string& error) {
  error.clear();
  if (LooksLikeEwf(path)) return OpenEwf(path, error);
  if (LooksLikeEwf2(path)) {
    error = std::string("an EWF2 (Ex01) image, which libewf ") + LIBEWF_VERSION_STRING +
            " does not read: export it to E01 or raw with a newer ewfexport";
    return nullptr;
  }
  if (LooksLikeAff(path)) return OpenAff(path, error);
  return OpenSplitRaw(path, error);
}

std::string FormatsRead() {
  return std::string("EWF: EnCase .E01 and its segments .E02...; .L01 as far as libewf ") +
         LIBEWF_VERSION_STRING +
         " reads it (Ex01 is recognised, not read)\n"
         "AFF: .aff files, through afflib " +
         af_version() +
         "\n"
         "split raw: image.001, image.002, ... (or .000, .00 on) and image.aa, image.ab, ...\n";
}

}  // namespace salvor::images
