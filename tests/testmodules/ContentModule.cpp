// A content module for the engine's own tests: a handler that registers itself in its entry
// function. Built on nothing but the SDK, so that it stands for any separately built plug-in.
#include "salvor/CPhotoRecovery.h"
#include "tests/support/FakeHandlers.h"

extern "C" __attribute__((visibility("default"))) CContentHandler* GetCHInstance(
    CPhotoRecovery* engine) {
  static FakeContentHandler handler("test.content");
  engine->CHAdded(&handler);
  return &handler;
}
