// PNG (libspng), GIF (giflib), WebP (libwebp), HEIF and AVIF (libheif) and TIFF (libtiff),
// each decoded row by row into the scaler where the library allows it, so that memory is the
// thumbnail's and a damaged file keeps the rows before its damage.
#include <gif_lib.h>
#include <libheif/heif.h>
#include <spng.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "modules/preview/Decoders.h"

namespace salvor {

namespace {

void Take(const CRowScaler& scaler, Decoded& out) {
  out.rgb = scaler.Finish();
  out.rgbWidth = scaler.TargetWidth();
  out.rgbHeight = scaler.TargetHeight();
}

bool TooLarge(long long width, long long height, const DecodeRequest& request) {
  // Divided, not multiplied: a file may claim sides of 2^32.
  return width <= 0 || height <= 0 || width > request.limits.maxPixels ||
         height > request.limits.maxPixels / width;
}

std::unique_ptr<CRowScaler> ScalerFor(int width, int height, const DecodeRequest& request) {
  int fitWidth, fitHeight;
  FitInto(width, height, request.maxWidth, request.maxHeight, &fitWidth, &fitHeight);
  return std::make_unique<CRowScaler>(width, height, fitWidth, fitHeight);
}

}  // namespace

bool DecodePng(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
  if (ctx == nullptr) return false;
  // A damaged chunk's checksum does not stop the picture: what decodes is shown.
  spng_set_crc_action(ctx.get(), SPNG_CRC_USE, SPNG_CRC_USE);
  spng_set_image_limits(ctx.get(), 1u << 16, 1u << 16);
  spng_set_chunk_limits(ctx.get(), 16u << 20, 64u << 20);
  spng_set_png_buffer(ctx.get(), data, size);
  spng_ihdr header{};
  if (spng_get_ihdr(ctx.get(), &header) != 0) return false;
  out.width = static_cast<int>(header.width);
  out.height = static_cast<int>(header.height);
  if (!request.picture) return true;
  if (TooLarge(header.width, header.height, request)) return false;
  auto scaler = ScalerFor(out.width, out.height, request);
  const size_t rowBytes = size_t(header.width) * 4;
  if (header.interlace_method != 0) {
    // Interlaced rows arrive pass by pass, each with some of its pixels: decoded whole.
    if (static_cast<long long>(header.width) * header.height * 4 > (256LL << 20)) return false;
    std::vector<uint8_t> image(rowBytes * header.height, 0);
    spng_decode_image(ctx.get(), image.data(), image.size(), SPNG_FMT_RGBA8, SPNG_DECODE_TRNS);
    for (uint32_t y = 0; y < header.height; ++y)
      scaler->AddRow(static_cast<int>(y), &image[rowBytes * y], 4);
    Take(*scaler, out);
    return true;
  }
  if (spng_decode_image(ctx.get(), nullptr, 0, SPNG_FMT_RGBA8,
                        SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE) != 0)
    return false;
  std::vector<uint8_t> row(rowBytes);
  for (;;) {
    spng_row_info info{};
    if (spng_get_row_info(ctx.get(), &info) != 0 || request.deadline.Passed()) break;
    const int result = spng_decode_row(ctx.get(), row.data(), row.size());
    if (result != 0 && result != SPNG_EOI) break;
    scaler->AddRow(static_cast<int>(info.row_num), row.data(), 4);
    if (result == SPNG_EOI) break;
  }
  if (scaler->RowsAdded() == 0) return false;
  Take(*scaler, out);
  return true;
}

namespace {

struct GifInput {
  const uint8_t* data;
  size_t size;
  size_t at;
};

int ReadGif(GifFileType* gif, GifByteType* buffer, int count) {
  auto* input = static_cast<GifInput*>(gif->UserData);
  const size_t n = std::min(static_cast<size_t>(std::max(count, 0)), input->size - input->at);
  std::memcpy(buffer, input->data + input->at, n);
  input->at += n;
  return static_cast<int>(n);
}

}  // namespace

bool DecodeGif(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  GifInput input{data, size, 0};
  int error = 0;
  std::unique_ptr<GifFileType, void (*)(GifFileType*)> gif(
      DGifOpen(&input, ReadGif, &error), [](GifFileType* g) { DGifCloseFile(g, nullptr); });
  if (gif == nullptr) return false;
  out.width = gif->SWidth;
  out.height = gif->SHeight;
  if (!request.picture) return out.width > 0 && out.height > 0;
  if (TooLarge(out.width, out.height, request)) return false;
  // The first frame, on the screen's background.
  for (int records = 0; records < 4096; ++records) {
    GifRecordType type;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR || type == TERMINATE_RECORD_TYPE)
      return false;
    if (type == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType* extension = nullptr;
      if (DGifGetExtension(gif.get(), &code, &extension) == GIF_ERROR) return false;
      while (extension != nullptr)
        if (DGifGetExtensionNext(gif.get(), &extension) == GIF_ERROR) return false;
      continue;
    }
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return false;
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* colours = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    if (colours == nullptr || frame.Width <= 0 || frame.Height <= 0 ||
        TooLarge(frame.Width, frame.Height, request))
      return false;
    // The frame's own rows, scaled as they sit on the screen.
    auto scaler = ScalerFor(out.width, out.height, request);
    std::vector<GifPixelType> indices(static_cast<size_t>(frame.Width));
    std::vector<uint8_t> rgb(static_cast<size_t>(out.width) * 3, 255);
    static const int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    const int passes = frame.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
      for (int y = frame.Interlace ? kStart[pass] : 0; y < frame.Height;
           y += frame.Interlace ? kStep[pass] : 1) {
        if (DGifGetLine(gif.get(), indices.data(), frame.Width) == GIF_ERROR ||
            request.deadline.Passed()) {
          if (scaler->RowsAdded() == 0) return false;
          Take(*scaler, out);
          return true;
        }
        for (int x = 0; x < frame.Width && frame.Left + x < out.width; ++x) {
          const int index = indices[static_cast<size_t>(x)];
          if (frame.Left + x < 0 || index >= colours->ColorCount) continue;
          const GifColorType& c = colours->Colors[index];
          uint8_t* p = &rgb[static_cast<size_t>(frame.Left + x) * 3];
          p[0] = c.Red;
          p[1] = c.Green;
          p[2] = c.Blue;
        }
        scaler->AddRow(frame.Top + y, rgb.data(), 3);
      }
    }
    Take(*scaler, out);
    return true;
  }
  return false;
}

