#pragma once

#include <map>
#include <string>

namespace salvor {

// Files recovered of one type.
struct TypeTally {
  long long files = 0;
  long long bytes = 0;
  long long damaged = 0;
  long long rebuilt = 0;  // from pieces, after the scan (and no longer damaged)
};
using Tallies = std::map<std::string, TypeTally>;

// "0 B", "512 B", "1.46 KiB", "23.4 MiB", "2.00 GiB": powers of 1024, the units of every size
// salvor takes (--min-size 64k, MaxSize in KiB).
std::string FormatBytes(long long bytes);
// "0:07", "12:34", "1:02:03".
std::string FormatDuration(double seconds);

// One progress line, at most `width` characters:
// " 42.1%  903 MiB of 2.00 GiB  85.2 MiB/s  0:14 left  31 files (jpg 28, png 3)".
std::string FormatProgressLine(long long done, long long total, double seconds,
                               const Tallies& tallies, size_t width);

// The table printed after a scan: one row per type, a total row, time and speed.
std::string FormatSummary(const Tallies& tallies, long long bytesScanned, double seconds);

}  // namespace salvor
