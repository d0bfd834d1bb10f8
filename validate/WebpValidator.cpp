// WebP: a RIFF walk checks the container (the RIFF size against the chunks and the bytes
// there, the extended format's frames against the canvas), and libwebp's incremental decoder
// decodes every image in it (the still image, or each animation frame, with its alpha), fed
// in small pieces so that a complaint is placed within one of them. Both bitstreams decode
// nearly any bits without complaint; what gives foreign data away is that it runs out before
// the image is done, or that the image is done before its chunk is: an encoder fills the
// chunk to the last few bytes. Nothing here proves bytes belong: goodUntil stays 0.

#include <webp/decode.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "validate/Formats.h"

namespace salvor {
namespace {

// The decoder is handed an image this much at a time, and the last kTail bytes on their own:
// it must not be done before it has them (encoders leave at most a few unread).
constexpr size_t kPiece = 4 * 1024;
constexpr size_t kTail = 16;
// One image's compressed data is held whole while it decodes.
constexpr uint32_t kMaxImageData = 256u << 20;
// A lossless image decodes into a whole ARGB buffer, 4 bytes a pixel.
constexpr uint64_t kMaxLosslessPixels = 64u << 20;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint32_t Le24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16;
}
bool IsTag(const uint8_t* p, const char* tag) {
  return std::memcmp(p, tag, 4) == 0;
}

struct Outcome {
  enum Kind { kGood, kDamaged, kCannotTell } kind = kGood;
  long long at = 0;
  const char* reason = "";
};

class RiffWalk {
 public:
  explicit RiffWalk(ByteSpan& bytes) : bytes_(bytes), size_(bytes.Size()) {}
  Validation Run();

 private:
  // A chunk header at `at`: false (with the outcome set) when it cannot be one.
  bool Chunk(long long at, long long end, uint8_t tag[4], uint32_t* length);
  bool Fail(long long at, const char* reason) {
    outcome_ = {Outcome::kDamaged, std::min(at, size_), reason};
    return false;
  }
  // Decodes the image whose chunks (ALPH, then the VP8 or VP8L chunk at `image`) lie in
  // [from, to); it must be `width` x `height` when those are given.
  bool Image(long long from, long long image, long long to, uint32_t width, uint32_t height);
  // The chunks of an ANMF frame in [from, to): its image, after its ALPH chunk if any.
  bool Frame(long long from, long long to, uint32_t width, uint32_t height);

