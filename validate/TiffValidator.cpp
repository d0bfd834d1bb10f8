// TIFF and the camera RAWs built on it. The IFD walk is our own, bounded: libtiff opens
// neither the Olympus nor the Panasonic header, and does not say where tag values lie.
// Strips and tiles are decoded where that is cheap and exact: Deflate by zlib, LZW and
// PackBits by counting codes (their TIFF flavours are not offered alone by any library),
// JPEG by the JPEG validator. Lossless JPEG (most RAW sensor data) is beyond libjpeg-turbo
// 2.1: its marker structure is checked, its data left unchecked.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "validate/Formats.h"
#include "validate/Spans.h"
#include "validate/TiffCheck.h"

namespace salvor {

namespace {

constexpr int kMaxIfds = 512;
constexpr uint64_t kMaxEntries = 4096;
constexpr uint64_t kMaxParts = 1 << 20;  // strips or tiles of one image
constexpr long long kMaxTables = 1 << 20;
constexpr long long kMaxDecoded = 256LL << 20;  // bytes one strip may inflate to

// A strip that decoded badly: the first byte seen not to fit.
struct Bad {
  long long at = -1;
  const char* reason = nullptr;
};

// TIFF LZW (MSB-first codes, the width growing one code early). Only code validity and the
// decoded length matter, so strings are never built: each code's length is enough. One code
// past the strip is let go (some writers add one before the end code; libtiff ignores it).
Bad CheckLzw(ByteSpan& bytes, long long offset, long long length, long long expected,
             bool& unchecked) {
  ByteReader in(bytes, offset, length);
  unsigned char head[2] = {0, 0};
  ReadExact(bytes, offset, head, std::min(2LL, length));
  if (head[0] == 0 && (head[1] & 1)) {
    unchecked = true;  // the old bit-reversed flavour
    return {};
  }
  static thread_local uint16_t lengths[4096];
  uint32_t bits = 0;
  int have = 0, width = 9, next = 258, previous = -1, spilled = 0;
  long long total = 0;
  for (;;) {
    while (have < width) {
      const int byte = in.Next();
      if (byte < 0) {
        // A missing end code is tolerated when the strip is whole.
        if (expected >= 0 && total >= expected) return {};
        return {offset + length, "LZW data ends early"};
      }
      bits = (bits << 8) | static_cast<uint32_t>(byte);
      have += 8;
    }
    const int code = static_cast<int>((bits >> (have - width)) & ((1u << width) - 1));
    have -= width;
    const long long at = in.Offset() - 1;
    if (code == 256) {
      width = 9;
      next = 258;
      previous = -1;
      continue;
    }
    if (code == 257) break;
    if (expected >= 0 && total >= expected && ++spilled > 1) {
      return {at, "LZW data longer than the strip"};
    }
    long long produced = 0;
    if (previous < 0) {
      if (code > 255) return {at, "bad LZW code"};
      produced = 1;
    } else {
      if (code > next || (code == next && next >= 4096)) return {at, "bad LZW code"};
      const int base = previous < 256 ? 1 : lengths[previous];
      produced = code < 256 ? 1 : code == next ? base + 1 : lengths[code];
      if (next < 4096) lengths[next++] = static_cast<uint16_t>(std::min(base + 1, 4096));
      if (next >= (1 << width) - 1 && width < 12) ++width;
    }
    total += produced;
    previous = code;
  }
  if (expected >= 0 && total < expected) return {in.Offset(), "LZW data shorter than the strip"};
  return {};
}

Bad CheckDeflate(ByteSpan& bytes, long long offset, long long length, long long expected,
                 bool& unchecked) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    unchecked = true;
    return {};
  }
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&z};
  ByteReader in(bytes, offset, length);
  static thread_local unsigned char out[65536];
  long long total = 0;
  for (;;) {
    size_t size = 0;
    const unsigned char* window = in.Window(size);
    if (size == 0) return {offset + length, "Deflate data ends early"};
    z.next_in = const_cast<unsigned char*>(window);
    z.avail_in = static_cast<uInt>(size);
    int status = Z_OK;
    while (z.avail_in > 0 && status == Z_OK) {
      z.next_out = out;
      z.avail_out = sizeof(out);
      status = inflate(&z, Z_NO_FLUSH);
      total += static_cast<long long>(sizeof(out) - z.avail_out);
      const long long at = in.Offset() + static_cast<long long>(size - z.avail_in);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        return {std::max(offset, at - 1), "bad Deflate data"};
      }
      if (expected >= 0 && total > expected) return {at, "Deflate data longer than the strip"};
      if (total > kMaxDecoded) {
        unchecked = true;
        return {};
      }
    }
    in.Consume(size - z.avail_in);
    if (status == Z_STREAM_END) break;
  }
  if (expected >= 0 && total != expected) {
    return {in.Offset(), "Deflate data shorter than the strip"};
  }
  return {};
}

