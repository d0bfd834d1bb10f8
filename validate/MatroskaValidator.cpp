// Matroska and WebM (mkv, mka, webm): the EBML header, then one Segment whose top-level elements
// chain by their sizes to its end, or, for a Segment of unknown size (live recordings), up to the
// last one that is whole. Elements that carry a CRC-32 are checked by it; every block must belong
// to a declared track and its lace sizes must add up; each frame is checked by its codec (NAL and
// OBU chains, VP8/VP9 headers, audio decoded). The seek index and the cues must point at what
// they name.

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include <zlib.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "validate/Formats.h"
#include "validate/MediaCommon.h"
#include "validate/Spans.h"

namespace salvor {

namespace {

constexpr uint32_t kEbmlId = 0x1A45DFA3;
constexpr uint32_t kDocTypeId = 0x4282;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kSeekHeadId = 0x114D9B74;
constexpr uint32_t kSeekId = 0x4DBB;
constexpr uint32_t kSeekIdId = 0x53AB;
constexpr uint32_t kSeekPositionId = 0x53AC;
constexpr uint32_t kInfoId = 0x1549A966;
constexpr uint32_t kTracksId = 0x1654AE6B;
constexpr uint32_t kTrackEntryId = 0xAE;
constexpr uint32_t kTrackNumberId = 0xD7;
constexpr uint32_t kContentEncodingsId = 0x6D80;
constexpr uint32_t kClusterId = 0x1F43B675;
constexpr uint32_t kTimestampId = 0xE7;
constexpr uint32_t kSimpleBlockId = 0xA3;
constexpr uint32_t kBlockGroupId = 0xA0;
constexpr uint32_t kBlockId = 0xA1;
constexpr uint32_t kCuesId = 0x1C53BB6B;
constexpr uint32_t kCuePointId = 0xBB;
constexpr uint32_t kCueTrackPositionsId = 0xB7;
constexpr uint32_t kCueTrackId = 0xF7;
constexpr uint32_t kCueClusterPositionId = 0xF1;
constexpr uint32_t kCueRelativePositionId = 0xF0;
constexpr uint32_t kVoidId = 0xEC;
constexpr uint32_t kCrc32Id = 0xBF;

constexpr long long kMaxEbmlHeader = 4096;
// Track entries and segment information of these sizes hold any real file's; larger ones are
// not handed to libavformat (the track's frames are then checked by their structure only), nor
// are the tracks after the first few.
constexpr long long kMaxTrackEntry = 1024 * 1024;
constexpr long long kMaxInfo = 64 * 1024;
constexpr size_t kMaxTrackCount = 4096;
constexpr size_t kMaxCheckedTracks = 32;
constexpr size_t kMaxIndexes = 64;
constexpr long long kChunk = 64 * 1024;

bool TopLevel(uint32_t id) {
  switch (id) {
    case kSeekHeadId:
    case kInfoId:
    case kTracksId:
    case kClusterId:
    case kCuesId:
    case 0x1254C367:  // Tags
    case 0x1043A770:  // Chapters
    case 0x1941A469:  // Attachments
    case kVoidId:
    case kCrc32Id:
      return true;
    default:
      return false;
  }
}

bool ClusterChild(uint32_t id) {
  switch (id) {
    case kTimestampId:
    case 0x5854:  // SilentTracks
    case 0xA7:    // Position
    case 0xAB:    // PrevSize
    case kSimpleBlockId:
    case kBlockGroupId:
    case 0xAF:  // EncryptedBlock
    case kVoidId:
    case kCrc32Id:
      return true;
    default:
      return false;
  }
}

bool BlockGroupChild(uint32_t id) {
  switch (id) {
    case kBlockId:
    case 0xA2:    // BlockVirtual
    case 0x75A1:  // BlockAdditions
    case 0x9B:    // BlockDuration
    case 0xFA:    // ReferencePriority
    case 0xFB:    // ReferenceBlock
    case 0xFD:    // ReferenceVirtual
    case 0xA4:    // CodecState
    case 0x75A2:  // DiscardPadding
    case 0x8E:    // Slices
    case 0xC8:    // ReferenceFrame
    case kVoidId:
    case kCrc32Id:
      return true;
    default:
      return false;
  }
}

struct Element {
  long long at = 0;
  uint32_t id = 0;
  long long header = 0;  // ID and size; when not whole, the bytes read to find that out
  long long size = 0;    // of the content; -1 when unknown
  long long Data() const { return at + header; }
  long long End() const { return at + header + size; }
  bool Unknown() const { return size < 0; }
};

enum class Header { kWhole, kShort, kBad };

// The length of a variable-length number from its first byte: 1 to 8, 0 when it is zero.
int VintLength(unsigned first) {
  return first == 0 ? 0 : __builtin_clz(first) - 23;
}

// An element header at `at`: an ID of 1 to 4 bytes and a size of 1 to 8, both variable-length.
Header ReadHeader(ByteSpan& bytes, long long at, Element* element) {
  unsigned char head[12];
  const long long got = bytes.Read(at, head, sizeof head);
  element->at = at;
  element->header = 1;
  if (got < 1) return Header::kShort;
  const int idLength = VintLength(head[0]);
  if (idLength == 0 || idLength > 4) return Header::kBad;
  if (got <= idLength) return Header::kShort;
  uint32_t id = 0;
  for (int i = 0; i < idLength; ++i) id = id << 8 | head[i];
  element->header = idLength;
  const uint32_t valueBits = (1u << (7 * idLength)) - 1;
  if ((id & valueBits) == valueBits) return Header::kBad;  // reserved
  const unsigned first = head[idLength];
  element->header = idLength + 1;
  const int sizeLength = VintLength(first);
  if (sizeLength == 0) return Header::kBad;
  if (got < idLength + sizeLength) return Header::kShort;
  unsigned long long size = first & (0xFFu >> sizeLength);
  bool ones = size == (0xFFu >> sizeLength);
  for (int i = 1; i < sizeLength; ++i) {
    size = size << 8 | head[idLength + i];
    ones = ones && head[idLength + i] == 0xFF;
  }
  element->id = id;
  element->header = idLength + sizeLength;
  element->size = ones ? -1 : static_cast<long long>(size);  // below 2^56: no overflow
  return Header::kWhole;
}

// Codecs whose frames Matroska stores other than their decoder takes them (libavformat rebuilds
// WavPack block headers, deinterleaves RealAudio): a block's bytes cannot be decoded as they are.
bool Reframed(int codec) {
  return codec == AV_CODEC_ID_WAVPACK || codec == AV_CODEC_ID_COOK || codec == AV_CODEC_ID_ATRAC3 ||
         codec == AV_CODEC_ID_SIPR || codec == AV_CODEC_ID_RA_288;
}

struct Track {
  unsigned long long number = 0;
  bool encoded = false;  // compressed or encrypted: the frames are not what the codec wrote
  Element entry;
  std::unique_ptr<media::SampleChecker> checker;
};

enum class Crc { kNone, kMatches, kDiffers };

class MatroskaWalk {
 public:
  explicit MatroskaWalk(ByteSpan& bytes) : FBytes(bytes), FReader(bytes), FSize(bytes.Size()) {}
  Validation Run();

