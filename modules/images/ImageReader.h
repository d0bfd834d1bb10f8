#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace salvor::images {

// What an image file records about itself: shown by `salvor info`, kept in the report.
struct ImageFacts {
  std::string format;                 // "EWF (EnCase 6)", "AFF", "split raw"
  std::vector<std::string> segments;  // every file of the image, in order
  std::string md5;                    // stored at acquisition, lowercase hex; empty when none
  std::string sha1;
  std::vector<std::pair<std::string, std::string>> notes;  // case number, examiner, ...
};

// Read-only access to the media an image holds. Not thread-safe.
class CImageReader {
 public:
  virtual ~CImageReader() = default;
  virtual long long MediaSize() const = 0;
  virtual long long SectorSize() const = 0;
  // Reads `length` bytes of the media from `offset` into out. False, with an errno value in
  // `error`, when any of them could not be read or failed the image's own checksum; out then
  // holds what could be read and zeros for the rest.
  virtual bool Read(long long offset, size_t length, uint8_t* out, int& error) = 0;

  const ImageFacts& Facts() const { return FFacts; }
  // True while every file of the image is still there at the length it had when opened: a
  // segment removed or cut short makes the source lost instead of failing block after block.
  bool FilesPresent() const;

 protected:
  // Records the files of the image and their lengths; false with errno when one is gone.
  bool NoteSegments(std::vector<std::string> segments);

  ImageFacts FFacts;
  std::vector<long long> FSegmentBytes;
};

// Opens `path` when its content says it is an image format read here (EWF, AFF) or its name and
// its neighbours say it is the first part of a split raw image. Returns null with `error`
// empty when it is none of them (a plain raw image), null with a one-line reason when it is
// one but cannot be read, for example a segment is missing.
std::unique_ptr<CImageReader> OpenImage(const std::string& path, std::string& error);

std::unique_ptr<CImageReader> OpenEwf(const std::string& path, std::string& error);
std::unique_ptr<CImageReader> OpenAff(const std::string& path, std::string& error);
std::unique_ptr<CImageReader> OpenSplitRaw(const std::string& path, std::string& error);

// True when the file at path starts as the format's files do.
bool LooksLikeEwf(const std::string& path);
bool LooksLikeEwf2(const std::string& path);
bool LooksLikeAff(const std::string& path);

// The image formats this build reads, with the libraries that read them, one per line.
std::string FormatsRead();

}  // namespace salvor::images
