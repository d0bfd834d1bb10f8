#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin/Plugin.h"

namespace {

// A plug-in whose hooks record their calls; refuses string values that start with "bad".
class HookedPlugin : public CPlugin {
 public:
  HookedPlugin() : CPlugin(nullptr) {}
  bool ValidateStrPropValue(const char* name, const char* value) override {
    hooks.push_back(std::string("validate ") + name + "=" + value);
    return std::strncmp(value, "bad", 3) != 0;
  }
  void StrPropChanged(const char* name) override { hooks.push_back(std::string("str ") + name); }
  void IntPropChanged(const char* name) override { hooks.push_back(std::string("int ") + name); }
  std::vector<std::string> hooks;
};

int Get(CPlugin& plugin, bool (CPlugin::*getter)(const char*, int*), const char* name) {
  int value = -12345;
  EXPECT_TRUE((plugin.*getter)(name, &value)) << name;
  return value;
}

}  // namespace

TEST(PluginStore, IntegerValuesStayWithinInclusiveBoundsAndNotify) {
  HookedPlugin plugin;
  plugin.DefineIntProp("Level", 50, 0, 100, 10);
  EXPECT_TRUE(plugin.hooks.empty());
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropValue, "Level"), 50);
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropDefault, "Level"), 50);
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropMin, "Level"), 0);
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropMax, "Level"), 100);
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropStep, "Level"), 10);

  EXPECT_TRUE(plugin.SetIntPropValue("Level", 0));
  EXPECT_TRUE(plugin.SetIntPropValue("Level", 100));
  EXPECT_FALSE(plugin.SetIntPropValue("Level", -1));
  EXPECT_FALSE(plugin.SetIntPropValue("Level", 101));
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropValue, "Level"), 100);
  EXPECT_TRUE(plugin.SetIntPropValue("Level", 7));  // the step is never enforced
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropValue, "Level"), 7);
  EXPECT_TRUE(plugin.SetIntPropValue("Level", 7));  // same value: the hook runs again
  EXPECT_FALSE(plugin.SetIntPropValue("level", 7));
  EXPECT_EQ(plugin.hooks,
            (std::vector<std::string>{"int Level", "int Level", "int Level", "int Level"}));

  // Inverted bounds refuse every value; a default outside the range is kept as given.
  plugin.DefineIntProp("Inverted", 5, 10, 0, 1);
  EXPECT_FALSE(plugin.SetIntPropValue("Inverted", 5));
  EXPECT_FALSE(plugin.SetIntPropValue("Inverted", 0));
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropValue, "Inverted"), 5);
  plugin.DefineIntProp("Outside", -7, 0, 10, 1);
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropValue, "Outside"), -7);
  plugin.DefineIntProp("Extremes", 0, -2147483647 - 1, 2147483647, 1);
  EXPECT_TRUE(plugin.SetIntPropValue("Extremes", -2147483647 - 1));
  EXPECT_TRUE(plugin.SetIntPropValue("Extremes", 2147483647));

  // Redefining resets value and bounds without a hook.
  plugin.hooks.clear();
  plugin.DefineIntProp("Level", 3, 1, 5, 2);
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropValue, "Level"), 3);
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropMax, "Level"), 5);
  EXPECT_TRUE(plugin.hooks.empty());

  // Null output pointers and unknown names fail and write nothing.
  EXPECT_FALSE(plugin.GetIntPropValue("Level", nullptr));
  EXPECT_FALSE(plugin.GetIntPropStep("Level", nullptr));
  int untouched = 99;
  for (auto getter : {&CPlugin::GetIntPropValue, &CPlugin::GetIntPropDefault,
                      &CPlugin::GetIntPropMin, &CPlugin::GetIntPropMax, &CPlugin::GetIntPropStep}) {
    EXPECT_FALSE((plugin.*getter)("Nope", &untouched));
  }
  EXPECT_EQ(untouched, 99);
}

