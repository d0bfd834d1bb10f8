// MPEG transport streams: 188-byte packets (TS), or 192-byte packets with a 4-byte arrival
// timestamp in front (camcorder MTS, Blu-ray M2TS). There is no size field and no end marker:
// the file is the run of packets whose sync bytes hold at the packet stride.

#include <climits>

#include "modules/common/TextCopy.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

constexpr uint8_t kSync = 0x47;
constexpr int kPacketSize = 188;
constexpr int kTimestampSize = 4;
// Packets whose sync bytes must hold before a start is believed.
constexpr int kMinPackets = 6;
// 192-byte streams are written in aligned units of 32 packets (6144 bytes).
constexpr int kAlignedUnitPackets = 32;
constexpr int kMaxTrackedPids = 64;
// The stream's tables and elementary streams show up within its first packets.
constexpr int kIntroPackets = 64;
constexpr uint16_t kNullPid = 0x1FFF;

struct Layout {
  int stride;      // 188 or 192
  int syncOffset;  // 0, or 4 behind the timestamp
};
constexpr Layout kTs = {kPacketSize, 0};
constexpr Layout kM2ts = {kPacketSize + kTimestampSize, kTimestampSize};

// Header bytes of one packet: sync, no transport error, a defined adaptation field control.
bool PlausibleHeader(const uint8_t* p) {
  return p[0] == kSync && !(p[1] & 0x80) && (p[3] & 0x30) != 0;
}
uint16_t Pid(const uint8_t* p) {
  return uint16_t((p[1] & 0x1F) << 8 | p[2]);
}

// A stream opens with its tables: the program association table (PID 0) or the service
// description table (PID 0x11), at the start of a section.
bool OpensStream(const uint8_t* p) {
  uint16_t pid = Pid(p);
  return PlausibleHeader(p) && (p[1] & 0x40) && (pid == 0 || pid == 0x11);
}

struct RunResult {
  long long end = -1;  // one past the last packet that certainly belongs to the run
  bool pastLimit = false;
  bool clean = true;  // every packet of the data examined belonged to the run
};

// Follows the packets from offset 0 of `reader` while their sync bytes hold. A packet with a
// PID never seen before is held back until a packet of a known PID follows it, so that one
// chance sync byte in the data after the file does not extend it.
RunResult FollowRun(CStreamReader& reader, const Layout& layout, long long limit) {
  RunResult result;
  struct PidState {
    uint16_t pid;
    int continuity;  // last continuity counter of a packet with payload, -1 before one
  };
  PidState pids[kMaxTrackedPids];
  int pidCount = 0;
  long long confirmedEnd = 0;
  long long position = 0;
  long long stop = reader.Size() < limit ? reader.Size() : limit;
  while (true) {
    if (position + layout.stride > stop) {
      result.pastLimit = position + layout.stride <= reader.Size();
      result.clean = position == reader.Size();
      break;
    }
    const uint8_t* p = reader.Peek(position + layout.syncOffset, 4);
    if (p == nullptr || !PlausibleHeader(p)) {
      result.clean = false;
      break;
    }
    uint16_t pid = Pid(p);
    PidState* state = nullptr;
    for (int i = 0; i < pidCount && state == nullptr; ++i) {
      if (pids[i].pid == pid) state = &pids[i];
    }
    if (state != nullptr && (p[3] & 0x10)) {
      int counter = p[3] & 0x0F;
      bool continues = state->continuity < 0 || counter == state->continuity ||
                       counter == ((state->continuity + 1) & 0x0F);
      // Tables that start over with a broken count: the next recording, written right behind
      // this one (camcorders write clip after clip).
      if (!continues && OpensStream(p)) break;
      state->continuity = counter;
    }
    position += layout.stride;
    if (state != nullptr || pid == kNullPid) {
      confirmedEnd = position;
    } else if (pidCount < kMaxTrackedPids) {
      pids[pidCount++] = {pid, (p[3] & 0x10) ? p[3] & 0x0F : -1};
      // The first packets introduce the stream's PIDs; they are the file's own.
      if (position <= layout.stride * kIntroPackets) confirmedEnd = position;
    }
  }
  result.end = confirmedEnd;
  if (confirmedEnd != position) result.clean = false;
  // A 192-byte stream that stops inside an aligned unit was cut: its last packet may be only
  // the head of one, with other data behind it.
  long long packets = result.end / layout.stride;
  if (layout.stride != kPacketSize && packets % kAlignedUnitPackets != 0 && !result.pastLimit &&
      result.end < reader.Size() && packets > kMinPackets) {
    result.end -= layout.stride;
    result.clean = false;
  }
  return result;
}

