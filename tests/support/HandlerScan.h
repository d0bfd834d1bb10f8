#pragma once

// Drives one content handler over an image the way a scan does (complete answers delivered at
// once, start-only answers completed at the next recognition or at the end, a second window
// bounded by MaxSize), without the engine. For module tests that look at a handler alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "CContentHandler.h"
#include "MemoryStream.h"
#include "ScanHarness.h"
#include "Sha256.h"

namespace testing_support {

inline Recovered DescribeRange(CContentHandler* handler, const std::vector<uint8_t>& image,
                               long long from, long long to) {
  Recovered r;
  r.offset = from;
  r.size = to - from;
  r.bytes.assign(image.begin() + from, image.begin() + to);
  r.sha256 = SV::CSha256::Of(r.bytes.data(), r.bytes.size());
  r.handlerId = handler->GetUniqueID();
  MemoryStream file(r.bytes);
  char extension[32] = "";
  r.valid = handler->DescribeFile(&file, extension, sizeof extension);
  r.extension = extension;
  return r;
}

// FindEndOfFile over [from, to) of the image; -1 when not found.
inline long long FindEndIn(CContentHandler* handler, const std::vector<uint8_t>& image,
                           long long from, long long to, long long blockSize) {
  MemoryStream window(std::vector<uint8_t>(image.begin() + from, image.begin() + to));
  long long end = -1;
  if (!handler->FindEndOfFile(&window, blockSize, &end)) return -1;
  return end;
}

inline std::vector<Recovered> ScanWithHandler(CContentHandler* handler,
                                              const std::vector<uint8_t>& image,
                                              long long blockSize = 512) {
  std::vector<Recovered> found;
  MemoryStream stream(image);
  const long long total = static_cast<long long>(image.size());
  long long openStart = -1;
  auto finishOpen = [&](long long p, bool atEnd) {
    long long end = FindEndIn(handler, image, openStart, p, blockSize);
    if (end < 0 && !atEnd) {
      int maxKiB = 32768;
      handler->GetIntPropValue("MaxSize", &maxKiB);
      long long limit = std::min(total, p + static_cast<long long>(maxKiB) * 1024);
      end = FindEndIn(handler, image, openStart, limit, blockSize);
    }
    if (end < 0) end = p - openStart;
    found.push_back(DescribeRange(handler, image, openStart, openStart + end));
    openStart = -1;
  };
  for (long long block = 0; block * blockSize < total; ++block) {
    long long p = block * blockSize;
    stream.SetPosition(p);
    bool recognized = false;
    long long start = -1, end = -1;
    if (!handler->RecognizeData(&stream, blockSize, &recognized, &start, &end) || !recognized)
      continue;
    if (openStart >= 0) finishOpen(p, false);
    if (start >= 0 && end >= 0) {
      found.push_back(DescribeRange(handler, image, start, end));
      block = (end - 1) / blockSize;
    } else if (start >= 0) {
      openStart = start;
    }
  }
  if (openStart >= 0) finishOpen(total, true);
  return found;
}

// What a placed file should come back as: its extension, and whether it is whole.
struct Expected {
  std::string extension;
  bool intact = true;
};

// Every placed file named in `expected` comes back at its offset: an intact one byte-identical
// with the extension and a valid verdict; a broken one marked broken and no longer than the
// room up to the next placed file (or the image's end). Nothing else comes back.
inline void ExpectRecovery(const std::vector<Recovered>& got, const ImageBuilder& image,
                           long long imageSize, const std::map<std::string, Expected>& expected) {
  const auto& placed = image.placed();
  size_t matched = 0;
  for (size_t i = 0; i < placed.size(); ++i) {
    auto want = expected.find(placed[i].name);
    if (want == expected.end()) continue;
    SCOPED_TRACE(placed[i].name);
    const Recovered* hit = nullptr;
    for (const auto& r : got)
      if (r.offset == placed[i].offset) hit = &r;
    ASSERT_NE(hit, nullptr) << "not recovered";
    ++matched;
    EXPECT_EQ(hit->extension, want->second.extension);
    if (want->second.intact) {
      EXPECT_EQ(hit->sha256, placed[i].sha256);
      EXPECT_TRUE(hit->valid);
    } else {
      long long room =
          (i + 1 < placed.size() ? placed[i + 1].offset : imageSize) - placed[i].offset;
      EXPECT_FALSE(hit->valid);
      EXPECT_LE(hit->size, room);
    }
  }
  EXPECT_EQ(got.size(), matched) << "extra files";
}

// A stream of `size` bytes that reads as zeros except for the pieces placed in it, for files
// of many GiB whose structure is only a few headers.
class SparseStream : public CDataStream {
 public:
  explicit SparseStream(long long size) : FSize(size) {}
  void Place(long long offset, std::vector<uint8_t> bytes) { FPieces[offset] = std::move(bytes); }
  long long GetPosition() override { return FPosition; }
  void SetPosition(long long p) override { FPosition = std::max(0LL, std::min(p, FSize)); }
  long long Seek(long long offset, int origin) override {
    if (origin == SeekFromStart) SetPosition(offset);
    if (origin == SeekFromCurrent) SetPosition(FPosition + offset);
    if (origin == SeekFromEnd) SetPosition(FSize + offset);
    return FPosition;
  }
  long long GetSize() override { return FSize; }
  long long Read(long long count, void* buffer) override {
    count = std::max(0LL, std::min(count, FSize - FPosition));
    uint8_t* out = static_cast<uint8_t*>(buffer);
    memset(out, 0, static_cast<size_t>(count));
    for (const auto& piece : FPieces) {
      long long from = std::max(piece.first, FPosition);
      long long to =
          std::min(piece.first + static_cast<long long>(piece.second.size()), FPosition + count);
      if (from < to)
        memcpy(out + (from - FPosition), piece.second.data() + (from - piece.first),
               static_cast<size_t>(to - from));
    }
    FPosition += count;
    return count;
  }

 private:
  long long FSize;
  long long FPosition = 0;
  std::map<long long, std::vector<uint8_t>> FPieces;
};

}  // namespace testing_support
