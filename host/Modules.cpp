#include "host/Modules.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "plugin/Plugin.h"
#include "recovery/RecoverySink.h"
#include "salvor/CDataSource.h"
#include "salvor/CDataSourceModule.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/PluginEntry.h"
#include "util/StringUtils.h"

namespace salvor {

std::string DefaultModuleFolder() {
  char executable[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (length <= 0) return "/usr/local/lib/salvor/modules";
  std::string path(executable, static_cast<size_t>(length));
  std::string prefix = path.substr(0, path.rfind('/')) + "/../";
  // The build tree keeps modules in lib/; an installed tree in the platform's library folder.
  std::string folder = prefix + "lib/salvor/modules";
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) != nullptr) return std::string(resolved);
  folder = prefix + SALVOR_MODULE_INSTALL_SUBDIR;
  return realpath(folder.c_str(), resolved) != nullptr ? std::string(resolved) : folder;
}

bool FindModules(const std::string& folder, ModuleSet& modules, std::string& error) {
  modules = ModuleSet();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    error = "cannot open module folder '" + folder + "': " + strerror(errno);
    return false;
  }
  std::vector<std::string> files;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) files.push_back(name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  for (const auto& name : files) {
    std::string path = folder + "/" + name;
    // Only to read the exported entry; the engine does the real load.
    void* library = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) {
      const char* reason = dlerror();
      error = "cannot load module '" + path + "': " + (reason != nullptr ? reason : "unknown");
      return false;
    }
    bool isContent = dlsym(library, SALVOR_CH_ENTRY) != nullptr;
    bool isDataSource = dlsym(library, SALVOR_DS_ENTRY) != nullptr;
    bool isPreview = dlsym(library, SALVOR_PV_ENTRY) != nullptr;
    dlclose(library);
    if (isContent) modules.content.push_back(path);
    if (isDataSource) modules.dataSource.push_back(path);
    if (isPreview) modules.preview.push_back(path);
    if (!isContent && !isDataSource && !isPreview) {
      error = "cannot load module '" + path + "': it is not a salvor module";
      return false;
    }
  }
  return true;
}

bool LoadModules(CPhotoRecovery* engine, const ModuleSet& modules, bool content, bool dataSource,
                 RecoverySink& sink, std::string& error) {
  char cwd[PATH_MAX];
  bool haveCwd = getcwd(cwd, sizeof cwd) != nullptr;
  bool ok = true;
  auto check = [&](const std::string& path) {
    for (const auto& line : sink.TakeErrors()) {
      if (ok && line.find(path) != std::string::npos) {
        error = "cannot load module '" + path + "': " + line;
        ok = false;
      }
    }
  };
  if (content) {
    for (const auto& path : modules.content) {
      int before = engine->GetContentHandlerCount();
      engine->AddContentPlugin(path.c_str());
      check(path);
      if (ok && engine->GetContentHandlerCount() <= before) {
        error = "cannot load module '" + path + "': it registered no file type";
        ok = false;
      }
      if (!ok) break;
    }
    for (const auto& path : modules.preview) {
      if (!ok) break;
      int before = engine->GetPreviewHandlerCount();
      engine->AddPreviewPlugin(path.c_str());
      check(path);
      if (ok && engine->GetPreviewHandlerCount() <= before) {
        error = "cannot load module '" + path + "': it registered no preview handler";
        ok = false;
      }
    }
  }
  if (dataSource && ok) {
    for (const auto& path : modules.dataSource) {
      engine->AddDSPlugin(path.c_str());
      check(path);
      if (!ok) break;
    }
  }
  if (haveCwd && chdir(cwd) != 0) {
    // Only relative paths would suffer, and the host uses absolute ones from here on.
  }
  return ok;
}

bool LoadModuleFolder(CPhotoRecovery* engine, const std::string& folder, bool content,
                      bool dataSource, RecoverySink& sink, ModuleSet& modules, std::string& error) {
  return FindModules(folder, modules, error) &&
         LoadModules(engine, modules, content, dataSource, sink, error);
}

std::string StrProperty(CPluginBase* plugin, const char* name) {
  // Property values are copied into a caller's buffer of no stated size. Those read here are
  // short texts, paths and lists of at most 64 paths (the images module's Segments), well
  // within 1 MiB.
  std::vector<char> value(1 << 20, '\0');
  if (plugin == nullptr || !plugin->IsStrProp(name) || !plugin->GetStrPropValue(name, value.data()))
    return std::string();
  value.back() = '\0';
  return value.data();
}

namespace {

// The loaded data-source modules that open image files (they have an "Images" property).
std::vector<std::pair<CDataSourceModule*, CPlugin*>> ImageModules(CPhotoRecovery* engine,
                                                                  const ModuleSet& modules) {
  std::vector<std::pair<CDataSourceModule*, CPlugin*>> found;
  for (const auto& modulePath : modules.dataSource) {
    // The engine loaded the module; this only finds its instance.
    void* library = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) continue;
    auto entry =
        reinterpret_cast<CDataSourceModule* (*)(CPhotoRecovery*)>(dlsym(library, SALVOR_DS_ENTRY));
    dlclose(library);
    CDataSourceModule* module = entry != nullptr ? entry(engine) : nullptr;
    auto* properties = dynamic_cast<CPlugin*>(module);
    if (properties != nullptr && properties->IsStrProp("Images") && module->IsEnabled())
      found.emplace_back(module, properties);
  }
  return found;
}

}  // namespace

std::vector<std::string> ImageFormatsOfModules(CPhotoRecovery* engine, const ModuleSet& modules) {
  std::vector<std::string> formats;
  for (const auto& [module, properties] : ImageModules(engine, modules)) {
    std::vector<char> value(1 << 20, '\0');
    if (properties->IsStrProp("Formats") && properties->GetStrPropValue("Formats", value.data()))
      formats.push_back(value.data());
  }
  return formats;
}

CDataSource* OpenImageWithModules(CPhotoRecovery* engine, const ModuleSet& modules,
                                  const std::string& path, std::string& error) {
  error.clear();
  for (const auto& [module, properties] : ImageModules(engine, modules)) {
    properties->SetStrPropValue("Images", path.c_str());
    module->ScanSources(engine, 0);
    for (int i = 0; i < engine->GetDataSourceCount(); ++i) {
      CDataSource* source = engine->GetDataSource(i);
      wchar_t osPath[1024] = L"";
      if (source == nullptr || std::strncmp(source->GetUniqueID(), "SVFileDS_", 9) == 0) continue;
      source->GetOSPath(osPath);
      osPath[1023] = L'\0';
      if (toUtf8String(osPath) != path) continue;
      if (source->IsReady()) return source;
      error = StrProperty(source, "Error");
      if (error.empty()) error = std::strerror(source->GetLastIOError());
      return nullptr;
    }
  }
  return nullptr;
}

}  // namespace salvor
