// The preview module: thumbnails, sizes and dates of recovered photos, movies and sound
// through the Debian libraries made for each format.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "modules/preview/Thumbnailer.h"
#include "salvor/CDataStream.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/CPreviewHandler.h"

namespace salvor {

namespace {

// The handler's borrowed stream as a source of bytes at any offset.
class CStreamBytes : public CByteSource {
 public:
  explicit CStreamBytes(CDataStream* stream) : FStream(stream) {}
  long long Size() override { return FStream->GetSize(); }
  long long ReadAt(long long offset, void* buffer, long long count) override {
    if (offset < 0 || count <= 0) return 0;
    FStream->SetPosition(offset);
    if (FStream->GetPosition() != offset) return 0;
    return FStream->Read(count, buffer);
  }

 private:
  CDataStream* FStream;
};

void CopyText(const std::string& text, char* out, int outSize) {
  if (out == nullptr || outSize <= 0) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(outSize - 1));
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

class CMediaPreviewHandler : public CPreviewHandler {
 public:
  const char* GetUniqueID() override { return "preview.media"; }
  const char* GetDisplayName() override { return "Photos, movies and sound"; }
  bool CanPreview(const char* mimeType) override {
    if (mimeType == nullptr) return false;
    for (const char* family : {"image/", "video/", "audio/"})
      if (std::strncmp(mimeType, family, std::strlen(family)) == 0) return true;
    return false;
  }
  bool DescribePreview(CDataStream* file, char* text, int textSize) override {
    if (file == nullptr) return false;
    CStreamBytes bytes(file);
    Preview preview;
    if (!MakePreview(bytes, 1, 1, false, preview)) return false;
    std::string line = preview.width > 0
                           ? std::to_string(preview.width) + "x" + std::to_string(preview.height)
                           : std::string("sound");
    if (!preview.date.empty()) line += ", taken " + preview.date;
    CopyText(line, text, textSize);
    return true;
  }
  int MakeThumbnail(CDataStream* file, int maxWidth, int maxHeight, unsigned char* buffer,
                    int bufferSize) override {
    if (file == nullptr) return 0;
    CStreamBytes bytes(file);
    Preview preview;
    if (!MakePreview(bytes, maxWidth, maxHeight, true, preview) ||
        preview.jpeg.size() > static_cast<size_t>(1 << 30))
      return 0;
    const int size = static_cast<int>(preview.jpeg.size());
    if (buffer != nullptr && bufferSize >= size)
      std::memcpy(buffer, preview.jpeg.data(), preview.jpeg.size());
    return size;
  }
  bool GetPreviewInfo(CDataStream* file, int* width, int* height, char* date,
                      int dateSize) override {
    if (file == nullptr) return false;
    CStreamBytes bytes(file);
    Preview preview;
    if (!MakePreview(bytes, 1, 1, false, preview)) return false;
    if (width != nullptr) *width = preview.width;
    if (height != nullptr) *height = preview.height;
    CopyText(preview.date, date, dateSize);
    return true;
  }
};

}  // namespace

}  // namespace salvor

extern "C" __attribute__((visibility("default"))) CPreviewHandler* GetPVInstance(
    CPhotoRecovery* engine) {
  static salvor::CMediaPreviewHandler handler;
  if (engine != nullptr) engine->PVAdded(&handler);
  return &handler;
}