// The cheap test on a packet start: its own header and the sync bytes of the next packets.
bool LooksLikeStart(const uint8_t* bytes, size_t available, const Layout& layout) {
  size_t needed = static_cast<size_t>(layout.stride * 2 + layout.syncOffset + 4);
  return available >= needed && OpensStream(bytes + layout.syncOffset) &&
         bytes[layout.stride + layout.syncOffset] == kSync &&
         bytes[2 * layout.stride + layout.syncOffset] == kSync;
}

bool StartValid(CStreamReader& reader, const Layout& layout) {
  for (int i = 0; i < kMinPackets; ++i) {
    const uint8_t* p =
        reader.Peek(static_cast<long long>(i) * layout.stride + layout.syncOffset, 4);
    if (p == nullptr || !PlausibleHeader(p)) return false;
  }
  return true;
}

const HandlerInfo kInfo = {
    "salvor.mpegts", "video/mp2t", "MPEG transport stream video", "mts;m2ts;ts",
    16777216,  // 16 GiB: recordings and films reach many GiB
    INT_MAX,
};

// The header of the packet a stream opens with (OpensStream: no error, a section starts, PID
// 0 or 0x11), at the start or after an M2TS packet's timestamp, and the sync byte of the next
// packet: a start needs both (LooksLikeStart).
const uint8_t kOpening[] = {kSync, 0x40, 0x00};
const uint8_t kOpeningBits[] = {0xFF, 0xDF, 0xEE};
const Signature kStarts[] = {{kOpening, kOpeningBits, 0, kPacketSize},
                             {kOpening, kOpeningBits, kTimestampSize, kM2ts.stride}};

class CMpegTsHandler final : public CFormatHandlerOf<CMpegTsHandler> {
 public:
  explicit CMpegTsHandler(CPhotoRecovery* engine) : CFormatHandlerOf(engine, kInfo, {8, kStarts}) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "");
    CStreamReader reader(file);
    uint8_t head[kM2ts.stride * 2 + 8];
    if (!reader.Read(0, head, sizeof head)) return false;
    for (const Layout* layout : {&kTs, &kM2ts}) {
      if (!LooksLikeStart(head, sizeof head, *layout) || !StartValid(reader, *layout)) continue;
      CopyText(extension, extensionSize, layout->stride == kPacketSize ? "ts" : "mts");
      RunResult run = FollowRun(reader, *layout, reader.Size());
      bool wholeUnits =
          layout->stride == kPacketSize || (run.end / layout->stride) % kAlignedUnitPackets == 0;
      return run.clean && run.end == reader.Size() && wholeUnits;
    }
    return false;
  }

  bool FindEnd(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    uint8_t head[kM2ts.stride * 2 + 8];
    if (!reader.Read(0, head, sizeof head)) return false;
    for (const Layout* layout : {&kTs, &kM2ts}) {
      if (!LooksLikeStart(head, sizeof head, *layout)) continue;
      RunResult run = FollowRun(reader, *layout, reader.Size());
      if (run.end <= 0) return false;
      *end = run.end;
      return true;
    }
    return false;
  }

  // A sync byte where a packet of either layout begins.
  bool CanStart(const uint8_t* head) const override {
    return head[0] == kSync || head[kTimestampSize] == kSync;
  }

 protected:
  // Without an end marker the run's end is the file's end, also at the end of the source;
  // only a run going on past MaxSize leaves the end to the later search.
  bool Examine(const Candidate& c, Found* found) override {
    const uint8_t* bytes = c.bytes;
    size_t available = c.available;
    uint8_t head[kM2ts.stride * 2 + 8];
    if (available < sizeof head) {
      available = ReadAt(c.stream, c.start, head, sizeof head);
      bytes = head;
    }
    for (const Layout* layout : {&kTs, &kM2ts}) {
      if (!LooksLikeStart(bytes, available, *layout)) continue;
      CStreamReader reader(c.stream, c.start);
      if (!StartValid(reader, *layout)) continue;
      RunResult run = FollowRun(reader, *layout, MaxSizeBytes());
      if (run.pastLimit) {
        found->FileBeyondMaxSize(c.start);
      } else {
        found->File(c.start, c.start + run.end);
      }
      return true;
    }
    return false;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CMpegTsHandler)
