// GIF: giflib reads every record and decodes every frame's LZW data line by line to its last
// pixel (memory stays at one line); the trailer ends the file. LZW takes any codes once its
// table is full, so garbage can decode to a frame's end: what comes after the last pixel
// shows it (an encoder ends the data right there, garbage runs on), and a frame that ends
// right proves the bytes up to its end.

#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "validate/Formats.h"

namespace salvor {
namespace {

constexpr long long kRead = 64 * 1024;
// Decoding time follows the pixels, which LZW lets a small file claim by the hundred million.
constexpr unsigned long long kMaxPixels = 1ULL << 29;
// After a frame's last pixel only its end code remains: in the sub-block being read or the
// next one, then the empty one that ends the data.
constexpr long long kMaxTail = 2 * 256 + 1;

struct Input {
  ByteSpan* span;
  std::unique_ptr<uint8_t[]> buffer;  // kRead bytes from `bufferAt`
  long long bufferAt = 0;
  long long buffered = 0;
  long long position = 0;  // what giflib has read
  bool short_ = false;     // the span gave fewer bytes than asked for
};

int ReadGif(GifFileType* gif, GifByteType* out, int length) {
  Input& in = *static_cast<Input*>(gif->UserData);
  int done = 0;
  while (done < length) {
    if (in.position >= in.bufferAt + in.buffered) {
      in.bufferAt = in.position;
      const long long want = std::min(kRead, in.span->Size() - in.position);
      in.buffered = want > 0 ? std::max(0LL, in.span->Read(in.position, in.buffer.get(), want)) : 0;
      if (in.buffered == 0) {
        in.short_ = true;
        break;
      }
    }
    const int take = static_cast<int>(
        std::min<long long>(length - done, in.bufferAt + in.buffered - in.position));
    std::copy_n(in.buffer.get() + (in.position - in.bufferAt), take, out + done);
    done += take;
    in.position += take;
  }
  return done;
}

struct CloseGif {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

// Passes over the rest of a record made of sub-blocks (an extension, a frame's data).
bool SkipBlocks(GifFileType* gif, GifByteType* block) {
  while (block != nullptr)
    if (DGifGetCodeNext(gif, &block) == GIF_ERROR) return false;
  return true;
}

}  // namespace

Validation ValidateGif(ByteSpan& bytes) {
  Input in{&bytes, std::unique_ptr<uint8_t[]>(new uint8_t[kRead])};
  long long proven = 0;
  const auto broken = [&in, &bytes, &proven](int error) {
    if (in.short_) {
      const bool cut = in.position >= bytes.Size();
      return Validation::Damaged(proven, in.position, cut ? "cut short" : "unreadable");
    }
    if (error == D_GIF_ERR_NOT_ENOUGH_MEM) return Validation::CannotTell();
    const char* reason = GifErrorString(error);
    return Validation::Damaged(proven, in.position, reason != nullptr ? reason : "GIF error");
  };
  int error = 0;
  std::unique_ptr<GifFileType, CloseGif> gif(DGifOpen(&in, ReadGif, &error));
  if (!gif) return broken(error);
  std::vector<GifPixelType> line;
  unsigned long long pixels = 0;
  for (;;) {
    GifRecordType record = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif.get(), &record) == GIF_ERROR) return broken(gif->Error);
    if (record == TERMINATE_RECORD_TYPE) return Validation::Intact(in.position);
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return broken(gif->Error);
      while (block != nullptr)
        if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return broken(gif->Error);
      continue;
    }
    if (DGifGetImageHeader(gif.get()) == GIF_ERROR) return broken(gif->Error);
    const unsigned long long width = gif->Image.Width, height = gif->Image.Height;
    pixels += width * height;
    if (pixels > kMaxPixels) return Validation::CannotTell();
    if (width == 0 || height == 0) {  // nothing to decode: pass over the data
      int codeSize = 0;
      GifByteType* block = nullptr;
      if (DGifGetCode(gif.get(), &codeSize, &block) == GIF_ERROR || !SkipBlocks(gif.get(), block))
        return broken(gif->Error);
    } else {
      line.resize(static_cast<size_t>(width));
      for (unsigned long long y = 0; y + 1 < height; ++y)
        if (DGifGetLine(gif.get(), line.data(), static_cast<int>(width)) == GIF_ERROR)
          return broken(gif->Error);
      // The last pixel alone, to see how much giflib passes over after it.
      if (width > 1 &&
          DGifGetLine(gif.get(), line.data(), static_cast<int>(width - 1)) == GIF_ERROR)
        return broken(gif->Error);
      const long long last = in.position;
      if (DGifGetPixel(gif.get(), 0) == GIF_ERROR) return broken(gif->Error);
      if (in.position - last > kMaxTail)
        return Validation::Damaged(proven, last + kMaxTail,
                                   "frame data goes on after its last pixel");
      proven = in.position;
    }
  }
}

}  // namespace salvor
