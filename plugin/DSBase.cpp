#include "plugin/DSBase.h"

CDSBase::CDSBase(CPhotoRecovery* engine) : CPlugin(engine) {}
CDSBase::~CDSBase() {}

const char* CDSBase::GetUniqueID() {
  return CPlugin::GetUniqueID();
}
bool CDSBase::SetIntPropValue(const char* n, int v) {
  return CPlugin::SetIntPropValue(n, v);
}
bool CDSBase::GetIntPropValue(const char* n, int* v) {
  return CPlugin::GetIntPropValue(n, v);
}
bool CDSBase::GetIntPropDefault(const char* n, int* v) {
  return CPlugin::GetIntPropDefault(n, v);
}
bool CDSBase::GetIntPropMin(const char* n, int* v) {
  return CPlugin::GetIntPropMin(n, v);
}
bool CDSBase::GetIntPropMax(const char* n, int* v) {
  return CPlugin::GetIntPropMax(n, v);
}
bool CDSBase::GetIntPropStep(const char* n, int* v) {
  return CPlugin::GetIntPropStep(n, v);
}
bool CDSBase::IsIntProp(const char* n) {
  return CPlugin::IsIntProp(n);
}
bool CDSBase::EnumIntProp(int i, char* n) {
  return CPlugin::EnumIntProp(i, n);
}
bool CDSBase::SetStrPropValue(const char* n, const char* v) {
  return CPlugin::SetStrPropValue(n, v);
}
bool CDSBase::GetStrPropValue(const char* n, char* v) {
  return CPlugin::GetStrPropValue(n, v);
}
bool CDSBase::GetStrPropDefault(const char* n, char* v) {
  return CPlugin::GetStrPropDefault(n, v);
}
bool CDSBase::IsStrPropValueValid(const char* n, const char* v) {
  return CPlugin::IsStrPropValueValid(n, v);
}
bool CDSBase::IsStrProp(const char* n) {
  return CPlugin::IsStrProp(n);
}
bool CDSBase::EnumStrProp(int i, char* n) {
  return CPlugin::EnumStrProp(i, n);
}
