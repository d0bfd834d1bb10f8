// PNG and APNG: libspng reads every chunk, checks its CRC and decodes the image row by row
// (memory stays at a few rows); a chunk walk one read ahead of it places the chunks, checks
// the animation's sequence numbers and inflates each frame's fdAT data, which libspng passes
// over (after checking its CRC). Every chunk libspng read past is proven by its CRC.

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "validate/Formats.h"

namespace salvor {
namespace {

bool ChunkLetter(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

constexpr long long kRead = 64 * 1024;
constexpr uint32_t kMaxSide = 1 << 20;
// Decoding time follows the decoded size, which deflate lets a small file claim by the GiB.
constexpr unsigned long long kMaxDecoded = 1ULL << 30;
// What libspng may keep of ancillary chunks (text, profiles, EXIF).
constexpr size_t kMaxKeptChunk = 16 << 20;
constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

bool IsType(const uint8_t* type, const char* name) {
  return std::memcmp(type, name, 4) == 0;
}

// The filtered rows of an image `width` x `height` in IHDR's format: (bytes per row without
// the filter byte, rows) for each interlace pass.
std::vector<std::pair<uint64_t, uint32_t>> Passes(uint32_t width, uint32_t height,
                                                  unsigned bitsPerPixel, bool interlaced) {
  std::vector<std::pair<uint64_t, uint32_t>> passes;
  static const uint32_t kStart[2][7] = {{0, 4, 0, 2, 0, 1, 0}, {0, 0, 4, 0, 2, 0, 1}};
  static const uint32_t kStep[2][7] = {{8, 8, 4, 4, 2, 2, 1}, {8, 8, 8, 4, 4, 2, 2}};
  for (int pass = 0; pass < (interlaced ? 7 : 1); ++pass) {
    const uint32_t w = interlaced ? (width - kStart[0][pass] + kStep[0][pass] - 1) /
                                        kStep[0][pass] * (width > kStart[0][pass])
                                  : width;
    const uint32_t h = interlaced ? (height - kStart[1][pass] + kStep[1][pass] - 1) /
                                        kStep[1][pass] * (height > kStart[1][pass])
                                  : height;
    if (w > 0 && h > 0) passes.emplace_back((uint64_t{w} * bitsPerPixel + 7) / 8, h);
  }
  return passes;
}

// A zlib stream of filtered rows (an animation frame's fdAT data, or the image's IDAT data
// when looking for where it broke), inflated as it arrives: it must decode without error,
// give exactly the rows, each with a known filter type, and end with them.
class ImageStream {
 public:
  ImageStream() = default;
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;
  ~ImageStream() { Close(); }

  bool open() const { return open_; }
  bool ended() const { return ended_; }

  void Start(std::vector<std::pair<uint64_t, uint32_t>> passes) {
    Close();
    std::memset(&stream_, 0, sizeof stream_);
    open_ = inflateInit(&stream_) == Z_OK;
    ended_ = false;
    passes_ = std::move(passes);
    pass_ = 0;
    rows_ = 0;
    left_ = 0;
  }

  void Close() {
    if (open_) inflateEnd(&stream_);
    open_ = false;
  }

  // Inflates `n` more bytes; returns how many of them fit, with `reason` set when not all do.
  size_t Feed(const uint8_t* data, size_t n, const char** reason) {
    if (ended_) {
      *reason = "data after the end of the image data";
      return 0;
    }
    stream_.next_in = const_cast<uint8_t*>(data);
    stream_.avail_in = static_cast<uInt>(n);
    while (stream_.avail_in > 0) {
      uint8_t out[16 * 1024];
      stream_.next_out = out;
      stream_.avail_out = sizeof out;
      const int status = inflate(&stream_, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        *reason = "image data does not inflate";
        return n - stream_.avail_in;
      }
      if (!Rows(out, sizeof out - stream_.avail_out, reason)) return n - stream_.avail_in;
      if (status == Z_STREAM_END) {
        ended_ = true;
        if (pass_ < passes_.size() || left_ > 0) {
          *reason = "image data ends early";
          return n - stream_.avail_in;
        }
        if (stream_.avail_in > 0) *reason = "data after the end of the image data";
        return n - stream_.avail_in;
      }
      if (status == Z_BUF_ERROR) break;
    }
    return n;
  }

 private:
  // Follows the inflated bytes through the rows: each begins with a filter type 0 to 4.
  bool Rows(const uint8_t* out, size_t produced, const char** reason) {
    for (size_t i = 0; i < produced;) {
      if (left_ == 0) {
        if (pass_ == passes_.size()) {
          *reason = "more image data than the rows hold";
          return false;
        }
        if (out[i] > 4) {
          *reason = "unknown row filter";
          return false;
        }
        left_ = passes_[pass_].first + 1;
        if (++rows_ == passes_[pass_].second) ++pass_, rows_ = 0;
      }
      const size_t take = static_cast<size_t>(std::min<uint64_t>(produced - i, left_));
      i += take;
      left_ -= take;
    }
    return true;
  }

  z_stream stream_{};
  bool open_ = false;
  bool ended_ = false;
  std::vector<std::pair<uint64_t, uint32_t>> passes_;
  size_t pass_ = 0;
  uint32_t rows_ = 0;
  uint64_t left_ = 0;  // bytes of the current row still to come
};

// Follows the chunks as the bytes arrive, one read ahead of the decoder.
class ChunkWalk {
 public:
  enum class Stop { kNone, kEnd, kDamage, kTooLarge };

  void Walk(const uint8_t* data, size_t n, long long base);

  Stop stop() const { return stop_; }
  long long stopAt() const { return stopAt_; }
  const char* reason() const { return reason_; }

  // Where the image data first goes wrong: inflated again with the row checks, since the
  // decoder's error shows only which of its 8 KiB reads held the fault. `before` if not
  // found before it.
  long long LocateImageDataError(ByteSpan& bytes, long long before, const char** reason) const;

  // The end of the last chunk before `at`: the decoder, having read to `at` without
  // complaint, has checked its CRC.
  long long ProvenBefore(long long at) const {
    const auto after = std::lower_bound(chunkEnds_.begin(), chunkEnds_.end(), at);
    return after == chunkEnds_.begin() ? 0 : *(after - 1);
  }

 private:
  enum class State { kSignature, kHeader, kData, kCrc };

  void Fail(long long at, const char* reason) {
    stop_ = Stop::kDamage;
    stopAt_ = at;
    reason_ = reason;
  }
  void TooLarge(long long at) {
    stop_ = Stop::kTooLarge;
    stopAt_ = at;
  }
  void Header(long long at);
  void EndChunk(long long end);
  void EndData(long long at);
  bool Sequence(const uint8_t* field);

  State state_ = State::kSignature;
  Stop stop_ = Stop::kNone;
  long long stopAt_ = -1;
  const char* reason_ = "";

  uint8_t head_[8] = {};
  size_t have_ = 0;  // bytes of the signature, header or kept data gathered
  long long chunkAt_ = 0;
  uint32_t left_ = 0;  // data (then CRC) bytes still to come
  uint8_t type_[4] = {};
  uint8_t kept_[26] = {};  // IHDR, acTL, fcTL, an fdAT's sequence number
  std::vector<long long> chunkEnds_;
  std::vector<std::pair<long long, uint32_t>> idats_;  // where each IDAT's data lies

  bool header_ = false;  // IHDR seen
  uint32_t width_ = 0, height_ = 0;
  unsigned bitsPerPixel_ = 0;
  bool interlaced_ = false;
  unsigned long long decoded_ = 0;

  bool animated_ = false;
  uint32_t framesDeclared_ = 0;
  uint32_t frames_ = 0;
  uint32_t nextSequence_ = 0;
  bool idat_ = false;
  bool awaitingData_ = false;  // an fcTL after the IDAT wants its fdAT
  ImageStream frame_;          // of the animation frame being read
};

void ChunkWalk::Walk(const uint8_t* data, size_t n, long long base) {
  size_t i = 0;
  while (i < n && stop_ == Stop::kNone) {
    const long long at = base + static_cast<long long>(i);
    switch (state_) {
      case State::kSignature:
        if (data[i] != kSignature[have_]) return Fail(at, "no PNG signature");
        ++i;
        if (++have_ == 8) state_ = State::kHeader, have_ = 0;
        break;
      case State::kHeader:
        if (have_ == 0) chunkAt_ = at;
        head_[have_++] = data[i++];
        if (have_ == 8) Header(at + 1);
        break;
      case State::kData: {
        size_t take = std::min<size_t>(n - i, left_);
        const bool fdat = IsType(type_, "fdAT");
        const size_t keep = fdat ? 4 : sizeof kept_;
        if (have_ < keep) {  // the part of the data the walk reads
          const size_t copy = std::min(take, keep - have_);
          std::memcpy(kept_ + have_, data + i, copy);
          have_ += copy;
          if (fdat && have_ == 4 && !Sequence(kept_)) return;
          i += copy, left_ -= static_cast<uint32_t>(copy), take -= copy;
        }
        if (fdat && take > 0) {
          const char* why = "";
          const size_t fit = frame_.Feed(data + i, take, &why);
          if (fit < take || *why != '\0') return Fail(base + static_cast<long long>(i + fit), why);
        }
        i += take;
        left_ -= static_cast<uint32_t>(take);
        if (left_ == 0) EndData(base + static_cast<long long>(i));
        break;
      }
      case State::kCrc:
        head_[have_++] = data[i++];
        if (have_ == 4) EndChunk(at + 1);
        break;
    }
  }
}

// A chunk's length and type have arrived (`at` is just past them).
void ChunkWalk::Header(long long at) {
  const uint32_t length = Be32(head_);
  std::memcpy(type_, head_ + 4, 4);
  for (int k = 0; k < 4; ++k)
    if (!ChunkLetter(type_[k])) return Fail(chunkAt_ + 4 + k, "chunk type is not four letters");
  if (length > 0x7FFFFFFFu) return Fail(chunkAt_, "chunk length out of range");
  const bool fdat = IsType(type_, "fdAT");
  if (!header_ && !IsType(type_, "IHDR")) return Fail(at, "first chunk is not IHDR");
  // An animation frame's data ends where its fdAT chunks do.
  if (!fdat && frame_.open()) {
    if (!frame_.ended()) return Fail(chunkAt_, "animation frame data ends early");
    frame_.Close();
  }
  if (!fdat && awaitingData_) return Fail(chunkAt_, "animation frame without data");
  if (fdat && !frame_.open()) return Fail(at, "fdAT outside an animation frame");
  if (IsType(type_, "IDAT")) {
    idat_ = true;
    idats_.emplace_back(at, length);
  }
  if (IsType(type_, "IEND") && animated_ && frames_ != framesDeclared_)
    return Fail(chunkAt_, "animation has fewer frames than it declares");
  awaitingData_ = false;
  left_ = length;
  have_ = 0;
  state_ = State::kData;
  if (left_ == 0) EndData(at);
}

// An fcTL's or fdAT's sequence number, which counts up from 0 across both.
bool ChunkWalk::Sequence(const uint8_t* field) {
  if (Be32(field) == nextSequence_++) return true;
  Fail(chunkAt_ + 12, "animation chunk out of sequence");
  return false;
}

void ChunkWalk::EndChunk(long long end) {
  state_ = State::kHeader;
  have_ = 0;
  if (!IsType(type_, "IHDR")) chunkEnds_.push_back(end);
  if (IsType(type_, "IEND")) {
    stop_ = Stop::kEnd;
    stopAt_ = end;
  } else if (IsType(type_, "IHDR") && end - chunkAt_ == 25 && !header_) {
    // The decoder judges IHDR's fields before its CRC: the walk checks the CRC first, so
    // that damage is not taken for an image too large to decode.
    header_ = true;
    if (crc32(crc32(0, type_, 4), kept_, 13) != Be32(head_)) return Fail(end, "IHDR CRC mismatch");
    chunkEnds_.push_back(end);
    width_ = Be32(kept_);
    height_ = Be32(kept_ + 4);
    static const unsigned kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    const unsigned depth = kept_[8], colorType = kept_[9];
    bitsPerPixel_ = depth * (colorType < 7 ? kChannels[colorType] : 0);
    interlaced_ = kept_[12] == 1;
    decoded_ = (uint64_t{width_} * bitsPerPixel_ + 15) / 8 * height_;
    if (width_ > kMaxSide || height_ > kMaxSide || decoded_ > kMaxDecoded) TooLarge(end);
  }
}

void ChunkWalk::EndData(long long at) {
  state_ = State::kCrc;
  have_ = 0;
  const uint32_t length = static_cast<uint32_t>(at - chunkAt_ - 8);
  if (IsType(type_, "acTL") && length == 8 && !idat_) {
    animated_ = true;
    framesDeclared_ = Be32(kept_);
  } else if (IsType(type_, "fcTL") && length == 26 && animated_) {
    if (!Sequence(kept_)) return;
    const uint32_t w = Be32(kept_ + 4), h = Be32(kept_ + 8), x = Be32(kept_ + 12),
                   y = Be32(kept_ + 16);
    if (w == 0 || h == 0 || x > width_ || w > width_ - x || y > height_ || h > height_ - y)
      return Fail(chunkAt_ + 28, "animation frame outside the image");
    ++frames_;
    if (idat_) {
      decoded_ += (uint64_t{w} * bitsPerPixel_ + 15) / 8 * h;
      if (decoded_ > kMaxDecoded) return TooLarge(at + 4);  // after the CRC, still checked
      frame_.Start(Passes(w, h, bitsPerPixel_, interlaced_));
      awaitingData_ = true;
    }
  }
}

long long ChunkWalk::LocateImageDataError(ByteSpan& bytes, long long before,
                                          const char** reason) const {
  ImageStream stream;
  stream.Start(Passes(width_, height_, bitsPerPixel_, interlaced_));
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kRead]);
  for (const auto& [start, length] : idats_) {
    for (long long at = start; at < start + length && at < before;) {
      const long long want = std::min<long long>(kRead, start + length - at);
      const long long got = bytes.Read(at, buffer.get(), want);
      if (got <= 0) return before;
      const size_t fit = stream.Feed(buffer.get(), static_cast<size_t>(got), reason);
      if (**reason != '\0') return std::min(before, at + static_cast<long long>(fit));
      at += got;
    }
  }
  return before;
}

// What libspng's read callback reaches.
struct Reader {
  ByteSpan* span;
  ChunkWalk* walk;
  std::unique_ptr<uint8_t[]> buffer;  // kRead bytes from `bufferAt`
  long long bufferAt = 0;
  long long buffered = 0;
  long long position = 0;  // what libspng has read
  long long limit = 0;     // nothing at or past it is handed over (the walk's stop)
  bool ranDry = false;
};

int ReadPng(spng_ctx*, void* user, void* dest, size_t length) {
  Reader& r = *static_cast<Reader*>(user);
  uint8_t* out = static_cast<uint8_t*>(dest);
  while (length > 0) {
    if (r.position >= r.bufferAt + r.buffered) {
      // The next read of the span, walked before any of it is handed over.
      r.bufferAt += r.buffered;
      const long long want = std::min(kRead, r.span->Size() - r.bufferAt);
      r.buffered = want > 0 ? std::max(0LL, r.span->Read(r.bufferAt, r.buffer.get(), want)) : 0;
      if (r.buffered < want) r.limit = std::min(r.limit, r.bufferAt + r.buffered);
      if (r.walk->stop() == ChunkWalk::Stop::kNone) {
        r.walk->Walk(r.buffer.get(), static_cast<size_t>(r.buffered), r.bufferAt);
        if (r.walk->stop() != ChunkWalk::Stop::kNone) r.limit = std::min(r.limit, r.walk->stopAt());
      }
    }
    const long long available = std::min(r.bufferAt + r.buffered, r.limit) - r.position;
    if (available <= 0) {
      r.ranDry = true;
      return SPNG_IO_EOF;
    }
    const size_t take = static_cast<size_t>(std::min<long long>(available, length));
    std::memcpy(out, r.buffer.get() + (r.position - r.bufferAt), take);
    out += take;
    length -= take;
    r.position += static_cast<long long>(take);
  }
  return 0;
}

// libspng's answers that say it will not decode this file, not that the file is broken.
bool Unsupported(int error) {
  switch (error) {
    case SPNG_EUSER_WIDTH:
    case SPNG_EUSER_HEIGHT:
    case SPNG_EMEM:
    case SPNG_EOVERFLOW:
    case SPNG_ECHUNK_LIMITS:
      return true;
    default:
      return false;
  }
}

// Decodes the image row by row, then reads the chunks after it to the IEND; 0 or libspng's
// error.
int Decode(spng_ctx* ctx) {
  int error = spng_decode_image(ctx, nullptr, 0, SPNG_FMT_RAW, SPNG_DECODE_PROGRESSIVE);
  size_t size = 0;
  spng_ihdr header{};
  if (error == 0) error = spng_get_ihdr(ctx, &header);
  if (error == 0) error = spng_decoded_image_size(ctx, SPNG_FMT_RAW, &size);
  if (error != 0) return error;
  std::vector<uint8_t> row(size / std::max<uint32_t>(header.height, 1));
  do {
    error = spng_decode_row(ctx, row.data(), row.size());
  } while (error == 0);
  if (error != SPNG_EOI) return error;
  return spng_decode_chunks(ctx);
}

// Four letters, as every chunk type is.
bool ChunkType(const uint8_t* type) {
  return ChunkLetter(type[0]) && ChunkLetter(type[1]) && ChunkLetter(type[2]) &&
         ChunkLetter(type[3]);
}

}  // namespace

