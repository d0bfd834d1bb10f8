#include <algorithm>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "salvor/CDataStream.h"
#include "modules/common/FormatHandler.h"
#include "modules/jpeg/JpegStructure.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

const HandlerInfo kJpegInfo = {
    "salvor.jpeg", "image/jpeg", "JPEG image", "jpg;jpeg;jpe;jfif", 65536, 2097151,
};

const Signature kStarts[] = {{"\xFF\xD8\xFF"}};

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
    CStreamReader reader(c.stream, c.start);
    const jpeg::JpegWalk walk = jpeg::WalkJpeg(reader);
    if (walk.outcome == jpeg::JpegWalk::kNotJpeg) return false;
    found->File(c.start, walk.outcome == jpeg::JpegWalk::kComplete ? c.start + walk.end : -1);
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
