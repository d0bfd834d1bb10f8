#pragma once

#include <cstdio>
#include <string>

#include "plugin/DSBase.h"

// An image file presented as a read-only device of 512-byte blocks. Registers itself on
// construction and unregisters on destruction; logs under "SVC.FileDS".
class CFileDataSource : public CDSBase {
 public:
  CFileDataSource(CPhotoRecovery* engine, const wchar_t* path);
  ~CFileDataSource() override;

  // "UI=<id>, BS=<size>, BC=<count>, R=<true|false>, F=<true|false>, FN=<path>"
  std::string GetStateString();

  void GetOSPath(wchar_t* path) override;
  long long GetBlockSize() override;
  long long GetBlockCount() override;
  bool IsFormatted() override;
  bool IsReady() override;
  void Refresh() override;
  int GetType() override;
  bool GetIcon(void*& icon) override;
  bool GetDisplayName(wchar_t* name) override;
  int GetLastIOError() override;
  bool ReadBlocks(long long Index, long long Count, void* Buffer) override;
  bool WriteBlocks(long long Index, long long Count, void* Buffer) override;
  bool AcquireReadLock() override;
  bool AcquireWriteLock() override;
  void ReleaseReadLock() override;
  void ReleaseWriteLock() override;

 private:
  // Writes one line under this source's log name through the engine.
  void Log(int level, const std::string& text);
  // Keeps error as the last I/O error and logs text as an error; false, for the caller to return.
  bool Fail(int error, const std::string& text);

  FILE* FFile;
  std::wstring FPath;
  std::string FFileName;
  long long FBlockSize;
  long long FBlockCount;
  long long FSize;
  int FLastIOError;
};
