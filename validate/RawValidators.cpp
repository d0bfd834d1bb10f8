// Camera RAWs not built on TIFF: Fujifilm RAF, Minolta MRW, Canon CRW (CIFF) and Sigma X3F.
// Their own offset and length tables must hold within the file, embedded TIFF structures and
// JPEG previews are checked by the TIFF walk and the JPEG validator; the sensor data itself
// is beyond any library here, so a sound file is "cannot tell", never intact.
#include <algorithm>
#include <cstring>
#include <functional>

#include "validate/Formats.h"
#include "validate/TiffCheck.h"

namespace salvor {

namespace {

constexpr long long kTrailerSearch = 64LL << 20;  // how far back from the span's end
constexpr int kMaxHeapDepth = 8;
constexpr uint32_t kMaxRecords = 4096;
constexpr int kMaxHeaps = 256;

// Whether [offset, offset + length) lies in the span; a part past its end means a cut file,
// its table stored in the part at `referrer`.
bool Inside(ByteSpan& bytes, Findings& findings, long long referrer, long long offset,
            long long length) {
  if (offset < 0 || length < 0 || offset > bytes.Size() - length) {
    findings.Fail(referrer, bytes.Size(), "cut short");
    return false;
  }
  return true;
}

void CheckJpeg(ByteSpan& bytes, Findings& findings, long long offset, long long length) {
  const Validation jpeg = CheckEmbeddedJpeg(bytes, offset, length);
  findings.Add(jpeg);
  if (jpeg.verdict == Verdict::kIntact) findings.Proven(offset, jpeg.end);
}

// The file's end for formats that keep their directory at the very end, with its offset in
// the last four bytes: the last position in the span where `fits` accepts the four bytes
// before it, or -1.
long long FindTrailer(ByteSpan& bytes, long long least,
                      const std::function<bool(long long end, uint32_t pointer)>& fits) {
  const long long size = bytes.Size();
  const long long stop = std::max(least, size - kTrailerSearch);
  unsigned char window[65536 + 8];
  for (long long hi = size; hi > stop;) {
    const long long lo = std::max(stop, hi - 65536);
    const long long from = std::max(0LL, lo - 4);
    const long long n = hi - from;
    if (!ReadExact(bytes, from, window, n)) return -1;
    for (long long end = hi; end >= lo && end - 4 >= from; --end) {
      if (fits(end, Le32(window + (end - 4 - from)))) return end;
    }
    hi = lo - 1;
  }
  return -1;
}

// Fujifilm RAF: a big-endian header with the places of the JPEG preview, the CFA header
// records and the CFA data.
Validation CheckRaf(ByteSpan& bytes) {
  unsigned char h[108];
  if (!ReadExact(bytes, 0, h, sizeof(h)) || std::memcmp(h, "FUJIFILMCCD-RAW ", 16) != 0) {
    return Validation::Damaged(0, 0, "not a RAF file");
  }
  Findings findings(bytes.Size());
  findings.Proven(0, sizeof(h));
  long long end = sizeof(h);
  const long long jpeg = Be32(h + 84), jpegLength = Be32(h + 88);
  const long long records = Be32(h + 92), recordsLength = Be32(h + 96);
  const long long cfa = Be32(h + 100), cfaLength = Be32(h + 104);
  if (jpegLength > 0 && Inside(bytes, findings, 0, jpeg, jpegLength)) {
    CheckJpeg(bytes, findings, jpeg, jpegLength);
    end = std::max(end, jpeg + jpegLength);
  }
  if (recordsLength > 0 && Inside(bytes, findings, 0, records, recordsLength)) {
    end = std::max(end, records + recordsLength);
    // A count, then tag, size, data records that fill the block.
    unsigned char r[4];
    ReadExact(bytes, records, r, 4);
    const uint32_t count = Be32(r);
    long long at = records + 4;
    for (uint32_t i = 0; i < count && i < kMaxRecords && at + 4 <= records + recordsLength; ++i) {
      ReadExact(bytes, at, r, 4);
      at += 4 + Be16(r + 2);
    }
    if (count > kMaxRecords || at > records + recordsLength) {
      findings.Fail(0, records, "bad CFA header records");
    } else {
      findings.Proven(records, records + recordsLength);
    }
  }
  if (cfaLength > 0 && Inside(bytes, findings, 0, cfa, cfaLength)) {
    end = std::max(end, cfa + cfaLength);
  }
  findings.Unchecked();
  return findings.Result(end);
}

// Minolta MRW: blocks ("\0PRD", "\0TTW", ...) that fill the header, then the sensor data whose
// size PRD gives.
Validation CheckMrw(ByteSpan& bytes) {
  unsigned char h[8];
  if (!ReadExact(bytes, 0, h, 8) || Be32(h) != 0x004d524d) {
    return Validation::Damaged(0, 0, "not an MRW file");
  }
  Findings findings(bytes.Size());
  const long long data = 8 + static_cast<long long>(Be32(h + 4));
  long long rawSize = -1;
  long long end = data;
  long long pos = 8;
  while (pos + 8 <= data) {
    if (!ReadExact(bytes, pos, h, 8)) break;
    const long long length = Be32(h + 4);
    if (h[0] != 0 || pos + 8 + length > data) {
      findings.Fail(pos, pos, "bad MRW block");
      return findings.Result(end);
    }
    const uint32_t type = Be32(h);
    if (!Inside(bytes, findings, pos, pos + 8, length)) return findings.Result(end);
    if (type == 0x00505244 && length >= 17) {  // PRD: sensor size, bits per sample
      unsigned char p[24];
      ReadExact(bytes, pos + 8, p, 17);
      rawSize = static_cast<long long>(Be16(p + 8)) * Be16(p + 10) * p[16] / 8;
    } else if (type == 0x00545457) {  // TTW: a TIFF structure
      long long tiffEnd = 0;
      if (!CheckTiff(bytes, pos + 8, pos + 8 + length, findings, tiffEnd)) {
        findings.Fail(pos, pos + 8, "bad TTW block");
      }
    }
    findings.Proven(pos, pos + 8);
    pos += 8 + length;
  }
  if (pos != data) {
    findings.Fail(pos, pos, "MRW blocks do not fill the header");
  } else if (rawSize < 0) {
    findings.Fail(8, 8, "MRW without PRD block");
  } else {
    end = data + rawSize;
    Inside(bytes, findings, data, data, rawSize);
  }
  findings.Unchecked();
  return findings.Result(end);
}

// Canon CRW (CIFF): heaps whose record tables sit at their ends, the root heap ending with the
// file.
class CiffWalk {
 public:
  CiffWalk(ByteSpan& bytes, Findings& findings) : FBytes(bytes), FFindings(findings) {}

