#include "gallery/Gallery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>

#include "gallery/ThumbnailPool.h"

namespace salvor {

namespace {

constexpr char kThumbnailFolder[] = ".thumbnails";
// Files waiting for a thumbnail beside the scan; those past it wait for the end of the scan.
constexpr size_t kMaxWaitingBesideScan = 4096;
// Files handed to the workers at a time after the scan.
constexpr size_t kMaxWaiting = 256;

std::string IsoLocal(long long seconds) {
  const time_t value = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[32] = "";
  if (gmtime_r(&value, &parts) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// Named by content, so that a resumed or repeated run, and a file renamed after it was
// previewed, reuse what was made.
std::string ThumbnailOf(const ReportFile& file, size_t index) {
  const std::string& sha = file.sha256;
  return std::string(kThumbnailFolder) + "/" +
         (sha.size() >= 24 ? sha.substr(0, 24) : "n" + std::to_string(index)) + ".jpg";
}

bool Stopped(const GallerySettings& settings) {
  return settings.stop != nullptr && *settings.stop != 0;
}

int Cores() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

}  // namespace

std::string GalleryDate(const ReportFile& file, const std::string& previewDate) {
  if (!file.captureTime.empty()) return file.captureTime;
  if (!previewDate.empty()) return previewDate;
  if (file.hasOrigin && file.origin.mtime > 0) return IsoLocal(file.origin.mtime);
  return std::string();
}

Gallery::Gallery(CPhotoRecovery* engine, std::string outputDir, GallerySettings settings)
    : FEngine(engine), FOutputDir(std::move(outputDir)), FSettings(std::move(settings)) {}

Gallery::~Gallery() = default;

void Gallery::StartBesideScan() {
  const std::string folder = FOutputDir + "/" + kThumbnailFolder;
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return;
  FPool =
      std::make_unique<ThumbnailPool>(FEngine, FOutputDir, FSettings.thumbnailSize, FSettings.stop);
  FPool->Grow(std::max(1, Cores() - 1));
}

void Gallery::Written(const ReportFile& file) {
  if (FPool == nullptr || !file.written || file.filename.empty() || file.sha256.size() < 24) return;
  FPool->Add({file.filename, file.type, ThumbnailOf(file, 0)}, kMaxWaitingBesideScan);
}

bool Gallery::Finish(const std::string& reportPath, GalleryOutcome& outcome, std::string& error) {
  outcome = GalleryOutcome();
  std::vector<ReportFile> files;
  if (!ReadReportFiles(reportPath, files)) {
    error = "cannot read report '" + reportPath + "': " + std::strerror(errno);
    return false;
  }
  files.erase(std::remove_if(files.begin(), files.end(),
                             [](const ReportFile& f) { return !f.written || f.filename.empty(); }),
              files.end());
  const std::string folder = FOutputDir + "/" + kThumbnailFolder;
  if (!files.empty() && mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    error = "cannot make '" + folder + "': " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> thumbnails(files.size());
  for (size_t i = 0; i < files.size(); ++i) thumbnails[i] = ThumbnailOf(files[i], i);
  if (FPool == nullptr)
    FPool = std::make_unique<ThumbnailPool>(FEngine, FOutputDir, FSettings.thumbnailSize,
                                            FSettings.stop);
  const int workers = FSettings.workers > 0 ? FSettings.workers : std::min(Cores(), 4);
  if (!files.empty()) FPool->Grow(workers);
  // The files left: handed out a few at a time, so that a recovery of millions of files does
  // not queue them all. The pool passes over those it has found already.
  long long shown = -1;
  size_t next = 0;
  while (!Stopped(FSettings)) {
    for (; next < files.size() && FPool->Pending() < kMaxWaiting; ++next)
      FPool->Add({files[next].filename, files[next].type, thumbnails[next]}, kMaxWaiting);
    const size_t pending = FPool->Pending();
    if (next == files.size() && pending == 0) break;
    FPool->Wait(100);
    const long long done = static_cast<long long>(next - std::min(next, pending));
    if (FSettings.progress && done != shown)
      FSettings.progress(shown = done, static_cast<long long>(files.size()));
  }
  outcome.stopped = Stopped(FSettings);

  std::vector<GalleryItem> items(files.size());
  std::set<std::string> onPage;
  for (size_t i = 0; i < files.size(); ++i) {
    const ReportFile& file = files[i];
    GalleryItem& item = items[i];
    PreviewResult found;
    FPool->Found(thumbnails[i], found);
    item.filename = file.filename;
    item.type = file.type;
    item.size = file.size;
    item.damaged = file.damaged;
    if (file.hasOrigin) item.originalPath = file.origin.path;
    item.date = GalleryDate(file, found.date);
    item.width = found.width;
    item.height = found.height;
    if (found.thumbnail) {
      item.thumbnail = thumbnails[i];
      onPage.insert(item.thumbnail);
      ++outcome.thumbnails;
    }
    if (found.lost) ++outcome.lost;
  }
  // Thumbnails of files made beside the scan and since replaced (a damaged file rebuilt).
  for (const std::string& made : FPool->Made())
    if (onPage.count(made) == 0) std::remove((FOutputDir + "/" + made).c_str());
  FPool.reset();
  rmdir(folder.c_str());  // when no thumbnail is in it
  outcome.files = static_cast<long long>(items.size());
  return WriteGalleryPage(FOutputDir + "/index.html", items, "Recovered files", error);
}

bool MakeGallery(CPhotoRecovery* engine, const std::string& outputDir,
                 const std::string& reportPath, const GallerySettings& settings,
                 GalleryOutcome& outcome, std::string& error) {
  Gallery gallery(engine, outputDir, settings);
  return gallery.Finish(reportPath, outcome, error);
}

}  // namespace salvor
