#include <string>

#include "engine/BundleLoader.h"
#include "salvor/CContentHandler.h"
#include "salvor/CDataSourceModule.h"
#include "salvor/CPreviewHandler.h"
#include "salvor/PluginEntry.h"
#include "engine/SVPhotoRecovery.h"

namespace SV {

namespace {

std::string Text(const char* text) {
  return text != nullptr ? text : "";
}

// Loads the module at path and calls its entry function once with the engine. Returns what
// the entry built, or null after logging why; a module whose entry gives nothing is unloaded.
// kind is "DS", "PV" or "CH" as it appears in the log lines.
template <typename Instance>
Instance* LoadModuleInstance(CPhotoRecovery* engine, const char* path, const char* entryName,
                             const char* kind) {
  const std::string pathText = Text(path);
  void* entry = nullptr;
  void* bundle = nullptr;
  if (!importBundleExecutable(path, entryName, entry, bundle)) {
    engine->Log("SVC", LogLevel::kError,
                ("Error loading " + std::string(kind) + " Plugin " + pathText).c_str());
    return nullptr;
  }
  engine->Log("SVC", LogLevel::kDetail,
              ("Loaded " + std::string(kind) + " Plugin Module " + pathText).c_str());
  Instance* instance = nullptr;
  // A library without the entry function is treated like an entry that built nothing.
  if (entry != nullptr) {
    using EntryFunction = Instance* (*)(::CPhotoRecovery*);
    instance = reinterpret_cast<EntryFunction>(entry)(engine);
  }
  if (instance == nullptr) {
    engine->Log("SVC", LogLevel::kError,
                ("Error initializing " + std::string(kind) + " Plugin " + pathText).c_str());
    unloadBundleExecutable(bundle);
  }
  return instance;
}

void LogRegistered(CPhotoRecovery* engine, const char* kind, const char* path,
                   const std::string& what) {
  engine->Log(
      "SVC", LogLevel::kStep,
      ("Loaded module " + Text(path) + " and registered " + kind + " Plugin " + what).c_str());
}

}  // namespace

void CPhotoRecovery::AddDSPlugin(const char* path) {
  CDataSourceModule* module =
      LoadModuleInstance<CDataSourceModule>(this, path, SALVOR_DS_ENTRY, "DS");
  if (module == nullptr) return;
  // A module with the identifier of an earlier one takes its place; the earlier one stays
  // loaded and alive, it is only no longer asked for sources.
  FDSModules[Text(module->GetUniqueID())] = module;
  LogRegistered(this, "DS", path, Text(module->GetUniqueID()));
}

void CPhotoRecovery::AddPreviewPlugin(const char* path) {
  // The module registers its handler itself (PVAdded) before handing it back.
  CPreviewHandler* handler = LoadModuleInstance<CPreviewHandler>(this, path, SALVOR_PV_ENTRY, "PV");
  if (handler == nullptr) return;
  LogRegistered(this, "PV", path, Text(handler->GetUniqueID()));
}

void CPhotoRecovery::AddContentPlugin(const char* path) {
  // The module registers its handler itself (CHAdded) before handing it back.
  CContentHandler* handler = LoadModuleInstance<CContentHandler>(this, path, SALVOR_CH_ENTRY, "CH");
  if (handler == nullptr) return;
  const std::string mimeTypes = Text(handler->GetMimeTypes());
  LogRegistered(this, "CH", path,
                Text(handler->GetUniqueID()) + " supporting mime type(s) " + mimeTypes);
}

}  // namespace SV
