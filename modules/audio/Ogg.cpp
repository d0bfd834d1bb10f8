// Ogg (Vorbis, Opus, Theora, FLAC in Ogg, Speex): a chain of pages, each checked by its
// CRC-32, from the beginning-of-stream pages of every logical stream to the page that carries
// the end-of-stream flag of the last of them.

#include <cstring>

#include "modules/audio/AudioFormats.h"

namespace salvor {
namespace audio {
namespace {

constexpr int kPageHeaderSize = 27;
constexpr uint8_t kContinued = 0x01;
constexpr uint8_t kBeginOfStream = 0x02;
constexpr uint8_t kEndOfStream = 0x04;
constexpr int kMaxStreams = 16;

// Ogg's CRC-32: polynomial 0x04C11DB7, not reflected, initial value 0, no final inversion.
struct OggCrcTable {
  uint32_t entries[256];
  constexpr OggCrcTable() : entries() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      entries[i] = c;
    }
  }
};
constexpr OggCrcTable kOggCrc;

uint32_t OggCrcUpdate(uint32_t crc, const uint8_t* p, size_t length) {
  for (size_t i = 0; i < length; ++i) crc = (crc << 8) ^ kOggCrc.entries[(crc >> 24) ^ p[i]];
  return crc;
}

struct Page {
  uint8_t flags;
  uint32_t serial;
  uint32_t sequence;
  long long length;
  long long bodyOffset;  // from the page start
};

enum class PageStatus { Valid, Invalid, CutOff };

PageStatus ReadPage(CStreamReader& reader, long long position, Page* page) {
  long long available = reader.Size() - position;
  if (available < kPageHeaderSize) return available > 0 ? PageStatus::CutOff : PageStatus::Invalid;
  const uint8_t* h = reader.Peek(position, kPageHeaderSize);
  if (h == nullptr || memcmp(h, "OggS", 4) != 0 || h[4] != 0 || (h[5] & ~7) != 0)
    return PageStatus::Invalid;
  page->flags = h[5];
  page->serial = LoadLE32(h + 14);
  page->sequence = LoadLE32(h + 18);
  uint32_t stored = LoadLE32(h + 22);
  int segments = h[26];
  page->bodyOffset = kPageHeaderSize + segments;
  if (available < page->bodyOffset) return PageStatus::CutOff;
  const uint8_t* table = reader.Peek(position + kPageHeaderSize, static_cast<size_t>(segments));
  if (segments > 0 && table == nullptr) return PageStatus::Invalid;
  long long body = 0;
  for (int i = 0; i < segments; ++i) body += table[i];
  page->length = page->bodyOffset + body;
  if (available < page->length) return PageStatus::CutOff;
  // A page is at most 65307 bytes and fits the reader's window.
  const uint8_t* p = reader.Peek(position, static_cast<size_t>(page->length));
  if (p == nullptr) return PageStatus::Invalid;
  static const uint8_t kZeros[4] = {0, 0, 0, 0};
  uint32_t crc = OggCrcUpdate(0, p, 22);
  crc = OggCrcUpdate(crc, kZeros, 4);
  crc = OggCrcUpdate(crc, p + 26, static_cast<size_t>(page->length - 26));
  return crc == stored ? PageStatus::Valid : PageStatus::Invalid;
}

// Names the file by its first logical stream; video wins over audio.
const char* CodecExtension(CStreamReader& reader, long long bodyStart, const char* current) {
  const uint8_t* p = reader.Peek(bodyStart, 8);
  if (p == nullptr) return current;
  if (memcmp(p, "\x80theora", 7) == 0) return "ogv";
  if (*current != '\0') return current;
  if (memcmp(p, "\x01vorbis", 7) == 0) return "ogg";
  if (memcmp(p, "OpusHead", 8) == 0) return "opus";
  if (memcmp(p,
             "\x7F"
             "FLAC",
             5) == 0)
    return "oga";
  if (memcmp(p, "Speex   ", 8) == 0) return "spx";
  return "ogg";
}

}  // namespace

bool FollowOgg(CStreamReader& reader, long long limit, Extent* extent) {
  Page page;
  if (ReadPage(reader, 0, &page) != PageStatus::Valid || !(page.flags & kBeginOfStream) ||
      (page.flags & kContinued) || page.sequence != 0)
    return false;
  uint32_t serials[kMaxStreams];
  bool ended[kMaxStreams] = {};
  int streams = 0;
  bool headersDone = false;
  long long position = 0;
  const char* extension = "";
  while (true) {
    PageStatus status = ReadPage(reader, position, &page);
    if (status != PageStatus::Valid) {
      extent->offSource = status == PageStatus::CutOff;
      break;
    }
    int index = -1;
    for (int i = 0; i < streams; ++i) {
      if (serials[i] == page.serial) index = i;
    }
    if (page.flags & kBeginOfStream) {
      // All beginnings come first; a later one starts another file (or a chained stream).
      if (headersDone || index >= 0 || streams == kMaxStreams) break;
      serials[streams] = page.serial;
      index = streams++;
      extension = CodecExtension(reader, position + page.bodyOffset, extension);
    } else {
      headersDone = true;
      if (index < 0 || ended[index]) break;
    }
    if (position + page.length > limit) {
      extent->pastLimit = true;
      break;
    }
    position += page.length;
    if (page.flags & kEndOfStream) ended[index] = true;
    bool allEnded = true;
    for (int i = 0; i < streams; ++i) allEnded = allEnded && ended[i];
    if (allEnded) {
      extent->complete = true;
      break;
    }
  }
  extent->end = position;
  extent->extension = extension;
  return true;
}

}  // namespace audio
}  // namespace salvor
