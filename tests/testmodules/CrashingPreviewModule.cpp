// A preview module whose decoder dies on some files, as a library might on hostile data: it
// crashes on files of an odd size and gives a one-byte "thumbnail" of the rest.
#include <csignal>

#include "salvor/CDataStream.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/CPreviewHandler.h"

namespace {

class CrashingPreviewHandler : public CPreviewHandler {
 public:
  const char* GetUniqueID() override { return "test.preview.crashing"; }
  const char* GetDisplayName() override { return "Crashing preview"; }
  bool CanPreview(const char*) override { return true; }
  bool DescribePreview(CDataStream*, char*, int) override { return false; }
  int MakeThumbnail(CDataStream* file, int, int, unsigned char* buffer, int bufferSize) override {
    if (file->GetSize() % 2 == 1) std::raise(SIGSEGV);
    if (buffer != nullptr && bufferSize >= 1) buffer[0] = 'x';
    return 1;
  }
  bool GetPreviewInfo(CDataStream*, int*, int*, char*, int) override { return false; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) CPreviewHandler* GetPVInstance(
    CPhotoRecovery* engine) {
  static CrashingPreviewHandler handler;
  engine->PVAdded(&handler);
  return &handler;
}
