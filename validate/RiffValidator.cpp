// AVI and WAV: RIFF chunks chain by their lengths up to the size the RIFF header gives (AVI:
// and the OpenDML RIFF AVIX chunks after it). AVI: every chunk in the movie list is walked and
// its video checked (JPEG markers, H.264 start codes), and the idx1 index must point at chunk
// headers of the right stream and length. WAV: the structure, and PCM samples read as sound
// (see PcmForeignFrom).

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "validate/Formats.h"
#include "validate/MediaCommon.h"
#include "validate/Spans.h"

namespace salvor {

namespace {

using media::Le32;

bool ChunkName(const unsigned char* id) {
  for (int i = 0; i < 4; ++i)
    if (id[i] < 0x20 || id[i] > 0x7E) return false;
  return true;
}

// The stream a movie chunk ("00dc", "01wb") belongs to, or -1.
int StreamOf(const unsigned char* id) {
  if (id[0] < '0' || id[0] > '9' || id[1] < '0' || id[1] > '9') return -1;
  return (id[0] - '0') * 10 + (id[1] - '0');
}

struct Walk {
  long long verified = 0;   // end of the last header or checked bytes proven to fit
  long long moviData = -1;  // where the first movie list's data begins ("movi" + 4)
  long long indexAt = -1, indexSize = 0;
  long long formatAt = -1, formatSize = 0;  // WAV: the first "fmt " chunk's data
  long long dataAt = -1, dataSize = 0;      // WAV: the first "data" chunk's data
  Validation failure;
  bool failed = false;
  void Fail(long long damagedAt, const char* reason) {
    failure = Validation::Damaged(std::min(verified, damagedAt), damagedAt, reason);
    failed = true;
  }
};

class RiffWalker {
 public:
  RiffWalker(ByteSpan& bytes, std::vector<std::unique_ptr<media::SampleChecker>>* checkers)
      : FBytes(bytes), FReader(bytes), FCheckers(checkers) {}

  // Walks the chunks in [at, end); `movie` when inside a movie list.
  void Chunks(long long at, long long end, bool movie, Walk& walk, int depth = 0) {
    const long long size = FBytes.Size();
    while (at + 8 <= end && !walk.failed) {
      unsigned char head[12];
      if (!FReader.ReadAll(at, head, 8)) return walk.Fail(size, "cut short");
      if (!ChunkName(head)) return walk.Fail(at + 4, "bad chunk name");
      const long long length = Le32(head + 4);
      const long long next = at + 8 + length + (length & 1);
      const bool list = std::memcmp(head, "LIST", 4) == 0 && length >= 4 && depth < 8;
      const int stream = StreamOf(head);
      if (movie && !list && std::memcmp(head, "JUNK", 4) != 0 && std::memcmp(head, "ix", 2) != 0 &&
          (stream < 0 ||
           (FCheckers != nullptr && static_cast<size_t>(stream) >= FCheckers->size())))
        return walk.Fail(at + 4, "chunk of no stream in the movie");
      // Past the end of the bytes: cut short there. Past the end of its list: this header or
      // the list's is wrong, so the break is no later than this header.
      if (at + 8 + length > end && (!list || at + 8 + length <= size))
        return end == size ? walk.Fail(size, "cut short")
                           : walk.Fail(at + 8, "chunk runs past its list");
      walk.verified = std::max(walk.verified, at + 8);
      if (list) {
        // A list cut short is still walked up to the cut.
        if (!FReader.ReadAll(at + 8, head + 8, 4)) return walk.Fail(size, "cut short");
        const bool movi = std::memcmp(head + 8, "movi", 4) == 0;
        if (movi && walk.moviData < 0) walk.moviData = at + 8;
        walk.verified = at + 12;
        Chunks(at + 12, std::min(at + 8 + length, end), movie || movi, walk, depth + 1);
        if (!walk.failed && at + 8 + length > end) return walk.Fail(size, "cut short");
      } else if (std::memcmp(head, "idx1", 4) == 0 && !movie) {
        walk.indexAt = at + 8;
        walk.indexSize = length;
      } else if (std::memcmp(head, "fmt ", 4) == 0 && depth == 0 && walk.formatAt < 0) {
        walk.formatAt = at + 8;
        walk.formatSize = length;
      } else if (std::memcmp(head, "data", 4) == 0 && depth == 0 && walk.dataAt < 0) {
        walk.dataAt = at + 8;
        walk.dataSize = length;
      } else if (movie && FCheckers != nullptr && length > 0) {
        if (stream >= 0 && static_cast<size_t>(stream) < FCheckers->size()) {
          const media::SampleResult result =
              (*FCheckers)[static_cast<size_t>(stream)]->Check(FBytes, at + 8, length);
          walk.verified = std::max(walk.verified, result.verifiedUntil);
          if (result.badAt >= 0) return walk.Fail(result.badAt, result.reason);
        }
      }
      at = next;
    }
  }

