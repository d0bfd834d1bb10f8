// Ogg (Vorbis, Opus, Speex, FLAC): pages follow each other, each with a CRC-32 over all its
// bytes and a sequence number per logical stream. Every stream begun must end (its last page
// flagged) for the file to be whole; the file ends after the last page.

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>
#include <vector>

extern "C" {
#include <libavutil/crc.h>
}

#include "validate/Formats.h"
#include "validate/MediaCommon.h"
#include "validate/Spans.h"

namespace salvor {

namespace {

// What an audio or video packet of the stream a first page opens begins with, where its codec
// says: Vorbis and Theora data packets with a 0 bit (Vorbis packs its bits from the lowest,
// Theora from the highest), FLAC frames with their sync code. Opus and Speex packets may begin
// with anything.
enum class PacketStart { kAny, kLowBitClear, kHighBitClear, kFlacSync };

PacketStart PacketStartOf(ByteSpan& joined, long long at) {
  unsigned char head[27 + 255 + 8];
  if (joined.Read(at, head, 27) < 27 || std::memcmp(head, "OggS", 4) != 0 || (head[5] & 2) == 0)
    return PacketStart::kAny;
  const int segments = head[26];
  if (joined.Read(at + 27, head + 27, segments + 8) < segments + 8) return PacketStart::kAny;
  const unsigned char* packet = head + 27 + segments;
  if (std::memcmp(packet, "\x01vorbis", 7) == 0) return PacketStart::kLowBitClear;
  if (std::memcmp(packet, "\x80theora", 7) == 0) return PacketStart::kHighBitClear;
  if (std::memcmp(packet,
                  "\x7f"
                  "FLAC",
                  5) == 0)
    return PacketStart::kFlacSync;
  return PacketStart::kAny;
}

// The rule the packets of the page at `at` (header `head`) begin by; only pages past the
// headers, which carry a granule position, of the stream the file's first page opens.
PacketStart RuleOfPage(ByteSpan& joined, const unsigned char* head) {
  if (media::Le32(head + 6) == 0 && media::Le32(head + 10) == 0) return PacketStart::kAny;
  unsigned char first[27];
  if (joined.Read(0, first, 27) < 27 || media::Le32(first + 14) != media::Le32(head + 14))
    return PacketStart::kAny;
  return PacketStartOf(joined, 0);
}

// Hands `each` the file offset of every packet that begins past the cut in that page.
template <typename Each>
void EachPacketPastCut(long long at, const unsigned char* head, long long cut, Each&& each) {
  const int segments = head[26];
  long long packet = at + 27 + segments;
  bool begins = (head[5] & 1) == 0;  // not the rest of a packet from the page before
  for (int i = 0; i < segments; ++i) {
    if (begins && packet >= cut && !each(packet)) return;
    packet += head[27 + i];
    begins = head[27 + i] < 255;
  }
}

// Whether the packets that begin past the cut in the page begin as their codec says.
bool PacketsBeginRight(ByteSpan& joined, long long at, const unsigned char* head, long long cut) {
  const PacketStart rule = RuleOfPage(joined, head);
  if (rule == PacketStart::kAny) return true;
  bool right = true;
  EachPacketPastCut(at, head, cut, [&](long long packet) {
    unsigned char start[2];
    if (joined.Read(packet, start, 2) < 2) return false;
    if (rule == PacketStart::kLowBitClear) right = (start[0] & 0x01) == 0;
    if (rule == PacketStart::kHighBitClear) right = (start[0] & 0x80) == 0;
    if (rule == PacketStart::kFlacSync) right = start[0] == 0xFF && (start[1] & 0xFE) == 0xF8;
    return right;
  });
  return right;
}

}  // namespace

Validation ValidateOgg(ByteSpan& span) {
  media::WindowReader bytes(span);
  const long long size = bytes.Size();
  const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE);
  struct Stream {
    uint32_t next;
    bool ended;
  };
  std::map<uint32_t, Stream> streams;
  constexpr size_t kMaxStreams = 256;  // more than any real file multiplexes
  std::vector<unsigned char> page;
  long long at = 0;
  for (;;) {
    unsigned char head[27 + 255];
    const long long got = bytes.Read(at, head, 27);
    if (got < 4 || std::memcmp(head, "OggS", 4) != 0) break;
    if (got < 27) return Validation::Damaged(at, size, "cut short");
    if (head[4] != 0) return Validation::Damaged(at, at + 5, "bad page version");
    const int segments = head[26];
    if (!bytes.ReadAll(at + 27, head + 27, segments))
      return Validation::Damaged(at, size, "cut short");
    long long length = 27 + segments;
    for (int i = 0; i < segments; ++i) length += head[27 + i];
    page.resize(static_cast<size_t>(length));
    if (!bytes.ReadAll(at, page.data(), length)) return Validation::Damaged(at, size, "cut short");
    // libavutil keeps this CRC byte-swapped: compared as written, big-endian.
    const uint32_t stored = media::Be32(page.data() + 22);
    std::memset(page.data() + 22, 0, 4);
    if (av_crc(table, 0, page.data(), static_cast<size_t>(length)) != stored)
      return Validation::Damaged(at, at + length, "page CRC mismatch");
    const unsigned flags = head[5];
    const uint32_t serial = media::Le32(head + 14), sequence = media::Le32(head + 18);
    auto stream = streams.find(serial);
    if ((flags & 2) != 0) {  // first page of a stream
      if (stream != streams.end() || streams.size() >= kMaxStreams)
        return Validation::Damaged(at, at + length, "stream begins twice");
      stream = streams.emplace(serial, Stream{sequence, false}).first;
    }
    if (stream == streams.end() || stream->second.ended)
      return Validation::Damaged(at, at + length, "page of no open stream");
    if (sequence != stream->second.next)
      return Validation::Damaged(at, at + length, "page sequence broken");
    stream->second.next = sequence + 1;
    stream->second.ended = (flags & 4) != 0;
    at += length;
  }
  if (streams.empty()) return Validation::Damaged(0, std::min(size, 4LL), "no page");
  for (const auto& entry : streams) {
    if (!entry.second.ended) {
      if (at == size) return Validation::Damaged(at, size, "cut short");
      return Validation::Damaged(at, std::min(at + 4, size), "pages do not chain");
    }
  }
  return Validation::Intact(at);
}

