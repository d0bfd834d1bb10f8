// MPEG audio (MP3, MP2) and ADTS AAC: frames follow each other back to back, each header
// giving the next one's place. A frame chain that stops while frames of the same stream go on
// a little further is a break; one that stops for good is the end. AAC frames are decoded; MP3
// frames are not (decoding runs at a few MB/s): their side information must instead place each
// frame's main data inside the bit reservoir, which a frame from elsewhere rarely does.

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "validate/Formats.h"
#include "validate/MediaCommon.h"

namespace salvor {

namespace {

using media::Be32;

struct Frame {
  int length = 0;  // bytes, header included
  int sampleRate = 0;
  int channels = 0;
  int layer = 0;     // MPEG audio: 1-3
  int version = 0;   // MPEG audio: 1, 2, or 25 for 2.5
  int sideInfo = 0;  // Layer III: bytes from the frame's start to its main data
  bool crc = false;  // a CRC follows the header
  unsigned key = 0;  // what every frame of one stream shares
};

// An MPEG audio frame header at `p` (4 bytes), or length 0.
Frame MpegAudioFrame(const unsigned char* p) {
  Frame frame;
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return frame;
  const int versionBits = (p[1] >> 3) & 3, layerBits = (p[1] >> 1) & 3;
  const int bitrateIndex = p[2] >> 4, rateIndex = (p[2] >> 2) & 3, padding = (p[2] >> 1) & 1;
  if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
      rateIndex == 3)
    return frame;  // reserved values, or free format (no length in the header)
  static const int kRates[3] = {44100, 48000, 32000};
  static const int kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  const bool mpeg1 = versionBits == 3;
  frame.version = mpeg1 ? 1 : versionBits == 2 ? 2 : 25;
  frame.layer = 4 - layerBits;
  frame.sampleRate = kRates[rateIndex] >> (mpeg1 ? 0 : versionBits == 2 ? 1 : 2);
  const int bitrate = kBitrates[mpeg1 ? 0 : 1][frame.layer - 1][bitrateIndex] * 1000;
  if (frame.layer == 1)
    frame.length = (12 * bitrate / frame.sampleRate + padding) * 4;
  else
    frame.length = (frame.layer == 3 && !mpeg1 ? 72 : 144) * bitrate / frame.sampleRate + padding;
  const bool mono = (p[3] >> 6) == 3;
  frame.channels = mono ? 1 : 2;
  frame.crc = (p[1] & 1) == 0;
  if (frame.layer == 3)
    frame.sideInfo = (frame.crc ? 6 : 4) + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
  frame.key = (p[1] & 0xFE) << 8 | (p[2] & 0x0C) | (mono ? 1 : 0);
  return frame;
}

// An ADTS header at `p` (7 bytes), or length 0.
Frame AdtsFrame(const unsigned char* p) {
  Frame frame;
  if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return frame;  // sync, layer 0
  const int rateIndex = (p[2] >> 2) & 0xF;
  static const int kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                 22050, 16000, 12000, 11025, 8000,  7350};
  if (rateIndex >= 13) return frame;
  const int length = (p[3] & 3) << 11 | p[4] << 3 | p[5] >> 5;
  const int header = (p[1] & 1) != 0 ? 7 : 9;
  if (length <= header) return frame;
  frame.length = length;
  frame.sampleRate = kRates[rateIndex];
  frame.channels = ((p[2] & 1) << 2 | p[3] >> 6);
  frame.key = (p[1] & 0x09) << 16 | (p[2] & 0xFD) << 8 | (p[3] & 0xC0);
  return frame;
}

struct Family {
  int headerSize;
  Frame (*parse)(const unsigned char*);
  bool decode;
};

constexpr Family kMpegAudio = {4, MpegAudioFrame, false};
constexpr Family kAdts = {7, AdtsFrame, true};

// The Layer III bit reservoir: where each frame's main data lies in the stream of all frames'
// main data areas. A frame's data begins `main_data_begin` bytes before its own area, after
// the previous frame's data, and ends inside its own area.
class Reservoir {
 public:
  // False when the frame's side information cannot be right.
  bool Add(const Frame& frame, const unsigned char* side) {
    const bool mpeg1 = frame.version == 1;
    Bits bits{side, 0};
    const int begin = static_cast<int>(bits.Take(mpeg1 ? 9 : 8));
    bits.Skip(mpeg1 ? (frame.channels == 1 ? 5 : 3) + 4 * frame.channels
                    : (frame.channels == 1 ? 1 : 2));
    long long used = 0;
    for (int g = 0, granules = (mpeg1 ? 2 : 1) * frame.channels; g < granules; ++g) {
      used += bits.Take(12);
      bits.Skip(mpeg1 ? 59 - 12 : 63 - 12);
    }
    const long long dataStart = FAvailable - begin;
    FAvailable += frame.length - frame.sideInfo;
    const long long dataEnd = dataStart + (used + 7) / 8;
    if (dataStart < FUsed || dataEnd > FAvailable) return false;
    FUsed = dataEnd;
    return true;
  }

