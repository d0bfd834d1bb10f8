// afflib's header needs the fixed-width types and stdio declared first.
#include <cstdint>
#include <cstdio>
// clang-format off
#include <afflib/afflib.h>
// clang-format on
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modules/images/ImageReader.h"

namespace salvor::images {

namespace {

// afflib writes 16 MiB pages; no image needs more than this.
constexpr int kMaxPageSize = 64 << 20;
// Disks have sectors of 512 bytes or 4 KiB; optical media 2 KiB.
constexpr uint32_t kMaxSectorSize = 64 << 10;

std::string Hex(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// The largest value of the image's sector-size segments, found by walking its segments as
// afflib does when it opens the file, up to bytes that are no segment (0: none). afflib
// allocates a sector of that size while it opens the image, before it can be refused.
uint32_t SectorSizeSegment(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  uint32_t found = 0;
  const auto be32 = [](const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  };
  // Each segment: "AFF\0", name length, data length, a 32-bit argument, the name, the data,
  // then "ATT\0" and the segment's whole length.
  constexpr uint32_t kMaxName = 64;
  for (off_t at = 8;;) {
    unsigned char head[16 + kMaxName];
    if (pread(fd, head, 16, at) != 16 || std::memcmp(head, "AFF", 4) != 0) break;
    const uint32_t nameLength = be32(head + 4), dataLength = be32(head + 8);
    if (nameLength > kMaxName ||
        pread(fd, head + 16, nameLength, at + 16) != static_cast<ssize_t>(nameLength))
      break;
    if (std::string(reinterpret_cast<char*>(head + 16), nameLength) == AF_SECTORSIZE)
      found = std::max(found, be32(head + 12));
    at += 16 + static_cast<off_t>(nameLength) + static_cast<off_t>(dataLength) + 8;
  }
  close(fd);
  return found;
}

// An Advanced Forensic Format image read through afflib. Pages that do not decompress, and
// sectors the acquisition marked bad (they hold the image's bad-sector flag), are unreadable.
class CAffReader : public CImageReader {
 public:
  ~CAffReader() override {
    if (FImage != nullptr) af_close(FImage);
  }

  bool Open(const std::string& path, std::string& reason) {
    // afflib keeps 32 pages of 16 MiB by default and reads its page count from the
    // environment when it opens a file. The scan reads forwards and looks back a little, so
    // two pages do and keep the memory bound of a raw scan; a count the user set is kept.
    setenv(AFFLIB_CACHE_PAGES, "2", 0);
    if (SectorSizeSegment(path) > kMaxSectorSize) {
      reason = "the AFF image's sector size is out of range";
      return false;
    }
    FImage = af_open(path.c_str(), O_RDONLY, 0);
    if (FImage == nullptr) {
      reason = std::string("not a readable AFF image: ") + std::strerror(errno != 0 ? errno : EIO);
      return false;
    }
    const int64_t imageSize = af_get_imagesize(FImage);
    // afflib takes 512 when the image names none, and compares whole sectors of the size the
    // image names with its bad-sector flag: a size it cannot mean is refused, not replaced.
    uint32_t sectorSize = 0;
    if (af_get_seg(FImage, AF_SECTORSIZE, &sectorSize, nullptr, nullptr) != 0 || sectorSize == 0)
      sectorSize = 512;
    if (imageSize <= 0) {
      reason = "the AFF image holds no media data";
      return false;
    }
    if (sectorSize > kMaxSectorSize) {
      reason = "the AFF image's sector size is out of range";
      return false;
    }
    // afflib allocates a whole page to read any byte of it, at the size the header gives.
    const int pageSize = af_get_pagesize(FImage);
    if (pageSize <= 0 || pageSize > kMaxPageSize) {
      reason = "the AFF image's page size is out of range";
      return false;
    }
    FMediaSize = imageSize;
    FSectorSize = sectorSize;
    FFacts.format = "AFF";
    FFacts.md5 = Segment(AF_MD5, 16);
    FFacts.sha1 = Segment(AF_SHA1, 20);
    size_t flagLength = 0;
    FHasBadFlag = af_get_seg(FImage, AF_BADFLAG, nullptr, nullptr, &flagLength) == 0 &&
                  static_cast<long long>(flagLength) == FSectorSize;
    if (!NoteSegments({path})) {
      reason = std::string("cannot open the image: ") + std::strerror(errno);
      return false;
    }
    return true;
  }

  long long MediaSize() const override { return FMediaSize; }
  long long SectorSize() const override { return FSectorSize; }

  bool Read(long long offset, size_t length, uint8_t* out, int& error) override {
    ssize_t got = -1;
    if (af_seek(FImage, offset, SEEK_SET) == static_cast<uint64_t>(offset))
      got = af_read(FImage, out, static_cast<ssize_t>(length));
    if (got != static_cast<ssize_t>(length)) {
      const size_t kept = got > 0 ? static_cast<size_t>(got) : 0;
      std::memset(out + kept, 0, length - kept);
      error = EIO;
      return false;
    }
    if (FHasBadFlag && offset % FSectorSize == 0) {
      for (size_t at = 0; at + FSectorSize <= length; at += FSectorSize) {
        if (af_is_badsector(FImage, out + at) == 1) {
          error = EIO;
          return false;
        }
      }
    }
    return true;
  }

 private:
  std::string Segment(const char* name, size_t length) {
    unsigned char value[64] = {};
    size_t got = sizeof value;
    if (af_get_seg(FImage, name, nullptr, value, &got) != 0 || got != length) return "";
    return Hex(value, length);
  }

  AFFILE* FImage = nullptr;
  long long FMediaSize = 0;
  long long FSectorSize = 512;
  bool FHasBadFlag = false;
};

}  // namespace

std::unique_ptr<CImageReader> OpenAff(const std::string& path, std::string& error) {
  auto reader = std::make_unique<CAffReader>();
  if (!reader->Open(path, error)) return nullptr;
  return reader;
}

}  // namespace salvor::images