namespace {

// The page a cut falls in, walked to page by page from a page's start.
struct CutPage {
  long long at = 0;
  long long length = 0;
  unsigned char head[27 + 255];
};

// kHolds when `page` is the one holding the cut; else what the join check says for want of it.
JoinFit FindCutPage(ByteSpan& joined, long long unitStart, long long cut, CutPage& page) {
  for (page.at = unitStart;;) {
    unsigned char* head = page.head;
    if (joined.Read(page.at, head, 27) < 27) return JoinFit::kCannotTell;
    // A header the cut reaches into that is no header; one wholly before the cut is for the
    // validator to place.
    if (std::memcmp(head, "OggS", 4) != 0 || head[4] != 0)
      return page.at + 27 > cut ? JoinFit::kBreaks : JoinFit::kCannotTell;
    const int segments = head[26];
    if (joined.Read(page.at + 27, head + 27, segments) < segments) return JoinFit::kCannotTell;
    page.length = 27 + segments;
    for (int i = 0; i < segments; ++i) page.length += head[27 + i];
    if (page.at + page.length <= cut) {
      page.at += page.length;
      continue;
    }
    if (page.at + page.length - cut > kJoinReach) return JoinFit::kCannotTell;
    return JoinFit::kHolds;
  }
}

}  // namespace

