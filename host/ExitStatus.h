#pragma once

namespace salvor {

// Distinct exit statuses, so that scripts can tell what went wrong without parsing text.
enum ExitStatus {
  kExitOk = 0,
  kExitUsage = 2,        // bad command line
  kExitSource = 3,       // the source does not exist or cannot be read
  kExitOutput = 4,       // the output folder is refused or cannot be written
  kExitModule = 5,       // a module failed to load
  kExitDiskFull = 6,     // the output disk filled up; what was written is kept
  kExitReadErrors = 7,   // the scan ended with read errors or lost its source
  kExitScanFailed = 8,   // the engine refused the scan (e.g. the source could not be locked)
  kExitIncomplete = 9,   // salvor merge: a shard had not finished its range; the rest is merged
  kExitCancelled = 130,  // stopped by Ctrl-C (SIGINT); by SIGTERM 143, by SIGHUP 129
};

}  // namespace salvor
