#pragma once

#include <map>
#include <string>

class CPhotoRecovery;

// The property store behind CPluginBase. A plug-in derives from its interface and from
// CPlugin, and forwards each CPluginBase operation to the CPlugin operation of the same name.
// Names are never null; output buffers carry no size.
class CPlugin {
 public:
  struct CStrProp {
    std::string Value;
    std::string Default;
  };
  struct CIntProp {
    int Value = 0;
    int Default = 0;
    int Min = 0;
    int Max = 0;
    int Step = 0;
  };

  explicit CPlugin(CPhotoRecovery* engine);
  virtual ~CPlugin();

  // Hooks: asked before a string value is stored / told after a value was stored.
  virtual bool ValidateStrPropValue(const char* name, const char* value);
  virtual void StrPropChanged(const char* name);
  virtual void IntPropChanged(const char* name);
  virtual const char* GetUniqueID();

  // Create or overwrite a property; no hook is called and nothing is checked.
  void DefineStrProp(const char* name, const char* defaultValue);
  void DefineIntProp(const char* name, int defaultValue, int minValue, int maxValue, int step);

  bool SetIntPropValue(const char* name, int value);
  bool GetIntPropValue(const char* name, int* value);
  bool GetIntPropDefault(const char* name, int* value);
  bool GetIntPropMin(const char* name, int* value);
  bool GetIntPropMax(const char* name, int* value);
  bool GetIntPropStep(const char* name, int* value);
  bool IsIntProp(const char* name);
  bool EnumIntProp(int index, char* name);
  bool SetStrPropValue(const char* name, const char* value);
  bool GetStrPropValue(const char* name, char* value);
  bool GetStrPropDefault(const char* name, char* value);
  bool IsStrPropValueValid(const char* name, const char* value);
  bool IsStrProp(const char* name);
  bool EnumStrProp(int index, char* name);

 protected:
  std::map<std::string, CStrProp> FStrProps;
  std::map<std::string, CIntProp> FIntProps;
  CPhotoRecovery* FEngine;
  std::string FUniqueID;
};
