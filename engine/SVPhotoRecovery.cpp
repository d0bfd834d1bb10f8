#include "engine/SVPhotoRecovery.h"

#include <sstream>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "salvor/CEventHandler.h"
#include "salvor/CPreviewHandler.h"

namespace {

SV::CPhotoRecovery* gEngine = nullptr;

// Entry at position index in key order, or null; linear in index, like the host's listing.
template <typename Map>
typename Map::mapped_type EntryAt(const Map& registry, int index) {
  if (index < 0) return nullptr;
  auto it = registry.begin();
  for (int i = 0; i < index && it != registry.end(); ++i) ++it;
  return it == registry.end() ? nullptr : it->second;
}

}  // namespace

extern "C" ::CPhotoRecovery* GetSVSingleton() {
  if (gEngine == nullptr) gEngine = new SV::CPhotoRecovery();
  return gEngine;
}

namespace SV {

CPhotoRecovery::CPhotoRecovery()
    : FEventHandler(nullptr), FScanReadAhead(16384), FScanCacheSize(0x200000) {}

CPhotoRecovery::~CPhotoRecovery() {
  FDSModules.clear();
  FPreviewHandlers.clear();
  FContentHandlers.clear();
  FDataSources.clear();
}

int CPhotoRecovery::GetContentHandlerCount() {
  return static_cast<int>(FContentHandlers.size());
}
CContentHandler* CPhotoRecovery::GetContentHandler(int index) {
  return EntryAt(FContentHandlers, index);
}
int CPhotoRecovery::GetPreviewHandlerCount() {
  return static_cast<int>(FPreviewHandlers.size());
}
CPreviewHandler* CPhotoRecovery::GetPreviewHandler(int index) {
  return EntryAt(FPreviewHandlers, index);
}
int CPhotoRecovery::GetDataSourceCount() {
  return static_cast<int>(FDataSources.size());
}
CDataSource* CPhotoRecovery::GetDataSource(int index) {
  return EntryAt(FDataSources, index);
}

CDataSource* CPhotoRecovery::FindDataSourceByID(const char* id) {
  if (id == nullptr) return nullptr;
  auto it = FDataSources.find(id);
  return it == FDataSources.end() ? nullptr : it->second;
}

void CPhotoRecovery::SetEventHandler(CEventHandler* sink) {
  FEventHandler = sink;
}

void CPhotoRecovery::SetScanReadAhead(unsigned int bytes) {
  if (bytes < 16384) bytes = 16384;
  std::ostringstream text;
  text << "Setting ScanReadAhead to " << bytes;
  Log("SVC", LogLevel::kDetail, text.str().c_str());
  FScanReadAhead = static_cast<long long>(bytes);
}

void CPhotoRecovery::SetScanCacheSize(unsigned int bytes) {
  std::ostringstream text;
  text << "Setting ScanCacheSize to " << bytes;
  Log("SVC", LogLevel::kDetail, text.str().c_str());
  FScanCacheSize = static_cast<long long>(bytes);
}

}  // namespace SV
