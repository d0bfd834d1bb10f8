#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class CPhotoRecovery;
class CPreviewHandler;

namespace salvor {

// One file to preview: where it is and the thumbnail it gets, both relative to the output
// folder. Thumbnails are named by content, so the thumbnail's name is also the job's key.
struct PreviewJob {
  std::string filename;
  std::string type;
  std::string thumbnail;
};

// What the preview handlers found of one file.
struct PreviewResult {
  bool opened = false;     // the file could be read
  bool lost = false;       // its decoding crashed or hung its worker
  bool thumbnail = false;  // the thumbnail exists
  int width = 0;
  int height = 0;
  std::string date;
};

// Worker processes previewing the files handed to them: a decoder that crashes or hangs on a
// hostile file takes down its worker, never the tool, and costs that file only; another worker
// takes its place. A thread of the caller's process hands the files out and collects what the
// workers find, so that adding a file never waits for a decoder.
class ThumbnailPool {
 public:
  // Nothing runs until Grow. `stop` nonzero: no more files are handed out.
  ThumbnailPool(CPhotoRecovery* engine, std::string outputDir, int box,
                const volatile std::sig_atomic_t* stop);
  // Stops the workers: a file still being decoded gets no thumbnail.
  ~ThumbnailPool();
  ThumbnailPool(const ThumbnailPool&) = delete;
  ThumbnailPool& operator=(const ThumbnailPool&) = delete;

  // Starts workers until `count` run, each at a lower priority than the caller.
  void Grow(int count);
  // Queues a file unless its thumbnail is already queued, being made, or found; false when
  // `limit` files are waiting already (the file is not queued).
  bool Add(const PreviewJob& job, size_t limit);
  // Files queued or being made.
  size_t Pending() const;
  // Returns once nothing is pending, the stop flag is raised, or `milliseconds` passed.
  void Wait(int milliseconds);
  // What was found of the file with this thumbnail; false when nothing was found yet.
  bool Found(const std::string& thumbnail, PreviewResult& result) const;
  // Thumbnails this pool wrote.
  std::vector<std::string> Made() const;

 private:
  struct Worker {
    pid_t pid = -1;
    int requests = -1;  // the pool writes jobs here
    int answers = -1;   // and reads what was found here
    bool busy = false;
    PreviewJob job;
    std::chrono::steady_clock::time_point since;
  };

  bool Stopped() const { return FStop != nullptr && *FStop != 0; }
  bool StartWorker(Worker& worker);  // with FMutex held
  [[noreturn]] void RunWorker(int requests, int answers);
  void Run();
  void HandOut();                                                          // with FMutex held
  void Ended(Worker& worker, bool answered, const PreviewResult& result);  // with FMutex held
  void Shutdown();

  CPhotoRecovery* FEngine;
  std::vector<CPreviewHandler*> FHandlers;
  std::string FOutputDir;
  int FBox;
  const volatile std::sig_atomic_t* FStop;

  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<Worker> FWorkers;
  std::deque<PreviewJob> FQueue;
  std::set<std::string> FPending;  // thumbnails queued or being made
  std::map<std::string, PreviewResult> FFound;
  std::vector<std::string> FMade;
  bool FQuit = false;
  int FWake[2] = {-1, -1};  // wakes the pool's thread when a file is added
  std::thread FThread;
};

}  // namespace salvor