 private:
  bool Walk(long long* end);
  // Records the first failure and returns false. The break lies after what was proven (and
  // after FFloor, the start of an element whose CRC-32 says it was changed).
  bool Fail(long long damagedAt, const char* reason) {
    damagedAt = std::min(damagedAt, FSize);
    FFailure = Validation::Damaged(std::min({FVerified, FFloor, damagedAt}), damagedAt, reason);
    return false;
  }
  bool Cut() { return Fail(FSize, "cut short"); }
  void Prove(long long until) { FVerified = std::max(FVerified, until); }

  template <typename Visit>
  bool Children(const Element& parent, Visit visit);
  bool ReadEbmlHeader();
  Crc CheckCrc(const Element& element);
  bool CheckMaster(const Element& element);
  bool ReadTracks(const Element& element);
  void MakeCheckers();
  Track* FindTrack(unsigned long long number);
  bool WalkCluster(const Element& cluster, long long limit, long long* end);
  bool CheckBlock(long long from, long long to);
  Track* BlockTrack(const unsigned char* head, long long got, int* length);
  bool OfTrack(const Element& block);
  bool CheckIndexes(long long end);
  bool CheckSeek(const Element& seek, long long end);
  bool CheckCue(const Element& point, long long end);
  bool ClustersResume(long long at);
  int Byte(long long at) {
    unsigned char b = 0;
    return FReader.Read(at, &b, 1) == 1 ? b : -1;
  }
  unsigned long long Unsigned(const Element& element);

