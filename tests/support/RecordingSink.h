#pragma once

#include <functional>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "salvor/CDataSource.h"
#include "salvor/CEventHandler.h"
#include "salvor/CPhotoRecovery.h"

namespace testing_support {

// An event sink that records every call as one line of text, keeps the bytes of every
// recovered file, and can cancel at a chosen call.
class RecordingSink : public CEventHandler {
 public:
  struct File {
    CContentHandler* handler;
    std::string handlerId;
    long long sourceOffset;  // byte offset in the scanned source
    std::vector<unsigned char> bytes;
  };

  void Log(const char* source, int level, const char* text) override;
  void DSAdded(CDataSource* s) override { Note("DSAdded ", s->GetUniqueID()); }
  void DSDeleted(CDataSource* s) override { Note("DSDeleted ", s->GetUniqueID()); }
  void DSChanged(CDataSource* s) override { Note("DSChanged ", s->GetUniqueID()); }
  void CHAdded(CContentHandler* h) override { Note("CHAdded ", h->GetUniqueID()); }
  void CHDeleted(CContentHandler* h) override { Note("CHDeleted ", h->GetUniqueID()); }
  void CHChanged(CContentHandler* h) override { Note("CHChanged ", h->GetUniqueID()); }
  void DSSeek(CDataSource* source, long long position, bool& cancel) override;
  void DSAccess(CDataSource*, long long, bool&) override {}
  void ScanProgress(long long block, long long blockCount, bool& cancel) override;
  void ScanCompleted(bool completed, bool cancelled, int reserved) override;
  void FileRecovered(CContentHandler* handler, CDataStream* file) override;

  // Every call in order, e.g. "DSAdded <id>", "ScanProgress 3/10", "FileRecovered <id> 1234".
  // ScanProgress is recorded only when its switch is on; DSAccess never.
  std::vector<std::string> calls;
  std::vector<File> files;
  bool recordProgress = false;
  long long progressCalls = 0;

  // Return true to set the cancel flag; called with the call's ordinal (from 1).
  std::function<bool(long long)> cancelProgress;
  std::function<bool(long long position)> cancelSeek;
  // Called inside FileRecovered before the bytes are copied (e.g. to call DescribeFile).
  std::function<void(CContentHandler*, CDataStream*)> onFile;

 private:
  void Note(const char* call, const std::string& what) { calls.push_back(call + what); }
};

// The singleton engine telling a recording sink, for as long as this lives.
struct SingletonWithSink {
  SingletonWithSink() { engine->SetEventHandler(&sink); }
  ~SingletonWithSink() { engine->SetEventHandler(nullptr); }
  // What the sink was told since the last call.
  std::vector<std::string> Told() {
    std::vector<std::string> told;
    told.swap(sink.calls);
    return told;
  }
  CPhotoRecovery* engine = GetSVSingleton();
  RecordingSink sink;
};

}  // namespace testing_support