bool DecodeWebp(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  // An animation's first frame; a still is its own first frame.
  WebPData whole{data, size};
  std::unique_ptr<WebPDemuxer, void (*)(WebPDemuxer*)> demux(WebPDemuxPartial(&whole, nullptr),
                                                             WebPDemuxDelete);
  const uint8_t* bitstream = data;
  size_t bitstreamSize = size;
  WebPIterator frame{};
  if (demux != nullptr && WebPDemuxGetFrame(demux.get(), 1, &frame)) {
    bitstream = frame.fragment.bytes;
    bitstreamSize = frame.fragment.size;
    WebPDemuxReleaseIterator(&frame);
  }
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config) ||
      WebPGetFeatures(bitstream, bitstreamSize, &config.input) != VP8_STATUS_OK)
    return false;
  out.width = demux != nullptr ? static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH))
                               : config.input.width;
  out.height = demux != nullptr
                   ? static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT))
                   : config.input.height;
  if (out.width <= 0 || out.height <= 0) {
    out.width = config.input.width;
    out.height = config.input.height;
  }
  if (!request.picture) return true;
  if (TooLarge(config.input.width, config.input.height, request)) return false;
  int fitWidth, fitHeight;
  FitInto(config.input.width, config.input.height, request.maxWidth, request.maxHeight, &fitWidth,
          &fitHeight);
  // libwebp scales while it decodes; incrementally, so that a cut file keeps its top rows.
  config.options.use_scaling = 1;
  config.options.scaled_width = fitWidth;
  config.options.scaled_height = fitHeight;
  config.output.colorspace = MODE_RGBA;
  std::unique_ptr<WebPIDecoder, void (*)(WebPIDecoder*)> decoder(WebPIDecode(nullptr, 0, &config),
                                                                 WebPIDelete);
  if (decoder == nullptr) return false;
  WebPIAppend(decoder.get(), bitstream, bitstreamSize);
  int lastRow = 0, width = 0, height = 0, stride = 0;
  const uint8_t* rgba = WebPIDecGetRGB(decoder.get(), &lastRow, &width, &height, &stride);
  if (rgba == nullptr || lastRow <= 0) {
    WebPFreeDecBuffer(&config.output);
    return false;
  }
  CRowScaler scaler(width, height, width, height);
  for (int y = 0; y < lastRow; ++y) scaler.AddRow(y, rgba + static_cast<size_t>(y) * stride, 4);
  decoder.reset();
  WebPFreeDecBuffer(&config.output);
  Take(scaler, out);
  return true;
}

