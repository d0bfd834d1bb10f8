#include "validate/MediaCommon.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "validate/Formats.h"
#include "validate/Spans.h"

namespace salvor {
namespace media {

namespace {

constexpr int kIoBufferSize = 32 * 1024;
// No audio frame of any codec comes near this; a larger "sample" is not read into memory.
constexpr long long kMaxAudioSample = 16 * 1024 * 1024;

thread_local int gMacroblockX = -1, gMacroblockY = -1;

// Says nothing, but notes where the H.264 decoder last gave up on a macroblock.
void Quiet(void*, int, const char* format, va_list arguments) {
  static const char kMacroblockError[] = "error while decoding MB %d %d";
  if (format == nullptr || std::strncmp(format, kMacroblockError, sizeof kMacroblockError - 1))
    return;
  va_list copy;
  va_copy(copy, arguments);
  gMacroblockX = va_arg(copy, int);
  gMacroblockY = va_arg(copy, int);
  va_end(copy);
}

}  // namespace

bool TakeMacroblockError(int& x, int& y) {
  x = gMacroblockX;
  y = gMacroblockY;
  gMacroblockX = gMacroblockY = -1;
  return x >= 0 && y >= 0;
}

void SilenceLibav() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(Quiet);
    // Demuxers allocate what a header says before reading it (a RIFF INFO tag of 4 GiB): no
    // real file needs one block this large.
    av_max_alloc(kMaxLibavBlock);
  });
}

long long WindowReader::Read(long long offset, void* buffer, long long length) {
  if (offset < 0 || length <= 0) return 0;
  if (length > kWindow) return FBytes.Read(offset, buffer, length);
  if (offset < FStart || offset + length > FStart + static_cast<long long>(FData.size())) {
    FData.resize(kWindow);
    FStart = offset;
    FData.resize(static_cast<size_t>(std::max(0LL, FBytes.Read(offset, FData.data(), kWindow))));
  }
  const long long available =
      std::min(length, FStart + static_cast<long long>(FData.size()) - offset);
  if (available <= 0) return 0;
  std::memcpy(buffer, FData.data() + (offset - FStart), static_cast<size_t>(available));
  return available;
}

Demuxer::~Demuxer() {
  if (FContext != nullptr) avformat_close_input(&FContext);
  if (FIo != nullptr) {
    av_freep(&FIo->buffer);
    avio_context_free(&FIo);
  }
}

int Demuxer::ReadPacket(void* opaque, uint8_t* buffer, int size) {
  Demuxer* self = static_cast<Demuxer*>(opaque);
  const long long count = self->FBytes->Read(self->FPosition, buffer, size);
  if (count <= 0) return AVERROR_EOF;
  self->FPosition += count;
  return static_cast<int>(count);
}

int64_t Demuxer::Seek(void* opaque, int64_t offset, int whence) {
  Demuxer* self = static_cast<Demuxer*>(opaque);
  const long long size = self->FBytes->Size();
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return size;
    case SEEK_SET:
      break;
    case SEEK_CUR:
      offset += self->FPosition;
      break;
    case SEEK_END:
      offset += size;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  self->FPosition = offset;
  return offset;
}

bool Demuxer::Open(ByteSpan& bytes, const char* format,
                   const std::vector<std::pair<const char*, const char*>>& options) {
  SilenceLibav();
  FBytes = &bytes;
  FPosition = 0;
  const AVInputFormat* input = av_find_input_format(format);
  unsigned char* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (input == nullptr || buffer == nullptr) {
    av_free(buffer);
    return false;
  }
  FIo = avio_alloc_context(buffer, kIoBufferSize, 0, this, ReadPacket, nullptr, Seek);
  if (FIo == nullptr) {
    av_free(buffer);
    return false;
  }
  FContext = avformat_alloc_context();
  if (FContext == nullptr) return false;
  FContext->pb = FIo;
  FContext->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVDictionary* dictionary = nullptr;
  for (const auto& [key, value] : options) av_dict_set(&dictionary, key, value, 0);
  const int opened = avformat_open_input(&FContext, nullptr, input, &dictionary);
  av_dict_free(&dictionary);
  return opened >= 0;  // on failure libavformat has freed the context and nulled it
}

