// FLAC: the metadata blocks, then frames whose headers carry a CRC-8 and whose bytes end with a
// CRC-16. Frames have no length: one ends where the CRC-16 of its bytes comes out right and the
// next frame's header follows; the last one where its sample count reaches the stream's total
// (confirmed by decoding it).

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/crc.h>
}

#include "validate/Formats.h"
#include "validate/MediaCommon.h"

namespace salvor {

namespace {

struct FrameHeader {
  int length = 0;  // 0: not a frame header
  int blockSize = 0;
  bool variable = false;
  unsigned long long number = 0;  // frame number, or first sample for variable block sizes
};

FrameHeader ParseHeader(const unsigned char* p, long long available) {
  FrameHeader header;
  if (available < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return header;
  const int sizeCode = p[2] >> 4, rateCode = p[2] & 0xF;
  const int channels = p[3] >> 4, depth = (p[3] >> 1) & 7;
  if (sizeCode == 0 || rateCode == 15 || channels >= 11 || depth == 3 || (p[3] & 1) != 0)
    return header;
  // The frame or sample number, UTF-8 style.
  int at = 4;
  int extra = 0;
  unsigned long long number = p[at];
  if (p[at] >= 0x80) {
    if (p[at] < 0xC0 || p[at] == 0xFF) return header;
    for (unsigned mask = 0x40; (p[at] & mask) != 0; mask >>= 1) ++extra;
    number = p[at] & (0x3F >> extra);
  }
  ++at;
  if (at + extra + 3 > available) return header;
  for (int i = 0; i < extra; ++i, ++at) {
    if ((p[at] & 0xC0) != 0x80) return header;
    number = number << 6 | (p[at] & 0x3F);
  }
  int blockSize = 0;
  if (sizeCode == 1) {
    blockSize = 192;
  } else if (sizeCode <= 5) {
    blockSize = 576 << (sizeCode - 2);
  } else if (sizeCode == 6) {
    blockSize = p[at++] + 1;
  } else if (sizeCode == 7) {
    blockSize = (p[at] << 8 | p[at + 1]) + 1;
    at += 2;
  } else {
    blockSize = 256 << (sizeCode - 8);
  }
  if (rateCode == 12) ++at;
  if (rateCode == 13 || rateCode == 14) at += 2;
  if (at + 1 > available) return header;
  if (av_crc(av_crc_get_table(AV_CRC_8_ATM), 0, p, static_cast<size_t>(at)) != p[at]) return header;
  header.length = at + 1;
  header.blockSize = blockSize;
  header.variable = (p[1] & 1) != 0;
  header.number = number;
  return header;
}

// The number the frame after `header` carries.
unsigned long long NextNumber(const FrameHeader& header) {
  return header.number + (header.variable ? header.blockSize : 1);
}

// Bytes [0, held) from a frame header on, and what follows it.
struct FrameEnd {
  long long end = -1;        // where the frame ends with its CRC right and the next header
  long long following = -1;  // where the next frame's header is, CRC right or not
  FrameHeader next;
};

FrameEnd FindNext(const unsigned char* frame, long long held, const FrameHeader& header) {
  const AVCRC* table = av_crc_get_table(AV_CRC_16_ANSI);
  FrameEnd found;
  unsigned crc = av_crc(table, 0, frame, static_cast<size_t>(header.length));
  long long checked = header.length;
  for (long long p = header.length + 2; p + 1 < held; ++p) {
    const void* hit = std::memchr(frame + p, 0xFF, static_cast<size_t>(held - 1 - p));
    if (hit == nullptr) break;
    p = static_cast<const unsigned char*>(hit) - frame;
    if ((frame[p + 1] & 0xFE) != 0xF8) continue;
    const FrameHeader next = ParseHeader(frame + p, held - p);
    if (next.length == 0 || next.variable != header.variable || next.number != NextNumber(header))
      continue;
    crc = av_crc(table, crc, frame + checked, static_cast<size_t>(p - checked));
    checked = p;
    if (found.following < 0) found.following = p;
    if (crc == 0) {
      found.end = p;
      found.next = next;
      return found;
    }
  }
  return found;
}

// The stream information block that must open the file.
struct StreamInfo {
  unsigned char block[34];
  unsigned blockSize = 0;          // the largest; every frame's but the last's when fixed
  long long maxFrame = 0;          // 0: not known
  unsigned long long samples = 0;  // 0: not known
};

bool ReadStreamInfo(ByteSpan& bytes, StreamInfo& info) {
  unsigned char head[42];
  if (bytes.Read(0, head, 42) < 42 || std::memcmp(head, "fLaC", 4) != 0 || (head[4] & 0x7F) != 0 ||
      (media::Be32(head + 4) & 0xFFFFFF) != 34)
    return false;
  std::memcpy(info.block, head + 8, 34);
  const unsigned char* b = info.block;
  info.blockSize = static_cast<unsigned>(b[2] << 8 | b[3]);
  info.maxFrame = b[7] << 16 | b[8] << 8 | b[9];
  info.samples = (static_cast<unsigned long long>(b[13] & 0xF) << 32) | media::Be32(b + 14);
  return true;
}

}  // namespace

JoinFit CheckFlacJoin(ByteSpan& joined, long long unitStart, long long cut) {
  StreamInfo stream;
  if (!ReadStreamInfo(joined, stream) || stream.maxFrame == 0 || cut < unitStart ||
      cut - unitStart > kJoinReach || stream.maxFrame + 16 > kJoinReach)
    return JoinFit::kCannotTell;
  // Frame by frame from a frame's start to the one the cut falls in, which must end where its
  // CRC-16 comes out right and the next frame's header follows.
  std::vector<unsigned char> bytes(static_cast<size_t>(cut - unitStart + stream.maxFrame + 32));
  const long long held =
      std::max(0LL, joined.Read(unitStart, bytes.data(), static_cast<long long>(bytes.size())));
  FrameHeader header = ParseHeader(bytes.data(), held);
  if (header.length == 0) return JoinFit::kCannotTell;
  for (long long at = 0;;) {
    const FrameEnd found = FindNext(bytes.data() + at, held - at, header);
    if (found.end >= 0) {
      if (unitStart + at + found.end > cut) return JoinFit::kHolds;
      at += found.end;
      header = found.next;
      continue;
    }
    // No end in reach: the last frame has no header after it, and the bytes may have run out.
    const unsigned long long first =
        header.variable ? header.number : header.number * stream.blockSize;
    const bool last =
        stream.samples == 0 || first + static_cast<unsigned>(header.blockSize) >= stream.samples;
    if (last || held < static_cast<long long>(bytes.size())) return JoinFit::kCannotTell;
    return JoinFit::kBreaks;
  }
}

Validation ValidateFlac(ByteSpan& span) {
  media::WindowReader bytes(span);
  const long long size = bytes.Size();
  StreamInfo stream;
  if (!ReadStreamInfo(bytes, stream))
    return Validation::Damaged(0, std::min(size, 42LL), "no stream information");
  const unsigned char* info = stream.block;
  const long long maxFrame = stream.maxFrame;
  const unsigned long long total = stream.samples;
  // Metadata blocks: a last-block flag, a type and a 24-bit length each.
  long long at = 4;
  for (bool last = false; !last;) {
    unsigned char block[4];
    if (!bytes.ReadAll(at, block, 4))
      return Validation::Damaged(std::min(at, size), size, "cut short");
    last = (block[0] & 0x80) != 0;
    if ((block[0] & 0x7F) == 127) return Validation::Damaged(at, at + 4, "bad metadata block");
    at += 4 + (media::Be32(block) & 0xFFFFFF);
  }
  if (at >= size) return Validation::Damaged(std::min(at, size), size, "cut short");
  // The last frame is decoded to find its end: the decoder reads exactly its bytes.
  AVCodecParameters codec = {};
  codec.codec_type = AVMEDIA_TYPE_AUDIO;
  codec.codec_id = AV_CODEC_ID_FLAC;
  unsigned char extradata[34 + AV_INPUT_BUFFER_PADDING_SIZE] = {};
  std::memcpy(extradata, info, 34);
  codec.extradata = extradata;
  codec.extradata_size = 34;
  const long long limit = maxFrame > 0 ? maxFrame + 16 : 16 * 1024 * 1024;
  const AVCRC* table = av_crc_get_table(AV_CRC_16_ANSI);
  // The bytes from `at` on: read once, slid forward frame by frame, grown when a frame is long.
  std::vector<unsigned char> frame;
  long long held = 0;
  auto fill = [&](long long want) {
    want = std::min(want, size - at);
    if (want <= held) return;
    frame.resize(static_cast<size_t>(want));
    held += std::max(0LL, span.Read(at + held, frame.data() + held, want - held));
    frame.resize(static_cast<size_t>(held));
  };
  unsigned long long samples = 0;
  fill(64 * 1024);
  FrameHeader header = ParseHeader(frame.data(), held);
  if (header.length == 0) return Validation::Damaged(at, std::min(at + 16, size), "no frame");
  for (;;) {
    const bool last =
        total > 0 && samples + static_cast<unsigned long long>(header.blockSize) >= total;
    FrameEnd found;
    for (long long window = 64 * 1024; !last; window *= 2) {
      fill(std::min(window, limit));
      found = FindNext(frame.data(), held, header);
      if (found.end >= 0 || held >= std::min(limit, size - at)) break;
    }
    samples += static_cast<unsigned long long>(header.blockSize);
    if (found.end >= 0) {
      frame.erase(frame.begin(), frame.begin() + found.end);
      held -= found.end;
      at += found.end;
      header = found.next;
      continue;
    }
    fill(limit);
    // No next frame: this is the last one, ending where its CRC comes out right and it decodes.
    std::vector<unsigned char> candidate;
    unsigned crc = av_crc(table, 0, frame.data(), static_cast<size_t>(header.length));
    long long end = -1;
    for (long long p = header.length; p < held && end < 0; ++p) {
      crc = av_crc(table, crc, frame.data() + p, 1);
      if (crc != 0 || p + 1 < header.length + 2) continue;
      candidate.assign(frame.begin(), frame.begin() + p + 1);
      candidate.resize(candidate.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
      media::Decoder decoder;
      if (!decoder.Open(&codec)) return Validation::CannotTell();
      if (decoder.Decode(candidate.data(), static_cast<int>(p + 1))) end = p + 1;
    }
    if (end < 0) {
      // No frame is longer than the stream information says: the break lies within that.
      const long long within = maxFrame > 0 ? at + maxFrame : size;
      if (found.following >= 0)
        return Validation::Damaged(at, std::min(within, at + found.following),
                                   "frame CRC mismatch");
      if (at + held >= size) return Validation::Damaged(at, std::min(within, size), "cut short");
      return Validation::Damaged(at, std::min(within, at + held), "frame CRC mismatch");
    }
    if (total > 0 && samples < total)
      return Validation::Damaged(at + end, std::min(at + end + 16, size), "frames missing");
    return Validation::Intact(at + end);
  }
}

}  // namespace salvor