bool OggJoinExpectation(ByteSpan& prefix, long long unitStart, long long cut,
                        JoinExpectation* out) {
  CutPage page;
  if (FindCutPage(prefix, unitStart, cut, page) != JoinFit::kHolds) return false;
  // Only a header and segment table wholly before the cut say where packets and the next page
  // begin whatever follows; a stream's last page may be followed by anything.
  if (page.at + 27 + page.head[26] > cut) return false;
  out->bits.clear();
  if ((page.head[5] & 0x04) == 0) {
    for (int i = 0; i < 4; ++i)
      out->bits.push_back(
          {page.at + page.length - cut + i, 0xFF, static_cast<unsigned char>("OggS"[i])});
  }
  const PacketStart rule = RuleOfPage(prefix, page.head);
  EachPacketPastCut(page.at, page.head, cut, [&](long long packet) {
    const long long distance = packet - cut;
    if (rule == PacketStart::kLowBitClear) out->bits.push_back({distance, 0x01, 0x00});
    if (rule == PacketStart::kHighBitClear) out->bits.push_back({distance, 0x80, 0x00});
    if (rule == PacketStart::kFlacSync) {
      out->bits.push_back({distance, 0xFF, 0xFF});
      out->bits.push_back({distance + 1, 0xFE, 0xF8});
    }
    return true;
  });
  return !out->bits.empty();
}

JoinFit CheckOggJoin(ByteSpan& joined, long long unitStart, long long cut) {
  const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE);
  CutPage page;
  const JoinFit placed = FindCutPage(joined, unitStart, cut, page);
  if (placed != JoinFit::kHolds) return placed;
  const long long at = page.at, length = page.length;
  const unsigned char* head = page.head;
  // Pages follow one another: a page other than a stream's last is followed by the next
  // page's capture pattern. Four bytes rule out most candidates before the CRC is taken.
  unsigned char next[4];
  if ((head[5] & 0x04) == 0 && joined.Read(at + length, next, 4) == 4 &&
      std::memcmp(next, "OggS", 4) != 0)
    return JoinFit::kBreaks;
  // And the packets that begin past the cut begin as their codec says: a bit or two of each
  // rules out most of the rest.
  if (!PacketsBeginRight(joined, at, head, cut)) return JoinFit::kBreaks;
  const uint32_t stored = media::Be32(head + 22);
  if (cut < at + 27) {  // the cut in the header: too rare to share
    std::vector<unsigned char> whole(static_cast<size_t>(length));
    if (joined.Read(at, whole.data(), length) < length) return JoinFit::kCannotTell;
    std::memset(whole.data() + 22, 0, 4);
    return av_crc(table, 0, whole.data(), whole.size()) == stored ? JoinFit::kHolds
                                                                  : JoinFit::kBreaks;
  }
  // The CRC runs over the page's bytes in order: up to the cut it is the same for every
  // candidate of that cut, and is taken once; each candidate adds only its bytes past the cut.
  thread_local std::unordered_map<uint64_t, uint32_t> crcToCut;
  thread_local std::vector<unsigned char> bytes;
  constexpr size_t kMaxCached = 4096;
  const uint64_t key = JoinPrefixKey(joined, at, cut);
  auto found = crcToCut.find(key);
  if (found == crcToCut.end()) {
    if (crcToCut.size() >= kMaxCached) crcToCut.clear();
    bytes.resize(static_cast<size_t>(cut - at));
    if (joined.Read(at, bytes.data(), cut - at) < cut - at) return JoinFit::kCannotTell;
    std::memset(bytes.data() + 22, 0, 4);
    found = crcToCut.emplace(key, av_crc(table, 0, bytes.data(), bytes.size())).first;
  }
  const long long past = at + length - cut;
  bytes.resize(static_cast<size_t>(past));
  if (joined.Read(cut, bytes.data(), past) < past) return JoinFit::kCannotTell;
  return av_crc(table, found->second, bytes.data(), bytes.size()) == stored ? JoinFit::kHolds
                                                                            : JoinFit::kBreaks;
}

}  // namespace salvor
