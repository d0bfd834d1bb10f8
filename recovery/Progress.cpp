#include "recovery/Progress.h"

#include <cstdio>

namespace salvor {

std::string FormatBytes(long long bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes < 0 ? 0 : bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1023.95 && unit < 4) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  const char* format = value < 9.995 ? "%.2f %s" : (value < 99.95 ? "%.1f %s" : "%.0f %s");
  std::snprintf(text, sizeof text, format, value, kUnits[unit]);
  return text;
}

std::string FormatDuration(double seconds) {
  if (seconds < 0 || seconds != seconds) seconds = 0;
  long long total = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

namespace {

std::string Rate(long long bytes, double seconds) {
  if (seconds <= 0) return "-- MiB/s";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB/s", static_cast<double>(bytes) / seconds / (1 << 20));
  return text;
}

}  // namespace

std::string FormatProgressLine(long long done, long long total, double seconds,
                               const Tallies& tallies, size_t width) {
  char percent[16];
  double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0;
  if (fraction > 1) fraction = 1;
  std::snprintf(percent, sizeof percent, "%5.1f%%", fraction * 100);
  std::string line = std::string(percent) + "  " + FormatBytes(done) + " of " + FormatBytes(total) +
                     "  " + Rate(done, seconds) + "  ";
  // A rate needs a moment to settle before it predicts anything.
  if (seconds >= 1 && done > 0) {
    double left = (static_cast<double>(total - done)) * seconds / static_cast<double>(done);
    line += FormatDuration(left) + " left";
  } else {
    line += "--:-- left";
  }
  long long files = 0;
  std::string byType;
  for (const auto& entry : tallies) {
    files += entry.second.files;
    byType += (byType.empty() ? "" : ", ") + entry.first + " " + std::to_string(entry.second.files);
  }
  line += "  " + std::to_string(files) + (files == 1 ? " file" : " files");
  if (!byType.empty()) line += " (" + byType + ")";
  if (line.size() > width) {
    line.resize(width >= 3 ? width - 3 : 0);
    line += std::string(width >= 3 ? 3 : width, '.');
  }
  return line;
}

std::string FormatSummary(const Tallies& tallies, long long bytesScanned, double seconds) {
  std::string text;
  char row[160];
  std::snprintf(row, sizeof row, "  %-8s %8s %12s %8s %8s\n", "Type", "Files", "Size", "Broken",
                "Rebuilt");
  text += row;
  TypeTally total;
  for (const auto& entry : tallies) {
    std::snprintf(row, sizeof row, "  %-8s %8lld %12s %8lld %8lld\n", entry.first.c_str(),
                  entry.second.files, FormatBytes(entry.second.bytes).c_str(), entry.second.damaged,
                  entry.second.rebuilt);
    text += row;
    total.files += entry.second.files;
    total.bytes += entry.second.bytes;
    total.damaged += entry.second.damaged;
    total.rebuilt += entry.second.rebuilt;
  }
  std::snprintf(row, sizeof row, "  %-8s %8lld %12s %8lld %8lld\n", "Total", total.files,
                FormatBytes(total.bytes).c_str(), total.damaged, total.rebuilt);
  text += row;
  text += "  Scanned " + FormatBytes(bytesScanned) + " in " + FormatDuration(seconds) + " (" +
          Rate(bytesScanned, seconds) + ")\n";
  return text;
}

}  // namespace salvor