namespace {

// One sample of a plane of 1 to 16 bits, as 8 bits.
inline uint8_t Sample(const uint8_t* row, int x, int bits) {
  if (bits <= 8) return static_cast<uint8_t>(row[x] << (8 - bits));
  uint16_t wide;
  std::memcpy(&wide, row + 2 * static_cast<size_t>(x), 2);
  return static_cast<uint8_t>(std::min(255, wide >> (bits - 8)));
}

// Decodes one HEIF image (the primary or a thumbnail item) into the scaler. As separate R, G
// and B planes rather than interleaved RGBA, for which libheif keeps a second full-size
// picture: the largest thumbnail process, on an 8-megapixel photo, went from 83 to 51 MiB.
// An image with alpha comes as RGBA, to be laid over white.
bool DecodeHeifImage(heif_image_handle* handle, const DecodeRequest& request, Decoded& out) {
  const int width = heif_image_handle_get_width(handle);
  const int height = heif_image_handle_get_height(handle);
  if (TooLarge(width, height, request)) return false;
  const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
  heif_image* image = nullptr;
  // A damaged image may still hand back what it decoded: the error is not looked at.
  heif_decode_image(handle, &image, heif_colorspace_RGB,
                    alpha ? heif_chroma_interleaved_RGBA : heif_chroma_444, nullptr);
  if (image == nullptr) return false;
  std::unique_ptr<heif_image, void (*)(const heif_image*)> owned(image, heif_image_release);
  const heif_channel channels[3] = {heif_channel_R, heif_channel_G, heif_channel_B};
  const heif_channel first = alpha ? heif_channel_interleaved : heif_channel_R;
  const int planeWidth = heif_image_get_width(image, first);
  const int planeHeight = heif_image_get_height(image, first);
  if (planeWidth <= 0 || planeHeight <= 0) return false;
  auto scaler = ScalerFor(planeWidth, planeHeight, request);
  if (alpha) {
    int stride = 0;
    const uint8_t* pixels = heif_image_get_plane_readonly(image, first, &stride);
    if (pixels == nullptr) return false;
    for (int y = 0; y < planeHeight; ++y)
      scaler->AddRow(y, pixels + static_cast<size_t>(y) * static_cast<size_t>(stride), 4);
  } else {
    const uint8_t* planes[3] = {};
    int strides[3] = {}, bits[3] = {};
    for (int c = 0; c < 3; ++c) {
      planes[c] = heif_image_get_plane_readonly(image, channels[c], &strides[c]);
      bits[c] = heif_image_get_bits_per_pixel_range(image, channels[c]);
      if (planes[c] == nullptr || bits[c] < 1 || bits[c] > 16 ||
          heif_image_get_width(image, channels[c]) < planeWidth ||
          heif_image_get_height(image, channels[c]) < planeHeight)
        return false;
    }
    std::vector<uint8_t> row(static_cast<size_t>(planeWidth) * 3);
    for (int y = 0; y < planeHeight; ++y) {
      for (int c = 0; c < 3; ++c) {
        const uint8_t* line = planes[c] + static_cast<size_t>(y) * static_cast<size_t>(strides[c]);
        for (int x = 0; x < planeWidth; ++x)
          row[static_cast<size_t>(x) * 3 + static_cast<size_t>(c)] = Sample(line, x, bits[c]);
      }
      scaler->AddRow(y, row.data(), 3);
    }
  }
  Take(*scaler, out);
  return true;
}

}  // namespace

