// Data sources built on CDSBase, driven as a separately built host or engine would: through
// mirrors of the published slot order, written out independently of our headers.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/support/MemoryDataSource.h"
#include "tests/support/MirrorCall.h"
#include "tests/support/RecordingSink.h"
#include "engine/SVPhotoRecovery.h"

using testing_support::MemoryDataSource;
using testing_support::RecordingSink;

namespace mirror {

struct PluginBase {
  virtual ~PluginBase() = default;
  virtual const char* GetUniqueID() = 0;
  virtual bool SetIntPropValue(const char* name, int value) = 0;
  virtual bool GetIntPropValue(const char* name, int* value) = 0;
  virtual bool GetIntPropDefault(const char* name, int* value) = 0;
  virtual bool GetIntPropMin(const char* name, int* value) = 0;
  virtual bool GetIntPropMax(const char* name, int* value) = 0;
  virtual bool GetIntPropStep(const char* name, int* value) = 0;
  virtual bool IsIntProp(const char* name) = 0;
  virtual bool EnumIntProp(int index, char* name) = 0;
  virtual bool SetStrPropValue(const char* name, const char* value) = 0;
  virtual bool GetStrPropValue(const char* name, char* value) = 0;
  virtual bool GetStrPropDefault(const char* name, char* value) = 0;
  virtual bool IsStrPropValueValid(const char* name, const char* value) = 0;
  virtual bool IsStrProp(const char* name) = 0;
  virtual bool EnumStrProp(int index, char* name) = 0;
};

struct DataSource : PluginBase {
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
  virtual bool ReadBlocks(long long index, long long count, void* buffer) = 0;
  virtual bool WriteBlocks(long long index, long long count, void* buffer) = 0;
  virtual bool AcquireReadLock() = 0;
  virtual bool AcquireWriteLock() = 0;
  virtual void ReleaseReadLock() = 0;
  virtual void ReleaseWriteLock() = 0;
};

// The store's own table: the hooks a separately built plug-in overrides.
struct Store {
  virtual ~Store() = default;
  virtual bool ValidateStrPropValue(const char* name, const char* value) = 0;
  virtual void StrPropChanged(const char* name) = 0;
  virtual void IntPropChanged(const char* name) = 0;
  virtual const char* GetUniqueID() = 0;
};

}  // namespace mirror

namespace {

int gDestroyed = 0;

// Four 512-byte blocks whose bytes are their block numbers; one property of each family.
class TestSource : public MemoryDataSource {
 public:
  TestSource(CPhotoRecovery* engine, bool registered)
      : MemoryDataSource(engine, "src", Blocks(), 512, registered) {
    DefineIntProp("Level", 1, -3, 9, 2);
    DefineStrProp("Mode", "slow");
  }
  ~TestSource() override { ++gDestroyed; }
  bool ValidateStrPropValue(const char* name, const char* value) override {
    hooks.push_back(std::string("validate ") + name);
    return std::strcmp(value, "bad") != 0;
  }
  void StrPropChanged(const char* name) override { hooks.push_back(std::string("str ") + name); }
  void IntPropChanged(const char* name) override { hooks.push_back(std::string("int ") + name); }

  static std::vector<uint8_t> Blocks() {
    std::vector<uint8_t> bytes(2048);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / 512);
    return bytes;
  }
  std::vector<std::string> hooks;
};