  // Whether the heap [start, end) has its table where its last four bytes say, inside it.
  bool Table(long long start, long long end, uint32_t pointer, uint32_t& count) {
    const long long table = start + static_cast<long long>(pointer);
    const long long records = end - 4 - table - 2;
    if (records < 10 || records > 10LL * kMaxRecords || records % 10 != 0) return false;
    unsigned char c[2];
    if (!ReadExact(FBytes, table, c, 2)) return false;
    count = Le16(c);
    return count > 0 && count <= kMaxRecords && table + 2 + 10LL * count == end - 4;
  }

  void Heap(long long start, long long end, int depth) {
    // Sub-heaps may point at the same bytes: the records visited are bounded, not the tree.
    if (++FHeaps > kMaxHeaps) {
      FFindings.Unchecked();
      return;
    }
    unsigned char p[4];
    uint32_t count = 0;
    if (!ReadExact(FBytes, end - 4, p, 4) || !Table(start, end, Le32(p), count)) {
      FFindings.Fail(start, end - 4, "bad CIFF heap table");
      return;
    }
    const long long table = start + Le32(p);
    std::vector<unsigned char> records;
    ReadRange(FBytes, table + 2, 10LL * count, 10LL * kMaxRecords, records);
    FFindings.Proven(table, end);
    for (uint32_t i = 0; i < count; ++i) {
      const unsigned char* r = records.data() + 10 * i;
      const uint32_t tag = Le16(r);
      if ((tag >> 14) != 0) continue;  // value held in the record itself
      const long long size = Le32(r + 2), offset = start + Le32(r + 6);
      if (offset + size > table) {
        FFindings.Fail(table, table + 2 + 10 * i, "CIFF record outside its heap");
        continue;
      }
      const uint32_t kind = tag & 0x3800;
      if ((kind == 0x2800 || kind == 0x3000) && depth < kMaxHeapDepth && size >= 16) {
        Heap(offset, offset + size, depth + 1);
      } else if ((tag & 0x3fff) == 0x2007) {  // JpgFromRaw
        CheckJpeg(FBytes, FFindings, offset, size);
      } else if ((tag & 0x3fff) == 0x2005) {  // sensor data
        FFindings.Unchecked();
      }
    }
  }

