#include "modules/tiff/TiffWalker.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace salvor {

namespace {

constexpr uint32_t kClassicII = 0x49492A00;   // "II*\0"
constexpr uint32_t kClassicMM = 0x4D4D002A;   // "MM\0*"
constexpr uint32_t kBigII = 0x49492B00;       // "II+\0"
constexpr uint32_t kBigMM = 0x4D4D002B;       // "MM\0+"
constexpr uint32_t kOlympusII = 0x4949524F;   // "IIRO"
constexpr uint32_t kOlympusIIS = 0x49495253;  // "IIRS"
constexpr uint32_t kOlympusMM = 0x4D4D4F52;   // "MMOR"
constexpr uint32_t kPanasonic = 0x49495500;   // "IIU\0"

// Limits that keep a walk over hostile data short.
constexpr int kMaxIfds = 256;
constexpr uint64_t kMaxEntries = 4096;
constexpr long long kMaxArrayValues = 4 * 1000 * 1000;
constexpr uint64_t kMaxSubIfds = 64;

enum class IfdKind { Main, Sub, Exif, Maker };

int TypeSize(uint16_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
      return 1;
    case 3:
    case 8:
      return 2;
    case 4:
    case 9:
    case 11:
    case 13:
      return 4;
    case 5:
    case 10:
    case 12:
    case 16:
    case 17:
    case 18:
      return 8;
    default:
      return 0;
  }
}

// Compression codes only camera makers use (Kodak, Sony, Samsung, Panasonic, Nikon, Pentax...).
bool IsRawCompression(uint32_t c) {
  switch (c) {
    case 262:
    case 32767:
    case 32769:
    case 32770:
    case 32771:
    case 32772:
    case 34316:
    case 34713:
    case 65000:
    case 65535:
      return true;
    default:
      return false;
  }
}

struct Entry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint64_t count = 0;
  long long data = 0;  // where the value's bytes are: inside the entry or out of line
  long long size = 0;  // count * type size; -1 when that overflows
};

struct PendingIfd {
  long long offset;
  IfdKind kind;
};

class CWalker {
 public:
  CWalker(CStreamReader& reader, TiffLayout* layout, long long probe)
      : FReader(reader), FLayout(layout), FProbe(probe) {}

  bool Run() {
    uint8_t head[16];
    if (!FReader.Read(0, head, 8)) return false;
    uint32_t magic = LoadBE32(head);
    if (!IsTiffMagic(magic)) return false;
    FLayout->magic = magic;
    FBigEndian = head[0] == 'M';
    long long first = 0;
    if (magic == kBigII || magic == kBigMM) {
      if (!FReader.Read(0, head, 16)) return false;
      uint16_t offsetSize = Load16(head + 4);
      uint16_t reserved = Load16(head + 6);
      uint64_t offset = Load64(head + 8);
      if (offsetSize != 8 || reserved != 0 || offset < 16 || offset > uint64_t(FReader.Size()))
        return false;
      FBig = FLayout->bigTiff = true;
      first = static_cast<long long>(offset);
      Cover(0, 16);
    } else {
      uint32_t offset = Load32(head + 4);
      if (offset < 8 || offset > uint64_t(FReader.Size())) return false;
      first = offset;
      Cover(0, 8);
      uint8_t tag[4];
      if (FReader.Read(8, tag, 4)) {
        FLayout->canonCr2 = tag[0] == 'C' && tag[1] == 'R';
        FLayout->phaseOne = memcmp(tag, "IIII", 4) == 0;
      }
      if (FLayout->canonCr2) Cover(8, 8);
    }
    // The first IFD decides whether this is a TIFF at all.
    FPending.push_back({first, IfdKind::Main});
    if (!ReadIfd(first, IfdKind::Main, true)) return false;
    if (FLayout->phaseOne) CoverPhaseOneBlocks();
    for (size_t i = 1; i < FPending.size(); ++i) {
      PendingIfd next = FPending[i];
      if (!ReadIfd(next.offset, next.kind, false) && next.kind != IfdKind::Maker)
        FLayout->complete = false;
    }
    TakeTrailingPad();
    return true;
  }

