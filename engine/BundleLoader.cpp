#include "engine/BundleLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/StringUtils.h"

namespace {

// Room for the module's directory and for the working directory read back.
constexpr size_t kDirectoryBufferSize = 8192;
const char kBundleSuffix[] = ".bundle";

// A path that the locale cannot turn into characters names no file we could look for.
bool IsConvertiblePath(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  return mbstowcs(nullptr, path, 0) != static_cast<size_t>(-1);
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The library to load for a module path, or an empty string when the path is neither a
// Name.bundle directory holding Name.so nor a regular file.
std::string LibraryOfModule(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return std::string();
  if (S_ISREG(info.st_mode)) return path;
  if (!S_ISDIR(info.st_mode)) return std::string();

  std::string directory = path;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  std::string name = directory.substr(directory.find_last_of('/') + 1);
  const size_t suffixLength = sizeof kBundleSuffix - 1;
  if (name.size() <= suffixLength ||
      name.compare(name.size() - suffixLength, suffixLength, kBundleSuffix) != 0) {
    return std::string();
  }
  std::string library = directory + "/" + name.substr(0, name.size() - suffixLength) + ".so";
  return IsRegularFile(library) ? library : std::string();
}

// Plug-ins open their resources relative to their own folder, so the process follows the
// module there; it does not move back afterwards.
void EnterModuleDirectory(const char* path) {
  if (path == nullptr) path = "";
  char directory[kDirectoryBufferSize] = "";
  // filepath needs room for the whole path; a longer path keeps the directory empty.
  if (strlen(path) <= sizeof directory) filepath(const_cast<char*>(path), directory);
  fprintf(stderr, "changing dir to: %s\n", directory);
  // Unchecked on purpose: when the directory cannot be entered the process stays where it was.
  int ignored = chdir(directory);
  (void)ignored;
  if (getcwd(directory, sizeof directory) == nullptr) directory[0] = '\0';
  fprintf(stderr, "bundle %s loaded, working dir: %s\n", path, directory);
}

}  // namespace

bool importBundleExecutable(const char* path, const char* entryName, void*& entry, void*& bundle) {
  entry = nullptr;
  if (bundle == nullptr) {
    if (!IsConvertiblePath(path)) {
      fprintf(stderr, "bundle %s not found\n", path != nullptr ? path : "");
      return false;
    }
    std::string library = LibraryOfModule(path);
    if (library.empty()) {
      fprintf(stderr, "invalid bundle %s\n", path);
      return false;
    }
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* reason = dlerror();
      fprintf(stderr, "bundle %s does not contain plugin\n", path);
      fprintf(stderr, "%s\n", reason != nullptr ? reason : "");
      return false;
    }
    bundle = handle;
  }
  dlerror();
  entry = dlsym(bundle, entryName);
  EnterModuleDirectory(path);
  return true;
}

void unloadBundleExecutable(void*& bundle) {
  if (bundle == nullptr) return;
  dlclose(bundle);
  bundle = nullptr;
}
