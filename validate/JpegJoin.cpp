// JPEG joins judged by the entropy-coded data across the cut. libjpeg-turbo, which validates
// the file, cannot be stopped at the cut and resumed once per candidate, so every candidate
// would cost a decode of the whole first piece again. This check reads the Huffman codes of a
// sequential (baseline) scan itself: the first piece once for a run of cuts, noting where the
// block that holds each cut begins, then, for each candidate, from that block on to 64 KiB
// past the cut. It produces no pixels; it asks only whether the bits past the cut are codes of
// this file's tables, with coefficients in range, restart markers in order and the image's end
// where its size puts it.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "validate/Formats.h"
#include "validate/Spans.h"

namespace salvor {
namespace {

// How far past the cut a candidate's codes are read: random bytes fail within a few dozen,
// another photo's data with other tables within a few hundred, with the same tables (cameras
// and libraries share theirs) within some tens of KiB, if at all.
constexpr long long kReadPast = 64 * 1024;
// The headers before the scan: EXIF with its thumbnail fits in 64 KiB.
constexpr long long kMaxHeaders = 256 * 1024;
// The first piece is read at some 50 MB/s: a longer one is not judged, so that no single
// candidate holds the search up for long.
constexpr long long kMaxPrefix = 32LL << 20;
constexpr int kDcLimit = 1024;
// Bytes an encoder may leave between a segment's last block and its marker.
constexpr long long kSegmentEndSlack = 8;
constexpr long long kSector = 512;
// The cuts below the first one tried whose prefixes are noted on the way: a search tries about
// this many (kJoinReach in sectors and a margin).
constexpr long long kCutsBelow = 160;
constexpr size_t kMaxCached = 4096;
// How far past the cut a continuation must decode for a break to be taken for its end.
constexpr long long kPieceEndPast = 8 * kSector;
constexpr int kMaxReads = 64;

struct Huffman {
  bool present = false;
  std::array<uint8_t, 512> fastLength{};  // codes of up to 9 bits, by their first 9 bits
  std::array<uint8_t, 512> fastSymbol{};
  std::array<int32_t, 18> maxCode{};  // the largest code of each length, -1 when none
  std::array<int32_t, 17> firstIndex{};
  std::array<int32_t, 17> firstCode{};
  std::array<uint8_t, 256> symbols{};

  bool Build(const uint8_t* counts, const uint8_t* values, int total) {
    std::memcpy(symbols.data(), values, static_cast<size_t>(total));
    fastLength.fill(0);
    int code = 0, index = 0;
    for (int length = 1; length <= 16; ++length) {
      firstIndex[length] = index;
      firstCode[length] = code;
      for (int i = 0; i < counts[length - 1]; ++i, ++code, ++index) {
        if (code >= (1 << length)) return false;  // more codes than the length holds
        if (length <= 9) {
          const int shift = 9 - length;
          for (int low = 0; low < (1 << shift); ++low) {
            fastLength[static_cast<size_t>(code << shift | low)] = static_cast<uint8_t>(length);
            fastSymbol[static_cast<size_t>(code << shift | low)] = values[index];
          }
        }
      }
      maxCode[length] = counts[length - 1] > 0 ? code - 1 : -1;
      code <<= 1;
    }
    maxCode[17] = 0x7FFFFFFF;
    present = true;
    return true;
  }
};

struct ScanComponent {
  int dcTable = 0, acTable = 0, blocks = 1, quant = 1;  // blocks per MCU; DC quantizer
};

// What the headers say the scan is: enough to walk its codes.
struct Layout {
  std::array<Huffman, 4> dc, ac;
  std::vector<ScanComponent> components;
  std::vector<int> blockComponent;  // the component of each block of an MCU
  long long mcus = 0;
  int restartInterval = 0;
  long long dataStart = 0;
};

// Where the decoding stands: the bytes loaded and the block, MCU and predictions reached.
struct Position {
  long long at = 0;     // the next byte to load
  uint64_t buffer = 0;  // bits loaded, most significant first
  int bits = 0;
  long long mcu = 0;
  int block = 0;
  int nextRestart = 0;
  std::array<int, 4> dc{};
};

// The same, as a point in the bytes: the byte that holds the next bit and how many of its bits
// are spent. Holds nothing read past it, so that a continuation can be tried from there.
struct Resume {
  long long byte = 0;
  int spent = 0;
  long long mcu = 0;
  int block = 0;
  int nextRestart = 0;
  std::array<int, 4> dc{};
};

enum class Step { kOk, kBad, kOut };  // kOut: no more bytes to read

class EntropyReader {
 public:
  EntropyReader(const Layout& layout, ByteSpan& bytes, long long limit)
      : FLayout(layout), FBytes(bytes), FLimit(limit) {}

