#include <algorithm>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "salvor/CDataStream.h"
#include "modules/common/ForeignStart.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"

namespace salvor {

namespace {

const HandlerInfo kRawOtherInfo = {
    "salvor.rawother",
    "image/x-canon-crw;image/x-fuji-raf;image/x-minolta-mrw;image/x-sigma-x3f",
    "Camera RAW (CRW, RAF, MRW, X3F)",
    "raf;crw;x3f;mrw",
    200 * 1024,  // camera RAWs reach 100 MB and more
    2097151,
};

enum class Kind { None, Crw, Raf, Mrw, X3f };

constexpr size_t kProbe = 16;  // bytes the cheap test needs

// A few byte comparisons reject almost every position before any memcmp.
Kind KindOf(const uint8_t* p) {
  switch (p[0]) {
    case 'I':
    case 'M':
      return p[1] == p[0] && p[6] == 'H' && memcmp(p + 6, "HEAPCCDR", 8) == 0 ? Kind::Crw
                                                                              : Kind::None;
    case 'F':
      if (p[1] == 'U' && memcmp(p, "FUJIFILMCCD-RAW ", 16) == 0) return Kind::Raf;
      return p[1] == 'O' && p[2] == 'V' && p[3] == 'b' ? Kind::X3f : Kind::None;
    case 0:
      return p[1] == 'M' && p[2] == 'R' && p[3] == 'M' ? Kind::Mrw : Kind::None;
    default:
      return Kind::None;
  }
}

const char* ExtensionOf(Kind kind) {
  switch (kind) {
    case Kind::Crw:
      return "crw";
    case Kind::Raf:
      return "raf";
    case Kind::Mrw:
      return "mrw";
    case Kind::X3f:
      return "x3f";
    default:
      return "";
  }
}

// What a walk found: `end` is the file's length when its structure lies inside the reader
// and before the next file of its kind (-1 otherwise).
struct RawLayout {
  Kind kind = Kind::None;
  long long end = -1;
  // Where the data that nothing checks begins (0: none), and an embedded preview inside it.
  long long unchecked = 0;
  long long previewFrom = 0;
  long long previewTo = 0;
  // Where the walk stopped looking: the start of the next file of the same kind, else Size().
  long long bound = 0;
  bool boundByNext = false;
  // Where the sensor data begins and the bytes a damaged file must keep of it.
  long long data = 0;
  long long dataNeeded = 0;
};

// Fewest bytes of image data a damaged file keeps: raw sensor data carries no structure to
// check, and a header with a few sectors of anything after it is no photo.
constexpr long long kMinDamagedData = 64 * 1024;

// Ends the walk's search at the next file of the same kind at or after `from` (its signature
// `length` bytes at `offset` into it): a medium with such a header at every sector must not
// make each one a walk to MaxSize.
void BoundByNext(CStreamReader& reader, RawLayout* out, const char* signature, size_t length,
                 long long offset, long long from, long long to) {
  const long long hit = reader.Find(signature, length, from + offset, to + offset + length);
  if (hit >= 0 && hit - offset < out->bound) {
    out->bound = hit - offset;
    out->boundByNext = true;
  }
}

// CIFF: the root heap runs from the header to the end of the file, and its last four bytes
// point (relative to the heap) at its directory, which sits right before them. The end is the
// first position where that closing structure holds.
bool WalkCrw(CStreamReader& reader, RawLayout* out) {
  uint8_t h[26];
  if (!reader.Read(0, h, sizeof h)) return false;
  bool be = h[0] == 'M';
  uint32_t heap = be ? LoadBE32(h + 2) : LoadLE32(h + 2);
  uint32_t version = be ? LoadBE32(h + 14) : LoadLE32(h + 14);
  if (heap < 18 || heap > 512 || version != 0x00010002) return false;
  out->data = heap;
  out->dataNeeded = kMinDamagedData;
  constexpr long long kPiece = 4096;
  // Candidate ends E: d = u32 at E-4, directory at heap+d holding n entries, E = heap+d+2+10n+4.
  for (long long first = heap + 12; first + 4 <= out->bound; first += kPiece) {
    BoundByNext(reader, out, "HEAPCCDR", 8, 6, first, first + kPiece + 4);
    long long span = std::min(kPiece + 3, out->bound - first);
    const uint8_t* p = span >= 4 ? reader.Peek(first, size_t(span)) : nullptr;
    if (p == nullptr) break;
    for (long long i = 0; i + 4 <= span && i < kPiece; ++i) {
      uint32_t d = be ? LoadBE32(p + i) : LoadLE32(p + i);
      long long e = first + i + 4;
      long long dir = heap + static_cast<long long>(d);
      long long room = e - 6 - dir;
      if (d == 0 || room < 10 || room % 10 != 0 || room / 10 > 1024) continue;
      // Rare from here on: read the directory and check that every record fits before it.
      uint16_t n = 0;
      bool counted = reader.U16(dir, be, &n) && n == room / 10;
      if (!counted) {
        p = reader.Peek(first, size_t(span));
        if (p == nullptr) return true;
        continue;
      }
      bool valid = true;
      for (long long k = 0; k < n && valid; ++k) {
        uint8_t entry[10];
        if (!reader.Read(dir + 2 + k * 10, entry, 10)) {
          valid = false;
          break;
        }
        uint16_t tag = be ? LoadBE16(entry) : LoadLE16(entry);
        uint32_t size = be ? LoadBE32(entry + 2) : LoadLE32(entry + 2);
        uint32_t offset = be ? LoadBE32(entry + 6) : LoadLE32(entry + 6);
        if ((tag & 0xC000) == 0 && uint64_t(size) + offset > d) valid = false;
        if ((tag & 0xC000) == 0x8000 || (tag & 0xC000) == 0xC000) valid = false;
      }
      if (valid) {
        out->end = e;
        return true;
      }
      // The directory reads moved the reader's window.
      p = reader.Peek(first, size_t(span));
      if (p == nullptr) return true;
    }
  }
  return true;
}

// RAF: a fixed header whose offset/length pairs place the preview, the CFA header and the
// CFA data; the file ends with the last of them.
bool WalkRaf(CStreamReader& reader, RawLayout* out) {
  uint8_t h[0x6C];
  if (!reader.Read(0, h, sizeof h)) return false;
  for (int i = 16; i < 20; ++i)
    if (h[i] < '0' || h[i] > '9') return false;
  long long end = sizeof h;
  bool inside = true;
  for (int pair = 0; pair < 3; ++pair) {
    long long offset = LoadBE32(h + 0x54 + pair * 8), length = LoadBE32(h + 0x58 + pair * 8);
    if (length == 0) continue;
    if (offset < static_cast<long long>(sizeof h)) return false;
    if (pair == 0) {
      out->previewFrom = offset;
      out->previewTo = offset + length;
    }
    end = std::max(end, offset + length);
    if (offset + length > reader.Size()) inside = false;
  }
  // The preview is a JPEG: a cheap check that the pairs are what they claim.
  uint8_t soi[2];
  long long preview = LoadBE32(h + 0x54);
  if (reader.Read(preview, soi, 2) && (soi[0] != 0xFF || soi[1] != 0xD8)) return false;
  // The CFA data: a damaged file keeps its start.
  out->data = LoadBE32(h + 0x64);
  out->dataNeeded = 1;
  BoundByNext(reader, out, "FUJIFILMCCD-RAW ", 16, 0, 1, std::min(end, reader.Size()));
  if (inside && end <= out->bound) out->end = end;
  out->unchecked = sizeof h;
  return true;
}

// MRW: blocks of header data up to the declared data offset, then the sensor's pixels whose
// size the PRD block gives.
bool WalkMrw(CStreamReader& reader, RawLayout* out) {
  uint32_t dataOffset = 0;
  if (!reader.U32BE(4, &dataOffset) || dataOffset < 8 || dataOffset > (1u << 20)) return false;
  long long data = 8 + static_cast<long long>(dataOffset);
  out->data = data;
  out->dataNeeded = kMinDamagedData;  // until the PRD block tells the pixels' size
  long long rows = 0, cols = 0, bytesPerTwoPixels = 0;
  long long at = 8;
  for (int blocks = 0; at < data && blocks < 64; ++blocks) {
    uint8_t b[8];
    if (!reader.Read(at, b, 8)) return true;
    if (b[0] != 0 || b[1] < 'A' || b[1] > 'Z') return false;
    long long length = LoadBE32(b + 4);
    if (memcmp(b, "\0PRD", 4) == 0) {
      uint8_t prd[19];
      if (length < 19 || !reader.Read(at + 8, prd, sizeof prd)) return false;
      rows = LoadBE16(prd + 8);
      cols = LoadBE16(prd + 10);
      if (prd[18] == 0x52)
        bytesPerTwoPixels = 3;  // packed 12-bit
      else if (prd[18] == 0x59)
        bytesPerTwoPixels = 4;  // one 16-bit word per pixel
      else
        return false;
    }
    at += 8 + length;
  }
  if (at != data || rows == 0 || cols == 0 || bytesPerTwoPixels == 0) return false;
  out->unchecked = data;
  const long long pixels = (rows * cols * bytesPerTwoPixels + 1) / 2;
  out->dataNeeded = std::min(kMinDamagedData, pixels / 2);
  const long long end = data + pixels;
  // The next MRW: its signature and the block that always comes first.
  for (long long from = data; from < std::min(end, out->bound);) {
    BoundByNext(reader, out, "\0MRM", 4, 0, from, std::min(end, out->bound));
    uint8_t prd[4];
    if (!out->boundByNext || (reader.Read(out->bound + 8, prd, 4) && memcmp(prd, "\0PRD", 4) == 0))
      break;
    from = out->bound + 1;
    out->bound = reader.Size();
    out->boundByNext = false;
  }
  if (end <= out->bound) out->end = end;
  return true;
}

// X3F: the last four bytes of the file point at the section directory ("SECd"), which the
// pointer follows directly.
bool WalkX3f(CStreamReader& reader, RawLayout* out) {
  uint8_t h[40];
  if (!reader.Read(0, h, sizeof h)) return false;
  uint16_t major = LoadLE16(h + 6);
  if (major < 2 || major > 4) return false;
  // Image size and rotation of the version 2/3 header; version 4 keeps other fields there.
  uint32_t cols = LoadLE32(h + 28), rows = LoadLE32(h + 32), rotation = LoadLE32(h + 36);
  if (major < 4 && (cols == 0 || cols > 20000 || rows == 0 || rows > 20000 ||
                    (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270)))
    return false;
  out->data = 8;
  out->dataNeeded = kMinDamagedData;
  static const char kDirectory[4] = {'S', 'E', 'C', 'd'};
  constexpr long long kPiece = 64 * 1024;
  for (long long piece = 8; piece < out->bound; piece += kPiece) {
    BoundByNext(reader, out, "FOVb", 4, 0, piece, piece + kPiece);
    for (long long from = piece;;) {
      long long dir = reader.Find(kDirectory, 4, from, std::min(piece + kPiece + 3, out->bound));
      if (dir < 0) break;
      from = dir + 1;
      uint32_t n = 0;
      if (!reader.U32LE(dir + 8, &n) || n == 0 || n > 1024) continue;
      long long end = dir + 12 + 12 * static_cast<long long>(n) + 4;
      uint32_t back = 0;
      if (end > out->bound || !reader.U32LE(end - 4, &back) || back != dir) continue;
      bool valid = true;
      for (uint32_t k = 0; k < n && valid; ++k) {
        uint32_t offset = 0, length = 0;
        reader.U32LE(dir + 12 + k * 12, &offset);
        reader.U32LE(dir + 16 + k * 12, &length);
        if (offset < 8 || uint64_t(offset) + length > uint64_t(dir)) valid = false;
      }
      if (!valid) continue;
      out->end = end;
      return true;
    }
  }
  return true;
}

bool WalkRaw(CStreamReader& reader, RawLayout* out) {
  uint8_t probe[kProbe];
  *out = RawLayout();
  out->bound = reader.Size();
  if (!reader.Read(0, probe, kProbe)) return false;
  out->kind = KindOf(probe);
  switch (out->kind) {
    case Kind::Crw:
      return WalkCrw(reader, out);
    case Kind::Raf:
      return WalkRaf(reader, out);
    case Kind::Mrw:
      return WalkMrw(reader, out);
    case Kind::X3f:
      return WalkX3f(reader, out);
    default:
      return false;
  }
}

// Each format by its signature: CRW's after the byte order and header length, RAF's, X3F's
// and MRW's at the start.
const Signature kStarts[] = {{"HEAPCCDR", 6}, {"FUJIFILMCCD-RAW "}, {"FOVb"}, {"MRM", 1}};

class CRawOtherHandler final : public CFormatHandlerOf<CRawOtherHandler> {
 public:
  explicit CRawOtherHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(engine, kRawOtherInfo, {kProbe, kStarts}) {}

