#pragma once

// The one ground truth of the module tests: a disk image laid out from files at known places,
// scanned through the engine with chosen properties, and every file checked to come back as it
// was placed (exact bytes, DescribeFile's verdict and extension) with nothing extra.

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "tests/support/HandlerCalls.h"
#include "tests/support/ScanHarness.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// A file to place and the extension DescribeFile must give it.
struct Sample {
  std::string name;
  Bytes bytes;
  std::string extension;
};
using Samples = std::vector<Sample>;

// The handler of a module in the module folder ("jpeg"), loaded once per process.
inline CContentHandler* Handler(const std::string& module) {
  static std::map<std::string, CContentHandler*> loaded;
  if (loaded.count(module) == 0) loaded[module] = LoadHandler(module + ".so");
  return loaded[module];
}

class Layout {
 public:
  // How a placed file must come back: byte-identical and complete; byte-identical and marked
  // damaged; marked damaged, at least `least` bytes and no more than were placed; or perhaps
  // not at all, but byte-identical if marked complete.
  enum Kind { kWhole, kDamaged, kCut, kMaybe };
  struct Expected {
    std::string name, extension;
    Kind kind;
    long long offset, size, least;
  };

  explicit Layout(uint32_t seed = 1234) : FImage(seed) {}
  Layout& Random(size_t n) { return FImage.AddRandom(n), *this; }
  Layout& Zeros(size_t n) { return FImage.AddZeros(n), *this; }
  Layout& Align() { return FImage.Align(), *this; }
  // Zeros up to the next sector: the slack a file system leaves after a file.
  Layout& Slack() { return Zeros((512 - FImage.bytes().size() % 512) % 512); }
  // Bytes that must not come back as a file of their own.
  Layout& Junk(const Bytes& bytes) { return FImage.bytes() = Join(FImage.bytes(), bytes), *this; }
  Layout& Whole(const Sample& file) { return Place(file.name, file.bytes, file.extension); }
  Layout& Place(const std::string& name, const Bytes& bytes, const std::string& extension,
                Kind kind = kWhole, long long least = 1) {
    FExpected.push_back(
        {name, extension, kind, Size(), static_cast<long long>(bytes.size()), least});
    FImage.AddFile(name, bytes);
    return *this;
  }
  Layout& Cut(const std::string& name, const Bytes& bytes, const std::string& extension,
              long long least = 1) {
    return Place(name, bytes, extension, kCut, least);
  }
  // The file placed last must come back damaged, ending exactly here (where the next begins).
  Layout& EndsHere() {
    FExpected.back().kind = kDamaged;
    FExpected.back().size = Size() - FExpected.back().offset;
    return *this;
  }
  // Every file sector-aligned with random data or zeros after it; then all again back to back
  // with only the sector's slack between them.
  Layout& Spread(const Samples& files) {
    for (size_t i = 0; i < files.size(); ++i)
      Align().Whole(files[i]), i % 2 ? Zeros(1536) : Random(700);
    for (const Sample& file : files) Align().Whole(file).Slack();
    return *this;
  }
  // Every file at an odd offset, `gap` random bytes after each.
  Layout& Packed(const Samples& files, size_t gap = 37) {
    for (const Sample& file : files) Random(gap).Whole(file);
    return Random(gap);
  }
  // `bytes` at the start of each of `blocks` sectors of random data.
  Layout& Planted(const std::vector<Bytes>& plants, int blocks) {
    for (int i = 0; i < blocks; ++i) Align().Junk(plants[size_t(i) % plants.size()]).Random(600);
    return Align();
  }
  long long Size() { return static_cast<long long>(FImage.bytes().size()); }
  std::vector<uint8_t> Image() { return FImage.Finish(); }
  const std::vector<Expected>& Files() const { return FExpected; }

 private:
  ImageBuilder FImage;
  std::vector<Expected> FExpected;
};

inline int DefaultMaxSize(CContentHandler* handler) {
  int value = 0;
  handler->GetIntPropDefault("MaxSize", &value);
  return value;
}

