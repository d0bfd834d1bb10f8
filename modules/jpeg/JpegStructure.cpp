#include "modules/jpeg/JpegStructure.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "modules/common/Checked.h"
#include "modules/common/StreamReader.h"
#include "modules/common/TrailingZeros.h"

namespace salvor {
namespace jpeg {
namespace {

constexpr uint8_t kSOI = 0xD8, kEOI = 0xD9, kSOS = 0xDA, kDQT = 0xDB, kDRI = 0xDD, kDHT = 0xC4;
constexpr uint8_t kAPP1 = 0xE1, kAPP2 = 0xE2;

bool IsRestart(uint8_t m) {
  return m >= 0xD0 && m <= 0xD7;
}
// Start of frame: C0..CF except DHT (C4), JPG (C8) and DAC (CC).
bool IsFrame(uint8_t m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}
bool IsLossless(uint8_t m) {
  return m == 0xC3 || m == 0xC7 || m == 0xCB || m == 0xCF;
}
bool IsProgressive(uint8_t m) {
  return m == 0xC2 || m == 0xC6 || m == 0xCA || m == 0xCE;
}

bool ValidFrameHeader(uint8_t marker, const uint8_t* d, size_t n) {
  if (n < 6) return false;
  const unsigned precision = d[0];
  const unsigned width = LoadBE16(d + 3);
  const unsigned components = d[5];
  if (components < 1 || components > 4 || n != 6 + 3 * components || width == 0) return false;
  if (IsLossless(marker) ? (precision < 2 || precision > 16) : (precision != 8 && precision != 12))
    return false;
  for (unsigned i = 0; i < components; ++i) {
    const uint8_t sampling = d[6 + 3 * i + 1];
    const unsigned h = sampling >> 4, v = sampling & 15;
    if (h < 1 || h > 4 || v < 1 || v > 4 || d[6 + 3 * i + 2] > 3) return false;
  }
  return true;
}

// A DHT segment holds whole tables and nothing else.
bool ValidHuffmanTables(const uint8_t* d, size_t n) {
  size_t at = 0;
  if (n == 0) return false;
  while (at < n) {
    if (n - at < 17 || (d[at] >> 4) > 1 || (d[at] & 15) > 3) return false;
    size_t symbols = 0;
    for (size_t i = 1; i <= 16; ++i) symbols += d[at + i];
    if (symbols == 0 || symbols > 256 || n - at - 17 < symbols) return false;
    at += 17 + symbols;
  }
  return true;
}

bool ValidQuantTables(const uint8_t* d, size_t n) {
  size_t at = 0;
  if (n == 0) return false;
  while (at < n) {
    const unsigned precision = d[at] >> 4;
    if (precision > 1 || (d[at] & 15) > 3) return false;
    const size_t length = 1 + 64 * (precision + 1);
    if (n - at < length) return false;
    at += length;
  }
  return true;
}

bool ValidScanHeader(const uint8_t* d, size_t n) {
  if (n < 1) return false;
  const unsigned components = d[0];
  if (components < 1 || components > 4 || n != 1 + 2 * components + 3) return false;
  for (unsigned i = 0; i < components; ++i) {
    const uint8_t tables = d[1 + 2 * i + 1];
    if ((tables >> 4) > 3 || (tables & 15) > 3) return false;
  }
  return true;
}

// Scans entropy-coded data from `pos` to the marker that ends it (or, with stopAtRestart, to
// the next restart marker). Returns the marker's position (its 0xFF), or -1 when the reader
// ends first. `lastClean` is moved past every stuffed 0xFF00 and restart marker: proof that
// the data up to there is still entropy data.
long long ScanEntropyData(CStreamReader& reader, long long pos, long long* lastClean,
                          bool stopAtRestart = false) {
  const long long size = reader.Size();
  while (pos < size) {
    const size_t span =
        static_cast<size_t>(std::min<long long>(CStreamReader::kWindow, size - pos));
    const uint8_t* data = reader.Peek(pos, span);
    if (data == nullptr) return -1;
    size_t at = 0;
    for (;;) {
      const void* hit = memchr(data + at, 0xFF, span - at);
      if (hit == nullptr) {
        at = span;
        break;
      }
      at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
      if (at + 1 >= span) break;  // the byte after it lies in the next window
      const uint8_t next = data[at + 1];
      if (next == 0x00 || (IsRestart(next) && !stopAtRestart)) {
        at += 2;
        *lastClean = pos + static_cast<long long>(at);
        if (at >= span) break;
        continue;
      }
      if (next == 0xFF) {  // fill byte before a marker
        ++at;
        continue;
      }
      return pos + static_cast<long long>(at);
    }
    if (at + 1 == span && span > 1) {
      pos += static_cast<long long>(at);  // re-read from the lone 0xFF
    } else if (at + 1 == span) {
      return -1;  // a lone 0xFF is the reader's last byte
    } else {
      pos += static_cast<long long>(at);
    }
  }
  return -1;
}

// Whether the marker at `at` is one that may end a scan, with a segment that holds together.
bool CanFollowScan(CStreamReader& reader, long long at) {
  uint8_t marker = 0;
  uint16_t length = 0;
  if (!reader.U8(at + 1, &marker)) return false;
  if (marker == kEOI) return true;
  const bool known = marker == kDHT || marker == kDQT || marker == kSOS || marker == kDRI ||
                     marker == 0xDC || marker == 0xFE || (marker >= 0xE0 && marker <= 0xEF);
  if (!known || !reader.U16BE(at + 2, &length) || length < 2) return false;
  const size_t n = length - 2u;
  const uint8_t* d = reader.Peek(at + 4, n);
  if (d == nullptr) return n == 0;
  switch (marker) {
    case kDHT:
      return ValidHuffmanTables(d, n);
    case kDQT:
      return ValidQuantTables(d, n);
    case kSOS:
      return ValidScanHeader(d, n);
    case kDRI:
    case 0xDC:
      return n == 2;
    default: {  // APPn, COM: say nothing themselves, so the next marker must be there
      uint8_t next = 0;
      return reader.U8(at + 2 + length, &next) && next == 0xFF;
    }
  }
}

// After damage inside entropy data (a run of 0xFF, foreign bytes), a file with restart
// intervals can be picked up again at a restart marker. Looks from `from` for one that is
// followed by the next two in sequence (or by the EOI) and returns its position; -1 when none
// lies within reach or a new JPEG begins first: its data must not be taken for ours.
long long FindRestartAfterDamage(CStreamReader& reader, long long from) {
  constexpr long long kReach = 1 << 20;
  constexpr int kCandidates = 256;
  long long unused = 0;
  for (int candidates = 0; candidates < kCandidates;) {
    const long long at = ScanEntropyData(reader, from, &unused, true);
    if (at < 0 || at - from > kReach) return -1;
    uint8_t marker = 0;
    if (!reader.U8(at + 1, &marker) || marker == kSOI) return -1;
    from = at + 1;
    if (!IsRestart(marker)) continue;
    ++candidates;
    long long check = at;
    uint8_t expected = marker;
    bool inSequence = true;
    for (int step = 0; step < 2 && inSequence; ++step) {
      const long long following = ScanEntropyData(reader, check + 2, &unused, true);
      uint8_t code = 0;
      if (following < 0 || !reader.U8(following + 1, &code)) return -1;
      if (code == kEOI) break;
      expected = static_cast<uint8_t>(0xD0 + ((expected - 0xD0 + 1) & 7));
      inSequence = code == expected;
      check = following;
    }
    if (inSequence) return at;
  }
  return -1;
}

// Decimal number after `key` in XMP text, as attribute (key="123") or element (key>123<).
long long XmpNumber(std::string_view text, std::string_view key, size_t from = 0,
                    size_t to = std::string_view::npos) {
  size_t at = text.find(key, from);
  if (at == std::string_view::npos || at >= to) return -1;
  at += key.size();
  while (at < text.size() && (text[at] == '=' || text[at] == '"' || text[at] == '\'' ||
                              text[at] == '>' || text[at] == ' ')) {
    ++at;
  }
  long long value = 0;
  size_t digits = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 15) {
    value = value * 10 + (text[at] - '0');
    ++at;
    ++digits;
  }
  return digits == 0 ? -1 : value;
}

// Length of the video a motion photo carries after its JPEG data, from its XMP; -1 when it
// declares none.
long long MotionVideoLength(std::string_view xmp) {
  long long length = XmpNumber(xmp, "MicroVideoOffset");
  if (length > 0) return length;
  // Container directory: the item whose semantic is MotionPhoto gives its length.
  const size_t semantic = xmp.find("\"MotionPhoto\"");
  if (semantic == std::string_view::npos) return -1;
  const size_t open = xmp.rfind('<', semantic);
  const size_t close = xmp.find('>', semantic);
  if (open == std::string_view::npos) return -1;
  length = XmpNumber(xmp, ":Length", open, close);
  return length > 0 ? length : -1;
}

struct Segment {
  long long dataPos = -1;  // first byte after the length field
  size_t dataLength = 0;
};

// Extends `end` over the images that the MPF index lists after the main image.
void AddMpfImages(CStreamReader& reader, const Segment& mpf, long long mainEnd, long long* end,
                  bool* missing) {
  if (mpf.dataLength < 16) return;
  const long long base = mpf.dataPos + 4;  // offsets count from the TIFF header after "MPF\0"
  const long long limit = mpf.dataPos + static_cast<long long>(mpf.dataLength);
  const uint8_t* header = reader.Peek(base, 8);
  if (header == nullptr) return;
  bool big;
  if (memcmp(header, "MM\0*", 4) == 0) {
    big = true;
  } else if (memcmp(header, "II*\0", 4) == 0) {
    big = false;
  } else {
    return;
  }
  uint32_t ifdOffset = big ? LoadBE32(header + 4) : LoadLE32(header + 4);
  uint16_t count = 0;
  const long long ifd = base + ifdOffset;
  if (ifd + 2 > limit || !reader.U16(ifd, big, &count)) return;
  for (unsigned i = 0; i < count && i < 64; ++i) {
    const long long entry = ifd + 2 + 12 * static_cast<long long>(i);
    if (entry + 12 > limit) return;
    uint16_t tag = 0;
    uint32_t bytes = 0, valueOffset = 0;
    if (!reader.U16(entry, big, &tag) || !reader.U32(entry + 4, big, &bytes) ||
        !reader.U32(entry + 8, big, &valueOffset)) {
      return;
    }
    if (tag != 0xB002) continue;
    const long long images = std::min<long long>(bytes / 16, 64);
    for (long long k = 1; k < images; ++k) {  // entry 0 is the main image itself
      const long long at = base + valueOffset + 16 * k;
      uint32_t size = 0, offset = 0;
      if (at + 16 > limit || !reader.U32(at + 4, big, &size) || !reader.U32(at + 8, big, &offset)) {
        return;
      }
      if (size == 0 || offset == 0) continue;
      const long long start = base + offset;
      long long imageEnd;
      if (start < mainEnd || !CheckedAdd(start, size, &imageEnd)) continue;
      const uint8_t* soi = reader.Contains(start, size) ? reader.Peek(start, 3) : nullptr;
      if (soi == nullptr || soi[0] != 0xFF || soi[1] != kSOI || soi[2] != 0xFF) {
        *missing = true;
        continue;
      }
      *end = std::max(*end, imageEnd);
    }
    return;
  }
}

// Extends `end` over a motion photo's video when an ISO-BMFF file begins there.
void AddMotionVideo(CStreamReader& reader, const Segment& xmp, long long* end, bool* missing) {
  const uint8_t* text = reader.Peek(xmp.dataPos, xmp.dataLength);
  if (text == nullptr) return;
  const long long length =
      MotionVideoLength(std::string_view(reinterpret_cast<const char*>(text), xmp.dataLength));
  if (length <= 0) return;
  const uint8_t* box = reader.Contains(*end, length) ? reader.Peek(*end, 8) : nullptr;
  if (box == nullptr || memcmp(box + 4, "ftyp", 4) != 0 || LoadBE32(box) < 8 ||
      LoadBE32(box) > length) {
    *missing = true;
    return;
  }
  *end += length;
}

// Samsung phones append their data blocks (the motion photo's video among them) after the
// image, then a SEFH directory that lists each block by its distance back from the directory,
// the directory's length and "SEFT". Extends `end` to the SEFT when such a trailer starts
// exactly there; false when none does.
bool AddSamsungTrailer(CStreamReader& reader, long long* end) {
  // A block begins with two zero bytes, its type, and the length of the short name after it.
  const uint8_t* block = reader.Peek(*end, 8);
  if (block == nullptr || block[0] != 0 || block[1] != 0) return false;
  const uint32_t nameLength = LoadLE32(block + 4);
  if (nameLength == 0 || nameLength > 64) return false;
  const uint8_t* name = reader.Peek(*end + 8, nameLength);
  if (name == nullptr) return false;
  for (uint32_t i = 0; i < nameLength; ++i) {
    if (name[i] < 0x20 || name[i] > 0x7E) return false;
  }
  static const uint8_t kTail[] = {'S', 'E', 'F', 'T'};
  long long from = *end + 8 + nameLength;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const long long tail = reader.Find(kTail, sizeof kTail, from, reader.Size());
    if (tail < 0) return false;
    from = tail + 1;
    uint32_t directoryLength = 0, count = 0;
    if (!reader.U32LE(tail - 4, &directoryLength)) continue;
    const long long directory = tail - 4 - directoryLength;
    const uint8_t* head = directory >= *end ? reader.Peek(directory, 12) : nullptr;
    if (head == nullptr || memcmp(head, "SEFH", 4) != 0) continue;
    count = LoadLE32(head + 8);
    if (count == 0 || count > 1024 || 12 + 12LL * count != directoryLength) continue;
    long long farthest = 0;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t distance = 0;
      if (reader.U32LE(directory + 12 + 12LL * i + 4, &distance)) {
        farthest = std::max<long long>(farthest, distance);
      }
    }
    // The farthest block must be the one right after the image.
    if (directory - farthest != *end) continue;
    *end = tail + 4;
    return true;
  }
  return false;
}

