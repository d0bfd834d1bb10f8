#include "gallery/Gallery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

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
  std::vector<GalleryItem> items;
  items.reserve(files.size());
  std::vector<unsigned char> buffer(512 << 10);
  for (size_t i = 0; i < files.size(); ++i) {
    const ReportFile& file = files[i];
    GalleryItem item;
    item.filename = file.filename;
    item.type = file.type;
    item.size = file.size;
    item.damaged = file.damaged;
    if (file.hasOrigin) item.originalPath = file.origin.path;
    // Named by content, so that a resumed or repeated run reuses what it made.
    const std::string name =
        file.sha256.size() >= 24 ? file.sha256.substr(0, 24) : "n" + std::to_string(i);
    std::string previewDate;
    if (settings.stop == nullptr || *settings.stop == 0) {
      PreviewFile(engine, outputDir, file, std::string(kThumbnailFolder) + "/" + name + ".jpg",
                  settings.thumbnailSize, buffer, item, previewDate);
    } else {
      outcome.stopped = true;
    }
    item.date = GalleryDate(file, previewDate);
    if (!item.thumbnail.empty()) ++outcome.thumbnails;
    items.push_back(std::move(item));
    if (settings.progress) settings.progress(static_cast<long long>(i + 1), files.size());
  }
  outcome.files = static_cast<long long>(items.size());
  return WriteGalleryPage(outputDir + "/index.html", items, "Recovered files", error);
}

}  // namespace salvor
