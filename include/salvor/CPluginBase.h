#pragma once

// Named string and integer settings of a plug-in object, plus its unique identifier.
// Output buffers carry no size: the caller supplies room for the longest text plus NUL.
class CPluginBase {
 public:
  virtual ~CPluginBase() {}
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
