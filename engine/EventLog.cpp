#include <cstdio>
#include <sstream>
#include <string>

#include "salvor/CEventHandler.h"
#include "engine/SVPhotoRecovery.h"

namespace SV {

void CPhotoRecovery::Log(const char* source, int level, const char* text) {
  std::string line = "[";
  line += source;
  line += "] ";
  line += text;
  fprintf(stderr, "%s\n", line.c_str());
  if (FEventHandler != nullptr) FEventHandler->Log(source, level, text);
}

void CPhotoRecovery::ReportWindowsError(int code, const char* data) {
  std::ostringstream text;
  text << "Windows error " << code << ": " << (data != nullptr ? data : "<no data>");
  Log("SVC", LogLevel::kDetail, text.str().c_str());
}

void CPhotoRecovery::DSChanged(CDataSource* source) {
  if (FEventHandler != nullptr) FEventHandler->DSChanged(source);
}

void CPhotoRecovery::DSSeek(CDataSource* source, long long position, bool& cancel) {
  if (FEventHandler != nullptr) FEventHandler->DSSeek(source, position, cancel);
}

void CPhotoRecovery::DSAccess(CDataSource* source, long long position, bool& cancel) {
  if (FEventHandler != nullptr) FEventHandler->DSAccess(source, position, cancel);
}

}  // namespace SV