  ByteSpan& bytes_;
  const long long size_;
  Outcome outcome_;
};

bool RiffWalk::Chunk(long long at, long long end, uint8_t tag[4], uint32_t* length) {
  uint8_t header[8];
  const long long got = bytes_.Read(at, header, 8);
  if (got < 8 && at + got >= size_) return Fail(size_, "cut short");
  if (got < 8) return Fail(at + got, "unreadable");
  if (at + 8 > end) return Fail(end, "chunk runs past the RIFF end");
  for (int k = 0; k < 4; ++k)
    if (header[k] < 0x20 || header[k] > 0x7E) return Fail(at + k, "chunk tag is not text");
  std::memcpy(tag, header, 4);
  *length = Le32(header + 4);
  if (*length > end - at - 8) return Fail(std::min(end, size_), "chunk runs past the RIFF end");
  return true;
}

bool RiffWalk::Image(long long from, long long image, long long to, uint32_t width,
                     uint32_t height) {
  // What is there of it: a chunk size claims nothing the span does not hold.
  const long long there = std::min(to, size_);
  if (there - from > kMaxImageData) {
    outcome_ = {Outcome::kCannotTell};
    return false;
  }
  std::vector<uint8_t> data(static_cast<size_t>(std::max(0LL, there - from)));
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) {
    outcome_ = {Outcome::kCannotTell};
    return false;
  }
  // The first piece has the headers: the image's size and kind.
  size_t have = static_cast<size_t>(
      std::max(0LL, bytes_.Read(from, data.data(), std::min<long long>(kPiece, there - from))));
  const VP8StatusCode features = WebPGetFeatures(data.data(), have, &config.input);
  if (features == VP8_STATUS_NOT_ENOUGH_DATA && from + static_cast<long long>(have) >= size_)
    return Fail(size_, "cut short");
  // Where the bitstream's header (10 bytes lossy, 5 lossless) ends.
  const long long header = image + 8 + 10;
  if (features != VP8_STATUS_OK) return Fail(header, "image header does not decode");
  const WebPBitstreamFeatures& input = config.input;
  if (width != 0 && (static_cast<uint32_t>(input.width) != width ||
                     static_cast<uint32_t>(input.height) != height))
    return Fail(header, "image size differs from its frame's");
  if (input.has_animation ||
      (input.format == 2 && uint64_t(input.width) * input.height > kMaxLosslessPixels)) {
    outcome_ = {Outcome::kCannotTell};
    return false;
  }
  // Every bit is decoded, but only a thumbnail's worth is output.
  config.options.bypass_filtering = 1;
  config.options.no_fancy_upsampling = 1;
  config.options.use_scaling = 1;
  config.options.scaled_width = std::max(1, input.width / 8);
  config.options.scaled_height = std::max(1, input.height / 8);
  config.output.colorspace = MODE_RGBA;
  std::unique_ptr<WebPIDecoder, void (*)(WebPIDecoder*)> decoder(WebPIDecode(nullptr, 0, &config),
                                                                 WebPIDelete);
  if (!decoder) {
    outcome_ = {Outcome::kCannotTell};
    return false;
  }
  const size_t tail = data.size() - std::min(kTail, data.size());
  VP8StatusCode status = VP8_STATUS_SUSPENDED;
  for (;;) {
    status = WebPIUpdate(decoder.get(), data.data(), have);
    if (status != VP8_STATUS_SUSPENDED || have == data.size()) break;
    const size_t want = have < tail ? std::min(kPiece, tail - have) : data.size() - have;
    const long long got = bytes_.Read(from + static_cast<long long>(have), data.data() + have,
                                      static_cast<long long>(want));
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  decoder.reset();
  WebPFreeDecBuffer(&config.output);
  const long long reached = from + static_cast<long long>(have);
  switch (status) {
    case VP8_STATUS_OK:
      if (have < data.size()) return Fail(reached, "image done before its chunk ends");
      return true;
    case VP8_STATUS_SUSPENDED:
      if (reached >= size_) return Fail(size_, "cut short");
      return Fail(reached, reached < to ? "unreadable" : "image data ends early");
    case VP8_STATUS_BITSTREAM_ERROR:
    case VP8_STATUS_NOT_ENOUGH_DATA:
      return Fail(reached, "image data does not decode");
    default:
      outcome_ = {Outcome::kCannotTell};
      return false;
  }
}

bool RiffWalk::Frame(long long from, long long to, uint32_t width, uint32_t height) {
  long long alpha = -1;
  for (long long at = from; at < to;) {
    uint8_t tag[4];
    uint32_t length = 0;
    if (!Chunk(at, to, tag, &length)) return false;
    const long long next = std::min(at + 8 + length + (length & 1), to);
    if (IsTag(tag, "ALPH") && alpha < 0) alpha = at;
    if (IsTag(tag, "VP8 ") || IsTag(tag, "VP8L"))
      return Image(IsTag(tag, "VP8 ") && alpha >= 0 ? alpha : at, at, next, width, height);
    at = next;
  }
  return Fail(to, "frame without an image");
}

Validation RiffWalk::Run() {
  uint8_t head[16] = {};
  const long long got = bytes_.Read(0, head, 12);
  if (got < 12) {
    Fail(got, got < size_ ? "unreadable" : "cut short");
  } else if (!IsTag(head, "RIFF") || !IsTag(head + 8, "WEBP")) {
    const char* expected = "RIFF....WEBP";
    int at = 0;
    while (at < 12 && (at / 4 == 1 || head[at] == expected[at])) ++at;
    Fail(at, "not a RIFF WEBP file");
  } else if (Le32(head + 4) < 4 + 8) {
    Fail(4, "RIFF size too small");
  } else {
    const long long end = 8 + static_cast<long long>(Le32(head + 4));
    uint32_t canvasWidth = 0, canvasHeight = 0;
    bool animated = false, image = false;
    long long alpha = -1, at = 12;
    while (at < end) {
      uint8_t tag[4];
      uint32_t length = 0;
      if (!Chunk(at, end, tag, &length)) break;
      const long long next = std::min(at + 8 + length + (length & 1), end);
      const bool still = IsTag(tag, "VP8 ") || IsTag(tag, "VP8L") || IsTag(tag, "ALPH");
      if (at == 12 && IsTag(tag, "VP8X")) {
        if (length < 10 || bytes_.Read(at + 8, head, 10) != 10) {
          Fail(at + 18, "VP8X chunk too short");
          break;
        }
        animated = (head[0] & 0x02) != 0;
        canvasWidth = Le24(head + 4) + 1;
        canvasHeight = Le24(head + 7) + 1;
      } else if (IsTag(tag, "ANMF") || still) {
        if (image && !animated) {
          Fail(at + 4, "a second image");
          break;
        }
        if (animated != IsTag(tag, "ANMF")) {
          Fail(at + 4, "image chunk out of place");
          break;
        }
        if (IsTag(tag, "ANMF")) {
          uint8_t frame[16];
          if (length < 16 || bytes_.Read(at + 8, frame, 16) != 16) {
            Fail(at + 24, "ANMF chunk too short");
            break;
          }
          const uint32_t x = 2 * Le24(frame), y = 2 * Le24(frame + 3);
          const uint32_t w = Le24(frame + 6) + 1, h = Le24(frame + 9) + 1;
          if (x + w > canvasWidth || y + h > canvasHeight) {
            Fail(at + 20, "animation frame outside the canvas");
            break;
          }
          if (!Frame(at + 24, next, w, h)) break;
          image = true;
        } else if (IsTag(tag, "ALPH")) {
          if (alpha < 0) alpha = at;
        } else {
          // A still image, after its ALPH chunk if it has one; the canvas is its size.
          const long long from = IsTag(tag, "VP8 ") && alpha >= 0 ? alpha : at;
          if (!Image(from, at, next, canvasWidth, canvasHeight)) break;
          image = true;
        }
      }
      at = next;
    }
    if (outcome_.kind == Outcome::kGood) {
      if (end > size_) return Validation::Damaged(0, size_, "cut short");
      if (!image) return Validation::Damaged(0, end, "no image");
      return Validation::Intact(end);
    }
  }
  if (outcome_.kind == Outcome::kCannotTell) return Validation::CannotTell();
  return Validation::Damaged(0, outcome_.at, outcome_.reason);
}

}  // namespace

Validation ValidateWebp(ByteSpan& bytes) {
  return RiffWalk(bytes).Run();
}

}  // namespace salvor
