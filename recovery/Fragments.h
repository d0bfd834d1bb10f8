#pragma once

#include <chrono>
#include <csignal>
#include <functional>

namespace salvor {

class CScannedSource;
class RecoverySink;

struct RebuildSettings {
  std::chrono::milliseconds perFile{3000};
  std::chrono::milliseconds total{600000};  // 0: no search at all
  long long maxGapBlocks = 8192;
  int maxPieces = 3;
};

struct RebuildOutcome {
  long long searched = 0;
  long long rebuilt = 0;
  long long notSearched = 0;  // left as found when the time ran out or the run was stopped
  long long outOfTime = 0;    // searches that used up their file's time
};

// After the scan: for every damaged file whose validator placed its break, looks for the
// pieces of the source that make it whole and delivers the rebuilt file through the sink in
// place of the damaged one. `progress` is told (files done, files in all) after each file.
RebuildOutcome RebuildFragmentedFiles(RecoverySink& sink, CScannedSource& source,
                                      const RebuildSettings& settings,
                                      const volatile std::sig_atomic_t* stop,
                                      const std::function<void(long long, long long)>& progress);

}  // namespace salvor