  ByteSpan& FBytes;
  media::WindowReader FReader;
  const long long FSize;
  std::vector<unsigned char> FBuffer;
  Validation FFailure;
  long long FVerified = 0;
  long long FFloor = LLONG_MAX;
  long long FEbmlEnd = 0, FSegmentData = 0;
  Element FInfo;
  bool FHaveInfo = false, FHaveTracks = false, FCheckersMade = false;
  // The CRC-32 of the cluster walked: one it proves needs no codec checks; one it disproves
  // gets those that keep no state (a decoder started there would miss what came before).
  Crc FClusterCrc = Crc::kNone;
  bool FChecked = false;  // some bytes were checked by more than their structure
  unsigned long long FClusterTime = 0;
  std::vector<Track> FTrackList;
  std::unordered_map<unsigned long long, size_t> FTrackIndex;  // number -> place in the list
  std::vector<Element> FIndexes;  // seek heads and cues, checked once the file's end is known
  std::vector<std::pair<long long, long long>> FFrames;
};

// Walks the children of `parent`, each a whole element inside it, calling visit(child).
template <typename Visit>
bool MatroskaWalk::Children(const Element& parent, Visit visit) {
  for (long long at = parent.Data(); at < parent.End();) {
    Element child;
    const Header header = ReadHeader(FReader, at, &child);
    if (header == Header::kShort)
      return parent.End() > FSize ? Cut() : Fail(parent.End(), "element runs past its parent");
    if (header == Header::kBad) return Fail(at + child.header, "bad element header");
    if (child.Unknown() || child.End() > parent.End())
      return Fail(child.Data(), "element runs past its parent");
    if (child.End() > FSize) return Cut();
    Prove(child.Data());
    if (!visit(child)) return false;
    at = child.End();
  }
  return true;
}

unsigned long long MatroskaWalk::Unsigned(const Element& element) {
  unsigned char value[8] = {};
  const long long length = std::min(element.size, 8LL);
  FReader.Read(element.Data(), value, length);
  unsigned long long number = 0;
  for (long long i = 0; i < length; ++i) number = number << 8 | value[i];
  return number;
}

bool MatroskaWalk::ReadEbmlHeader() {
  Element ebml;
  if (ReadHeader(FReader, 0, &ebml) != Header::kWhole || ebml.id != kEbmlId)
    return Fail(std::min(FSize, 4LL), "no EBML header");
  if (ebml.Unknown() || ebml.size > kMaxEbmlHeader) return Fail(ebml.Data(), "bad EBML header");
  bool matroska = false;
  const bool whole = Children(ebml, [&](const Element& child) {
    if (child.id != kDocTypeId || child.size > 16) return true;
    char type[17] = {};
    FReader.Read(child.Data(), type, child.size);
    matroska = std::strcmp(type, "matroska") == 0 || std::strcmp(type, "webm") == 0;
    return true;
  });
  if (!whole) return false;
  if (!matroska) return Fail(ebml.End(), "not a Matroska document");
  FEbmlEnd = ebml.End();
  FVerified = FEbmlEnd;
  return true;
}

Crc MatroskaWalk::CheckCrc(const Element& element) {
  // A CRC-32 element first among the children covers all the others.
  unsigned char head[6];
  if (element.Unknown() || element.size < 6 || element.End() > FSize ||
      !FReader.ReadAll(element.Data(), head, 6) || head[0] != kCrc32Id || head[1] != 0x84)
    return Crc::kNone;
  // zlib's CRC-32 is this one, and several times faster than a plain table.
  uLong crc = crc32(0, nullptr, 0);
  FBuffer.resize(kChunk);
  for (long long at = element.Data() + 6; at < element.End();) {
    const long long length = std::min(kChunk, element.End() - at);
    if (FBytes.Read(at, FBuffer.data(), length) < length) return Crc::kNone;
    crc = crc32(crc, FBuffer.data(), static_cast<uInt>(length));
    at += length;
  }
  return crc == media::Le32(head + 2) ? Crc::kMatches : Crc::kDiffers;
}

// A top-level element other than a cluster or the tracks: its CRC-32 if it has one, else its
// children must chain to its end.
bool MatroskaWalk::CheckMaster(const Element& element) {
  if (element.End() > FSize) return Cut();
  switch (CheckCrc(element)) {
    case Crc::kMatches:
      Prove(element.End());
      return true;
    case Crc::kDiffers:
      FFloor = element.Data();
      return Fail(element.End(), "CRC mismatch");
    case Crc::kNone:
      break;
  }
  return Children(element, [](const Element&) { return true; });
}

bool MatroskaWalk::ReadTracks(const Element& element) {
  if (!CheckMaster(element)) return false;
  FHaveTracks = true;
  return Children(element, [&](const Element& entry) {
    if (entry.id != kTrackEntryId) return true;
    Track track;
    track.entry = entry;
    const bool whole = Children(entry, [&](const Element& field) {
      if (field.id == kTrackNumberId && field.size >= 1 && field.size <= 8)
        track.number = Unsigned(field);
      if (field.id == kContentEncodingsId) track.encoded = true;
      return true;
    });
    if (!whole) return false;
    if (track.number == 0 || FindTrack(track.number) != nullptr ||
        FTrackList.size() >= kMaxTrackCount)
      return Fail(entry.End(), "bad track number");
    FTrackIndex.emplace(track.number, FTrackList.size());
    FTrackList.push_back(std::move(track));
    return true;
  });
}

Track* MatroskaWalk::FindTrack(unsigned long long number) {
  const auto found = FTrackIndex.find(number);
  return found == FTrackIndex.end() ? nullptr : &FTrackList[found->second];
}

// libavformat reads each track's codec setup from a copy of the file's headers with that track
// alone (EBML header, a Segment of unknown size, the segment information, a track list of the
// one entry, an empty cluster): it reads nothing else, allocates no more than those hold, and
// the stream it makes is that track's.
void MatroskaWalk::MakeCheckers() {
  FCheckersMade = true;
  std::vector<unsigned char> header;
  auto copy = [&](long long from, long long to) {
    const size_t at = header.size();
    header.resize(at + static_cast<size_t>(to - from));
    return FBytes.Read(from, header.data() + at, to - from) == to - from;
  };
  const unsigned char segment[] = {0x18, 0x53, 0x80, 0x67, 0x01, 0xFF,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const unsigned char cluster[] = {0x1F, 0x43, 0xB6, 0x75, 0x80};
  for (size_t i = 0; i < FTrackList.size() && i < kMaxCheckedTracks; ++i) {
    Track& track = FTrackList[i];
    const long long entrySize = track.entry.End() - track.entry.at;
    if (track.encoded || entrySize > kMaxTrackEntry) continue;
    header.clear();
    if (!copy(0, FEbmlEnd)) return;
    header.insert(header.end(), segment, segment + sizeof segment);
    if (FHaveInfo && FInfo.End() - FInfo.at <= kMaxInfo && !copy(FInfo.at, FInfo.End())) return;
    const unsigned char tracks[] = {0x16,
                                    0x54,
                                    0xAE,
                                    0x6B,
                                    0x10,
                                    static_cast<unsigned char>(entrySize >> 16),
                                    static_cast<unsigned char>(entrySize >> 8),
                                    static_cast<unsigned char>(entrySize)};
    header.insert(header.end(), tracks, tracks + sizeof tracks);
    if (!copy(track.entry.at, track.entry.End())) return;
    header.insert(header.end(), cluster, cluster + sizeof cluster);
    MemorySpan span(header);
    media::Demuxer demuxer;
    if (demuxer.Open(span, "matroska") && demuxer.Context()->nb_streams == 1 &&
        !Reframed(demuxer.Context()->streams[0]->codecpar->codec_id))
      track.checker =
          std::make_unique<media::SampleChecker>(demuxer.Context()->streams[0]->codecpar);
    if (track.checker != nullptr && !track.checker->Checks()) track.checker.reset();
  }
}

// A SimpleBlock's or Block's content in [from, to): track number, time code, flags, lace sizes,
// then the frames.
bool MatroskaWalk::CheckBlock(long long from, long long to) {
  unsigned char head[11];
  const long long want = std::min<long long>(sizeof head, to - from);
  if (FReader.Read(from, head, want) < want) return Cut();
  int numberLength = 0;
  Track* track = BlockTrack(head, want, &numberLength);
  if (numberLength == 0 || numberLength + 3 > want)
    return Fail(from + std::min(want, 1LL), "bad block header");
  if (track == nullptr) return Fail(from + numberLength, "block of an undeclared track");
  const int lacing = (head[numberLength + 2] >> 1) & 3;
  long long at = from + numberLength + 3;
  FFrames.clear();
  if (lacing == 0) {
    FFrames.emplace_back(at, to - at);
  } else {
    if (at >= to) return Fail(to, "lace header past the block");
    const int count = Byte(at++) + 1;
    if (count == 0) return Cut();
    long long total = 0, previous = 0;
    for (int i = 0; i + 1 < count; ++i) {
      long long length = 0;
      if (lacing == 1) {  // Xiph: bytes of 255 and a last one below
        for (int b = 255; b == 255; length += b) {
          if (at >= to) return Fail(to, "lace header past the block");
          b = Byte(at++);
          if (b < 0) return Cut();
        }
      } else if (lacing == 3) {  // EBML: the first size, then signed differences
        const int first = Byte(at);
        if (first < 0) return Cut();
        const int bytes = VintLength(static_cast<unsigned>(first));
        if (bytes == 0 || at + bytes > to) return Fail(std::min(at + 1, to), "bad lace size");
        unsigned long long value = static_cast<unsigned>(first) & (0xFFu >> bytes);
        for (int b = 1; b < bytes; ++b) {
          const int next = Byte(at + b);
          if (next < 0) return Cut();
          value = value << 8 | static_cast<unsigned>(next);
        }
        at += bytes;
        const long long bias = i == 0 ? 0 : (1LL << (7 * bytes - 1)) - 1;
        length = (i == 0 ? 0 : previous) + static_cast<long long>(value) - bias;
        previous = length;
      } else {
        break;  // fixed: all the same size, worked out below
      }
      if (length < 0 || total + length > to - at) return Fail(at, "lace sizes do not add up");
      total += length;
      FFrames.emplace_back(0, length);
    }
    const long long rest = to - at - total;
    if (lacing == 2) {
      if (rest % count != 0) return Fail(at, "lace sizes do not add up");
      FFrames.assign(static_cast<size_t>(count), {0, rest / count});
    } else {
      if (rest < 1) return Fail(at, "lace sizes do not add up");
      FFrames.emplace_back(0, rest);
    }
    for (auto& frame : FFrames) {
      frame.first = at;
      at += frame.second;
    }
  }
  Prove(FFrames.front().first);
  media::SampleChecker* checker = track->checker.get();
  if (checker == nullptr || FClusterCrc == Crc::kMatches ||
      (FClusterCrc == Crc::kDiffers && checker->Decodes()))
    return to <= FSize || Cut();
  for (const auto& [position, length] : FFrames) {
    if (length == 0) continue;
    const media::SampleResult result = checker->Check(FReader, position, length);
    Prove(result.verifiedUntil);
    if (result.badAt >= 0) return Fail(result.badAt, result.reason);
    FChecked = true;
  }
  return true;
}

// The declared track a block's first bytes (`got` of them) name, or null; `length` is that of
// the track number (0 when there is none).
Track* MatroskaWalk::BlockTrack(const unsigned char* head, long long got, int* length) {
  *length = got > 0 ? VintLength(head[0]) : 0;
  if (*length > got) *length = 0;
  if (*length == 0) return nullptr;
  unsigned long long number = head[0] & (0xFFu >> *length);
  for (int i = 1; i < *length; ++i) number = number << 8 | head[i];
  return FindTrack(number);
}

bool MatroskaWalk::OfTrack(const Element& block) {
  unsigned char head[8];
  int length = 0;
  return BlockTrack(head, FReader.Read(block.Data(), head, std::min(block.size, 8LL)), &length) !=
         nullptr;
}

// Walks a cluster's children from its start up to `limit` (its end, or for a cluster of
// unknown size the Segment's); `end` is where the cluster ended.
bool MatroskaWalk::WalkCluster(const Element& cluster, long long limit, long long* end) {
  if (!FHaveTracks) return Fail(cluster.Data(), "cluster before the tracks");
  if (!FCheckersMade) MakeCheckers();
  const bool sized = !cluster.Unknown();
  if (sized) limit = cluster.End();
  FClusterCrc = CheckCrc(cluster);
  if (FClusterCrc == Crc::kDiffers) FFloor = cluster.Data();
  long long at = cluster.Data();
  while (at < limit) {
    if (at >= FSize) {
      if (limit == LLONG_MAX) break;  // a live recording's last cluster
      return Cut();
    }
    Element child;
    const Header header = ReadHeader(FReader, at, &child);
    if (header == Header::kShort) return Cut();
    if (header == Header::kBad || !ClusterChild(child.id)) {
      if (!sized) break;  // the next top-level element, or the end of a live recording
      return Fail(at + child.header, "not an element of a cluster");
    }
    // What follows a live recording may begin like a block; one of no track ends it.
    if (!sized && child.id == kSimpleBlockId && !OfTrack(child)) break;
    if (child.Unknown() || child.End() > limit)
      return Fail(child.Data(), "element runs past its cluster");
    Prove(child.Data());
    if (child.id == kSimpleBlockId) {
      if (!CheckBlock(child.Data(), child.End())) return false;
    } else if (child.id == kBlockGroupId) {
      bool block = false;
      const bool whole = Children(child, [&](const Element& part) {
        if (!BlockGroupChild(part.id)) return Fail(part.Data(), "not an element of a block group");
        if (part.id != kBlockId) return true;
        if (block) return Fail(part.Data(), "two blocks in a group");
        block = true;
        return CheckBlock(part.Data(), part.End());
      });
      if (!whole) return false;
      if (!block) return Fail(child.End(), "block group without a block");
    } else if (child.End() > FSize) {
      return Cut();
    } else if (child.id == kTimestampId && child.size >= 1 && child.size <= 8) {
      // Clusters follow each other in time: one that goes back is another recording's.
      const unsigned long long time = Unsigned(child);
      if (time < FClusterTime) {
        FFloor = cluster.at;
        return Fail(child.End(), "cluster times run backwards");
      }
      FClusterTime = time;
    }
    at = child.End();
  }
  if (FClusterCrc == Crc::kDiffers) return Fail(cluster.End(), "CRC mismatch");
  if (FClusterCrc == Crc::kMatches) {
    Prove(cluster.End());
    FChecked = true;
  }
  FClusterCrc = Crc::kNone;
  *end = at;
  return true;
}

bool MatroskaWalk::CheckSeek(const Element& seek, long long end) {
  uint32_t id = 0;
  long long target = -1;
  const bool whole = Children(seek, [&](const Element& field) {
    if (field.id == kSeekIdId && field.size >= 1 && field.size <= 4)
      id = static_cast<uint32_t>(Unsigned(field));
    if (field.id == kSeekPositionId && field.size >= 1 && field.size <= 8)
      target = FSegmentData + static_cast<long long>(std::min(Unsigned(field), 1ULL << 56));
    return true;
  });
  if (!whole) return false;
  Element named;
  FFloor = seek.at;
  if (target >= end) return Fail(end + 1, "seek entry points past the end");
  if (target < FSegmentData || ReadHeader(FBytes, target, &named) != Header::kWhole ||
      named.id != id)
    return Fail(seek.End(), "seek entry points at no such element");
  FFloor = LLONG_MAX;
  return true;
}

bool MatroskaWalk::CheckCue(const Element& point, long long end) {
  return Children(point, [&](const Element& positions) {
    if (positions.id != kCueTrackPositionsId) return true;
    unsigned long long track = 0;
    long long cluster = -1, relative = -1;
    const bool whole = Children(positions, [&](const Element& field) {
      const bool number = field.size >= 1 && field.size <= 8;
      const long long value = static_cast<long long>(std::min(Unsigned(field), 1ULL << 56));
      if (field.id == kCueTrackId && number) track = Unsigned(field);
      if (field.id == kCueClusterPositionId && number) cluster = FSegmentData + value;
      if (field.id == kCueRelativePositionId && number) relative = value;
      return true;
    });
    if (!whole) return false;
    FFloor = point.at;
    if (cluster >= end) return Fail(end + 1, "cue points past the end");
    Element named, block;
    if (cluster < FSegmentData || FindTrack(track) == nullptr ||
        ReadHeader(FBytes, cluster, &named) != Header::kWhole || named.id != kClusterId ||
        (relative >= 0 && (ReadHeader(FBytes, named.Data() + relative, &block) != Header::kWhole ||
                           (block.id != kSimpleBlockId && block.id != kBlockGroupId))))
      return Fail(point.End(), "cue points at no cluster");
    FFloor = LLONG_MAX;
    return true;
  });
}

// Seek entries must name the elements where they point, cues a cluster (and a block in it).
bool MatroskaWalk::CheckIndexes(long long end) {
  for (const Element& index : FIndexes) {
    const bool whole = Children(index, [&](const Element& entry) {
      if (index.id == kSeekHeadId && entry.id == kSeekId) return CheckSeek(entry, end);
      if (index.id == kCuesId && entry.id == kCuePointId) return CheckCue(entry, end);
      return true;
    });
    if (!whole) return false;
  }
  return true;
}

// Whether a cluster begins shortly after `at` (before any other file's EBML header): the
// elements of a live recording stopped at a break, not at its end.
bool MatroskaWalk::ClustersResume(long long at) {
  FBuffer.resize(kChunk);
  const long long got = FBytes.Read(at, FBuffer.data(), kChunk);
  for (long long i = 0; i + 4 <= got; ++i) {
    const uint32_t id = media::Be32(FBuffer.data() + i);
    if (id == kEbmlId) return false;
    if (id == kClusterId) return true;
  }
  return false;
}

Validation MatroskaWalk::Run() {
  long long end = 0;
  if (!Walk(&end) || !CheckIndexes(end)) return FFailure;
  return FChecked ? Validation::Intact(end) : Validation::CannotTell();
}

// The EBML header, the Segment and its top-level elements; `end` is where the file ends.
bool MatroskaWalk::Walk(long long* end) {
  if (!ReadEbmlHeader()) return false;
  Element segment;
  const Header header = ReadHeader(FReader, FEbmlEnd, &segment);
  if (header == Header::kShort) return Cut();
  if (header != Header::kWhole || segment.id != kSegmentId)
    return Fail(FEbmlEnd + segment.header, "no segment");
  FSegmentData = segment.Data();
  Prove(FSegmentData);
  const bool live = segment.Unknown();
  const long long limit = live ? LLONG_MAX : segment.End();
  long long at = FSegmentData;
  *end = live ? FSegmentData : limit;
  while (at < limit && at < FSize) {
    Element element;
    const Header read = ReadHeader(FReader, at, &element);
    const bool padding = element.id == kVoidId || element.id == kCrc32Id;
    if (read != Header::kWhole || !TopLevel(element.id) ||
        (element.Unknown() && element.id != kClusterId) ||
        (live && padding && element.End() > FSize)) {
      if (live) break;  // the recording ends where its elements do
      if (read == Header::kShort) return Cut();
      return Fail(at + element.header, "not a top-level element");
    }
    if (!element.Unknown() && element.End() > limit)
      return Fail(element.Data(), "element runs past the segment");
    Prove(element.Data());
    long long next = element.End();
    bool whole = true;
    if (element.id == kClusterId) {
      whole = WalkCluster(element, limit, &next);
    } else if (padding) {
      whole = element.End() <= FSize || Cut();
    } else if (element.id == kTracksId && !FHaveTracks) {
      whole = ReadTracks(element);
    } else {
      whole = CheckMaster(element);
      if (element.id == kInfoId && !FHaveInfo) {
        FInfo = element;
        FHaveInfo = true;
      }
      if ((element.id == kSeekHeadId || element.id == kCuesId) && FIndexes.size() < kMaxIndexes)
        FIndexes.push_back(element);
    }
    if (!whole) return false;
    at = next;
    if (live && !padding) *end = at;
  }
  if (!live) return at == limit || Cut();
  if (at < FSize && ClustersResume(at)) return Fail(at + 1, "clusters do not chain");
  return true;
}

}  // namespace

JoinFit CheckMatroskaJoin(ByteSpan& joined, long long, long long cut) {
  constexpr int kMaxElements = 1 << 16;
  Element element;
  if (ReadHeader(joined, 0, &element) != Header::kWhole || element.id != kEbmlId ||
      element.Unknown() || ReadHeader(joined, element.End(), &element) != Header::kWhole ||
      element.id != kSegmentId)
    return JoinFit::kCannotTell;
  const long long segmentEnd = element.Unknown() ? LLONG_MAX : element.End();
  long long clusterEnd = -1;  // of the cluster the walk is in
  int past = 0;               // headers the cut reaches into or lies before, all fitting
  // Element by element through the segment and into the cluster the cut falls in: the first
  // few headers the cut reaches into, or that follow it, must belong there.
  for (long long at = element.Data(), n = 0;
       n < kMaxElements && at < segmentEnd && (past == 0 || at <= cut + kJoinHeaderReach); ++n) {
    const Header header = ReadHeader(joined, at, &element);
    if (header == Header::kShort) break;
    const bool inCluster = at < clusterEnd;
    const bool top = TopLevel(element.id);
    const long long parentEnd = inCluster && !top ? clusterEnd : segmentEnd;
    const bool fits = header == Header::kWhole &&
                      (top || (inCluster && ClusterChild(element.id))) &&
                      (element.Unknown() || element.End() <= parentEnd);
    if (at + element.header > cut) {
      if (!fits) return JoinFit::kBreaks;
      if (++past == kJoinHeaders) return JoinFit::kHolds;
    } else if (!fits) {
      return JoinFit::kCannotTell;  // before the cut: the validator places it
    }
    if (element.id == kClusterId) {
      clusterEnd = element.Unknown() ? segmentEnd : element.End();
      at = element.Data();
      continue;
    }
    if (element.Unknown() || element.End() > cut + kJoinReach) break;
    at = element.End();
  }
  return past > 0 ? JoinFit::kHolds : JoinFit::kCannotTell;
}

Validation ValidateMatroska(ByteSpan& bytes) {
  media::SilenceLibav();
  return MatroskaWalk(bytes).Run();
}

}  // namespace salvor
