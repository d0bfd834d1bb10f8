#pragma once

// Helpers for the audio and video module tests: inputs made with Debian tools in the test
// set-up, one handler asked directly, and the files of a scan compared with where they lay.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "salvor/CContentHandler.h"
#include "tests/support/HandlerCalls.h"
#include "tests/support/ScanHarness.h"

namespace testing_support {

// Runs each command with the output path appended; returns the bytes of every output that
// was made (encoders missing from this ffmpeg just leave gaps). Outputs are kept under the
// build tree by command, so the test processes of one binary make them only once.
inline std::map<std::string, std::vector<uint8_t>> MakeMedia(
    const std::string& folder, const std::vector<std::pair<std::string, std::string>>& commands) {
  std::map<std::string, std::vector<uint8_t>> made;
  const std::string base = std::string(SALVOR_BINARY_DIR) + "/test-scratch/media-cache/" + folder;
  for (const auto& command : commands) {
    std::string dir = base + "/" + std::to_string(std::hash<std::string>()(command.second));
    std::string path = dir + "/" + command.first;
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    if (bytes.empty()) {
      // Made aside and renamed into place: test processes may run side by side.
      std::string scratch = dir + "/making-" + std::to_string(getpid());
      std::string output = scratch + "/" + command.first;
      if (Run("mkdir -p '" + scratch + "' && (" + command.second + " '" + output +
              "') >/dev/null 2>&1 && mv -f '" + output + "' '" + path + "'")) {
        bytes = ReadFileBytes(path);
      }
      Run("rm -rf '" + scratch + "'");
    }
    if (!bytes.empty()) made[command.first] = std::move(bytes);
  }
  return made;
}

// Each corpus sample (testdata format-samples/<name>) is recognised at its start and named
// `extension`.
inline void ExpectSamplesNamed(CContentHandler* handler,
                               const std::map<std::string, std::string>& samples) {
  for (const auto& [name, expected] : samples) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> file = ReadFileBytes(TestData("corpus/format-samples/" + name));
    ASSERT_FALSE(file.empty());
    Recognition answer = Recognize(handler, file, 0);
    EXPECT_TRUE(answer.recognized && answer.start == 0);
    std::string extension;
    Describe(handler, file, &extension);
    EXPECT_EQ(extension, expected);
  }
}

inline int DefaultMaxSize(CContentHandler* handler) {
  int value = 0;
  handler->GetIntPropDefault("MaxSize", &value);
  return value;
}

// Damaged copies of a file (bytes overwritten, runs zeroed, cut anywhere) through every
// operation of the handler: answers stay inside the data, nothing crashes or hangs.
inline void ExerciseDamagedCopies(CContentHandler* handler, const std::vector<uint8_t>& file,
                                  uint32_t seed, int copies = 150) {
  std::mt19937 random(seed);
  for (int copy = 0; copy < copies && !file.empty(); ++copy) {
    std::vector<uint8_t> bytes = file;
    int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits; ++e) {
      size_t at = random() % bytes.size();
      if (e % 3 == 2) {
        size_t run = std::min<size_t>(bytes.size() - at, random() % 600);
        std::fill(bytes.begin() + static_cast<long>(at),
                  bytes.begin() + static_cast<long>(at + run), 0);
      } else {
        bytes[at] = static_cast<uint8_t>(random());
      }
    }
    if (copy % 4 == 0) bytes.resize(random() % bytes.size() + 1);
    const long long size = static_cast<long long>(bytes.size());
    Recognition a = Recognize(handler, bytes, 0);
    if (a.recognized) {
      EXPECT_EQ(a.start, 0) << "copy " << copy;
      EXPECT_TRUE(a.end == -1 || (a.end > 0 && a.end <= size)) << "copy " << copy << ": " << a.end;
    }
    long long end = FindEnd(handler, bytes);
    EXPECT_TRUE(end >= -1 && end <= size) << "copy " << copy << ": " << end;
    std::string extension;
    Describe(handler, bytes, &extension);
  }
}

