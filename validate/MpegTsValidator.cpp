// MPEG transport streams (188-byte packets, or 192 with a time stamp before each as in
// M2TS/MTS): every packet starts with the sync byte and each PID's continuity counter steps by
// one from packet to packet. That is all the structure says: a stream that keeps it is "cannot
// tell", one that breaks it is damaged where it breaks.

#include <algorithm>
#include <array>

#include "validate/Formats.h"
#include "validate/MediaCommon.h"

namespace salvor {

namespace {

constexpr unsigned char kSync = 0x47;

// Whether `count` packets of `stride` bytes start at `at`.
bool PacketsFrom(media::WindowReader& bytes, long long at, int stride, int lead, int count) {
  for (int i = 0; i < count; ++i) {
    unsigned char sync = 0;
    if (!bytes.ReadAll(at + static_cast<long long>(i) * stride + lead, &sync, 1) || sync != kSync)
      return false;
  }
  return true;
}

}  // namespace

Validation ValidateMpegTs(ByteSpan& span) {
  media::WindowReader bytes(span);
  const long long size = bytes.Size();
  int stride = 0, lead = 0;
  if (PacketsFrom(bytes, 0, 192, 4, std::min(3LL, size / 192))) {
    stride = 192;
    lead = 4;
  } else if (PacketsFrom(bytes, 0, 188, 0, std::min(3LL, size / 188))) {
    stride = 188;
  }
  if (stride == 0 || size < stride) return Validation::Damaged(0, std::min(size, 5LL), "no packet");
  std::array<signed char, 8192> counters;
  counters.fill(-1);
  long long at = 0, verified = 0;
  for (; at + stride <= size; at += stride) {
    unsigned char head[6];
    bytes.ReadAll(at + lead, head, 6);
    if (head[0] != kSync) break;
    const int pid = (head[1] & 0x1F) << 8 | head[2];
    const int control = (head[3] >> 4) & 3, counter = head[3] & 0xF;
    if ((head[1] & 0x80) != 0 || control == 0)
      return Validation::Damaged(verified, at + lead + 4, "bad packet header");
    if (pid != 0x1FFF && (control & 1) != 0) {
      // A discontinuity flagged in the adaptation field allows any counter.
      const bool discontinuity = (control & 2) != 0 && head[4] > 0 && (head[5] & 0x80) != 0;
      const int last = counters[static_cast<size_t>(pid)];
      if (last >= 0 && !discontinuity && counter != ((last + 1) & 0xF) && counter != last)
        return Validation::Damaged(verified, at + lead + 4, "continuity counter jumps");
      counters[static_cast<size_t>(pid)] = static_cast<signed char>(counter);
    }
    verified = at + lead + 4;
  }
  if (at == size) return Validation::CannotTell();
  unsigned char sync = 0;
  if (size - at < stride && bytes.ReadAll(at + lead, &sync, 1) && sync == kSync)
    return Validation::Damaged(verified, size, "cut short");
  // Packets that resume a little further on: a break, not the end.
  constexpr long long kLook = 64 * 1024;
  for (long long from = at + 1; from < std::min(size, at + kLook); ++from)
    if (PacketsFrom(bytes, from, stride, lead, 5))
      return Validation::Damaged(verified, std::min(at + lead + 1, size), "packets do not chain");
  return Validation::CannotTell();
}

}  // namespace salvor
