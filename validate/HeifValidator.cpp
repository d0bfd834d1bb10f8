// HEIF, HEIC and AVIF: the box tree and item locations are walked here; libheif opens the
// file as a second opinion on its structure; the coded items of the primary image (every
// tile of a grid) and its thumbnails are decoded by libde265 (HEVC) and libaom (AV1) directly,
// because libheif's own decoding hides the decoder's complaints and returns a picture for
// damaged data. Each coded item's unit chain (NAL lengths, OBU sizes) is checked first: it
// is cheap, and a wrong piece of data after a fragment break fails it without any decoding.
#include <aom/aom_decoder.h>
#include <aom/aomdx.h>
#include <libde265/de265.h>
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "validate/Formats.h"
#include "validate/Spans.h"
#include "validate/StillsCommon.h"

namespace salvor {

namespace {

constexpr long long kMaxMetaBytes = 16LL << 20;  // meta boxes hold kilobytes
constexpr long long kMaxItemBytes = 64LL << 20;  // one coded picture or tile
constexpr long long kMaxPixels = 64LL << 20;     // decoder memory stays a few hundred MiB
constexpr size_t kMaxItems = 1 << 16;
constexpr int kMaxDecoded = 4096;  // tiles of the largest grids, and thumbnails

constexpr uint32_t Fourcc(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
         (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

// Bounds-checked reads over a box's bytes in memory; a read past the end yields zeros and
// clears `ok`.
class Cursor {
 public:
  Cursor(const unsigned char* data, size_t size) : FData(data), FSize(size) {}
  bool ok = true;
  size_t Pos() const { return FPos; }
  size_t Left() const { return FSize - FPos; }
  bool Skip(size_t n) {
    if (n > Left()) return ok = false;
    FPos += n;
    return true;
  }
  uint64_t Get(int bytes) {
    if (bytes < 0 || static_cast<size_t>(bytes) > Left()) {
      ok = false;
      return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | FData[FPos++];
    return value;
  }
  uint32_t U8() { return static_cast<uint32_t>(Get(1)); }
  uint32_t U16() { return static_cast<uint32_t>(Get(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Get(4)); }

 private:
  const unsigned char* FData;
  size_t FSize;
  size_t FPos = 0;
};

struct Box {
  uint32_t type = 0;
  size_t body = 0;  // first byte after the header
  size_t end = 0;
};

// The next box in data[pos, limit), or false when none fits.
bool NextBox(const std::vector<unsigned char>& data, size_t pos, size_t limit, Box& box) {
  if (limit > data.size() || pos + 8 > limit) return false;
  Cursor c(data.data() + pos, limit - pos);
  uint64_t size = c.U32();
  box.type = c.U32();
  if (size == 1) size = c.Get(8);
  if (size == 0) size = limit - pos;
  if (!c.ok || size < c.Pos() || size > limit - pos) return false;
  box.body = pos + c.Pos();
  box.end = pos + static_cast<size_t>(size);
  return true;
}

struct Extent {
  long long offset = 0;
  long long length = 0;
};

struct Item {
  uint32_t type = 0;
  int method = -1;  // construction method; -1 while iloc has not placed it
  std::vector<Extent> extents;
  std::vector<uint32_t> props;  // ipco indices, from 1
  std::vector<uint32_t> tiles;  // dimg references, in order
  uint32_t thumbnailOf = 0;
};

struct Meta {
  uint32_t handler = 0;
  uint32_t primary = 0;
  std::map<uint32_t, Item> items;
  std::vector<Box> properties;  // ipco children, offsets within `data`
  std::vector<unsigned char> data;
  long long start = 0;  // file offset of data[0]
  long long idatStart = -1, idatSize = 0;
};

bool IsBoxType(uint32_t type) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned c = (type >> shift) & 0xff;
    if (c < 0x20 || (c > 0x7e && c != 0xa9)) return false;
  }
  return true;
}

bool ParseIinf(Meta& meta, const Box& box) {
  Cursor c(meta.data.data() + box.body, box.end - box.body);
  const uint32_t version = c.U8();
  c.Skip(3);
  c.Get(version == 0 ? 2 : 4);
  if (!c.ok) return false;
  Box infe;
  for (size_t pos = box.body + c.Pos(); NextBox(meta.data, pos, box.end, infe); pos = infe.end) {
    if (infe.type != Fourcc("infe")) continue;
    Cursor e(meta.data.data() + infe.body, infe.end - infe.body);
    const uint32_t v = e.U8();
    e.Skip(3);
    if (v < 2) continue;
    const uint32_t id = v == 2 ? e.U16() : e.U32();
    e.U16();
    const uint32_t type = e.U32();
    if (!e.ok) return false;
    if (meta.items.size() >= kMaxItems) return false;
    meta.items[id].type = type;
  }
  return c.ok;
}

bool ParseIloc(Meta& meta, const Box& box) {
  Cursor c(meta.data.data() + box.body, box.end - box.body);
  const uint32_t version = c.U8();
  c.Skip(3);
  if (version > 2) return false;
  const uint32_t sizes = c.U16();
  const int offsetSize = sizes >> 12, lengthSize = (sizes >> 8) & 15, baseSize = (sizes >> 4) & 15;
  const int indexSize = version == 0 ? 0 : sizes & 15;
  for (int s : {offsetSize, lengthSize, baseSize, indexSize}) {
    if (s != 0 && s != 4 && s != 8) return false;
  }
  const uint32_t count = version < 2 ? c.U16() : c.U32();
  for (uint32_t i = 0; i < count && c.ok; ++i) {
    const uint32_t id = version < 2 ? c.U16() : c.U32();
    if (meta.items.size() >= kMaxItems && meta.items.count(id) == 0) return false;
    Item& item = meta.items[id];
    item.method = version == 0 ? 0 : static_cast<int>(c.U16() & 15);
    c.U16();  // data reference index
    const uint64_t base = c.Get(baseSize);
    const uint32_t extents = c.U16();
    if (extents > c.Left()) return false;
    item.extents.clear();
    for (uint32_t e = 0; e < extents && c.ok; ++e) {
      c.Get(indexSize);
      const uint64_t offset = c.Get(offsetSize), length = c.Get(lengthSize);
      if (base > (1ULL << 62) || offset > (1ULL << 62) || length > (1ULL << 62)) return false;
      item.extents.push_back(
          {static_cast<long long>(base + offset), static_cast<long long>(length)});
    }
  }
  return c.ok;
}

bool ParseIref(Meta& meta, const Box& box) {
  Cursor c(meta.data.data() + box.body, box.end - box.body);
  const uint32_t version = c.U8();
  c.Skip(3);
  if (!c.ok) return false;
  const int idSize = version == 0 ? 2 : 4;
  Box ref;
  for (size_t pos = box.body + 4; NextBox(meta.data, pos, box.end, ref); pos = ref.end) {
    Cursor r(meta.data.data() + ref.body, ref.end - ref.body);
    const uint32_t from = static_cast<uint32_t>(r.Get(idSize));
    const uint32_t count = r.U16();
    auto found = meta.items.find(from);
    for (uint32_t i = 0; i < count && r.ok; ++i) {
      const uint32_t to = static_cast<uint32_t>(r.Get(idSize));
      if (!r.ok || found == meta.items.end()) continue;
      if (ref.type == Fourcc("dimg")) found->second.tiles.push_back(to);
      if (ref.type == Fourcc("thmb")) found->second.thumbnailOf = to;
    }
    if (!r.ok) return false;
  }
  return true;
}

bool ParseIprp(Meta& meta, const Box& box) {
  Box child;
  for (size_t pos = box.body; NextBox(meta.data, pos, box.end, child); pos = child.end) {
    if (child.type == Fourcc("ipco")) {
      Box prop;
      for (size_t p = child.body; NextBox(meta.data, p, child.end, prop); p = prop.end) {
        if (meta.properties.size() >= kMaxItems) return false;
        meta.properties.push_back(prop);
      }
    } else if (child.type == Fourcc("ipma")) {
      Cursor c(meta.data.data() + child.body, child.end - child.body);
      const uint32_t version = c.U8();
      const uint32_t flags = static_cast<uint32_t>(c.Get(3));
      const uint32_t entries = c.U32();
      for (uint32_t i = 0; i < entries && c.ok; ++i) {
        const uint32_t id = version < 1 ? c.U16() : c.U32();
        const uint32_t count = c.U8();
        auto found = meta.items.find(id);
        for (uint32_t a = 0; a < count && c.ok; ++a) {
          const uint32_t index = (flags & 1) ? c.U16() & 0x7fff : c.U8() & 0x7f;
          if (found != meta.items.end()) found->second.props.push_back(index);
        }
      }
      if (!c.ok) return false;
    }
  }
  return true;
}

bool ParseMeta(Meta& meta) {
  Box meta_box;
  if (!NextBox(meta.data, 0, meta.data.size(), meta_box)) return false;
  Box box;
  for (size_t pos = meta_box.body + 4; pos < meta_box.end; pos = box.end) {
    if (!NextBox(meta.data, pos, meta_box.end, box)) return false;
    Cursor c(meta.data.data() + box.body, box.end - box.body);
    bool ok = true;
    if (box.type == Fourcc("hdlr")) {
      c.Skip(8);
      meta.handler = c.U32();
      ok = c.ok;
    } else if (box.type == Fourcc("pitm")) {
      const uint32_t version = c.U8();
      c.Skip(3);
      meta.primary = version == 0 ? c.U16() : c.U32();
      ok = c.ok;
    } else if (box.type == Fourcc("iinf")) {
      ok = ParseIinf(meta, box);
    } else if (box.type == Fourcc("idat")) {
      meta.idatStart = meta.start + static_cast<long long>(box.body);
      meta.idatSize = static_cast<long long>(box.end - box.body);
    }
    if (!ok) return false;
  }
  // Locations, references and properties name items that iinf declared.
  for (size_t pos = meta_box.body + 4; pos < meta_box.end; pos = box.end) {
    NextBox(meta.data, pos, meta_box.end, box);
    bool ok = true;
    if (box.type == Fourcc("iloc")) ok = ParseIloc(meta, box);
    if (box.type == Fourcc("iref")) ok = ParseIref(meta, box);
    if (box.type == Fourcc("iprp")) ok = ParseIprp(meta, box);
    if (!ok) return false;
  }
  return true;
}

// The property of `type` associated with an item, as [body, end) in meta.data.
const Box* FindProperty(const Meta& meta, const Item& item, uint32_t type) {
  for (uint32_t index : item.props) {
    if (index >= 1 && index <= meta.properties.size() && meta.properties[index - 1].type == type) {
      return &meta.properties[index - 1];
    }
  }
  return nullptr;
}

// One coded unit (NAL unit, OBU) of an item: where its bytes lie in the item's data and in
// the file.
struct Unit {
  size_t at = 0;
  size_t size = 0;
  long long fileOffset = 0;
};

struct Coded {
  uint32_t id = 0;
  const Item* item = nullptr;
  std::vector<unsigned char> data;  // the extents joined
  std::vector<Unit> units;
};

long long FileOffset(const Item& item, size_t at) {
  for (const Extent& e : item.extents) {
    if (static_cast<long long>(at) < e.length) return e.offset + static_cast<long long>(at);
    at -= static_cast<size_t>(e.length);
  }
  return item.extents.empty() ? 0 : item.extents.back().offset + item.extents.back().length;
}

// Where a unit chain failed, as offsets within the item's data: the break lies in
// [good, bad); good is -1 when nothing in this item was proven.
struct ChainBreak {
  long long good = -1;
  long long bad = -1;
};

long long LastUnit(const Coded& coded) {
  return coded.units.empty() ? -1 : static_cast<long long>(coded.units.back().at);
}

// Splits HEVC data into its length-prefixed NAL units.
bool SplitNals(Coded& coded, int lengthSize, ChainBreak& out) {
  const std::vector<unsigned char>& d = coded.data;
  size_t pos = 0;
  while (pos < d.size()) {
    out = {LastUnit(coded), static_cast<long long>(pos)};
    if (d.size() - pos < static_cast<size_t>(lengthSize) + 2) return false;
    uint32_t length = 0;
    for (int i = 0; i < lengthSize; ++i) length = (length << 8) | d[pos + i];
    const size_t body = pos + lengthSize;
    const unsigned char h0 = d[body], h1 = d[body + 1];
    // forbidden_zero_bit, nuh_layer_id 0 (stills are single-layer), temporal id plus 1 != 0
    const bool header = (h0 & 0x81) == 0 && (h1 & 0xf8) == 0 && (h1 & 7) != 0;
    if (length < 2 || length > d.size() - body || !header) return false;
    coded.units.push_back({body, length, FileOffset(*coded.item, body)});
    out.good = static_cast<long long>(pos);
    // Emulation prevention keeps 00 00 0x (x < 3) out of a NAL unit, and the stop bit its last
    // byte from being zero: zeros or a foreign start-code stream show up here.
    for (size_t i = body + 2; i + 2 < body + length; ++i) {
      if (d[i + 1] != 0) {
        ++i;
        continue;
      }
      if (d[i] == 0 && d[i + 2] < 3) {
        out.bad = static_cast<long long>(i + 2);
        return false;
      }
    }
    if (d[body + length - 1] == 0) {
      out.bad = static_cast<long long>(body + length - 1);
      return false;
    }
    pos = body + length;
  }
  return !coded.units.empty();
}

// Splits AV1 data into OBUs by their size fields.
bool SplitObus(Coded& coded, ChainBreak& out) {
  const std::vector<unsigned char>& d = coded.data;
  size_t pos = 0;
  while (pos < d.size()) {
    out = {LastUnit(coded), static_cast<long long>(pos)};
    const unsigned char h = d[pos];
    if ((h & 0x81) != 0) return false;
    size_t header = (h & 4) ? 2 : 1;
    uint64_t size = d.size() - pos - std::min(header, d.size() - pos);
    if (h & 2) {
      size = 0;
      int i = 0;
      for (;; ++i) {
        if (i == 8 || pos + header + i >= d.size()) return false;
        const unsigned char b = d[pos + header + i];
        size |= uint64_t{b & 0x7fu} << (7 * i);
        if ((b & 0x80) == 0) break;
      }
      header += i + 1;
    }
    if (pos + header > d.size() || size > d.size() - pos - header) return false;
    coded.units.push_back({pos, static_cast<size_t>(header + size), FileOffset(*coded.item, pos)});
    pos += header + size;
  }
  return !coded.units.empty();
}

// Exp-Golomb reader over an RBSP (emulation prevention bytes removed).
class Bits {
 public:
  explicit Bits(std::vector<unsigned char> rbsp) : FData(std::move(rbsp)) {}
  bool ok = true;
  uint32_t Get(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (FPos >= FData.size() * 8) {
        ok = false;
        return 0;
      }
      v = (v << 1) | ((FData[FPos / 8] >> (7 - FPos % 8)) & 1);
      ++FPos;
    }
    return v;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (ok && Get(1) == 0) {
      if (++zeros > 31) ok = false;
    }
    return ok ? (1u << zeros) - 1 + Get(zeros) : 0;
  }

 private:
  std::vector<unsigned char> FData;
  size_t FPos = 0;
};

// The picture size an HEVC SPS NAL unit declares, to bound the decoder's memory; false when
// it cannot be read.
bool SpsSize(const unsigned char* nal, size_t size, uint32_t& width, uint32_t& height) {
  std::vector<unsigned char> rbsp;
  for (size_t i = 2; i < size; ++i) {
    if (i >= 4 && nal[i] == 3 && nal[i - 1] == 0 && nal[i - 2] == 0) continue;
    rbsp.push_back(nal[i]);
  }
  Bits b(std::move(rbsp));
  b.Get(4);
  const uint32_t subLayers = b.Get(3);
  b.Get(1);
  b.Get(96);  // general profile, tier and level
  uint32_t flags = 0;
  for (uint32_t i = 0; i < subLayers; ++i) flags = (flags << 2) | b.Get(2);
  if (subLayers > 0) b.Get(2 * (8 - subLayers));
  for (uint32_t i = 0; i < subLayers; ++i) {
    const uint32_t f = flags >> (2 * (subLayers - 1 - i));
    if (f & 2) b.Get(88);
    if (f & 1) b.Get(8);
  }
  b.Ue();
  if (b.Ue() == 3) b.Get(1);
  width = b.Ue();
  height = b.Ue();
  return b.ok;
}

struct De265Deleter {
  void operator()(de265_decoder_context* ctx) const { de265_free_decoder(ctx); }
};

// Decodes one HEVC item with its parameter sets; an empty string when it decoded cleanly.
std::string DecodeHevc(const Meta& meta, const Coded& coded, bool& unsupported) {
  const Box* config = FindProperty(meta, *coded.item, Fourcc("hvcC"));
  if (config == nullptr) return "HEVC item without hvcC";
  std::vector<std::pair<const unsigned char*, size_t>> nals;
  Cursor c(meta.data.data() + config->body, config->end - config->body);
  c.Skip(22);
  const uint32_t arrays = c.U8();
  for (uint32_t a = 0; a < arrays && c.ok; ++a) {
    c.U8();
    const uint32_t count = c.U16();
    for (uint32_t n = 0; n < count && c.ok; ++n) {
      const uint32_t length = c.U16();
      const size_t at = config->body + c.Pos();
      if (c.Skip(length)) nals.emplace_back(meta.data.data() + at, length);
    }
  }
  if (!c.ok) return "bad hvcC";
  bool sized = false;
  for (const auto& nal : nals) {
    uint32_t w = 0, h = 0;
    if (nal.second < 2 || ((nal.first[0] >> 1) & 0x3f) != 33) continue;
    if (!SpsSize(nal.first, nal.second, w, h)) return "bad SPS";
    if (w == 0 || h == 0 || static_cast<long long>(w) * h > kMaxPixels) {
      unsupported = true;
      return {};
    }
    sized = true;
  }
  if (!sized) return "no SPS";
  std::unique_ptr<de265_decoder_context, De265Deleter> ctx(de265_new_decoder());
  if (!ctx) {
    unsupported = true;
    return {};
  }
  // Filters after reconstruction read no bits: skipping them leaves every syntax check.
  de265_set_parameter_bool(ctx.get(), DE265_DECODER_PARAM_DISABLE_DEBLOCKING, 1);
  de265_set_parameter_bool(ctx.get(), DE265_DECODER_PARAM_DISABLE_SAO, 1);
  for (const auto& nal : nals) {
    de265_push_NAL(ctx.get(), nal.first, static_cast<int>(nal.second), 0, nullptr);
  }
  for (const Unit& unit : coded.units) {
    de265_push_NAL(ctx.get(), coded.data.data() + unit.at, static_cast<int>(unit.size), 0, nullptr);
  }
  de265_flush_data(ctx.get());
  int pictures = 0;
  for (int more = 1; more;) {
    const de265_error err = de265_decode(ctx.get(), &more);
    while (de265_get_next_picture(ctx.get()) != nullptr) ++pictures;
    if (err != DE265_OK && err != DE265_ERROR_WAITING_FOR_INPUT_DATA &&
        err != DE265_ERROR_IMAGE_BUFFER_FULL) {
      return de265_get_error_text(err);
    }
  }
  for (de265_error w = de265_get_warning(ctx.get()); w != DE265_OK;
       w = de265_get_warning(ctx.get())) {
    return de265_get_error_text(w);
  }
  return pictures == 1 ? std::string() : "no picture decoded";
}

// The largest frame an AV1 sequence header allows, to bound the decoder's memory; false when
// it cannot be read.
bool SequenceSize(const unsigned char* obu, size_t size, uint32_t& width, uint32_t& height) {
  Bits b(std::vector<unsigned char>(obu, obu + size));
  b.Get(3);
  b.Get(1);
  if (b.Get(1)) {
    b.Get(5);  // reduced still picture header: one level, no timing
  } else {
    bool decoderModel = false;
    uint32_t delayLength = 0;
    if (b.Get(1)) {
      b.Get(64);
      if (b.Get(1)) {
        int zeros = 0;
        while (b.ok && b.Get(1) == 0 && zeros < 32) ++zeros;
        if (zeros < 32) b.Get(zeros);
      }
      decoderModel = b.Get(1) != 0;
      if (decoderModel) {
        delayLength = b.Get(5) + 1;
        b.Get(32 + 5 + 5);
      }
    }
    const bool displayDelay = b.Get(1) != 0;
    const uint32_t points = b.Get(5) + 1;
    for (uint32_t i = 0; i < points && b.ok; ++i) {
      b.Get(12);
      if (b.Get(5) > 7) b.Get(1);
      if (decoderModel && b.Get(1)) b.Get(2 * delayLength + 1);
      if (displayDelay && b.Get(1)) b.Get(4);
    }
  }
  const int widthBits = static_cast<int>(b.Get(4)) + 1, heightBits = static_cast<int>(b.Get(4)) + 1;
  width = b.Get(widthBits) + 1;
  height = b.Get(heightBits) + 1;
  return b.ok;
}

struct AomCodec {
  aom_codec_ctx_t ctx{};
  bool open = false;
  ~AomCodec() {
    if (open) aom_codec_destroy(&ctx);
  }
};

// Decodes one AV1 item with libaom, which checks each tile's end (dav1d does not).
std::string DecodeAv1(const Meta& meta, const Coded& coded, bool& unsupported) {
  std::vector<unsigned char> stream;
  if (const Box* config = FindProperty(meta, *coded.item, Fourcc("av1C"))) {
    if (config->end - config->body > 4) {
      stream.assign(meta.data.begin() + static_cast<long>(config->body) + 4,
                    meta.data.begin() + static_cast<long>(config->end));
    }
  }
  const size_t configSize = stream.size();
  stream.insert(stream.end(), coded.data.begin(), coded.data.end());
  bool sized = false;
  for (size_t pos = 0; pos < stream.size();) {
    const unsigned char h = stream[pos];
    size_t header = (h & 4) ? 2 : 1;
    uint64_t length = 0;
    int i = 0;
    for (; (h & 2) && i < 8 && pos + header + i < stream.size(); ++i) {
      length |= uint64_t{stream[pos + header + i] & 0x7fu} << (7 * i);
      if ((stream[pos + header + i] & 0x80) == 0) break;
    }
    header += (h & 2) ? i + 1 : 0;
    if (pos < configSize &&
        (!(h & 2) || pos + header > configSize || length > configSize - pos - header)) {
      return "bad av1C";
    }
    if (!(h & 2) || pos + header > stream.size() || length > stream.size() - pos - header) {
      break;  // the last unit, to the end; the chain was checked before
    }
    if (((h >> 3) & 15) == 1) {
      uint32_t w = 0, hgt = 0;
      if (!SequenceSize(stream.data() + pos + header, static_cast<size_t>(length), w, hgt)) {
        return "bad sequence header";
      }
      if (static_cast<long long>(w) * hgt > kMaxPixels) {
        unsupported = true;
        return {};
      }
      sized = true;
    }
    pos += header + static_cast<size_t>(length);
  }
  if (!sized) return "no sequence header";
  AomCodec codec;
  aom_codec_dec_cfg_t cfg{};
  cfg.threads = 1;
  cfg.allow_lowbitdepth = 1;
  if (aom_codec_dec_init(&codec.ctx, aom_codec_av1_dx(), &cfg, 0) != AOM_CODEC_OK) {
    unsupported = true;
    return {};
  }
  codec.open = true;
  if (aom_codec_decode(&codec.ctx, stream.data(), stream.size(), nullptr) != AOM_CODEC_OK) {
    const char* detail = aom_codec_error(&codec.ctx);
    return detail != nullptr ? detail : "AV1 decoding error";
  }
  aom_codec_iter_t iter = nullptr;
  return aom_codec_get_frame(&codec.ctx, &iter) != nullptr ? std::string() : "no picture decoded";
}

// libheif reads the candidate through this, never past the file's structural end.
struct HeifInput {
  ByteSpan* bytes;
  long long position;
};

int64_t HeifPosition(void* user) {
  return static_cast<HeifInput*>(user)->position;
}
int HeifRead(void* data, size_t size, void* user) {
  auto* in = static_cast<HeifInput*>(user);
  if (!ReadExact(*in->bytes, in->position, data, static_cast<long long>(size))) return 1;
  in->position += static_cast<long long>(size);
  return 0;
}
int HeifSeek(int64_t position, void* user) {
  auto* in = static_cast<HeifInput*>(user);
  if (position < 0 || position > in->bytes->Size()) return 1;
  in->position = position;
  return 0;
}
heif_reader_grow_status HeifGrow(int64_t target, void* user) {
  return target > static_cast<HeifInput*>(user)->bytes->Size()
             ? heif_reader_grow_status_size_beyond_eof
             : heif_reader_grow_status_size_reached;
}

// libheif's verdict on the structure: empty when it opens the file and finds its primary
// image, else its complaint; `unsupported` when it refuses what it does not know.
std::string HeifOpens(ByteSpan& file, bool& unsupported) {
  static const heif_reader reader = {1, HeifPosition, HeifRead, HeifSeek, HeifGrow};
  HeifInput input{&file, 0};
  std::unique_ptr<heif_context, void (*)(heif_context*)> ctx(heif_context_alloc(),
                                                             heif_context_free);
  if (!ctx) return {};
  heif_error err = heif_context_read_from_reader(ctx.get(), &reader, &input, nullptr);
  heif_image_handle* handle = nullptr;
  if (err.code == heif_error_Ok) err = heif_context_get_primary_image_handle(ctx.get(), &handle);
  if (handle != nullptr) heif_image_handle_release(handle);
  if (err.code == heif_error_Ok) return {};
  if (err.code == heif_error_Unsupported_feature || err.code == heif_error_Unsupported_filetype ||
      err.code == heif_error_Memory_allocation_error) {
    unsupported = true;
    return {};
  }
  return err.message != nullptr ? err.message : "libheif refused it";
}

// The items whose pictures are decoded: the primary image's coded items (the tiles of a grid,
// the source of a derived image) and its thumbnails.
std::vector<uint32_t> ItemsToDecode(const Meta& meta) {
  std::vector<uint32_t> out, pending{meta.primary};
  for (const auto& entry : meta.items) {
    if (entry.second.thumbnailOf == meta.primary) pending.push_back(entry.first);
  }
  for (size_t i = 0; i < pending.size() && out.size() < static_cast<size_t>(kMaxDecoded); ++i) {
    auto found = meta.items.find(pending[i]);
    if (found == meta.items.end()) continue;
    const uint32_t type = found->second.type;
    if (type == Fourcc("grid") || type == Fourcc("iovl") || type == Fourcc("iden")) {
      if (pending.size() < 4 * static_cast<size_t>(kMaxDecoded)) {
        pending.insert(pending.end(), found->second.tiles.begin(), found->second.tiles.end());
      }
    } else if (std::find(out.begin(), out.end(), pending[i]) == out.end()) {
      out.push_back(pending[i]);
    }
  }
  return out;
}

// Reads a coded item's extents joined, within what is left of `budget`.
bool ReadItem(ByteSpan& bytes, Coded& coded, long long& budget) {
  long long total = 0;
  for (const Extent& e : coded.item->extents) total += e.length;
  if (total > kMaxItemBytes || total > budget) return false;
  budget -= total;
  coded.data.clear();
  coded.data.reserve(static_cast<size_t>(total));
  std::vector<unsigned char> part;
  for (const Extent& e : coded.item->extents) {
    if (!ReadRange(bytes, e.offset, e.length, kMaxItemBytes, part)) return false;
    coded.data.insert(coded.data.end(), part.begin(), part.end());
  }
  return true;
}

Validation CheckHeif(ByteSpan& bytes, bool decode) {
  const long long size = bytes.Size();
  Findings findings(bytes.Size());
  Meta meta;
  bool metaSeen = false;
  long long metaEnd = 0;
  long long extentsEnd = 0;  // the end of the last item extent, once meta is known
  long long end = 0;
  for (long long pos = 0;;) {
    const bool complete = metaSeen && extentsEnd <= pos;
    unsigned char head[16];
    if (pos == size || !ReadExact(bytes, pos, head, std::min(16LL, size - pos)) || size - pos < 8) {
      if (!complete) findings.Damage(pos, size, "cut short");
      end = pos;
      break;
    }
    uint64_t boxSize = Be32(head);
    const uint32_t type = Be32(head + 4);
    long long header = 8;
    if (boxSize == 1) {
      if (size - pos < 16) {
        if (!complete) findings.Damage(pos, size, "cut short");
        end = pos;
        break;
      }
      boxSize = Be64(head + 8);
      header = 16;
    }
    const bool first = pos == 0;
    if (!IsBoxType(type) || (boxSize != 0 && boxSize < static_cast<uint64_t>(header)) ||
        (first != (type == Fourcc("ftyp"))) || boxSize > (1ULL << 62)) {
      if (!complete) findings.Damage(pos, pos, first ? "not a HEIF file" : "bad box header");
      end = pos;
      break;
    }
    // A box "to the end of the file" ends, with trailing bytes, where its items do.
    const bool toEnd = boxSize == 0;
    const long long boxEnd = toEnd ? std::max(pos + header, extentsEnd) : pos + (long long)boxSize;
    if (boxEnd > size) {
      if (complete) {
        end = pos;
      } else {
        findings.Damage(pos + header, size, "cut short");
        end = boxEnd;
      }
      if (!(type == Fourcc("meta") && !metaSeen)) break;
    }
    if (type == Fourcc("meta") && !metaSeen) {
      metaSeen = true;
      meta.start = pos;
      metaEnd = boxEnd;
      if (!ReadRange(bytes, pos, boxEnd - pos, kMaxMetaBytes, meta.data)) {
        if (boxEnd <= size) return Validation::CannotTell();  // too large to hold
        break;
      }
      if (!ParseMeta(meta)) {
        findings.Damage(pos, boxEnd, "bad meta box");
        break;
      }
      if (meta.handler != Fourcc("pict")) return Validation::CannotTell();
      for (const auto& entry : meta.items) {
        const Item& item = entry.second;
        if (item.method != 0) continue;
        for (const Extent& e : item.extents) extentsEnd = std::max(extentsEnd, e.offset + e.length);
      }
    }
    if (boxEnd > size) break;
    pos = boxEnd;
    if (toEnd) {
      end = pos;
      break;
    }
  }
  if (!metaSeen) {
    findings.Damage(std::min(end, size), std::min(end, size), "no meta box");
    return findings.Result(end);
  }
  if (findings.Damaged() && meta.items.empty()) return findings.Result(end);
  end = std::max(end, std::min(extentsEnd, size));

  // Every item's bytes lie in the file; extents in file order, so the first that falls
  // outside is the one reported.
  std::vector<std::pair<Extent, uint32_t>> extents;
  for (const auto& entry : meta.items) {
    const Item& item = entry.second;
    if (item.method == 1) {
      for (const Extent& e : item.extents) {
        if (e.offset + e.length > meta.idatSize)
          findings.Damage(meta.start, metaEnd, "bad idat extent");
      }
    }
    if (item.method != 0) continue;
    for (const Extent& e : item.extents) extents.push_back({e, entry.first});
  }
  std::sort(extents.begin(), extents.end(),
            [](const auto& a, const auto& b) { return a.first.offset < b.first.offset; });
  for (const auto& e : extents) {
    if (e.first.offset + e.first.length > size) {
      findings.Damage(std::min(e.first.offset, size), size, "item data past the end");
      break;
    }
  }

  // Coded items in file order: the unit chains first, decoding only when they all hold. One
  // item's data is held at a time, and items that share bytes cannot make the reading
  // quadratic: past a few times the span's size the rest is left unchecked.
  std::vector<Coded> coded;
  for (const auto& entry : meta.items) {
    const Item& item = entry.second;
    if (item.type != Fourcc("hvc1") && item.type != Fourcc("av01")) continue;
    if (item.method != 0 || item.extents.empty()) continue;
    bool inside = true;
    for (const Extent& e : item.extents) inside = inside && e.offset + e.length <= size;
    if (inside) coded.push_back({entry.first, &item, {}, {}});
  }
  std::sort(coded.begin(), coded.end(), [](const Coded& a, const Coded& b) {
    return a.item->extents.front().offset < b.item->extents.front().offset;
  });
  long long budget = 4 * size + (1LL << 20);
  long long lastGood = metaEnd;  // start of the last unit whose length held
  for (Coded& c : coded) {
    if (!ReadItem(bytes, c, budget)) {
      findings.Unchecked();
      c.units.clear();
      continue;
    }
    ChainBreak broken;
    bool ok = false;
    if (c.item->type == Fourcc("hvc1")) {
      const Box* config = FindProperty(meta, *c.item, Fourcc("hvcC"));
      const int lengthSize = config != nullptr && config->end - config->body > 21
                                 ? (meta.data[config->body + 21] & 3) + 1
                                 : 4;
      if (lengthSize == 3) {
        findings.Damage(meta.start, metaEnd, "bad hvcC");
        break;
      }
      ok = SplitNals(c, lengthSize, broken);
    } else {
      ok = SplitObus(c, broken);
    }
    if (!ok) {
      const long long good =
          broken.good < 0 ? lastGood : FileOffset(*c.item, static_cast<size_t>(broken.good));
      findings.Damage(good, FileOffset(*c.item, static_cast<size_t>(std::max(0LL, broken.bad))),
                      "bad coded unit");
      break;
    }
    lastGood = c.units.back().fileOffset;
    std::vector<unsigned char>().swap(c.data);
  }
  if (findings.Damaged()) return findings.Result(end);

  // Structure as libheif sees it: the file alone, without what follows it.
  SubSpan file(bytes, 0, end);
  bool unsupported = false;
  const std::string refused = HeifOpens(file, unsupported);
  if (!refused.empty()) findings.Damage(meta.start, metaEnd, refused);
  if (unsupported) findings.Unchecked();

  if (!decode) {
    findings.Unchecked();
    return findings.Result(end);
  }
  // In file order, so the first that fails is the earliest break.
  std::map<uint32_t, const Coded*> byId;
  for (const Coded& c : coded) byId[c.id] = &c;
  std::vector<const Coded*> wanted;
  for (uint32_t id : ItemsToDecode(meta)) {
    auto found = byId.find(id);
    if (found == byId.end() || found->second->units.empty()) {
      findings.Unchecked();  // another codec, data held in the meta box, or over the budget
    } else {
      wanted.push_back(found->second);
    }
  }
  std::sort(wanted.begin(), wanted.end(), [](const Coded* a, const Coded* b) {
    return a->item->extents.front().offset < b->item->extents.front().offset;
  });
  budget = 4 * size + (1LL << 20);
  for (const Coded* c : wanted) {
    Coded item = *c;
    if (!ReadItem(bytes, item, budget)) {
      findings.Unchecked();
      continue;
    }
    c = &item;
    bool cannot = false;
    const std::string error = c->item->type == Fourcc("hvc1") ? DecodeHevc(meta, *c, cannot)
                                                              : DecodeAv1(meta, *c, cannot);
    if (cannot) findings.Unchecked();
    if (!error.empty()) {
      const Extent& last = c->item->extents.back();
      findings.Damage(c->item->extents.front().offset, last.offset + last.length, error);
      break;
    }
  }
  return findings.Result(end);
}

}  // namespace

Validation ValidateHeif(ByteSpan& bytes) {
  return CheckHeif(bytes, true);
}

Validation ValidateHeifUnits(ByteSpan& bytes) {
  return CheckHeif(bytes, false);
}

}  // namespace salvor