bool PlausibleAvcNal(unsigned char header) {
  if ((header & 0x80) != 0) return false;
  const int type = header & 0x1F;
  const int refIdc = header >> 5;
  if (type == 0 || type > 21) return false;
  if (type == 5 && refIdc == 0) return false;  // an IDR picture is always a reference
  // SEI, access unit delimiter, end of sequence/stream, filler: never references.
  if ((type == 6 || (type >= 9 && type <= 12)) && refIdc != 0) return false;
  return true;
}

bool PlausibleHevcNal(const unsigned char* header) {
  if ((header[0] & 0x80) != 0 || (header[1] & 7) == 0) return false;  // temporal id + 1 > 0
  const int type = (header[0] >> 1) & 0x3F;
  return type <= 9 || (type >= 16 && type <= 21) || (type >= 32 && type <= 40);
}

Decoder::~Decoder() {
  av_frame_free(&FFrame);
  av_packet_free(&FPacket);
  avcodec_free_context(&FContext);
}

bool Decoder::Start(AVCodecContext* context) {
  FContext = context;
  context->thread_count = 1;
  context->err_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_EXPLODE;
  if (context->codec_type == AVMEDIA_TYPE_VIDEO) {
    context->skip_loop_filter = AVDISCARD_ALL;
    context->skip_idct = AVDISCARD_ALL;
    context->flags2 |= AV_CODEC_FLAG2_FAST;
  }
  FPacket = av_packet_alloc();
  FFrame = av_frame_alloc();
  return FPacket != nullptr && FFrame != nullptr &&
         avcodec_open2(context, context->codec, nullptr) >= 0;
}

bool Decoder::Open(const AVCodecParameters* codec) {
  SilenceLibav();
  const AVCodec* decoder = avcodec_find_decoder(codec->codec_id);
  if (decoder == nullptr) return false;
  AVCodecContext* context = avcodec_alloc_context3(decoder);
  if (context == nullptr) return false;
  if (avcodec_parameters_to_context(context, codec) < 0) {
    avcodec_free_context(&context);
    return false;
  }
  return Start(context);
}

bool Decoder::Open(int codecId, int sampleRate, int channels) {
  SilenceLibav();
  const AVCodec* decoder = avcodec_find_decoder(static_cast<AVCodecID>(codecId));
  if (decoder == nullptr) return false;
  AVCodecContext* context = avcodec_alloc_context3(decoder);
  if (context == nullptr) return false;
  context->sample_rate = sampleRate;
  av_channel_layout_default(&context->ch_layout, channels);
  return Start(context);
}

bool Decoder::Decode(const unsigned char* data, int size) {
  // The packet borrows the bytes; the caller keeps AV_INPUT_BUFFER_PADDING_SIZE zeros after
  // them, as every decoder may read that far.
  FPacket->data = const_cast<unsigned char*>(data);
  FPacket->size = size;
  const int sent = avcodec_send_packet(FContext, FPacket);
  if (sent < 0 && sent != AVERROR(EAGAIN)) return false;
  for (;;) {
    const int received = avcodec_receive_frame(FContext, FFrame);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
    if (received < 0) return false;
    av_frame_unref(FFrame);
  }
}

bool Decoder::Decode(const AVPacket* packet) {
  const int sent = avcodec_send_packet(FContext, packet);
  if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF) return false;
  for (;;) {
    const int received = avcodec_receive_frame(FContext, FFrame);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
    if (received < 0) return false;
    const bool damaged =
        FFrame->decode_error_flags != 0 || (FFrame->flags & AV_FRAME_FLAG_CORRUPT) != 0;
    av_frame_unref(FFrame);
    if (damaged) return false;
  }
}