Bad CheckPackBits(ByteSpan& bytes, long long offset, long long length, long long expected) {
  ByteReader in(bytes, offset, length);
  const PackBitsRun run = DecodePackBits(in, length, expected);
  if (run.bad >= 0) return {run.bad, "PackBits data longer than the strip"};
  if (expected >= 0 && run.produced != expected) {
    return {offset + length, "PackBits data shorter than the strip"};
  }
  return {};
}

bool IsLosslessSof(int marker) {
  return marker == 0xc3 || marker == 0xc7 || marker == 0xcb || marker == 0xcf;
}

// The frame type of a JPEG stream (0xc0..0xcf), 0 when its segments end first.
int JpegFrameType(ByteSpan& bytes, long long offset, long long length) {
  long long pos = offset + 2;
  for (int segments = 0; segments < 64 && pos + 4 <= offset + length; ++segments) {
    unsigned char m[4];
    if (!ReadExact(bytes, pos, m, 4) || m[0] != 0xff) return 0;
    const int marker = m[1];
    if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc) {
      return marker;
    }
    if (marker == 0xda || marker == 0xd9) return 0;
    pos += 2 + Be16(m + 2);
  }
  return 0;
}

// A lossless JPEG's markers: segments that chain, entropy data where every 0xFF is stuffed or
// a restart marker in turn, an EOI before the strip ends. Its Huffman data is not decoded.
Bad ScanLosslessJpeg(ByteSpan& bytes, long long offset, long long length) {
  ByteReader in(bytes, offset, length);
  in.Next();
  in.Next();
  bool entropy = false;
  int restart = 0;
  for (;;) {
    int b = in.Next();
    if (entropy) {
      // Skip to the next 0xFF a window at a time.
      while (b >= 0 && b != 0xff) {
        size_t size = 0;
        const unsigned char* w = in.Window(size);
        const void* ff = std::memchr(w, 0xff, size);
        const size_t skip =
            ff ? static_cast<size_t>(static_cast<const unsigned char*>(ff) - w) : size;
        in.Consume(skip);
        b = size == 0 ? -1 : in.Next();
      }
    }
    if (b < 0) return {offset + length, "JPEG data without EOI"};
    const long long at = in.Offset() - 1;
    if (b != 0xff) return {at, "bad JPEG marker"};
    int marker = in.Next();
    while (marker == 0xff) marker = in.Next();
    if (marker < 0) return {offset + length, "JPEG data without EOI"};
    if (entropy && marker == 0) continue;
    if (entropy && marker >= 0xd0 && marker <= 0xd7) {
      if (marker - 0xd0 != restart) return {at, "restart marker out of order"};
      restart = (restart + 1) & 7;
      continue;
    }
    if (marker == 0xd9) return {};
    const bool segment = marker == 0xc4 || marker == 0xdb || marker == 0xdd || marker == 0xda ||
                         marker == 0xdc || marker == 0xfe || (marker >= 0xe0 && marker <= 0xef) ||
                         (!entropy && marker >= 0xc0 && marker <= 0xcf);
    if (!segment) return {at, "bad JPEG marker"};
    const int hi = in.Next(), lo = in.Next();
    if (lo < 0) return {offset + length, "JPEG data without EOI"};
    const int size = (hi << 8) | lo;
    if (size < 2) return {at, "bad JPEG segment"};
    for (int i = 2; i < size; ++i) {
      if (in.Next() < 0) return {offset + length, "JPEG data without EOI"};
    }
    entropy = marker == 0xda;
    restart = 0;
  }
}