bool DecodeHeif(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(),
                                                                 heif_context_free);
  if (context == nullptr) return false;
  heif_context_set_maximum_image_size_limit(context.get(), 1 << 15);
  if (heif_context_read_from_memory_without_copy(context.get(), data, size, nullptr).code !=
      heif_error_Ok)
    return false;
  heif_image_handle* primary = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok)
    return false;
  std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)> owned(
      primary, heif_image_handle_release);
  out.width = heif_image_handle_get_width(primary);
  out.height = heif_image_handle_get_height(primary);
  if (!request.picture) return true;
  // The thumbnail item, when it is at least half the box.
  heif_item_id ids[4];
  const int thumbnails = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids, 4);
  for (int i = 0; i < thumbnails; ++i) {
    heif_image_handle* thumb = nullptr;
    if (heif_image_handle_get_thumbnail(primary, ids[i], &thumb).code != heif_error_Ok) continue;
    std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)> ownedThumb(
        thumb, heif_image_handle_release);
    if (std::max(heif_image_handle_get_width(thumb), heif_image_handle_get_height(thumb)) >=
            std::min(request.maxWidth, request.maxHeight) / 2 &&
        DecodeHeifImage(thumb, request, out))
      return true;
  }
  return DecodeHeifImage(primary, request, out);
}

namespace {

struct TiffInput {
  const uint8_t* data;
  toff_t size;
  toff_t at;
};

tmsize_t TiffRead(thandle_t handle, void* buffer, tmsize_t count) {
  auto* input = static_cast<TiffInput*>(handle);
  if (count <= 0 || input->at >= input->size) return 0;
  const toff_t n = std::min<toff_t>(static_cast<toff_t>(count), input->size - input->at);
  std::memcpy(buffer, input->data + input->at, n);
  input->at += n;
  return static_cast<tmsize_t>(n);
}
tmsize_t TiffWrite(thandle_t, void*, tmsize_t) {
  return -1;
}
toff_t TiffSeek(thandle_t handle, toff_t offset, int whence) {
  auto* input = static_cast<TiffInput*>(handle);
  const toff_t base = whence == SEEK_CUR ? input->at : whence == SEEK_END ? input->size : 0;
  input->at = base + offset;
  return input->at;
}
int TiffClose(thandle_t) {
  return 0;
}
toff_t TiffSize(thandle_t handle) {
  return static_cast<TiffInput*>(handle)->size;
}
int TiffMap(thandle_t, void**, toff_t*) {
  return 0;
}
void TiffUnmap(thandle_t, void*, toff_t) {}

}  // namespace

