#pragma once

// What the audio and video validators share: libavformat reading a span, and the check of one
// sample (a frame's bytes at a known place) by its codec.

#include <cstdint>
#include <memory>
#include <vector>

#include "validate/Validator.h"

struct AVCodecContext;
struct AVCodecParameters;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;

namespace salvor {
namespace media {

inline uint32_t Be16(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 8 | p[1];
}
inline uint32_t Be32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint64_t Be64(const unsigned char* p) {
  return static_cast<uint64_t>(Be32(p)) << 32 | Be32(p + 4);
}
inline uint32_t Le16(const unsigned char* p) {
  return static_cast<uint32_t>(p[1]) << 8 | p[0];
}
inline uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// True when all `length` bytes at `offset` were read.
inline bool ReadAll(ByteSpan& bytes, long long offset, void* buffer, long long length) {
  return bytes.Read(offset, buffer, length) == length;
}

// Reads a span front to back through a window, for walks that take a few bytes at a time (and
// for sample checks along such a walk).
class WindowReader : public ByteSpan {
 public:
  explicit WindowReader(ByteSpan& bytes) : FBytes(bytes) {}
  long long Size() const override { return FBytes.Size(); }
  // As ByteSpan::Read; lengths up to the window's size are served from it.
  long long Read(long long offset, void* buffer, long long length) override;
  bool ReadAll(long long offset, void* buffer, long long length) {
    return Read(offset, buffer, length) == length;
  }

 private:
  static constexpr long long kWindow = 64 * 1024;
  ByteSpan& FBytes;
  std::vector<unsigned char> FData;
  long long FStart = 0;
};

// The largest single block libav may allocate once SilenceLibav has run.
constexpr size_t kMaxLibavBlock = 64 << 20;

// libav writes nothing to stderr and allocates no block over kMaxLibavBlock from here on (once
// per process, thread-safe).
void SilenceLibav();

// The macroblock (column, row) the H.264 decoder last gave up on in this thread since the last
// call, if any; forgets it.
bool TakeMacroblockError(int& x, int& y);

// A libavformat demuxer over a span, opened without probing and without reading packets.
class Demuxer {
 public:
  Demuxer() = default;
  Demuxer(const Demuxer&) = delete;
  Demuxer& operator=(const Demuxer&) = delete;
  ~Demuxer();
  // `format` is libavformat's short name ("mov", "avi", "matroska"); `options` are its own
  // ("key=value" pairs). False when the demuxer refuses the header.
  bool Open(ByteSpan& bytes, const char* format,
            const std::vector<std::pair<const char*, const char*>>& options = {});
  AVFormatContext* Context() const { return FContext; }

 private:
  static int ReadPacket(void* opaque, uint8_t* buffer, int size);
  static int64_t Seek(void* opaque, int64_t offset, int whence);

  ByteSpan* FBytes = nullptr;
  long long FPosition = 0;
  AVIOContext* FIo = nullptr;
  AVFormatContext* FContext = nullptr;
};

// A libavcodec decoder fed one packet at a time, strict about errors. Video is decoded fast
// rather than exactly (no loop filter): only whether every slice decodes matters.
class Decoder {
 public:
  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder();
  // False when the codec has no decoder here or refuses its parameters.
  bool Open(const AVCodecParameters* codec);
  bool Open(int codecId, int sampleRate, int channels);
  // False when the decoder complains about the packet. The caller keeps
  // AV_INPUT_BUFFER_PADDING_SIZE zeros after the bytes: every decoder may read that far.
  bool Decode(const unsigned char* data, int size);
  // As Decode, for a demuxer's packet (null: the end of the stream); also false when a picture
  // it completes is marked damaged.
  bool Decode(const AVPacket* packet);

 private:
  bool Start(AVCodecContext* context);
  AVCodecContext* FContext = nullptr;
  AVPacket* FPacket = nullptr;
  AVFrame* FFrame = nullptr;
};

// How far a sample's check got: bytes up to `verifiedUntil` were proven to fit (0: none of the
// sample's); `badAt` (-1 when none) is the end of the first bytes seen not to fit.
struct SampleResult {
  long long verifiedUntil = 0;
  long long badAt = -1;
  const char* reason = nullptr;
};

// Checks the samples of one track by its codec: H.264/HEVC NAL chains (length-prefixed) or
// start codes, AV1 OBU chains, VP8/VP9 frame headers (and VP9 superframe indexes), Motion JPEG
// markers, audio decoded whole. Video is never decoded: only its headers are read.
class SampleChecker {
 public:
  // A null codec checks nothing.
  explicit SampleChecker(const AVCodecParameters* codec);
  SampleChecker(const SampleChecker&) = delete;
  SampleChecker& operator=(const SampleChecker&) = delete;

  // Whether this track's bytes are checked at all (raw PCM, unknown codecs: no).
  bool Checks() const { return FKind != Kind::kNone; }
  // Whether the check keeps state from sample to sample (audio decoded): such a track's
  // samples must be checked in order from its first, none skipped.
  bool Decodes() const { return FKind == Kind::kAudio; }
  SampleResult Check(ByteSpan& bytes, long long position, long long size);

 private:
  enum class Kind { kNone, kLengthPrefixed, kAnnexB, kJpeg, kAudio, kAv1, kVp8, kVp9 };
  SampleResult CheckNals(ByteSpan& bytes, long long position, long long size);
  SampleResult CheckObus(ByteSpan& bytes, long long position, long long size);
  SampleResult CheckVp8(ByteSpan& bytes, long long position, long long size);
  SampleResult CheckVp9(ByteSpan& bytes, long long position, long long size);
  SampleResult CheckAnnexB(ByteSpan& bytes, long long position, long long size);
  SampleResult CheckJpeg(ByteSpan& bytes, long long position, long long size);
  SampleResult Decode(ByteSpan& bytes, long long position, long long size);
  bool PlausibleNal(const unsigned char* header) const;

  Kind FKind = Kind::kNone;
  bool FHevc = false;
  int FLengthSize = 4;
  std::unique_ptr<Decoder> FAudio;
  std::vector<unsigned char> FBuffer;
};

// Whether a NAL unit header is one an encoder writes (forbidden bit clear, a defined type).
bool PlausibleAvcNal(unsigned char header);
bool PlausibleHevcNal(const unsigned char* header);

// Validation for a failed sample check, given what was proven before it.
Validation Failed(long long goodUntil, const SampleResult& result, long long size);

}  // namespace media
}  // namespace salvor