struct Entry {
  uint32_t tag = 0;
  uint32_t type = 0;
  uint64_t count = 0;
  long long value = 0;  // file offset of the value bytes
};

int TypeSize(uint32_t type) {
  static const int sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
  return type < sizeof(sizes) / sizeof(sizes[0]) ? sizes[type] : 0;
}

enum class IfdKind { kImage, kInfo };

struct Pending {
  uint64_t offset;
  IfdKind kind;
  long long referrer;  // where the pointer to it is stored
};

struct Image {
  long long ifdStart = 0;
  uint64_t width = 0, height = 0, compression = 1, samples = 1, planar = 1, photometric = 0;
  uint64_t rowsPerStrip = 0, tileWidth = 0, tileHeight = 0;
  std::vector<uint64_t> bits;
  std::vector<uint64_t> offsets, counts;
  bool tiled = false;
  std::vector<unsigned char> tables;
  long long jpegOffset = -1, jpegLength = 0;
  long long rawJpegOffset = -1, rawJpegLength = 0;  // Panasonic's JpgFromRaw
};

class TiffWalk {
 public:
  TiffWalk(ByteSpan& bytes, long long base, long long limit, Findings& findings, long long& end)
      : FBytes(bytes),
        FBase(base),
        FLimit(limit),
        FFindings(findings),
        FEnd(end),
        FBudget(4 * (limit - base) + (1LL << 20)) {}

  bool Run() {
    unsigned char h[16];
    if (!ReadExact(FBytes, FBase, h, 8)) return false;
    if (h[0] != h[1] || (h[0] != 'I' && h[0] != 'M')) return false;
    FLittle = h[0] == 'I';
    const uint32_t magic = U16(h + 2);
    FPanasonic = magic == 0x55;
    uint64_t first = U32(h + 4);
    if (magic == 43) {
      if (!ReadExact(FBytes, FBase, h, 16) || U16(h + 4) != 8) return false;
      FBig = true;
      first = U64(h + 8);
    } else if (magic != 42 && magic != 0x55 && magic != 0x4f52 && magic != 0x5352 &&
               magic != 0x524f) {
      return false;
    }
    Cover(FBase + (FBig ? 16 : 8));
    FFindings.Proven(FBase, FBase + (FBig ? 16 : 8));
    std::vector<Pending> pending{{first, IfdKind::kImage, FBase}};
    std::vector<Image> images;
    for (size_t i = 0; i < pending.size() && static_cast<int>(i) < kMaxIfds; ++i) {
      const Pending ifd = pending[i];
      if (ifd.offset == 0 || !FSeen.insert(ifd.offset).second) continue;
      Image image;
      uint64_t next = 0;
      if (!ReadIfd(ifd, image, next, pending)) continue;
      if (ifd.kind == IfdKind::kImage) {
        if (next != 0) pending.push_back({next, IfdKind::kImage, image.ifdStart});
        images.push_back(std::move(image));
      }
    }
    for (Image& image : images) CheckImage(image);
    return true;
  }

 private:
  uint32_t U16(const unsigned char* p) const { return FLittle ? Le16(p) : Be16(p); }
  uint32_t U32(const unsigned char* p) const { return FLittle ? Le32(p) : Be32(p); }
  uint64_t U64(const unsigned char* p) const { return FLittle ? Le64(p) : Be64(p); }

  void Cover(long long to) { FEnd = std::max(FEnd, to); }

  // Whether [offset, offset + length) lies in the file. When it does not, the file was cut
  // short or the pointer to it, stored in the part at `referrer`, is wrong.
  bool Inside(long long offset, long long length, long long referrer, const char* what) {
    if (offset < FBase || length < 0 || offset > FLimit - length) {
      FFindings.Fail(referrer, FLimit, what);
      return false;
    }
    Cover(offset + length);
    return true;
  }

  // An IFD offset as a file offset, or -1 when it cannot be one.
  long long At(uint64_t offset) const {
    return offset > static_cast<uint64_t>(FLimit) ? -1 : FBase + static_cast<long long>(offset);
  }

