#include "modules/common/HandlerBase.h"

#include <cstring>

namespace salvor {

CHandlerBase::CHandlerBase(CPhotoRecovery* engine, const HandlerInfo& info)
    : CPlugin(engine), FInfo(info), FEnabled(true), FUnaligned(false), FMaxSizeBytes(0) {
  FUniqueID = info.id;
  DefineIntProp("MaxSize", info.maxSizeKiB, 1, info.maxSizeLimitKiB, 1024);
  DefineIntProp("Enabled", 1, 0, 1, 1);
  DefineIntProp("Unaligned", 0, 0, 1, 1);
  FMaxSizeBytes = static_cast<long long>(info.maxSizeKiB) * 1024;
}

CHandlerBase::~CHandlerBase() {}

void CHandlerBase::IntPropChanged(const char* name) {
  int value = 0;
  if (!CPlugin::GetIntPropValue(name, &value)) return;
  if (strcmp(name, "Enabled") == 0) FEnabled = value != 0;
  if (strcmp(name, "Unaligned") == 0) FUnaligned = value != 0;
  if (strcmp(name, "MaxSize") == 0) FMaxSizeBytes = static_cast<long long>(value) * 1024;
}

const char* CHandlerBase::GetUniqueID() {
  return CPlugin::GetUniqueID();
}
bool CHandlerBase::SetIntPropValue(const char* n, int v) {
  return CPlugin::SetIntPropValue(n, v);
}
bool CHandlerBase::GetIntPropValue(const char* n, int* v) {
  return CPlugin::GetIntPropValue(n, v);
}
bool CHandlerBase::GetIntPropDefault(const char* n, int* v) {
  return CPlugin::GetIntPropDefault(n, v);
}
bool CHandlerBase::GetIntPropMin(const char* n, int* v) {
  return CPlugin::GetIntPropMin(n, v);
}
bool CHandlerBase::GetIntPropMax(const char* n, int* v) {
  return CPlugin::GetIntPropMax(n, v);
}
bool CHandlerBase::GetIntPropStep(const char* n, int* v) {
  return CPlugin::GetIntPropStep(n, v);
}
bool CHandlerBase::IsIntProp(const char* n) {
  return CPlugin::IsIntProp(n);
}
bool CHandlerBase::EnumIntProp(int i, char* n) {
  return CPlugin::EnumIntProp(i, n);
}
bool CHandlerBase::SetStrPropValue(const char* n, const char* v) {
  return CPlugin::SetStrPropValue(n, v);
}
bool CHandlerBase::GetStrPropValue(const char* n, char* v) {
  return CPlugin::GetStrPropValue(n, v);
}
bool CHandlerBase::GetStrPropDefault(const char* n, char* v) {
  return CPlugin::GetStrPropDefault(n, v);
}
bool CHandlerBase::IsStrPropValueValid(const char* n, const char* v) {
  return CPlugin::IsStrPropValueValid(n, v);
}
bool CHandlerBase::IsStrProp(const char* n) {
  return CPlugin::IsStrProp(n);
}
bool CHandlerBase::EnumStrProp(int i, char* n) {
  return CPlugin::EnumStrProp(i, n);
}

const char* CHandlerBase::GetMimeTypes() {
  return FInfo.mimeTypes;
}
bool CHandlerBase::IsEnabled() {
  return FEnabled;
}
const char* CHandlerBase::GetDisplayName() {
  return FInfo.displayName;
}
const char* CHandlerBase::GetFileExtensions() {
  return FInfo.extensions;
}

}  // namespace salvor
