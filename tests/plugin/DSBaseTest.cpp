// What CDSBase adds to the store: every property operation of the data-source interface
// forwards to it, in the published slot order, and the object is one through both bases.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/MemoryDataSource.h"
#include "tests/support/MirrorCall.h"

using testing_support::MemoryDataSource;

// The published slot orders, written out independently of our headers.
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

class TestSource : public MemoryDataSource {
 public:
  TestSource() : MemoryDataSource(nullptr, "src", {}) {
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
  std::vector<std::string> hooks;
};

// Each answer differs from its neighbours', so an operation in the wrong slot shows.
SV_MIRROR_CALLS std::vector<std::string> DriveSourceThroughMirror(CDataSource* published) {
  auto* ds = mirror::Opaque<mirror::PluginBase>(published);
  std::vector<std::string> out{ds->GetUniqueID()};
  // The answer once the call is made: its text, or "false".
  auto add = [&out](bool ok, const char* text) { out.push_back(ok ? text : "false"); };
  int value = 0;
  char text[32] = "";
  add(ds->SetIntPropValue("Level", 5), "set");
  add(!ds->SetIntPropValue("Level", 10), "refused");
  for (auto get : {&mirror::PluginBase::GetIntPropValue, &mirror::PluginBase::GetIntPropDefault,
                   &mirror::PluginBase::GetIntPropMin, &mirror::PluginBase::GetIntPropMax,
                   &mirror::PluginBase::GetIntPropStep}) {
    const bool ok = (ds->*get)("Level", &value);
    add(ok, std::to_string(value).c_str());
  }
  add(ds->IsIntProp("Level") && !ds->IsIntProp("Mode"), "int");
  bool ok = ds->EnumIntProp(0, text);
  add(ok, text);
  add(ds->SetStrPropValue("Mode", "fast"), "set");
  ok = ds->GetStrPropValue("Mode", text);
  add(ok, text);
  ok = ds->GetStrPropDefault("Mode", text);
  add(ok, text);
  add(!ds->IsStrPropValueValid("Mode", "bad"), "invalid");
  add(ds->IsStrProp("Mode") && !ds->IsStrProp("Level"), "str");
  ok = ds->EnumStrProp(0, text) && !ds->EnumStrProp(1, text);
  add(ok, text);
  return out;
}

SV_MIRROR_CALLS void DriveStoreThroughMirror(CPlugin* published) {
  auto* store = mirror::Opaque<mirror::Store>(published);
  EXPECT_FALSE(store->ValidateStrPropValue("Mode", "bad"));
  store->StrPropChanged("Mode");
  store->IntPropChanged("Level");
  EXPECT_STREQ(store->GetUniqueID(), "src");
}

}  // namespace

TEST(DSBase, PropertyOperationsForwardToTheStoreInTheirPublishedSlots) {
  TestSource source;
  // The data-source interface opens the object; the store is the second base.
  EXPECT_EQ(static_cast<void*>(static_cast<CDataSource*>(&source)), static_cast<void*>(&source));
  EXPECT_NE(static_cast<void*>(static_cast<CPlugin*>(&source)), static_cast<void*>(&source));

  EXPECT_EQ(DriveSourceThroughMirror(&source),
            (std::vector<std::string>{"src", "set", "refused", "5", "1", "-3", "9", "2", "int",
                                      "Level", "set", "fast", "slow", "invalid", "str", "Mode"}));
  // Sets through the interface reach the derived class's hooks.
  EXPECT_EQ(source.hooks,
            (std::vector<std::string>{"int Level", "validate Mode", "str Mode", "validate Mode"}));
  source.hooks.clear();
  DriveStoreThroughMirror(&source);
  EXPECT_EQ(source.hooks, (std::vector<std::string>{"validate Mode", "str Mode", "int Level"}));
}

TEST(DSBase, IdentityAndDestructionAreTheSameThroughEveryBase) {
  auto* source = new TestSource();
  EXPECT_STREQ(static_cast<CPlugin*>(source)->GetUniqueID(), "src");
  EXPECT_STREQ(static_cast<CPluginBase*>(source)->GetUniqueID(), "src");
  EXPECT_EQ(static_cast<CPlugin*>(source)->GetUniqueID(),
            static_cast<CDataSource*>(source)->GetUniqueID());
  gDestroyed = 0;
  delete static_cast<CPlugin*>(source);
  delete static_cast<CPluginBase*>(new TestSource());
  delete static_cast<CDataSource*>(new TestSource());
  EXPECT_EQ(gDestroyed, 3);
}
