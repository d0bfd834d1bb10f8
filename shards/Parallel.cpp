#include "shards/Parallel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>

#include "shards/Workers.h"
#include "util/FdIo.h"

namespace salvor {

namespace {

std::string ReadWhole(const std::string& path) {
  std::string text;
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return text;
  char buffer[65536];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, got);
  std::fclose(in);
  return text;
}

std::vector<std::string> FolderNames(const std::string& path) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(path.c_str()), &closedir);
  if (!folder) return names;
  while (const dirent* item = readdir(folder.get()))
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
      names.push_back(item->d_name);
  return names;
}

// The progress line: the share of the source the workers have scanned.
void ShowProgress(int fd, int workers, double done, long long bytes) {
  char line[160];
  std::snprintf(line, sizeof line, "\rScanning with %d workers: %3.0f%% of %.1f MiB\x1b[K", workers,
                done * 100, static_cast<double>(bytes) / (1 << 20));
  WriteAll(fd, line);
}

}  // namespace

std::vector<std::string> WorkerCommand(const std::string& executable,
                                       const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {executable};
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      command.insert(command.end(), arguments.begin() + static_cast<long>(i), arguments.end());
      break;
    }
    if (argument == "-o" || argument == "--output" || argument == "--report" ||
        argument == "--jobs") {
      ++i;  // and its value
      continue;
    }
    if (argument.compare(0, 9, "--output=") == 0 || argument.compare(0, 9, "--report=") == 0 ||
        argument.compare(0, 7, "--jobs=") == 0 || argument == "--resume" || argument == "-q" ||
        argument == "--quiet")
      continue;
    command.push_back(argument);
  }
  return command;
}

int WorkersOfInterruptedScan(const std::string& outputDir) {
  // As many as it started: a worker stopped before it began has no folder.
  const int planned = std::atoi(ReadWhole(outputDir + "/" + kWorkersFolder + "/workers").c_str());
  if (planned > 0) return planned;
  int count = 0;
  for (const std::string& name : FolderNames(outputDir + "/" + kWorkersFolder))
    if (name.find_first_not_of("0123456789") == std::string::npos) ++count;
  return count;
}

bool ScanInParallel(const ParallelScan& scan, const volatile std::sig_atomic_t* interrupts,
                    const volatile std::sig_atomic_t* lastSignal, ParallelOutcome& outcome,
                    std::string& error) {
  outcome = ParallelOutcome();
  const std::string workFolder = scan.outputDir + "/" + kWorkersFolder;
  int jobs = scan.jobs;
  if (scan.resume) {
    // The merged folder is made again from the workers' folders.
    jobs = WorkersOfInterruptedScan(scan.outputDir);
    for (const std::string& name : FolderNames(scan.outputDir))
      if (name != kWorkersFolder) RemoveTree(scan.outputDir + "/" + name);
  } else {
    const int fd = (mkdir(scan.outputDir.c_str(), 0755) != 0 && errno != EEXIST) ||
                           mkdir(workFolder.c_str(), 0755) != 0
                       ? -1
                       : open((workFolder + "/workers").c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    // How many workers there are, for a resume: one stopped before it began leaves no folder.
    bool written = fd >= 0 && WriteAll(fd, std::to_string(jobs) + "\n");
    if (fd >= 0 && close(fd) != 0) written = false;
    if (!written) {
      error = "cannot make '" + workFolder + "': " + std::strerror(errno);
      return false;
    }
  }
  std::vector<Worker> workers = PlanWorkers(scan.sourceBytes, scan.blockSize, jobs, workFolder);
  outcome.workers = static_cast<int>(workers.size());
  RunWorkers(
      scan.command, workers, interrupts, lastSignal,
      [&](double done) {
        if (!scan.quiet) ShowProgress(scan.terminalFd, outcome.workers, done, scan.sourceBytes);
      },
      outcome.events);
  if (!scan.quiet) WriteAll(scan.terminalFd, "\r\x1b[K");

  std::vector<std::string> shards;
  std::string logs;
  for (size_t i = 0; i < workers.size(); ++i) {
    const Worker& worker = workers[i];
    if (outcome.status == 0 && worker.status != 0) outcome.status = worker.status;
    if (access((worker.folder + "/report.xml").c_str(), F_OK) == 0) shards.push_back(worker.folder);
    logs += "\n== worker " + std::to_string(i + 1) + ": bytes " + std::to_string(worker.start) +
            "-" + std::to_string(worker.start + worker.length - 1) + ", exit status " +
            std::to_string(worker.status) + " ==\n" + ReadWhole(worker.folder + ".txt") +
            ReadWhole(worker.folder + "/salvor.log");
  }
  bool merged = !shards.empty();
  if (!merged) {
    error = "no worker started its scan (see " + workFolder + ")";
    // Stopped before any worker began: nothing to keep, nothing to resume.
    if (*interrupts != 0 && !scan.resume) RemoveTree(scan.outputDir);
  } else {
    merged = MergeShards(shards, scan.outputDir, scan.reportPath, scan.commandLine, outcome.merged,
                         error, kWorkersFolder);
  }
  std::string log = "salvor: " + scan.commandLine + "\nsalvor: " + std::to_string(outcome.workers) +
                    " workers, each a shard of the source\n";
  for (const std::string& event : outcome.events) log += "salvor: " + event + "\n";
  log += merged ? "salvor: merged: " + std::to_string(outcome.merged.files) + " files, " +
                      std::to_string(outcome.merged.dropped) +
                      " found twice or inside another shard's file left out\n"
                : "salvor: not merged: " + error + "\n";
  const int fd = open((scan.outputDir + "/salvor.log").c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    WriteAll(fd, log + logs);
    close(fd);
  }
  // The workers' folders are kept until every shard is done: a resumed scan goes on in them.
  if (merged && outcome.merged.complete) RemoveTree(workFolder);
  return merged;
}

}  // namespace salvor