  Position position;
  long long markerAt = -1;  // where loading stopped at a marker

  Resume Here() const {
    Resume here{position.at, 0, position.mcu, position.block, position.nextRestart, position.dc};
    if (position.bits > 0) {
      const long long held = (position.bits + 7) / 8;  // bytes with bits not yet spent
      here.byte = FLoadedAt[static_cast<size_t>((FLoaded - held) % 8)];
      here.spent = (8 - position.bits % 8) % 8;
    }
    return here;
  }

  Step Restore(const Resume& from) {
    position = Position();
    position.at = from.byte;
    position.mcu = from.mcu;
    position.block = from.block;
    position.nextRestart = from.nextRestart;
    position.dc = from.dc;
    if (from.spent == 0) return Step::kOk;
    const Step step = Need(from.spent);
    if (step == Step::kOk) Consume(from.spent);
    return step;
  }

  // One block, from position; kOut when its bits reach past the limit or the bytes.
  Step Block() {
    const int component = FLayout.blockComponent[static_cast<size_t>(position.block)];
    const ScanComponent& scan = FLayout.components[static_cast<size_t>(component)];
    int symbol = 0;
    Step step = Decode(FLayout.dc[static_cast<size_t>(scan.dcTable)], symbol);
    if (step != Step::kOk) return step;
    if (symbol > 11) return Step::kBad;
    int value = 0;
    if ((step = Bits(symbol, value)) != Step::kOk) return step;
    int& dc = position.dc[static_cast<size_t>(component)];
    dc += value;
    const long long scaled = static_cast<long long>(dc) * scan.quant;
    if (scaled < -kDcLimit - scan.quant || scaled > kDcLimit + scan.quant) return Step::kBad;
    for (int k = 1; k < 64;) {
      if ((step = Decode(FLayout.ac[static_cast<size_t>(scan.acTable)], symbol)) != Step::kOk)
        return step;
      const int run = symbol >> 4, size = symbol & 15;
      if (size == 0) {
        if (run != 15) break;  // end of block
        k += 16;
        continue;
      }
      k += run;
      if (k > 63 || size > 10) return Step::kBad;
      if ((step = Bits(size, value)) != Step::kOk) return step;
      ++k;
    }
    if (++position.block == static_cast<int>(FLayout.blockComponent.size())) {
      position.block = 0;
      ++position.mcu;
    }
    return Step::kOk;
  }

  // After the last block of a restart interval or of the image: padding, then `marker`.
  Step SegmentEnd(uint8_t marker) {
    // The whole bytes still loaded were read too early: they come before the marker.
    long long at = position.at - position.bits / 8;
    position.buffer = 0;
    position.bits = 0;
    for (long long slack = 0; slack <= kSegmentEndSlack; ++slack, ++at) {
      uint8_t two[2];
      if (at + 2 > FLimit || FBytes.Read(at, two, 2) < 2) return Step::kOut;
      if (two[0] != 0xFF || two[1] == 0x00) continue;
      if (two[1] == 0xFF) continue;  // fill before the marker
      if (two[1] != marker) return Step::kBad;
      position.at = at + 2;
      markerAt = -1;
      return Step::kOk;
    }
    return Step::kBad;
  }

 private:
  // Loads whole bytes while they fit, stopping at a marker.
  void Load() {
    while (position.bits <= 56 && markerAt < 0) {
      if (FChunkAt < 0 || position.at < FChunkAt || position.at + 2 > FChunkAt + FChunkLength) {
        FChunkAt = position.at;
        FChunkLength = 0;
        const long long want = std::min<long long>(sizeof FChunk, FLimit - position.at);
        if (want > 0) FChunkLength = std::max(0LL, FBytes.Read(position.at, FChunk, want));
        if (FChunkLength == 0) return;
      }
      const uint8_t* p = FChunk + (position.at - FChunkAt);
      const long long left = FChunkAt + FChunkLength - position.at;
      FLoadedAt[static_cast<size_t>(FLoaded % 8)] = position.at;
      if (p[0] != 0xFF) {
        position.buffer |= static_cast<uint64_t>(p[0]) << (56 - position.bits);
        position.bits += 8;
        position.at += 1;
        ++FLoaded;
        continue;
      }
      if (left < 2) return;
      if (p[1] != 0x00) {
        markerAt = position.at;
        return;
      }
      position.buffer |= 0xFFULL << (56 - position.bits);
      position.bits += 8;
      position.at += 2;
      ++FLoaded;
    }
  }

