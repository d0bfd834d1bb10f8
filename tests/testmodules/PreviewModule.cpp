// A preview module for the engine's own tests: a handler that registers itself in its entry
// function.
#include "salvor/CPhotoRecovery.h"
#include "tests/support/FakeHandlers.h"

extern "C" __attribute__((visibility("default"))) CPreviewHandler* GetPVInstance(
    CPhotoRecovery* engine) {
  static FakePreviewHandler handler("test.preview");
  engine->PVAdded(&handler);
  return &handler;
}