bool DecodeTiff(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  static const bool quiet = [] {
    // The library's complaints about damaged files would go to the host's terminal.
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return true;
  }();
  (void)quiet;
  TiffInput input{data, static_cast<toff_t>(size), 0};
  std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(
      TIFFClientOpen("file", "rm", &input, TiffRead, TiffWrite, TiffSeek, TiffClose, TiffSize,
                     TiffMap, TiffUnmap),
      TIFFClose);
  if (tiff == nullptr) return false;
  uint32_t width = 0, height = 0;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  out.width = static_cast<int>(std::min<uint32_t>(width, 1u << 30));
  out.height = static_cast<int>(std::min<uint32_t>(height, 1u << 30));
  char* date = nullptr;
  if (TIFFGetField(tiff.get(), TIFFTAG_DATETIME, &date) == 1 && date != nullptr &&
      std::strlen(date) >= 19) {
    std::string text(date, 19);
    text[4] = text[7] = '-';
    text[10] = 'T';
    out.date = text;
  }
  if (!request.picture) return width > 0 && height > 0;
  if (TooLarge(width, height, request)) return false;
  char message[1024] = "";
  if (!TIFFRGBAImageOK(tiff.get(), message)) return false;
  TIFFRGBAImage image{};
  if (!TIFFRGBAImageBegin(&image, tiff.get(), 0, message)) return false;
  image.req_orientation = ORIENTATION_TOPLEFT;
  auto scaler = ScalerFor(static_cast<int>(width), static_cast<int>(height), request);
  // A band of rows at a time keeps memory to the band.
  const uint32_t band = std::max<uint32_t>(1, std::min<uint32_t>(height, (4u << 20) / width));
  std::vector<uint32_t> raster(size_t(width) * band);
  for (uint32_t top = 0; top < height && !request.deadline.Passed(); top += band) {
    const uint32_t rows = std::min(band, height - top);
    image.row_offset = static_cast<int>(top);
    image.col_offset = 0;
    if (!TIFFRGBAImageGet(&image, raster.data(), width, rows)) break;
    for (uint32_t y = 0; y < rows; ++y)
      scaler->AddRow(static_cast<int>(top + y),
                     reinterpret_cast<const uint8_t*>(&raster[size_t(y) * width]), 4);
  }
  TIFFRGBAImageEnd(&image);
  if (scaler->RowsAdded() == 0) return false;
  Take(*scaler, out);
  return true;
}

namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool DecodeBmp(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  // Uncompressed 8, 24 and 32 bit rows, stored bottom up: a cut file keeps its lower part.
  if (size < 54 || data[0] != 'B' || data[1] != 'M') return false;
  const uint32_t pixels = Le32(data + 10), header = Le32(data + 14);
  const int32_t width = static_cast<int32_t>(Le32(data + 18));
  const int32_t rawHeight = static_cast<int32_t>(Le32(data + 22));
  const unsigned bits = data[28] | data[29] << 8;
  const uint32_t compression = Le32(data + 30);
  if (header < 40 || width <= 0 || rawHeight == 0 || rawHeight == INT32_MIN ||
      (compression != 0 && !(compression == 3 && bits == 32)) ||
      (bits != 8 && bits != 24 && bits != 32) || pixels >= size)
    return false;
  const bool topDown = rawHeight < 0;
  const int32_t height = topDown ? -rawHeight : rawHeight;
  out.width = width;
  out.height = height;
  if (!request.picture) return true;
  if (TooLarge(width, height, request)) return false;
  const size_t rowBytes = (size_t(width) * bits / 8 + 3) / 4 * 4;
  const uint8_t* palette = data + 14 + header;
  auto scaler = ScalerFor(width, height, request);
  std::vector<uint8_t> rgb(size_t(width) * 3);
  for (int32_t stored = 0; stored < height; ++stored) {
    const size_t at = pixels + rowBytes * size_t(stored);
    if (at + rowBytes > size) break;
    const uint8_t* row = data + at;
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* p = bits == 8 ? palette + size_t(row[x]) * 4 : row + size_t(x) * (bits / 8);
      if (p + 3 > data + size) return false;
      rgb[size_t(x) * 3] = p[2];
      rgb[size_t(x) * 3 + 1] = p[1];
      rgb[size_t(x) * 3 + 2] = p[0];
    }
    scaler->AddRow(topDown ? stored : height - 1 - stored, rgb.data(), 3);
  }
  if (scaler->RowsAdded() == 0) return false;
  Take(*scaler, out);
  return true;
}

namespace {

uint32_t Be16(const uint8_t* p) {
  return uint32_t(p[0]) << 8 | p[1];
}
uint32_t Be32(const uint8_t* p) {
  return Be16(p) << 16 | Be16(p + 2);
}

// PackBits: a count byte n, then n+1 literal bytes (n < 128) or one byte 257-n times.
void Unpack(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
  size_t i = 0, o = 0;
  while (i < inSize && o < outSize) {
    const int n = static_cast<int8_t>(in[i++]);
    if (n >= 0) {
      const size_t count = std::min({size_t(n) + 1, inSize - i, outSize - o});
      std::memcpy(out + o, in + i, count);
      i += count;
      o += count;
    } else if (n != -128 && i < inSize) {
      const size_t count = std::min(size_t(1 - n), outSize - o);
      std::memset(out + o, in[i++], count);
      o += count;
    }
  }
}

}  // namespace

