#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "salvor/CEventHandler.h"
#include "salvor/CPhotoRecovery.h"

class CDataSourceModule;
class CDataStream;

namespace SV {

// The engine. Registries are ordered by the byte order of the identifiers; the engine owns
// only their keys, never the registered objects.
class CPhotoRecovery final : public ::CPhotoRecovery {
 public:
  CPhotoRecovery();
  ~CPhotoRecovery() override;
  CPhotoRecovery(const CPhotoRecovery&) = delete;
  CPhotoRecovery& operator=(const CPhotoRecovery&) = delete;

  void Log(const char* source, int level, const char* text) override;
  int GetContentHandlerCount() override;
  CContentHandler* GetContentHandler(int index) override;
  void AddContentPlugin(const char* path) override;
  int GetPreviewHandlerCount() override;
  CPreviewHandler* GetPreviewHandler(int index) override;
  void AddPreviewPlugin(const char* path) override;
  int GetDataSourceCount() override;
  CDataSource* GetDataSource(int index) override;
  CDataSource* FindDataSourceByID(const char* id) override;
  void AddDSPlugin(const char* path) override;
  void RescanDataSources() override;
  CDataSource* MountFile(const wchar_t* path) override;
  void UnmountFile(CDataSource* source) override;
  bool Scan(CDataSource* source) override;
  void SetScanCacheSize(unsigned int bytes) override;
  void SetScanReadAhead(unsigned int bytes) override;
  void SetEventHandler(CEventHandler* sink) override;
  void CHAdded(CContentHandler* handler) override;
  void CHChanged(CContentHandler* handler) override;
  void CHDeleted(CContentHandler* handler) override;
  void PVAdded(CPreviewHandler* handler) override;
  void PVChanged(CPreviewHandler* handler) override;
  void PVDeleted(CPreviewHandler* handler) override;
  void DSAdded(CDataSource* source) override;
  void DSChanged(CDataSource* source) override;
  void DSDeleted(CDataSource* source) override;
  void DSSeek(CDataSource* source, long long position, bool& cancel) override;

  virtual void ReportWindowsError(int code, const char* data);
  virtual void DSAccess(CDataSource* source, long long position, bool& cancel);

  // What a scan needs of the engine; called by the scan only.
  // Logs a recovered file and hands it to the sink.
  void DeliverFile(CContentHandler* handler, CDataStream* file);
  // The enabled content handlers in ascending order of their identifiers' bytes.
  std::vector<CContentHandler*> EnabledContentHandlers();
  long long ScanReadAhead() const { return FScanReadAhead; }
  long long ScanCacheSize() const { return FScanCacheSize; }
  // Forwarded to the sink when one is set, like DSAccess.
  void ScanProgress(long long block, long long blockCount, bool& cancel) {
    if (FEventHandler != nullptr) FEventHandler->ScanProgress(block, blockCount, cancel);
  }
  void ScanCompleted(bool completed, bool cancelled) {
    if (FEventHandler != nullptr) FEventHandler->ScanCompleted(completed, cancelled, 0);
  }

 private:
  // Adds object under its identifier, or logs the refusal when the identifier is taken.
  template <typename Object>
  bool AddEntry(std::map<std::string, Object*>& registry, Object* object, const char* kind,
                const char* refusal);
  // True when id is registered; otherwise logs the refusal.
  template <typename Object>
  bool IsRegistered(const std::map<std::string, Object*>& registry, const std::string& id,
                    const char* kind, const char* refusal);

  CEventHandler* FEventHandler;
  std::map<std::string, CDataSource*> FDataSources;
  std::map<std::string, CContentHandler*> FContentHandlers;
  std::map<std::string, CPreviewHandler*> FPreviewHandlers;
  std::map<std::string, CDataSourceModule*> FDSModules;
  long long FScanReadAhead;
  long long FScanCacheSize;
  // Identifiers of the content handlers whose sink CHDeleted call is under way.
  std::set<std::string> FHandlersBeingDeleted;
};

}  // namespace SV
