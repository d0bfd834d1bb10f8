// Photoshop PSD and PSB. No Debian library reads them whole, so this walks them: the header,
// sections whose lengths must chain, image resources, layer records whose channel lengths
// must add up to the layer section, and the pixel data: each RLE row's PackBits must decode
// to exactly one row from exactly the bytes its count table gives it; ZIP data must inflate
// to the channel's size.
#include <zlib.h>

#include <algorithm>

#include "validate/Formats.h"
#include "validate/StillsCommon.h"

namespace salvor {

namespace {

constexpr long long kMaxTable = 64LL << 20;  // row byte counts of one channel set
constexpr int kMaxLayers = 8192;

// Walks the file with bounds-checked reads; a read past the end marks the file cut short.
class PsdWalk {
 public:
  PsdWalk(ByteSpan& bytes, Findings& findings) : FBytes(bytes), FFindings(findings) {}

  bool Run(long long& end) {
    unsigned char h[26];
    if (!ReadExact(FBytes, 0, h, 26) || Be32(h) != 0x38425053) return false;  // "8BPS"
    const uint32_t version = Be16(h + 4);
    if (version != 1 && version != 2) return false;
    FBig = version == 2;
    FChannels = Be16(h + 12);
    FHeight = Be32(h + 14);
    FWidth = Be32(h + 18);
    FDepth = Be16(h + 22);
    const uint32_t maxSide = FBig ? 300000 : 30000;
    if (FChannels < 1 || FChannels > 56 || FHeight < 1 || FHeight > maxSide || FWidth < 1 ||
        FWidth > maxSide || (FDepth != 1 && FDepth != 8 && FDepth != 16 && FDepth != 32) ||
        Be16(h + 24) > 9) {
      FFindings.Fail(0, 0, "bad PSD header");
      end = 0;
      return true;
    }
    FFindings.Proven(0, 26);
    long long pos = 26;
    // Colour mode data, then image resources, then layers and masks, each behind its length.
    const long long colours = Section(pos, false);
    if (colours < 0 || colours > FBytes.Size()) return Cut(end);
    FFindings.Proven(pos, colours);
    pos = colours;
    const long long resources = Section(pos, false);
    if (resources < 0 || resources > FBytes.Size()) return Cut(end);
    if (Resources(pos + 4, resources)) FFindings.Proven(pos, resources);
    pos = resources;
    const long long layers = Section(pos, FBig);
    if (layers < 0) return Cut(end);
    Layers(pos + (FBig ? 8 : 4), layers);
    if (layers > FBytes.Size()) {
      end = FBytes.Size();
      return FFindings.Damaged() || Cut(end);
    }
    pos = layers;
    end = ImageData(pos);
    return true;
  }

 private:
  bool Cut(long long& end) {
    FFindings.Fail(FSection, FBytes.Size(), "cut short");
    end = FBytes.Size();
    return true;
  }

  // The end of the section whose length field is at `pos` (perhaps past the span's end), or
  // -1 when the length itself is not in the span.
  long long Section(long long pos, bool wide) {
    unsigned char b[8];
    if (!ReadExact(FBytes, pos, b, wide ? 8 : 4)) return -1;
    const uint64_t length = wide ? Be64(b) : Be32(b);
    FSection = pos;
    return pos + (wide ? 8 : 4) + static_cast<long long>(std::min<uint64_t>(length, 1ULL << 61));
  }

  // Image resource blocks must fill their section exactly.
  bool Resources(long long pos, long long end) {
    while (pos < end) {
      unsigned char b[8];
      if (end - pos < 12 || !ReadExact(FBytes, pos, b, 7)) break;
      const uint32_t signature = Be32(b);
      if (signature != 0x3842494d && signature != 0x4d655361 && signature != 0x50485554 &&
          signature != 0x41674867 && signature != 0x44435352) {
        break;  // "8BIM", "MeSa", "PHUT", "AgHg", "DCSR"
      }
      const long long name = (1 + b[6] + 1) & ~1LL;  // Pascal string, padded to even
      if (!ReadExact(FBytes, pos + 6 + name, b, 4)) break;
      const long long size = (static_cast<long long>(Be32(b)) + 1) & ~1LL;
      pos += 6 + name + 4 + size;
    }
    if (pos != end) {
      FFindings.Fail(FSection, std::min(pos, end), "bad image resource");
      return false;
    }
    return true;
  }

  struct Channel {
    int id;
    long long length;
  };
  struct Layer {
    long long rows = 0, columns = 0;
    long long maskRows = -1, maskColumns = 0;  // the user mask's own rectangle
    std::vector<Channel> channels;
  };

