// ISO base media files and their relatives: MP4, M4V, M4A, MOV, 3GP/3G2, HEIC/HEIF, AVIF,
// CR3 and JPEG 2000. The top-level box walk finds the end; the movie's sample tables or the
// HEIF item locations say which boxes the file needs and bound a last box of size 0.

#include <climits>
#include <cstdio>
#include <cstring>

#include "modules/isobmff/BoxWalk.h"
#include "salvor/CDataStream.h"
#include "modules/common/ForeignStart.h"
#include "modules/common/HandlerBase.h"
#include "modules/common/StreamReader.h"
#include "modules/common/TextCopy.h"
#include "modules/common/UnalignedSearch.h"

namespace {

using salvor::CStreamReader;
using salvor::isobmff::FileWalk;

const uint8_t kFtyp[4] = {'f', 't', 'y', 'p'};
const uint8_t kJp2Box[4] = {'j', 'P', ' ', ' '};

class CIsobmffHandler : public salvor::CHandlerBase {
 public:
  explicit CIsobmffHandler(CPhotoRecovery* engine)
      : CHandlerBase(engine,
                     {"salvor.isobmff",
                      "video/mp4;video/quicktime;video/3gpp;video/3gpp2;audio/mp4;image/heic;"
                      "image/heif;image/avif;image/x-canon-cr3;image/jp2",
                      "MP4, QuickTime and HEIF media",
                      "mp4;mov;m4v;m4a;3gp;3g2;heic;heif;avif;cr3;jp2;m4b;m4p;jpx;jpm;mj2;f4v",
                      16777216, INT_MAX}) {}

  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override {
    CStreamReader reader(file);
    FileWalk walk = salvor::isobmff::WalkFile(reader, reader.Size());
    const char* name = walk.boxCount > 0 ? salvor::isobmff::ExtensionOf(walk) : "";
    salvor::CopyText(extension, extensionSize, name);
    return walk.stop == FileWalk::kComplete && walk.consistent && walk.end == reader.Size();
  }

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    if (Unaligned()) {
      const long long blockStart = stream->GetPosition();
      // Starts inside the block are only looked for by their ftyp or JPEG 2000 signature;
      // a QuickTime movie without ftyp is only taken at a block start.
      auto accept = [&](long long at, const uint8_t*, size_t) {
        return Try(stream, at, blockSize, recognized, start, end);
      };
      const long long blockEnd = blockStart + blockSize;
      long long a = salvor::FindSignature(stream, blockStart, blockEnd, {kFtyp, 4, 4}, 0, accept);
      if (a < 0)
        a = salvor::FindSignature(stream, blockStart, blockEnd, {kJp2Box, 4, 4}, 0, accept);
      if (a < 0 && !*recognized) Try(stream, blockStart, blockSize, recognized, start, end);
      return true;
    }
    uint8_t head[16];
    if (stream->Read(sizeof head, head) != sizeof head || !salvor::isobmff::MayStartFile(head))
      return true;
    Try(stream, stream->GetPosition() - static_cast<long long>(sizeof head), blockSize, recognized,
        start, end);
    return true;
  }

  bool FindEndOfFile(CDataStream* stream, long long blockSize, long long* end) override {
    CStreamReader reader(stream);
    FileWalk walk = salvor::isobmff::WalkFile(reader, reader.Size());
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

  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

 private:
  // Walks a candidate file at `at`; answers when the structure is believable.
  bool Try(CDataStream* stream, long long at, long long blockSize, bool* recognized,
           long long* start, long long* end) {
    uint8_t head[16];
    stream->SetPosition(at);
    if (stream->Read(sizeof head, head) != sizeof head || !salvor::isobmff::MayStartFile(head))
      return false;
    CStreamReader reader(stream, at);
    const long long limit = std::min(reader.Size(), MaxSizeBytes());
    FileWalk walk = salvor::isobmff::WalkFile(reader, limit);
    bool complete = walk.stop == FileWalk::kComplete;
    if (walk.quickTime) {
      // Without ftyp only a whole movie whose tables, if any, point into its own media
      // data counts.
      if (!complete || !walk.hasMovie || !walk.consistent || walk.boxCount < 2) return false;
    } else if (!complete && walk.boxCount < 2) {
      return false;  // an ftyp followed by nothing of the family
    }
    *recognized = true;
    *start = at;
    if (complete) {
      const long long cut = CutInMedia(stream, at, walk, limit, blockSize);
      *end = cut >= 0 ? cut : at + walk.end;
    }
    return true;
  }

  // A file whose later sectors another file was written over ends where that one begins. Only
  // the media data can hide it: the walk has read every other box. A sample or item of the
  // file's own (a Motion JPEG frame, a JPEG item) is no other file.
  static long long CutInMedia(CDataStream* stream, long long at, const FileWalk& walk,
                              long long limit, long long blockSize) {
    if (walk.mediaEnd <= walk.mediaStart) return -1;
    return salvor::FirstForeignStart(stream, at + walk.mediaStart,
                                     at + std::min(walk.mediaEnd, walk.end), blockSize,
                                     [&](long long position) {
                                       salvor::isobmff::PartProbe probe;
                                       probe.position = position - at;
                                       CStreamReader reader(stream, at);
                                       salvor::isobmff::WalkFile(reader, limit, &probe);
                                       return probe.startsPart;
                                     });
  }
};

}  // namespace

SALVOR_CONTENT_MODULE(CIsobmffHandler)
