#pragma once

// Direct calls on one content handler over bytes in memory, for module tests that look at a
// handler without the engine.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "salvor/CContentHandler.h"
#include "tests/support/MemoryStream.h"

namespace testing_support {

// One RecognizeData answer. As in a scan: the out-parameters start at false/-1, and an answer
// whose result is false counts as nothing recognised.
struct Recognition {
  bool ok = false;
  bool recognized = false;
  long long start = -1;
  long long end = -1;
};

// RecognizeData from where `stream` stands, in 512-byte blocks.
inline Recognition Recognize(CContentHandler* handler, CDataStream* stream) {
  Recognition r;
  r.ok = handler->RecognizeData(stream, 512, &r.recognized, &r.start, &r.end);
  return r.ok ? r : Recognition();
}

// The same over bytes in memory, from `position`.
inline Recognition Recognize(CContentHandler* handler, const std::vector<uint8_t>& disk,
                             long long position) {
  MemoryStream stream(disk);
  stream.SetPosition(position);
  return Recognize(handler, &stream);
}

// DescribeFile's verdict (complete and valid) over a file; its extension into `extension`.
inline bool Describe(CContentHandler* handler, const std::vector<uint8_t>& file,
                     std::string* extension = nullptr) {
  MemoryStream stream(file);
  char text[64] = "";
  bool valid = handler->DescribeFile(&stream, text, sizeof text);
  if (extension != nullptr) *extension = text;
  return valid;
}

// FindEndOfFile over a window holding `window`: the end it gives, -1 when it found none.
inline long long FindEnd(CContentHandler* handler, const std::vector<uint8_t>& window) {
  MemoryStream stream(window);
  long long end = -1;
  return handler->FindEndOfFile(&stream, 512, &end) ? end : -1;
}

inline std::vector<uint8_t> Prefix(const std::vector<uint8_t>& bytes, size_t length) {
  return std::vector<uint8_t>(bytes.begin(), bytes.begin() + std::min(length, bytes.size()));
}

// `n` bytes of filler from a seeded generator.
inline std::vector<uint8_t> RandomData(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// `a` followed by `b`.
inline std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace testing_support
