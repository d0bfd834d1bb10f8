// Hosts and plug-ins are built separately and reach the engine and the sink only through the
// order of the virtual operations. These mirrors are written out independently of our headers,
// in the published order, and our objects are called through them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/engine/FakeHandlers.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/MemoryStream.h"
#include "tests/support/MirrorCall.h"
#include "tests/support/RecordingSink.h"
#include "engine/SVPhotoRecovery.h"
#include "tests/support/StderrCapture.h"

using testing_support::MemoryDataSource;
using testing_support::MemoryStream;
using testing_support::RecordingSink;
using testing_support::StderrCapture;

namespace mirror {

struct Engine {
  virtual ~Engine() = default;
  virtual void Log(const char* source, int level, const char* text) = 0;
  virtual int GetContentHandlerCount() = 0;
  virtual void* GetContentHandler(int index) = 0;
  virtual void AddContentPlugin(const char* path) = 0;
  virtual int GetPreviewHandlerCount() = 0;
  virtual void* GetPreviewHandler(int index) = 0;
  virtual void AddPreviewPlugin(const char* path) = 0;
  virtual int GetDataSourceCount() = 0;
  virtual void* GetDataSource(int index) = 0;
  virtual void* FindDataSourceByID(const char* id) = 0;
  virtual void AddDSPlugin(const char* path) = 0;
  virtual void RescanDataSources() = 0;
  virtual void* MountFile(const wchar_t* path) = 0;
  virtual void UnmountFile(void* source) = 0;
  virtual bool Scan(void* source) = 0;
  virtual void SetScanCacheSize(unsigned int bytes) = 0;
  virtual void SetScanReadAhead(unsigned int bytes) = 0;
  virtual void SetEventHandler(void* sink) = 0;
  virtual void CHAdded(void* handler) = 0;
  virtual void CHChanged(void* handler) = 0;
  virtual void CHDeleted(void* handler) = 0;
  virtual void PVAdded(void* handler) = 0;
  virtual void PVChanged(void* handler) = 0;
  virtual void PVDeleted(void* handler) = 0;
  virtual void DSAdded(void* source) = 0;
  virtual void DSChanged(void* source) = 0;
  virtual void DSDeleted(void* source) = 0;
  virtual void DSSeek(void* source, long long position, bool& cancel) = 0;
};

struct SVEngine : Engine {
  virtual void ReportWindowsError(int code, const char* data) = 0;
  virtual void DSAccess(void* source, long long position, bool& cancel) = 0;
};

struct Sink {
  virtual ~Sink() = default;
  virtual void Log(const char* source, int level, const char* text) = 0;
  virtual void DSAdded(void* source) = 0;
  virtual void DSDeleted(void* source) = 0;
  virtual void DSChanged(void* source) = 0;
  virtual void CHAdded(void* handler) = 0;
  virtual void CHDeleted(void* handler) = 0;
  virtual void CHChanged(void* handler) = 0;
  virtual void DSSeek(void* source, long long position, bool& cancel) = 0;
  virtual void DSAccess(void* source, long long position, bool& cancel) = 0;
  virtual void ScanProgress(long long block, long long blockCount, bool& cancel) = 0;
  virtual void ScanCompleted(bool completed, bool cancelled, int reserved) = 0;
  virtual void FileRecovered(void* handler, void* file) = 0;
};

// Byte offset of a virtual operation in its table (Itanium C++ ABI: pointer value - 1).
template <typename Member>
long long SlotOffset(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(long long), "Itanium member pointer expected");
  long long raw[2];
  std::memcpy(raw, &member, sizeof raw);
  return raw[0] - 1;
}

}  // namespace mirror

