#include <algorithm>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "salvor/CDataStream.h"
#include "modules/common/ForeignStart.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"

namespace salvor {

namespace {

const HandlerInfo kPsdInfo = {
    "salvor.psd",
    "image/vnd.adobe.photoshop",
    "Photoshop document",
    "psd;psb",
    2 * 1024 * 1024 - 1,  // layered documents are large; the engine's bound is 32-bit bytes
    2097151,
};

constexpr long long kHeaderSize = 26;

// Cheap test of the fixed header fields, on bytes already in a buffer.
bool PlausibleHeader(const uint8_t* h) {
  if (memcmp(h, "8BPS", 4) != 0) return false;
  uint16_t version = LoadBE16(h + 4);
  if (version != 1 && version != 2) return false;
  for (int i = 6; i < 12; ++i)
    if (h[i] != 0) return false;
  uint16_t channels = LoadBE16(h + 12);
  uint32_t rows = LoadBE32(h + 14), cols = LoadBE32(h + 18);
  uint32_t limit = version == 1 ? 30000 : 300000;
  uint16_t depth = LoadBE16(h + 22), mode = LoadBE16(h + 24);
  if (channels < 1 || channels > 56 || rows < 1 || rows > limit || cols < 1 || cols > limit)
    return false;
  if (depth != 1 && depth != 8 && depth != 16 && depth != 32) return false;
  return mode <= 4 || (mode >= 7 && mode <= 9);
}

// Layout of one document as far as the data at hand shows it.
struct PsdLayout {
  bool psb = false;
  long long end = -1;        // one past the merged image data; -1 when it cannot be measured
  long long partial = 0;     // end of the last section that lies wholly inside the reader
  bool deflated = false;     // merged image zip-compressed: its end is not recorded anywhere
  long long imageStart = 0;  // where the merged image data begins, which nothing checks
};

// Walks the sections. False when the data is not a Photoshop document.
bool WalkPsd(CStreamReader& reader, PsdLayout* out) {
  uint8_t h[kHeaderSize];
  if (!reader.Read(0, h, sizeof h) || !PlausibleHeader(h)) return false;
  out->psb = LoadBE16(h + 4) == 2;
  long long channels = LoadBE16(h + 12), rows = LoadBE32(h + 14), cols = LoadBE32(h + 18);
  long long depth = LoadBE16(h + 22);
  long long at = kHeaderSize;
  out->partial = at;

  // Colour mode data, image resources: 32-bit lengths.
  for (int section = 0; section < 2; ++section) {
    uint32_t length = 0;
    if (!reader.U32BE(at, &length)) return true;
    if (section == 1 && length >= 4) {
      uint8_t tag[4];
      // Resource blocks begin with a known signature; anything else is not a document.
      if (reader.Read(at + 4, tag, 4) && memcmp(tag, "8BIM", 4) != 0 &&
          memcmp(tag, "MeSa", 4) != 0 && memcmp(tag, "PHUT", 4) != 0 &&
          memcmp(tag, "AgHg", 4) != 0 && memcmp(tag, "DCSR", 4) != 0)
        return false;
    }
    // Only indexed (a 768-byte palette) and duotone documents carry colour mode data.
    uint16_t mode = LoadBE16(h + 24);
    if (section == 0 && (mode == 2 ? length != 768 : mode == 8 ? length > 65536 : length != 0))
      return false;
    if (!CheckedAdd(at, 4 + static_cast<long long>(length), &at)) return false;
    if (!reader.Contains(0, at)) return true;
    out->partial = at;
  }
  // Layer and mask information: 64-bit length in large documents.
  uint64_t layers = 0;
  if (out->psb) {
    if (!reader.U64BE(at, &layers)) return true;
    if (layers > uint64_t(INT64_MAX) || !CheckedAdd(at, 8, &at)) return true;
  } else {
    uint32_t small = 0;
    if (!reader.U32BE(at, &small)) return true;
    layers = small;
    at += 4;
  }
  if (!CheckedAdd(at, static_cast<long long>(layers), &at) || !reader.Contains(0, at)) return true;
  const long long beforeLayers = out->partial;
  out->partial = at;

  // Merged image data: its size follows from the compression.
  uint16_t compression = 0;
  if (!reader.U16BE(at, &compression)) return true;
  if (compression > 3) {
    // Something else follows: the layer section's length is doubtful too.
    out->partial = beforeLayers;
    return true;
  }
  at += 2;
  out->imageStart = at;
  long long planes = rows * channels;  // at most 300000 * 56: no overflow
  if (compression == 0) {
    long long rowBytes = depth == 1 ? (cols + 7) / 8 : cols * (depth / 8);
    long long size;
    if (!CheckedMul(planes, rowBytes, &size) || !CheckedAdd(at, size, &at)) return true;
    out->end = at;
  } else if (compression == 1) {
    // Byte counts of every compressed row come first; they add up to the data's size.
    long long width = out->psb ? 4 : 2, table;
    if (!CheckedMul(planes, width, &table) || !reader.Contains(at, table)) return true;
    long long total = 0;
    constexpr long long kPiece = 4096;
    for (long long done = 0; done < table; done += kPiece) {
      long long span = std::min(kPiece, table - done);
      const uint8_t* p = reader.Peek(at + done, size_t(span));
      if (p == nullptr) return true;
      for (long long i = 0; i < span; i += width)
        total += width == 2 ? LoadBE16(p + i) : LoadBE32(p + i);
    }
    if (!CheckedAdd(at, table + total, &at)) return true;
    out->end = at;
  } else {
    out->deflated = true;
  }
  if (out->end >= 0 && reader.Contains(0, out->end)) out->partial = out->end;
  return true;
}

const Signature kStarts[] = {{"8BPS"}};

class CPsdHandler final : public CFormatHandlerOf<CPsdHandler> {
 public:
  explicit CPsdHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(engine, kPsdInfo, {kHeaderSize, kStarts}) {}

  bool FindEnd(CDataStream* stream, long long blockSize, long long* end) override {
    CStreamReader reader(stream);
    PsdLayout layout;
    if (!WalkPsd(reader, &layout) || layout.deflated) return false;
    *end = layout.end >= 0 && layout.end == layout.partial ? EndOf(stream, 0, layout, blockSize)
                                                           : layout.partial;
    return layout.partial > 0;
  }

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CStreamReader reader(file);
    PsdLayout layout;
    bool walked = WalkPsd(reader, &layout);
    const char* name = layout.psb ? "psb" : "psd";
    CopyText(extension, extensionSize, name);
    return walked && layout.end == reader.Size();
  }

  bool CanStart(const uint8_t* head) const override { return PlausibleHeader(head); }

 protected:
  // Only a whole document counts in a skipped block.
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start, MaxSizeBytes());
    PsdLayout layout;
    if (!WalkPsd(reader, &layout)) return false;
    const bool whole = layout.end >= 0 && layout.end == layout.partial;
    if (c.mustReach >= 0 && !whole) return false;
    found->File(c.start, whole ? c.start + EndOf(c.stream, c.start, layout, c.blockSize) : -1);
    return true;
  }

 private:
  // The end of a whole document at `at`, relative to it: where another file begins inside its
  // merged image data when its later sectors were written over, else the measured end.
  static long long EndOf(CDataStream* stream, long long at, const PsdLayout& layout,
                         long long blockSize) {
    const long long cut = FirstForeignStart(stream, at + layout.imageStart, at + layout.end,
                                            blockSize, [](long long) { return false; });
    return cut >= 0 ? cut - at : layout.end;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CPsdHandler)