SampleChecker::SampleChecker(const AVCodecParameters* codec) {
  if (codec == nullptr) return;  // nothing to check
  const unsigned char* extra = codec->extradata;
  const int extraSize = codec->extradata_size;
  const bool annexB =
      extraSize >= 3 && extra[0] == 0 && extra[1] == 0 && (extra[2] == 1 || extra[2] == 0);
  const bool pcm =
      codec->codec_id >= AV_CODEC_ID_PCM_S16LE && codec->codec_id < AV_CODEC_ID_ADPCM_IMA_QT;
  // Opus and Vorbis decoders take nearly any payload without complaint: decoding them costs
  // more than copying the file and finds nothing the container's framing does not.
  const bool lenient = codec->codec_id == AV_CODEC_ID_OPUS || codec->codec_id == AV_CODEC_ID_VORBIS;
  if (codec->codec_id == AV_CODEC_ID_H264) {
    // avcC: the NAL length size is in its fifth byte; without one, start codes.
    FKind = extraSize >= 7 && extra[0] == 1 ? Kind::kLengthPrefixed : Kind::kAnnexB;
    if (FKind == Kind::kLengthPrefixed) FLengthSize = (extra[4] & 3) + 1;
  } else if (codec->codec_id == AV_CODEC_ID_HEVC) {
    FHevc = true;
    FKind = extraSize >= 23 && !annexB ? Kind::kLengthPrefixed : Kind::kAnnexB;
    if (FKind == Kind::kLengthPrefixed) FLengthSize = (extra[21] & 3) + 1;
  } else if (codec->codec_id == AV_CODEC_ID_AV1) {
    FKind = Kind::kAv1;
  } else if (codec->codec_id == AV_CODEC_ID_VP8) {
    FKind = Kind::kVp8;
  } else if (codec->codec_id == AV_CODEC_ID_VP9) {
    FKind = Kind::kVp9;
  } else if (codec->codec_id == AV_CODEC_ID_MJPEG) {
    FKind = Kind::kJpeg;
  } else if (codec->codec_type == AVMEDIA_TYPE_AUDIO && !pcm && !lenient) {
    FAudio = std::make_unique<Decoder>();
    FKind = Kind::kAudio;
    if (!FAudio->Open(codec)) {
      FAudio.reset();
      FKind = Kind::kNone;
    }
  }
}

SampleResult SampleChecker::Check(ByteSpan& bytes, long long position, long long size) {
  SampleResult result;
  switch (FKind) {
    case Kind::kLengthPrefixed:
      result = CheckNals(bytes, position, size);
      break;
    case Kind::kAnnexB:
      result = CheckAnnexB(bytes, position, size);
      break;
    case Kind::kJpeg:
      result = CheckJpeg(bytes, position, size);
      break;
    case Kind::kAudio:
      result = Decode(bytes, position, size);
      break;
    case Kind::kAv1:
      result = CheckObus(bytes, position, size);
      break;
    case Kind::kVp8:
      result = CheckVp8(bytes, position, size);
      break;
    case Kind::kVp9:
      result = CheckVp9(bytes, position, size);
      break;
    case Kind::kNone:
      break;
  }
  if (result.badAt < 0 && position + size > bytes.Size()) {
    result.badAt = bytes.Size();
    result.reason = "sample past the end";
  }
  return result;
}

bool SampleChecker::PlausibleNal(const unsigned char* header) const {
  return FHevc ? PlausibleHevcNal(header) : PlausibleAvcNal(header[0]);
}

SampleResult SampleChecker::CheckNals(ByteSpan& bytes, long long position, long long size) {
  SampleResult result;
  const long long end = position + size;
  const int headerSize = FHevc ? 2 : 1;
  const int need = FLengthSize + headerSize;
  unsigned char head[6];
  for (long long at = position; at < end;) {
    if (!ReadAll(bytes, at, head, need)) {
      result.badAt = bytes.Size();
      result.reason = "sample past the end";
      return result;
    }
    unsigned long long length = 0;
    for (int i = 0; i < FLengthSize; ++i) length = length << 8 | head[i];
    if (length < static_cast<unsigned>(headerSize) ||
        length > static_cast<unsigned long long>(end - at - FLengthSize)) {
      result.badAt = std::min(at + FLengthSize, end);
      result.reason = "NAL lengths do not add up to the sample";
      return result;
    }
    if (!PlausibleNal(head + FLengthSize)) {
      result.badAt = at + need;
      result.reason = "bad NAL unit header";
      return result;
    }
    result.verifiedUntil = at + need;
    at += FLengthSize + static_cast<long long>(length);
  }
  return result;
}

