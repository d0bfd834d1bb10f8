#include "plugin/Plugin.h"

#include <cstring>

namespace {

template <typename Map>
bool EnumName(const Map& props, int index, char* name) {
  if (index < 0) return false;
  auto it = props.begin();
  for (int i = 0; i < index && it != props.end(); ++i) ++it;
  if (it == props.end()) return false;
  std::memcpy(name, it->first.c_str(), it->first.size() + 1);
  return true;
}

// Copies one text of the named string property into value; false when either is missing.
bool CopyText(const std::map<std::string, CPlugin::CStrProp>& props, const char* name,
              std::string CPlugin::CStrProp::*field, char* value) {
  if (value == nullptr) return false;
  auto it = props.find(name);
  if (it == props.end()) return false;
  const std::string& text = it->second.*field;
  std::memcpy(value, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

CPlugin::CPlugin(CPhotoRecovery* engine) : FEngine(engine) {}

CPlugin::~CPlugin() {}

bool CPlugin::ValidateStrPropValue(const char*, const char*) {
  return true;
}
void CPlugin::StrPropChanged(const char*) {}
void CPlugin::IntPropChanged(const char*) {}
const char* CPlugin::GetUniqueID() {
  return FUniqueID.c_str();
}

void CPlugin::DefineStrProp(const char* name, const char* defaultValue) {
  CStrProp& prop = FStrProps[name];
  prop.Default = defaultValue;
  prop.Value = defaultValue;
}

void CPlugin::DefineIntProp(const char* name, int defaultValue, int minValue, int maxValue,
                            int step) {
  CIntProp& prop = FIntProps[name];
  prop.Default = defaultValue;
  prop.Min = minValue;
  prop.Max = maxValue;
  prop.Step = step;
  prop.Value = defaultValue;
}

bool CPlugin::SetIntPropValue(const char* name, int value) {
  auto it = FIntProps.find(name);
  if (it == FIntProps.end()) return false;
  if (value < it->second.Min || value > it->second.Max) return false;
  it->second.Value = value;
  IntPropChanged(name);
  return true;
}

#define SV_INT_FIELD_GETTER(Operation, Field)             \
  bool CPlugin::Operation(const char* name, int* value) { \
    if (value == nullptr) return false;                   \
    auto it = FIntProps.find(name);                       \
    if (it == FIntProps.end()) return false;              \
    *value = it->second.Field;                            \
    return true;                                          \
  }

SV_INT_FIELD_GETTER(GetIntPropValue, Value)
SV_INT_FIELD_GETTER(GetIntPropDefault, Default)
SV_INT_FIELD_GETTER(GetIntPropMin, Min)
SV_INT_FIELD_GETTER(GetIntPropMax, Max)
SV_INT_FIELD_GETTER(GetIntPropStep, Step)
#undef SV_INT_FIELD_GETTER

bool CPlugin::IsIntProp(const char* name) {
  return FIntProps.count(name) != 0;
}
bool CPlugin::EnumIntProp(int index, char* name) {
  return EnumName(FIntProps, index, name);
}

bool CPlugin::SetStrPropValue(const char* name, const char* value) {
  if (value == nullptr) value = "";
  auto it = FStrProps.find(name);
  if (it == FStrProps.end()) return false;
  if (!ValidateStrPropValue(name, value)) return false;
  it->second.Value = value;
  StrPropChanged(name);
  return true;
}

bool CPlugin::GetStrPropValue(const char* name, char* value) {
  return CopyText(FStrProps, name, &CStrProp::Value, value);
}

bool CPlugin::GetStrPropDefault(const char* name, char* value) {
  return CopyText(FStrProps, name, &CStrProp::Default, value);
}

bool CPlugin::IsStrPropValueValid(const char* name, const char* value) {
  if (value == nullptr) value = "";
  if (FStrProps.count(name) == 0) return false;
  return ValidateStrPropValue(name, value);
}

bool CPlugin::IsStrProp(const char* name) {
  return FStrProps.count(name) != 0;
}
bool CPlugin::EnumStrProp(int index, char* name) {
  return EnumName(FStrProps, index, name);
}