  bool FindEnd(CDataStream* stream, long long blockSize, long long* end) override {
    CStreamReader reader(stream);
    RawLayout layout;
    if (!WalkRaw(reader, &layout)) return false;
    *end = layout.end >= 0 ? EndOf(stream, 0, layout, blockSize) : layout.bound;
    return true;
  }

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CStreamReader reader(file);
    RawLayout layout;
    bool walked = WalkRaw(reader, &layout);
    const char* name = ExtensionOf(layout.kind);
    CopyText(extension, extensionSize, name);
    return walked && layout.end == reader.Size();
  }

  bool CanStart(const uint8_t* head) const override { return KindOf(head) != Kind::None; }

 protected:
  // Only a whole file counts in a skipped block.
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start, MaxSizeBytes());
    RawLayout layout;
    if (!WalkRaw(reader, &layout)) return false;
    if (c.mustReach >= 0 && layout.end < 0) return false;
    if (layout.end >= 0) {
      found->File(c.start, c.start + EndOf(c.stream, c.start, layout, c.blockSize));
      return true;
    }
    // Damaged: it ends where the next file of its kind begins, or is left open. Unless MaxSize
    // cut it, it must keep some of its sensor data.
    const bool cutByMaxSize = !layout.boundByNext && reader.Size() >= MaxSizeBytes();
    if (!cutByMaxSize && layout.bound < layout.data + layout.dataNeeded) return false;
    if (layout.boundByNext) {
      found->File(c.start, c.start + layout.bound);
    } else {
      // Its preview and the sensor data it must keep are its own.
      const long long claimed =
          std::min(layout.bound, std::max(layout.previewTo, layout.data + layout.dataNeeded));
      found->OpenFile(c.start, c.start + claimed);
    }
    return true;
  }

 private:
  // The end of a whole file at `at`, relative to it: where another file begins inside its
  // preview or sensor data when its later sectors were written over, else the walked end.
  static long long EndOf(CDataStream* stream, long long at, const RawLayout& layout,
                         long long blockSize) {
    if (layout.unchecked <= 0) return layout.end;
    const long long cut = FirstForeignStart(
        stream, at + layout.unchecked, at + layout.end, blockSize, [&](long long position) {
          return position - at >= layout.previewFrom && position - at < layout.previewTo;
        });
    return cut >= 0 ? cut - at : layout.end;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CRawOtherHandler)
