#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/MemoryDataSource.h"

using Hooks = std::vector<std::string>;

namespace {

int gDestroyed = 0;

// Value, default, min, max and step of an integer property.
const std::vector<bool (CDataSource::*)(const char*, int*)> kIntFields = {
    &CDataSource::GetIntPropValue, &CDataSource::GetIntPropDefault, &CDataSource::GetIntPropMin,
    &CDataSource::GetIntPropMax, &CDataSource::GetIntPropStep};

// A data source whose store hooks record their calls; refuses string values that start with
// "bad". The tests call it through the data-source interface, so every operation also crosses
// CDSBase's forwarding to the store.
class HookedPlugin : public testing_support::MemoryDataSource {
 public:
  HookedPlugin() : MemoryDataSource(nullptr, "", {}) {}
  ~HookedPlugin() override { ++gDestroyed; }
  bool ValidateStrPropValue(const char* name, const char* value) override {
    hooks.push_back(std::string("validate ") + name + "=" + value);
    return std::strncmp(value, "bad", 3) != 0;
  }
  void StrPropChanged(const char* name) override { hooks.push_back(std::string("str ") + name); }
  void IntPropChanged(const char* name) override { hooks.push_back(std::string("int ") + name); }
  // The integer fields of a property; fails the test when one is missing.
  std::vector<int> Int(const char* name) {
    std::vector<int> fields;
    for (auto get : kIntFields) {
      int value = -12345;
      EXPECT_TRUE((this->*get)(name, &value)) << name;
      fields.push_back(value);
    }
    return fields;
  }
  std::string Str(const char* name,
                  bool (CDataSource::*get)(const char*, char*) = &CDataSource::GetStrPropValue) {
    char buffer[64] = "missing";
    (this->*get)(name, buffer);
    return buffer;
  }
  Hooks hooks;
};

}  // namespace

TEST(PluginStore, IntegerValuesStayWithinInclusiveBoundsAndNotify) {
  HookedPlugin plugin;
  plugin.DefineIntProp("Level", 1, 2, 3, 4);
  plugin.DefineIntProp("Level", 50, 0, 100, 10);  // redefined: every field anew, no hook
  EXPECT_EQ(plugin.Int("Level"), (std::vector<int>{50, 50, 0, 100, 10}));
  // The bounds count, the step is never enforced, and the same value notifies again.
  for (auto [value, stored] : std::vector<std::pair<int, bool>>{
           {0, true}, {100, true}, {-1, false}, {101, false}, {7, true}, {7, true}}) {
    EXPECT_EQ(plugin.SetIntPropValue("Level", value), stored) << value;
  }
  EXPECT_EQ(plugin.Int("Level")[0], 7);
  EXPECT_FALSE(plugin.SetIntPropValue("level", 7));
  EXPECT_EQ(plugin.hooks, Hooks(4, "int Level"));

  // Null output pointers and unknown names fail and write nothing.
  int untouched = 99;
  for (auto get : kIntFields)
    EXPECT_FALSE((plugin.*get)("Nope", &untouched) || (plugin.*get)("Level", nullptr));
  EXPECT_EQ(untouched, 99);
}

TEST(PluginStore, StringValuesAreValidatedThenStoredThenNotified) {
  HookedPlugin plugin;
  plugin.DefineStrProp("Name", "zero");
  plugin.DefineStrProp("Name", "first");  // redefined: value and default anew, no hook
  EXPECT_TRUE(plugin.SetStrPropValue("Name", "second") && plugin.SetStrPropValue("Name", "second"));
  EXPECT_FALSE(plugin.SetStrPropValue("Name", "bad value"));
  EXPECT_EQ(plugin.Str("Name"), "second");
  EXPECT_EQ(plugin.Str("Name", &CDataSource::GetStrPropDefault), "first");
  EXPECT_EQ(plugin.hooks, (Hooks{"validate Name=second", "str Name", "validate Name=second",
                                 "str Name", "validate Name=bad value"}));

  // Validation alone asks the hook; unknown names do not reach it.
  plugin.hooks.clear();
  EXPECT_TRUE(plugin.IsStrPropValueValid("Name", "fine"));
  EXPECT_FALSE(plugin.IsStrPropValueValid("Name", "bad") ||
               plugin.IsStrPropValueValid("Missing", "fine"));
  EXPECT_EQ(plugin.hooks, (Hooks{"validate Name=fine", "validate Name=bad"}));

  // Null is the empty text.
  EXPECT_TRUE(plugin.IsStrPropValueValid("Name", nullptr) &&
              plugin.SetStrPropValue("Name", nullptr));
  EXPECT_EQ(plugin.Str("Name"), "");

  // Unknown names and null buffers fail and leave the buffer alone.
  EXPECT_EQ(plugin.Str("Missing") + plugin.Str("Missing", &CDataSource::GetStrPropDefault),
            "missingmissing");
  char text[8];
  EXPECT_FALSE(plugin.SetStrPropValue("Missing", "v") || plugin.GetStrPropValue("Missing", text) ||
               plugin.GetStrPropValue("Name", nullptr) ||
               plugin.GetStrPropDefault("Name", nullptr));

  // Without a hook of its own, a plug-in takes every value.
  testing_support::MemoryDataSource plain(nullptr, "", {});
  plain.DefineStrProp("Name", "first");
  EXPECT_TRUE(plain.SetStrPropValue("Name", "bad value"));
}

TEST(PluginStore, FamiliesAreSeparateAndEnumerateInByteOrder) {
  HookedPlugin plugin;
  for (const char* name : {"b", "a", "Z"}) plugin.DefineIntProp(name, name[0], 0, 200, 1);
  plugin.DefineStrProp("a", "text");

  char name[32];
  std::vector<std::string> names;
  for (int i = 0; plugin.EnumIntProp(i, name); ++i) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Z", "a", "b"}));
  std::strcpy(name, "unchanged");
  EXPECT_FALSE(plugin.EnumIntProp(3, name) || plugin.EnumIntProp(-1, name) ||
               plugin.EnumStrProp(1, name));
  EXPECT_STREQ(name, "unchanged");
  ASSERT_TRUE(plugin.EnumStrProp(0, name));
  EXPECT_STREQ(name, "a");

  // One name in both families: each family reads its own record.
  EXPECT_TRUE(plugin.IsIntProp("a") && plugin.IsStrProp("a") && !plugin.IsStrProp("b"));
  EXPECT_EQ(plugin.Int("a")[0], 'a');
  EXPECT_EQ(plugin.Str("a"), "text");
}

TEST(PluginStore, DataSourceIsOneObjectThroughEveryBase) {
  HookedPlugin source;
  // The data-source interface opens the object: a host's pointer is the object's.
  EXPECT_EQ(static_cast<void*>(static_cast<CDataSource*>(&source)), static_cast<void*>(&source));
  EXPECT_EQ(static_cast<CPlugin*>(&source)->GetUniqueID(),
            static_cast<CDataSource*>(&source)->GetUniqueID());
  gDestroyed = 0;
  delete static_cast<CPlugin*>(new HookedPlugin());
  delete static_cast<CPluginBase*>(new HookedPlugin());
  delete static_cast<CDataSource*>(new HookedPlugin());
  EXPECT_EQ(gDestroyed, 3);
}
