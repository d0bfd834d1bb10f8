// MPEG audio (MP1/MP2/MP3) and ADTS AAC: chains of frames, each header giving the frame's
// length, with ID3v2 in front and APE / ID3v1 tags behind.

#include <cstring>

#include "modules/audio/AudioFormats.h"
#include "modules/common/HeadRead.h"

namespace salvor {
namespace audio {
namespace {

// Frames that must chain before a stream without a tag in front is believed: the 11-bit sync
// is common in random and compressed data.
constexpr int kMinBareFrames = 6;
constexpr int kMinTaggedFrames = 2;
constexpr long long kMaxPaddingAfterId3 = 64 * 1024;
constexpr long long kMaxApeTagSize = 16 * 1024 * 1024;
constexpr int kId3v1Size = 128;
constexpr int kApeHeaderSize = 32;
constexpr long long kMaxTagTail = 3;

struct MpegFrame {
  int version;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  int layer;    // 1, 2 or 3
  int sampleRateIndex;
  int channelMode;
  int length;
};

const int kBitrates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 layer I
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2 layer II/III
};
const int kSampleRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

bool ParseMpegFrame(const uint8_t* p, MpegFrame* frame) {
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  int version = (p[1] >> 3) & 3;
  int layerBits = (p[1] >> 1) & 3;
  int bitrateIndex = p[2] >> 4;
  int sampleRateIndex = (p[2] >> 2) & 3;
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
      sampleRateIndex == 3 || (p[3] & 3) == 2)
    return false;
  int layer = 4 - layerBits;
  int table = version == 3 ? layer - 1 : (layer == 1 ? 3 : 4);
  long long bitrate = kBitrates[table][bitrateIndex] * 1000LL;
  long long sampleRate = kSampleRates[version][sampleRateIndex];
  int padding = (p[2] >> 1) & 1;
  long long length;
  if (layer == 1) {
    length = (12 * bitrate / sampleRate + padding) * 4;
  } else if (layer == 3 && version != 3) {
    length = 72 * bitrate / sampleRate + padding;
  } else {
    length = 144 * bitrate / sampleRate + padding;
  }
  frame->version = version;
  frame->layer = layer;
  frame->sampleRateIndex = sampleRateIndex;
  frame->channelMode = p[3] >> 6;
  frame->length = static_cast<int>(length);
  return length >= 4;
}

bool SameStream(const MpegFrame& a, const MpegFrame& b) {
  return a.version == b.version && a.layer == b.layer && a.sampleRateIndex == b.sampleRateIndex &&
         (a.channelMode == 3) == (b.channelMode == 3);
}

// Where the Xing/Info tag of an encoder's info frame would be, or -1 for layers without one.
long long InfoTagOffset(long long position, const MpegFrame& frame) {
  if (frame.layer != 3) return -1;
  bool mono = frame.channelMode == 3;
  int side = frame.version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  return position + 4 + side;
}

bool HasInfoTag(CStreamReader& reader, long long position, const MpegFrame& frame) {
  long long at = InfoTagOffset(position, frame);
  const uint8_t* p = at < 0 ? nullptr : reader.Peek(at, 4);
  return p != nullptr && (memcmp(p, "Xing", 4) == 0 || memcmp(p, "Info", 4) == 0);
}

// The byte count of an info frame (the whole frame chain, this frame included), or -1.
long long XingByteCount(CStreamReader& reader, long long position, const MpegFrame& frame) {
  if (!HasInfoTag(reader, position, frame)) return -1;
  const uint8_t* p = reader.Peek(InfoTagOffset(position, frame), 16);
  if (p == nullptr) return -1;
  uint32_t flags = LoadBE32(p + 4);
  if (!(flags & 2)) return -1;
  return LoadBE32(p + ((flags & 1) ? 12 : 8));
}

struct AdtsFrame {
  uint8_t fixed[3];  // ID, profile, sampling rate, channel configuration
  int length;
};

bool ParseAdtsFrame(const uint8_t* p, AdtsFrame* frame) {
  if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
  int sampleRateIndex = (p[2] >> 2) & 0xF;
  if (sampleRateIndex >= 13) return false;
  int length = (p[3] & 3) << 11 | p[4] << 3 | p[5] >> 5;
  int header = (p[1] & 1) ? 7 : 9;
  if (length <= header) return false;
  frame->fixed[0] = p[1] & 0xF8;
  frame->fixed[1] = p[2] & 0xFD;  // all but the private bit
  frame->fixed[2] = p[3] & 0xC0;
  frame->length = length;
  return true;
}

// Common walk over a chain of self-sized frames: `parse` fills the length of the frame at a
// position and says whether it continues the stream begun by the first frame.
template <class Parse>
long long FollowFrames(CStreamReader& reader, long long from, long long limit, Parse parse,
                       int* frames, Extent* extent) {
  long long position = from;
  *frames = 0;
  while (true) {
    const uint8_t* p = reader.Peek(position, 8);
    int length = 0;
    if (p == nullptr) {
      extent->offSource = position < reader.Size();
      break;
    }
    if (!parse(p, position, &length)) break;
    long long next = position + length;
    if (next > reader.Size()) {
      extent->offSource = true;
      break;
    }
    if (next > limit) {
      extent->pastLimit = true;
      break;
    }
    position = next;
    ++*frames;
  }
  return position;
}

bool FinishChain(CStreamReader& reader, long long position, long long limit, Extent* extent) {
  extent->end = SkipTrailingTags(reader, position, limit);
  extent->complete = !extent->offSource && !extent->pastLimit;
  extent->endsAtChainStop = true;
  return true;
}

}  // namespace