 private:
  uint16_t Load16(const uint8_t* p) const { return FBigEndian ? LoadBE16(p) : LoadLE16(p); }
  uint32_t Load32(const uint8_t* p) const { return FBigEndian ? LoadBE32(p) : LoadLE32(p); }
  uint64_t Load64(const uint8_t* p) const { return FBigEndian ? LoadBE64(p) : LoadLE64(p); }

  // A part of the file: it must lie inside the reader for the file to be complete. `data`:
  // image data (strips, tiles, previews) rather than IFDs and their values.
  void Cover(long long offset, long long length, bool data = false) {
    if (offset == FProbe && length > 0) FLayout->probeStartsPart = true;
    if (data && length > 0 && offset >= 0 && offset < FReader.Size() &&
        (FLayout->firstData < 0 || offset < FLayout->firstData))
      FLayout->firstData = offset;
    long long end;
    if (offset < 0 || length < 0 || !CheckedAdd(offset, length, &end) || end > FReader.Size()) {
      FLayout->complete = false;
      return;
    }
    if (length <= 0 || end < FLayout->extent) return;
    FLastIsData = end == FLayout->extent ? FLastIsData || data : data;
    FLayout->extent = end;
  }

  // Writers that keep image data on even offsets (ExifTool among them) also pad the last
  // block of odd length with a zero byte; libtiff, which ends with the IFD, does not.
  void TakeTrailingPad() {
    uint8_t pad = 1;
    if (FLastIsData && FLayout->extent % 2 == 1 && FReader.Read(FLayout->extent, &pad, 1) &&
        pad == 0)
      FLayout->extent += 1;
  }

  // A part whose position is a guess (maker notes): counted only when it fits.
  void CoverIfInside(long long offset, long long length) {
    if (offset == FProbe && length > 0) FLayout->probeStartsPart = true;
    if (length > 0 && FReader.Contains(offset, length))
      FLayout->extent = std::max(FLayout->extent, offset + length);
  }

  void Push(uint64_t offset, IfdKind kind) {
    if (offset == 0) return;
    if (offset > uint64_t(FReader.Size())) {
      FLayout->complete = false;
      return;
    }
    for (const PendingIfd& p : FPending)
      if (p.offset == static_cast<long long>(offset)) return;  // a cycle or a shared IFD
    if (FPending.size() >= size_t(kMaxIfds)) {
      FLayout->complete = false;
      return;
    }
    FPending.push_back({static_cast<long long>(offset), kind});
  }

  bool ReadEntry(long long at, Entry* e) {
    uint8_t raw[20];
    if (!FReader.Read(at, raw, FBig ? 20 : 12)) return false;
    e->tag = Load16(raw);
    e->type = Load16(raw + 2);
    e->count = FBig ? Load64(raw + 4) : Load32(raw + 4);
    int unit = TypeSize(e->type);
    long long size = 0;
    if (unit == 0 || e->count > uint64_t(INT64_MAX) ||
        !CheckedMul(static_cast<long long>(e->count), unit, &size)) {
      e->size = -1;
      return true;
    }
    e->size = size;
    long long inlineRoom = FBig ? 8 : 4;
    long long field = at + (FBig ? 12 : 8);
    if (size <= inlineRoom) {
      e->data = field;
    } else {
      uint64_t offset = FBig ? Load64(raw + 12) : Load32(raw + 8);
      e->data = offset > uint64_t(INT64_MAX) ? -1 : static_cast<long long>(offset);
    }
    return true;
  }

  // Element `index` of an integer-typed value.
  bool Unsigned(const Entry& e, uint64_t index, uint64_t* value) {
    int unit = TypeSize(e.type);
    long long at;
    if (index >= e.count || !CheckedAdd(e.data, static_cast<long long>(index) * unit, &at))
      return false;
    uint8_t raw[8];
    switch (e.type) {
      case 1:
      case 7:
        if (!FReader.Read(at, raw, 1)) return false;
        *value = raw[0];
        return true;
      case 3:
        if (!FReader.Read(at, raw, 2)) return false;
        *value = Load16(raw);
        return true;
      case 4:
      case 13:
        if (!FReader.Read(at, raw, 4)) return false;
        *value = Load32(raw);
        return true;
      case 16:
      case 18:
        if (!FReader.Read(at, raw, 8)) return false;
        *value = Load64(raw);
        return true;
      default:
        return false;
    }
  }