  Step Need(int count) {
    if (position.bits < count) Load();
    if (position.bits >= count) return Step::kOk;
    // A marker where bits must follow ends the data too early; running out of bytes says
    // nothing.
    return markerAt >= 0 ? Step::kBad : Step::kOut;
  }

  Step Decode(const Huffman& table, int& symbol) {
    if (!table.present) return Step::kBad;
    if (position.bits < 16) Load();
    const int have = position.bits;
    const uint32_t peek = static_cast<uint32_t>(position.buffer >> 48);  // 16 bits
    const uint8_t fast = table.fastLength[peek >> 7];
    if (fast != 0 && fast <= have) {
      symbol = table.fastSymbol[peek >> 7];
      Consume(fast);
      return Step::kOk;
    }
    for (int length = fast != 0 ? fast : 10; length <= 16; ++length) {
      if (length > have) return markerAt >= 0 ? Step::kBad : Step::kOut;
      const int32_t code = static_cast<int32_t>(peek >> (16 - length));
      if (code <= table.maxCode[length] && table.maxCode[length] >= 0) {
        const int32_t index = table.firstIndex[length] + code - table.firstCode[length];
        if (index < 0 || index > 255) return Step::kBad;
        symbol = table.symbols[static_cast<size_t>(index)];
        Consume(length);
        return Step::kOk;
      }
    }
    return Step::kBad;  // no code of this table
  }

  Step Bits(int count, int& value) {
    value = 0;
    if (count == 0) return Step::kOk;
    const Step step = Need(count);
    if (step != Step::kOk) return step;
    const int raw = static_cast<int>(position.buffer >> (64 - count));
    Consume(count);
    value = raw < (1 << (count - 1)) ? raw - (1 << count) + 1 : raw;
    return Step::kOk;
  }

  void Consume(int count) {
    position.buffer <<= count;
    position.bits -= count;
  }