  // Each idx1 entry (id, flags, offset, length) names a chunk where its offset says.
  void Index(Walk& walk) {
    if (walk.indexAt < 0 || walk.moviData < 0) return;
    const long long count = walk.indexSize / 16;
    long long base = -1;
    for (long long i = 0; i < count && !walk.failed; ++i) {
      unsigned char entry[16], head[8];
      const long long at = walk.indexAt + 16 * i;
      if (!FReader.ReadAll(at, entry, 16)) return walk.Fail(FBytes.Size(), "cut short");
      const long long offset = Le32(entry + 8);
      // Offsets count from the movie list's data, or (some writers) from the file's start.
      if (base < 0) base = offset >= walk.moviData ? 0 : walk.moviData;
      if (!media::ReadAll(FBytes, base + offset, head, 8) || std::memcmp(head, entry, 4) != 0 ||
          Le32(head + 4) != Le32(entry + 12)) {
        walk.verified = std::min(walk.verified, at);
        return walk.Fail(at + 16, "index entry names no chunk");
      }
    }
  }

 private:
  ByteSpan& FBytes;
  media::WindowReader FReader;
  std::vector<std::unique_ptr<media::SampleChecker>>* FCheckers;
};

// Where a PCM recording turns into bytes that are no sound at all, or -1. Judged per 512-byte
// block of the file, as a cut in the source falls between them:
// - sound changes little from one sample to the next and stays well below full scale, while
//   compressed files and random data read as samples are full-scale noise;
// - a block of one repeated byte (zeros, erased flash) right after a loud block is a cut,
//   where silence in a recording comes after quiet and starts anywhere.
// A recording that is noise from its start is left alone.
long long PcmForeignFrom(ByteSpan& bytes, const unsigned char* format, long long formatSize,
                         long long dataStart, long long dataEnd) {
  if (formatSize < 16) return -1;
  unsigned tag = format[0] | format[1] << 8;
  const unsigned channels = format[2] | format[3] << 8;
  const unsigned frame = format[12] | format[13] << 8;
  const unsigned bits = format[14] | format[15] << 8;
  if (tag == 0xFFFE && formatSize >= 26) tag = format[24] | format[25] << 8;  // extensible
  const bool integer = tag == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
  const bool floating = tag == 3 && bits == 32;
  if ((!integer && !floating) || channels == 0 || frame != channels * bits / 8) return -1;
  constexpr long long kBlock = 512;
  constexpr double kLoud = 512;  // mean level, of 32768: about -36 dB
  const unsigned width = bits / 8;
  media::WindowReader reader(bytes);
  std::vector<double> previous(channels);
  double lastLevel = 0;  // of the block before
  unsigned char block[kBlock];
  enum class Kind { kSound, kNoise, kBlank, kTooShort };
  auto judge = [&](long long from, long long to) {
    // Frames wholly inside [from, to), counted from the data's start.
    const long long first = dataStart + (from - dataStart + frame - 1) / frame * frame;
    const long long count = (to - first) / frame;
    if (count < 16 || !reader.ReadAll(first, block, count * frame)) return Kind::kTooShort;
    if (to - from == kBlock &&
        std::all_of(block, block + count * frame, [&](unsigned char b) { return b == block[0]; }))
      return Kind::kBlank;
    double level = 0, change = 0;
    long long wild = 0, samples = 0;
    for (long long f = 0; f < count; ++f) {
      for (unsigned c = 0; c < channels; ++c, ++samples) {
        const unsigned char* at = block + f * frame + c * width;
        double value;
        if (floating) {
          float real;
          std::memcpy(&real, at, 4);
          if (!std::isfinite(real) || std::fabs(real) > 16) ++wild;
          value = std::isfinite(real) ? std::max(-1.0f, std::min(1.0f, real)) * 32768.0 : 0;
        } else if (width == 1) {
          value = (at[0] - 128) * 256.0;
        } else {  // little-endian, signed: the top two bytes
          value = static_cast<int16_t>(at[width - 2] | at[width - 1] << 8);
        }
        level += std::fabs(value);
        if (f > 0) change += std::fabs(value - previous[c]);
        previous[c] = value;
      }
    }
    level /= static_cast<double>(samples);
    lastLevel = level;
    if (floating) return wild * 4 > samples ? Kind::kNoise : Kind::kSound;
    // Uniform random samples: mean level 16384, mean change 1.33 times that.
    change /= static_cast<double>(samples - channels);
    return level > 12000 && level < 21000 && change > 1.1 * level ? Kind::kNoise : Kind::kSound;
  };
  bool soundBefore = false;
  for (long long at = dataStart / kBlock * kBlock; at < dataEnd; at += kBlock) {
    const double levelBefore = lastLevel;
    switch (judge(std::max(at, dataStart), std::min(at + kBlock, dataEnd))) {
      case Kind::kSound:
        soundBefore = true;
        break;
      case Kind::kNoise:
        return soundBefore ? at : -1;
      case Kind::kBlank:
        if (soundBefore && levelBefore > kLoud) return at;
        soundBefore = false;
        break;
      case Kind::kTooShort:
        break;
    }
  }
  return -1;
}

// The RIFF header's form and the end it gives, or -1.
long long RiffEnd(ByteSpan& bytes, long long at, const char* form) {
  unsigned char head[12];
  if (!media::ReadAll(bytes, at, head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, form, 4) != 0)
    return -1;
  return at + 8 + Le32(head + 4);
}

}  // namespace

Validation ValidateWav(ByteSpan& bytes) {
  const long long size = bytes.Size();
  const long long end = RiffEnd(bytes, 0, "WAVE");
  if (end < 0) return Validation::CannotTell();  // RF64/BW64 keep their sizes elsewhere
  Walk walk;
  RiffWalker(bytes, nullptr).Chunks(12, std::min(end, size), false, walk);
  if (walk.failed) return walk.failure;
  unsigned char format[40] = {};
  const long long formatSize = std::min<long long>(walk.formatSize, sizeof format);
  if (walk.dataAt >= 0 && walk.formatAt >= 0 &&
      media::ReadAll(bytes, walk.formatAt, format, formatSize)) {
    const long long dataEnd = std::min({walk.dataAt + walk.dataSize, end, size});
    const long long foreign = PcmForeignFrom(bytes, format, formatSize, walk.dataAt, dataEnd);
    if (foreign >= 0)
      return Validation::Damaged(walk.dataAt, foreign, "PCM samples stop being sound");
  }
  if (end > size) return Validation::Damaged(walk.verified, size, "cut short");
  return Validation::CannotTell();
}

// A movie chunk of a stream ("00dc", "01wb").
bool MovieChunk(const unsigned char* id) {
  return StreamOf(id) >= 0 && std::isalpha(id[2]) && std::isalpha(id[3]);
}

// A cut inside the index chunk at `at`, of `length` bytes: the first few entries wholly past
// the cut must name movie chunks.
JoinFit CheckIndexJoin(ByteSpan& joined, long long at, long long length, long long cut) {
  const long long end = at + 8 + length;
  long long entry = at + 8 + std::max(0LL, (cut - at - 8 + 15) / 16 * 16);
  int past = 0;
  for (; past < kJoinHeaders && entry + 16 <= end; ++past, entry += 16) {
    unsigned char id[4];
    if (joined.Read(entry, id, 4) < 4) break;
    if (!MovieChunk(id) && std::memcmp(id, "rec ", 4) != 0) return JoinFit::kBreaks;
  }
  return past > 0 ? JoinFit::kHolds : JoinFit::kCannotTell;
}

JoinFit CheckAviJoin(ByteSpan& joined, long long, long long cut) {
  constexpr int kMaxHeaderChunks = 256;
  unsigned char head[12];
  if (joined.Read(0, head, 12) < 12 || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "AVI ", 4) != 0)
    return JoinFit::kCannotTell;
  const long long riffEnd = 8 + Le32(head + 4);
  // The chunks before the movie list: a cut among them is the validator's to judge.
  long long at = 12, moviEnd = -1;
  for (int chunks = 0; moviEnd < 0; ++chunks) {
    if (chunks == kMaxHeaderChunks || joined.Read(at, head, 12) < 12 || !ChunkName(head))
      return JoinFit::kCannotTell;
    const long long length = Le32(head + 4);
    if (std::memcmp(head, "LIST", 4) == 0 && std::memcmp(head + 8, "movi", 4) == 0) {
      moviEnd = at + 8 + length;
      at += 12;
    } else {
      at += 8 + length + (length & 1);
    }
    if (at > cut) return JoinFit::kCannotTell;
  }
  // Chunk by chunk through the movie list, then through the chunks after it (the index, junk)
  // up to the RIFF's end: the first few headers the cut reaches into, or that follow it, must
  // be such chunks. So must the first few index entries after a cut inside the index.
  int past = 0;
  for (bool movie = true;; movie = false) {
    const long long end = movie ? moviEnd : riffEnd;
    while (at < end && (past == 0 || at <= cut + kJoinHeaderReach)) {
      if (joined.Read(at, head, 8) < 8) return past > 0 ? JoinFit::kHolds : JoinFit::kCannotTell;
      const long long length = Le32(head + 4);
      const bool list = movie && std::memcmp(head, "LIST", 4) == 0;
      const bool belongs =
          at + 8 + length <= end && (movie ? list || std::memcmp(head, "JUNK", 4) == 0 ||
                                                 std::memcmp(head, "ix", 2) == 0 || MovieChunk(head)
                                           : ChunkName(head));
      if (at + 8 > cut) {
        if (!belongs) return JoinFit::kBreaks;
        if (++past == kJoinHeaders) return JoinFit::kHolds;
      } else if (!belongs) {
        // Before the cut, in the piece itself: a movie list may hold chunks the validator
        // knows and this check does not, but a name that is no name breaks any join after it.
        return movie ? JoinFit::kCannotTell : JoinFit::kBreaks;
      }
      const long long next = list ? at + 12 : at + 8 + length + (length & 1);
      if (next > cut && std::memcmp(head, "idx1", 4) == 0)
        return CheckIndexJoin(joined, at, length, cut);
      if (next > cut + kJoinReach) return past > 0 ? JoinFit::kHolds : JoinFit::kCannotTell;
      at = next;
    }
    if (!movie || past > 0 || at < end) break;
    at = std::max(at, moviEnd);
  }
  return past > 0 ? JoinFit::kHolds : JoinFit::kCannotTell;
}

