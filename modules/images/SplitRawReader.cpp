#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>

#include "modules/images/ImageReader.h"

namespace salvor::images {

namespace {

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The numbering of split parts: "image.001", "image.002", ... (or from .000, .00) as imaging
// tools write them, and "image.aa", "image.ab", ... as split(1) does with a prefix ending in a dot.
// `Name(i)` is part i counted from the first; empty past the last name the suffix's width allows.
class CPartNames {
 public:
  // False when path's name does not end the way a first part's does: a dot, then 2 to 6
  // digits counting from 0 or 1, or 2 to 6 letters "a".
  bool Parse(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
    const size_t width = path.size() - dot - 1;
    if (width < 2 || width > 6) return false;
    const std::string suffix = path.substr(dot + 1);
    FPrefix = path.substr(0, dot + 1);
    FWidth = width;
    if (suffix.find_first_not_of("0123456789") == std::string::npos) {
      const long long first = std::stoll(suffix);
      if (first > 1) return false;
      FFirst = first;
      FLetters = false;
      return true;
    }
    FFirst = 0;
    FLetters = true;
    return suffix.find_first_not_of('a') == std::string::npos;
  }

  std::string Name(long long index) const {
    long long value = FFirst + index;
    std::string suffix(FWidth, '0');
    const int base = FLetters ? 26 : 10;
    for (size_t i = FWidth; i-- > 0;) {
      suffix[i] = static_cast<char>((FLetters ? 'a' : '0') + value % base);
      value /= base;
    }
    return value == 0 ? FPrefix + suffix : std::string();
  }

 private:
  std::string FPrefix;
  size_t FWidth = 0;
  long long FFirst = 0;
  bool FLetters = false;
};

// A raw image split into parts, read as one. A few parts stay open at a time, so that an image
// of thousands of parts needs no more descriptors than a small one.
class CSplitRawReader : public CImageReader {
 public:
  ~CSplitRawReader() override {
    for (auto& open : FOpen) close(open.second);
  }

  // False with an empty reason when path is not the first of several parts.
  bool Open(const std::string& path, std::string& reason) {
    CPartNames names;
    if (!names.Parse(path) || names.Name(0) != path) return false;
    std::vector<std::string> parts;
    for (long long i = 0;; ++i) {
      const std::string name = names.Name(i);
      if (name.empty() || !IsFile(name)) break;
      parts.push_back(name);
    }
    // A gap: the parts after it would be silently left out.
    const std::string missing = names.Name(static_cast<long long>(parts.size()));
    const std::string after = names.Name(static_cast<long long>(parts.size()) + 1);
    if (!missing.empty() && !after.empty() && IsFile(after)) {
      reason = "part " + missing + " of the split image is missing";
      return false;
    }
    if (parts.size() < 2) return false;
    if (!NoteSegments(parts)) {
      reason = std::string("cannot open a part of the split image: ") + std::strerror(errno);
      return false;
    }
    FStarts.push_back(0);
    for (long long bytes : FSegmentBytes) FStarts.push_back(FStarts.back() + bytes);
    FFacts.format = "split raw";
    return true;
  }

  // The parts' bytes in whole sectors; a last partial sector is left out, as for a raw image.
  long long MediaSize() const override { return FStarts.back() / 512 * 512; }
  long long SectorSize() const override { return 512; }

  bool Read(long long offset, size_t length, uint8_t* out, int& error) override {
    size_t done = 0;
    while (done < length) {
      const long long at = offset + static_cast<long long>(done);
      const size_t part = static_cast<size_t>(std::upper_bound(FStarts.begin(), FStarts.end(), at) -
                                              FStarts.begin() - 1);
      if (part + 1 >= FStarts.size()) break;
      const int fd = PartFd(part);
      const size_t want =
          static_cast<size_t>(std::min<long long>(length - done, FStarts[part + 1] - at));
      const ssize_t got = fd < 0 ? -1 : pread(fd, out + done, want, at - FStarts[part]);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        error = got < 0 ? errno : EIO;
        std::memset(out + done, 0, length - done);
        return false;
      }
      done += static_cast<size_t>(got);
    }
    if (done == length) return true;
    std::memset(out + done, 0, length - done);
    error = EIO;
    return false;
  }

 private:
  static constexpr size_t kOpenParts = 16;

  int PartFd(size_t part) {
    for (auto it = FOpen.begin(); it != FOpen.end(); ++it) {
      if (it->first != part) continue;
      FOpen.splice(FOpen.begin(), FOpen, it);
      return it->second;
    }
    const int fd = open(FFacts.segments[part].c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (FOpen.size() == kOpenParts) {
      close(FOpen.back().second);
      FOpen.pop_back();
    }
    FOpen.emplace_front(part, fd);
    return fd;
  }

  std::vector<long long> FStarts;           // byte offset of each part, then the total
  std::list<std::pair<size_t, int>> FOpen;  // part -> descriptor, most recently used first
};

}  // namespace

std::unique_ptr<CImageReader> OpenSplitRaw(const std::string& path, std::string& error) {
  auto reader = std::make_unique<CSplitRawReader>();
  if (!reader->Open(path, error)) return nullptr;
  return reader;
}

}  // namespace salvor::images
