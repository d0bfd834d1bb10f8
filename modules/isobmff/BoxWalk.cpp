#include "modules/isobmff/BoxWalk.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "modules/common/Checked.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace isobmff {
namespace {

const uint8_t kJp2Signature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
constexpr int kMaxBoxes = 4096;  // top-level boxes remembered (a run of fragments counts once)

bool IsPrintable(uint32_t fourcc) {
  for (int shift = 0; shift < 32; shift += 8) {
    uint8_t c = uint8_t(fourcc >> shift);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// Boxes that may stand at the top level of a file of this family.
bool IsTopLevel(uint32_t type) {
  switch (type) {
    case FourCC("ftyp"):
    case FourCC("moov"):
    case FourCC("mdat"):
    case FourCC("free"):
    case FourCC("skip"):
    case FourCC("wide"):
    case FourCC("uuid"):
    case FourCC("meta"):
    case FourCC("moof"):
    case FourCC("mfra"):
    case FourCC("styp"):
    case FourCC("sidx"):
    case FourCC("ssix"):
    case FourCC("pdin"):
    case FourCC("prft"):
    case FourCC("emsg"):
    case FourCC("udta"):
    case FourCC("pnot"):
    case FourCC("PICT"):
    case FourCC("junk"):
    case FourCC("jp2h"):
    case FourCC("jp2c"):
    case FourCC("jp2i"):
    case FourCC("xml "):
    case FourCC("uinf"):
    case FourCC("res "):
    case FourCC("rreq"):
    case FourCC("asoc"):
    case FourCC("ipmc"):
    case FourCC("meco"):
    case FourCC("idat"):
      return true;
    default:
      return false;
  }
}

// Boxes that may follow the boxes a file needs without starting a file of their own.
bool IsTrailer(uint32_t type) {
  switch (type) {
    case FourCC("free"):
    case FourCC("skip"):
    case FourCC("udta"):
    case FourCC("uuid"):
    case FourCC("mfra"):
    case FourCC("junk"):
    case FourCC("xml "):
    case FourCC("meta"):
    case FourCC("PICT"):
    case FourCC("pnot"):
      return true;
    default:
      return false;
  }
}

// Boxes of a movie fragment: the fragment itself, its media data and its indexes.
bool IsFragmentPart(uint32_t type) {
  switch (type) {
    case FourCC("moof"):
    case FourCC("mdat"):
    case FourCC("sidx"):
    case FourCC("styp"):
    case FourCC("emsg"):
    case FourCC("prft"):
    case FourCC("ssix"):
      return true;
    default:
      return false;
  }
}

bool IsPadding(uint32_t type) {
  return type == FourCC("free") || type == FourCC("skip") || type == FourCC("wide") ||
         type == FourCC("junk");
}

// Reads a box header at `pos` that must end by `end`; size -1 means "to the end".
bool ReadHeader(CStreamReader& r, long long pos, long long end, Box* box) {
  uint32_t size32 = 0, type = 0;
  if (pos + 8 > end || !r.U32BE(pos, &size32) || !r.U32BE(pos + 4, &type)) return false;
  box->type = type;
  box->offset = pos;
  box->header = 8;
  box->size = size32;
  if (size32 == 1) {
    uint64_t size64 = 0;
    if (pos + 16 > end || !r.U64BE(pos + 8, &size64) || size64 > uint64_t(LLONG_MAX)) return false;
    box->header = 16;
    box->size = static_cast<long long>(size64);
  } else if (size32 == 0) {
    box->size = -1;
    return true;
  }
  return box->size >= box->header;
}

// Calls visit(box) for each child in [begin, end); false when a child does not fit exactly.
template <typename Visit>
bool ForEachChild(CStreamReader& r, long long begin, long long end, Visit visit) {
  long long pos = begin;
  while (pos < end) {
    Box box;
    if (!ReadHeader(r, pos, end, &box) || box.size < 0 || box.size > end - pos) return false;
    // Apple's metadata names start with a copyright sign; anything else unprintable is junk.
    if (!IsPrintable(box.type) && (box.type >> 24) != 0xA9) return false;
    if (!visit(box)) return false;
    pos += box.size;
  }
  return true;
}

// Where one track's chunks lie, from stco/co64, stsc and stsz/stz2.
struct Track {
  uint32_t handler = 0;
  Box chunkOffsets{0, -1, 0, 0};
  Box sampleToChunk{0, -1, 0, 0};
  Box sampleSizes{0, -1, 0, 0};
};

bool FullBoxCount(CStreamReader& r, const Box& box, long long fixed, long long entrySize,
                  uint32_t* count) {
  long long payload = box.offset + box.header;
  if (!r.U32BE(payload + fixed - 4, count)) return false;
  long long need;
  return CheckedMul(*count, entrySize, &need) && CheckedAdd(need, fixed, &need) &&
         need <= box.size - box.header;
}

// Size in bytes of `count` samples from `first` (0-based).
bool SampleBytes(CStreamReader& r, const Box& sizes, uint64_t first, uint64_t count,
                 long long* bytes) {
  long long payload = sizes.offset + sizes.header;
  *bytes = 0;
  if (sizes.type == FourCC("stsz")) {
    uint32_t constant = 0, total = 0;
    if (!r.U32BE(payload + 4, &constant) || !r.U32BE(payload + 8, &total)) return false;
    if (first + count > total) return false;
    if (constant != 0) return CheckedMul(constant, static_cast<long long>(count), bytes);
    if (12 + 4 * static_cast<long long>(total) > sizes.size - sizes.header) return false;
    for (uint64_t i = 0; i < count; ++i) {
      uint32_t size = 0;
      if (!r.U32BE(payload + 12 + 4 * static_cast<long long>(first + i), &size)) return false;
      *bytes += size;
    }
    return true;
  }
  // stz2: 4-, 8- or 16-bit fields.
  uint8_t fieldBits = 0;
  uint32_t total = 0;
  if (!r.U8(payload + 7, &fieldBits) || !r.U32BE(payload + 8, &total)) return false;
  if ((fieldBits != 4 && fieldBits != 8 && fieldBits != 16) || first + count > total) return false;
  if (12 + (static_cast<long long>(total) * fieldBits + 7) / 8 > sizes.size - sizes.header)
    return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t index = first + i;
    long long at = payload + 12 + static_cast<long long>(index * fieldBits / 8);
    uint8_t b = 0;
    uint16_t w = 0;
    if (fieldBits == 16) {
      if (!r.U16BE(at, &w)) return false;
      *bytes += w;
    } else {
      if (!r.U8(at, &b)) return false;
      *bytes += fieldBits == 8 ? b : (index & 1) ? (b & 0x0F) : (b >> 4);
    }
  }
  return true;
}

// Adds one track's chunk extent to `data`; false when its tables are malformed.
bool AddTrackExtent(CStreamReader& r, const Track& track, DataExtent* data, bool* hasData) {
  *hasData = false;
  if (track.chunkOffsets.offset < 0) return track.sampleSizes.offset < 0;
  if (track.sampleToChunk.offset < 0 || track.sampleSizes.offset < 0) return false;
  bool wide = track.chunkOffsets.type == FourCC("co64");
  uint32_t chunks = 0;
  if (!FullBoxCount(r, track.chunkOffsets, 8, wide ? 8 : 4, &chunks)) return false;
  if (chunks == 0) return true;
  long long table = track.chunkOffsets.offset + track.chunkOffsets.header + 8;
  long long lowest = LLONG_MAX, highest = -1;
  uint32_t highestIndex = 0;
  for (uint32_t i = 0; i < chunks; ++i) {
    long long offset;
    if (wide) {
      uint64_t v = 0;
      if (!r.U64BE(table + 8LL * i, &v) || v > uint64_t(LLONG_MAX / 2)) return false;
      offset = static_cast<long long>(v);
    } else {
      uint32_t v = 0;
      if (!r.U32BE(table + 4LL * i, &v)) return false;
      offset = v;
    }
    lowest = std::min(lowest, offset);
    if (offset > highest) {
      highest = offset;
      highestIndex = i + 1;  // chunks count from 1 in stsc
    }
  }
  if (highest == 0) return true;  // offsets blanked out: nothing to locate
  // The first sample of the highest chunk and how many samples it holds, from the runs of
  // stsc.
  uint32_t runs = 0;
  if (!FullBoxCount(r, track.sampleToChunk, 8, 12, &runs) || runs == 0) return false;
  long long runTable = track.sampleToChunk.offset + track.sampleToChunk.header + 8;
  uint64_t firstSample = 0;
  uint32_t perChunk = 0;
  for (uint32_t i = 0; i < runs; ++i) {
    uint32_t firstChunk = 0, samples = 0, nextFirst = 0;
    if (!r.U32BE(runTable + 12LL * i, &firstChunk) || !r.U32BE(runTable + 12LL * i + 4, &samples))
      return false;
    if (i + 1 < runs) {
      if (!r.U32BE(runTable + 12LL * (i + 1), &nextFirst)) return false;
    } else {
      nextFirst = UINT32_MAX;
    }
    if (firstChunk == 0 || nextFirst <= firstChunk || firstChunk > highestIndex) return false;
    if (highestIndex < nextFirst) {
      firstSample += uint64_t(highestIndex - firstChunk) * samples;
      perChunk = samples;
      break;
    }
    firstSample += uint64_t(nextFirst - firstChunk) * samples;
    if (firstSample > UINT32_MAX) return false;
  }
  long long lastBytes = 0;
  if (!SampleBytes(r, track.sampleSizes, firstSample, perChunk, &lastBytes)) return false;
  long long end;
  if (!CheckedAdd(highest, lastBytes, &end)) return false;
  if (!data->known) {
    data->known = true;
    data->start = lowest;
    data->end = end;
  } else {
    data->start = std::min(data->start, lowest);
    data->end = std::max(data->end, end);
  }
  *hasData = true;
  return true;
}

// Whether a sample of the track starts at `position`: its chunks in order, with their samples
// from stsc and stsz. A table too long to follow within the step budget counts as a yes, so
// that the file is left as it stands.
bool TrackHasSampleAt(CStreamReader& r, const Track& track, long long position) {
  if (track.chunkOffsets.offset < 0 || track.sampleToChunk.offset < 0 ||
      track.sampleSizes.offset < 0)
    return false;
  const bool wide = track.chunkOffsets.type == FourCC("co64");
  uint32_t chunks = 0, runs = 0, constant = 0;
  if (!FullBoxCount(r, track.chunkOffsets, 8, wide ? 8 : 4, &chunks) ||
      !FullBoxCount(r, track.sampleToChunk, 8, 12, &runs) || runs == 0)
    return false;
  if (track.sampleSizes.type == FourCC("stsz") &&
      !r.U32BE(track.sampleSizes.offset + track.sampleSizes.header + 4, &constant))
    return false;
  const long long table = track.chunkOffsets.offset + track.chunkOffsets.header + 8;
  const long long runTable = track.sampleToChunk.offset + track.sampleToChunk.header + 8;
  uint32_t run = 0, perChunk = 0, nextRunFirst = 0;
  if (!r.U32BE(runTable, &nextRunFirst) || nextRunFirst != 1) return false;
  uint64_t firstSample = 0;
  long long budget = 1 << 18;
  for (uint32_t chunk = 1; chunk <= chunks; ++chunk) {
    if (--budget < 0) return true;
    while (run < runs && nextRunFirst <= chunk) {  // the stsc run this chunk belongs to
      if (!r.U32BE(runTable + 12LL * run + 4, &perChunk)) return false;
      uint32_t following = UINT32_MAX;
      if (++run < runs &&
          (!r.U32BE(runTable + 12LL * run, &following) || following <= nextRunFirst))
        return false;
      nextRunFirst = following;
    }
    long long offset = 0;
    if (wide) {
      uint64_t v = 0;
      if (!r.U64BE(table + 8LL * (chunk - 1), &v) || v > uint64_t(LLONG_MAX / 2)) return false;
      offset = static_cast<long long>(v);
    } else {
      uint32_t v = 0;
      if (!r.U32BE(table + 4LL * (chunk - 1), &v)) return false;
      offset = v;
    }
    if (constant != 0) {
      const long long into = position - offset;
      if (into >= 0 && into % constant == 0 && into / constant < perChunk) return true;
    } else {
      for (uint32_t s = 0; s < perChunk && offset <= position; ++s) {
        if (offset == position) return true;
        long long bytes = 0;
        if (--budget < 0) return true;
        if (!SampleBytes(r, track.sampleSizes, firstSample + s, 1, &bytes) ||
            !CheckedAdd(offset, bytes, &offset))
          return false;
      }
    }
    firstSample += perChunk;
  }
  return false;
}

struct MovieInfo {
  DataExtent data;
  bool audioOnly = true;
  bool anyData = false;
};

bool ParseMovie(CStreamReader& r, const Box& moov, MovieInfo* info, PartProbe* probe) {
  bool header = false;
  bool ok = ForEachChild(r, moov.offset + moov.header, moov.offset + moov.size, [&](const Box& b) {
    if (b.type == FourCC("mvhd")) header = b.size >= 8 + 100;
    if (b.type != FourCC("trak")) return true;
    Track track;
    auto inStbl = [&](const Box& s) {
      switch (s.type) {
        case FourCC("stco"):
        case FourCC("co64"):
          track.chunkOffsets = s;
          break;
        case FourCC("stsc"):
          track.sampleToChunk = s;
          break;
        case FourCC("stsz"):
        case FourCC("stz2"):
          track.sampleSizes = s;
          break;
        default:
          break;
      }
      return true;
    };
    auto inMinf = [&](const Box& m) {
      return m.type != FourCC("stbl") ||
             ForEachChild(r, m.offset + m.header, m.offset + m.size, inStbl);
    };
    auto inMdia = [&](const Box& m) {
      if (m.type == FourCC("hdlr")) {
        if (!r.U32BE(m.offset + m.header + 8, &track.handler)) return false;
      }
      return m.type != FourCC("minf") ||
             ForEachChild(r, m.offset + m.header, m.offset + m.size, inMinf);
    };
    auto inTrak = [&](const Box& t) {
      return t.type != FourCC("mdia") ||
             ForEachChild(r, t.offset + t.header, t.offset + t.size, inMdia);
    };
    if (!ForEachChild(r, b.offset + b.header, b.offset + b.size, inTrak)) return false;
    if (probe != nullptr && !probe->startsPart)
      probe->startsPart = TrackHasSampleAt(r, track, probe->position);
    bool hasData = false;
    if (!AddTrackExtent(r, track, &info->data, &hasData)) return false;
    if (hasData) {
      info->anyData = true;
      if (track.handler != FourCC("soun")) info->audioOnly = false;
    }
    return true;
  });
  return ok && header;
}

long long ReadSized(CStreamReader& r, long long at, int bytes, bool* ok) {
  if (bytes == 0) return 0;
  if (bytes == 4) {
    uint32_t v = 0;
    *ok = *ok && r.U32BE(at, &v);
    return v;
  }
  uint64_t v = 0;
  *ok = *ok && r.U64BE(at, &v) && v <= uint64_t(LLONG_MAX / 4);
  return static_cast<long long>(v);
}

// HEIF: the item locations (iloc) of the top-level meta box give the data's extent.
bool ParseItems(CStreamReader& r, const Box& meta, DataExtent* data, PartProbe* probe) {
  long long begin = meta.offset + meta.header + 4;  // meta is a full box
  bool sawHandler = false;
  bool ok = ForEachChild(r, begin, meta.offset + meta.size, [&](const Box& b) {
    if (b.type == FourCC("hdlr")) sawHandler = true;
    if (b.type != FourCC("iloc")) return true;
    long long at = b.offset + b.header, end = b.offset + b.size;
    uint8_t version = 0, sizes = 0, sizes2 = 0;
    if (!r.U8(at, &version) || version > 2 || !r.U8(at + 4, &sizes) || !r.U8(at + 5, &sizes2))
      return false;
    int offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = sizes2 >> 4;
    int indexSize = version > 0 ? (sizes2 & 15) : 0;
    for (int s : {offsetSize, lengthSize, baseSize, indexSize})
      if (s != 0 && s != 4 && s != 8) return false;
    at += 6;
    uint32_t items = 0;
    bool good = true;
    if (version < 2) {
      uint16_t n = 0;
      good = r.U16BE(at, &n);
      items = n;
      at += 2;
    } else {
      good = r.U32BE(at, &items);
      at += 4;
    }
    for (uint32_t i = 0; good && i < items; ++i) {
      at += version < 2 ? 2 : 4;  // item ID
      uint16_t method = 0;
      if (version > 0) {
        good = good && r.U16BE(at, &method);
        at += 2;
      }
      uint16_t reference = 0, extents = 0;
      good = good && r.U16BE(at, &reference);
      long long base = ReadSized(r, at + 2, baseSize, &good);
      at += 2 + baseSize;
      good = good && r.U16BE(at, &extents);
      at += 2;
      for (uint16_t e = 0; good && e < extents; ++e) {
        at += indexSize;
        long long offset = ReadSized(r, at, offsetSize, &good);
        long long length = ReadSized(r, at + offsetSize, lengthSize, &good);
        at += offsetSize + lengthSize;
        if (at > end) return false;
        if (!good || (method & 15) != 0 || reference != 0 || length == 0) continue;
        long long from = base + offset, to = from + length;
        if (probe != nullptr && from == probe->position) probe->startsPart = true;
        if (!data->known) {
          *data = DataExtent{true, from, to};
        } else {
          data->start = std::min(data->start, from);
          data->end = std::max(data->end, to);
        }
      }
      if (at > end) return false;
    }
    return good;
  });
  return ok && sawHandler;
}

// JPEG 2000 codestream: main header segments, then tile-parts by their Psot lengths, to EOC.
// Returns the codestream's length, or -1.
long long CodestreamLength(CStreamReader& r, long long begin, long long limit) {
  uint16_t marker = 0;
  if (!r.U16BE(begin, &marker) || marker != 0xFF4F) return -1;
  long long pos = begin + 2;
  while (pos + 2 <= limit) {
    if (!r.U16BE(pos, &marker) || (marker >> 8) != 0xFF) return -1;
    if (marker == 0xFFD9) return pos + 2 - begin;
    if (marker == 0xFF90) {
      uint32_t partLength = 0;
      if (!r.U32BE(pos + 6, &partLength) || partLength < 14) return -1;  // 0: length unknown
      pos += partLength;
      continue;
    }
    if (marker >= 0xFF30 && marker <= 0xFF3F) {
      pos += 2;
      continue;
    }
    uint16_t length = 0;
    if (!r.U16BE(pos + 2, &length) || length < 2) return -1;
    pos += 2 + length;
  }
  return -1;
}

bool IsBrand(uint32_t b, const char* prefix, size_t n) {
  char s[4] = {char(b >> 24), char(b >> 16), char(b >> 8), char(b)};
  return memcmp(s, prefix, n) == 0;
}

const char* BrandExtension(uint32_t b) {
  switch (b) {
    case FourCC("qt  "):
      return "mov";
    case FourCC("M4A "):
      return "m4a";
    case FourCC("M4B "):
      return "m4b";
    case FourCC("M4P "):
      return "m4p";
    case FourCC("M4V "):
    case FourCC("M4VH"):
    case FourCC("M4VP"):
      return "m4v";
    case FourCC("heic"):
    case FourCC("heix"):
    case FourCC("heim"):
    case FourCC("heis"):
    case FourCC("hevc"):
    case FourCC("hevx"):
    case FourCC("hevm"):
    case FourCC("hevs"):
      return "heic";
    case FourCC("avif"):
    case FourCC("avis"):
      return "avif";
    case FourCC("crx "):
      return "cr3";
    case FourCC("jp2 "):
      return "jp2";
    case FourCC("jpx "):
      return "jpx";
    case FourCC("jpm "):
      return "jpm";
    case FourCC("mjp2"):
      return "mj2";
    case FourCC("f4v "):
      return "f4v";
    default:
      break;
  }
  if (IsBrand(b, "3g2", 3)) return "3g2";
  if (IsBrand(b, "3gp", 3) || IsBrand(b, "3gs", 3) || IsBrand(b, "3ge", 3) ||
      IsBrand(b, "3gg", 3) || IsBrand(b, "3gr", 3))
    return "3gp";
  return nullptr;
}

}  // namespace

bool MayStartFile(const uint8_t* head) {
  uint32_t size = LoadBE32(head);
  switch (LoadBE32(head + 4)) {
    case FourCC("ftyp"):
      return size >= 16 && size <= 1024 && size % 4 == 0 && IsPrintable(LoadBE32(head + 8));
    case FourCC("jP  "):
      return memcmp(head, kJp2Signature, sizeof kJp2Signature) == 0;
    case FourCC("moov"):
    case FourCC("mdat"):
    case FourCC("wide"):
    case FourCC("free"):
    case FourCC("skip"):
      return size == 1 || size >= 8;
    default:
      return false;
  }
}

namespace {

// The top-level boxes, as far as they go.
struct TopLevel {
  std::vector<Box> boxes;
  bool ranOff = false;   // a box runs past the limit
  bool tooMany = false;  // more boxes than are kept
};

// Top-level walk: stops at the first thing that is not a box of this family, at a second
// ftyp or moov (the next file), or where the structure leaves the limit. `ftypAt`: where the
// ftyp must be, -1 for none.
TopLevel WalkTopLevel(CStreamReader& r, long long pos, long long limit, long long ftypAt) {
  TopLevel top;
  std::vector<Box>& boxes = top.boxes;
  bool sawMoov = false;
  while (pos < limit) {
    Box box;
    if (!ReadHeader(r, pos, limit, &box)) break;
    if (!IsTopLevel(box.type) || (box.type == FourCC("ftyp")) != (pos == ftypAt)) break;
    if (box.type == FourCC("moov") && sawMoov) break;
    sawMoov = sawMoov || box.type == FourCC("moov");
    long long boxEnd = -1;
    if (box.size >= 0 && !CheckedAdd(pos, box.size, &boxEnd)) break;
    if (IsFragmentPart(box.type) && !boxes.empty() && boxes.back().type == FourCC("moof") &&
        boxes.back().size >= 0) {
      // A fragmented movie's fragments are remembered as one run, however many there are.
      boxes.back().size = box.size < 0 ? -1 : boxEnd - boxes.back().offset;
    } else if (static_cast<int>(boxes.size()) < kMaxBoxes) {
      boxes.push_back(box);
    } else {
      top.tooMany = true;
      break;
    }
    if (box.size < 0) break;
    if (boxEnd > limit) {
      top.ranOff = true;
      break;
    }
    pos = boxEnd;
  }
  return top;
}

// The major brand and the first 16 compatible brands; false when the major one is no name.
bool ReadBrands(CStreamReader& r, const Box& ftyp, FileWalk* walk) {
  if (!r.U32BE(ftyp.offset + 8, &walk->majorBrand) || !IsPrintable(walk->majorBrand)) return false;
  for (long long at = ftyp.offset + 16; at + 4 <= ftyp.offset + ftyp.size && walk->brandCount < 16;
       at += 4) {
    uint32_t brand = 0;
    if (!r.U32BE(at, &brand)) break;
    walk->brands[walk->brandCount++] = brand;
  }
  return true;
}

long long EndOf(const Box& b) {
  return b.size >= 0 ? b.offset + b.size : LLONG_MAX;
}

// What the file needs: the movie and its media data, the HEIF items, the JPEG 2000 header
// and codestream.
struct Needs {
  DataExtent data;
  long long end = 0;  // the file reaches at least this far
  bool fragmented = false, jp2Header = false, codestream = false;
  bool dataInside = false;  // the media data lies in an mdat of the file
};

// A box counts when it lies whole inside the limit.
Needs ReadNeeds(CStreamReader& r, const std::vector<Box>& boxes, long long limit, PartProbe* probe,
                FileWalk* walk) {
  auto whole = [&](const Box& b) { return b.size >= 0 && b.offset + b.size <= limit; };
  Needs needs;
  for (const Box& b : boxes) {
    switch (b.type) {
      case FourCC("moov"):
        if (whole(b)) {
          MovieInfo movie;
          walk->hasMovie = ParseMovie(r, b, &movie, probe);
          if (walk->hasMovie && movie.data.known) needs.data = movie.data;
          walk->audioOnly = movie.anyData && movie.audioOnly;
        }
        break;
      case FourCC("meta"):
        if (whole(b) && !walk->hasMovie && ParseItems(r, b, &needs.data, probe))
          walk->hasItems = true;
        break;
      case FourCC("moof"):  // a run of fragments with their media data
        needs.fragmented = true;
        break;
      case FourCC("jp2h"):
        needs.jp2Header = true;
        break;
      case FourCC("jp2c"):
        needs.codestream = true;
        walk->mediaStart = b.offset + b.header;  // tile data: its lengths are all the walk checks
        walk->mediaEnd = std::max(walk->mediaStart, std::min(EndOf(b), limit));
        break;
      default:
        continue;
    }
    needs.end = std::max(needs.end, EndOf(b));
  }
  return needs;
}

// The media data: the mdat that holds the tables' last byte, or the first mdat when nothing
// says where the data lies or the tables point elsewhere (a damaged file keeps it).
void PlaceMedia(const std::vector<Box>& boxes, long long limit, Needs* needs, FileWalk* walk) {
  const DataExtent& data = needs->data;
  needs->dataInside = !data.known;
  auto takeMedia = [&](const Box& b, long long end) {
    walk->mediaStart = b.offset + b.header;
    walk->mediaEnd = std::max(walk->mediaStart, std::min(end, limit));
  };
  for (const Box& b : boxes) {
    if (b.type != FourCC("mdat")) continue;
    const long long bEnd = EndOf(b);
    if (!data.known) {
      if (!needs->fragmented) needs->end = std::max(needs->end, bEnd);
      takeMedia(b, bEnd);
      return;
    }
    if (data.start >= b.offset + b.header && data.end <= bEnd) {
      // A last box of size 0 ends where its data ends.
      needs->end = std::max(needs->end, b.size >= 0 ? bEnd : data.end);
      needs->dataInside = true;
      takeMedia(b, b.size >= 0 ? bEnd : data.end);
      return;
    }
    if (data.end > b.offset + b.header && data.end <= bEnd) {
      needs->end = std::max(needs->end, bEnd);  // data spread over several mdat boxes
      needs->dataInside = true;
      takeMedia(b, bEnd);
      return;
    }
  }
  for (const Box& b : boxes) {
    if (b.type != FourCC("mdat")) continue;
    needs->end = std::max(needs->end, EndOf(b));
    takeMedia(b, EndOf(b));
    return;
  }
}

// The boxes the file keeps: every box up to needEnd, then trailing boxes that do not start a
// file of their own (padding directly before an mdat or moov belongs to the next).
size_t KeptBoxes(const std::vector<Box>& boxes, long long needEnd) {
  size_t kept = 0;
  while (kept < boxes.size() && boxes[kept].offset < needEnd) ++kept;
  size_t trailing = kept;
  while (trailing < boxes.size() && IsTrailer(boxes[trailing].type)) ++trailing;
  if (trailing < boxes.size()) {
    while (trailing > kept && IsPadding(boxes[trailing - 1].type)) --trailing;
  }
  return std::max<size_t>(trailing, 1);
}

// Whether the boxes a file of its kind cannot do without are there.
bool HasEssentials(const FileWalk& walk, const Needs& needs) {
  if (walk.jp2) return needs.jp2Header && needs.codestream;
  if (walk.hasMovie) return needs.dataInside || needs.fragmented;
  return walk.hasItems && needs.dataInside;
}

// Where a last box of size 0 ends: bounded by the tables, or by the JPEG 2000 codestream's own
// structure; -1 when nothing bounds it.
long long OpenBoxEnd(CStreamReader& r, const Box& last, const Needs& needs, long long limit) {
  long long end = -1;
  if (last.type == FourCC("mdat") && needs.data.known && needs.dataInside) end = needs.data.end;
  if (last.type == FourCC("jp2c")) {
    long long length = CodestreamLength(r, last.offset + last.header, limit);
    if (length >= 0) end = last.offset + last.header + length;
  }
  return end;
}

}  // namespace

FileWalk WalkFile(CStreamReader& r, long long limit, PartProbe* probe) {
  FileWalk walk;
  limit = std::min(limit, r.Size());
  uint8_t head[16];
  if (!r.Read(0, head, sizeof head) || !MayStartFile(head)) return walk;
  const uint32_t firstType = LoadBE32(head + 4);
  long long ftypAt = 0;
  if (firstType == FourCC("jP  ")) {
    walk.jp2 = true;
    ftypAt = 12;
  } else if (firstType != FourCC("ftyp")) {
    walk.quickTime = true;
    ftypAt = -1;
  }
  const TopLevel top = WalkTopLevel(r, walk.jp2 ? 12 : 0, limit, ftypAt);
  const std::vector<Box>& boxes = top.boxes;
  if (boxes.empty() || (ftypAt >= 0 && boxes[0].type != FourCC("ftyp"))) return walk;
  walk.boxCount = static_cast<int>(boxes.size());
  if (ftypAt >= 0 && !ReadBrands(r, boxes[0], &walk)) return walk;

  Needs needs = ReadNeeds(r, boxes, limit, probe, &walk);
  PlaceMedia(boxes, limit, &needs, &walk);
  const size_t kept = KeptBoxes(boxes, needs.end);
  const Box& last = boxes[kept - 1];
  walk.goodEnd = 0;
  for (size_t i = 0; i < kept; ++i)
    if (boxes[i].size >= 0 && boxes[i].offset + boxes[i].size <= limit)
      walk.goodEnd = boxes[i].offset + boxes[i].size;
  const bool essentials = HasEssentials(walk, needs);
  walk.consistent = essentials && (!needs.data.known || needs.dataInside);

  long long lastEnd = last.size < 0 ? -1 : last.offset + last.size;
  if (last.size < 0) {
    lastEnd = OpenBoxEnd(r, last, needs, limit);
    if (lastEnd < 0) {
      walk.stop = r.Size() > limit ? FileWalk::kRanOff : FileWalk::kOpenEnded;
      return walk;
    }
  }
  if (lastEnd > limit || (top.ranOff && kept == boxes.size()) ||
      (needs.end > lastEnd && needs.end != LLONG_MAX)) {
    walk.stop = FileWalk::kRanOff;
    return walk;
  }
  walk.goodEnd = std::max(walk.goodEnd, lastEnd);
  walk.end = lastEnd;
  walk.stop = essentials && !top.tooMany ? FileWalk::kComplete : FileWalk::kDamaged;
  return walk;
}

const char* ExtensionOf(const FileWalk& walk) {
  if (walk.quickTime) return "mov";
  const char* major = BrandExtension(walk.majorBrand);
  if (major != nullptr) return major;
  // Generic major brands (isom, mp41, mif1 ...): a telling compatible brand names the file.
  for (int i = 0; i < walk.brandCount; ++i) {
    const char* named = BrandExtension(walk.brands[i]);
    if (named != nullptr && strcmp(named, "mov") != 0) return named;
  }
  if (walk.hasItems || walk.majorBrand == FourCC("mif1") || walk.majorBrand == FourCC("msf1"))
    return "heif";
  if (walk.audioOnly) return "m4a";
  return "mp4";
}

}  // namespace isobmff
}  // namespace salvor
