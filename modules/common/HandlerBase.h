#pragma once

#include "salvor/CContentHandler.h"
#include "salvor/CPhotoRecovery.h"
#include "plugin/Plugin.h"

namespace salvor {

// What a handler tells about itself; all texts are static.
struct HandlerInfo {
  const char* id;           // unique ID, e.g. "salvor.jpeg"
  const char* mimeTypes;    // e.g. "image/jpeg"
  const char* displayName;  // e.g. "JPEG image"
  const char* extensions;   // e.g. "jpg;jpeg"
  int maxSizeKiB;           // default of the MaxSize property
  int maxSizeLimitKiB;      // largest MaxSize a user may set
};

// Base of every shipped content handler: the CPluginBase operations forward to the property
// store, and the properties every handler has are defined here: MaxSize (KiB), Enabled (0/1),
// Unaligned (0/1: also find starts inside a block, not only at its first byte).
class CHandlerBase : public CContentHandler, public CPlugin {
 public:
  CHandlerBase(CPhotoRecovery* engine, const HandlerInfo& info);
  ~CHandlerBase() override;

  const char* GetUniqueID() override;
  bool SetIntPropValue(const char* name, int value) override;
  bool GetIntPropValue(const char* name, int* value) override;
  bool GetIntPropDefault(const char* name, int* value) override;
  bool GetIntPropMin(const char* name, int* value) override;
  bool GetIntPropMax(const char* name, int* value) override;
  bool GetIntPropStep(const char* name, int* value) override;
  bool IsIntProp(const char* name) override;
  bool EnumIntProp(int index, char* name) override;
  bool SetStrPropValue(const char* name, const char* value) override;
  bool GetStrPropValue(const char* name, char* value) override;
  bool GetStrPropDefault(const char* name, char* value) override;
  bool IsStrPropValueValid(const char* name, const char* value) override;
  bool IsStrProp(const char* name) override;
  bool EnumStrProp(int index, char* name) override;

  const char* GetMimeTypes() override;
  bool IsEnabled() override;
  const char* GetDisplayName() override;
  const char* GetFileExtensions() override;

  // Cached property values, read on the hot path without a map lookup.
  bool Unaligned() const { return FUnaligned; }
  long long MaxSizeBytes() const { return FMaxSizeBytes; }

 protected:
  // Derived classes that override this must call the base version.
  void IntPropChanged(const char* name) override;

 private:
  HandlerInfo FInfo;
  bool FEnabled;
  bool FUnaligned;
  long long FMaxSizeBytes;
};

}  // namespace salvor

// Defines the module's entry: builds the one handler, registers it with the engine, returns it.
#define SALVOR_CONTENT_MODULE(HandlerClass)                                         \
  extern "C" __attribute__((visibility("default"))) CContentHandler* GetCHInstance( \
      CPhotoRecovery* engine) {                                                     \
    static HandlerClass handler(engine);                                            \
    engine->CHAdded(&handler);                                                      \
    return &handler;                                                                \
  }
