// ISO base media files and their relatives: MP4, M4V, M4A, MOV, 3GP/3G2, HEIC/HEIF, AVIF,
// CR3 and JPEG 2000. The top-level box walk finds the end; the movie's sample tables or the
// HEIF item locations say which boxes the file needs and bound a last box of size 0.

#include <climits>
#include <cstdio>
#include <cstring>

#include "modules/isobmff/BoxWalk.h"
#include "salvor/CDataStream.h"
#include "modules/common/ForeignStart.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"
#include "modules/common/TextCopy.h"

namespace salvor {
namespace {

using isobmff::FileWalk;

// Inside a block, starts are only looked for by their ftyp or JPEG 2000 signature box; a
// QuickTime movie without ftyp is only taken at a block start.
const Signature kStarts[] = {{"ftyp", 4}, {"jP  ", 4}};

// A movie may also begin with moov, mdat or free at a block start, which no key finds.
StartKeys Keys() {
  StartKeys keys(16, kStarts);
  keys.keysCoverBlockStarts = false;
  return keys;
}

class CIsobmffHandler final : public CFormatHandlerOf<CIsobmffHandler> {
 public:
  explicit CIsobmffHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(engine,
                         {"salvor.isobmff",
                          "video/mp4;video/quicktime;video/3gpp;video/3gpp2;audio/mp4;image/heic;"
                          "image/heif;image/avif;image/x-canon-cr3;image/jp2",
                          "MP4, QuickTime and HEIF media",
                          "mp4;mov;m4v;m4a;3gp;3g2;heic;heif;avif;cr3;jp2;m4b;m4p;jpx;jpm;mj2;f4v",
                          16777216, INT_MAX},
                         Keys()) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CStreamReader reader(file);
    FileWalk walk = isobmff::WalkFile(reader, reader.Size());
    const char* name = walk.boxCount > 0 ? isobmff::ExtensionOf(walk) : "";
    CopyText(extension, extensionSize, name);
    return walk.stop == FileWalk::kComplete && walk.consistent && walk.end == reader.Size();
  }

  bool FindEnd(CDataStream* stream, long long blockSize, long long* end) override {
    CStreamReader reader(stream);
    FileWalk walk = isobmff::WalkFile(reader, reader.Size());
    switch (walk.stop) {
      case FileWalk::kComplete: {
        const long long cut = CutInMedia(stream, 0, walk, reader.Size(), blockSize);
        *end = cut >= 0 ? cut : walk.end;
        return true;
      }
      case FileWalk::kRanOff:     // cut off by the next file: keep what is there
      case FileWalk::kOpenEnded:  // a last box of size 0 runs to the next file, up to MaxSize
        *end = std::min(reader.Size(), MaxSizeBytes());
        return true;
      case FileWalk::kDamaged:
        *end = walk.goodEnd;
        return walk.goodEnd > 0;
    }
    return false;
  }

  bool CanStart(const uint8_t* head) const override { return isobmff::MayStartFile(head); }

 protected:
  // Answers when the structure is believable.
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start);
    const long long limit = std::min(reader.Size(), MaxSizeBytes());
    // A first look near the start: a file whose media data another file soon follows is
    // dropped before the walk reads as far as its boxes claim.
    constexpr long long kFirstLook = 256 * 1024;
    if (limit > kFirstLook) {
      const FileWalk head = isobmff::WalkFile(reader, kFirstLook);
      if (head.stop != FileWalk::kComplete && !KeepsMedia(c, head, true)) return false;
    }
    FileWalk walk = isobmff::WalkFile(reader, limit);
    bool complete = walk.stop == FileWalk::kComplete;
    if (walk.quickTime) {
      // Without ftyp only a whole movie whose tables, if any, point into its own media
      // data counts.
      if (!complete || !walk.hasMovie || !walk.consistent || walk.boxCount < 2) return false;
    } else if (!complete && walk.boxCount < 2) {
      return false;  // an ftyp followed by nothing of the family
    } else if (!complete && !KeepsMedia(c, walk, reader.Size() >= MaxSizeBytes())) {
      return false;
    }
    if (!complete) {
      // Its boxes read whole before the media data are its own, whatever they hold (EXIF,
      // previews, cover art); the media data is claimed by nothing, for a size is all it has.
      const long long claimed =
          walk.mediaStart > 0 ? std::min(walk.goodEnd, walk.mediaStart) : walk.goodEnd;
      found->OpenFile(c.start, c.start + claimed);
      return true;
    }
    const long long cut = CutInMedia(c.stream, c.start, walk, limit, c.blockSize);
    found->File(c.start, cut >= 0 ? cut : c.start + walk.end);
    return true;
  }

 private:
  // Whether a file cut short without its tables keeps kMinMedia bytes of media data before
  // the data ends or another file begins at a sector start: a header with a sector of
  // anything after it is no recording. One that MaxSize cut needs only some.
  static bool KeepsMedia(const Candidate& c, const FileWalk& walk, bool cutByMaxSize) {
    constexpr long long kMinMedia = 64 * 1024;
    if (walk.hasMovie || walk.hasItems || walk.jp2) return true;
    if (walk.mediaEnd <= walk.mediaStart) return false;
    const long long from = c.start + walk.mediaStart;
    const long long to = std::min(from + kMinMedia, c.start + walk.mediaEnd);
    return (cutByMaxSize || walk.mediaEnd - walk.mediaStart >= kMinMedia) &&
           FirstForeignStart(c.stream, from, to, c.blockSize, [](long long) { return false; }) < 0;
  }

  // A file whose later sectors another file was written over ends where that one begins. Only
  // the media data can hide it: the walk has read every other box. A sample or item of the
  // file's own (a Motion JPEG frame, a JPEG item) is no other file.
  static long long CutInMedia(CDataStream* stream, long long at, const FileWalk& walk,
                              long long limit, long long blockSize) {
    if (walk.mediaEnd <= walk.mediaStart) return -1;
    return FirstForeignStart(stream, at + walk.mediaStart, at + std::min(walk.mediaEnd, walk.end),
                             blockSize, [&](long long position) {
                               isobmff::PartProbe probe;
                               probe.position = position - at;
                               CStreamReader reader(stream, at);
                               isobmff::WalkFile(reader, limit, &probe);
                               return probe.startsPart;
                             });
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CIsobmffHandler)
