// CDSBase forwards every property operation of the data-source interface to its store, and is
// one object through every base.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/MemoryDataSource.h"

using testing_support::MemoryDataSource;

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

}  // namespace

TEST(DSBase, PropertyOperationsReachTheStoreAndTheDerivedHooks) {
  TestSource source;
  CDataSource* ds = &source;
  // The data-source interface opens the object: a host's pointer is the object's.
  EXPECT_EQ(static_cast<void*>(ds), static_cast<void*>(&source));
  EXPECT_TRUE(ds->SetIntPropValue("Level", 5) && !ds->SetIntPropValue("Level", 10));
  std::vector<int> fields;
  for (auto get :
       {&CDataSource::GetIntPropValue, &CDataSource::GetIntPropDefault, &CDataSource::GetIntPropMin,
        &CDataSource::GetIntPropMax, &CDataSource::GetIntPropStep}) {
    int value = 0;
    EXPECT_TRUE((ds->*get)("Level", &value));
    fields.push_back(value);
  }
  EXPECT_EQ(fields, (std::vector<int>{5, 1, -3, 9, 2}));
  EXPECT_TRUE(ds->IsIntProp("Level") && !ds->IsIntProp("Mode"));
  EXPECT_TRUE(ds->IsStrProp("Mode") && !ds->IsStrProp("Level"));
  char name[32] = "", value[32] = "", initial[32] = "";
  EXPECT_TRUE(ds->EnumIntProp(0, name) && ds->EnumStrProp(0, value) && !ds->EnumStrProp(1, value));
  EXPECT_STREQ(name, "Level");
  EXPECT_STREQ(value, "Mode");
  EXPECT_TRUE(ds->SetStrPropValue("Mode", "fast") && !ds->IsStrPropValueValid("Mode", "bad"));
  EXPECT_TRUE(ds->GetStrPropValue("Mode", value) && ds->GetStrPropDefault("Mode", initial));
  EXPECT_STREQ(value, "fast");
  EXPECT_STREQ(initial, "slow");
  EXPECT_STREQ(ds->GetUniqueID(), static_cast<CPlugin*>(&source)->GetUniqueID());
  EXPECT_EQ(source.hooks,
            (std::vector<std::string>{"int Level", "validate Mode", "str Mode", "validate Mode"}));

  gDestroyed = 0;
  delete static_cast<CPlugin*>(new TestSource());
  delete static_cast<CPluginBase*>(new TestSource());
  delete static_cast<CDataSource*>(new TestSource());
  EXPECT_EQ(gDestroyed, 3);
}