 private:
  struct Bits {
    const unsigned char* data;
    int at;
    unsigned Take(int n) {
      unsigned v = 0;
      for (int i = 0; i < n; ++i, ++at) v = v << 1 | ((data[at >> 3] >> (7 - (at & 7))) & 1);
      return v;
    }
    void Skip(int n) { at += n; }
  };
  long long FAvailable = 0;  // main data bytes of the frames so far
  long long FUsed = 0;       // where the last frame's data ended
};

Frame ReadFrame(media::WindowReader& bytes, long long at, const Family& family) {
  unsigned char head[8];
  if (!bytes.ReadAll(at, head, family.headerSize)) return Frame();
  return family.parse(head);
}

// Whether `count` frames of the stream `key` follow each other from `at`.
bool ChainsFrom(media::WindowReader& bytes, long long at, const Family& family, unsigned key,
                int count) {
  for (int i = 0; i < count; ++i) {
    const Frame frame = ReadFrame(bytes, at, family);
    if (frame.length == 0 || frame.key != key) return false;
    at += frame.length;
  }
  return true;
}

// Where frames of the same stream resume after a break at `at`, or -1.
long long Resumes(media::WindowReader& bytes, long long at, const Family& family, unsigned key) {
  constexpr long long kLook = 1024 * 1024;
  std::vector<unsigned char> window(kLook);
  const long long got = bytes.Read(at, window.data(), kLook);
  for (long long i = 1; i + family.headerSize <= got; ++i) {
    const void* found = std::memchr(&window[i], 0xFF, static_cast<size_t>(got - i));
    if (found == nullptr) break;
    i = static_cast<const unsigned char*>(found) - window.data();
    if (ChainsFrom(bytes, at + i, family, key, 4)) return at + i;
  }
  return -1;
}

// ID3v2 tags at the start (several may follow each other).
long long SkipId3v2(media::WindowReader& bytes) {
  long long at = 0;
  unsigned char head[10];
  while (bytes.ReadAll(at, head, 10) && std::memcmp(head, "ID3", 3) == 0 &&
         ((head[6] | head[7] | head[8] | head[9]) & 0x80) == 0) {
    const long long size =
        static_cast<long long>(head[6]) << 21 | head[7] << 14 | head[8] << 7 | head[9];
    at += 10 + size + ((head[5] & 0x10) != 0 ? 10 : 0);
  }
  return at;
}

// Tags after the last frame: ID3v1, APE, Lyrics3 v2, in any order. Returns their end.
long long SkipTrailingTags(media::WindowReader& bytes, long long at) {
  for (;;) {
    unsigned char head[32];
    const long long got = bytes.Read(at, head, sizeof head);
    if (got >= 3 && std::memcmp(head, "TAG", 3) == 0 && at + 128 <= bytes.Size()) {
      at += 128;
    } else if (got == 32 && std::memcmp(head, "APETAGEX", 8) == 0) {
      // Header and footer look alike; the size counts the items and the footer.
      const long long size = media::Le32(head + 12);
      const bool isHeader = (head[23] & 0x20) != 0;
      at += isHeader ? 32 + size : 32;
    } else if (got >= 11 && std::memcmp(head, "LYRICSBEGIN", 11) == 0) {
      // The size (6 digits) comes after the fields, just before "LYRICS200".
      constexpr long long kMaxLyrics = 1024 * 1024;
      std::vector<unsigned char> tail(kMaxLyrics);
      const long long n = bytes.Read(at, tail.data(), kMaxLyrics);
      const unsigned char* end = std::search(
          tail.data(), tail.data() + n, reinterpret_cast<const unsigned char*>("LYRICS200"),
          reinterpret_cast<const unsigned char*>("LYRICS200") + 9);
      if (end == tail.data() + n) return at;
      at += (end - tail.data()) + 9;
    } else {
      return at;
    }
  }
}

