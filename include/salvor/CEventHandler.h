#pragma once

class CDataSource;
class CContentHandler;
class CDataStream;

// The host's event sink. Every call arrives on the thread that called the engine, inside the
// engine operation. cancel flags start false; set one to true to ask for cancellation.
class CEventHandler {
 public:
  virtual ~CEventHandler() {}
  virtual void Log(const char* source, int level, const char* text) = 0;
  virtual void DSAdded(CDataSource* source) = 0;
  virtual void DSDeleted(CDataSource* source) = 0;
  virtual void DSChanged(CDataSource* source) = 0;
  virtual void CHAdded(CContentHandler* handler) = 0;
  virtual void CHDeleted(CContentHandler* handler) = 0;
  virtual void CHChanged(CContentHandler* handler) = 0;
  virtual void DSSeek(CDataSource* source, long long position, bool& cancel) = 0;
  virtual void DSAccess(CDataSource* source, long long position, bool& cancel) = 0;
  virtual void ScanProgress(long long block, long long blockCount, bool& cancel) = 0;
  virtual void ScanCompleted(bool completed, bool cancelled, int reserved) = 0;
  // file is positioned at 0 and valid only during the call.
  virtual void FileRecovered(CContentHandler* handler, CDataStream* file) = 0;
};
