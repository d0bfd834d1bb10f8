// The whole scan over an input presented as a memory source, with every shipped module.
#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "salvor/CPhotoRecovery.h"
#include "tests/support/MemoryDataSource.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CPhotoRecovery* engine = GetSVSingleton();
  DIR* dir = opendir(SALVOR_FUZZ_MODULE_DIR);
  if (dir == nullptr) return 0;
  std::vector<std::string> modules;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0 && name != "blockdev.so") {
      modules.push_back(std::string(SALVOR_FUZZ_MODULE_DIR) + "/" + name);
    }
  }
  closedir(dir);
  // Loading a module moves the working directory to the module's folder; libFuzzer's own
  // relative paths must keep working.
  char cwd[4096];
  bool saved = getcwd(cwd, sizeof cwd) != nullptr;
  for (const auto& path : modules) engine->AddContentPlugin(path.c_str());
  if (saved && chdir(cwd) != 0) return 0;
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
