// Worker processes: fork, exec, wait and signals, kept in this one unit.
#include "shards/Workers.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "recovery/Checkpoint.h"

namespace salvor {

std::vector<Worker> PlanWorkers(long long sourceBytes, long long blockSize, int count,
                                const std::string& folder) {
  std::vector<Worker> workers;
  blockSize = std::max(1LL, blockSize);
  const long long blocks = (sourceBytes + blockSize - 1) / blockSize;
  count = static_cast<int>(std::max(1LL, std::min<long long>(count, blocks)));
  for (int i = 0; i < count; ++i) {
    Worker worker;
    const long long first = blocks * i / count, end = blocks * (i + 1) / count;
    worker.start = first * blockSize;
    worker.length = std::min(end * blockSize, sourceBytes) - worker.start;
    worker.folder = folder + "/" + std::to_string(i + 1);
    workers.push_back(worker);
  }
  return workers;
}

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

bool RemoveTree(const std::string& path) {
  return nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0 || errno == ENOENT;
}

namespace {

// -1: not started (nothing there, or nothing that can be resumed); 0: to resume; 1: finished.
int FolderState(const std::string& folder) {
  Checkpoint checkpoint;
  std::string reason;
  if (!ReadCheckpoint(folder, checkpoint, reason)) return -1;
  return checkpoint.complete ? 1 : 0;
}

pid_t Start(const std::vector<std::string>& command, const Worker& worker, bool resume) {
  std::vector<std::string> arguments = command;
  for (const std::string& more :
       {std::string("-o"), worker.folder, std::string("--range"),
        std::to_string(worker.start) + ":" + std::to_string(worker.length), std::string("-q")})
    arguments.push_back(more);
  if (resume) arguments.push_back("--resume");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Signals reach a worker once, from its parent, not from the terminal as well; and a parent
  // that quits at once takes its workers with it.
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(128 + SIGTERM);
  // What a worker would say on the terminal goes beside its folder; the parent speaks for all.
  const int said =
      open((worker.folder + ".txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (said >= 0) {
    dup2(said, 1);
    dup2(said, 2);
  }
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace

void RunWorkers(const std::vector<std::string>& command, std::vector<Worker>& workers,
                const volatile std::sig_atomic_t* interrupts,
                const volatile std::sig_atomic_t* lastSignal,
                const std::function<void(double done)>& progress,
                std::vector<std::string>& events) {
  std::vector<pid_t> pids(workers.size(), -1);
  const auto run = [&](size_t i) {
    Worker& worker = workers[i];
    const int state = FolderState(worker.folder);
    if (state == 1) {
      worker.status = 0;
      return;
    }
    if (state < 0) {
      // A worker that died before its first checkpoint: nothing of it can be resumed.
      RemoveTree(worker.folder);
    }
    pids[i] = Start(command, worker, state == 0);
    if (pids[i] < 0) {
      worker.status = 127;
      events.push_back("worker " + std::to_string(i + 1) +
                       " could not start: " + std::strerror(errno));
    }
  };
  for (size_t i = 0; i < workers.size(); ++i) run(i);

  int forwarded = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  while (std::any_of(pids.begin(), pids.end(), [](pid_t pid) { return pid > 0; })) {
    for (; forwarded < *interrupts; ++forwarded) {
      for (pid_t pid : pids)
        if (pid > 0) kill(pid, *lastSignal != 0 ? *lastSignal : SIGINT);
    }
    int status = 0;
    const pid_t ended = waitpid(-1, &status, WNOHANG);
    if (ended > 0) {
      const auto found = std::find(pids.begin(), pids.end(), ended);
      if (found == pids.end()) continue;
      const size_t i = static_cast<size_t>(found - pids.begin());
      Worker& worker = workers[i];
      pids[i] = -1;
      worker.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      const std::string which = "worker " + std::to_string(i + 1) + " (bytes " +
                                std::to_string(worker.start) + "-" +
                                std::to_string(worker.start + worker.length - 1) + ")";
      if (WIFSIGNALED(status) && forwarded == 0) {
        const bool again = worker.restarts++ == 0;
        events.push_back(which + " ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                         strsignal(WTERMSIG(status)) + ")" +
                         (again ? ": scanning its range again from its last checkpoint"
                                : " again: its range is left unfinished"));
        if (again) run(i);
      }
      continue;
    }
    if (ended < 0 && errno != EINTR) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto now = std::chrono::steady_clock::now();
    if (progress && now - lastProgress >= std::chrono::seconds(1)) {
      lastProgress = now;
      long long done = 0, all = 0;
      for (const Worker& worker : workers) {
        all += worker.length;
        Checkpoint checkpoint;
        std::string reason;
        if (!ReadCheckpoint(worker.folder, checkpoint, reason)) continue;
        const long long reached =
            checkpoint.complete
                ? worker.length
                : checkpoint.resumeBlock * checkpoint.identity.blockSize - worker.start;
        done += std::clamp(reached, 0LL, worker.length);
      }
      progress(all > 0 ? static_cast<double>(done) / static_cast<double>(all) : 0);
    }
  }
}

}  // namespace salvor
