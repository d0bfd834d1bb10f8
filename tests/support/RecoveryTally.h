#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "ScanHarness.h"

namespace testing_support {

// How a scan did against the ground truth of an ImageBuilder image.
struct RecoveryTally {
  int intact = 0;     // intact files placed
  int identical = 0;  // intact files that came back byte-identical, valid, with the extension
  int cut = 0;        // cut-short files placed
  int broken = 0;     // cut-short files that came back marked damaged, no longer than placed
  int extra = 0;      // delivered files that start where no file was placed
  std::vector<std::string> problems;

  std::string Summary() const {
    std::ostringstream out;
    out << "intact " << intact << ", identical " << identical << ", cut " << cut << ", broken "
        << broken << ", extra " << extra;
    for (const auto& p : problems) out << "\n  " << p;
    return out.str();
  }
};

// Matches every delivered file to the placed file at the same offset. Placed files whose name
// starts with "cut-" were cut short on purpose.
inline RecoveryTally Tally(const std::vector<ImageBuilder::Placed>& placed,
                           const std::vector<Recovered>& found, const std::string& extension) {
  RecoveryTally t;
  std::vector<bool> seen(placed.size(), false);
  for (const auto& file : placed) (file.name.rfind("cut-", 0) == 0 ? t.cut : t.intact)++;
  for (const auto& r : found) {
    size_t i = 0;
    while (i < placed.size() && placed[i].offset != r.offset) ++i;
    if (i == placed.size()) {
      ++t.extra;
      t.problems.push_back("extra file at " + std::to_string(r.offset) + " size " +
                           std::to_string(r.size));
      continue;
    }
    const auto& p = placed[i];
    seen[i] = true;
    if (p.name.rfind("cut-", 0) == 0) {
      if (!r.valid && r.size <= p.size && r.size > 0) {
        ++t.broken;
      } else {
        t.problems.push_back(p.name + ": valid " + std::to_string(r.valid) + ", size " +
                             std::to_string(r.size) + " of " + std::to_string(p.size));
      }
    } else if (r.sha256 == p.sha256 && r.valid && r.extension == extension) {
      ++t.identical;
    } else {
      t.problems.push_back(p.name + ": size " + std::to_string(r.size) + " of " +
                           std::to_string(p.size) + ", valid " + std::to_string(r.valid) +
                           ", extension " + r.extension);
    }
  }
  for (size_t i = 0; i < placed.size(); ++i) {
    if (!seen[i]) t.problems.push_back(placed[i].name + ": not found");
  }
  return t;
}

}  // namespace testing_support