bool HasPrefix(CStreamReader& reader, const Segment& segment, const char* prefix, size_t n) {
  if (segment.dataLength < n) return false;
  const uint8_t* data = reader.Peek(segment.dataPos, n);
  return data != nullptr && memcmp(data, prefix, n) == 0;
}

enum class MarkerRead { kMarker, kRanOut, kJunk };

// Reads the marker at `pos`, past the 0xFF fill bytes that may precede any marker (`pos` moves
// to the last of them).
MarkerRead ReadMarker(CStreamReader& reader, long long* pos, uint8_t* marker) {
  uint8_t byte = 0;
  if (!reader.U8(*pos, &byte)) return MarkerRead::kRanOut;
  if (byte != 0xFF) return MarkerRead::kJunk;
  *marker = 0xFF;
  while (*marker == 0xFF) {
    if (!reader.U8(*pos + 1, marker)) return MarkerRead::kRanOut;
    if (*marker == 0xFF) ++*pos;
  }
  return MarkerRead::kMarker;
}

// Remembers the first XMP packet (which may point to a motion-photo video) and MPF index.
void NoteMetadata(CStreamReader& reader, uint8_t marker, const Segment& segment, Segment* mpf,
                  Segment* xmp) {
  if (marker == kAPP1 && xmp->dataPos < 0 &&
      HasPrefix(reader, segment, "http://ns.adobe.com/xap/1.0/\0", 29)) {
    *xmp = segment;
  } else if (marker == kAPP2 && mpf->dataPos < 0 && HasPrefix(reader, segment, "MPF\0", 4)) {
    *mpf = segment;
  }
}