  std::string Text(const Entry& e) {
    char text[64] = {};
    long long length = std::min<long long>(e.size, sizeof text - 1);
    if (e.type != 2 || length <= 0 || !FReader.Read(e.data, text, size_t(length))) return {};
    return std::string(text, strnlen(text, size_t(length)));
  }

  // Offsets paired with byte counts (strips, tiles): every block is a part of the file.
  void CoverBlocks(const Entry& offsets, const Entry& counts) {
    uint64_t n = std::min(offsets.count, counts.count);
    for (uint64_t i = 0; i < n; ++i) {
      if (--FArrayBudget < 0) {
        FLayout->complete = false;
        return;
      }
      uint64_t offset = 0, length = 0;
      if (!Unsigned(offsets, i, &offset) || !Unsigned(counts, i, &length)) {
        FLayout->complete = false;
        return;
      }
      if (length == 0) continue;
      if (offset > uint64_t(INT64_MAX) || length > uint64_t(INT64_MAX)) {
        FLayout->complete = false;
        continue;
      }
      Cover(static_cast<long long>(offset), static_cast<long long>(length), true);
    }
  }

  // The image data and previews an IFD points to, gathered over its entries.
  struct IfdParts {
    Entry strips[2], tiles[2];  // offsets and byte counts
    bool haveStrips[2] = {}, haveTiles[2] = {};
    uint64_t jpegOffset = 0, jpegLength = 0;
    uint64_t pentaxPreview = 0, pentaxPreviewLength = 0;
  };

  bool ReadIfd(long long offset, IfdKind kind, bool strict) {
    uint64_t n = 0;
    if (!WellFormedIfd(offset, strict, &n)) return false;
    const long long head = FBig ? 8 : 2, entrySize = FBig ? 20 : 12, tail = FBig ? 8 : 4;
    const long long entries = offset + head;
    const long long length = head + static_cast<long long>(n) * entrySize + tail;
    if (kind == IfdKind::Maker) {
      CoverIfInside(offset, length);
    } else {
      Cover(offset, length);
    }
    IfdParts parts;
    for (uint64_t i = 0; i < n; ++i) {
      Entry e;
      ReadEntry(entries + static_cast<long long>(i) * entrySize, &e);
      if (e.size < 0) continue;
      if (e.size > (FBig ? 8 : 4)) {  // the value lies outside the entry
        if (kind == IfdKind::Maker) {
          CoverIfInside(e.data + FMakerBase, e.size);
          continue;
        }
        Cover(e.data, e.size);
        if (e.data < 0 || !FReader.Contains(e.data, e.size)) continue;
      }
      if (kind == IfdKind::Maker) {
        ReadMakerTag(e, &parts);
      } else {
        ReadTag(e, &parts);
      }
    }
    CoverParts(parts);

    // Only the main chain and sub-IFD chains continue; other IFDs' links are often garbage.
    if (kind == IfdKind::Main || kind == IfdKind::Sub) {
      long long at = entries + static_cast<long long>(n) * entrySize;
      uint8_t link[8];
      if (FReader.Read(at, link, size_t(tail))) Push(FBig ? Load64(link) : Load32(link), kind);
    }
    return true;
  }

