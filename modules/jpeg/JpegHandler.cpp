#include <algorithm>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "modules/common/UnalignedSearch.h"
#include "salvor/CDataStream.h"
#include "modules/common/HandlerBase.h"
#include "modules/jpeg/JpegStructure.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

const HandlerInfo kJpegInfo = {
    "salvor.jpeg", "image/jpeg", "JPEG image", "jpg;jpeg;jpe;jfif", 65536, 2097151,
};

// JPEG/JFIF/EXIF photographs, including their MPF images and motion-photo videos.
class CJpegHandler : public CHandlerBase {
 public:
  explicit CJpegHandler(CPhotoRecovery* engine) : CHandlerBase(engine, kJpegInfo) {}

  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "jpg");
    CStreamReader reader(file);
    const jpeg::JpegWalk walk = jpeg::WalkJpeg(reader);
    return walk.outcome == jpeg::JpegWalk::kComplete && !walk.trailerMissing && !walk.damaged;
  }

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    const long long blockStart = stream->GetPosition();
    // Positions only grow within a scan: going back means a new scan, on other data.
    if (blockStart <= FLastBlockStart) FOpenHeaderStart = FOpenHeaderEnd = -1;
    FLastBlockStart = blockStart;
    const long long unsearched = FSkipped.Asked(blockStart, blockSize);
    if (Unaligned() && unsearched < blockStart) {
      if (Search(stream, unsearched, blockStart - unsearched, blockStart, recognized, start, end))
        return true;
      stream->SetPosition(blockStart);
    }
    uint8_t head[4];
    if (stream->Read(4, head) == 4 && jpeg::CanStartJpeg(head) &&
        !(blockStart > FOpenHeaderStart && blockStart < FOpenHeaderEnd) &&
        Examine(stream, blockStart, -1, recognized, start, end)) {
      return true;
    }
    if (Unaligned()) Search(stream, blockStart + 1, blockSize - 1, -1, recognized, start, end);
    return true;
  }

  bool FindEndOfFile(CDataStream* stream, long long, long long* end) override {
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

  // A JPEG cannot be found from its end: its EOI says nothing about where it began.
  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

 private:
  // Offers every SOI in [from, from + length) to Examine.
  bool Search(CDataStream* stream, long long from, long long length, long long mustReach,
              bool* recognized, long long* start, long long* end) {
    static const uint8_t kSignature[] = {0xFF, 0xD8, 0xFF};
    return FindHeader<4>(stream, from, from + length, {kSignature, sizeof kSignature}, 32,
                         jpeg::CanStartJpeg, [&](long long candidate) {
                           // Inside the header of a photo left open: its own thumbnail.
                           if (candidate > FOpenHeaderStart && candidate < FOpenHeaderEnd) {
                             return false;
                           }
                           return Examine(stream, candidate, mustReach, recognized, start, end);
                         }) >= 0;
  }

  // Validates a JPEG candidate at `at` and answers for it; false when it is not one. With
  // mustReach >= 0 (a start left behind in a skipped block) a file that ends before mustReach
  // lay inside the file delivered before and does not count.
  bool Examine(CDataStream* stream, long long at, long long mustReach, bool* recognized,
               long long* start, long long* end) {
    CStreamReader reader(stream, at, MaxSizeBytes());
    const jpeg::JpegWalk walk = jpeg::WalkJpeg(reader);
    if (walk.outcome == jpeg::JpegWalk::kNotJpeg) return false;
    const bool complete = walk.outcome == jpeg::JpegWalk::kComplete;
    if (mustReach >= 0 && complete && at + walk.end <= mustReach) return false;
    *recognized = true;
    *start = at;
    // Anything short of the main image's EOI stays open: the next recognition ends it.
    *end = complete ? at + walk.end : -1;
    if (!complete) {
      // The scan goes on inside this file: its thumbnails and previews are not files.
      FOpenHeaderStart = at;
      FOpenHeaderEnd = at + walk.headerEnd;
    }
    return true;
  }

  CSkippedTail FSkipped;
  // The header of the last file left open, where an embedded JPEG's SOI is no file's start.
  long long FOpenHeaderStart = -1;
  long long FOpenHeaderEnd = -1;
  long long FLastBlockStart = -1;
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CJpegHandler)
