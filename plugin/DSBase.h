#pragma once

#include "salvor/CDataSource.h"
#include "plugin/Plugin.h"

// Base of data-source implementations: the CPluginBase operations forward to the store.
// A concrete source supplies the sixteen data-source operations and sets FUniqueID.
class CDSBase : public CDataSource, public CPlugin {
 public:
  explicit CDSBase(CPhotoRecovery* engine);
  ~CDSBase() override;

  const char* GetUniqueID() override;
  bool SetIntPropValue(const char* name, int value) override;
  bool GetIntPropValue(const char* name, int* value) override;
  bool GetIntPropDefault(const char* name, int* value) override;
  bool GetIntPropMin(const char* name, int* value) override;
  bool GetIntPropMax(const char* name, int* value) override;
  bool GetIntPropStep(const char* name, int* value) override;
  bool IsIntProp(const char* name) override;
  bool EnumIntProp(int index, char* name) override;
  bool SetStrPropValue(const char* name, const char* value) override;
  bool GetStrPropValue(const char* name, char* value) override;
  bool GetStrPropDefault(const char* name, char* value) override;
  bool IsStrPropValueValid(const char* name, const char* value) override;
  bool IsStrProp(const char* name) override;
  bool EnumStrProp(int index, char* name) override;
};