namespace {

SV_MIRROR_CALLS void DriveEngineThroughMirror(CPhotoRecovery* published, RecordingSink* sink) {
  auto* engine = mirror::Opaque<mirror::SVEngine>(published);
  engine->SetEventHandler(sink);
  engine->Log("Mirror", 3, "hello");
  engine->SetScanReadAhead(20000);
  engine->SetScanCacheSize(4096);

  MemoryDataSource b(published, "b", {}), a(published, "a", {});
  engine->DSAdded(static_cast<CDataSource*>(&b));
  engine->DSAdded(static_cast<CDataSource*>(&a));
  EXPECT_EQ(engine->GetDataSourceCount(), 2);
  EXPECT_EQ(engine->GetDataSource(0), static_cast<CDataSource*>(&a));
  EXPECT_EQ(engine->FindDataSourceByID("b"), static_cast<CDataSource*>(&b));
  engine->DSChanged(static_cast<CDataSource*>(&a));
  bool cancel = false;
  engine->DSSeek(static_cast<CDataSource*>(&a), 1024, cancel);
  engine->DSAccess(static_cast<CDataSource*>(&a), 2048, cancel);
  engine->DSDeleted(static_cast<CDataSource*>(&a));
  engine->DSDeleted(static_cast<CDataSource*>(&b));

  FakeContentHandler handler("jpeg");
  engine->CHAdded(static_cast<CContentHandler*>(&handler));
  EXPECT_EQ(engine->GetContentHandlerCount(), 1);
  EXPECT_EQ(engine->GetContentHandler(0), static_cast<CContentHandler*>(&handler));
  engine->CHChanged(static_cast<CContentHandler*>(&handler));
  engine->CHDeleted(static_cast<CContentHandler*>(&handler));

  FakePreviewHandler preview("thumbs");
  engine->PVAdded(static_cast<CPreviewHandler*>(&preview));
  EXPECT_EQ(engine->GetPreviewHandlerCount(), 1);
  EXPECT_EQ(engine->GetPreviewHandler(0), static_cast<CPreviewHandler*>(&preview));
  engine->PVChanged(static_cast<CPreviewHandler*>(&preview));
  engine->PVDeleted(static_cast<CPreviewHandler*>(&preview));

  engine->ReportWindowsError(5, nullptr);
  engine->SetEventHandler(nullptr);
  engine->Log("Mirror", 3, "unheard");
}

SV_MIRROR_CALLS void DriveSinkThroughMirror(CEventHandler* published) {
  auto* sink = mirror::Opaque<mirror::Sink>(published);
  SV::CPhotoRecovery engine;
  MemoryDataSource source(&engine, "disk", std::vector<uint8_t>(512));
  FakeContentHandler handler("png");
  MemoryStream file(std::vector<uint8_t>(7, 0x41));
  bool cancel = false;
  void* ds = static_cast<CDataSource*>(&source);
  void* ch = static_cast<CContentHandler*>(&handler);
  sink->Log("S", 2, "text");
  sink->DSAdded(ds);
  sink->DSDeleted(ds);
  sink->DSChanged(ds);
  sink->CHAdded(ch);
  sink->CHDeleted(ch);
  sink->CHChanged(ch);
  sink->DSSeek(ds, 11, cancel);
  sink->DSAccess(ds, 22, cancel);
  sink->ScanProgress(3, 10, cancel);
  sink->ScanCompleted(true, false, 0);
  sink->FileRecovered(ch, static_cast<CDataStream*>(&file));
}

}  // namespace

TEST(SlotOrder, EngineOperationsSitInThePublishedSlots) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  sink.recordAccess = true;
  StderrCapture capture;
  DriveEngineThroughMirror(&engine, &sink);
  capture.Stop();

  EXPECT_EQ(engine.ScanReadAhead(), 20000);
  EXPECT_EQ(engine.ScanCacheSize(), 4096);
  EXPECT_EQ(engine.GetDataSourceCount() + engine.GetContentHandlerCount() +
                engine.GetPreviewHandlerCount(),
            0);
  EXPECT_EQ(sink.calls, (std::vector<std::string>{
                            "Log Mirror 3 hello", "Log SVC 1 Setting ScanReadAhead to 20000",
                            "Log SVC 1 Setting ScanCacheSize to 4096", "DSAdded b", "DSAdded a",
                            "DSChanged a", "DSSeek 1024", "DSAccess 2048", "DSDeleted a",
                            "DSDeleted b", "CHAdded jpeg", "Log SVC 1 Content Handler jpeg change",
                            "CHChanged jpeg", "Log SVC 2 Content Handler jpeg unregistered",
                            "CHDeleted jpeg", "Log SVC 2 Preview Handler thumbs unregistered",
                            "Log SVC 1 Windows error 5: <no data>"}));

  // Operations whose behaviour belongs to loading, mounting and scanning are checked by slot.
#define EXPECT_SAME_SLOT(op) \
  EXPECT_EQ(mirror::SlotOffset(&::CPhotoRecovery::op), mirror::SlotOffset(&mirror::Engine::op))
  EXPECT_SAME_SLOT(AddContentPlugin);
  EXPECT_SAME_SLOT(AddPreviewPlugin);
  EXPECT_SAME_SLOT(AddDSPlugin);
  EXPECT_SAME_SLOT(RescanDataSources);
  EXPECT_SAME_SLOT(MountFile);
  EXPECT_SAME_SLOT(UnmountFile);
  EXPECT_SAME_SLOT(Scan);
#undef EXPECT_SAME_SLOT
  // The destructor takes two slots, then the 28 operations: DSSeek is the last of them.
  EXPECT_EQ(mirror::SlotOffset(&mirror::Engine::DSSeek),
            29 * static_cast<long long>(sizeof(void*)));
}

TEST(SlotOrder, SinkOperationsSitInThePublishedSlots) {
  RecordingSink sink;
  sink.recordAccess = true;
  sink.recordProgress = true;
  DriveSinkThroughMirror(&sink);
  EXPECT_EQ(sink.calls,
            (std::vector<std::string>{
                "Log S 2 text", "DSAdded disk", "DSDeleted disk", "DSChanged disk", "CHAdded png",
                "CHDeleted png", "CHChanged png", "DSSeek 11", "DSAccess 22", "ScanProgress 3/10",
                "ScanCompleted 1 0 0", "FileRecovered png 7"}));
  ASSERT_EQ(sink.files.size(), 1u);
  EXPECT_EQ(sink.files[0].bytes, std::vector<unsigned char>(7, 0x41));
}