JoinFit CheckPngJoin(ByteSpan& joined, long long unitStart, long long cut) {
  // Chunk by chunk from a chunk's start (past the signature when nothing was proven) to the
  // one the cut falls in, whose CRC is then taken over the joined bytes.
  for (long long at = std::max(unitStart, 8LL);;) {
    uint8_t head[8];
    if (joined.Read(at, head, 8) < 8) return JoinFit::kCannotTell;
    const uint32_t length = Be32(head);
    const bool letters = length <= 0x7FFFFFFFu && ChunkType(head + 4);
    // A header the cut reaches into that is no header; one wholly before the cut is for the
    // validator to place.
    if (!letters) return at + 8 > cut ? JoinFit::kBreaks : JoinFit::kCannotTell;
    const long long end = at + 12 + length;
    if (end <= cut) {
      at = end;
      continue;
    }
    if (end - cut > kJoinReach) return JoinFit::kCannotTell;
    uint8_t data[4096];
    // A chunk other than the last is followed by the next chunk's header: its type rules out
    // most candidates before the CRC is taken.
    if (std::memcmp(head + 4, "IEND", 4) != 0 && joined.Read(end, data, 8) == 8 &&
        !ChunkType(data + 4))
      return JoinFit::kBreaks;
    uInt crc = crc32(0, head + 4, 4);
    for (long long p = at + 8; p < end - 4;) {
      const long long want = std::min<long long>(sizeof data, end - 4 - p);
      if (joined.Read(p, data, want) < want) return JoinFit::kCannotTell;
      crc = crc32(crc, data, static_cast<uInt>(want));
      p += want;
    }
    if (joined.Read(end - 4, data, 4) < 4) return JoinFit::kCannotTell;
    return crc == Be32(data) ? JoinFit::kHolds : JoinFit::kBreaks;
  }
}