long long Id3v2Size(CStreamReader& reader, long long position) {
  const uint8_t* p = reader.Peek(position, 10);
  if (p == nullptr || memcmp(p, "ID3", 3) != 0) return 0;
  uint8_t major = p[3], flags = p[5];
  if (major < 2 || major > 4 || p[4] == 0xFF) return 0;
  uint8_t unknownFlags = major == 2 ? 0x3F : major == 3 ? 0x1F : 0x0F;
  if (flags & unknownFlags) return 0;
  if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
  long long size = static_cast<long long>(p[6]) << 21 | p[7] << 14 | p[8] << 7 | p[9];
  return 10 + size + ((major == 4 && (flags & 0x10)) ? 10 : 0);
}

long long SkipTrailingTags(CStreamReader& reader, long long position, long long limit) {
  for (int tags = 0; tags < 3; ++tags) {
    const uint8_t* p = reader.Peek(position, kApeHeaderSize);
    if (p != nullptr && memcmp(p, "APETAGEX", 8) == 0) {
      uint32_t version = LoadLE32(p + 8), size = LoadLE32(p + 12), flags = LoadLE32(p + 20);
      bool isHeader = flags & (1u << 29);
      if ((version == 1000 || version == 2000) && isHeader && size >= kApeHeaderSize &&
          size <= kMaxApeTagSize && reader.Contains(position, kApeHeaderSize + size) &&
          position + kApeHeaderSize + size <= limit) {
        position += kApeHeaderSize + size;
        continue;
      }
    }
    p = reader.Peek(position, kId3v1Size);
    if (p != nullptr && memcmp(p, "TAG", 3) == 0 && position + kId3v1Size <= limit) {
      position += kId3v1Size;
      continue;
    }
    break;
  }
  return position;
}

bool FollowMpegAudio(CStreamReader& reader, long long from, bool tagged, long long limit,
                     Extent* extent) {
  const uint8_t* p = reader.Peek(from, 4);
  MpegFrame first;
  if (p == nullptr || !ParseMpegFrame(p, &first)) return false;
  long long xingBytes = XingByteCount(reader, from, first);
  int frames = 0;
  int lastLength = 0;
  long long position = FollowFrames(
      reader, from, limit,
      [&](const uint8_t* h, long long at, int* length) {
        MpegFrame frame;
        if (!ParseMpegFrame(h, &frame) || !SameStream(first, frame)) return false;
        // An encoder's info frame opens the next file, written right behind this one.
        if (at != from && HasInfoTag(reader, at, frame)) return false;
        *length = lastLength = frame.length;
        return true;
      },
      &frames, extent);
  bool reachedEnd = extent->offSource || extent->pastLimit;
  if (frames < (tagged ? kMinTaggedFrames : kMinBareFrames) && !(tagged && reachedEnd))
    return false;
  static const char* const kNames[] = {"", "mp1", "mp2", "mp3"};
  extent->extension = kNames[first.layer];
  FinishChain(reader, position, limit, extent);
  // The encoder's own count of the chain tells a cut file from a whole one; the last frame of a
  // cut chain may be only the head of one, with other data behind it.
  if (xingBytes > 0 && position - from < xingBytes) {
    extent->complete = false;
    if (!reachedEnd && frames > 1) extent->end = position - lastLength;
  }
  return true;
}

