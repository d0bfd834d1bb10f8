// Matroska family (MKV, MKA, WebM): an EBML header naming the document type, then one Segment
// whose top-level elements are walked to its declared end, or, for a Segment of unknown size
// (live recordings), up to the first thing that is not a top-level element.

#include <climits>
#include <cstring>

#include "modules/common/TextCopy.h"
#include "modules/common/FormatHandler.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace {

constexpr uint32_t kEbmlId = 0x1A45DFA3;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kClusterId = 0x1F43B675;
constexpr uint32_t kTracksId = 0x1654AE6B;
constexpr uint32_t kTrackEntryId = 0xAE;
constexpr uint32_t kTrackTypeId = 0x83;
constexpr uint32_t kVoidId = 0xEC;
constexpr uint32_t kCrc32Id = 0xBF;
constexpr long long kMaxHeaderSize = 4096;
constexpr long long kMaxTracksSize = 1 << 20;

struct Element {
  uint32_t id = 0;
  long long headerLength = 0;
  long long size = 0;  // of the content
  bool unknownSize = false;
};

// Reads an element header (ID and size, both variable-length) at `position`.
bool ReadElement(CStreamReader& reader, long long position, Element* element) {
  uint8_t head[12];
  long long available = reader.Size() - position;
  if (available < 2) return false;
  size_t length = available < 12 ? static_cast<size_t>(available) : 12;
  if (!reader.Read(position, head, length)) return false;
  int idLength = head[0] >= 0x80   ? 1
                 : head[0] >= 0x40 ? 2
                 : head[0] >= 0x20 ? 3
                 : head[0] >= 0x10 ? 4
                                   : 0;
  if (idLength == 0 || static_cast<size_t>(idLength) >= length) return false;
  uint32_t id = 0;
  for (int i = 0; i < idLength; ++i) id = id << 8 | head[i];
  uint8_t first = head[idLength];
  if (first == 0) return false;
  int sizeLength = 1;
  while (!(first & (0x80 >> (sizeLength - 1)))) ++sizeLength;
  if (static_cast<size_t>(idLength + sizeLength) > length) return false;
  uint64_t size = first & (0xFF >> sizeLength);
  bool allOnes = size == (0xFFu >> sizeLength);
  for (int i = 1; i < sizeLength; ++i) {
    uint8_t b = head[idLength + i];
    allOnes = allOnes && b == 0xFF;
    size = size << 8 | b;
  }
  element->id = id;
  element->headerLength = idLength + sizeLength;
  element->unknownSize = allOnes;
  element->size = allOnes ? -1 : static_cast<long long>(size);
  return allOnes || size <= static_cast<uint64_t>(LLONG_MAX / 2);
}