  bool Values(const Entry& e, std::vector<uint64_t>& out, uint64_t max) {
    out.clear();
    const int size = TypeSize(e.type);
    if (e.count > max || (size != 1 && size != 2 && size != 4 && size != 8)) return false;
    std::vector<unsigned char> raw;
    if (!ReadRange(FBytes, e.value, static_cast<long long>(e.count) * size, 8 * kMaxParts, raw)) {
      return false;
    }
    for (uint64_t i = 0; i < e.count; ++i) {
      const unsigned char* p = raw.data() + i * size;
      out.push_back(size == 1 ? p[0] : size == 2 ? U16(p) : size == 4 ? U32(p) : U64(p));
    }
    return true;
  }

  uint64_t Value(const Entry& e) {
    std::vector<uint64_t> v;
    return Values(e, v, 1) && !v.empty() ? v[0] : 0;
  }

  bool ReadIfd(const Pending& ifd, Image& image, uint64_t& next, std::vector<Pending>& pending) {
    const long long start = At(ifd.offset);
    const int countSize = FBig ? 8 : 2, entrySize = FBig ? 20 : 12, inlineSize = FBig ? 8 : 4;
    unsigned char c[8];
    if (start < 0) {
      FFindings.Fail(ifd.referrer, FLimit, "IFD past the end");
      return false;
    }
    if (!Inside(start, countSize, ifd.referrer, "IFD past the end")) return false;
    ReadExact(FBytes, start, c, countSize);
    const uint64_t count = FBig ? U64(c) : U16(c);
    if (count == 0 || count > kMaxEntries) {
      FFindings.Fail(ifd.referrer, start, "bad IFD");
      return false;
    }
    const long long size = countSize + static_cast<long long>(count) * entrySize + inlineSize;
    std::vector<unsigned char> raw;
    if (!Inside(start, size, ifd.referrer, "IFD past the end") ||
        !ReadRange(FBytes, start, size, size, raw)) {
      return false;
    }
    image.ifdStart = start;
    long long valuesEnd = start + size;
    bool sound = true;
    for (uint64_t i = 0; i < count; ++i) {
      const unsigned char* p = raw.data() + countSize + i * entrySize;
      Entry e;
      e.tag = U16(p);
      e.type = U16(p + 2);
      e.count = FBig ? U64(p + 4) : U32(p + 4);
      const int typeSize = TypeSize(e.type);
      const long long entryAt = start + countSize + static_cast<long long>(i) * entrySize;
      if (typeSize == 0 || (!FBig && e.type > 13) || e.count > (1ULL << 40)) {
        FFindings.Fail(ifd.referrer, entryAt, "bad IFD entry");
        return false;
      }
      const uint64_t bytes = e.count * static_cast<uint64_t>(typeSize);
      e.value = entryAt + 4 + (FBig ? 8 : 4);
      if (bytes > static_cast<uint64_t>(inlineSize)) {
        e.value = At(FBig ? U64(p + 12) : U32(p + 8));
        if (e.value < 0) {
          FFindings.Fail(start, FLimit, "tag value past the end");
          sound = false;
          continue;
        }
        if (!Inside(e.value, static_cast<long long>(bytes), start, "tag value past the end")) {
          sound = false;
          continue;
        }
        if (e.value == valuesEnd) valuesEnd += static_cast<long long>(bytes);
      }
      Note(e, ifd.kind, image, pending);
    }
    next = FBig ? U64(raw.data() + size - 8) : U32(raw.data() + size - 4);
    // The IFD and the values written right after it are structure that held.
    if (sound) FFindings.Proven(start, valuesEnd);
    return true;
  }