  // An entry count in range, the whole IFD inside the data, and every entry of a known type
  // (a few unknown ones are allowed in secondary IFDs).
  bool WellFormedIfd(long long offset, bool strict, uint64_t* count) {
    uint8_t raw[8];
    uint64_t n = 0;
    if (FBig) {
      if (!FReader.Read(offset, raw, 8)) return false;
      n = Load64(raw);
    } else {
      if (!FReader.Read(offset, raw, 2)) return false;
      n = Load16(raw);
    }
    if (n == 0 || n > kMaxEntries) return false;
    const long long head = FBig ? 8 : 2, entrySize = FBig ? 20 : 12, tail = FBig ? 8 : 4;
    const long long length = head + static_cast<long long>(n) * entrySize + tail;
    if (!FReader.Contains(offset, length)) return false;
    uint64_t unknown = 0;
    for (uint64_t i = 0; i < n; ++i) {
      Entry e;
      if (!ReadEntry(offset + head + static_cast<long long>(i) * entrySize, &e)) return false;
      if (e.size < 0) ++unknown;
    }
    if (strict ? unknown != 0 : unknown * 8 > n) return false;
    *count = n;
    return true;
  }

  // Pentax keeps its preview outside the maker note, at an absolute position.
  void ReadMakerTag(const Entry& e, IfdParts* parts) {
    uint64_t v = 0;
    if (FPentax && e.tag == 0x0003 && Unsigned(e, 0, &v)) parts->pentaxPreviewLength = v;
    if (FPentax && e.tag == 0x0004 && Unsigned(e, 0, &v)) parts->pentaxPreview = v;
  }

  void ReadTag(const Entry& e, IfdParts* parts) {
    uint64_t v = 0;
    switch (e.tag) {
      case 259:
        if (Unsigned(e, 0, &v) && IsRawCompression(uint32_t(v))) FLayout->rawData = true;
        break;
      case 262:
        if (Unsigned(e, 0, &v) && (v == 32803 || v == 34892)) FLayout->rawData = true;
        break;
      case 271:
        if (FLayout->make.empty()) FLayout->make = Text(e);
        break;
      case 272:
        if (FLayout->model.empty()) FLayout->model = Text(e);
        break;
      case 273:
      case 279:
        parts->strips[e.tag == 279] = e;
        parts->haveStrips[e.tag == 279] = true;
        break;
      case 324:
      case 325:
        parts->tiles[e.tag == 325] = e;
        parts->haveTiles[e.tag == 325] = true;
        break;
      case 513:
        Unsigned(e, 0, &parts->jpegOffset);
        break;
      case 514:
        Unsigned(e, 0, &parts->jpegLength);
        break;
      case 330:
        for (uint64_t k = 0; k < e.count && k < kMaxSubIfds; ++k)
          if (Unsigned(e, k, &v)) Push(v, IfdKind::Sub);
        break;
      case 34665:
      case 34853:
      case 40965:
        if (Unsigned(e, 0, &v)) Push(v, IfdKind::Exif);
        break;
      case 37500:
        if (e.type == 7 || e.type == 1) FindMakerIfd(e);
        break;
      case 50706:
        FLayout->dng = true;
        break;
      default:
        break;
    }
  }

  void CoverParts(const IfdParts& parts) {
    if (parts.haveStrips[0] && parts.haveStrips[1]) CoverBlocks(parts.strips[0], parts.strips[1]);
    if (parts.haveTiles[0] && parts.haveTiles[1]) CoverBlocks(parts.tiles[0], parts.tiles[1]);
    if (parts.jpegOffset != 0 && parts.jpegLength != 0 && parts.jpegOffset <= uint64_t(INT64_MAX) &&
        parts.jpegLength <= uint64_t(INT64_MAX))
      Cover(static_cast<long long>(parts.jpegOffset), static_cast<long long>(parts.jpegLength),
            true);
    if (parts.pentaxPreview != 0 && parts.pentaxPreviewLength != 0 &&
        parts.pentaxPreview <= uint64_t(INT64_MAX) &&
        parts.pentaxPreviewLength <= uint64_t(INT64_MAX))
      CoverIfInside(static_cast<long long>(parts.pentaxPreview),
                    static_cast<long long>(parts.pentaxPreviewLength));
  }

