#include <libewf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "modules/images/ImageReader.h"

namespace salvor::images {

namespace {

// libewf's backtrace, innermost cause first, without the function names: "missing file;
// unable to retrieve segment file: 1 from list".
std::string TakeError(libewf_error_t*& error) {
  char text[2048] = "";
  if (error != nullptr) {
    libewf_error_backtrace_sprint(error, text, sizeof text);
    libewf_error_free(&error);
  }
  std::string reasons;
  int kept = 0;
  for (size_t at = 0; text[at] != '\0' && kept < 2;) {
    const char* line = text + at;
    const char* end = std::strchr(line, '\n');
    const size_t length = end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
    std::string message(line, length);
    const size_t colon = message.find(": ");
    if (colon != std::string::npos) message.erase(0, colon + 2);
    while (!message.empty() && (message.back() == '.' || message.back() == ' ')) message.pop_back();
    if (!message.empty()) {
      reasons += (kept++ > 0 ? "; " : "") + message;
    }
    at += length + (end != nullptr ? 1 : 0);
  }
  return reasons.empty() ? "unknown error" : reasons;
}

const char* FormatName(uint8_t format) {
  switch (format) {
    case LIBEWF_FORMAT_ENCASE1:
      return "EnCase 1";
    case LIBEWF_FORMAT_ENCASE2:
      return "EnCase 2";
    case LIBEWF_FORMAT_ENCASE3:
      return "EnCase 3";
    case LIBEWF_FORMAT_ENCASE4:
      return "EnCase 4";
    case LIBEWF_FORMAT_ENCASE5:
      return "EnCase 5";
    case LIBEWF_FORMAT_ENCASE6:
      return "EnCase 6";
    case LIBEWF_FORMAT_ENCASE7:
      return "EnCase 7";
    case LIBEWF_FORMAT_SMART:
      return "SMART";
    case LIBEWF_FORMAT_FTK_IMAGER:
      return "FTK Imager";
    case LIBEWF_FORMAT_LOGICAL_ENCASE5:
      return "EnCase 5 logical";
    case LIBEWF_FORMAT_LOGICAL_ENCASE6:
      return "EnCase 6 logical";
    case LIBEWF_FORMAT_LOGICAL_ENCASE7:
      return "EnCase 7 logical";
    case LIBEWF_FORMAT_LINEN5:
      return "linen 5";
    case LIBEWF_FORMAT_LINEN6:
      return "linen 6";
    case LIBEWF_FORMAT_LINEN7:
      return "linen 7";
    case LIBEWF_FORMAT_EWF:
      return "EWF";
    case LIBEWF_FORMAT_EWFX:
      return "EWFX";
    default:
      return "unknown variant";
  }
}

// An Expert Witness image (E01 and its segments) read through libewf. Chunks whose stored
// checksum fails, and chunks that do not decompress, are unreadable: every read that touches
// one fails, so the scan reads around them block by block and marks what spans them damaged.
class CEwfReader : public CImageReader {
 public:
  ~CEwfReader() override {
    libewf_error_t* error = nullptr;
    if (FHandle != nullptr) {
      libewf_handle_close(FHandle, &error);
      libewf_handle_free(&FHandle, &error);
    }
    if (error != nullptr) libewf_error_free(&error);
  }

