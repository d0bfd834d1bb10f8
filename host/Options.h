#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace salvor {

enum class Command { None, Scan, Merge, Sources, Types, Info, Help, Version };

// Read-ahead and cache of the scan's block stream. A large read-ahead turns the scan into few
// long sequential reads; the cache only has to hold the chunk being carved plus the one a
// handler may look back into.
constexpr unsigned int kDefaultReadAhead = 1u << 20;
constexpr unsigned int kDefaultCacheSize = 4u << 20;

struct PropertySetting {
  std::string handler;  // handler ID, or a file extension it produces
  std::string property;
  std::string value;
};

struct Options {
  Command command = Command::None;
  std::string source;
  std::vector<std::string> shards;  // salvor merge: the shards' output folders
  std::string outputDir;
  std::string reportPath;       // empty: <outputDir>/report.xml
  std::string moduleDir;        // empty: next to the executable
  std::set<std::string> types;  // empty: every type
  std::set<std::string> exclude;
  long long minSize = 0;
  long long maxSize = -1;  // -1: no limit
  bool listOnly = false;
  bool noFileSystems = false;  // --no-file-systems
  bool aligned = false;        // --aligned: files start only where a sector does
  bool names = false;          // --names
  bool sortByDate = false;     // --sort-by-date
  bool deletedOnly = false;    // --deleted-only
  bool freeSpace = false;      // --free-space: only the space no live file holds
  int partition = 0;           // --partition N: only that partition; 0: the whole source
  int jobs = 0;                // --jobs N: worker processes; 0: as many as cores for a large image
  long long rangeStart = -1;   // --range START:LENGTH: files that start there; -1: all
  long long rangeLength = 0;
  bool noGallery = false;  // --no-gallery
  bool resume = false;     // go on with the interrupted scan in outputDir
  bool quiet = false;
  unsigned int readAhead = kDefaultReadAhead;
  unsigned int cacheSize = kDefaultCacheSize;
  long long rebuildSeconds = 600;  // time for rebuilding fragmented files; 0: none
  std::vector<PropertySetting> settings;
};

// Fills options from argv. On a usage error returns false with a one-line reason in error.
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

// "4096", "64k", "1.5M", "2G" (powers of 1024) -> bytes; false when malformed or negative.
bool ParseByteSize(const std::string& text, long long& bytes);

// "jpg,png, MP4" -> {"jpg","png","mp4"}, with the spelling a handler uses (jpeg -> jpg).
std::set<std::string> ParseTypeList(const std::string& text);

const char* UsageText();

}  // namespace salvor