inline void ExerciseDamagedCopies(CContentHandler* handler,
                                  const std::map<std::string, std::vector<uint8_t>>& files) {
  uint32_t seed = 1;
  for (const auto& f : files) {
    SCOPED_TRACE(f.first);
    ExerciseDamagedCopies(handler, f.second, seed++);
  }
}

struct MediaTally {
  int files = 0;      // intact files in the image
  int identical = 0;  // came back byte-identical, named as expected and marked complete
  int broken = 0;     // truncated files that came back marked damaged, no longer than they are
  int extra = 0;      // anything else delivered
};

// `intact`: placed name -> expected extension; `truncated`: placed name -> its bytes present.
inline MediaTally CheckMediaRecovery(const std::vector<ImageBuilder::Placed>& placed,
                                     const std::vector<Recovered>& found,
                                     const std::map<std::string, std::string>& intact,
                                     const std::map<std::string, long long>& truncated) {
  MediaTally tally;
  std::vector<bool> matched(found.size(), false);
  for (const auto& p : placed) {
    bool isIntact = intact.count(p.name) > 0;
    tally.files += isIntact ? 1 : 0;
    bool seen = false;
    for (size_t i = 0; i < found.size(); ++i) {
      if (found[i].offset != p.offset || matched[i]) continue;
      matched[i] = seen = true;
      const Recovered& r = found[i];
      if (isIntact) {
        EXPECT_EQ(r.sha256, p.sha256) << p.name << ": " << r.size << " bytes of " << p.size;
        EXPECT_EQ(r.extension, intact.at(p.name)) << p.name;
        EXPECT_TRUE(r.valid) << p.name;
        if (r.sha256 == p.sha256 && r.extension == intact.at(p.name) && r.valid) ++tally.identical;
      } else if (truncated.count(p.name)) {
        EXPECT_FALSE(r.valid) << p.name;
        EXPECT_LE(r.size, truncated.at(p.name)) << p.name;
        EXPECT_GT(r.size, 0) << p.name;
        if (!r.valid && r.size <= truncated.at(p.name) && r.size > 0) ++tally.broken;
      }
      break;
    }
    EXPECT_TRUE(seen) << p.name << " at " << p.offset << " not recovered";
  }
  for (size_t i = 0; i < found.size(); ++i) {
    if (matched[i]) continue;
    ++tally.extra;
    ADD_FAILURE() << "extra file at " << found[i].offset << ", " << found[i].size << " bytes ."
                  << found[i].extension;
  }
  return tally;
}

inline void PrintTally(const char* module, const MediaTally& t) {
  printf("[ tally    ] %s: files %d, byte-identical %d, broken %d, extra %d\n", module, t.files,
         t.identical, t.broken, t.extra);
}

// CheckMediaRecovery, then every intact file must have come back whole and every truncated one
// broken. Prints the tally under `label`.
inline MediaTally ExpectRecovered(const std::string& label,
                                  const std::vector<ImageBuilder::Placed>& placed,
                                  const std::vector<Recovered>& found,
                                  const std::map<std::string, std::string>& intact,
                                  const std::map<std::string, long long>& truncated) {
  MediaTally t = CheckMediaRecovery(placed, found, intact, truncated);
  EXPECT_EQ(t.identical, t.files) << label;
  EXPECT_EQ(t.broken, static_cast<int>(truncated.size())) << label;
  PrintTally(label.c_str(), t);
  return t;
}

// The same for an image of files that all have `extension`, those named "cut-..." cut short on
// purpose.
inline MediaTally ExpectRecovered(const std::string& label,
                                  const std::vector<ImageBuilder::Placed>& placed,
                                  const std::vector<Recovered>& found,
                                  const std::string& extension) {
  std::map<std::string, std::string> intact;
  std::map<std::string, long long> truncated;
  for (const auto& p : placed) {
    if (p.name.rfind("cut-", 0) == 0) {
      truncated[p.name] = p.size;
    } else {
      intact[p.name] = extension;
    }
  }
  return ExpectRecovered(label, placed, found, intact, truncated);
}