// What the coding segments seen so far tell the ones that follow.
struct CodingState {
  bool frameSeen = false;
  bool restarts = false;  // a restart interval is defined
};

// Segments whose content is checked: frame and scan headers, tables, the restart interval.
bool IsCodingSegment(uint8_t marker) {
  return IsFrame(marker) || marker == kDHT || marker == kDQT || marker == kSOS || marker == kDRI;
}

bool ValidCodingSegment(uint8_t marker, const uint8_t* d, size_t length, CodingState* state,
                        JpegWalk* walk) {
  if (IsFrame(marker)) {
    const bool valid = ValidFrameHeader(marker, d, length);
    state->frameSeen = state->frameSeen || valid;
    walk->progressive = walk->progressive || IsProgressive(marker);
    return valid;
  }
  if (marker == kDHT) return ValidHuffmanTables(d, length);
  if (marker == kDQT) return ValidQuantTables(d, length);
  if (marker == kDRI) {
    const bool valid = length == 2;
    state->restarts = valid && LoadBE16(d) > 0;
    return valid;
  }
  return state->frameSeen && ValidScanHeader(d, length);
}

// Follows a scan's entropy-coded data from `from`, past damage to the next restart marker when
// the image has restart intervals. Returns where the marker after the scan is, or -1 when the
// data ended inside it; `clean` is where the last undamaged data ends.
long long FollowScan(CStreamReader& reader, long long from, bool restarts, int* resyncs,
                     bool* damaged, long long* clean) {
  for (;;) {
    const long long next = ScanEntropyData(reader, from, clean);
    if (next < 0) return -1;
    uint8_t after = 0;
    reader.U8(next + 1, &after);
    // A marker that may follow a scan, or the start of another file: the scan is over.
    if (CanFollowScan(reader, next) || after == kSOI || !restarts || *resyncs >= 64) return next;
    const long long resume = FindRestartAfterDamage(reader, next);
    if (resume < 0) return next;
    *damaged = true;
    ++*resyncs;
    from = resume + 2;
    *clean = from;
  }
}