Validation ValidateAvi(ByteSpan& bytes) {
  const long long size = bytes.Size();
  long long end = RiffEnd(bytes, 0, "AVI ");
  if (end < 0) return Validation::Damaged(0, std::min(size, 12LL), "no RIFF AVI header");
  // OpenDML: further RIFF AVIX chunks continue the movie.
  std::vector<std::pair<long long, long long>> riffs = {{12, end}};
  for (long long next = end + (end & 1); riffs.size() < 4096;) {
    const long long more = RiffEnd(bytes, next, "AVIX");
    if (more < 0) break;
    riffs.emplace_back(next + 12, more);
    end = more;
    next = more + (more & 1);
  }
  SubSpan file(bytes, 0, std::min(end, size));
  media::Demuxer demuxer;
  if (!demuxer.Open(file, "avi", {{"use_odml", "0"}}))
    return Validation::Damaged(0, std::min(end, size), "bad AVI header");
  std::vector<std::unique_ptr<media::SampleChecker>> checkers;
  bool checked = false;
  for (unsigned i = 0; i < demuxer.Context()->nb_streams; ++i) {
    const AVCodecParameters* codec = demuxer.Context()->streams[i]->codecpar;
    // Audio chunks need not hold whole frames (CBR MP3 is cut anywhere): video only.
    checkers.push_back(std::make_unique<media::SampleChecker>(
        codec->codec_type == AVMEDIA_TYPE_VIDEO ? codec : nullptr));
    checked = checked || checkers.back()->Checks();
  }
  RiffWalker walker(bytes, &checkers);
  Walk walk;
  for (const auto& [from, to] : riffs) {
    walker.Chunks(from, std::min(to, size), false, walk);
    if (walk.failed) return walk.failure;
  }
  walker.Index(walk);
  if (walk.failed) return walk.failure;
  if (end > size) return Validation::Damaged(walk.verified, size, "cut short");
  return checked ? Validation::Intact(end) : Validation::CannotTell();
}

}  // namespace salvor
