// One handler for the common audio files: MP3 (and MP1/MP2), FLAC, Ogg, ADTS AAC.

#include <climits>

#include "modules/audio/AudioFormats.h"
#include "modules/common/TextCopy.h"
#include "modules/common/FormatHandler.h"

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

// ID3v2 tag, FLAC, Ogg, and the frame sync of MP3 and AAC (eleven bits set).
const uint8_t kSync[] = {0xFF, 0xE0};
const uint8_t kSyncBits[] = {0xFF, 0xE0};
const Signature kStarts[] = {{"ID3"}, {"fLaC"}, {"OggS"}, {kSync, kSyncBits}};

class CAudioHandler final : public CFormatHandlerOf<CAudioHandler> {
 public:
  explicit CAudioHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(engine, kInfo, {audio::kProbeBytes, kStarts}) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "");
    CStreamReader reader(file);
    audio::Extent extent;
    if (!audio::FollowFile(reader, reader.Size(), &extent)) return false;
    CopyText(extension, extensionSize, extent.extension);
    return extent.complete && extent.end == reader.Size();
  }

  bool FindEnd(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    audio::Extent extent;
    if (!audio::FollowFile(reader, reader.Size(), &extent) || extent.end <= 0) return false;
    *end = extent.end;
    return true;
  }

  bool CanStart(const uint8_t* head) const override {
    return audio::MayStartFile(head, audio::kProbeBytes);
  }

 protected:
  // A frame chain that stops inside the source ends there: its inner blocks could look like
  // new starts, so it is not left open.
  bool Examine(const Candidate& c, Found* found) override {
    if (!audio::NextFrameFollows(c.stream, c.start, c.bytes)) return false;
    CStreamReader reader(c.stream, c.start);
    audio::Extent extent;
    if (!audio::FollowFile(reader, MaxSizeBytes(), &extent)) return false;
    const bool ends = extent.complete || (extent.endsAtChainStop && !extent.pastLimit);
    if (extent.pastLimit) {
      found->FileBeyondMaxSize(c.start);
    } else {
      found->File(c.start, ends ? c.start + extent.end : -1);
    }
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CAudioHandler)
