#include <algorithm>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "modules/common/UnalignedSearch.h"
#include "salvor/CDataStream.h"
#include "modules/common/HandlerBase.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

const HandlerInfo kGifInfo = {"salvor.gif", "image/gif", "GIF image", "gif", 65536, 2097151};

// Follows the codes of one image's LZW data without decoding pixels: only the dictionary's
// size is tracked, which is enough to refuse codes that no encoder can produce.
class CLzwCheck {
 public:
  explicit CLzwCheck(unsigned minimumCodeSize)
      : FMinimum(minimumCodeSize), FClear(1u << minimumCodeSize) {
    Reset();
  }

  // Feeds data bytes; false once an impossible code was seen.
  bool Feed(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length && !FFailed; ++i) {
      FBits |= static_cast<uint32_t>(data[i]) << FBitCount;
      FBitCount += 8;
      while (FBitCount >= FCodeSize && !FEnded && !FFailed) {
        const unsigned code = FBits & ((1u << FCodeSize) - 1);
        FBits >>= FCodeSize;
        FBitCount -= FCodeSize;
        Take(code);
      }
      if (FEnded) FBitCount = 0;  // bytes after the end code are padding
    }
    return !FFailed;
  }
  bool Ended() const { return FEnded; }

 private:
  void Reset() {
    FCodeSize = FMinimum + 1;
    FNext = FClear + 2;
    FHavePrevious = false;
  }
  void Take(unsigned code) {
    if (code == FClear) {
      Reset();
      return;
    }
    if (code == FClear + 1) {
      FEnded = true;
      return;
    }
    if (!FHavePrevious) {
      FFailed = code >= FNext;  // the first code after a clear cannot refer to a new entry
      FHavePrevious = true;
      return;
    }
    if (code > FNext) {
      FFailed = true;
      return;
    }
    if (FNext < 4096) {
      ++FNext;
      if (FNext == (1u << FCodeSize) && FCodeSize < 12) ++FCodeSize;
    }
  }

  unsigned FMinimum;
  unsigned FClear;
  unsigned FCodeSize = 0;
  unsigned FNext = 0;
  bool FHavePrevious = false;
  bool FEnded = false;
  bool FFailed = false;
  uint32_t FBits = 0;
  unsigned FBitCount = 0;
};

struct GifWalk {
  enum Outcome { kNotGif, kComplete, kRanOut, kJunk };
  Outcome outcome = kNotGif;
  long long end = -1;      // kComplete: one past the trailer
  long long bestEnd = -1;  // otherwise: end of the last block that checked out
  int frames = 0;
};

bool CanStartGif(const uint8_t* p) {
  return memcmp(p, "GIF8", 4) == 0 && (p[4] == '7' || p[4] == '9') && p[5] == 'a';
}