  bool Open(const std::string& path, std::string& reason) {
    libewf_error_t* error = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) !=
        1) {
      reason = "cannot find the segment files: " + TakeError(error);
      return false;
    }
    std::vector<std::string> segments(names, names + count);
    const bool opened = libewf_handle_initialize(&FHandle, &error) == 1 &&
                        libewf_handle_open(FHandle, names, count, LIBEWF_OPEN_READ, &error) == 1;
    libewf_error_t* ignored = nullptr;
    libewf_glob_free(names, count, &ignored);
    if (ignored != nullptr) libewf_error_free(&ignored);
    if (!opened) {
      reason = "not a readable EWF image: " + TakeError(error);
      return false;
    }
    // The last segment found must close the image; otherwise one after it is missing.
    if (libewf_handle_segment_files_corrupted(FHandle, &error) != 0) {
      if (error != nullptr) libewf_error_free(&error);
      reason = "the image's segment files end early (found " + std::to_string(count) + ", " +
               segments.front() + (count > 1 ? " to " + segments.back() : std::string()) +
               "): a segment file is missing or cut short";
      return false;
    }
    size64_t mediaSize = 0;
    uint32_t sectorSize = 0;
    uint8_t format = 0;
    if (libewf_handle_get_media_size(FHandle, &mediaSize, &error) != 1 ||
        libewf_handle_get_bytes_per_sector(FHandle, &sectorSize, &error) != 1 ||
        libewf_handle_get_format(FHandle, &format, &error) != 1) {
      reason = "cannot read the image's media values: " + TakeError(error);
      return false;
    }
    if (sectorSize == 0 || sectorSize > (1u << 16) || mediaSize > (1ull << 62)) {
      reason = "the image records an impossible geometry";
      return false;
    }
    FMediaSize = static_cast<long long>(mediaSize);
    FSectorSize = sectorSize;
    FFacts.format = std::string("EWF (") + FormatName(format) + ")";
    FFacts.md5 = HashValue("MD5");
    FFacts.sha1 = HashValue("SHA1");
    for (const char* name : {"case_number", "evidence_number", "examiner_name", "description",
                             "notes", "acquiry_date"}) {
      const std::string value = HeaderValue(name);
      if (!value.empty()) FFacts.notes.emplace_back(name, value);
    }
    if (!NoteSegments(std::move(segments))) {
      reason = std::string("cannot open a segment file: ") + std::strerror(errno);
      return false;
    }
    return true;
  }

  long long MediaSize() const override { return FMediaSize; }
  long long SectorSize() const override { return FSectorSize; }

  bool Read(long long offset, size_t length, uint8_t* out, int& errorCode) override {
    libewf_error_t* error = nullptr;
    uint32_t before = 0;
    libewf_handle_get_number_of_checksum_errors(FHandle, &before, &error);
    const ssize_t got = libewf_handle_read_random(FHandle, out, length, offset, &error);
    if (error != nullptr) libewf_error_free(&error);
    if (got != static_cast<ssize_t>(length)) {
      std::memset(out + std::max<ssize_t>(got, 0), 0, length - std::max<ssize_t>(got, 0));
      errorCode = EIO;
      return false;
    }
    uint32_t after = before;
    libewf_handle_get_number_of_checksum_errors(FHandle, &after, &error);
    if (error != nullptr) libewf_error_free(&error);
    for (uint32_t i = before; i < after; ++i) {
      uint64_t first = 0;
      uint64_t count = 0;
      if (libewf_handle_get_checksum_error(FHandle, i, &first, &count, &error) == 1)
        FBadSectors[static_cast<long long>(first)] = static_cast<long long>(first + count);
      if (error != nullptr) libewf_error_free(&error);
    }
    if (!TouchesBadSectors(offset, static_cast<long long>(length))) return true;
    errorCode = EIO;
    return false;
  }

 private:
  bool TouchesBadSectors(long long offset, long long length) const {
    if (FBadSectors.empty()) return false;
    const long long first = offset / FSectorSize;
    const long long end = (offset + length + FSectorSize - 1) / FSectorSize;
    auto after = FBadSectors.lower_bound(end);
    if (after == FBadSectors.begin()) return false;
    return std::prev(after)->second > first;
  }

  std::string HashValue(const char* name) {
    uint8_t value[256] = {};
    libewf_error_t* error = nullptr;
    const int found =
        libewf_handle_get_utf8_hash_value(FHandle, reinterpret_cast<const uint8_t*>(name),
                                          std::strlen(name), value, sizeof value, &error);
    if (error != nullptr) libewf_error_free(&error);
    std::string text = found == 1 ? reinterpret_cast<const char*>(value) : "";
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  std::string HeaderValue(const char* name) {
    uint8_t value[1024] = {};
    libewf_error_t* error = nullptr;
    const int found =
        libewf_handle_get_utf8_header_value(FHandle, reinterpret_cast<const uint8_t*>(name),
                                            std::strlen(name), value, sizeof value, &error);
    if (error != nullptr) libewf_error_free(&error);
    return found == 1 ? reinterpret_cast<const char*>(value) : "";
  }

  libewf_handle_t* FHandle = nullptr;
  long long FMediaSize = 0;
  long long FSectorSize = 512;
  std::map<long long, long long> FBadSectors;  // first sector -> end, as libewf found them
};

}  // namespace

std::unique_ptr<CImageReader> OpenEwf(const std::string& path, std::string& error) {
  auto reader = std::make_unique<CEwfReader>();
  if (!reader->Open(path, error)) return nullptr;
  return reader;
}

}  // namespace salvor::images