  void Note(const Entry& e, IfdKind kind, Image& image, std::vector<Pending>& pending) {
    const long long referrer = image.ifdStart;
    std::vector<uint64_t> v;
    switch (e.tag) {
      case 330:  // SubIFDs
        if (Values(e, v, 1024)) {
          for (uint64_t o : v) pending.push_back({o, IfdKind::kImage, referrer});
        }
        return;
      case 34665:  // Exif
      case 34853:  // GPS
      case 40965:  // Interoperability
        pending.push_back({Value(e), IfdKind::kInfo, referrer});
        return;
      default:
        break;
    }
    if (kind != IfdKind::kImage) return;
    switch (e.tag) {
      case 46:  // Panasonic JpgFromRaw, in IFD0 of RW2 files
        if (FPanasonic && e.type == 7) {
          image.rawJpegOffset = e.value;
          image.rawJpegLength = static_cast<long long>(e.count);
        }
        break;
      case 256:
        image.width = Value(e);
        break;
      case 257:
        image.height = Value(e);
        break;
      case 258:
        Values(e, image.bits, 64);
        break;
      case 259:
        image.compression = Value(e);
        break;
      case 262:
        image.photometric = Value(e);
        break;
      case 273:
      case 324:
        Values(e, image.offsets, kMaxParts);
        image.tiled = e.tag == 324;
        break;
      case 277:
        image.samples = Value(e);
        break;
      case 278:
        image.rowsPerStrip = Value(e);
        break;
      case 279:
      case 325:
        Values(e, image.counts, kMaxParts);
        break;
      case 284:
        image.planar = Value(e);
        break;
      case 322:
        image.tileWidth = Value(e);
        break;
      case 323:
        image.tileHeight = Value(e);
        break;
      case 347:
        if (TypeSize(e.type) == 1) {
          ReadRange(FBytes, e.value, static_cast<long long>(e.count), kMaxTables, image.tables);
        }
        break;
      case 513:
        image.jpegOffset = At(Value(e));
        break;
      case 514:
        image.jpegLength = static_cast<long long>(Value(e));
        break;
      default:
        break;
    }
  }

  // Decoded bytes of strip or tile `index`, or -1 when the tags do not say.
  long long Expected(const Image& im, size_t index) const {
    const bool planes = im.planar == 2;
    if (im.width == 0 || im.height == 0 || im.samples == 0 || im.samples > 64 || im.bits.empty() ||
        im.photometric == 6 || im.width > (1u << 24) || im.height > (1u << 24)) {
      return -1;  // subsampled YCbCr, or tags missing
    }
    uint64_t rows = 0, columns = 0, perPlane = 0, height = 0;
    if (im.tiled) {
      if (im.tileWidth == 0 || im.tileHeight == 0 || im.tileWidth > (1u << 24) ||
          im.tileHeight > (1u << 24)) {
        return -1;
      }
      columns = im.tileWidth;
      rows = height = im.tileHeight;
      perPlane = ((im.width + columns - 1) / columns) * ((im.height + rows - 1) / rows);
    } else {
      columns = im.width;
      rows = im.rowsPerStrip == 0 ? im.height : std::min(im.rowsPerStrip, im.height);
      perPlane = (im.height + rows - 1) / rows;
      height = std::min(rows, im.height - (index % perPlane) * rows);
    }
    uint64_t bits = 0;
    const size_t plane = planes ? index / perPlane : 0;
    for (uint64_t s = 0; s < (planes ? 1 : im.samples); ++s) {
      bits += im.bits[std::min<size_t>(plane + s, im.bits.size() - 1)];
    }
    if (bits == 0 || bits > 1024) return -1;
    return static_cast<long long>((columns * bits + 7) / 8 * height);
  }

  // Strips and previews that share bytes cannot make decoding quadratic: past a few times the
  // file's size, what is left goes unchecked.
  bool Afford(long long length) {
    if (length > FBudget) {
      FFindings.Unchecked();
      return false;
    }
    FBudget -= length;
    return true;
  }

  void CheckJpeg(long long offset, long long length, const std::vector<unsigned char>& tables) {
    if (!Afford(length)) return;
    const Validation jpeg = CheckEmbeddedJpeg(FBytes, offset, length, tables);
    FFindings.Add(jpeg);
    if (jpeg.verdict == Verdict::kIntact) FFindings.Proven(offset, jpeg.end);
  }