SV_MIRROR_CALLS void DriveSourceThroughMirror(CDataSource* published) {
  auto* ds = mirror::Opaque<mirror::DataSource>(published);
  EXPECT_STREQ(ds->GetUniqueID(), "src");
  EXPECT_TRUE(ds->SetIntPropValue("Level", 5));
  EXPECT_FALSE(ds->SetIntPropValue("Level", 10));
  int value = 0;
  EXPECT_TRUE(ds->GetIntPropValue("Level", &value) && value == 5);
  EXPECT_TRUE(ds->GetIntPropDefault("Level", &value) && value == 1);
  EXPECT_TRUE(ds->GetIntPropMin("Level", &value) && value == -3);
  EXPECT_TRUE(ds->GetIntPropMax("Level", &value) && value == 9);
  EXPECT_TRUE(ds->GetIntPropStep("Level", &value) && value == 2);
  EXPECT_TRUE(ds->IsIntProp("Level"));
  EXPECT_FALSE(ds->IsIntProp("Mode"));
  char name[32] = "";
  EXPECT_TRUE(ds->EnumIntProp(0, name));
  EXPECT_STREQ(name, "Level");
  EXPECT_TRUE(ds->SetStrPropValue("Mode", "fast"));
  EXPECT_TRUE(ds->GetStrPropValue("Mode", name));
  EXPECT_STREQ(name, "fast");
  EXPECT_TRUE(ds->GetStrPropDefault("Mode", name));
  EXPECT_STREQ(name, "slow");
  EXPECT_FALSE(ds->IsStrPropValueValid("Mode", "bad"));
  EXPECT_TRUE(ds->IsStrProp("Mode"));
  EXPECT_FALSE(ds->IsStrProp("Level"));
  EXPECT_TRUE(ds->EnumStrProp(0, name));
  EXPECT_STREQ(name, "Mode");
  EXPECT_FALSE(ds->EnumStrProp(1, name));

  wchar_t wide[1024];
  ds->GetOSPath(wide);
  EXPECT_STREQ(wide, L"memory");
  EXPECT_EQ(ds->GetBlockSize(), 512);
  EXPECT_EQ(ds->GetBlockCount(), 4);
  EXPECT_FALSE(ds->IsFormatted());
  EXPECT_TRUE(ds->IsReady());
  ds->Refresh();
  EXPECT_EQ(ds->GetType(), 1);
  void* icon = &value;
  EXPECT_FALSE(ds->GetIcon(icon));
  EXPECT_EQ(icon, nullptr);
  EXPECT_TRUE(ds->GetDisplayName(wide));
  EXPECT_STREQ(wide, L"src");
  EXPECT_EQ(ds->GetLastIOError(), 0);
  std::vector<uint8_t> buffer(1024);
  EXPECT_TRUE(ds->ReadBlocks(2, 2, buffer.data()));
  EXPECT_EQ(buffer[0], 2);
  EXPECT_EQ(buffer[1023], 3);
  EXPECT_FALSE(ds->WriteBlocks(0, 1, buffer.data()));
  EXPECT_TRUE(ds->AcquireReadLock());
  EXPECT_FALSE(ds->AcquireWriteLock());
  ds->ReleaseReadLock();
  ds->ReleaseWriteLock();
}

SV_MIRROR_CALLS void DriveStoreThroughMirror(CPlugin* published) {
  auto* store = mirror::Opaque<mirror::Store>(published);
  EXPECT_FALSE(store->ValidateStrPropValue("Mode", "bad"));
  store->StrPropChanged("Mode");
  store->IntPropChanged("Level");
  EXPECT_STREQ(store->GetUniqueID(), "src");
}

}  // namespace

TEST(DSBase, EveryOperationSitsInItsPublishedSlot) {
  SV::CPhotoRecovery engine;
  TestSource source(&engine, false);
  // The data-source interface opens the object; the store is the second base.
  EXPECT_EQ(static_cast<void*>(static_cast<CDataSource*>(&source)), static_cast<void*>(&source));
  EXPECT_NE(static_cast<void*>(static_cast<CPlugin*>(&source)), static_cast<void*>(&source));

  DriveSourceThroughMirror(&source);
  // Sets through the interface reach the derived class's hooks.
  EXPECT_EQ(source.hooks,
            (std::vector<std::string>{"int Level", "validate Mode", "str Mode", "validate Mode"}));
  EXPECT_EQ(source.refreshCalls, 1);
  EXPECT_EQ(source.lockCalls, 1);
  EXPECT_EQ(source.releaseCalls, 1);
  ASSERT_EQ(source.reads.size(), 1u);
  EXPECT_EQ(source.reads[0], (std::pair<long long, long long>(2, 2)));

  source.hooks.clear();
  DriveStoreThroughMirror(&source);
  EXPECT_EQ(source.hooks, (std::vector<std::string>{"validate Mode", "str Mode", "int Level"}));
}

TEST(DSBase, IdentityAndDestructionAreTheSameThroughEveryBase) {
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  engine.SetEventHandler(&sink);

  auto* source = new TestSource(&engine, true);
  EXPECT_STREQ(static_cast<CPlugin*>(source)->GetUniqueID(), "src");
  EXPECT_STREQ(static_cast<CPluginBase*>(source)->GetUniqueID(), "src");
  EXPECT_EQ(static_cast<CPlugin*>(source)->GetUniqueID(),
            static_cast<CDataSource*>(source)->GetUniqueID());

  // A second source with the same identifier is refused by the registry.
  TestSource twin(&engine, false);
  engine.DSAdded(&twin);
  EXPECT_TRUE(sink.HasLog("DataSource src already added - can't reregister"));
  EXPECT_EQ(engine.FindDataSourceByID("src"), source);

  gDestroyed = 0;
  delete static_cast<CPlugin*>(source);
  EXPECT_EQ(gDestroyed, 1);
  EXPECT_EQ(engine.GetDataSourceCount(), 0);  // the full destructor unregistered it
  EXPECT_EQ(sink.calls.back(), "DSDeleted src");

  delete static_cast<CPluginBase*>(new TestSource(&engine, true));
  delete static_cast<CDataSource*>(new TestSource(&engine, true));
  EXPECT_EQ(gDestroyed, 3);
  EXPECT_EQ(engine.GetDataSourceCount(), 0);
  engine.SetEventHandler(nullptr);
}