GifWalk WalkGif(CStreamReader& reader) {
  GifWalk walk;
  const uint8_t* header = reader.Peek(0, 13);
  if (header == nullptr || !CanStartGif(header)) return walk;
  if (LoadLE16(header + 6) == 0 || LoadLE16(header + 8) == 0) return walk;
  long long pos = 13;
  if (header[10] & 0x80) pos += 3LL << ((header[10] & 7) + 1);
  long long good = pos;
  bool started = false;     // a block's header after the screen descriptor checked out
  bool unfinished = false;  // an image's codes stopped without their end code

  auto stop = [&](GifWalk::Outcome outcome) {
    if (!started) return walk;  // nothing after the header fits: not a GIF
    walk.outcome = outcome;
    walk.bestEnd = good;
    return walk;
  };
  // Walks a chain of data sub-blocks from `at`; sets `at` past the terminator. `first` is the
  // size the first sub-block must have (-1: any); `lzw` checks the data when given.
  enum Chain { kChainDone, kChainRanOut, kChainBad };
  auto walkChain = [&](long long& at, int first, CLzwCheck* lzw) {
    for (bool isFirst = true;; isFirst = false) {
      uint8_t size = 0;
      if (!reader.U8(at, &size)) return kChainRanOut;
      if (isFirst && first >= 0 && size != first) return kChainBad;
      ++at;
      if (size == 0) return kChainDone;
      const uint8_t* data = reader.Peek(at, size);
      if (data == nullptr) return kChainRanOut;
      // The end code comes in the last sub-block: more data after it is not this image's.
      if (lzw != nullptr && (lzw->Ended() || !lzw->Feed(data, size))) return kChainBad;
      at += size;
    }
  };

  for (;;) {
    uint8_t introducer = 0;
    if (!reader.U8(pos, &introducer)) return stop(GifWalk::kRanOut);
    if (introducer == 0x3B) {
      if (!started) return walk;
      walk.outcome = GifWalk::kComplete;
      walk.end = pos + 1;
      return walk;
    }
    Chain chain;
    if (introducer == 0x21) {
      uint8_t label = 0;
      if (!reader.U8(pos + 1, &label)) return stop(GifWalk::kRanOut);
      int first;
      switch (label) {
        case 0xF9:
          first = 4;
          break;  // graphic control
        case 0x01:
          first = 12;
          break;  // plain text
        case 0xFF:
          first = 11;
          break;  // application
        case 0xFE:
          first = -1;
          break;  // comment
        default:
          return stop(GifWalk::kJunk);
      }
      started = true;
      long long at = pos + 2;
      chain = walkChain(at, first, nullptr);
      if (chain == kChainDone) pos = at;
    } else if (introducer == 0x2C) {
      const uint8_t* d = reader.Peek(pos, 10);
      if (d == nullptr) return stop(GifWalk::kRanOut);
      if (LoadLE16(d + 5) == 0 || LoadLE16(d + 7) == 0) return stop(GifWalk::kJunk);
      long long at = pos + 10;
      if (d[9] & 0x80) at += 3LL << ((d[9] & 7) + 1);
      uint8_t codeSize = 0;
      if (!reader.U8(at, &codeSize)) return stop(GifWalk::kRanOut);
      if (codeSize < 2 || codeSize > 8) return stop(GifWalk::kJunk);
      ++at;
      started = true;
      CLzwCheck lzw(codeSize);
      chain = walkChain(at, -1, &lzw);
      if (chain == kChainDone) {
        pos = at;
        ++walk.frames;
        // Zeros after a cut read as a terminator: only an end code proves the image whole.
        unfinished = unfinished || !lzw.Ended();
      }
    } else {
      return stop(GifWalk::kJunk);
    }
    if (chain == kChainRanOut) return stop(GifWalk::kRanOut);
    if (chain == kChainBad) return stop(GifWalk::kJunk);
    // An extension's content proves nothing (random data passes as sub-blocks): only a whole
    // image after it vouches for it.
    if (introducer == 0x2C && !unfinished) good = pos;
  }
}

// GIF87a/GIF89a images, animated ones included: the block structure is followed to the
// trailer, each image's LZW codes checked on the way.
class CGifHandler : public CHandlerBase {
 public:
  explicit CGifHandler(CPhotoRecovery* engine) : CHandlerBase(engine, kGifInfo) {}

  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "gif");
    CStreamReader reader(file);
    return WalkGif(reader).outcome == GifWalk::kComplete;
  }

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    RecognizeByFirstBytes<6>(
        stream, blockSize, Unaligned(), FSkipped, CanStartGif,
        [&](long long at) { return Examine(stream, at, -1, recognized, start, end); },
        [&](long long from, long long to, long long mustReach) {
          return Search(stream, from, to - from, mustReach, recognized, start, end);
        });
    return true;
  }

  bool FindEndOfFile(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    const GifWalk walk = WalkGif(reader);
    if (walk.outcome == GifWalk::kNotGif) return false;
    *end = walk.outcome == GifWalk::kComplete ? walk.end : walk.bestEnd;
    return true;
  }

  // The trailer is a single common byte: it cannot lead back to a start.
  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

 private:
  // Offers every signature in [from, from + length) to Examine.
  bool Search(CDataStream* stream, long long from, long long length, long long mustReach,
              bool* recognized, long long* start, long long* end) {
    static const uint8_t kSignature[] = {'G', 'I', 'F', '8'};
    return FindHeader<6>(stream, from, from + length, {kSignature, sizeof kSignature}, 32,
                         CanStartGif, [&](long long candidate) {
                           return Examine(stream, candidate, mustReach, recognized, start, end);
                         }) >= 0;
  }

  // Validates a candidate at `at` and answers for it; false when it is not one. With
  // mustReach >= 0 (a start left behind in a skipped block) a file that ends before mustReach
  // lay inside the file delivered before and does not count.
  bool Examine(CDataStream* stream, long long at, long long mustReach, bool* recognized,
               long long* start, long long* end) {
    CStreamReader reader(stream, at, MaxSizeBytes());
    const GifWalk walk = WalkGif(reader);
    if (walk.outcome == GifWalk::kNotGif) return false;
    // Short of the trailer the file stays open: the next recognition ends it.
    const long long length = walk.outcome == GifWalk::kComplete ? walk.end : -1;
    if (mustReach >= 0 && length >= 0 && at + length <= mustReach) return false;
    *recognized = true;
    *start = at;
    *end = length >= 0 ? at + length : -1;
    return true;
  }

  CSkippedTail FSkipped;
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CGifHandler)
