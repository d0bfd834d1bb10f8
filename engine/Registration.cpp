#include <string>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "salvor/CEventHandler.h"
#include "salvor/CPreviewHandler.h"
#include "engine/SVPhotoRecovery.h"

namespace SV {

namespace {

constexpr char kDataSource[] = "DataSource ";
constexpr char kContentHandler[] = "Content Handler ";
constexpr char kPreviewHandler[] = "Preview Handler ";
constexpr char kNotRegistered[] = " not registered - can't unregister";
constexpr char kAlreadyRegistered[] = " already registered - can't reregister";

}  // namespace

template <typename Object>
bool CPhotoRecovery::AddEntry(std::map<std::string, Object*>& registry, Object* object,
                              const char* kind, const char* refusal) {
  std::string id = object->GetUniqueID();
  // Identity is the identifier: an entry under it stays, whichever object holds it.
  if (registry.emplace(id, object).second) return true;
  Log("SVC", LogLevel::kError, (kind + id + refusal).c_str());
  return false;
}

template <typename Object>
bool CPhotoRecovery::IsRegistered(const std::map<std::string, Object*>& registry,
                                  const std::string& id, const char* kind, const char* refusal) {
  if (registry.count(id) != 0) return true;
  Log("SVC", LogLevel::kError, (kind + id + refusal).c_str());
  return false;
}

void CPhotoRecovery::DSAdded(CDataSource* source) {
  if (!AddEntry(FDataSources, source, kDataSource, " already added - can't reregister")) return;
  if (FEventHandler != nullptr) FEventHandler->DSAdded(source);
}

void CPhotoRecovery::DSDeleted(CDataSource* source) {
  const std::string id = source->GetUniqueID();
  if (!IsRegistered(FDataSources, id, kDataSource, kNotRegistered)) return;
  FDataSources.erase(id);
  if (FEventHandler != nullptr) FEventHandler->DSDeleted(source);
}

void CPhotoRecovery::CHAdded(CContentHandler* handler) {
  if (!AddEntry(FContentHandlers, handler, kContentHandler, kAlreadyRegistered)) return;
  if (FEventHandler != nullptr) FEventHandler->CHAdded(handler);
}

void CPhotoRecovery::CHChanged(CContentHandler* handler) {
  const std::string id = handler->GetUniqueID();
  if (!IsRegistered(FContentHandlers, id, kContentHandler,
                    " not registered - can't handle change events")) {
    return;
  }
  Log("SVC", LogLevel::kDetail, (kContentHandler + id + " change").c_str());
  if (FEventHandler != nullptr) FEventHandler->CHChanged(handler);
}

void CPhotoRecovery::CHDeleted(CContentHandler* handler) {
  const std::string id = handler->GetUniqueID();
  // The sink, told of this very removal, unregisters the handler itself: it is simply gone,
  // and the removal under way finds nothing left to remove.
  if (FHandlersBeingDeleted.count(id) != 0) {
    FContentHandlers.erase(id);
    return;
  }
  if (!IsRegistered(FContentHandlers, id, kContentHandler, kNotRegistered)) return;
  Log("SVC", LogLevel::kStep, (kContentHandler + id + " unregistered").c_str());
  if (FEventHandler != nullptr) {
    FHandlersBeingDeleted.insert(id);
    FEventHandler->CHDeleted(handler);
    FHandlersBeingDeleted.erase(id);
  }
  // The handler may report another identifier by now: the entry under that one goes.
  FContentHandlers.erase(std::string(handler->GetUniqueID()));
}

void CPhotoRecovery::PVAdded(CPreviewHandler* handler) {
  AddEntry(FPreviewHandlers, handler, kPreviewHandler, kAlreadyRegistered);
}

void CPhotoRecovery::PVChanged(CPreviewHandler*) {}

void CPhotoRecovery::PVDeleted(CPreviewHandler* handler) {
  const std::string id = handler->GetUniqueID();
  if (!IsRegistered(FPreviewHandlers, id, kPreviewHandler, kNotRegistered)) return;
  Log("SVC", LogLevel::kStep, (kPreviewHandler + id + " unregistered").c_str());
  FPreviewHandlers.erase(id);
}

std::vector<CContentHandler*> CPhotoRecovery::EnabledContentHandlers() {
  std::vector<CContentHandler*> handlers;
  for (const auto& entry : FContentHandlers) {
    if (entry.second->IsEnabled()) handlers.push_back(entry.second);
  }
  return handlers;
}

}  // namespace SV
