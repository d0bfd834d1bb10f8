// A preview module for the engine's own tests: a handler that registers itself in its entry
// function and answers every operation with a result the test can tell apart, so that a slot
// moved in the interface shows up as a wrong answer from this separately built library.
#include <cstdio>
#include <cstring>
#include <string>

#include "salvor/CDataStream.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/CPreviewHandler.h"

namespace {

class TestPreviewHandler : public CPreviewHandler {
 public:
  const char* GetUniqueID() override { return "test.preview"; }
  const char* GetDisplayName() override { return "Test preview"; }
  bool CanPreview(const char* mimeType) override {
    return mimeType != nullptr && std::strcmp(mimeType, "image/test") == 0;
  }
  bool DescribePreview(CDataStream* file, char* text, int textSize) override {
    return std::snprintf(text, static_cast<size_t>(textSize), "%lld bytes", file->GetSize()) > 0;
  }
  // "thumb WxH of N": the bounds and the file's size, so the caller sees all three arrive.
  int MakeThumbnail(CDataStream* file, int maxWidth, int maxHeight, unsigned char* buffer,
                    int bufferSize) override {
    const std::string picture = "thumb " + std::to_string(maxWidth) + "x" +
                                std::to_string(maxHeight) + " of " +
                                std::to_string(file->GetSize());
    const int size = static_cast<int>(picture.size());
    if (buffer != nullptr && bufferSize >= size)
      std::memcpy(buffer, picture.data(), picture.size());
    return size;
  }
  bool GetPreviewInfo(CDataStream*, int* width, int* height, char* date, int dateSize) override {
    *width = 640;
    *height = 480;
    std::snprintf(date, static_cast<size_t>(dateSize), "2001-02-03T04:05:06");
    return true;
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) CPreviewHandler* GetPVInstance(
    CPhotoRecovery* engine) {
  static TestPreviewHandler handler;
  engine->PVAdded(&handler);
  return &handler;
}
