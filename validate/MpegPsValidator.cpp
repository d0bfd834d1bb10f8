// MPEG program streams (mpg, mpeg, vob): pack headers (MPEG-1 or MPEG-2 form, one form
// throughout), system headers and PES packets, each with its length, follow one another from
// start code to start code up to the program end code, their marker bits set. The packets'
// payload (MPEG video, audio) is not decoded: a stream whose structure holds is "cannot tell",
// one whose structure breaks is damaged where it breaks.

#include <algorithm>
#include <cstring>

#include "validate/Formats.h"
#include "validate/MediaCommon.h"

namespace salvor {

namespace {

constexpr unsigned char kEndCode = 0xB9;
constexpr unsigned char kPackCode = 0xBA;
constexpr unsigned char kSystemHeaderCode = 0xBB;

bool StartCode(const unsigned char* p) {
  return p[0] == 0 && p[1] == 0 && p[2] == 1;
}

// The length of a pack header (16 bytes at p), 0 when it is not one of `form` (1 or 2; 0: any,
// set to the one found).
int PackLength(const unsigned char* p, int* form) {
  if (!StartCode(p) || p[3] != kPackCode) return 0;
  if ((p[4] & 0xC4) == 0x44 && *form != 1) {
    const unsigned rate = static_cast<unsigned>(p[10]) << 14 | p[11] << 6 | p[12] >> 2;
    if ((p[6] & 4) == 0 || (p[8] & 4) == 0 || (p[9] & 1) == 0 || (p[12] & 3) != 3 || rate == 0)
      return 0;
    *form = 2;
    return 14 + (p[13] & 7);
  }
  if ((p[4] & 0xF1) == 0x21 && *form != 2) {
    const unsigned rate = static_cast<unsigned>(p[9] & 0x7F) << 15 | p[10] << 7 | p[11] >> 1;
    if ((p[6] & 1) == 0 || (p[8] & 1) == 0 || (p[9] & 0x80) == 0 || (p[11] & 1) == 0 || rate == 0)
      return 0;
    *form = 1;
    return 12;
  }
  return 0;
}

// The system clock reference of a pack header (90 kHz units, 33 bits).
long long PackClock(const unsigned char* p, int form) {
  if (form == 2) {
    return static_cast<long long>((p[4] >> 3) & 7) << 30 | static_cast<long long>(p[4] & 3) << 28 |
           static_cast<long long>(p[5]) << 20 | static_cast<long long>(p[6] >> 3) << 15 |
           static_cast<long long>(p[6] & 3) << 13 | static_cast<long long>(p[7]) << 5 | p[8] >> 3;
  }
  return static_cast<long long>((p[4] >> 1) & 7) << 30 | static_cast<long long>(p[5]) << 22 |
         static_cast<long long>(p[6] >> 1) << 15 | static_cast<long long>(p[7]) << 7 | p[8] >> 1;
}

// A clock that runs backwards begins another stream (a file written right behind this one),
// unless it wrapped around its 33 bits.
bool ClockStartsOver(long long previous, long long current) {
  constexpr long long kMargin = 90000LL * 3600;
  return current < previous && !(previous > (1LL << 33) - kMargin && current < kMargin);
}

// A time stamp's five bytes: its prefix nibble and three marker bits.
bool TimeStamp(const unsigned char* p, unsigned prefix) {
  return p[0] >> 4 == prefix && (p[0] & 1) != 0 && (p[2] & 1) != 0 && (p[4] & 1) != 0;
}

// How many bytes of the packet at p (`have` of them read, `length` in all) its header takes,
// checked; 0 when it is wrong.
long long PacketHeader(const unsigned char* p, long long have, long long length, int form) {
  const unsigned code = p[3];
  if (code == kSystemHeaderCode) {
    // Marker bits around the rate and video bounds, reserved bits set, 3 bytes per stream.
    if (length < 12 || (length - 12) % 3 != 0 || (p[6] & 0x80) == 0 || (p[8] & 1) == 0 ||
        (p[10] & 0x20) == 0 || (p[11] & 0x7F) != 0x7F)
      return 0;
    long long at = 12;
    for (; at + 3 <= std::min(have, length); at += 3)
      if (p[at] < 0xB8 || (p[at + 1] & 0xC0) != 0xC0) return 0;
    return at;
  }
  // Stream map, padding, private stream 2 and the system streams have no PES header.
  if (code == 0xBC || code == 0xBE || code == 0xBF || code == 0xF0 || code == 0xF1 ||
      code == 0xF2 || code == 0xF8 || code == 0xFF)
    return 6;
  long long at = 6;
  if (form == 2) {
    const unsigned flags = p[7] >> 6;
    if ((p[6] & 0xC0) != 0x80 || flags == 1 || 9 + p[8] > length) return 0;
    at = 9;
    if (flags >= 2) {
      if (!TimeStamp(p + at, flags == 3 ? 3 : 2)) return 0;
      at += 5;
    }
    if (flags == 3) {
      if (!TimeStamp(p + at, 1)) return 0;
      at += 5;
    }
  } else {
    // Up to 16 stuffing bytes, the buffer size ('01'), then the time stamps or 0x0F.
    while (at < 22 && p[at] == 0xFF) ++at;
    if (p[at] >> 6 == 1) at += 2;
    if (p[at] >> 4 == 2 && TimeStamp(p + at, 2)) {
      at += 5;
    } else if (p[at] >> 4 == 3 && TimeStamp(p + at, 3) && TimeStamp(p + at + 5, 1)) {
      at += 10;
    } else if (p[at] == 0x0F) {
      at += 1;
    } else {
      return 0;
    }
  }
  return at <= length ? at : 0;
}

// Whether a pack of the stream's form begins soon after `at`: the units stopped at a break.
bool PacksResume(media::WindowReader& bytes, long long at, int form) {
  constexpr long long kLook = 64 * 1024;
  const long long end = std::min(bytes.Size(), at + kLook);
  unsigned char p[16];
  for (long long from = at + 1; from + 16 <= end; ++from) {
    if (!bytes.ReadAll(from, p, 4) || !StartCode(p) || p[3] != kPackCode) continue;
    int same = form;
    if (bytes.ReadAll(from, p, 16) && PackLength(p, &same) > 0) return true;
  }
  return false;
}

}  // namespace

Validation ValidateMpegPs(ByteSpan& span) {
  media::WindowReader bytes(span);
  const long long size = bytes.Size();
  // The longest header read: an MPEG-1 packet's stuffing, buffer size and two time stamps, or
  // a system header's first streams.
  unsigned char p[64];
  int form = 0;
  long long at = 0, verified = 0, clock = -1;
  for (;;) {
    std::memset(p, 0, sizeof p);
    const long long got = bytes.Read(at, p, sizeof p);
    if (got < 4) {
      // The span ends inside a start code, or the stream ends with the span.
      const unsigned char prefix[3] = {0, 0, 1};
      if (got > 0 && std::memcmp(p, prefix, static_cast<size_t>(got)) == 0)
        return Validation::Damaged(verified, size, "cut short");
      break;
    }
    if (!StartCode(p)) break;
    const unsigned code = p[3];
    if (code == kEndCode) return Validation::CannotTell();
    long long length = 0, checked = 0;
    if (code == kPackCode) {
      if (got < 14) return Validation::Damaged(verified, size, "cut short");
      const int first = form;
      length = checked = PackLength(p, &form);
      if (length == 0) {
        int any = 0;  // the other form: a different stream begins
        if (first != 0 && PackLength(p, &any) > 0) return Validation::CannotTell();
        return Validation::Damaged(verified, at + 14, "bad pack header");
      }
      const long long now = PackClock(p, form);
      if (clock >= 0 && ClockStartsOver(clock, now)) return Validation::CannotTell();
      clock = now;
      if (at + length > size) return Validation::Damaged(verified, size, "cut short");
      for (long long i = (form == 2 ? 14 : length); i < length; ++i)
        if (p[i] != 0xFF) return Validation::Damaged(verified, at + i + 1, "bad pack stuffing");
    } else if (code >= kSystemHeaderCode) {
      if (form == 0) return Validation::Damaged(0, 4, "no pack header");
      if (got < 6) return Validation::Damaged(verified, size, "cut short");
      length = 6 + media::Be16(p + 4);
      if (got < std::min<long long>(length, sizeof p))
        return Validation::Damaged(verified, size, "cut short");
      checked = PacketHeader(p, got, length, form);
      if (checked == 0)
        return Validation::Damaged(verified, at + std::min<long long>(length, 24),
                                   "bad packet header");
    } else {
      break;  // a start code of the video inside, not of the system layer
    }
    verified = at + checked;
    if (at + length > size) return Validation::Damaged(verified, size, "cut short");
    at += length;
  }
  if (at == 0) return Validation::Damaged(0, std::min(size, 4LL), "no pack header");
  if (PacksResume(bytes, at, form))
    return Validation::Damaged(verified, at + 1, "packets do not chain");
  return Validation::CannotTell();
}

}  // namespace salvor