Validation ValidatePng(ByteSpan& bytes) {
  ChunkWalk walk;
  Reader reader{&bytes, &walk, std::unique_ptr<uint8_t[]>(new uint8_t[kRead])};
  reader.limit = bytes.Size();
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
  if (!ctx) return Validation::CannotTell();
  spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR);
  spng_set_image_limits(ctx.get(), kMaxSide, kMaxSide);
  spng_set_chunk_limits(ctx.get(), kMaxKeptChunk, kMaxKeptChunk);
  spng_set_png_stream(ctx.get(), ReadPng, &reader);
  const int error = Decode(ctx.get());

  const long long at = reader.position;
  if (error == 0) {
    if (walk.stop() == ChunkWalk::Stop::kEnd && walk.stopAt() == at) return Validation::Intact(at);
    return Validation::Damaged(walk.ProvenBefore(at), at, "decoder and chunk walk disagree");
  }
  const bool damage = walk.stop() == ChunkWalk::Stop::kDamage;
  if (walk.stop() == ChunkWalk::Stop::kTooLarge ||
      (!reader.ranDry && Unsupported(error) && !damage))
    return Validation::CannotTell();
  if (!reader.ranDry && !Unsupported(error)) {
    const char* reason = "";
    const long long found = error == SPNG_EZLIB || error == SPNG_EIDAT_STREAM ||
                                    error == SPNG_EFILTER || error == SPNG_EIDAT_TOO_SHORT
                                ? walk.LocateImageDataError(bytes, at, &reason)
                                : at;
    return Validation::Damaged(walk.ProvenBefore(found), found,
                               found < at ? reason : spng_strerror(error));
  }
  // Out of bytes (or refusing to go on where the walk found damage): every chunk that ended
  // before them had its CRC read and checked.
  const long long dry = reader.limit;
  const long long proven = walk.ProvenBefore(dry + 1);
  if (damage && dry == walk.stopAt()) return Validation::Damaged(proven, dry, walk.reason());
  return Validation::Damaged(proven, dry, dry >= bytes.Size() ? "cut short" : "unreadable");
}

}  // namespace salvor
