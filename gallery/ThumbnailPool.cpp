#include "gallery/ThumbnailPool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "salvor/CDataStream.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/CPreviewHandler.h"
#include "recovery/Spans.h"
#include "util/FdIo.h"

namespace salvor {

namespace {

// The MIME family of a recovered file's type, as preview handlers are asked by it.
std::string MimeOf(const std::string& type) {
  static const std::set<std::string> kMovies = {"mp4",  "mov", "m4v",  "3gp", "3g2", "avi",  "mkv",
                                                "webm", "mts", "m2ts", "ts",  "mpg", "mpeg", "vob",
                                                "wmv",  "asf", "flv",  "mod", "tod"};
  static const std::set<std::string> kSound = {"mp3", "wav", "flac", "ogg", "oga",  "m4a",
                                               "aac", "aif", "aiff", "wma", "opus", "amr"};
  if (kMovies.count(type) != 0) return "video/" + type;
  if (kSound.count(type) != 0) return "audio/" + type;
  return "image/" + type;
}

bool WriteWhole(const std::string& path, const unsigned char* data, size_t size) {
  const std::string partial = path + ".part";
  FILE* out = std::fopen(partial.c_str(), "wb");
  if (out == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, out) == size;
  if (std::fclose(out) != 0 || !ok) {
    std::remove(partial.c_str());
    return false;
  }
  return std::rename(partial.c_str(), path.c_str()) == 0;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

// The thumbnail (unless one is there from an earlier run) and what the handlers find of one
// recovered file.
PreviewResult Preview(const std::vector<CPreviewHandler*>& handlers, const std::string& outputDir,
                      const PreviewJob& job, int box, std::vector<unsigned char>& buffer) {
  PreviewResult result;
  const std::string path = outputDir + "/" + job.filename;
  struct stat info {};
  FileSpan bytes(path, stat(path.c_str(), &info) == 0 ? info.st_size : 0);
  if (!bytes.IsOpen()) return result;
  SpanStream stream(bytes);
  result.opened = true;
  const std::string mime = MimeOf(job.type);
  const bool haveThumbnail = Exists(outputDir + "/" + job.thumbnail);
  for (CPreviewHandler* handler : handlers) {
    if (!handler->CanPreview(mime.c_str())) continue;
    char date[64] = "";
    int width = 0, height = 0;
    stream.SetPosition(0);
    if (handler->GetPreviewInfo(&stream, &width, &height, date, sizeof date)) {
      result.width = width;
      result.height = height;
      result.date = date;
    }
    if (haveThumbnail) {
      result.thumbnail = true;
      return result;
    }
    stream.SetPosition(0);
    int size =
        handler->MakeThumbnail(&stream, box, box, buffer.data(), static_cast<int>(buffer.size()));
    if (size > static_cast<int>(buffer.size()) && size <= (64 << 20)) {
      buffer.resize(static_cast<size_t>(size));
      stream.SetPosition(0);
      size = handler->MakeThumbnail(&stream, box, box, buffer.data(), size);
    }
    if (size > 0 && size <= static_cast<int>(buffer.size()) &&
        WriteWhole(outputDir + "/" + job.thumbnail, buffer.data(), static_cast<size_t>(size))) {
      result.thumbnail = true;
      return result;
    }
  }
  return result;
}

// A worker's answer, written whole in one write (shorter than PIPE_BUF).
struct Answer {
  int32_t width;
  int32_t height;
  uint8_t opened;
  uint8_t thumbnail;
  char date[40];
};

// A job travels as its length and three strings, each ending in a NUL.
constexpr uint32_t kMaxRequest = 3 * 4096 + 3;

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// A worker that says nothing for this long is taken to hang, and is killed.
constexpr auto kSilenceLimit = std::chrono::seconds(60);

}  // namespace

ThumbnailPool::ThumbnailPool(CPhotoRecovery* engine, std::string outputDir, int box,
                             const volatile std::sig_atomic_t* stop)
    : FEngine(engine), FOutputDir(std::move(outputDir)), FBox(box), FStop(stop) {
  if (pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) FWake[0] = FWake[1] = -1;
  for (int i = 0; i < FEngine->GetPreviewHandlerCount(); ++i)
    if (CPreviewHandler* handler = FEngine->GetPreviewHandler(i)) FHandlers.push_back(handler);
}

ThumbnailPool::~ThumbnailPool() {
  if (FThread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FQuit = true;
    }
    const char wake = 1;
    (void)!write(FWake[1], &wake, 1);
    FThread.join();
  }
  Shutdown();
  CloseFd(FWake[0]);
  CloseFd(FWake[1]);
}

void ThumbnailPool::Grow(int count) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (FWake[0] < 0) return;
  if (static_cast<int>(FWorkers.size()) < count) FWorkers.resize(static_cast<size_t>(count));
  for (Worker& worker : FWorkers)
    if (worker.pid < 0) StartWorker(worker);
  if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
}

