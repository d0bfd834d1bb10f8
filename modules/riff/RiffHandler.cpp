// RIFF containers: AVI (with its OpenDML AVIX continuation parts), WAV and RF64/BW64, WebP and
// the other RIFF forms. A file is its RIFF chunk: 8 header bytes plus the declared size.

#include <climits>
#include <cstdio>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "salvor/CDataStream.h"
#include "modules/common/ForeignStart.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

bool IsFourCC(const uint8_t* p) {
  for (int i = 0; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  return true;
}

// Form types are names: letters, digits and trailing blanks.
bool IsFormName(const uint8_t* p) {
  for (int i = 0; i < 4; ++i) {
    uint8_t c = p[i];
    bool alnum = (c >= '0' && c <= '9') || ((c & 0xDF) >= 'A' && (c & 0xDF) <= 'Z');
    if (!alnum && !(c == ' ' && i > 0)) return false;
  }
  return true;
}

struct FormName {
  const char* form;
  const char* extension;
};
const FormName kForms[] = {
    {"AVI ", "avi"}, {"WAVE", "wav"}, {"WEBP", "webp"}, {"ACON", "ani"},
    {"RMID", "rmi"}, {"sfbk", "sf2"}, {"DLS ", "dls"},  {"AMV ", "amv"},
    {"CDXA", "dat"}, {"PAL ", "pal"}, {"RDIB", "rdi"},  {"QLCM", "qcp"},
};

const char* ExtensionOf(const uint8_t* form) {
  for (const auto& known : kForms)
    if (memcmp(form, known.form, 4) == 0) return known.extension;
  return nullptr;
}

enum class Kind { kRiff, kRf64 };

bool IsPlaceholder(uint32_t size) {
  return size == 0 || size == 0xFFFFFFFF;
}

// The first 24 bytes of a RIFF file (header and first chunk header, the list type of a
// first LIST included) are consistent; returns false for anything else.
bool ValidHeader(const uint8_t* p, Kind* kind) {
  bool rf64 = memcmp(p, "RF64", 4) == 0 || memcmp(p, "BW64", 4) == 0;
  if (!rf64 && memcmp(p, "RIFF", 4) != 0) return false;
  if (!IsFormName(p + 8) || !IsFourCC(p + 12)) return false;
  uint32_t riffSize = LoadLE32(p + 4);
  uint32_t firstSize = LoadLE32(p + 16);
  if (rf64) {
    if (memcmp(p + 12, "ds64", 4) != 0 || firstSize < 28 || firstSize > 0xFFFF) return false;
  } else if (IsPlaceholder(riffSize)) {
    // Written by a recorder that never came back to fill in the sizes (a pipe, a power cut):
    // only the known forms are believed.
    if (memcmp(p + 8, "WAVE", 4) != 0 && memcmp(p + 8, "AVI ", 4) != 0) return false;
  } else if (riffSize < 12 || firstSize > riffSize - 12) {
    return false;
  }
  *kind = rf64 ? Kind::kRf64 : Kind::kRiff;
  if (memcmp(p + 8, "AVI ", 4) == 0)
    return memcmp(p + 12, "LIST", 4) == 0 && memcmp(p + 20, "hdrl", 4) == 0;
  if (memcmp(p + 8, "WEBP", 4) == 0)
    return memcmp(p + 12, "VP8 ", 4) == 0 || memcmp(p + 12, "VP8L", 4) == 0 ||
           memcmp(p + 12, "VP8X", 4) == 0;
  return true;
}

struct RiffWalk {
  enum Stop { kComplete, kDamaged, kRanOff };
  Stop stop = kDamaged;
  long long end = 0;       // end of the file when complete; else see FindEndOfFile
  long long goodEnd = 0;   // end of the last sound chunk
  long long declared = 0;  // end of the last part as its header declares it
  uint8_t form[4] = {};
  int parts = 0;
  int chunks = 0;          // sound top-level chunks walked
  bool hasFormat = false;  // WAVE fmt, AVI hdrl, WebP bitstream chunk
  bool hasData = false;    // WAVE data, AVI movi, WebP image
  // Payload of the last chunk when it holds sound or image data (WAVE data, WebP bitstream),
  // which nothing after it checks.
  long long mediaStart = 0;
  long long mediaEnd = 0;
};

// Walks the top-level chunks of one RIFF part at `pos`; returns false when the part is not
// sound (walk.stop tells why) and leaves walk.goodEnd at the last sound chunk end.
bool WalkPart(CStreamReader& reader, long long pos, long long limit, bool first, RiffWalk& walk) {
  uint8_t head[24];
  if (!reader.Read(pos, head, sizeof head)) {
    walk.stop = RiffWalk::kRanOff;
    return false;
  }
  Kind kind;
  if (!ValidHeader(head, &kind)) return false;
  long long size = LoadLE32(head + 4);
  uint64_t dataSize64 = 0;
  if (kind == Kind::kRf64) {
    uint64_t riffSize64 = 0;
    if (!first || !reader.U64LE(pos + 20, &riffSize64) || !reader.U64LE(pos + 28, &dataSize64))
      return false;
    if (riffSize64 > static_cast<uint64_t>(LLONG_MAX / 2) || dataSize64 > riffSize64) return false;
    size = static_cast<long long>(riffSize64);
  }
  bool unsized = kind == Kind::kRiff && IsPlaceholder(static_cast<uint32_t>(size));
  long long partEnd = unsized ? LLONG_MAX / 2 : pos + 8 + size;
  walk.declared = partEnd;
  if (first) memcpy(walk.form, head + 8, 4);
  bool webp = memcmp(walk.form, "WEBP", 4) == 0;
  bool avi = memcmp(walk.form, "AVI ", 4) == 0;
  bool wave = memcmp(walk.form, "WAVE", 4) == 0;
  walk.goodEnd = pos + 12;
  long long at = pos + 12;
  while (at < partEnd) {
    uint8_t chunk[12];
    if (at + 8 > limit || !reader.Read(at, chunk, 8)) {
      walk.stop = RiffWalk::kRanOff;
      return false;
    }
    if (!IsFourCC(chunk)) return false;
    long long length = LoadLE32(chunk + 4);
    if (kind == Kind::kRf64 && length == 0xFFFFFFFF && memcmp(chunk, "data", 4) == 0)
      length = static_cast<long long>(dataSize64);
    bool list = memcmp(chunk, "LIST", 4) == 0;
    if (list && (length < 4 || !reader.Read(at + 8, chunk + 8, 4) || !IsFourCC(chunk + 8)))
      return false;
    long long chunkEnd = at + 8 + length;
    const bool media = (wave && memcmp(chunk, "data", 4) == 0) ||
                       (webp && (memcmp(chunk, "VP8", 3) == 0 || memcmp(chunk, "ANMF", 4) == 0));
    walk.mediaStart = media ? at + 8 : 0;
    walk.mediaEnd = media ? std::min(chunkEnd, limit) : 0;
    if (unsized && IsPlaceholder(static_cast<uint32_t>(length)) &&
        (memcmp(chunk, "data", 4) == 0 || list)) {
      walk.stop = RiffWalk::kRanOff;  // the media data runs on to wherever the file ends
      return false;
    }
    // A chunk lies inside its part; only its pad byte may fall outside.
    if (chunkEnd > partEnd) return false;
    if (wave && memcmp(chunk, "fmt ", 4) == 0) walk.hasFormat = true;
    if (wave && memcmp(chunk, "data", 4) == 0) walk.hasData = true;
    if (avi && list && memcmp(chunk + 8, "hdrl", 4) == 0) walk.hasFormat = true;
    if (list && memcmp(chunk + 8, "movi", 4) == 0) walk.hasData = true;
    if (webp && (memcmp(chunk, "VP8", 3) == 0 || memcmp(chunk, "ALPH", 4) == 0 ||
                 memcmp(chunk, "ANMF", 4) == 0)) {
      walk.hasFormat = walk.hasData = true;
    }
    if (chunkEnd > limit) {
      walk.stop = RiffWalk::kRanOff;
      return false;
    }
    at = chunkEnd + (length & 1);
    ++walk.chunks;
    walk.goodEnd = std::min(at, partEnd);
  }
  if (partEnd > limit) {  // only a pad byte was missing, but it is part of the file
    walk.stop = RiffWalk::kRanOff;
    return false;
  }
  walk.goodEnd = partEnd;
  return true;
}

// Walks a RIFF file at offset 0 of `reader` within `limit` bytes, following an AVI into its
// AVIX continuation parts.
RiffWalk Walk(CStreamReader& reader, long long limit) {
  RiffWalk walk;
  long long pos = 0;
  bool first = true;
  while (WalkPart(reader, pos, limit, first, walk)) {
    first = false;
    ++walk.parts;
    pos = walk.end = walk.goodEnd;
    // OpenDML: the next part follows, after a pad byte when the size is odd.
    if (memcmp(walk.form, "AVI ", 4) != 0) break;
    long long next = -1;
    for (long long candidate : {pos, pos + 1}) {
      uint8_t head[12];
      if (candidate + 12 <= limit && reader.Read(candidate, head, 12) &&
          memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "AVIX", 4) == 0) {
        next = candidate;
        break;
      }
    }
    if (next < 0) break;
    pos = next;
  }
  if (walk.parts == 0 || walk.stop == RiffWalk::kRanOff) return walk;
  if (walk.end == walk.goodEnd && walk.end == walk.declared) {
    walk.stop = RiffWalk::kComplete;
  } else {
    walk.stop = RiffWalk::kDamaged;  // an AVIX part broke off
  }
  return walk;
}

