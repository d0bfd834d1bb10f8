#include <string>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "salvor/CEventHandler.h"
#include "salvor/CPreviewHandler.h"
#include "engine/SVPhotoRecovery.h"

namespace SV {

namespace {
std::string Message(const char* kind, const std::string& id, const char* tail) {
  return std::string(kind) + id + tail;
}
}  // namespace

void CPhotoRecovery::DSAdded(CDataSource* source) {
  std::string id = source->GetUniqueID();
  if (FDataSources.count(id) != 0) {
    Log("SVC", 4, Message("DataSource ", id, " already added - can't reregister").c_str());
    return;
  }
  FDataSources.emplace(id, source);
  if (FEventHandler != nullptr) FEventHandler->DSAdded(source);
}

void CPhotoRecovery::DSDeleted(CDataSource* source) {
  std::string id = source->GetUniqueID();
  auto it = FDataSources.find(id);
  if (it == FDataSources.end()) {
    Log("SVC", 4, Message("DataSource ", id, " not registered - can't unregister").c_str());
    return;
  }
  FDataSources.erase(it);
  if (FEventHandler != nullptr) FEventHandler->DSDeleted(source);
}

void CPhotoRecovery::CHAdded(CContentHandler* handler) {
  std::string id = handler->GetUniqueID();
  if (FContentHandlers.count(id) != 0) {
    Log("SVC", 4,
        Message("Content Handler ", id, " already registered - can't reregister").c_str());
    return;
  }
  FContentHandlers.emplace(id, handler);
  if (FEventHandler != nullptr) FEventHandler->CHAdded(handler);
}

void CPhotoRecovery::CHChanged(CContentHandler* handler) {
  std::string id = handler->GetUniqueID();
  if (FContentHandlers.count(id) == 0) {
    Log("SVC", 4,
        Message("Content Handler ", id, " not registered - can't handle change events").c_str());
    return;
  }
  Log("SVC", 1, Message("Content Handler ", id, " change").c_str());
  if (FEventHandler != nullptr) FEventHandler->CHChanged(handler);
}

void CPhotoRecovery::CHDeleted(CContentHandler* handler) {
  std::string id = handler->GetUniqueID();
  if (FContentHandlers.count(id) == 0) {
    Log("SVC", 4, Message("Content Handler ", id, " not registered - can't unregister").c_str());
    return;
  }
  Log("SVC", 2, Message("Content Handler ", id, " unregistered").c_str());
  if (FEventHandler != nullptr) FEventHandler->CHDeleted(handler);
  // The sink may have unregistered it already, and the handler may report another ID now.
  FContentHandlers.erase(std::string(handler->GetUniqueID()));
}

void CPhotoRecovery::PVAdded(CPreviewHandler* handler) {
  std::string id = handler->GetUniqueID();
  if (FPreviewHandlers.count(id) != 0) {
    Log("SVC", 4,
        Message("Preview Handler ", id, " already registered - can't reregister").c_str());
    return;
  }
  FPreviewHandlers.emplace(id, handler);
}

void CPhotoRecovery::PVChanged(CPreviewHandler*) {}

void CPhotoRecovery::PVDeleted(CPreviewHandler* handler) {
  std::string id = handler->GetUniqueID();
  auto it = FPreviewHandlers.find(id);
  if (it == FPreviewHandlers.end()) {
    Log("SVC", 4, Message("Preview Handler ", id, " not registered - can't unregister").c_str());
    return;
  }
  Log("SVC", 2, Message("Preview Handler ", id, " unregistered").c_str());
  FPreviewHandlers.erase(it);
}

}  // namespace SV