  void CheckImage(Image& im) {
    if (im.jpegOffset >= 0 && im.jpegLength > 0 &&
        Inside(im.jpegOffset, im.jpegLength, im.ifdStart, "JPEG preview past the end")) {
      CheckJpeg(im.jpegOffset, im.jpegLength, {});
    }
    if (im.rawJpegOffset >= 0 && im.rawJpegLength > 0) {
      CheckJpeg(im.rawJpegOffset, im.rawJpegLength, {});
    }
    if (im.offsets.size() != im.counts.size()) {
      if (!im.offsets.empty() || !im.counts.empty()) {
        FFindings.Fail(im.ifdStart, im.ifdStart, "strip tables disagree");
      }
      return;
    }
    for (size_t i = 0; i < im.offsets.size(); ++i) {
      const long long length = static_cast<long long>(std::min<uint64_t>(im.counts[i], 1ULL << 62));
      const long long offset = At(im.offsets[i]);
      if (length == 0) continue;
      if (offset < 0) {
        FFindings.Fail(im.ifdStart, FLimit, "strip past the end");
        continue;
      }
      if (!Inside(offset, length, im.ifdStart, "strip past the end")) continue;
      // Old-style JPEG strips inside a JPEGInterchangeFormat stream were checked with it.
      if (im.compression == 6 && im.jpegOffset >= 0) continue;
      CheckStrip(im, i, offset, length);
    }
  }

  void CheckStrip(const Image& im, size_t index, long long offset, long long length) {
    if (!Afford(length)) return;
    bool unchecked = false;
    Bad bad;
    switch (im.compression) {
      case 5:
        bad = CheckLzw(FBytes, offset, length, Expected(im, index), unchecked);
        break;
      case 8:
      case 32946:
        bad = CheckDeflate(FBytes, offset, length, Expected(im, index), unchecked);
        break;
      case 32773:
        bad = CheckPackBits(FBytes, offset, length, Expected(im, index));
        break;
      case 6:
      case 7:
      case 34892: {
        unsigned char soi[2] = {0, 0};
        ReadExact(FBytes, offset, soi, 2);
        if (soi[0] != 0xff || soi[1] != 0xd8) {
          if (im.compression == 6) {
            unchecked = true;
          } else {
            bad = {offset, "strip is not JPEG"};
          }
          break;
        }
        if (!IsLosslessSof(JpegFrameType(FBytes, offset, length))) {
          CheckJpeg(offset, length, im.compression == 6 ? std::vector<unsigned char>() : im.tables);
          return;
        }
        bad = ScanLosslessJpeg(FBytes, offset, length);
        unchecked = true;
        break;
      }
      default:
        unchecked = true;  // uncompressed or a camera's own coding
        break;
    }
    if (bad.reason != nullptr) {
      FFindings.Fail(offset, bad.at, bad.reason);
    } else if (unchecked) {
      FFindings.Unchecked();
    } else {
      FFindings.Proven(offset, offset + length);
    }
  }

  ByteSpan& FBytes;
  long long FBase, FLimit;
  Findings& FFindings;
  long long& FEnd;
  long long FBudget;
  bool FLittle = true, FBig = false, FPanasonic = false;
  std::set<uint64_t> FSeen;
};

Validation Check(ByteSpan& bytes, bool raw) {
  Findings findings(bytes.Size());
  long long end = 0;
  if (!CheckTiff(bytes, 0, bytes.Size(), findings, end)) {
    return Validation::Damaged(0, 0, "not a TIFF file");
  }
  Validation result = findings.Result(end);
  // A camera may keep sensor data where no TIFF tag points (maker notes, vendor blocks): the
  // structure alone cannot say where such a file ends.
  if (raw && result.verdict == Verdict::kIntact) return Validation::CannotTell();
  return result;
}

}  // namespace

bool CheckTiff(ByteSpan& bytes, long long base, long long limit, Findings& findings,
               long long& end) {
  TiffWalk walk(bytes, base, std::min(limit, bytes.Size()), findings, end);
  return walk.Run();
}

Validation ValidateTiff(ByteSpan& bytes) {
  return Check(bytes, false);
}

Validation ValidateTiffRaw(ByteSpan& bytes) {
  return Check(bytes, true);
}

}  // namespace salvor
