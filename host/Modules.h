#pragma once

#include <string>
#include <vector>

class CDataSource;
class CPhotoRecovery;
class CPluginBase;

namespace salvor {

class RecoverySink;

// The modules of one folder, sorted by file name and sorted by the entry they export.
struct ModuleSet {
  std::vector<std::string> content;     // export GetCHInstance
  std::vector<std::string> dataSource;  // export GetDSInstance
  std::vector<std::string> preview;     // export GetPVInstance
};

// <folder of the running executable>/../lib/salvor/modules: the same in the build tree and in
// an installed tree.
std::string DefaultModuleFolder();

// Lists the *.so files of folder by the entry they export. A file that cannot be opened as a
// module makes the call fail, with a one-line reason ("cannot load module '...': ...").
bool FindModules(const std::string& folder, ModuleSet& modules, std::string& error);

// Has the engine load the modules of the given kinds. The engine reports failures only in its
// log, which reaches the sink; any load failure makes the call fail with a one-line reason.
// The current directory, which the engine's loader changes, is restored.
// Preview modules (thumbnails for the gallery) load with the content modules.
bool LoadModules(CPhotoRecovery* engine, const ModuleSet& modules, bool content, bool dataSource,
                 RecoverySink& sink, std::string& error);

// FindModules, then LoadModules: the modules of folder of the given kinds, found in modules.
bool LoadModuleFolder(CPhotoRecovery* engine, const std::string& folder, bool content,
                      bool dataSource, RecoverySink& sink, ModuleSet& modules, std::string& error);

// The source a loaded data-source module offers for the image file at `path` (absolute). A
// module that reads image formats (EWF, AFF, split raw) has a string property "Images" naming
// the files it is to open. Null with `error` empty when no module reads this file's format (a
// plain raw image), null with a one-line reason when one does but cannot read it. The source
// belongs to its module.
CDataSource* OpenImageWithModules(CPhotoRecovery* engine, const ModuleSet& modules,
                                  const std::string& path, std::string& error);

// The "Formats" text of every loaded data-source module that reads image files.
std::vector<std::string> ImageFormatsOfModules(CPhotoRecovery* engine, const ModuleSet& modules);

// The string property `name` of a plug-in; empty when it has none.
std::string StrProperty(CPluginBase* plugin, const char* name);

}  // namespace salvor
