#pragma once

#include "salvor/CContentHandler.h"

// A content handler base without properties: every property operation answers false, so a
// test handler writes only the operations it is about.
class PropertylessHandler : public CContentHandler {
 public:
  bool SetIntPropValue(const char*, int) override { return false; }
  bool GetIntPropValue(const char*, int*) override { return false; }
  bool GetIntPropDefault(const char*, int*) override { return false; }
  bool GetIntPropMin(const char*, int*) override { return false; }
  bool GetIntPropMax(const char*, int*) override { return false; }
  bool GetIntPropStep(const char*, int*) override { return false; }
  bool IsIntProp(const char*) override { return false; }
  bool EnumIntProp(int, char*) override { return false; }
  bool SetStrPropValue(const char*, const char*) override { return false; }
  bool GetStrPropValue(const char*, char*) override { return false; }
  bool GetStrPropDefault(const char*, char*) override { return false; }
  bool IsStrPropValueValid(const char*, const char*) override { return false; }
  bool IsStrProp(const char*) override { return false; }
  bool EnumStrProp(int, char*) override { return false; }
};
