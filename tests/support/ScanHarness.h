#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

class CContentHandler;

namespace testing_support {

// Builds a disk image in memory from files placed between filler, and remembers where each
// file went (the ground truth).
class ImageBuilder {
 public:
  struct Placed {
    std::string name;
    long long offset;
    long long size;
    std::string sha256;
  };

  explicit ImageBuilder(uint32_t seed = 1234) : FRandom(seed) {}
  void AddRandom(size_t bytes);
  void AddZeros(size_t bytes);
  // Pads with random bytes up to the next multiple of `alignment` (512: sector-aligned).
  void Align(size_t alignment = 512);
  // Appends the file where the image ends now.
  void AddFile(const std::string& name, const std::vector<uint8_t>& bytes);
  // Pads the image to a whole number of 512-byte blocks.
  std::vector<uint8_t> Finish();

  const std::vector<Placed>& placed() const { return FPlaced; }
  std::vector<uint8_t>& bytes() { return FBytes; }

 private:
  std::vector<uint8_t> FBytes;
  std::vector<Placed> FPlaced;
  std::mt19937 FRandom;
};

// One file delivered by a scan, with what its handler says of it.
struct Recovered {
  std::string extension;  // from DescribeFile
  bool valid = false;     // DescribeFile's verdict
  long long offset = -1;  // byte offset in the image
  long long size = 0;
  std::vector<uint8_t> bytes;
};

// Loads the named modules (file names in the module folder, e.g. "jpeg.so") into the engine
// once per process, then scans `image` as a memory source with every registered handler.
std::vector<Recovered> ScanImage(const std::vector<std::string>& modules,
                                 const std::vector<uint8_t>& image);

// Opens a module of the module folder with dlopen and returns the handler its entry function
// builds and registers with the engine; null when the module or its entry is missing. For
// driving a handler's operations directly over a MemoryStream.
CContentHandler* LoadHandler(const std::string& module);

// Bytes that follow their position and differ from block to block, so that a wrong offset
// shows in the data.
inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 512 + seed);
  return bytes;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path);
// The whole file as text; empty when it cannot be read.
std::string ReadText(const std::string& path);
// Writes `bytes` as the whole file; false when it cannot.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);
// SHA-256 of the file's bytes, in lower-case hex.
std::string FileSha256(const std::string& path);
// Attaches `image` read-only to a free loop device and returns its path; empty when this
// machine does not allow it. The caller detaches it with `losetup -d`.
std::string AttachLoopDevice(const std::string& image);
// Path of a file under the repository's testdata folder.
std::string TestData(const std::string& relative);
// Runs a shell command; true when it exits 0. For generating inputs with Debian tools.
bool Run(const std::string& command);
// True when `tool` is on the PATH.
bool HaveTool(const std::string& tool);
// Whether the report is valid DFXML (against the schema in testdata/dfxml), where xmllint is
// there to tell.
inline bool WellFormed(const std::string& path) {
  return !HaveTool("xmllint") || Run("xmllint --noout --schema '" + TestData("dfxml/dfxml.xsd") +
                                     "' '" + path + "' 2>/dev/null");
}
// A fresh empty directory under the build tree for one test process's generated files.
std::string ScratchDir(const std::string& name);

}  // namespace testing_support