TEST(PluginStore, StringValuesAreValidatedThenStoredThenNotified) {
  HookedPlugin plugin;
  plugin.DefineStrProp("Name", "first");
  plugin.DefineStrProp("Other", "x");
  EXPECT_TRUE(plugin.hooks.empty());

  char buffer[64];
  EXPECT_TRUE(plugin.SetStrPropValue("Name", "second"));
  EXPECT_TRUE(plugin.SetStrPropValue("Name", "second"));
  EXPECT_FALSE(plugin.SetStrPropValue("Name", "bad value"));
  ASSERT_TRUE(plugin.GetStrPropValue("Name", buffer));
  EXPECT_STREQ(buffer, "second");
  ASSERT_TRUE(plugin.GetStrPropDefault("Name", buffer));
  EXPECT_STREQ(buffer, "first");
  EXPECT_EQ(plugin.hooks,
            (std::vector<std::string>{"validate Name=second", "str Name", "validate Name=second",
                                      "str Name", "validate Name=bad value"}));

  plugin.hooks.clear();
  EXPECT_TRUE(plugin.IsStrPropValueValid("Name", "fine"));
  EXPECT_FALSE(plugin.IsStrPropValueValid("Name", "bad"));
  EXPECT_FALSE(plugin.IsStrPropValueValid("Missing", "fine"));  // no hook for unknown names
  EXPECT_EQ(plugin.hooks, (std::vector<std::string>{"validate Name=fine", "validate Name=bad"}));
  ASSERT_TRUE(plugin.GetStrPropValue("Name", buffer));
  EXPECT_STREQ(buffer, "second");  // validation alone stores nothing

  // Null is the empty text.
  EXPECT_TRUE(plugin.IsStrPropValueValid("Name", nullptr));
  EXPECT_TRUE(plugin.SetStrPropValue("Name", nullptr));
  ASSERT_TRUE(plugin.GetStrPropValue("Name", buffer));
  EXPECT_STREQ(buffer, "");

  // Unknown names and null buffers fail and leave the buffer alone.
  std::strcpy(buffer, "unchanged");
  EXPECT_FALSE(plugin.GetStrPropValue("Missing", buffer));
  EXPECT_FALSE(plugin.GetStrPropDefault("Missing", buffer));
  EXPECT_FALSE(plugin.SetStrPropValue("Missing", "v"));
  EXPECT_STREQ(buffer, "unchanged");
  EXPECT_FALSE(plugin.GetStrPropValue("Name", nullptr));
  EXPECT_FALSE(plugin.GetStrPropDefault("Name", nullptr));

  // Redefining resets the value to the new default without a hook.
  plugin.hooks.clear();
  plugin.DefineStrProp("Name", "reset");
  ASSERT_TRUE(plugin.GetStrPropValue("Name", buffer));
  EXPECT_STREQ(buffer, "reset");
  EXPECT_TRUE(plugin.hooks.empty());
}

TEST(PluginStore, FamiliesAreSeparateAndEnumerateInByteOrder) {
  HookedPlugin plugin;
  plugin.DefineIntProp("b", 1, 0, 9, 1);
  plugin.DefineIntProp("a", 2, 0, 9, 1);
  plugin.DefineIntProp("Z", 3, 0, 9, 1);
  plugin.DefineStrProp("a", "text");

  char name[32];
  std::vector<std::string> names;
  for (int i = 0; plugin.EnumIntProp(i, name); ++i) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Z", "a", "b"}));
  std::strcpy(name, "unchanged");
  EXPECT_FALSE(plugin.EnumIntProp(3, name));
  EXPECT_FALSE(plugin.EnumIntProp(-1, name));
  EXPECT_FALSE(plugin.EnumStrProp(1, name));
  EXPECT_STREQ(name, "unchanged");
  ASSERT_TRUE(plugin.EnumStrProp(0, name));
  EXPECT_STREQ(name, "a");

  // One name in both families: each family reads its own record.
  EXPECT_TRUE(plugin.IsIntProp("a"));
  EXPECT_TRUE(plugin.IsStrProp("a"));
  EXPECT_FALSE(plugin.IsStrProp("b"));
  EXPECT_FALSE(plugin.IsIntProp("A"));
  EXPECT_EQ(Get(plugin, &CPlugin::GetIntPropValue, "a"), 2);
  char text[32];
  ASSERT_TRUE(plugin.GetStrPropValue("a", text));
  EXPECT_STREQ(text, "text");

  HookedPlugin empty;
  EXPECT_FALSE(empty.EnumIntProp(0, name));
  EXPECT_FALSE(empty.EnumStrProp(0, name));
  EXPECT_STREQ(empty.GetUniqueID(), "");
}