// Frames a VBR header (Xing/Info or VBRI, in the first frame) says the file holds, or 0.
long long HeaderFrameCount(media::WindowReader& bytes, long long at, const Frame& frame) {
  if (frame.layer != 3) return 0;
  unsigned char body[64];
  const long long got = bytes.Read(at, body, sizeof body);
  const int xing = frame.sideInfo;
  if (xing + 12 <= got &&
      (std::memcmp(body + xing, "Xing", 4) == 0 || std::memcmp(body + xing, "Info", 4) == 0) &&
      (body[xing + 7] & 1) != 0)
    return Be32(body + xing + 8) + 1;  // the header's own frame is not counted
  if (4 + 32 + 18 <= got && std::memcmp(body + 36, "VBRI", 4) == 0) return Be32(body + 36 + 14) + 1;
  return 0;
}

Validation ValidateFrames(ByteSpan& span, const Family& family, int codecId) {
  media::WindowReader bytes(span);
  const long long size = bytes.Size();
  const long long start = SkipId3v2(bytes);
  if (start > size) return Validation::Damaged(0, size, "cut short in its tag");
  const Frame first = ReadFrame(bytes, start, family);
  if (first.length == 0)
    return Validation::Damaged(start, std::min(start + family.headerSize, size), "no audio frame");
  media::Decoder decoder;
  if (family.decode && !decoder.Open(codecId, first.sampleRate, first.channels))
    return Validation::CannotTell();
  const long long expected = family.decode ? 0 : HeaderFrameCount(bytes, start, first);
  Reservoir reservoir;
  std::vector<unsigned char> buffer;
  // Frames are proven by their headers (and side information); decoded ones whole.
  long long at = start, frames = 0, verified = start;
  for (;;) {
    const Frame frame = ReadFrame(bytes, at, family);
    if (frame.length == 0 || frame.key != first.key) break;
    verified = at + family.headerSize;
    if (at + frame.length > size) return Validation::Damaged(verified, size, "cut short");
    if (family.decode) {
      buffer.assign(static_cast<size_t>(frame.length) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
      bytes.ReadAll(at, buffer.data(), frame.length);
      if (!decoder.Decode(buffer.data(), frame.length))
        return Validation::Damaged(at, at + frame.length, "audio does not decode");
      verified = at + frame.length;
    } else if (frame.layer == 3) {
      unsigned char side[40];
      bytes.ReadAll(at, side, frame.sideInfo);
      if (!reservoir.Add(frame, side + (frame.crc ? 6 : 4)))
        return Validation::Damaged(
            at, at + frame.sideInfo,
            frames == 0 ? "begins mid-stream" : "main data outside the bit reservoir");
      verified = at + frame.sideInfo;
    }
    at += frame.length;
    if (++frames == expected) break;
  }
  if (expected > 0 && frames < expected) {
    if (at == size) return Validation::Damaged(verified, size, "cut short");
    return Validation::Damaged(verified, std::min(at + family.headerSize, size),
                               "frames do not chain");
  }
  if (at == size) return Validation::Intact(at);
  unsigned char sync = 0;
  if (size - at < family.headerSize && bytes.ReadAll(at, &sync, 1) && sync == 0xFF)
    return Validation::Damaged(verified, size, "cut short in a frame header");
  const long long end = SkipTrailingTags(bytes, at);
  if (end > size) return Validation::Damaged(verified, size, "cut short in a tag");
  if (end == at && Resumes(bytes, at, family, first.key) >= 0)
    return Validation::Damaged(verified, std::min(at + family.headerSize, size),
                               "frames do not chain");
  return Validation::Intact(end);
}

}  // namespace

Validation ValidateMpegAudio(ByteSpan& span) {
  unsigned char head[4] = {};
  media::WindowReader bytes(span);
  const long long start = SkipId3v2(bytes);
  bytes.Read(start, head, 4);
  const Frame frame = MpegAudioFrame(head);
  // Free format: the header gives no length, so the frames cannot be followed.
  if (frame.length == 0 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && (head[2] >> 4) == 0)
    return Validation::CannotTell();
  const int codec = frame.layer == 1   ? AV_CODEC_ID_MP1
                    : frame.layer == 2 ? AV_CODEC_ID_MP2
                                       : AV_CODEC_ID_MP3;
  return ValidateFrames(span, kMpegAudio, codec);
}

Validation ValidateAdts(ByteSpan& bytes) {
  return ValidateFrames(bytes, kAdts, AV_CODEC_ID_AAC);
}

}  // namespace salvor