// A test image with its ground truth: the name -> extension of every intact file and the
// name -> bytes present of every cut one.
struct MediaImage {
  ImageBuilder builder;
  std::map<std::string, std::string> intact;
  std::map<std::string, long long> truncated;

  // Every file sector-aligned: a first round between random data and zeros, a second back
  // to back. Extensions are taken from the names.
  void AddAll(const std::map<std::string, std::vector<uint8_t>>& files) {
    builder.AddRandom(7000);
    bool zeros = false;
    for (int round = 0; round < 2; ++round) {
      for (const auto& f : files) {
        builder.Align();
        builder.AddFile(f.first, f.second);
        intact[f.first] = f.first.substr(f.first.rfind('.') + 1);
        if (round == 0 && (zeros = !zeros)) builder.AddZeros(1536);
      }
    }
  }
  // The first `keep` bytes of a file, sector-aligned, followed by random data.
  void AddCut(const std::string& name, const std::vector<uint8_t>& file, size_t keep) {
    std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<long>(keep));
    builder.Align();
    builder.AddFile(name, cut);
    truncated[name] = static_cast<long long>(keep);
    builder.AddRandom(3000);
  }
};

// Scans the image through the engine with `module` loaded, checks every file against the
// ground truth (all intact ones whole, all cut ones broken, nothing extra) and prints the tally.
inline MediaTally ScanAndCheck(const std::string& module, MediaImage& image) {
  image.builder.AddZeros(2048);
  std::vector<uint8_t> bytes = image.builder.Finish();
  return ExpectRecovered(module, image.builder.placed(), ScanImage({module}, bytes), image.intact,
                         image.truncated);
}

// A file inside a block (random data around it) comes back only with Unaligned set.
inline void ExpectFoundOnlyUnaligned(CContentHandler* handler, const std::string& module,
                                     const std::string& name, const std::vector<uint8_t>& file) {
  ImageBuilder image;
  image.AddRandom(1234);
  image.AddFile(name, file);
  image.AddRandom(2000);
  std::vector<uint8_t> bytes = image.Finish();
  EXPECT_TRUE(ScanImage({module}, bytes).empty());
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 1));
  auto found = ScanImage({module}, bytes);
  ASSERT_TRUE(handler->SetIntPropValue("Unaligned", 0));
  std::string extension = name.substr(name.rfind('.') + 1);
  EXPECT_EQ(CheckMediaRecovery(image.placed(), found, {{name, extension}}, {}).identical, 1);
}

// With MaxSize `kib` the file is only begun; the end search over a larger window finds its end.
inline void ExpectOpenPastMaxSize(CContentHandler* handler, const std::vector<uint8_t>& file,
                                  int kib) {
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", kib));
  Recognition open = Recognize(handler, file, 0);
  ASSERT_TRUE(handler->SetIntPropValue("MaxSize", DefaultMaxSize(handler)));
  EXPECT_TRUE(open.recognized);
  EXPECT_EQ(open.start, 0);
  EXPECT_EQ(open.end, -1);
  std::vector<uint8_t> window = file;
  window.resize(window.size() + 1500, 0);
  EXPECT_EQ(FindEnd(handler, window), static_cast<long long>(file.size()));
}

// Random data yields nothing, also with `plants` written at every third block start.
inline void ExpectNothingFromRandom(const std::string& module,
                                    const std::vector<std::vector<uint8_t>>& plants) {
  ImageBuilder image(17);
  image.AddRandom(2 << 20);
  std::vector<uint8_t> bytes = image.Finish();
  size_t which = 0;
  for (size_t at = 0; at + 1024 < bytes.size() && !plants.empty(); at += 512 * 3, ++which) {
    const auto& plant = plants[which % plants.size()];
    std::copy(plant.begin(), plant.end(), bytes.begin() + static_cast<long>(at));
  }
  for (const auto& r : ScanImage({module}, bytes))
    ADD_FAILURE() << "found " << r.size << " bytes at " << r.offset << " ." << r.extension;
}

}  // namespace testing_support