  // Maker notes whose IFD uses positions in the file (not relative to the note) can point at
  // previews outside the note; those makers are followed, the others are covered by the
  // note's own bytes.
  void FindMakerIfd(const Entry& note) {
    if (FMakerSeen || note.size < 16 || !FReader.Contains(note.data, note.size)) return;
    FMakerSeen = true;
    uint8_t head[16];
    if (!FReader.Read(note.data, head, 16)) return;
    long long ifd = -1;
    if (memcmp(head, "AOC\0", 4) == 0) {
      ifd = note.data + 6;
      FPentax = true;
    } else if (memcmp(head, "SONY DSC \0\0\0", 12) == 0 ||
               memcmp(head, "SONY CAM \0\0\0", 12) == 0 ||
               memcmp(head, "Panasonic\0\0\0", 12) == 0) {
      ifd = note.data + 12;
    }
    if (ifd < 0) return;
    FMakerBase = 0;
    Push(static_cast<uint64_t>(ifd), IfdKind::Maker);
  }

  // Phase One keeps its raw data and settings in a directory of its own after the header:
  // entries of tag, type, length and position (from byte 8) whose blocks belong to the file.
  void CoverPhaseOneBlocks() {
    constexpr long long kBase = 8;
    uint8_t head[4];
    if (!FReader.Read(16, head, 4)) return;
    long long directory = kBase + LoadLE32(head);
    uint32_t n = 0;
    if (!FReader.U32LE(directory, &n) || n == 0 || n > kMaxEntries) return;
    CoverIfInside(directory, 8 + 16 * static_cast<long long>(n));
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t entry[16];
      if (!FReader.Read(directory + 8 + 16 * static_cast<long long>(i), entry, 16)) return;
      long long length = LoadLE32(entry + 8), data = kBase + LoadLE32(entry + 12);
      if (length > 4) CoverIfInside(data, length);
    }
  }

  CStreamReader& FReader;
  TiffLayout* FLayout;
  bool FBigEndian = false;
  bool FBig = false;
  bool FMakerSeen = false;
  bool FLastIsData = false;  // the part that ends last is image data
  bool FPentax = false;
  long long FMakerBase = 0;
  long long FProbe = -1;
  long long FArrayBudget = kMaxArrayValues;
  std::vector<PendingIfd> FPending;
};

bool StartsWith(const std::string& text, const char* prefix) {
  size_t n = strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool Contains(const std::string& text, const char* word) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return upper.find(word) != std::string::npos;
}

}  // namespace

bool IsTiffMagic(uint32_t m) {
  return m == kClassicII || m == kClassicMM || m == kBigII || m == kBigMM || m == kOlympusII ||
         m == kOlympusIIS || m == kOlympusMM || m == kPanasonic;
}

bool WalkTiff(CStreamReader& reader, TiffLayout* layout, long long probe) {
  *layout = TiffLayout();
  CWalker walker(reader, layout, probe);
  return walker.Run();
}

const char* TiffExtension(const TiffLayout& t) {
  if (t.magic == kOlympusII || t.magic == kOlympusIIS || t.magic == kOlympusMM) return "orf";
  if (t.magic == kPanasonic) return StartsWith(t.make, "LEICA") ? "rwl" : "rw2";
  if (t.canonCr2) return "cr2";
  if (t.dng) return "dng";
  if (t.phaseOne) return "iiq";
  if (!t.rawData) return "tif";
  if (StartsWith(t.make, "NIKON")) return Contains(t.model, "COOLPIX") ? "nrw" : "nef";
  if (StartsWith(t.make, "SONY")) return Contains(t.model, "DSC-R1") ? "sr2" : "arw";
  if (StartsWith(t.make, "PENTAX") || StartsWith(t.make, "RICOH")) return "pef";
  if (StartsWith(t.make, "SAMSUNG")) return "srw";
  if (StartsWith(t.make, "OLYMPUS")) return "orf";
  if (StartsWith(t.make, "EPSON") || StartsWith(t.make, "SEIKO EPSON")) return "erf";
  if (StartsWith(t.make, "HASSELBLAD")) return "3fr";
  if (StartsWith(t.make, "KODAK") || StartsWith(t.make, "EASTMAN KODAK"))
    return Contains(t.model, "DCS") ? "dcr" : "kdc";
  if (StartsWith(t.make, "PANASONIC")) return "rw2";
  if (StartsWith(t.make, "LEICA")) return "rwl";
  return "tif";
}

}  // namespace salvor
