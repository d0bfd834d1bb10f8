#include "tests/support/ScanHarness.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

#include "salvor/CContentHandler.h"
#include "salvor/CPhotoRecovery.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/RecordingSink.h"
#include "util/sha256/Sha256.h"

namespace testing_support {

void ImageBuilder::AddRandom(size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) FBytes.push_back(static_cast<uint8_t>(FRandom()));
}

void ImageBuilder::AddZeros(size_t bytes) {
  FBytes.insert(FBytes.end(), bytes, 0);
}

void ImageBuilder::Align(size_t alignment) {
  if (FBytes.size() % alignment != 0) AddRandom(alignment - FBytes.size() % alignment);
}

void ImageBuilder::AddFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  FPlaced.push_back({name, static_cast<long long>(FBytes.size()),
                     static_cast<long long>(bytes.size()),
                     SV::CSha256::Of(bytes.data(), bytes.size())});
  FBytes.insert(FBytes.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> ImageBuilder::Finish() {
  Align(512);
  return FBytes;
}

std::vector<Recovered> ScanImage(const std::vector<std::string>& modules,
                                 const std::vector<uint8_t>& image) {
  CPhotoRecovery* engine = GetSVSingleton();
  static std::set<std::string> loaded;
  for (const auto& module : modules)
    if (loaded.insert(module).second)
      engine->AddContentPlugin((std::string(SALVOR_MODULE_DIR) + "/" + module).c_str());
  RecordingSink sink;
  std::vector<Recovered> result;
  sink.onFile = [&](CContentHandler* handler, CDataStream* file) {
    Recovered r;
    char extension[32] = "";
    r.valid = handler->DescribeFile(file, extension, sizeof extension);
    r.extension = extension;
    result.push_back(r);
  };
  MemoryDataSource source(engine, "harness", image);
  engine->SetEventHandler(&sink);
  engine->Scan(&source);
  engine->SetEventHandler(nullptr);
  for (size_t i = 0; i < result.size(); ++i) {  // the sink's copy of each file's bytes
    result[i].offset = sink.files[i].sourceOffset;
    result[i].bytes = std::move(sink.files[i].bytes);
    result[i].size = static_cast<long long>(result[i].bytes.size());
  }
  return result;
}

CContentHandler* LoadHandler(const std::string& module) {
  std::string path = std::string(SALVOR_MODULE_DIR) + "/" + module;
  void* library = dlopen(path.c_str(), RTLD_NOW);
  if (library == nullptr) return nullptr;
  auto entry =
      reinterpret_cast<CContentHandler* (*)(CPhotoRecovery*)>(dlsym(library, "GetCHInstance"));
  return entry == nullptr ? nullptr : entry(GetSVSingleton());
}

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string FileSha256(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  return SV::CSha256::Of(bytes.data(), bytes.size());
}

std::string AttachLoopDevice(const std::string& image) {
  const std::string listed = image + ".loop";
  if (!Run("losetup -f --show -r '" + image + "' >'" + listed + "' 2>/dev/null")) return "";
  std::string device;
  std::ifstream(listed) >> device;
  return device;
}

std::string TestData(const std::string& relative) {
  return std::string(SALVOR_TESTDATA_DIR) + "/" + relative;
}

bool Run(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

bool HaveTool(const std::string& tool) {
  return Run("command -v " + tool + " >/dev/null 2>&1");
}

std::string ScratchDir(const std::string& name) {
  // Test processes of one binary run side by side: each gets a folder of its own.
  std::string dir =
      std::string(SALVOR_BINARY_DIR) + "/test-scratch/" + name + "-" + std::to_string(getpid());
  Run("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
  return dir;
}

}  // namespace testing_support