bool ThumbnailPool::Add(const PreviewJob& job, size_t limit) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FPending.count(job.thumbnail) != 0) return true;
    const auto found = FFound.find(job.thumbnail);
    if (found != FFound.end() && (found->second.opened || found->second.lost)) return true;
    if (FQueue.size() >= limit) return false;
    FQueue.push_back(job);
    FPending.insert(job.thumbnail);
  }
  const char wake = 1;
  if (FWake[1] >= 0) (void)!write(FWake[1], &wake, 1);
  return true;
}

size_t ThumbnailPool::Pending() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPending.size();
}

void ThumbnailPool::Wait(int milliseconds) {
  std::unique_lock<std::mutex> lock(FMutex);
  FChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                    [this] { return FPending.empty() || Stopped(); });
}

bool ThumbnailPool::Found(const std::string& thumbnail, PreviewResult& result) const {
  std::lock_guard<std::mutex> lock(FMutex);
  const auto found = FFound.find(thumbnail);
  if (found == FFound.end()) return false;
  result = found->second;
  return true;
}

std::vector<std::string> ThumbnailPool::Made() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FMade;
}

bool ThumbnailPool::StartWorker(Worker& worker) {
  int requests[2], answers[2];
  if (pipe2(requests, O_CLOEXEC) != 0) return false;
  if (pipe2(answers, O_CLOEXEC) != 0) {
    close(requests[0]);
    close(requests[1]);
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    // The other workers' pipes stay open only in the pool, so that each worker sees its
    // requests end when the pool closes them.
    for (Worker& other : FWorkers) {
      if (other.requests >= 0) close(other.requests);
      if (other.answers >= 0) close(other.answers);
    }
    close(FWake[0]);
    close(FWake[1]);
    close(requests[1]);
    close(answers[0]);
    RunWorker(requests[0], answers[1]);
  }
  close(requests[0]);
  close(answers[1]);
  if (pid < 0) {
    close(requests[1]);
    close(answers[0]);
    return false;
  }
  worker = Worker();
  worker.pid = pid;
  worker.requests = requests[1];
  worker.answers = answers[0];
  return true;
}

void ThumbnailPool::RunWorker(int requests, int answers) {
  // The scan comes first; and a Ctrl-C is the tool's to handle, which then ends the pool.
  setpriority(PRIO_PROCESS, 0, 10);
  signal(SIGINT, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGTERM, SIG_DFL);
  std::vector<unsigned char> buffer(512 << 10);
  std::vector<char> request;
  for (;;) {
    uint32_t length = 0;
    if (!ReadAll(requests, &length, sizeof length) || length > kMaxRequest) break;
    request.assign(length + 1, '\0');
    if (!ReadAll(requests, request.data(), length)) break;
    PreviewJob job;
    const char* at = request.data();
    const char* end = request.data() + length;
    for (std::string* field : {&job.filename, &job.type, &job.thumbnail}) {
      *field = at;
      at = std::min(end, at + field->size() + 1);
    }
    const PreviewResult result = Preview(FHandlers, FOutputDir, job, FBox, buffer);
    Answer answer{};
    answer.width = result.width;
    answer.height = result.height;
    answer.opened = result.opened ? 1 : 0;
    answer.thumbnail = result.thumbnail ? 1 : 0;
    std::snprintf(answer.date, sizeof answer.date, "%s", result.date.c_str());
    if (!WriteAll(answers, &answer, sizeof answer)) break;
  }
  _exit(0);
}