bool IsTopLevel(uint32_t id) {
  switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case kTracksId:
    case kClusterId:
    case 0x1C53BB6B:  // Cues
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

bool IsClusterChild(uint32_t id) {
  switch (id) {
    case 0xE7:    // Timestamp
    case 0xA7:    // Position
    case 0xAB:    // PrevSize
    case 0xA3:    // SimpleBlock
    case 0xA0:    // BlockGroup
    case 0xAF:    // EncryptedBlock
    case 0x5854:  // SilentTracks
    case kVoidId:
    case kCrc32Id:
      return true;
    default:
      return false;
  }
}

enum class DocType { Matroska, WebM };

struct Header {
  DocType docType = DocType::Matroska;
  long long segmentData = 0;  // first byte of the Segment's content
  long long segmentEnd = -1;  // one past the Segment; -1 when its size is unknown
};

// Strict check of the EBML header and the Segment that must follow it.
bool ParseHeader(CStreamReader& reader, Header* header) {
  Element ebml;
  if (!ReadElement(reader, 0, &ebml) || ebml.id != kEbmlId || ebml.unknownSize || ebml.size < 8 ||
      ebml.size > kMaxHeaderSize)
    return false;
  long long end = ebml.headerLength + ebml.size;
  if (!reader.Contains(0, end)) return false;
  bool haveDocType = false;
  for (long long position = ebml.headerLength; position < end;) {
    Element child;
    if (!ReadElement(reader, position, &child) || child.unknownSize) return false;
    long long childEnd = position + child.headerLength + child.size;
    if (childEnd > end) return false;
    long long data = position + child.headerLength;
    switch (child.id) {
      case 0x4282: {  // DocType
        char text[16] = {};
        if (child.size < 4 || child.size > 15 || !reader.Read(data, text, child.size)) return false;
        if (strcmp(text, "matroska") == 0) {
          header->docType = DocType::Matroska;
        } else if (strcmp(text, "webm") == 0) {
          header->docType = DocType::WebM;
        } else {
          return false;
        }
        haveDocType = true;
        break;
      }
      case 0x4286:  // EBMLVersion
      case 0x42F7:  // EBMLReadVersion
      case 0x42F2:  // EBMLMaxIDLength
      case 0x42F3:  // EBMLMaxSizeLength
      case 0x4287:  // DocTypeVersion
      case 0x4285:  // DocTypeReadVersion
        if (child.size > 8) return false;
        break;
      case kVoidId:
      case kCrc32Id:
        break;
      default:
        return false;
    }
    position = childEnd;
  }
  if (!haveDocType) return false;
  Element segment;
  if (!ReadElement(reader, end, &segment) || segment.id != kSegmentId) return false;
  header->segmentData = end + segment.headerLength;
  header->segmentEnd = -1;
  if (!segment.unknownSize && !CheckedAdd(header->segmentData, segment.size, &header->segmentEnd))
    return false;
  return true;
}

struct WalkResult {
  long long end = -1;      // one past the last element that is certainly part of the file
  bool complete = false;   // the structure ended where it says it ends
  bool offSource = false;  // the structure runs past the data available
  bool pastLimit = false;  // the structure goes on beyond the size searched
  bool hasVideo = false;
  bool hasAudio = false;
  bool content = false;  // an element other than padding was walked
};

// Notes the track types of a Tracks element, for naming audio-only files.
void ReadTrackTypes(CStreamReader& reader, long long data, long long end, WalkResult* result) {
  for (long long position = data; position < end;) {
    Element entry;
    if (!ReadElement(reader, position, &entry) || entry.unknownSize) return;
    long long entryEnd = position + entry.headerLength + entry.size;
    if (entryEnd > end) return;
    if (entry.id == kTrackEntryId) {
      for (long long p = position + entry.headerLength; p < entryEnd;) {
        Element field;
        if (!ReadElement(reader, p, &field) || field.unknownSize) break;
        if (field.id == kTrackTypeId && field.size == 1) {
          uint8_t type = 0;
          if (reader.U8(p + field.headerLength, &type)) {
            if (type == 1) result->hasVideo = true;
            if (type == 2) result->hasAudio = true;
          }
        }
        p += field.headerLength + field.size;
      }
    }
    position = entryEnd;
  }
}

// Walks a Cluster of unknown size: its content ends where the next top-level element begins.
// Returns that position, or -1 when the children stop making sense first.
long long WalkOpenCluster(CStreamReader& reader, long long position, long long limit,
                          bool* offSource) {
  while (position < limit) {
    Element child;
    if (!ReadElement(reader, position, &child)) {
      *offSource = reader.Size() - position < 12;
      return position;
    }
    if (IsTopLevel(child.id) && child.id != kVoidId && child.id != kCrc32Id) return position;
    if (!IsClusterChild(child.id) || child.unknownSize) return position;
    long long childEnd;
    if (!CheckedAdd(position + child.headerLength, child.size, &childEnd)) return position;
    if (childEnd > reader.Size()) {
      *offSource = true;
      return position;
    }
    position = childEnd;
  }
  return position;
}

// Walks the Segment's top-level elements from the header on, within `limit` bytes.
WalkResult Walk(CStreamReader& reader, const Header& header, long long limit,
                bool wantTracks = false) {
  WalkResult result;
  long long stop = header.segmentEnd >= 0 ? header.segmentEnd : limit;
  if (stop > limit) stop = limit;
  long long position = header.segmentData;
  result.end = position;
  while (position < stop) {
    Element element;
    if (!ReadElement(reader, position, &element)) {
      result.offSource = reader.Size() - position < 12;
      break;
    }
    if (!IsTopLevel(element.id)) break;
    long long elementEnd;
    if (element.unknownSize) {
      if (element.id != kClusterId) break;
      bool off = false;
      elementEnd = WalkOpenCluster(reader, position + element.headerLength, stop, &off);
      if (off) {
        result.offSource = true;
        break;
      }
      if (elementEnd <= position + element.headerLength) break;
    } else if (!CheckedAdd(position + element.headerLength, element.size, &elementEnd)) {
      break;
    }
    if (header.segmentEnd >= 0 && elementEnd > header.segmentEnd) break;
    if (elementEnd > reader.Size()) {
      result.offSource = true;
      break;
    }
    if (elementEnd > limit) {
      result.pastLimit = true;
      break;
    }
    if (wantTracks && element.id == kTracksId && element.size <= kMaxTracksSize)
      ReadTrackTypes(reader, position + element.headerLength, elementEnd, &result);
    // Padding alone after the last cluster proves nothing about where a file of unknown size
    // ends: random data begins with 0xEC or 0xBF often enough.
    bool padding = element.id == kVoidId || element.id == kCrc32Id;
    position = elementEnd;
    result.content = result.content || !padding;
    if (!padding || header.segmentEnd >= 0) result.end = position;
  }
  if (header.segmentEnd >= 0) {
    result.complete = position == header.segmentEnd && result.end == header.segmentEnd;
    if (header.segmentEnd > reader.Size()) result.offSource = true;
  } else {
    if (position >= limit && limit < reader.Size()) result.pastLimit = true;
    result.complete = !result.offSource && !result.pastLimit && result.end > header.segmentData;
  }
  return result;
}

const HandlerInfo kInfo = {
    "salvor.ebml",
    "video/x-matroska;video/webm;audio/x-matroska;audio/webm",
    "Matroska / WebM video",
    "mkv;webm;mka",
    16777216,  // 16 GiB: recordings and films reach many GiB
    INT_MAX,
};

const Signature kStarts[] = {{"\x1A\x45\xDF\xA3"}};

class CEbmlHandler final : public CFormatHandlerOf<CEbmlHandler> {
 public:
  explicit CEbmlHandler(CPhotoRecovery* engine) : CFormatHandlerOf(engine, kInfo, {4, kStarts}) {}

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CopyText(extension, extensionSize, "");
    CStreamReader reader(file);
    Header header;
    if (!ParseHeader(reader, &header)) return false;
    WalkResult walk = Walk(reader, header, reader.Size(), true);
    const char* name = header.docType == DocType::WebM     ? "webm"
                       : (walk.hasAudio && !walk.hasVideo) ? "mka"
                                                           : "mkv";
    CopyText(extension, extensionSize, name);
    return walk.complete && walk.end == reader.Size();
  }

  bool FindEnd(CDataStream* stream, long long, long long* end) override {
    CStreamReader reader(stream);
    Header header;
    if (!ParseHeader(reader, &header)) return false;
    WalkResult walk = Walk(reader, header, reader.Size());
    if (walk.end <= header.segmentData) return false;
    *end = walk.end;
    return true;
  }

  bool CanStart(const uint8_t* head) const override { return LoadBE32(head) == kEbmlId; }

 protected:
  bool Examine(const Candidate& c, Found* found) override {
    CStreamReader reader(c.stream, c.start);
    Header header;
    if (!ParseHeader(reader, &header)) return false;
    WalkResult walk = Walk(reader, header, MaxSizeBytes());
    // Headers followed by no element of the segment are no file.
    if (!walk.content && !walk.pastLimit) return false;
    if (walk.pastLimit) {
      found->FileBeyondMaxSize(c.start);
    } else {
      found->File(c.start, walk.complete && !walk.offSource ? c.start + walk.end : -1);
    }
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CEbmlHandler)
