#pragma once

class CPhotoRecovery;

// A data-source plug-in module: finds its sources and registers each with DSAdded.
class CDataSourceModule {
 public:
  virtual ~CDataSourceModule() {}
  virtual const char* GetUniqueID() = 0;
  virtual bool IsEnabled() = 0;
  // reserved is always 0.
  virtual void ScanSources(CPhotoRecovery* engine, int reserved) = 0;
};
