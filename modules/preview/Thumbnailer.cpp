#include "modules/preview/Thumbnailer.h"

#include <cstring>

#include "modules/preview/Decoders.h"

namespace salvor {

namespace {

enum class Kind { Jpeg, Png, Gif, Webp, Heif, Tiff, Raw, Psd, Other };

bool Starts(const uint8_t* head, size_t size, const char* magic, size_t at = 0) {
  const size_t length = std::strlen(magic);
  return size >= at + length && std::memcmp(head + at, magic, length) == 0;
}

// Told by the file's first bytes, as the content modules recovered it.
Kind KindOf(const uint8_t* head, size_t size) {
  if (size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return Kind::Jpeg;
  if (Starts(head, size, "\x89PNG")) return Kind::Png;
  if (Starts(head, size, "GIF8")) return Kind::Gif;
  if (Starts(head, size, "8BPS")) return Kind::Psd;
  if (Starts(head, size, "RIFF") && Starts(head, size, "WEBP", 8)) return Kind::Webp;
  if (Starts(head, size, "ftyp", 4) && size >= 12) {
    for (const char* brand :
         {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif", "avis"})
      if (Starts(head, size, brand, 8)) return Kind::Heif;
    if (Starts(head, size, "crx ", 8)) return Kind::Raw;  // Canon CR3
    return Kind::Other;
  }
  // TIFF and the camera RAWs built on it (CR2, NEF, ARW, DNG, ...), Olympus and Panasonic
  // RAWs with their own magic, Fujifilm's RAF.
  if (Starts(head, size, "II*\0") || Starts(head, size, "MM\0*")) return Kind::Tiff;
  if (Starts(head, size, "IIRO") || Starts(head, size, "IIRS") || Starts(head, size, "IIU\0") ||
      Starts(head, size, "FUJIFILMCCD-RAW"))
    return Kind::Raw;
  return Kind::Other;
}

// A recovered file read whole into memory, up to the limit.
bool ReadWhole(CByteSource& file, long long limit, std::vector<uint8_t>& bytes) {
  const long long size = file.Size();
  if (size <= 0 || size > limit) return false;
  bytes.resize(static_cast<size_t>(size));
  return file.ReadAt(0, bytes.data(), size) == size;
}

bool DecodeStill(Kind kind, const std::vector<uint8_t>& bytes, const DecodeRequest& request,
                 Decoded& out) {
  const uint8_t* data = bytes.data();
  const size_t size = bytes.size();
  switch (kind) {
    case Kind::Jpeg:
      return DecodeJpeg(data, size, request, out);
    case Kind::Png:
      return DecodePng(data, size, request, out);
    case Kind::Gif:
      return DecodeGif(data, size, request, out);
    case Kind::Webp:
      return DecodeWebp(data, size, request, out);
    case Kind::Heif:
      return DecodeHeif(data, size, request, out);
    case Kind::Tiff: {
      // A camera RAW's JPEG preview fills the box where its first IFD is a small thumbnail
      // or raw sensor data; a plain TIFF has no JPEG of its own.
      Decoded tiff;
      const bool decoded = DecodeTiff(data, size, request, tiff);
      if (!request.picture) {
        out = tiff;
        return decoded;
      }
      Decoded embedded;
      if (DecodeEmbeddedJpeg(data, size, request, embedded) &&
          (!decoded || std::max(embedded.rgbWidth, embedded.rgbHeight) >
                           std::max(tiff.rgbWidth, tiff.rgbHeight))) {
        out = std::move(embedded);
        out.width = tiff.width > 0 ? tiff.width : out.width;
        out.height = tiff.height > 0 ? tiff.height : out.height;
        out.date = tiff.date;
        return true;
      }
      out = std::move(tiff);
      return decoded;
    }
    case Kind::Raw:
      return DecodeEmbeddedJpeg(data, size, request, out);
    case Kind::Psd:
      // The merged picture, else the thumbnail Photoshop keeps among its resources.
      return DecodePsd(data, size, request, out) ||
             (request.picture && DecodeEmbeddedJpeg(data, size, request, out));
    case Kind::Other:
      break;
  }
  return false;
}

}  // namespace

bool MakePreview(CByteSource& file, int maxWidth, int maxHeight, bool picture, Preview& out,
                 const PreviewLimits& limits) {
  out = Preview();
  if (maxWidth <= 0 || maxHeight <= 0) return false;
  uint8_t head[32] = {};
  const long long got = file.ReadAt(0, head, sizeof head);
  if (got <= 0) return false;
  const Kind kind = KindOf(head, static_cast<size_t>(got));
  const CDeadline deadline(limits.maxTime);
  const DecodeRequest request{maxWidth, maxHeight, picture, limits, deadline};
  Decoded decoded;
  bool ok = false;
  bool sound = false;
  if (kind != Kind::Other) {
    std::vector<uint8_t> bytes;
    ok = ReadWhole(file, limits.maxStillBytes, bytes) && DecodeStill(kind, bytes, request, decoded);
  } else {
    ok = DecodeWithFfmpeg(file, request, decoded, &sound);
    if (!ok && picture) {
      // What FFmpeg cannot read may still show: a cut BMP's rows, the JPEG preview a
      // Photoshop file or a RAW of another maker carries.
      std::vector<uint8_t> bytes;
      Decoded fallback;
      ok = ReadWhole(file, limits.maxStillBytes, bytes) &&
           (DecodeBmp(bytes.data(), bytes.size(), request, fallback) ||
            DecodeEmbeddedJpeg(bytes.data(), bytes.size(), request, fallback));
      if (ok) decoded = std::move(fallback);
    }
  }
  if (!ok) return false;
  out.width = decoded.width;
  out.height = decoded.height;
  out.date = decoded.date;
  if (!picture) return true;
  if (sound) {
    out.jpeg = SoundIcon(maxWidth, maxHeight);
  } else {
    out.jpeg = EncodeJpeg(decoded.rgb, decoded.rgbWidth, decoded.rgbHeight);
  }
  return !out.jpeg.empty();
}

}  // namespace salvor