bool DecodePsd(const uint8_t* data, size_t size, const DecodeRequest& request, Decoded& out) {
  // The merged picture Photoshop stores after the layers: one plane per channel, raw or
  // PackBits, each channel shrunk on its own so that memory stays the thumbnail's.
  if (size < 30 || std::memcmp(data, "8BPS", 4) != 0) return false;
  const uint32_t version = Be16(data + 4), channels = Be16(data + 12);
  const uint32_t height = Be32(data + 14), width = Be32(data + 18);
  const uint32_t depth = Be16(data + 22), mode = Be16(data + 24);
  if ((version != 1 && version != 2) || width == 0 || height == 0 || width > (1u << 30) ||
      height > (1u << 30))
    return false;
  out.width = static_cast<int>(width);
  out.height = static_cast<int>(height);
  if (!request.picture) return true;
  const uint32_t used = mode == 3 ? 3 : mode == 1 ? 1 : 0;
  if (used == 0 || channels < used || (depth != 8 && depth != 16) ||
      TooLarge(width, height, request))
    return false;
  const bool big = version == 2;
  size_t at = 26;
  for (int section = 0; section < 3; ++section) {
    const size_t lengthSize = section == 2 && big ? 8 : 4;
    if (at + lengthSize > size) return false;
    const uint64_t length =
        lengthSize == 8 ? uint64_t(Be32(data + at)) << 32 | Be32(data + at + 4) : Be32(data + at);
    if (length > size - at - lengthSize) return false;
    at += lengthSize + length;
  }
  if (at + 2 > size) return false;
  const uint32_t compression = Be16(data + at);
  at += 2;
  const size_t rowBytes = size_t(width) * depth / 8, countSize = big ? 4 : 2;
  const size_t rows = size_t(channels) * height;
  if (compression == 1 && (rows > (size - at) / countSize)) return false;
  if (compression != 0 && compression != 1) return false;
  size_t next = compression == 1 ? at + rows * countSize : at;
  std::vector<std::unique_ptr<CRowScaler>> planes;
  std::vector<uint8_t> row(rowBytes), grey(width);
  for (uint32_t c = 0; c < used; ++c) {
    planes.push_back(ScalerFor(static_cast<int>(width), static_cast<int>(height), request));
    for (uint32_t y = 0; y < height && !request.deadline.Passed(); ++y) {
      const size_t index = size_t(c) * height + y;
      const size_t length = compression == 0
                                ? rowBytes
                                : (big ? Be32(data + at + index * 4) : Be16(data + at + index * 2));
      if (next >= size) break;
      const size_t available = std::min(length, size - next);
      if (compression == 0) {
        std::memcpy(row.data(), data + next, available);
        std::fill(row.begin() + static_cast<long>(available), row.end(), 0);
      } else {
        std::fill(row.begin(), row.end(), 0);
        Unpack(data + next, available, row.data(), rowBytes);
      }
      next += length;
      // 16-bit samples are big endian: their first byte is the 8-bit value.
      for (uint32_t x = 0; x < width; ++x) grey[x] = row[size_t(x) * depth / 8];
      planes.back()->AddRow(static_cast<int>(y), grey.data(), 1);
    }
  }
  if (planes[0]->RowsAdded() == 0) return false;
  if (used == 1) {
    Take(*planes[0], out);
    return true;
  }
  Take(*planes[0], out);
  const std::vector<uint8_t> green = planes[1]->Finish(), blue = planes[2]->Finish();
  for (size_t i = 0; i + 2 < out.rgb.size(); i += 3) {
    out.rgb[i + 1] = green[i];
    out.rgb[i + 2] = blue[i];
  }
  return true;
}

}  // namespace salvor