SampleResult SampleChecker::CheckAnnexB(ByteSpan& bytes, long long position, long long size) {
  SampleResult result;
  unsigned char head[6] = {};
  const long long got = bytes.Read(position, head, std::min<long long>(size, sizeof head));
  const int start = got >= 4 && head[0] == 0 && head[1] == 0 && head[2] == 0 && head[3] == 1 ? 4
                    : got >= 3 && head[0] == 0 && head[1] == 0 && head[2] == 1               ? 3
                                                                                             : 0;
  if (start == 0 || got < start + 2 || !PlausibleNal(head + start)) {
    result.badAt = std::min(position + std::max<long long>(got, 1), bytes.Size());
    result.reason = "no NAL unit start code";
    return result;
  }
  result.verifiedUntil = position + start + 2;
  return result;
}

SampleResult SampleChecker::CheckObus(ByteSpan& bytes, long long position, long long size) {
  // Each OBU: a header byte (forbidden and reserved bits clear, a defined type), an extension
  // byte when flagged, and a LEB128 size when flagged (else it runs to the sample's end).
  SampleResult result;
  const long long end = position + size;
  auto bad = [&](long long at, const char* reason) {
    result.badAt = at;
    result.reason = reason;
    return result;
  };
  unsigned char head[10];
  for (long long at = position; at < end;) {
    const long long want = std::min<long long>(sizeof head, end - at);
    if (bytes.Read(at, head, want) < want) return bad(bytes.Size(), "sample past the end");
    const int type = (head[0] >> 3) & 0xF;
    if ((head[0] & 0x81) != 0 || type == 0 || (type > 8 && type != 15))
      return bad(at + 1, "bad OBU header");
    long long header = (head[0] & 4) != 0 ? 2 : 1;
    if (header > want) return bad(end, "OBU sizes do not add up to the sample");
    long long length = end - at - header;
    if ((head[0] & 2) != 0) {
      unsigned long long value = 0;
      int i = 0;
      bool whole = false;
      for (; i < 8 && header + i < want && !whole; ++i) {
        value |= static_cast<unsigned long long>(head[header + i] & 0x7F) << (7 * i);
        whole = (head[header + i] & 0x80) == 0;
      }
      header += i;
      if (!whole || value > static_cast<unsigned long long>(end - at - header))
        return bad(std::min(at + header, end), "OBU sizes do not add up to the sample");
      length = static_cast<long long>(value);
    }
    result.verifiedUntil = at + header;
    at += header + length;
  }
  return result;
}

SampleResult SampleChecker::CheckVp8(ByteSpan& bytes, long long position, long long size) {
  // The frame tag (key frame bit, version, first partition size); a key frame then has its
  // start code and nonzero dimensions.
  SampleResult result;
  unsigned char head[10] = {};
  const long long want = std::min<long long>(size, sizeof head);
  if (bytes.Read(position, head, want) < want) {
    result.badAt = bytes.Size();
    result.reason = "sample past the end";
    return result;
  }
  const uint32_t tag = static_cast<uint32_t>(head[2]) << 16 | Le16(head);
  const bool key = (tag & 1) == 0;
  const long long header = key ? 10 : 3;
  if (size < header || ((tag >> 1) & 7) > 3 || (tag >> 5) > size - header) {
    result.badAt = position + std::min(size, 3LL);
    result.reason = "bad VP8 frame tag";
  } else if (key && (head[3] != 0x9D || head[4] != 0x01 || head[5] != 0x2A ||
                     (Le16(head + 6) & 0x3FFF) == 0 || (Le16(head + 8) & 0x3FFF) == 0)) {
    result.badAt = position + header;
    result.reason = "bad VP8 key frame header";
  } else {
    result.verifiedUntil = position + header;
  }
  return result;
}

