#pragma once

#include "CPluginBase.h"

// A block-addressed source of data: a disk, a volume, an image file.
// Wide-text buffers passed to GetOSPath and GetDisplayName hold 1024 characters.
class CDataSource : public CPluginBase {
 public:
  virtual void GetOSPath(wchar_t* path) = 0;
  virtual long long GetBlockSize() = 0;
  virtual long long GetBlockCount() = 0;
  virtual bool IsFormatted() = 0;
  virtual bool IsReady() = 0;
  virtual void Refresh() = 0;
  virtual int GetType() = 0;
  virtual bool GetIcon(void*& icon) = 0;
  virtual bool GetDisplayName(wchar_t* name) = 0;
  virtual int GetLastIOError() = 0;
  // Buffer holds Count * GetBlockSize() bytes. True only when all Count blocks were read.
  virtual bool ReadBlocks(long long Index, long long Count, void* Buffer) = 0;
  virtual bool WriteBlocks(long long Index, long long Count, void* Buffer) = 0;
  virtual bool AcquireReadLock() = 0;
  virtual bool AcquireWriteLock() = 0;
  virtual void ReleaseReadLock() = 0;
  virtual void ReleaseWriteLock() = 0;
};