  const Layout& FLayout;
  ByteSpan& FBytes;
  const long long FLimit;
  uint8_t FChunk[1024];
  long long FChunkAt = -1, FChunkLength = 0;
  std::array<long long, 8> FLoadedAt{};  // where the last bytes loaded lie, by FLoaded % 8
  long long FLoaded = 0;
};

// Reads the headers up to the first scan. False for what this check does not walk:
// progressive, lossless or arithmetic-coded files, 12-bit samples, a scan of only some
// components, or headers that do not parse (the validator's to judge).
bool ReadLayout(ByteSpan& bytes, long long limit, Layout& layout) {
  uint8_t head[4];
  if (bytes.Read(0, head, 2) < 2 || head[0] != 0xFF || head[1] != 0xD8) return false;
  struct Frame {
    int id, h, v, quant;
  };
  std::vector<Frame> frame;
  std::array<std::array<int, 64>, 4> quant{};
  long long width = 0, height = 0;
  std::vector<uint8_t> segment;
  for (long long at = 2; at < std::min(limit, kMaxHeaders);) {
    if (bytes.Read(at, head, 4) < 4 || head[0] != 0xFF) return false;
    const uint8_t code = head[1];
    if (code == 0xFF) {  // fill
      ++at;
      continue;
    }
    const long long length = head[2] << 8 | head[3];
    if (length < 2 || at + 2 + length > limit) return false;
    segment.resize(static_cast<size_t>(length - 2));
    if (bytes.Read(at + 4, segment.data(), length - 2) < length - 2) return false;
    const uint8_t* s = segment.data();
    const size_t n = segment.size();
    at += 2 + length;
    if (code == 0xC0 || code == 0xC1) {
      if (n < 6 || s[0] != 8) return false;
      height = s[1] << 8 | s[2];
      width = s[3] << 8 | s[4];
      const int count = s[5];
      if (n < 6 + 3u * count || count < 1 || count > 4 || width == 0 || height == 0) return false;
      for (int c = 0; c < count; ++c) {
        const uint8_t* f = s + 6 + 3 * c;
        if ((f[1] >> 4) < 1 || (f[1] >> 4) > 4 || (f[1] & 15) < 1 || (f[1] & 15) > 4 || f[2] > 3)
          return false;
        frame.push_back({f[0], f[1] >> 4, f[1] & 15, f[2]});
      }
    } else if (code >= 0xC2 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC) {
      return false;  // progressive, lossless, arithmetic
    } else if (code == 0xDB) {
      for (size_t p = 0; p < n;) {
        const int precision = s[p] >> 4, id = s[p] & 3;
        const size_t size = precision ? 128 : 64;
        if (p + 1 + size > n) return false;
        for (int k = 0; k < 64; ++k)
          quant[static_cast<size_t>(id)][static_cast<size_t>(k)] =
              precision ? s[p + 1 + 2 * k] << 8 | s[p + 2 + 2 * k] : s[p + 1 + k];
        p += 1 + size;
      }
    } else if (code == 0xC4) {
      for (size_t p = 0; p < n;) {
        if (p + 17 > n) return false;
        const int kind = s[p] >> 4, id = s[p] & 15;
        int total = 0;
        for (int i = 0; i < 16; ++i) total += s[p + 1 + i];
        if (kind > 1 || id > 3 || total > 256 || p + 17 + total > n) return false;
        Huffman& table =
            kind == 0 ? layout.dc[static_cast<size_t>(id)] : layout.ac[static_cast<size_t>(id)];
        if (!table.Build(s + p + 1, s + p + 17, total)) return false;
        p += 17 + static_cast<size_t>(total);
      }
    } else if (code == 0xDD) {
      if (n < 2) return false;
      layout.restartInterval = s[0] << 8 | s[1];
    } else if (code == 0xDA) {
      if (frame.empty() || n < 1) return false;
      const int count = s[0];
      if (count != static_cast<int>(frame.size()) || n < 1 + 2u * count) return false;
      int hMax = 1, vMax = 1;
      for (const Frame& f : frame) {
        hMax = std::max(hMax, f.h);
        vMax = std::max(vMax, f.v);
      }
      for (int c = 0; c < count; ++c) {
        const uint8_t* sc = s + 1 + 2 * c;
        if (sc[0] != frame[static_cast<size_t>(c)].id || (sc[1] >> 4) > 3 || (sc[1] & 15) > 3)
          return false;
        const Frame& f = frame[static_cast<size_t>(c)];
        ScanComponent component;
        component.dcTable = sc[1] >> 4;
        component.acTable = sc[1] & 15;
        component.blocks = count == 1 ? 1 : f.h * f.v;
        component.quant = std::max(1, quant[static_cast<size_t>(f.quant)][0]);
        layout.components.push_back(component);
        for (int b = 0; b < component.blocks; ++b) layout.blockComponent.push_back(c);
      }
      if (count == 1) {  // one block per MCU, the component's own size
        const long long w = (width * frame[0].h + hMax - 1) / hMax;
        const long long h = (height * frame[0].v + vMax - 1) / vMax;
        layout.mcus = ((w + 7) / 8) * ((h + 7) / 8);
      } else {
        layout.mcus =
            ((width + 8 * hMax - 1) / (8 * hMax)) * ((height + 8 * vMax - 1) / (8 * vMax));
      }
      if (layout.blockComponent.size() > 10) return false;
      layout.dataStart = at;
      return true;
    } else if (code == 0xD9 || (code >= 0xD0 && code <= 0xD7)) {
      return false;
    }
  }
  return false;
}

// What the first piece says up to a cut: the layout and where the block that holds the cut
// begins.
struct Prefix {
  enum { kUseless, kBroken, kReady } state = kUseless;
  std::shared_ptr<const Layout> layout;
  Resume atCut;
};

using PrefixCache = std::unordered_map<uint64_t, Prefix>;

// Reads the first piece up to `cut` once, and notes the prefix of that cut and of every sector
// boundary within kCutsBelow sectors under it: a search tries those cuts too, and each would
// otherwise read the first piece again.
void ReadPrefixes(ByteSpan& joined, long long unitStart, long long cut, PrefixCache& cache) {
  auto layout = std::make_shared<Layout>();
  std::vector<long long> cuts;  // from the lowest up
  for (long long at = cut - std::min(cut / kSector, kCutsBelow) * kSector; at <= cut; at += kSector)
    cuts.push_back(at);
  const auto note = [&](long long at, Prefix prefix) {
    uint8_t tail[kSector];
    const long long from = std::max(0LL, at - kSector);
    const long long got = std::max(0LL, joined.Read(from, tail, at - from));
    if (prefix.state == Prefix::kReady) prefix.layout = layout;
    cache[BytesKey(tail, got, at, unitStart)] = prefix;
  };
  if (!ReadLayout(joined, cut, *layout) || cut - layout->dataStart > kMaxPrefix) {
    note(cut, Prefix());
    return;
  }
  EntropyReader reader(*layout, joined, cut);
  reader.position.at = layout->dataStart;
  const int interval = layout->restartInterval;
  size_t next = 0;  // the lowest cut not yet placed
  while (next < cuts.size() && cuts[next] <= layout->dataStart) note(cuts[next++], Prefix());
  // Each cut's prefix is the last block that begins before it.
  Prefix ready;
  ready.state = Prefix::kReady;
  bool ended = false;
  while (next < cuts.size() && !ended) {
    const Resume start = reader.Here();
    const Step step = reader.Block();
    const Resume after = reader.Here();
    if (step != Step::kOk) {
      // Out of bytes: this block holds the top cut. Bad: the cuts past the bad code break
      // whatever follows them; those before it cut this block short of it.
      ready.atCut = start;
      for (; next < cuts.size(); ++next) {
        Prefix broken;
        broken.state = Prefix::kBroken;
        note(cuts[next], step == Step::kOut || cuts[next] <= after.byte ? ready : broken);
      }
      return;
    }
    ready.atCut = start;
    while (next < cuts.size() && cuts[next] <= after.byte) note(cuts[next++], ready);
    Position& at = reader.position;
    if (at.block != 0) continue;
    if (at.mcu == layout->mcus)
      ended = true;  // the image ends before the higher cuts
    else if (interval > 0 && at.mcu % interval == 0) {
      const Step end = reader.SegmentEnd(static_cast<uint8_t>(0xD0 + at.nextRestart));
      if (end != Step::kOk) {  // a cut among the marker's bytes: too rare to judge
        while (next < cuts.size()) note(cuts[next++], Prefix());
        return;
      }
      at.nextRestart = (at.nextRestart + 1) % 8;
      at.dc.fill(0);
    }
  }
  while (next < cuts.size()) note(cuts[next++], Prefix());
}

}  // namespace

JoinFit CheckJpegJoin(ByteSpan& joined, long long unitStart, long long cut) {
  thread_local PrefixCache prefixes;
  thread_local int reads = 0;  // each holds a layout of some KiB
  const uint64_t key = JoinPrefixKey(joined, unitStart, cut);
  auto found = prefixes.find(key);
  if (found == prefixes.end()) {
    if (prefixes.size() >= kMaxCached || ++reads > kMaxReads) {
      prefixes.clear();
      reads = 1;
    }
    ReadPrefixes(joined, unitStart, cut, prefixes);
    found = prefixes.find(key);
    if (found == prefixes.end()) return JoinFit::kCannotTell;
  }
  const Prefix prefix = found->second;
  if (prefix.state == Prefix::kBroken) return JoinFit::kBreaks;
  if (prefix.state != Prefix::kReady) return JoinFit::kCannotTell;
  const Layout& layout = *prefix.layout;
  EntropyReader reader(layout, joined, cut + kReadPast);
  if (reader.Restore(prefix.atCut) != Step::kOk) return JoinFit::kCannotTell;
  const int interval = layout.restartInterval;
  // A break well past the cut may be the end of the right continuation, a middle piece
  // shorter than what is read here: the validator places it. Foreign data breaks within a
  // few hundred bytes.
  const auto broken = [&] {
    return reader.Here().byte >= cut + kPieceEndPast ? JoinFit::kHolds : JoinFit::kBreaks;
  };
  while (true) {
    const Step step = reader.Block();
    if (step == Step::kBad) return broken();
    if (step == Step::kOut)
      return reader.position.at > cut ? JoinFit::kHolds : JoinFit::kCannotTell;
    Position& at = reader.position;
    if (at.block != 0) continue;
    const bool last = at.mcu == layout.mcus;
    if (!last && (interval == 0 || at.mcu % interval != 0)) continue;
    const Step end = reader.SegmentEnd(last ? 0xD9 : static_cast<uint8_t>(0xD0 + at.nextRestart));
    if (end == Step::kBad) return broken();
    if (end == Step::kOut || last) return JoinFit::kHolds;
    at.nextRestart = (at.nextRestart + 1) % 8;
    at.dc.fill(0);
  }
}

}  // namespace salvor