namespace {

// The first bits of a VP9 frame's uncompressed header (marker, profile, frame type, the sync
// code of frames coded on their own): how many bytes they took, or 0 when they are wrong.
int Vp9Header(const unsigned char* data, long long size) {
  unsigned long long bits = 0;
  for (int i = 0; i < 8; ++i) bits = bits << 8 | (i < size ? data[i] : 0);
  int used = 0;
  auto take = [&](int count) {
    const unsigned long long value = (bits << used) >> (64 - count);
    used += count;
    return static_cast<unsigned>(value);
  };
  if (size < 1 || take(2) != 2) return 0;
  const unsigned profile = take(1) | take(1) << 1;
  if (profile == 3 && take(1) != 0) return 0;
  if (take(1) == 1) {  // shows an earlier frame: an index and nothing more
    take(3);
    return (used + 7) / 8;
  }
  const bool key = take(1) == 0;
  const bool show = take(1) == 1;
  const bool errorResilient = take(1) == 1;
  bool intraOnly = false;
  if (!key) {
    intraOnly = !show && take(1) == 1;
    if (!errorResilient) take(2);
  }
  if ((key || intraOnly) && take(24) != 0x498342) return 0;
  const int length = (used + 7) / 8;
  return length <= size ? length : 0;
}

}  // namespace

SampleResult SampleChecker::CheckVp9(ByteSpan& bytes, long long position, long long size) {
  // A superframe (frames packed together) ends in an index that begins and ends with the same
  // marker byte; the frame sizes it lists must add up to the rest. Each frame's header is read.
  SampleResult result;
  unsigned char index[34];
  long long frames[8] = {size};
  int count = 1;
  unsigned char last = 0;
  if (size < 1 || !ReadAll(bytes, position + size - 1, &last, 1)) {
    result.badAt = size < 1 ? position : bytes.Size();
    result.reason = size < 1 ? "empty VP9 frame" : "sample past the end";
    return result;
  }
  if ((last & 0xE0) == 0xC0) {
    const int n = (last & 7) + 1, magnitude = ((last >> 3) & 3) + 1;
    const long long indexSize = 2 + static_cast<long long>(magnitude) * n;
    if (size >= indexSize && ReadAll(bytes, position + size - indexSize, index, indexSize) &&
        index[0] == last) {
      long long total = 0;
      for (int i = 0; i < n; ++i) {
        long long frame = 0;
        for (int b = magnitude - 1; b >= 0; --b) frame = frame << 8 | index[1 + i * magnitude + b];
        frames[i] = frame;
        total += frame;
      }
      if (total > size - indexSize) {
        result.badAt = position + size;
        result.reason = "VP9 superframe sizes do not add up";
        return result;
      }
      count = n;
    }
  }
  long long at = position;
  for (int i = 0; i < count; ++i) {
    unsigned char head[8] = {};
    const long long want = std::min<long long>(frames[i], sizeof head);
    if (frames[i] == 0) continue;
    if (bytes.Read(at, head, want) < want) {
      result.badAt = bytes.Size();
      result.reason = "sample past the end";
      return result;
    }
    const int header = Vp9Header(head, frames[i]);
    if (header == 0) {
      result.badAt = at + want;
      result.reason = "bad VP9 frame header";
      return result;
    }
    result.verifiedUntil = at + header;
    at += frames[i];
  }
  return result;
}