bool FollowAdts(CStreamReader& reader, long long from, bool tagged, long long limit,
                Extent* extent) {
  const uint8_t* p = reader.Peek(from, 7);
  AdtsFrame first;
  if (p == nullptr || !ParseAdtsFrame(p, &first)) return false;
  int frames = 0;
  long long position = FollowFrames(
      reader, from, limit,
      [&](const uint8_t* h, long long, int* length) {
        AdtsFrame frame;
        if (!ParseAdtsFrame(h, &frame) || memcmp(frame.fixed, first.fixed, 3) != 0) return false;
        *length = frame.length;
        return true;
      },
      &frames, extent);
  bool reachedEnd = extent->offSource || extent->pastLimit;
  if (frames < (tagged ? kMinTaggedFrames : kMinBareFrames) && !(tagged && reachedEnd))
    return false;
  extent->extension = "aac";
  return FinishChain(reader, position, limit, extent);
}

bool MayStartFile(const uint8_t* b, size_t available) {
  if (available < kProbeBytes) return false;
  switch (b[0]) {
    case 'I':
      return b[1] == 'D' && b[2] == '3' && b[3] >= 2 && b[3] <= 4 &&
             ((b[6] | b[7] | b[8] | b[9]) & 0x80) == 0;
    case 'f':
      return b[1] == 'L' && b[2] == 'a' && b[3] == 'C' && (b[4] & 0x7F) == 0 && b[7] == 34;
    case 'O':
      return b[1] == 'g' && b[2] == 'g' && b[3] == 'S' && b[4] == 0 && (b[5] & 0x02);
    case 0xFF: {
      // Erased flash reads as 0xFF: only a whole valid frame header goes further.
      MpegFrame mpeg;
      AdtsFrame adts;
      return ParseMpegFrame(b, &mpeg) || ParseAdtsFrame(b, &adts);
    }
    default:
      return false;
  }
}

bool NextFrameFollows(CDataStream* stream, long long position, const uint8_t* head) {
  if (head[0] != 0xFF) return true;
  MpegFrame mpeg, nextMpeg;
  AdtsFrame adts, nextAdts;
  uint8_t next[8];
  if (ParseMpegFrame(head, &mpeg)) {
    return ReadAt(stream, position + mpeg.length, next, sizeof next) == sizeof next &&
           ParseMpegFrame(next, &nextMpeg) && SameStream(mpeg, nextMpeg);
  }
  if (ParseAdtsFrame(head, &adts)) {
    return ReadAt(stream, position + adts.length, next, sizeof next) == sizeof next &&
           ParseAdtsFrame(next, &nextAdts) && memcmp(adts.fixed, nextAdts.fixed, 3) == 0;
  }
  return false;
}

bool FollowFile(CStreamReader& reader, long long limit, Extent* extent) {
  const uint8_t* p = reader.Peek(0, 4);
  if (p == nullptr) return false;
  if (memcmp(p, "OggS", 4) == 0) return FollowOgg(reader, limit, extent);
  long long position = 0;
  bool tagged = false;
  for (int tags = 0; tags < 4; ++tags) {
    long long size = Id3v2Size(reader, position);
    if (size == 0) break;
    position += size;
    tagged = true;
  }
  if (tagged) {
    // Some taggers leave zero padding beyond the size they declare.
    long long paddingEnd = position + kMaxPaddingAfterId3;
    while (position < paddingEnd) {
      uint8_t b;
      if (!reader.U8(position, &b) || b != 0) break;
      ++position;
    }
  }
  p = reader.Peek(position, 4);
  if (p == nullptr) {
    if (!tagged || reader.Size() - position > kMaxTagTail) return false;
    // The data ends right behind the tag: an MP3 cut short after its tag.
    extent->extension = "mp3";
    extent->end = reader.Size();
    extent->offSource = true;
    extent->endsAtChainStop = true;
    return true;
  }
  if (memcmp(p, "fLaC", 4) == 0) return FollowFlac(reader, position, limit, extent);
  if (p[0] != 0xFF) return false;
  if ((p[1] & 0xF6) == 0xF0) return FollowAdts(reader, position, tagged, limit, extent);
  return FollowMpegAudio(reader, position, tagged, limit, extent);
}

}  // namespace audio
}  // namespace salvor
