// MPEG program streams (MPG, DVD VOB): pack headers (MPEG-1 and MPEG-2 forms), system headers
// and PES packets, each with its own length, chained up to the program end code.

#include <climits>

#include "modules/common/TextCopy.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

constexpr uint8_t kPackCode = 0xBA;
constexpr uint8_t kSystemHeaderCode = 0xBB;
constexpr uint8_t kEndCode = 0xB9;
constexpr uint8_t kPrivateStream2 = 0xBF;  // DVD navigation packets
// Units that must chain behind the first pack header before a start is believed.
constexpr int kMinUnits = 3;

bool IsStartCodePrefix(const uint8_t* p) {
  return p[0] == 0 && p[1] == 0 && p[2] == 1;
}

// Length of the pack header at p (at least 14 bytes readable), or 0 when its marker bits are
// wrong. The MPEG-2 form may carry up to 7 stuffing bytes.
int PackHeaderLength(const uint8_t* p, bool* mpeg2) {
  if (!IsStartCodePrefix(p) || p[3] != kPackCode) return 0;
  if ((p[4] & 0xC4) == 0x44) {
    if (!(p[6] & 0x04) || !(p[8] & 0x04) || !(p[9] & 0x01) || (p[12] & 0x03) != 0x03) return 0;
    *mpeg2 = true;
    return 14 + (p[13] & 0x07);
  }
  if ((p[4] & 0xF1) == 0x21) {
    if (!(p[6] & 0x01) || !(p[8] & 0x01) || !(p[9] & 0x80) || !(p[11] & 0x01)) return 0;
    *mpeg2 = false;
    return 12;
  }
  return 0;
}

// The system clock reference of a pack header (90 kHz units, 33 bits).
long long PackClock(const uint8_t* p, bool mpeg2) {
  if (mpeg2) {
    return static_cast<long long>((p[4] >> 3) & 7) << 30 | static_cast<long long>(p[4] & 3) << 28 |
           static_cast<long long>(p[5]) << 20 | static_cast<long long>(p[6] >> 3) << 15 |
           static_cast<long long>(p[6] & 3) << 13 | static_cast<long long>(p[7]) << 5 | p[8] >> 3;
  }
  return static_cast<long long>((p[4] >> 1) & 7) << 30 | static_cast<long long>(p[5]) << 22 |
         static_cast<long long>(p[6] >> 1) << 15 | static_cast<long long>(p[7]) << 7 | p[8] >> 1;
}

// A clock that runs backwards starts another stream (a file written right behind this one),
// unless it wrapped around its 33 bits.
bool ClockStartsOver(long long previous, long long current) {
  constexpr long long kWrapMargin = 90000LL * 3600;
  constexpr long long kClockRange = 1LL << 33;
  return current < previous && !(previous > kClockRange - kWrapMargin && current < kWrapMargin);
}

struct WalkResult {
  long long end = 0;  // one past the last whole unit
  bool endCode = false;
  bool offSource = false;
  bool pastLimit = false;
  bool dvd = false;
  int units = 0;
};

// Follows the units from offset 0 while they chain.
WalkResult Walk(CStreamReader& reader, long long limit) {
  WalkResult result;
  long long position = 0;
  uint8_t head[16];
  long long clock = -1;
  bool firstMpeg2 = false;
  while (true) {
    long long remaining = reader.Size() - position;
    if (remaining < 4) {
      result.offSource = remaining > 0;
      break;
    }
    size_t length = remaining < 16 ? static_cast<size_t>(remaining) : 16;
    if (!reader.Read(position, head, length) || !IsStartCodePrefix(head)) break;
    uint8_t code = head[3];
    long long unit;
    if (code == kEndCode) {
      if (position + 4 > limit) {
        result.pastLimit = true;
        break;
      }
      result.endCode = true;
      result.end = position + 4;
      ++result.units;
      break;
    }
    if (code == kPackCode) {
      bool mpeg2 = false;
      if (length < 14) {
        result.offSource = true;
        break;
      }
      unit = PackHeaderLength(head, &mpeg2);
      if (unit == 0) break;
      long long packClock = PackClock(head, mpeg2);
      if (clock < 0) firstMpeg2 = mpeg2;
      if (mpeg2 != firstMpeg2 || (clock >= 0 && ClockStartsOver(clock, packClock))) break;
      clock = packClock;
    } else if (code >= kSystemHeaderCode) {
      if (length < 6) {
        result.offSource = true;
        break;
      }
      unit = 6 + LoadBE16(head + 4);
      if (code == kPrivateStream2) result.dvd = true;
    } else {
      break;
    }
    if (position + unit > reader.Size()) {
      result.offSource = true;
      break;
    }
    if (position + unit > limit) {
      result.pastLimit = true;
      break;
    }
    position += unit;
    result.end = position;
    ++result.units;
  }
  return result;
}

// Strict start test: a pack header whose units chain on.
bool StartValid(CStreamReader& reader, WalkResult* walk, long long limit) {
  *walk = Walk(reader, limit);
  return walk->units >= kMinUnits || (walk->endCode && walk->units >= 2);
}

const HandlerInfo kInfo = {
    "salvor.mpeg", "video/mpeg;video/mp2p", "MPEG program stream video", "mpg;vob;mpeg",
    16777216,  // 16 GiB: recordings and films reach many GiB
    INT_MAX,
};

const Signature kStarts[] = {{"\x00\x00\x01\xBA"}};

class CMpegPsHandler final : public CFormatHandlerOf<CMpegPsHandler> {
 public:
  explicit CMpegPsHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(engine, kInfo, {16, kStarts}) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "");
    CStreamReader reader(file);
    uint8_t head[16];
    bool mpeg2 = false;
    if (!reader.Read(0, head, sizeof head) || PackHeaderLength(head, &mpeg2) == 0) return false;
    WalkResult walk;
    if (!StartValid(reader, &walk, reader.Size())) return false;
    CopyText(extension, extensionSize, walk.dvd ? "vob" : "mpg");
    // Most writers leave the end code out: a stream whose units fill the file exactly is whole.
    return walk.end == reader.Size();
  }

  bool FindEnd(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    WalkResult walk = Walk(reader, reader.Size());
    if (walk.units == 0 || walk.end <= 0) return false;
    *end = walk.end;
    return true;
  }

  bool CanStart(const uint8_t* head) const override {
    bool mpeg2 = false;
    return PackHeaderLength(head, &mpeg2) != 0;
  }

 protected:
  // Many recordings stop without an end code (cut at a size limit, or truncated): the last
  // unit that chains is then the end. Only a stream going on past MaxSize is left open.
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start);
    WalkResult walk;
    if (!StartValid(reader, &walk, MaxSizeBytes())) return false;
    if (walk.pastLimit) {
      found->FileBeyondMaxSize(c.start);
    } else {
      found->File(c.start, c.start + walk.end);
    }
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CMpegPsHandler)
