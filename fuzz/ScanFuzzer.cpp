// The whole scan over an input presented as a memory source, with every shipped module.
#include <dlfcn.h>
#include <glob.h>

#include <filesystem>
#include <string>
#include <vector>

#include "salvor/CPhotoRecovery.h"
#include "salvor/PluginEntry.h"
#include "tests/support/MemoryDataSource.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Loading a module moves the working directory to the module's folder; libFuzzer's own
  // relative paths must keep working.
  const std::filesystem::path cwd = std::filesystem::current_path();
  glob_t modules;
  if (glob(SALVOR_FUZZ_MODULE_DIR "/*.so", 0, nullptr, &modules) != 0) return 0;
  for (size_t i = 0; i < modules.gl_pathc; ++i) {
    const std::string path = modules.gl_pathv[i];
    // Content modules only. The probe stays loaded: a coverage-instrumented library that is
    // unloaded leaves libFuzzer counting into memory it no longer owns.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr && dlsym(library, SALVOR_CH_ENTRY) != nullptr)
      GetSVSingleton()->AddContentPlugin(path.c_str());
  }
  globfree(&modules);
  std::filesystem::current_path(cwd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512);
  testing_support::MemoryDataSource source(GetSVSingleton(), "fuzz", std::move(bytes));
  if (size > 0 && (data[0] & 1)) source.failingBlocks.insert(1);
  GetSVSingleton()->Scan(&source);
  return 0;
}
