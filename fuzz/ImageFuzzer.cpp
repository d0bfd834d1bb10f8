// Hostile evidence files: the input is written as an EWF, AFF or split image (its first byte
// picks which) and opened and read as the images module does. Must not crash, hang or
// allocate without bound.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "modules/images/ImageReader.h"

// afflib keeps a few names of a damaged table of segments when it gives up on a file, and
// libewf one chunk buffer when it closes an image whose last chunk read failed: bounded, once
// per image opened (repeated reads do not grow), in libraries we do not build.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libafflib.so\nleak:libewf.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const std::string folder = [] {
    char name[] = "/tmp/salvor-fuzz-image-XXXXXX";
    return std::string(mkdtemp(name));
  }();
  static const char* const kNames[] = {"/case.E01", "/case.aff", "/part.001"};
  const std::string path = folder + kNames[data[0] % 3];
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return 0;
  std::fwrite(data + 1, 1, size - 1, out);
  std::fclose(out);
  if (data[0] % 3 == 2) {
    // A second part, so that the name makes a split image.
    FILE* second = std::fopen((folder + "/part.002").c_str(), "wb");
    if (second != nullptr) {
      std::fwrite(data + 1, 1, (size - 1) / 2, second);
      std::fclose(second);
    }
  }
  std::string error;
  auto reader = salvor::images::OpenImage(path, error);
  if (reader != nullptr) {
    std::vector<uint8_t> buffer(64 * 1024);
    const long long size = reader->MediaSize();
    int code = 0;
    // The first, a middle and the last read-ahead chunk, as the scan would read them.
    for (long long at : {0LL, size / 2 / 512 * 512, size - static_cast<long long>(buffer.size())}) {
      if (at < 0 || at >= size) continue;
      const size_t length = static_cast<size_t>(std::min<long long>(buffer.size(), size - at));
      reader->Read(at, length, buffer.data(), code);
    }
  }
  unlink(path.c_str());
  unlink((folder + "/part.002").c_str());
  return 0;
}