// What follows the main image: its MPF images, then a Samsung trailer or a motion-photo video.
void AddTrailers(CStreamReader& reader, const Segment& mpf, const Segment& xmp, JpegWalk* walk) {
  walk->end = walk->mainEnd;
  if (mpf.dataPos >= 0) AddMpfImages(reader, mpf, walk->mainEnd, &walk->end, &walk->trailerMissing);
  if (!AddSamsungTrailer(reader, &walk->end) && xmp.dataPos >= 0)
    AddMotionVideo(reader, xmp, &walk->end, &walk->trailerMissing);
}

}  // namespace

bool CanStartJpeg(const uint8_t* p) {
  if (p[0] != 0xFF || p[1] != kSOI || p[2] != 0xFF) return false;
  const uint8_t m = p[3];
  return (m >= 0xE0 && m <= 0xEF) || m == kDQT || m == kDHT || m == 0xFE || m == kDRI || IsFrame(m);
}

JpegWalk WalkJpeg(CStreamReader& reader) {
  JpegWalk walk;
  const uint8_t* soi = reader.Peek(0, 2);
  if (soi == nullptr || soi[0] != 0xFF || soi[1] != kSOI) return walk;

  bool scanSeen = false;
  CodingState coding;
  int resyncs = 0;
  int segments = 0;
  long long pos = 2;
  long long good = 2;  // end of the last piece that checked out
  // Before a run of segments whose content says nothing (APPn, COM): where to fall back to
  // when junk follows them, since they may have been junk themselves. -1 outside such a run.
  long long beforeUnchecked = -1;
  Segment mpf, xmp;

  auto stop = [&](JpegWalk::Outcome outcome, long long bestEnd) {
    // Garbage in the header means this was never a JPEG; later it is a damaged one.
    if (!scanSeen && segments < 2) return walk;
    walk.outcome = outcome;
    if (beforeUnchecked >= 0) bestEnd = std::min(bestEnd, beforeUnchecked);
    walk.bestEnd = std::max<long long>(bestEnd, 2);
    return walk;
  };

  for (;;) {
    uint8_t marker = 0;
    const MarkerRead read = ReadMarker(reader, &pos, &marker);
    if (read != MarkerRead::kMarker)
      return stop(read == MarkerRead::kRanOut ? JpegWalk::kRanOut : JpegWalk::kJunk, good);
    if (marker == kEOI) {
      if (!scanSeen) return stop(JpegWalk::kJunk, good);
      walk.mainEnd = pos + 2;
      break;
    }
    if (marker == 0x01 || IsRestart(marker)) {  // standalone markers
      pos += 2;
      good = pos;
      continue;
    }
    if (marker < 0xC0 || marker == kSOI) return stop(JpegWalk::kJunk, good);

    uint16_t length = 0;
    if (!reader.U16BE(pos + 2, &length)) return stop(JpegWalk::kRanOut, good);
    if (length < 2) return stop(JpegWalk::kJunk, good);
    if (!scanSeen) walk.headerEnd = pos + 2 + length;
    Segment segment{pos + 4, static_cast<size_t>(length - 2)};
    if (!reader.Contains(pos + 2, length)) return stop(JpegWalk::kRanOut, good);
    const long long segmentEnd = pos + 2 + length;

    bool valid = true;
    const bool checked = IsCodingSegment(marker);
    if (checked) {
      const uint8_t* d = reader.Peek(segment.dataPos, segment.dataLength);
      if (d == nullptr && segment.dataLength > 0) return stop(JpegWalk::kRanOut, good);
      valid = ValidCodingSegment(marker, d, segment.dataLength, &coding, &walk);
    } else {
      NoteMetadata(reader, marker, segment, &mpf, &xmp);
    }
    if (!valid) return stop(JpegWalk::kJunk, good);
    ++segments;
    if (!checked && beforeUnchecked < 0) beforeUnchecked = good;
    if (checked) beforeUnchecked = -1;
    good = segmentEnd;

    if (marker != kSOS) {
      pos = segmentEnd;
      continue;
    }
    scanSeen = true;
    long long clean = segmentEnd;
    const long long next =
        FollowScan(reader, segmentEnd, coding.restarts, &resyncs, &walk.damaged, &clean);
    // The data ended inside the scan: what follows the cut is often zeros.
    if (next < 0) return stop(JpegWalk::kRanOut, TrimTrailingZeros(reader, clean, reader.Size()));
    pos = next;
    good = clean;
  }

  walk.outcome = JpegWalk::kComplete;
  AddTrailers(reader, mpf, xmp, &walk);
  return walk;
}

}  // namespace jpeg
}  // namespace salvor