SampleResult SampleChecker::CheckJpeg(ByteSpan& bytes, long long position, long long size) {
  // Markers only: SOI, the segments up to the scan, then in the entropy-coded data every 0xFF
  // must be stuffing, a restart or a segment, until EOI at the sample's end.
  SampleResult result;
  const long long end = position + size;
  unsigned char head[4];
  auto bad = [&](long long at, const char* reason) {
    result.badAt = std::min(at, bytes.Size());
    result.reason = reason;
    return result;
  };
  if (!ReadAll(bytes, position, head, 2) || head[0] != 0xFF || head[1] != 0xD8)
    return bad(position + 2, "no JPEG start in the frame");
  long long at = position + 2;
  bool inScan = false;
  constexpr long long kChunk = 16 * 1024;
  FBuffer.resize(kChunk + 1);
  while (at < end) {
    if (!inScan) {
      if (!ReadAll(bytes, at, head, 4)) return bad(end, "frame past the end");
      if (head[0] != 0xFF) return bad(at + 1, "JPEG marker expected");
      const unsigned marker = head[1];
      if (marker == 0xFF) {
        ++at;
        continue;
      }
      if (marker == 0xD9) return bad(at + 2, "JPEG ends before its scan");
      if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7) || marker < 0xC0)
        return bad(at + 2, "bad JPEG marker");
      const long long length = Be16(head + 2);
      if (length < 2) return bad(at + 4, "bad JPEG segment length");
      at += 2 + length;
      inScan = marker == 0xDA;
      // Markers prove the headers; entropy-coded data passes them even where it was zeroed.
      result.verifiedUntil = std::min(at, end);
      continue;
    }
    const long long count = std::min(kChunk, end - at);
    // One byte more than scanned: the byte after a 0xFF at the chunk's end.
    const long long got = bytes.Read(at, FBuffer.data(), std::min(count + 1, end - at));
    if (got < count) return bad(bytes.Size(), "frame past the end");
    const unsigned char* data = FBuffer.data();
    long long i = 0;
    while (i < count) {
      const void* found = std::memchr(data + i, 0xFF, static_cast<size_t>(count - i));
      if (found == nullptr) {
        i = count;
        break;
      }
      i = static_cast<const unsigned char*>(found) - data;
      if (i + 1 >= got) return bad(end, "no JPEG end in the frame");  // 0xFF as the last byte
      const unsigned marker = data[i + 1];
      if (marker == 0x00 || marker == 0xFF || (marker >= 0xD0 && marker <= 0xD7)) {
        i += marker == 0xFF ? 1 : 2;
        continue;
      }
      if (marker == 0xD9) {
        // EOI: what follows in the frame can only be padding.
        if (end - (at + i + 2) > 64) return bad(at + i + 2, "bytes after JPEG end");
        // The markers fit; the entropy-coded data between them must decode as well, or a
        // block of foreign data in a frame would pass.
        SubSpan frame(bytes, position, at + i + 2 - position);
        const Validation decoded = ValidateJpeg(frame);
        if (decoded.verdict == Verdict::kDamaged) {
          result.verifiedUntil = std::max(result.verifiedUntil, position + decoded.goodUntil);
          return bad(position + decoded.damagedAt, "frame does not decode");
        }
        result.verifiedUntil = end;
        return result;
      }
      if (marker == 0xC4 || marker == 0xDA || marker == 0xDB || marker == 0xDD) {
        inScan = false;  // a table or another scan between scans
        break;
      }
      return bad(at + i + 2, "bad marker in JPEG data");
    }
    at += i;
  }
  return bad(end, "no JPEG end in the frame");
}

SampleResult SampleChecker::Decode(ByteSpan& bytes, long long position, long long size) {
  SampleResult result;
  if (size > kMaxAudioSample || size <= 0) {
    result.badAt = std::min(position + std::max(size, 1LL), bytes.Size());
    result.reason = "implausible audio sample size";
    return result;
  }
  FBuffer.assign(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  if (!ReadAll(bytes, position, FBuffer.data(), size)) {
    result.badAt = bytes.Size();
    result.reason = "sample past the end";
    return result;
  }
  if (!FAudio->Decode(FBuffer.data(), static_cast<int>(size))) {
    result.badAt = position + size;
    result.reason = "audio does not decode";
    return result;
  }
  result.verifiedUntil = position + size;
  return result;
}

Validation Failed(long long goodUntil, const SampleResult& result, long long size) {
  const long long damagedAt = std::min(result.badAt, size);
  return Validation::Damaged(std::min(goodUntil, damagedAt), damagedAt, result.reason);
}

}  // namespace media
}  // namespace salvor
