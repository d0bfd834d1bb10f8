#include <algorithm>
#include <cstring>

#include "BlockSignature.h"
#include "CDataStream.h"
#include "HandlerBase.h"
#include "JpegStructure.h"
#include "StreamReader.h"

namespace salvor {
namespace {

const HandlerInfo kJpegInfo = {
    "salvor.jpeg", "image/jpeg", "JPEG image", "jpg;jpeg;jpe;jfif", 65536, 2097151,
};

void CopyExtension(const char* text, char* out, int outSize) {
  if (out == nullptr || outSize <= 0) return;
  const size_t n = std::min(strlen(text), static_cast<size_t>(outSize - 1));
  memcpy(out, text, n);
  out[n] = '\0';
}

// JPEG/JFIF/EXIF photographs, including their MPF images and motion-photo videos.
class CJpegHandler : public CHandlerBase {
 public:
  explicit CJpegHandler(CPhotoRecovery* engine) : CHandlerBase(engine, kJpegInfo) {}

  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override {
    CopyExtension("jpg", extension, extensionSize);
    CStreamReader reader(file);
    const jpeg::JpegWalk walk = jpeg::WalkJpeg(reader);
    return walk.outcome == jpeg::JpegWalk::kComplete && !walk.trailerMissing;
  }

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    const long long blockStart = stream->GetPosition();
    uint8_t head[16];
    if (stream->Read(4, head) == 4 && jpeg::CanStartJpeg(head) &&
        Examine(stream, blockStart, recognized, start, end)) {
      return true;
    }
    if (!Unaligned()) return true;
    static const uint8_t kSignature[] = {0xFF, 0xD8, 0xFF};
    FindSignatureInBlock(stream, blockStart + 1, blockSize - 1, kSignature, sizeof kSignature,
                         [&](long long candidate) {
                           uint8_t first[4];
                           stream->SetPosition(candidate);
                           return stream->Read(4, first) == 4 && jpeg::CanStartJpeg(first) &&
                                  Examine(stream, candidate, recognized, start, end);
                         });
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
  // Validates a JPEG candidate at `at` and answers for it; false when it is not one.
  bool Examine(CDataStream* stream, long long at, bool* recognized, long long* start,
               long long* end) {
    CStreamReader reader(stream, at, MaxSizeBytes());
    const jpeg::JpegWalk walk = jpeg::WalkJpeg(reader);
    if (walk.outcome == jpeg::JpegWalk::kNotJpeg) return false;
    *recognized = true;
    *start = at;
    // Anything short of the main image's EOI stays open: the next recognition ends it.
    *end = walk.outcome == jpeg::JpegWalk::kComplete ? at + walk.end : -1;
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CJpegHandler)
