#include <algorithm>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "salvor/CDataStream.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/HeadRead.h"
#include "modules/jpeg/JpegStructure.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

const HandlerInfo kJpegInfo = {
    "salvor.jpeg", "image/jpeg", "JPEG image", "jpg;jpeg;jpe;jfif", 65536, 2097151,
};

const Signature kStarts[] = {{"\xFF\xD8\xFF"}};

// The size of the AVI video chunk ("00dc", "01db"...) whose payload the candidate is, or 0:
// such a JPEG is a frame of a Motion JPEG movie, not a photo, even where the movie's header is
// gone (a piece of a fragmented movie).
uint32_t AviChunkAround(const Candidate& c) {
  uint8_t header[8];
  if (c.start < 8 || ReadAt(c.stream, c.start - 8, header, sizeof header) != sizeof header)
    return 0;
  const auto digit = [](uint8_t b) { return b >= '0' && b <= '9'; };
  const uint32_t size =
      header[4] | header[5] << 8 | header[6] << 16 | static_cast<uint32_t>(header[7]) << 24;
  return digit(header[0]) && digit(header[1]) && header[2] == 'd' &&
                 (header[3] == 'c' || header[3] == 'b') && size >= 4
             ? size
             : 0;
}

// Whether the whole JPEG at the candidate, `size` bytes long, is the thumbnail of an EXIF block
// just before it: the IFD entry giving its length (tag 0x0202, one LONG) lies there. Its photo
// starts elsewhere (a piece of a fragmented photo, whose start was too short to claim it).
bool ExifThumbnail(const Candidate& c, long long size) {
  constexpr long long kLook = 4096;
  uint8_t before[kLook];
  const long long from = std::max(0LL, c.start - kLook), count = c.start - from;
  if (count < 12 || size > 0xFFFFFFFFLL ||
      ReadAt(c.stream, from, before, count) != static_cast<size_t>(count))
    return false;
  const auto byte = [size](int shift) { return static_cast<uint8_t>(size >> shift); };
  const uint8_t little[12] = {2, 2, 4, 0, 1, 0, 0, 0, byte(0), byte(8), byte(16), byte(24)};
  const uint8_t big[12] = {2, 2, 0, 4, 0, 0, 0, 1, byte(24), byte(16), byte(8), byte(0)};
  for (const uint8_t* entry : {little, big})
    if (memmem(before, static_cast<size_t>(count), entry, sizeof little) != nullptr) return true;
  return false;
}

// JPEG/JFIF/EXIF photographs, including their MPF images and motion-photo videos.
class CJpegHandler final : public CFormatHandlerOf<CJpegHandler> {
 public:
  explicit CJpegHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(engine, kJpegInfo, {4, kStarts}) {
    WatchScans();  // its open header belongs to one scan
  }

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "jpg");
    CStreamReader reader(file);
    const jpeg::JpegWalk walk = jpeg::WalkJpeg(reader);
    return walk.outcome == jpeg::JpegWalk::kComplete && !walk.trailerMissing && !walk.damaged;
  }

  bool FindEnd(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    const jpeg::JpegWalk walk = jpeg::WalkJpeg(reader);
    switch (walk.outcome) {
      case jpeg::JpegWalk::kComplete:
        *end = walk.end;
        return true;
      case jpeg::JpegWalk::kRanOut:
      case jpeg::JpegWalk::kJunk:
        *end = walk.bestEnd;
        return true;
      default:
        return false;
    }
  }

  bool CanStart(const uint8_t* head) const override { return jpeg::CanStartJpeg(head); }

 protected:
  // Anything short of the main image's EOI stays open: the next recognition ends it. The walk
  // is not bounded by MaxSize: a header longer than MaxSize still makes a photo, cut.
  bool Examine(const Candidate& c, Found* found) override {
    // Inside the header of a photo left open or cut: its own thumbnail.
    if (c.start > FOpenHeaderStart && c.start < FOpenHeaderEnd) return false;
    if (const uint32_t frame = AviChunkAround(c)) {
      // Nor is anything inside the frame, such as its thumbnail.
      FOpenHeaderStart = c.start;
      FOpenHeaderEnd = c.start + frame;
      return false;
    }
    CStreamReader reader(c.stream, c.start);
    const jpeg::JpegWalk walk = jpeg::WalkJpeg(reader);
    if (walk.outcome == jpeg::JpegWalk::kNotJpeg) return false;
    if (walk.outcome == jpeg::JpegWalk::kComplete && ExifThumbnail(c, walk.end)) return false;
    if (walk.outcome == jpeg::JpegWalk::kComplete)
      found->File(c.start, c.start + walk.end);
    else
      found->OpenFile(c.start, c.start + std::max(walk.headerEnd, walk.bestEnd));
    // The scan may go on inside this file: its thumbnails and previews are not files.
    FOpenHeaderStart = c.start;
    FOpenHeaderEnd = c.start + walk.headerEnd;
    return true;
  }

  void ScanRestarted() override { FOpenHeaderStart = FOpenHeaderEnd = -1; }

 private:
  // The header of the last file left open, where an embedded JPEG's SOI is no file's start.
  long long FOpenHeaderStart = -1;
  long long FOpenHeaderEnd = -1;
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CJpegHandler)