 private:
  ByteSpan& FBytes;
  Findings& FFindings;
  int FHeaps = 0;
};

Validation CheckCrw(ByteSpan& bytes) {
  unsigned char h[14];
  if (!ReadExact(bytes, 0, h, 14) || h[0] != 'I' || h[1] != 'I' ||
      std::memcmp(h + 6, "HEAPCCDR", 8) != 0) {
    return Validation::Damaged(0, 0, "not a CRW file");
  }
  const long long header = Le32(h + 2);
  Findings findings(bytes.Size());
  CiffWalk walk(bytes, findings);
  const long long end = FindTrailer(bytes, header + 16, [&](long long e, uint32_t pointer) {
    uint32_t count = 0;
    return walk.Table(header, e, pointer, count);
  });
  if (end < 0) {
    findings.Fail(header, bytes.Size(), "no heap table: cut short");
    return findings.Result(bytes.Size());
  }
  findings.Proven(0, header);
  walk.Heap(header, end, 0);
  findings.Unchecked();
  return findings.Result(end);
}

// Sigma X3F: sections listed by a directory at the end of the file.
Validation CheckX3f(ByteSpan& bytes) {
  unsigned char h[8];
  if (!ReadExact(bytes, 0, h, 4) || std::memcmp(h, "FOVb", 4) != 0) {
    return Validation::Damaged(0, 0, "not an X3F file");
  }
  Findings findings(bytes.Size());
  const auto directory = [&](long long e, uint32_t pointer, uint32_t& count) {
    unsigned char d[12];
    const long long entries = e - 4 - 12 - static_cast<long long>(pointer);
    if (entries < 0 || entries > 12LL * kMaxRecords || entries % 12 != 0 ||
        !ReadExact(bytes, pointer, d, 12) || std::memcmp(d, "SECd", 4) != 0) {
      return false;
    }
    count = Le32(d + 8);
    return count <= kMaxRecords && pointer + 12 + 12LL * count + 4 == e;
  };
  const long long end = FindTrailer(bytes, 16, [&](long long e, uint32_t pointer) {
    uint32_t count = 0;
    return directory(e, pointer, count);
  });
  if (end < 0) {
    findings.Fail(0, bytes.Size(), "no section directory: cut short");
    return findings.Result(bytes.Size());
  }
  unsigned char p[4];
  ReadExact(bytes, end - 4, p, 4);
  const long long dir = Le32(p);
  uint32_t count = 0;
  directory(end, static_cast<uint32_t>(dir), count);
  std::vector<unsigned char> entries;
  ReadRange(bytes, dir + 12, 12LL * count, 12LL * kMaxRecords, entries);
  findings.Proven(dir, end);
  long long jpegEnd = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* e = entries.data() + 12 * i;
    const long long offset = Le32(e), length = Le32(e + 4);
    unsigned char s[28];
    if (offset + length > dir || length < 4 || !ReadExact(bytes, offset, s, 4)) {
      findings.Fail(dir, dir + 12 + 12 * i, "X3F section outside the file");
      continue;
    }
    const bool image = std::memcmp(e + 8, "IMA", 3) == 0;
    const char* magic = image ? "SECi" : std::memcmp(e + 8, "PROP", 4) == 0 ? "SECp" : "SECc";
    if (std::memcmp(s, magic, 4) != 0) {
      findings.Fail(offset, offset, "bad X3F section");
      continue;
    }
    // An image section in format 18 holds a JPEG after its 28-byte header. Sections that
    // share bytes are checked once.
    if (image && length > 28 && ReadExact(bytes, offset, s, 28) && Le32(s + 12) == 18 &&
        offset >= jpegEnd) {
      jpegEnd = offset + length;
      CheckJpeg(bytes, findings, offset + 28, length - 28);
    } else {
      findings.Proven(offset, offset + 4);
      if (image) findings.Unchecked();
    }
  }
  findings.Unchecked();
  return findings.Result(end);
}

}  // namespace

Validation ValidateRaf(ByteSpan& bytes) {
  return CheckRaf(bytes);
}
Validation ValidateMrw(ByteSpan& bytes) {
  return CheckMrw(bytes);
}
Validation ValidateCrw(ByteSpan& bytes) {
  return CheckCrw(bytes);
}
Validation ValidateX3f(ByteSpan& bytes) {
  return CheckX3f(bytes);
}

}  // namespace salvor
