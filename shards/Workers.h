#pragma once

#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace salvor {

// One worker of a scan run on several cores: a shard of the source, scanned into its own
// folder by a salvor process of its own.
struct Worker {
  long long start = 0;  // the bytes whose files it recovers
  long long length = 0;
  std::string folder;
  int status = -1;   // its exit status; 128 + the signal that ended it
  int restarts = 0;  // started again after it died
};

// Removes a folder and everything in it; true when it is gone.
bool RemoveTree(const std::string& path);

// The source cut into `count` shards of whole blocks, each scanned into `folder`/N.
std::vector<Worker> PlanWorkers(long long sourceBytes, long long blockSize, int count,
                                const std::string& folder);

// Runs every worker at once: `command` followed by "-o FOLDER --range START:LENGTH -q", and
// "--resume" when the folder holds an unfinished scan of it. A worker whose folder holds a
// finished scan is not run. A worker that dies of a signal it was not sent goes on once from
// its last checkpoint. While any runs, the signals raised in `interrupts` (counted by the
// caller's handler; `lastSignal` says which) are passed on to every worker once each, and
// `progress` is told the share of the source done, about once a second. Each line of
// `events` says what happened to a worker that did not simply finish. What a worker prints
// goes to FOLDER.txt.
void RunWorkers(const std::vector<std::string>& command, std::vector<Worker>& workers,
                const volatile std::sig_atomic_t* interrupts,
                const volatile std::sig_atomic_t* lastSignal,
                const std::function<void(double done)>& progress, std::vector<std::string>& events);

}  // namespace salvor