  // Layer records, then each layer's channel data, which must end where the section's layer
  // information says.
  void Layers(long long pos, long long end) {
    if (pos >= end) return;
    const int wide = FBig ? 8 : 4;
    unsigned char b[32];
    if (!ReadExact(FBytes, pos, b, wide)) return Bad(pos);
    const uint64_t infoLength = FBig ? Be64(b) : Be32(b);
    const long long infoStart = pos + wide;
    if (infoLength == 0) return;
    if (infoLength > static_cast<uint64_t>(end - infoStart)) {
      FFindings.Fail(FSection, infoStart, "bad layer section");
      return;
    }
    const long long infoEnd = infoStart + static_cast<long long>(infoLength);
    if (!ReadExact(FBytes, infoStart, b, 2)) return Bad(infoStart);
    const int count = std::abs(static_cast<int16_t>(Be16(b)));
    if (count > kMaxLayers) {
      FFindings.Fail(FSection, infoStart, "bad layer count");
      return;
    }
    std::vector<Layer> layers;
    long long at = infoStart + 2;
    for (int i = 0; i < count; ++i) {
      Layer layer;
      if (!ReadExact(FBytes, at, b, 18)) return Bad(at);
      const long long top = static_cast<int32_t>(Be32(b)), left = static_cast<int32_t>(Be32(b + 4));
      const long long bottom = static_cast<int32_t>(Be32(b + 8));
      const long long right = static_cast<int32_t>(Be32(b + 12));
      layer.rows = bottom - top;
      layer.columns = right - left;
      const int channels = static_cast<int>(Be16(b + 16));
      if (layer.rows < 0 || layer.columns < 0 || channels > 56) return Bad(at);
      at += 18;
      for (int c = 0; c < channels; ++c) {
        if (!ReadExact(FBytes, at, b, 2 + wide)) return Bad(at);
        const uint64_t length = FBig ? Be64(b + 2) : Be32(b + 2);
        if (length > static_cast<uint64_t>(infoEnd)) return Bad(at);
        layer.channels.push_back({static_cast<int16_t>(Be16(b)), static_cast<long long>(length)});
        at += 2 + wide;
      }
      if (!ReadExact(FBytes, at, b, 16) || Be32(b) != 0x3842494d) return Bad(at);  // "8BIM"
      const long long extra = Be32(b + 12);
      unsigned char m[20];
      if (extra >= 20 && ReadExact(FBytes, at + 16, m, 20) && Be32(m) >= 16) {
        const auto side = [&m](int i) {
          return static_cast<long long>(static_cast<int32_t>(Be32(m + i)));
        };
        layer.maskRows = side(12) - side(4);
        layer.maskColumns = side(16) - side(8);
      }
      at += 16 + extra;
      if (at > infoEnd) return Bad(at - extra);
      layers.push_back(std::move(layer));
    }
    FFindings.Proven(FSection, at);
    for (const Layer& layer : layers) {
      for (const Channel& channel : layer.channels) {
        if (channel.length < 2 || at + channel.length > infoEnd) {
          FFindings.Fail(at, std::min(at + std::max(channel.length, 0LL), infoEnd),
                         "layer data does not fit");
          return;
        }
        if (!ReadExact(FBytes, at, b, 2)) return Bad(at);
        // The user mask has its own rectangle; the real user mask's is not read here.
        const bool mask = channel.id == -2;
        const long long rows = mask ? layer.maskRows : channel.id < -2 ? -1 : layer.rows;
        Pixels(Be16(b), at + 2, at + channel.length, 1, rows,
               mask ? layer.maskColumns : layer.columns);
        if (FFindings.Damaged()) return;  // the first break is the one that matters
        at += channel.length;
      }
    }
    // Padding to an even length, at most.
    if (infoEnd - at > 4) FFindings.Fail(at, at, "layer data shorter than its section");
  }

  void Bad(long long at) {
    if (at + 64 > FBytes.Size()) {
      FFindings.Fail(FSection, FBytes.Size(), "cut short");
    } else {
      FFindings.Fail(FSection, at, "bad layer record");
    }
  }

  long long RowBytes(long long columns) const { return (columns * FDepth + 7) / 8; }

