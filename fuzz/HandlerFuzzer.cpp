// One fuzz target per content module, all built from this source: the module named by
// SALVOR_FUZZ_MODULE is loaded once, and every input is offered to each of its operations.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "salvor/CContentHandler.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/PluginEntry.h"
#include "tests/support/SparseStream.h"

namespace {
CContentHandler* gHandler = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  void* module = dlopen(SALVOR_FUZZ_MODULE, RTLD_NOW);
  if (module == nullptr) {
    fprintf(stderr, "cannot load %s: %s\n", SALVOR_FUZZ_MODULE, dlerror());
    abort();
  }
  auto entry = reinterpret_cast<GetCHInstanceFunc>(dlsym(module, SALVOR_CH_ENTRY));
  if (entry == nullptr || (gHandler = entry(GetSVSingleton())) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the settings, so both search modes are explored.
  gHandler->SetIntPropValue("Unaligned", data[0] & 1);
  gHandler->SetIntPropValue("MaxSize", (data[0] & 2) ? 1 : 65536);
  testing_support::SparseStream stream(static_cast<long long>(size) - 1);
  stream.Place(0, std::vector<uint8_t>(data + 1, data + size));
  const long long blockSize = 512;
  for (long long block = 0; block * blockSize < stream.GetSize() && block < 8; ++block) {
    stream.SetPosition(block * blockSize);
    bool recognized = false;
    long long start = -1, end = -1;
    gHandler->RecognizeData(&stream, blockSize, &recognized, &start, &end);
  }
  stream.SetPosition(0);
  long long end = -1;
  gHandler->FindEndOfFile(&stream, blockSize, &end);
  stream.SetPosition(0);
  long long start = -1;
  gHandler->FindStartOfFile(&stream, blockSize, &start);
  stream.SetPosition(0);
  char extension[16];
  gHandler->DescribeFile(&stream, extension, sizeof extension);
  return 0;
}