// Scans the layout with `module` (and `others`), MaxSize `maxSizeKiB` (0: the default), and
// checks every file it holds. Files off the sector grid are out of reach unless Unaligned is
// set: then they must not come back. A file longer than MaxSize comes back as its first
// MaxSize bytes, damaged.
inline void ExpectCarved(const std::string& module, Layout& layout, bool unaligned = false,
                         int maxSizeKiB = 0, const std::vector<std::string>& others = {}) {
  CContentHandler* handler = Handler(module);
  ASSERT_NE(handler, nullptr) << module;
  SCOPED_TRACE(module + (unaligned ? " unaligned" : "") + " MaxSize " + std::to_string(maxSizeKiB));
  std::vector<std::string> modules = {module + ".so"};
  for (const auto& other : others) modules.push_back(other + ".so");
  const Bytes image = layout.Image();
  // The scan's mode is every named module's; modules an earlier test loaded keep their default.
  for (const auto& other : others)
    if (CContentHandler* h = Handler(other)) h->SetIntPropValue("Unaligned", unaligned);
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", unaligned));
  ASSERT_TRUE(
      handler->SetIntPropValue("MaxSize", maxSizeKiB ? maxSizeKiB : DefaultMaxSize(handler)));
  const std::vector<Recovered> found = ScanImage(modules, image);
  for (const auto& other : others)
    if (CContentHandler* h = Handler(other)) h->SetIntPropValue("Unaligned", 0);
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 0));
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler)));

  const long long limit = 1024LL * (maxSizeKiB ? maxSizeKiB : DefaultMaxSize(handler));
  std::vector<bool> matched(found.size(), false);
  for (const Layout::Expected& e : layout.Files()) {
    if (!unaligned && e.offset % 512 != 0) continue;
    size_t i = 0;
    while (i < found.size() && (matched[i] || found[i].offset != e.offset)) ++i;
    if (i == found.size()) {
      EXPECT_EQ(e.kind, Layout::kMaybe) << e.name << " at " << e.offset << " not found";
      continue;
    }
    matched[i] = true;
    const Recovered& r = found[i];
    const long long size = std::min(e.size, limit), least = std::min(e.least, limit);
    const bool exact = r.bytes == Bytes(image.begin() + e.offset, image.begin() + e.offset + size);
    const bool whole = e.kind == Layout::kWhole && size == e.size;
    const bool ok = e.kind == Layout::kCut     ? !r.valid && r.size >= least && r.size <= size
                    : e.kind == Layout::kMaybe ? exact || !r.valid
                                               : exact && r.valid == whole;
    EXPECT_TRUE(ok) << e.name << ": " << r.size << " bytes of " << e.size << ", valid " << r.valid;
    EXPECT_TRUE(e.extension.empty() || r.extension == e.extension)
        << e.name << ": ." << r.extension;
  }
  for (size_t i = 0; i < found.size(); ++i)
    EXPECT_TRUE(matched[i]) << "extra file at " << found[i].offset << ", " << found[i].size
                            << " bytes ." << found[i].extension;
}

// Scans the layout with and without Unaligned set.
inline void ExpectCarvedEitherWay(const std::string& module, Layout& layout,
                                  const std::vector<std::string>& others = {}) {
  ExpectCarved(module, layout, true, 0, others);
  ExpectCarved(module, layout, false, 0, others);
}

// The start of an ffmpeg command with one second of test picture and tone as its inputs.
inline const char kFfmpegPictureAndTone[] =
    "ffmpeg -v error -y -f lavfi -i testsrc=size=96x64:rate=25:duration=1 "
    "-f lavfi -i sine=duration=1 ";

