#include <algorithm>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "salvor/CDataStream.h"
#include "modules/common/FormatHandler.h"
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

enum class Chain { kDone, kRanOut, kBad };

// Walks a chain of data sub-blocks from `at`; sets `at` past the terminator. `first` is the
// size the first sub-block must have (-1: any); `lzw` checks the data when given.
Chain WalkChain(CStreamReader& reader, long long& at, int first, CLzwCheck* lzw) {
  for (bool isFirst = true;; isFirst = false) {
    uint8_t size = 0;
    if (!reader.U8(at, &size)) return Chain::kRanOut;
    if (isFirst && first >= 0 && size != first) return Chain::kBad;
    ++at;
    if (size == 0) return Chain::kDone;
    const uint8_t* data = reader.Peek(at, size);
    if (data == nullptr) return Chain::kRanOut;
    // The end code comes in the last sub-block: more data after it is not this image's.
    if (lzw != nullptr && (lzw->Ended() || !lzw->Feed(data, size))) return Chain::kBad;
    at += size;
  }
}

// The size the first sub-block of an extension must have (-1: any); false for an unknown one.
bool ExtensionFirstSize(uint8_t label, int* first) {
  switch (label) {
    case 0xF9:  // graphic control
      *first = 4;
      return true;
    case 0x01:  // plain text
      *first = 12;
      return true;
    case 0xFF:  // application
      *first = 11;
      return true;
    case 0xFE:  // comment
      *first = -1;
      return true;
    default:
      return false;
  }
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
      if (!ExtensionFirstSize(label, &first)) return stop(GifWalk::kJunk);
      started = true;
      long long at = pos + 2;
      chain = WalkChain(reader, at, first, nullptr);
      if (chain == Chain::kDone) pos = at;
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
      chain = WalkChain(reader, at, -1, &lzw);
      if (chain == Chain::kDone) {
        pos = at;
        ++walk.frames;
        // Zeros after a cut read as a terminator: only an end code proves the image whole.
        unfinished = unfinished || !lzw.Ended();
      }
    } else {
      return stop(GifWalk::kJunk);
    }
    if (chain == Chain::kRanOut) return stop(GifWalk::kRanOut);
    if (chain == Chain::kBad) return stop(GifWalk::kJunk);
    // An extension's content proves nothing (random data passes as sub-blocks): only a whole
    // image after it vouches for it.
    if (introducer == 0x2C && !unfinished) good = pos;
  }
}

// GIF87a/GIF89a images, animated ones included: the block structure is followed to the
// trailer, each image's LZW codes checked on the way.
const Signature kStarts[] = {{"GIF8"}};

class CGifHandler final : public CFormatHandlerOf<CGifHandler> {
 public:
  explicit CGifHandler(CPhotoRecovery* engine) : CFormatHandlerOf(engine, kGifInfo, {6, kStarts}) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "gif");
    CStreamReader reader(file);
    return WalkGif(reader).outcome == GifWalk::kComplete;
  }

  bool FindEnd(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    const GifWalk walk = WalkGif(reader);
    if (walk.outcome == GifWalk::kNotGif) return false;
    *end = walk.outcome == GifWalk::kComplete ? walk.end : walk.bestEnd;
    return true;
  }

  bool CanStart(const uint8_t* head) const override { return CanStartGif(head); }

 protected:
  // Short of the trailer the file stays open: the next recognition ends it.
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start, MaxSizeBytes());
    const GifWalk walk = WalkGif(reader);
    if (walk.outcome == GifWalk::kNotGif) return false;
    found->File(c.start, walk.outcome == GifWalk::kComplete ? c.start + walk.end : -1);
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CGifHandler)
