#pragma once

#include <string>

#include "plugin/Plugin.h"
#include "salvor/CDataSourceModule.h"

// Base of data-source modules: the identifier and an "Enabled" property (1 by default) that
// IsEnabled answers from. A module adds its own properties and finds its sources.
class CDSModuleBase : public CDataSourceModule, public CPlugin {
 public:
  CDSModuleBase(CPhotoRecovery* engine, const char* uniqueID) : CPlugin(engine) {
    FUniqueID = uniqueID;
    DefineIntProp("Enabled", 1, 0, 1, 1);
  }

  const char* GetUniqueID() override { return FUniqueID.c_str(); }

  bool IsEnabled() override {
    int enabled = 1;
    return !GetIntPropValue("Enabled", &enabled) || enabled != 0;
  }

 protected:
  // The value of a string property this module defined; empty for any other name.
  std::string StrProp(const char* name) const {
    auto it = FStrProps.find(name);
    return it == FStrProps.end() ? std::string() : it->second.Value;
  }
};
