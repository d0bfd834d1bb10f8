#pragma once

#include "salvor/CEventHandler.h"

namespace salvor {

// An event sink that ignores every event: a host derives from it and overrides only the
// events it wants.
class CSinkBase : public CEventHandler {
 public:
  void Log(const char*, int, const char*) override {}
  void DSAdded(CDataSource*) override {}
  void DSDeleted(CDataSource*) override {}
  void DSChanged(CDataSource*) override {}
  void CHAdded(CContentHandler*) override {}
  void CHDeleted(CContentHandler*) override {}
  void CHChanged(CContentHandler*) override {}
  void DSSeek(CDataSource*, long long, bool&) override {}
  void DSAccess(CDataSource*, long long, bool&) override {}
  void ScanProgress(long long, long long, bool&) override {}
  void ScanCompleted(bool, bool, int) override {}
  void FileRecovered(CContentHandler*, CDataStream*) override {}
};

}  // namespace salvor
