// The smallest useful host: obtains the engine, installs an event sink, registers a few
// data sources of its own and lists them in the engine's order.
#include <salvor/sdk.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Prints what the engine reports; the engine writes its log lines to standard error as well.
class PrintingSink : public CEventHandler {
 public:
  void Log(const char* source, int level, const char* text) override {
    std::printf("log %s %d %s\n", source, level, text);
  }
  void DSAdded(CDataSource* source) override { std::printf("added %s\n", source->GetUniqueID()); }
  void DSDeleted(CDataSource* source) override {
    std::printf("deleted %s\n", source->GetUniqueID());
  }
  void DSChanged(CDataSource* source) override {
    std::printf("changed %s\n", source->GetUniqueID());
  }
  void CHAdded(CContentHandler*) override {}
  void CHDeleted(CContentHandler*) override {}
  void CHChanged(CContentHandler*) override {}
  void DSSeek(CDataSource*, long long, bool&) override {}
  void DSAccess(CDataSource*, long long, bool&) override {}
  void ScanProgress(long long, long long, bool&) override {}
  void ScanCompleted(bool, bool, int) override {}
  void FileRecovered(CContentHandler*, CDataStream*) override {}
};

// A card of zeros in memory, registered for as long as it lives. The engine refuses a second
// source with an identifier it already has; such a card must not unregister the first one.
class ZeroCard : public CDSBase {
 public:
  ZeroCard(CPhotoRecovery* engine, const char* id, long long blocks)
      : CDSBase(engine), FBlocks(blocks) {
    FUniqueID = id;
    DefineIntProp("Speed", 10, 1, 100, 1);
    FEngine->DSAdded(this);
    FRegistered = FEngine->FindDataSourceByID(id) == this;
  }
  ~ZeroCard() override {
    if (FRegistered) FEngine->DSDeleted(this);
  }

  void GetOSPath(wchar_t* path) override { path[0] = L'\0'; }
  long long GetBlockSize() override { return 512; }
  long long GetBlockCount() override { return FBlocks; }
  bool IsFormatted() override { return false; }
  bool IsReady() override { return true; }
  void Refresh() override {}
  int GetType() override { return 1; }
  bool GetIcon(void*& icon) override {
    icon = nullptr;
    return false;
  }
  bool GetDisplayName(wchar_t* name) override {
    std::wstring wide = toWideString(FUniqueID);
    std::wcsncpy(name, wide.c_str(), 1023);
    name[1023] = L'\0';
    return true;
  }
  int GetLastIOError() override { return 0; }
  bool ReadBlocks(long long index, long long count, void* buffer) override {
    if (index < 0 || count < 0 || index + count > FBlocks) return false;
    std::memset(buffer, 0, static_cast<size_t>(count * 512));
    return true;
  }
  bool WriteBlocks(long long, long long, void*) override { return false; }
  bool AcquireReadLock() override { return true; }
  bool AcquireWriteLock() override { return false; }
  void ReleaseReadLock() override {}
  void ReleaseWriteLock() override {}

 private:
  long long FBlocks;
  bool FRegistered = false;
};

}  // namespace

int main() {
  CPhotoRecovery* engine = GetSVSingleton();
  if (engine == nullptr || engine != GetSVSingleton()) return 1;
  PrintingSink sink;
  engine->SetEventHandler(&sink);
  engine->SetScanReadAhead(4096);

  {
    std::vector<std::unique_ptr<ZeroCard>> cards;
    cards.push_back(std::make_unique<ZeroCard>(engine, "card-b", 8));
    cards.push_back(std::make_unique<ZeroCard>(engine, "Card-A", 16));
    cards.push_back(std::make_unique<ZeroCard>(engine, "card-a", 32));
    ZeroCard duplicate(engine, "card-a", 64);  // refused: the identifier is taken

    std::printf("sources %d\n", engine->GetDataSourceCount());
    for (int i = 0; i < engine->GetDataSourceCount(); ++i) {
      CDataSource* source = engine->GetDataSource(i);
      int speed = 0;
      source->GetIntPropValue("Speed", &speed);
      std::printf("%d %s %lld blocks of %lld, Speed %d, hex %s\n", i, source->GetUniqueID(),
                  source->GetBlockCount(), source->GetBlockSize(), speed,
                  IntToHex(static_cast<unsigned int>(source->GetBlockCount()), 4).c_str());
    }
    while (!cards.empty()) cards.pop_back();  // newest first
  }
  std::printf("sources %d\n", engine->GetDataSourceCount());
  engine->SetEventHandler(nullptr);
  return engine->GetDataSourceCount() == 0 ? 0 : 1;
}
