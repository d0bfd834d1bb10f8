#include "gallery/Gallery.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>

#include "salvor/CDataStream.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/CPreviewHandler.h"

namespace salvor {

namespace {

constexpr char kThumbnailFolder[] = ".thumbnails";

// A recovered file as a stream for the preview handlers, read with pread.
class CFileStream : public CDataStream {
 public:
  explicit CFileStream(const std::string& path) : FFd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat info {};
    if (FFd >= 0 && fstat(FFd, &info) == 0) FSize = info.st_size;
  }
  ~CFileStream() override {
    if (FFd >= 0) close(FFd);
  }
  CFileStream(const CFileStream&) = delete;
  CFileStream& operator=(const CFileStream&) = delete;
  bool IsOpen() const { return FFd >= 0; }
  long long GetPosition() override { return FPosition; }
  void SetPosition(long long position) override {
    FPosition = std::max(0LL, std::min(position, FSize));
  }
  long long Seek(long long offset, int origin) override {
    if (origin == SeekFromStart) SetPosition(offset);
    if (origin == SeekFromCurrent) SetPosition(FPosition + offset);
    if (origin == SeekFromEnd) SetPosition(FSize + offset);
    return FPosition;
  }
  long long GetSize() override { return FSize; }
  long long Read(long long count, void* buffer) override {
    count = std::max(0LL, std::min(count, FSize - FPosition));
    long long done = 0;
    while (done < count) {
      const ssize_t got = pread(FFd, static_cast<char*>(buffer) + done,
                                static_cast<size_t>(count - done), FPosition + done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += got;
    }
    FPosition += done;
    return done;
  }

 private:
  int FFd;
  long long FSize = 0;
  long long FPosition = 0;
};

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

bool WriteFile(const std::string& path, const unsigned char* data, size_t size) {
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

std::string IsoLocal(long long seconds) {
  const time_t value = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[32] = "";
  if (gmtime_r(&value, &parts) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// A thumbnail and what the handlers find of one recovered file.
void PreviewFile(CPhotoRecovery* engine, const std::string& outputDir, const ReportFile& file,
                 const std::string& thumbnail, int box, std::vector<unsigned char>& buffer,
                 GalleryItem& item, std::string& previewDate) {
  CFileStream stream(outputDir + "/" + file.filename);
  if (!stream.IsOpen()) return;
  const std::string mime = MimeOf(file.type);
  const bool haveThumbnail = Exists(outputDir + "/" + thumbnail);
  for (int i = 0; i < engine->GetPreviewHandlerCount(); ++i) {
    CPreviewHandler* handler = engine->GetPreviewHandler(i);
    if (handler == nullptr || !handler->CanPreview(mime.c_str())) continue;
    char date[64] = "";
    int width = 0, height = 0;
    stream.SetPosition(0);
    if (handler->GetPreviewInfo(&stream, &width, &height, date, sizeof date)) {
      item.width = width;
      item.height = height;
      previewDate = date;
    }
    if (haveThumbnail) {
      item.thumbnail = thumbnail;
      return;
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
        WriteFile(outputDir + "/" + thumbnail, buffer.data(), static_cast<size_t>(size))) {
      item.thumbnail = thumbnail;
      return;
    }
  }
}

// What a worker found of one file, sent whole in one write (shorter than PIPE_BUF).
struct Finding {
  uint64_t index;
  int32_t width;
  int32_t height;
  uint8_t thumbnail;
  char date[40];
};

// A process making the previews of every `step`th file from `first`: a decoder that crashes or
// hangs on a hostile file takes down that process, never the tool, and costs that file only.
struct Worker {
  pid_t pid = -1;
  int fd = -1;
  size_t next = 0;  // the file it is working on
  std::chrono::steady_clock::time_point heard;
};

constexpr auto kSilenceLimit = std::chrono::seconds(60);

struct GalleryJob {
  CPhotoRecovery* engine;
  const std::string& outputDir;
  const std::vector<ReportFile>& files;
  const std::vector<std::string>& thumbnails;
  const GallerySettings& settings;
};

bool Stopped(const GallerySettings& settings) {
  return settings.stop != nullptr && *settings.stop != 0;
}

[[noreturn]] void RunWorker(const GalleryJob& job, size_t first, size_t step, int fd) {
  std::vector<unsigned char> buffer(512 << 10);
  for (size_t i = first; i < job.files.size() && !Stopped(job.settings); i += step) {
    GalleryItem item;
    std::string date;
    PreviewFile(job.engine, job.outputDir, job.files[i], job.thumbnails[i],
                job.settings.thumbnailSize, buffer, item, date);
    Finding finding{};
    finding.index = i;
    finding.width = item.width;
    finding.height = item.height;
    finding.thumbnail = item.thumbnail.empty() ? 0 : 1;
    std::snprintf(finding.date, sizeof finding.date, "%s", date.c_str());
    if (write(fd, &finding, sizeof finding) != static_cast<ssize_t>(sizeof finding)) break;
  }
  _exit(0);
}

bool StartWorker(const GalleryJob& job, size_t first, size_t step, Worker& worker) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  if (pid == 0) {
    close(ends[0]);
    RunWorker(job, first, step, ends[1]);
  }
  close(ends[1]);
  worker.pid = pid;
  worker.fd = ends[0];
  worker.next = first;
  worker.heard = std::chrono::steady_clock::now();
  return true;
}

// The previews of every file by `count` workers; a file whose worker died on it gets none, and
// a new worker goes on after it. Returns how many files cost their worker.
long long PreviewAll(const GalleryJob& job, size_t count, std::vector<GalleryItem>& items,
                     std::vector<std::string>& dates) {
  const size_t all = job.files.size();
  std::vector<Worker> workers(std::min(count, std::max<size_t>(all, 1)));
  for (size_t k = 0; k < workers.size(); ++k)
    if (k < all && !StartWorker(job, k, workers.size(), workers[k])) workers[k].fd = -1;
  long long done = 0, lost = 0;
  for (;;) {
    std::vector<pollfd> watched;
    for (const Worker& w : workers)
      if (w.fd >= 0) watched.push_back({w.fd, POLLIN, 0});
    if (watched.empty()) break;
    if (poll(watched.data(), watched.size(), 1000) < 0 && errno != EINTR) break;
    for (Worker& w : workers) {
      if (w.fd < 0) continue;
      const pollfd* state = nullptr;
      for (const pollfd& p : watched)
        if (p.fd == w.fd) state = &p;
      const auto now = std::chrono::steady_clock::now();
      if (state != nullptr && (state->revents & POLLIN) != 0) {
        Finding finding{};
        if (read(w.fd, &finding, sizeof finding) == static_cast<ssize_t>(sizeof finding) &&
            finding.index < all) {
          GalleryItem& item = items[finding.index];
          item.width = finding.width;
          item.height = finding.height;
          if (finding.thumbnail != 0) item.thumbnail = job.thumbnails[finding.index];
          finding.date[sizeof finding.date - 1] = '\0';
          dates[finding.index] = finding.date;
          w.next = finding.index + workers.size();
          w.heard = now;
          ++done;
          if (job.settings.progress) job.settings.progress(done, static_cast<long long>(all));
          continue;
        }
      } else if (state == nullptr || (state->revents & (POLLHUP | POLLERR)) == 0) {
        if (now - w.heard > kSilenceLimit) kill(w.pid, SIGKILL);
        continue;
      }
      // Its pipe closed: the worker finished, stopped, or died on w.next.
      close(w.fd);
      w.fd = -1;
      int status = 0;
      waitpid(w.pid, &status, 0);
      if (w.next < all && !Stopped(job.settings)) {
        ++lost;
        ++done;
        const size_t after = w.next + workers.size();
        if (after < all) StartWorker(job, after, workers.size(), w);
      }
    }
  }
  return lost;
}

}  // namespace

std::string GalleryDate(const ReportFile& file, const std::string& previewDate) {
  if (!file.captureTime.empty()) return file.captureTime;
  if (!previewDate.empty()) return previewDate;
  if (file.hasOrigin && file.origin.mtime > 0) return IsoLocal(file.origin.mtime);
  return std::string();
}

bool MakeGallery(CPhotoRecovery* engine, const std::string& outputDir,
                 const std::string& reportPath, const GallerySettings& settings,
                 GalleryOutcome& outcome, std::string& error) {
  outcome = GalleryOutcome();
  std::vector<ReportFile> files;
  if (!ReadReportFiles(reportPath, files)) {
    error = "cannot read report '" + reportPath + "': " + std::strerror(errno);
    return false;
  }
  files.erase(std::remove_if(files.begin(), files.end(),
                             [](const ReportFile& f) { return !f.written || f.filename.empty(); }),
              files.end());
  const std::string folder = outputDir + "/" + kThumbnailFolder;
  if (!files.empty() && mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    error = "cannot make '" + folder + "': " + std::strerror(errno);
    return false;
  }
  std::vector<GalleryItem> items(files.size());
  std::vector<std::string> thumbnails(files.size()), dates(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    // Named by content, so that a resumed or repeated run reuses what it made.
    const std::string& sha = files[i].sha256;
    thumbnails[i] = std::string(kThumbnailFolder) + "/" +
                    (sha.size() >= 24 ? sha.substr(0, 24) : "n" + std::to_string(i)) + ".jpg";
  }
  if (!Stopped(settings)) {
    const GalleryJob job{engine, outputDir, files, thumbnails, settings};
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    const int workers = settings.workers > 0 ? settings.workers : std::clamp(cores, 1, 4);
    outcome.lost = PreviewAll(job, static_cast<size_t>(workers), items, dates);
  }
  outcome.stopped = Stopped(settings);
  for (size_t i = 0; i < files.size(); ++i) {
    const ReportFile& file = files[i];
    GalleryItem& item = items[i];
    item.filename = file.filename;
    item.type = file.type;
    item.size = file.size;
    item.damaged = file.damaged;
    if (file.hasOrigin) item.originalPath = file.origin.path;
    item.date = GalleryDate(file, dates[i]);
    if (!item.thumbnail.empty()) ++outcome.thumbnails;
  }
  outcome.files = static_cast<long long>(items.size());
  return WriteGalleryPage(outputDir + "/index.html", items, "Recovered files", error);
}

}  // namespace salvor
