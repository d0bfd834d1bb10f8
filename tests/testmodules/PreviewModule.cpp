// A preview module for the engine's own tests: a handler that describes any file by its size
// and registers itself in its entry function.
#include <cstdio>
#include <cstring>

#include "salvor/CDataStream.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/CPreviewHandler.h"

namespace {

class CTestPreviewHandler : public CPreviewHandler {
 public:
  const char* GetUniqueID() override { return "test.preview"; }
  const char* GetDisplayName() override { return "Size preview (test)"; }
  bool CanPreview(const char* mimeType) override {
    return mimeType != nullptr && strncmp(mimeType, "image/", 6) == 0;
  }
  bool DescribePreview(CDataStream* file, char* text, int textSize) override {
    if (file == nullptr || text == nullptr || textSize <= 0) return false;
    snprintf(text, static_cast<size_t>(textSize), "%lld bytes", file->GetSize());
    return true;
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) CPreviewHandler* GetPVInstance(
    CPhotoRecovery* engine) {
  static CTestPreviewHandler handler;
  engine->PVAdded(&handler);
  return &handler;
}
