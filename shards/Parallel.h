#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "shards/Merge.h"

namespace salvor {

// A scan run on several cores: each worker a salvor process scanning one shard of the
// source into DIR/.jobs/N, the shards merged into DIR as they would be by salvor merge.
struct ParallelScan {
  std::vector<std::string> command;  // salvor scan's own arguments, as WorkerCommand gives them
  std::string outputDir;
  std::string reportPath;   // empty: outputDir/report.xml
  std::string commandLine;  // as the merged report and log give it
  long long sourceBytes = 0;
  long long blockSize = 512;
  int jobs = 2;
  bool resume = false;  // go on with the workers' folders already in outputDir
  bool quiet = false;
  int terminalFd = 2;  // the progress line
};

struct ParallelOutcome {
  int workers = 0;
  int status = 0;  // the first worker's exit status that was not 0, or 0
  MergeOutcome merged;
  std::vector<std::string> events;  // what happened to workers that did not simply finish
};

// The folder the workers' shards are kept in, inside the output folder.
constexpr const char* kWorkersFolder = ".jobs";

// The arguments a worker is started with: the executable, then the scan's arguments without
// the output folder, the report, the number of workers, --resume and -q (each worker gets its
// own).
std::vector<std::string> WorkerCommand(const std::string& executable,
                                       const std::vector<std::string>& arguments);

// The number of workers an interrupted parallel scan in `outputDir` ran with; 0 when it was
// not one.
int WorkersOfInterruptedScan(const std::string& outputDir);

// Runs the workers (passing on the stop signals counted in `interrupts`) and merges their
// shards into the output folder; once every shard is finished their folders are removed,
// their logs kept in DIR/salvor.log. False with `error` when the merge could not be made.
bool ScanInParallel(const ParallelScan& scan, const volatile std::sig_atomic_t* interrupts,
                    const volatile std::sig_atomic_t* lastSignal, ParallelOutcome& outcome,
                    std::string& error);

}  // namespace salvor