  // Checks pixel data of `planes` planes of rows x columns in [pos, end) coded by
  // `compression`; end < 0 when the data runs to wherever it ends. Returns that end.
  long long Pixels(uint32_t compression, long long pos, long long end, long long planes,
                   long long rows, long long columns) {
    const long long rowBytes = RowBytes(columns);
    const long long size = FBytes.Size();
    if (rows < 0 || columns < 0) {  // a mask channel: only its place is checked
      FFindings.Unchecked();
      return end;
    }
    if (compression == 0) {
      const long long raw = planes * rows * rowBytes;
      if (end < 0) end = pos + raw;
      if (end > size) FFindings.Fail(pos, size, "cut short");
      FFindings.Unchecked();
      return end;
    }
    if (compression == 1) return Rle(pos, end, planes * rows, rowBytes);
    if (compression == 2 || compression == 3) {
      if (end < 0) {
        FFindings.Unchecked();  // ZIP image data has no length before it
        return size;
      }
      Zip(pos, end, planes * rows * rowBytes);
      return end;
    }
    FFindings.Fail(pos - 2, pos - 2, "unknown compression");
    return pos;
  }

  long long Rle(long long pos, long long end, long long rows, long long rowBytes) {
    const int width = FBig ? 4 : 2;
    std::vector<unsigned char> table;
    if (rows * width > kMaxTable) {
      FFindings.Unchecked();
      return end < 0 ? FBytes.Size() : end;
    }
    if (!ReadRange(FBytes, pos, rows * width, kMaxTable, table)) {
      FFindings.Fail(pos, FBytes.Size(), "cut short");
      return FBytes.Size();
    }
    long long total = 0;
    for (long long r = 0; r < rows; ++r) {
      total += FBig ? Be32(&table[r * 4]) : Be16(&table[r * 2]);
    }
    const long long data = pos + rows * width;
    const long long dataEnd = data + total;
    if (end >= 0 && dataEnd != end) {
      FFindings.Fail(pos, std::min(dataEnd, end), "row counts do not fill the channel");
      return end;
    }
    FFindings.Proven(pos, data);
    ByteReader in(FBytes, data, std::min(total, FBytes.Size() - data));
    long long at = data;
    for (long long r = 0; r < rows; ++r) {
      const long long count = FBig ? Be32(&table[r * 4]) : Be16(&table[r * 2]);
      const PackBitsRun run = DecodePackBits(in, count, rowBytes);
      if (run.bad >= 0) {
        FFindings.Fail(at, run.bad, "RLE row too long");
        return end < 0 ? dataEnd : end;
      }
      if (run.shortInput && in.Offset() >= FBytes.Size()) {
        FFindings.Fail(at, FBytes.Size(), "cut short");
        return dataEnd;
      }
      if (run.produced != rowBytes || run.shortInput) {
        FFindings.Fail(at, in.Offset(), "RLE row too short");
        return end < 0 ? dataEnd : end;
      }
      FFindings.Proven(at, at + count);
      at += count;
    }
    return dataEnd;
  }

  void Zip(long long pos, long long end, long long expected) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
      FFindings.Unchecked();
      return;
    }
    ByteReader in(FBytes, pos, end - pos);
    unsigned char out[16384];
    long long total = 0;
    int status = Z_OK;
    while (status == Z_OK) {
      size_t size = 0;
      const unsigned char* window = in.Window(size);
      if (size == 0) break;
      z.next_in = const_cast<unsigned char*>(window);
      z.avail_in = static_cast<uInt>(size);
      while (z.avail_in > 0 && status == Z_OK) {
        z.next_out = out;
        z.avail_out = sizeof(out);
        status = inflate(&z, Z_NO_FLUSH);
        total += static_cast<long long>(sizeof(out) - z.avail_out);
        if (total > expected) status = Z_DATA_ERROR;
      }
      in.Consume(size - z.avail_in);
    }
    inflateEnd(&z);
    if (status != Z_STREAM_END && in.Offset() >= FBytes.Size()) {
      FFindings.Fail(pos, FBytes.Size(), "cut short");
    } else if (status != Z_STREAM_END || total != expected) {
      FFindings.Fail(pos, std::min(in.Offset(), end), "bad ZIP channel data");
    } else {
      FFindings.Proven(pos, end);
    }
  }

  long long ImageData(long long pos) {
    unsigned char b[2];
    if (!ReadExact(FBytes, pos, b, 2)) {
      FFindings.Fail(pos, FBytes.Size(), "cut short");
      return FBytes.Size();
    }
    return Pixels(Be16(b), pos + 2, -1, FChannels, FHeight, FWidth);
  }

  ByteSpan& FBytes;
  Findings& FFindings;
  bool FBig = false;
  uint32_t FChannels = 0, FHeight = 0, FWidth = 0, FDepth = 0;
  long long FSection = 0;  // where the section being walked starts
};

}  // namespace

Validation ValidatePsd(ByteSpan& bytes) {
  Findings findings(bytes.Size());
  long long end = 0;
  PsdWalk walk(bytes, findings);
  if (!walk.Run(end)) return Validation::Damaged(0, 0, "not a PSD file");
  return findings.Result(end);
}

}  // namespace salvor