// "RIFF", and the "64" that RF64 and BW64 share.
const Signature kStarts[] = {{"RIFF"}, {"64", 2}};

class CRiffHandler final : public CFormatHandlerOf<CRiffHandler> {
 public:
  explicit CRiffHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(
            engine,
            {"salvor.riff", "video/x-msvideo;audio/wav;image/webp;audio/x-riff",
             "RIFF media (AVI, WAV, WebP)", "avi;wav;webp;ani;rmi;sf2;riff", 16777216, INT_MAX},
            {24, kStarts}) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CStreamReader reader(file);
    RiffWalk walk = Walk(reader, reader.Size());
    const char* name = ExtensionOf(walk.form);
    CopyText(extension, extensionSize, name ? name : "riff");
    bool known = ExtensionOf(walk.form) != nullptr;
    return walk.stop == RiffWalk::kComplete && walk.end == reader.Size() &&
           (!known || memcmp(walk.form, "ACON", 4) == 0 || (walk.hasFormat && walk.hasData));
  }

  bool FindEnd(CDataStream* stream, long long blockSize, long long* end) override {
    CStreamReader reader(stream);
    RiffWalk walk = Walk(reader, reader.Size());
    if (walk.stop == RiffWalk::kComplete) {
      *end = EndOf(stream, 0, walk, blockSize);
      return true;
    }
    // Cut off by the next file: keep what is there, up to MaxSize.
    if (walk.stop == RiffWalk::kRanOff) {
      *end = std::min(reader.Size(), MaxSizeBytes());
      return true;
    }
    // Damaged inside: keep the declared size when it ends within the window, else stop at
    // the last sound chunk.
    *end = walk.declared > 0 && walk.declared <= reader.Size() ? walk.declared : walk.goodEnd;
    return *end > 0;
  }

  // An AVIX part continues an AVI; it never starts a file of its own.
  bool CanStart(const uint8_t* head) const override {
    Kind kind;
    return ValidHeader(head, &kind) && memcmp(head + 8, "AVIX", 4) != 0;
  }

 protected:
  // An unfinished file is only believed for a known form whose structure holds beyond its
  // first chunk; a form of its own kind must hold all through.
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start);
    RiffWalk walk = Walk(reader, std::min(reader.Size(), MaxSizeBytes()));
    const bool complete = walk.stop == RiffWalk::kComplete;
    if (!complete &&
        (ExtensionOf(walk.form) == nullptr || (walk.stop == RiffWalk::kDamaged && walk.chunks < 2)))
      return false;
    if (!complete && memcmp(walk.form, "WAVE", 4) == 0 &&
        !KeepsSound(c, walk, std::min(reader.Size(), MaxSizeBytes()),
                    reader.Size() >= MaxSizeBytes()))
      return false;
    found->File(c.start, complete ? c.start + EndOf(c.stream, c.start, walk, c.blockSize) : -1);
    return true;
  }

 private:
  // Whether a WAV cut short keeps kMinSound bytes of its data chunk (a quarter of a second of
  // telephone sound) before the data ends or another file begins at a sector start: a header
  // with a sector of anything after it is no recording. One that MaxSize cut needs only some.
  static bool KeepsSound(const Candidate& c, const RiffWalk& walk, long long limit,
                         bool cutByMaxSize) {
    constexpr long long kMinSound = 4096;
    const long long from = c.start + walk.mediaStart;
    const long long to = std::min(from + kMinSound, c.start + std::min(walk.mediaEnd, limit));
    return walk.mediaStart > 0 && (cutByMaxSize || to - from >= kMinSound) &&
           FirstForeignStart(c.stream, from, to, c.blockSize, [](long long) { return false; }) < 0;
  }

  // The end of a whole file at `at`, relative to it: where another file begins inside its last
  // media chunk when its later sectors were written over, else the walked end.
  static long long EndOf(CDataStream* stream, long long at, const RiffWalk& walk,
                         long long blockSize) {
    if (walk.parts != 1 || walk.mediaEnd <= walk.mediaStart) return walk.end;
    const long long cut = FirstForeignStart(stream, at + walk.mediaStart, at + walk.mediaEnd,
                                            blockSize, [](long long) { return false; });
    return cut >= 0 ? cut - at : walk.end;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CRiffHandler)
