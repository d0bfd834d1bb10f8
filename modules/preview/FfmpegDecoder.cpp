// Movies and other files FFmpeg reads: the container through libavformat, read from the
// recovered file in pieces (a movie is never read whole), the first frame that decodes,
// scaled by libswscale. FFmpeg's own time check stops it at the deadline.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <memory>

#include "modules/preview/Decoders.h"

namespace salvor {

namespace {

struct Input {
  CByteSource* file;
  long long at;
};

int ReadPacket(void* opaque, uint8_t* buffer, int size) {
  auto* input = static_cast<Input*>(opaque);
  const long long got = input->file->ReadAt(input->at, buffer, size);
  if (got <= 0) return AVERROR_EOF;
  input->at += got;
  return static_cast<int>(got);
}

int64_t SeekInput(void* opaque, int64_t offset, int whence) {
  auto* input = static_cast<Input*>(opaque);
  const long long size = input->file->Size();
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      return size;
    case SEEK_SET:
      input->at = offset;
      break;
    case SEEK_CUR:
      input->at += offset;
      break;
    case SEEK_END:
      input->at = size + offset;
      break;
    default:
      return -1;
  }
  input->at = std::max(0LL, input->at);
  return input->at;
}

int TimeIsUp(void* deadline) {
  return static_cast<const CDeadline*>(deadline)->Passed() ? 1 : 0;
}

struct FormatClose {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct IoClose {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct CodecClose {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// "2026-01-02T03:04:05.000000Z" -> "2026-01-02T03:04:05Z".
std::string CreationTime(const AVDictionary* metadata) {
  const AVDictionaryEntry* entry = av_dict_get(metadata, "creation_time", nullptr, 0);
  if (entry == nullptr || std::strlen(entry->value) < 19) return std::string();
  const std::string text(entry->value, 19);
  if (text.compare(0, 4, "1970") == 0 || text.compare(0, 4, "1904") == 0) return std::string();
  return text + "Z";
}

// Scales one decoded frame into the box as RGB rows.
bool TakeFrame(const AVFrame* frame, const DecodeRequest& request, Decoded& out) {
  if (frame->width <= 0 || frame->height <= 0) return false;
  int fitWidth, fitHeight;
  FitInto(frame->width, frame->height, request.maxWidth, request.maxHeight, &fitWidth, &fitHeight);
  SwsContext* scale =
      sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                     fitWidth, fitHeight, AV_PIX_FMT_RGB24, SWS_AREA, nullptr, nullptr, nullptr);
  if (scale == nullptr) return false;
  // swscale's vector code writes whole blocks past a row's end: rows padded and aligned, then
  // copied out.
  const int stride = (fitWidth * 3 + 63) / 64 * 64;
  std::vector<uint8_t> padded(static_cast<size_t>(stride) * (fitHeight + 1) + 64, 0);
  uint8_t* planes[4] = {padded.data(), nullptr, nullptr, nullptr};
  int strides[4] = {stride, 0, 0, 0};
  const int rows =
      sws_scale(scale, frame->data, frame->linesize, 0, frame->height, planes, strides);
  sws_freeContext(scale);
  if (rows <= 0) return false;
  out.rgb.resize(static_cast<size_t>(fitWidth) * fitHeight * 3);
  for (int y = 0; y < fitHeight; ++y)
    std::memcpy(&out.rgb[static_cast<size_t>(y) * fitWidth * 3],
                &padded[static_cast<size_t>(y) * stride], static_cast<size_t>(fitWidth) * 3);
  out.rgbWidth = fitWidth;
  out.rgbHeight = fitHeight;
  return true;
}

}  // namespace

bool DecodeWithFfmpeg(CByteSource& file, const DecodeRequest& request, Decoded& out, bool* sound) {
  static const bool quiet = [] {
    av_log_set_level(AV_LOG_QUIET);
    // Demuxers allocate what a header says before reading it (a RIFF INFO tag of 4 GiB): no
    // frame of a picture within the preview's limits needs one block this large.
    av_max_alloc(64 << 20);
    return true;
  }();
  (void)quiet;
  *sound = false;
  Input input{&file, 0};
  constexpr int kBufferSize = 64 << 10;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
  if (buffer == nullptr) return false;
  std::unique_ptr<AVIOContext, IoClose> io(
      avio_alloc_context(buffer, kBufferSize, 0, &input, ReadPacket, nullptr, SeekInput));
  if (io == nullptr) {
    av_free(buffer);
    return false;
  }
  AVFormatContext* opened = avformat_alloc_context();
  if (opened == nullptr) return false;
  opened->pb = io.get();
  opened->flags |= AVFMT_FLAG_CUSTOM_IO;
  opened->interrupt_callback.callback = TimeIsUp;
  opened->interrupt_callback.opaque = const_cast<CDeadline*>(&request.deadline);
  opened->probesize = 8 << 20;
  opened->max_analyze_duration = 5 * AV_TIME_BASE;
  if (avformat_open_input(&opened, nullptr, nullptr, nullptr) < 0) return false;
  std::unique_ptr<AVFormatContext, FormatClose> format(opened);
  out.date = CreationTime(format->metadata);
  avformat_find_stream_info(format.get(), nullptr);
  const AVCodec* codec = nullptr;
  const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream < 0 || codec == nullptr) {
    *sound = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
    return *sound;
  }
  const AVCodecParameters* parameters = format->streams[stream]->codecpar;
  out.width = parameters->width;
  out.height = parameters->height;
  if (out.date.empty()) out.date = CreationTime(format->streams[stream]->metadata);
  if (!request.picture) return true;
  if (static_cast<long long>(out.width) * out.height > request.limits.maxPixels) return false;
  std::unique_ptr<AVCodecContext, CodecClose> decoder(avcodec_alloc_context3(codec));
  if (decoder == nullptr || avcodec_parameters_to_context(decoder.get(), parameters) < 0)
    return false;
  decoder->thread_count = 1;
  decoder->max_pixels = request.limits.maxPixels;
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return false;
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  if (frame == nullptr || packet == nullptr) return false;
  // The first frame that decodes; a damaged start is read past, within bounds.
  for (int packets = 0; packets < 2000 && !request.deadline.Passed(); ++packets) {
    const int read = av_read_frame(format.get(), packet.get());
    if (read < 0) {
      avcodec_send_packet(decoder.get(), nullptr);  // drain what the decoder holds
    } else if (packet->stream_index != stream) {
      av_packet_unref(packet.get());
      continue;
    } else {
      avcodec_send_packet(decoder.get(), packet.get());
      av_packet_unref(packet.get());
    }
    if (avcodec_receive_frame(decoder.get(), frame.get()) == 0)
      return TakeFrame(frame.get(), request, out);
    if (read < 0) break;
  }
  return false;
}

}  // namespace salvor
