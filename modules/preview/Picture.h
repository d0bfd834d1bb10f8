#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace salvor {

// The largest size of width x height that fits the box with the same aspect, at least 1x1.
void FitInto(int width, int height, int maxWidth, int maxHeight, int* fitWidth, int* fitHeight);

// Shrinks a picture row by row into a fixed small one by averaging every source pixel into
// the target pixel it falls in; rows may come in any order (interlaced formats) and rows that
// never come stay grey, so a damaged file shows how much of it decoded. Memory is the target's.
class CRowScaler {
 public:
  CRowScaler(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);
  // One row of 8-bit pixels with `channels` (3: RGB, 4: RGBA over white, 1: grey).
  void AddRow(int y, const uint8_t* pixels, int channels);
  int RowsAdded() const { return FRowsAdded; }
  int TargetWidth() const { return FTargetWidth; }
  int TargetHeight() const { return FTargetHeight; }
  // The target as RGB rows.
  std::vector<uint8_t> Finish() const;

 private:
  int FSourceWidth, FSourceHeight, FTargetWidth, FTargetHeight;
  int FRowsAdded = 0;
  std::vector<uint32_t> FSums;  // R, G, B, count per target pixel
  std::vector<int> FColumnOf;   // target column of each source column
};

// Baseline JPEG of RGB rows; empty on failure.
std::vector<uint8_t> EncodeJpeg(const std::vector<uint8_t>& rgb, int width, int height);

// A plain picture for files that have none (sound): a note on a grey ground, in the box.
std::vector<uint8_t> SoundIcon(int maxWidth, int maxHeight);

// The end of the time a decoder may take.
class CDeadline {
 public:
  explicit CDeadline(std::chrono::milliseconds budget)
      : FEnd(std::chrono::steady_clock::now() + budget) {}
  bool Passed() const { return std::chrono::steady_clock::now() > FEnd; }

 private:
  std::chrono::steady_clock::time_point FEnd;
};

}  // namespace salvor
