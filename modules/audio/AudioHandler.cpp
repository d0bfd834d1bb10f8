// One handler for the common audio files: MP3 (and MP1/MP2), FLAC, Ogg, ADTS AAC.

#include <climits>

#include "modules/audio/AudioFormats.h"
#include "modules/common/TextCopy.h"
#include "modules/common/UnalignedSearch.h"
#include "modules/common/HandlerBase.h"

namespace salvor {
namespace {

const HandlerInfo kInfo = {
    "salvor.audio",
    "audio/mpeg;audio/flac;audio/ogg;audio/opus;video/ogg;audio/aac",
    "Audio (MP3, FLAC, Ogg, AAC)",
    "mp3;flac;ogg;opus;aac;oga;ogv;spx;mp2;mp1",
    4194304,  // 4 GiB
    INT_MAX,
};

class CAudioHandler : public CHandlerBase {
 public:
  explicit CAudioHandler(CPhotoRecovery* engine) : CHandlerBase(engine, kInfo) {}

  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "");
    CStreamReader reader(file);
    audio::Extent extent;
    if (!audio::FollowFile(reader, reader.Size(), &extent)) return false;
    CopyText(extension, extensionSize, extent.extension);
    return extent.complete && extent.end == reader.Size();
  }

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    if (!Unaligned()) {
      uint8_t head[audio::kProbeBytes];
      if (ReadHere(stream, head, sizeof head) < sizeof head ||
          !audio::MayStartFile(head, sizeof head))
        return true;
      const long long blockStart = stream->GetPosition() - static_cast<long long>(sizeof head);
      if (audio::NextFrameFollows(stream, blockStart, head))
        Answer(stream, blockStart, recognized, start, end);
      return true;
    }
    const long long blockStart = stream->GetPosition();
    static constexpr FirstBytes kFirst = {0xFF, 'I', 'f', 'O'};
    FindByFirstByte(stream, blockStart, blockStart + blockSize, kFirst, kMaxLookahead,
                    [&](long long position, const uint8_t* bytes, size_t available) {
                      return audio::MayStartFile(bytes, available) &&
                             audio::NextFrameFollows(stream, position, bytes) &&
                             Answer(stream, position, recognized, start, end);
                    });
    return true;
  }

  bool FindEndOfFile(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    audio::Extent extent;
    if (!audio::FollowFile(reader, reader.Size(), &extent) || extent.end <= 0) return false;
    *end = extent.end;
    return true;
  }

  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

 private:
  bool Answer(CDataStream* stream, long long position, bool* recognized, long long* start,
              long long* end) {
    CStreamReader reader(stream, position);
    audio::Extent extent;
    if (!audio::FollowFile(reader, MaxSizeBytes(), &extent)) return false;
    *recognized = true;
    *start = position;
    // A frame chain that stops inside the source ends there: its inner blocks could look like
    // new starts, so it is not left open.
    if (extent.complete || (extent.endsAtChainStop && !extent.pastLimit))
      *end = position + extent.end;
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CAudioHandler)
