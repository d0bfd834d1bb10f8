#pragma once

#include "LogLevel.h"

class CContentHandler;
class CPreviewHandler;
class CDataSource;
class CEventHandler;

// The engine as the host and plug-ins see it. Obtain it with GetSVSingleton().
class CPhotoRecovery {
 public:
  virtual ~CPhotoRecovery() {}
  virtual void Log(const char* source, int level, const char* text) = 0;
  virtual int GetContentHandlerCount() = 0;
  virtual CContentHandler* GetContentHandler(int index) = 0;
  virtual void AddContentPlugin(const char* path) = 0;
  virtual int GetPreviewHandlerCount() = 0;
  virtual CPreviewHandler* GetPreviewHandler(int index) = 0;
  virtual void AddPreviewPlugin(const char* path) = 0;
  virtual int GetDataSourceCount() = 0;
  virtual CDataSource* GetDataSource(int index) = 0;
  virtual CDataSource* FindDataSourceByID(const char* id) = 0;
  virtual void AddDSPlugin(const char* path) = 0;
  virtual void RescanDataSources() = 0;
  virtual CDataSource* MountFile(const wchar_t* path) = 0;
  virtual void UnmountFile(CDataSource* source) = 0;
  virtual bool Scan(CDataSource* source) = 0;
  virtual void SetScanCacheSize(unsigned int bytes) = 0;
  virtual void SetScanReadAhead(unsigned int bytes) = 0;
  virtual void SetEventHandler(CEventHandler* sink) = 0;
  virtual void CHAdded(CContentHandler* handler) = 0;
  virtual void CHChanged(CContentHandler* handler) = 0;
  virtual void CHDeleted(CContentHandler* handler) = 0;
  virtual void PVAdded(CPreviewHandler* handler) = 0;
  virtual void PVChanged(CPreviewHandler* handler) = 0;
  virtual void PVDeleted(CPreviewHandler* handler) = 0;
  virtual void DSAdded(CDataSource* source) = 0;
  virtual void DSChanged(CDataSource* source) = 0;
  virtual void DSDeleted(CDataSource* source) = 0;
  virtual void DSSeek(CDataSource* source, long long position, bool& cancel) = 0;
};

// The one engine object; created on the first call, the same pointer ever after.
extern "C" CPhotoRecovery* GetSVSingleton();