void ThumbnailPool::HandOut() {
  bool anyWorker = false;
  for (Worker& worker : FWorkers) {
    if (FQueue.empty() || Stopped()) return;
    if (worker.pid < 0 && !StartWorker(worker)) continue;
    anyWorker = true;
    if (worker.busy) continue;
    PreviewJob& job = FQueue.front();
    std::string request(sizeof(uint32_t), '\0');
    for (const std::string* field : {&job.filename, &job.type, &job.thumbnail})
      request.append(*field).push_back('\0');
    const uint32_t length = static_cast<uint32_t>(request.size() - sizeof(uint32_t));
    std::memcpy(&request[0], &length, sizeof length);
    if (length > kMaxRequest) {
      FPending.erase(job.thumbnail);
      FQueue.pop_front();
      continue;
    }
    // The worker is idle, so its pipe is empty and this write cannot wait.
    if (!WriteAll(worker.requests, request.data(), request.size())) continue;
    worker.busy = true;
    worker.job = std::move(job);
    worker.since = std::chrono::steady_clock::now();
    FQueue.pop_front();
  }
  if (anyWorker) return;
  // No process can be started: the files waiting get no thumbnail rather than wait forever.
  for (const PreviewJob& job : FQueue) FPending.erase(job.thumbnail);
  FQueue.clear();
  FChanged.notify_all();
}

void ThumbnailPool::Ended(Worker& worker, bool answered, const PreviewResult& result) {
  if (answered) {
    FFound[worker.job.thumbnail] = result;
    if (result.thumbnail) FMade.push_back(worker.job.thumbnail);
  } else if (!Stopped()) {
    PreviewResult lost;
    lost.lost = true;
    FFound[worker.job.thumbnail] = lost;
  }
  FPending.erase(worker.job.thumbnail);
  worker.busy = false;
  FChanged.notify_all();
}

void ThumbnailPool::Run() {
  std::unique_lock<std::mutex> lock(FMutex);
  while (!FQuit) {
    HandOut();
    std::vector<pollfd> watched{{FWake[0], POLLIN, 0}};
    for (const Worker& worker : FWorkers)
      if (worker.answers >= 0) watched.push_back({worker.answers, POLLIN, 0});
    lock.unlock();
    const int ready = poll(watched.data(), watched.size(), 500);
    lock.lock();
    if (ready < 0 && errno != EINTR) break;
    char drained[64];
    while (read(FWake[0], drained, sizeof drained) > 0) {
    }
    const auto now = std::chrono::steady_clock::now();
    for (Worker& worker : FWorkers) {
      const auto state = std::find_if(watched.begin(), watched.end(), [&](const pollfd& p) {
        return p.fd == worker.answers && worker.answers >= 0;
      });
      if (state == watched.end()) continue;
      if ((state->revents & POLLIN) != 0) {
        Answer answer{};
        if (ReadAll(worker.answers, &answer, sizeof answer) && worker.busy) {
          PreviewResult result;
          result.opened = answer.opened != 0;
          result.thumbnail = answer.thumbnail != 0;
          result.width = answer.width;
          result.height = answer.height;
          answer.date[sizeof answer.date - 1] = '\0';
          result.date = answer.date;
          Ended(worker, true, result);
          continue;
        }
      } else if ((state->revents & (POLLHUP | POLLERR)) == 0) {
        if (worker.busy && now - worker.since > kSilenceLimit) kill(worker.pid, SIGKILL);
        continue;
      }
      // Its pipe closed: the worker died, on its job when it had one.
      CloseFd(worker.requests);
      CloseFd(worker.answers);
      waitpid(worker.pid, nullptr, 0);
      worker.pid = -1;
      if (worker.busy) Ended(worker, false, PreviewResult());
    }
  }
}

void ThumbnailPool::Shutdown() {
  // Idle workers end when their requests end; a busy one gets two seconds to finish, none
  // when the user stopped the run.
  for (Worker& worker : FWorkers) CloseFd(worker.requests);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(Stopped() ? 0 : 2);
  for (Worker& worker : FWorkers) {
    if (worker.pid < 0) continue;
    while (waitpid(worker.pid, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(worker.pid, SIGKILL);
        waitpid(worker.pid, nullptr, 0);
        break;
      }
      usleep(5000);
    }
    worker.pid = -1;
    CloseFd(worker.answers);
  }
}

}  // namespace salvor
