#include "FileDataSource.h"

// Placeholder until the file data source lands: never ready, reads nothing.
CFileDataSource::CFileDataSource(CPhotoRecovery* engine, const wchar_t* path)
    : CDSBase(engine),
      FFile(nullptr),
      FPath(path),
      FBlockSize(0),
      FBlockCount(0),
      FSize(0),
      FLastIOError(0) {}
CFileDataSource::~CFileDataSource() {}
std::string CFileDataSource::GetStateString() { return std::string(); }
void CFileDataSource::GetOSPath(wchar_t* path) { path[0] = L'\0'; }
long long CFileDataSource::GetBlockSize() { return FBlockSize; }
long long CFileDataSource::GetBlockCount() { return FBlockCount; }
bool CFileDataSource::IsFormatted() { return false; }
bool CFileDataSource::IsReady() { return false; }
void CFileDataSource::Refresh() {}
int CFileDataSource::GetType() { return 4; }
bool CFileDataSource::GetIcon(void*& icon) {
  icon = nullptr;
  return false;
}
bool CFileDataSource::GetDisplayName(wchar_t* name) {
  name[0] = L'\0';
  return false;
}
int CFileDataSource::GetLastIOError() { return FLastIOError; }
bool CFileDataSource::ReadBlocks(long long, long long, void*) { return false; }
bool CFileDataSource::WriteBlocks(long long, long long, void*) { return false; }
bool CFileDataSource::AcquireReadLock() { return false; }
bool CFileDataSource::AcquireWriteLock() { return false; }
void CFileDataSource::ReleaseReadLock() {}
void CFileDataSource::ReleaseWriteLock() {}
