#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "salvor/CDataSourceModule.h"
#include "plugin/FileDataSource.h"
#include "engine/SVPhotoRecovery.h"
#include "util/StringUtils.h"

namespace SV {

namespace {

// Room for an image path in the locale's multibyte form, terminator included.
constexpr size_t kMountPathBufferSize = 4096;
const char kFileSourcePrefix[] = "SVFileDS_";

std::string MountError(const std::string& path, int error) {
  std::ostringstream text;
  text << "Error mounting file " << path << ": " << error;
  return text.str();
}

}  // namespace

CDataSource* CPhotoRecovery::MountFile(const wchar_t* path) {
  if (path == nullptr) {
    Log("SVC", LogLevel::kError, MountError("", EINVAL).c_str());
    errno = EINVAL;
    return nullptr;
  }
  char converted[kMountPathBufferSize];
  size_t length = wcstombs(converted, path, sizeof converted);
  // A path the locale cannot write, or one too long for the buffer, is refused before any
  // source is built; the log names it in the engine's identifier encoding instead.
  if (length == static_cast<size_t>(-1) || length >= sizeof converted) {
    int error = length == static_cast<size_t>(-1) ? EILSEQ : ENAMETOOLONG;
    Log("SVC", LogLevel::kError, MountError(encodeString(path), error).c_str());
    errno = error;
    return nullptr;
  }

  // The registry is the only record of mounted files.
  if (FDataSources.count(kFileSourcePrefix + std::string(converted)) != 0) {
    Log("SVC", LogLevel::kError,
        ("File DS not loaded - can't mount file " + std::string(converted)).c_str());
    errno = EEXIST;
    return nullptr;
  }
  Log("SVC", LogLevel::kMajor, ("Mounting file " + std::string(converted)).c_str());

  // The source registers itself on construction and unregisters when destroyed.
  auto source = std::make_unique<CFileDataSource>(this, path);
  source->Refresh();
  if (source->IsReady()) return source.release();

  int error = errno;
  Log("SVC", LogLevel::kError, MountError(converted, error).c_str());
  source.reset();
  errno = error;
  return nullptr;
}

void CPhotoRecovery::UnmountFile(CDataSource* source) {
  Log("SVC", LogLevel::kMajor, "Unmounting file ");
  // Whatever source the host hands back is destroyed; its destructor unregisters it.
  delete source;
}

void CPhotoRecovery::RescanDataSources() {
  for (const auto& entry : FDSModules) {
    CDataSourceModule* module = entry.second;
    if (!module->IsEnabled()) continue;
    const char* id = module->GetUniqueID();
    Log("SVC", LogLevel::kDetail,
        ("Scanning sources with " + std::string(id != nullptr ? id : "") + " plugin").c_str());
    module->ScanSources(this, 0);
  }
}

}  // namespace SV
