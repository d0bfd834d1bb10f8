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
  long long maxGapBlocks = 16384;           // 8 MiB of 512-byte blocks either side
  int maxPieces = 3;
};

struct RebuildOutcome {
  // Files named intact on a cheap check, decoded whole after the scan.
  long long decoded = 0;
  long long decodedDamaged = 0;  // and found damaged: renamed broken, and searched
  long long notDecoded = 0;      // left as named when the time ran out or the run was stopped
  long long searched = 0;
  long long rebuilt = 0;
  long long notSearched = 0;  // left as found when the time ran out or the run was stopped
  long long outOfTime = 0;    // searches that used up their file's time
};

// After the scan, within settings.total: first decodes whole the files the sink named intact
// on a cheaper check, renaming those that do not decode; then, for every damaged file whose
// validator placed its break, looks for the pieces of the source that make it whole and
// delivers the rebuilt file through the sink in place of the damaged one. `progress` is told
// (step, files done, files in the step) after each file.
RebuildOutcome RebuildFragmentedFiles(
    RecoverySink& sink, CScannedSource& source, const RebuildSettings& settings,
    const volatile std::sig_atomic_t* stop,
    const std::function<void(const char*, long long, long long)>& progress);

}  // namespace salvor