// Runs each command with an output path appended, in a scratch folder of its own; returns the
// outputs that were made as samples named by their suffix (encoders missing from this machine
// just leave gaps). Kept under the build tree, so each test process makes them once.
inline Samples MakeMedia(const std::string& folder,
                         const std::vector<std::pair<std::string, std::string>>& commands) {
  Samples made;
  const std::string base = std::string(SALVOR_BINARY_DIR) + "/test-scratch/media-cache/" + folder;
  for (const auto& [name, command] : commands) {
    const std::string dir = base + "/" + std::to_string(std::hash<std::string>()(command));
    const std::string path = dir + "/" + name;
    // Made aside and renamed into place: test processes may run side by side.
    const std::string scratch = dir + "/making-" + std::to_string(getpid());
    if (!FileExists(path))
      Run("mkdir -p '" + scratch + "' && cd '" + scratch + "' && (" + command + " '" + scratch +
          "/" + name + "') >/dev/null 2>&1 && mv -f '" + scratch + "/" + name + "' '" + path +
          "'; rm -rf '" + scratch + "'");
    const Bytes bytes = ReadFileBytes(path);
    if (!bytes.empty()) made.push_back({name, bytes, name.substr(name.rfind('.') + 1)});
  }
  return made;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The bytes of `text` (give the length for one holding zeros).
inline Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The `n` low bytes of `v`, big- or little-endian (zeros beyond its eight).
inline Bytes Number(uint64_t v, int n, bool bigEndian) {
  Bytes out(size_t(n), 0);
  for (int i = 0; i < n && i < 8; ++i) out[size_t(bigEndian ? n - 1 - i : i)] = uint8_t(v >> 8 * i);
  return out;
}

inline Bytes BE(uint64_t v, int n = 4) {
  return Number(v, n, true);
}
inline Bytes LE(uint64_t v, int n = 4) {
  return Number(v, n, false);
}

inline const Bytes& Find(const Samples& files, const std::string& name) {
  for (const Sample& file : files)
    if (file.name == name) return file.bytes;
  static const Bytes none;
  ADD_FAILURE() << name << " was not made";
  return none;
}

// Each corpus sample (testdata corpus/format-samples/<name>, most cut short by their collector)
// is recognised at its start and named `extension`.
inline void ExpectSamplesNamed(const std::string& module,
                               const std::map<std::string, std::string>& samples) {
  for (const auto& [name, expected] : samples) {
    const Bytes file = ReadFileBytes(TestData("corpus/format-samples/" + name));
    const Recognition answer = Recognize(Handler(module), file, 0);
    EXPECT_TRUE(answer.recognized && answer.start == 0) << name;
    std::string extension;
    Describe(Handler(module), file, &extension);
    EXPECT_EQ(extension, expected) << name;
  }
}

// Damaged copies of each file (bytes overwritten, runs zeroed, cut anywhere) through every
// operation of the handler: answers stay inside the data, nothing crashes or hangs.
inline void ExpectDamagedCopiesStayInside(const std::string& module, const Samples& files) {
  CContentHandler* handler = Handler(module);
  std::mt19937 random(1);
  for (const Sample& file : files) {
    for (int copy = 0; copy < 150; ++copy) {
      Bytes bytes = file.bytes;
      for (int e = 0, edits = 1 + int(random() % 8); e < edits; ++e) {
        const size_t at = random() % bytes.size();
        const size_t run = e % 3 == 2 ? std::min<size_t>(bytes.size() - at, random() % 600) : 0;
        if (run == 0) bytes[at] = uint8_t(random());
        std::fill_n(bytes.begin() + long(at), run, 0);
      }
      if (copy % 4 == 0) bytes.resize(random() % bytes.size() + 1);
      const long long size = static_cast<long long>(bytes.size());
      const Recognition a = Recognize(handler, bytes, 0);
      EXPECT_TRUE(!a.recognized || (a.start == 0 && a.end <= size)) << file.name;
      const long long end = FindEnd(handler, bytes);
      EXPECT_TRUE(end >= -1 && end <= size) << file.name << " copy " << copy << ": " << end;
      Describe(handler, bytes);
    }
  }
}

}  // namespace testing_support
