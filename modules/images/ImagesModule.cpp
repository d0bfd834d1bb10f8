#include <cerrno>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <string>

#include "modules/images/ImageReader.h"
#include "plugin/DSBase.h"
#include "plugin/DSModuleBase.h"
#include "salvor/CDataSourceModule.h"
#include "salvor/CPhotoRecovery.h"
#include "salvor/LogLevel.h"
#include "util/StringUtils.h"

namespace salvor::images {

namespace {

void CopyWide(const std::string& text, wchar_t* out) {
  std::wcsncpy(out, toWideString(text).c_str(), 1023);
  out[1023] = L'\0';
}

// One image file as a data source of the image's own sector size. Read-only. The facts the
// image records are string properties: ImageFormat, Segments (one path a line), StoredMD5,
// StoredSHA1, Notes ("name=value" a line); Error holds why it could not be opened.
class CImageSource : public CDSBase {
 public:
  static constexpr size_t kListedSegments = 64;

  CImageSource(CPhotoRecovery* engine, const std::string& path) : CDSBase(engine), FPath(path) {
    FUniqueID = "images:" + path;
    std::string error;
    FReader = OpenImage(path, error);
    DefineStrProp("Error", error.c_str());
    if (FReader != nullptr) {
      const ImageFacts& facts = FReader->Facts();
      // Property values cross the plug-in boundary into buffers of no stated size: a split
      // image of thousands of parts lists its first ones and says how many more there are.
      std::string segments;
      for (size_t i = 0; i < facts.segments.size() && i < kListedSegments; ++i)
        segments += facts.segments[i] + "\n";
      if (facts.segments.size() > kListedSegments)
        segments += "(" + std::to_string(facts.segments.size() - kListedSegments) + " more)\n";
      std::string notes;
      for (const auto& note : facts.notes) notes += note.first + "=" + note.second + "\n";
      DefineStrProp("ImageFormat", facts.format.c_str());
      DefineStrProp("Segments", segments.c_str());
      DefineStrProp("StoredMD5", facts.md5.c_str());
      DefineStrProp("StoredSHA1", facts.sha1.c_str());
      DefineStrProp("Notes", notes.c_str());
      FBlockSize = FReader->SectorSize();
      FBlockCount = FReader->MediaSize() / FBlockSize;
      FReady = true;
    } else {
      FLastIOError = EIO;
    }
    FEngine->DSAdded(this);
  }
  ~CImageSource() override { FEngine->DSDeleted(this); }
  CImageSource(const CImageSource&) = delete;
  CImageSource& operator=(const CImageSource&) = delete;

  // True when the path is an image this module reads (opened or not).
  bool Recognised() const { return FReader != nullptr || !StrValue("Error").empty(); }

  void GetOSPath(wchar_t* path) override { CopyWide(FPath, path); }
  long long GetBlockSize() override { return FBlockSize; }
  long long GetBlockCount() override { return FBlockCount; }
  bool IsFormatted() override { return false; }
  bool IsReady() override { return FReady; }
  void Refresh() override {
    if (FReader != nullptr && !FReader->FilesPresent()) Lose();
  }
  int GetType() override { return 3; }
  bool GetIcon(void*& icon) override {
    icon = nullptr;
    return false;
  }
  bool GetDisplayName(wchar_t* name) override {
    const std::string format = FReader != nullptr ? FReader->Facts().format : "image";
    const size_t slash = FPath.rfind('/');
    CopyWide(format + " image " + FPath.substr(slash == std::string::npos ? 0 : slash + 1), name);
    return true;
  }
  int GetLastIOError() override { return FLastIOError; }

  bool ReadBlocks(long long Index, long long Count, void* Buffer) override {
    if (!FReady || Buffer == nullptr || Index < 0 || Count < 0 || Count > FBlockCount ||
        Index > FBlockCount - Count) {
      return false;
    }
    const long long position = Index * FBlockSize;
    bool cancel = false;
    FEngine->DSSeek(this, position, cancel);
    if (cancel) return false;
    int error = 0;
    if (!FReader->Read(position, static_cast<size_t>(Count * FBlockSize),
                       static_cast<uint8_t*>(Buffer), error)) {
      FLastIOError = error;
      if (!FReader->FilesPresent()) Lose();
      return false;
    }
    FLastIOError = 0;
    FEngine->DSSeek(this, position + Count * FBlockSize, cancel);
    return !cancel;
  }
  bool WriteBlocks(long long, long long, void*) override { return Refuse(); }
  bool AcquireReadLock() override { return FReady; }
  bool AcquireWriteLock() override { return Refuse(); }
  void ReleaseReadLock() override {}
  void ReleaseWriteLock() override {}

 private:
  std::string StrValue(const char* name) const {
    auto it = FStrProps.find(name);
    return it == FStrProps.end() ? std::string() : it->second.Value;
  }
  void Lose() {
    if (FReady)
      FEngine->Log("images", LogLevel::kError,
                   ("Image " + FPath + " is gone or cut short").c_str());
    FReady = false;
    FLastIOError = ENODEV;
  }
  bool Refuse() {
    FEngine->Log("images", LogLevel::kError,
                 ("Refusing to write to " + FPath + ": salvor never writes to a source").c_str());
    return false;
  }

  std::string FPath;
  std::unique_ptr<CImageReader> FReader;
  long long FBlockSize = 512;
  long long FBlockCount = 0;
  bool FReady = false;
  int FLastIOError = 0;
};

// Presents the image files named in its Images property (one path a line) that are in one of
// the formats read here. Plain raw images are left to the engine's own file source.
class CImagesModule : public CDSModuleBase {
 public:
  explicit CImagesModule(CPhotoRecovery* engine) : CDSModuleBase(engine, "salvor.images") {
    DefineStrProp("Images", "");
    DefineStrProp("Formats", FormatsRead().c_str());
  }

  void ScanSources(CPhotoRecovery* engine, int) override {
    if (engine != nullptr) FEngine = engine;
    std::map<std::string, std::unique_ptr<CImageSource>> kept;
    const std::string list = StrProp("Images");
    for (size_t at = 0; at < list.size();) {
      size_t end = list.find('\n', at);
      if (end == std::string::npos) end = list.size();
      const std::string path = list.substr(at, end - at);
      at = end + 1;
      if (path.empty() || kept.count(path) != 0) continue;
      auto existing = FSources.find(path);
      if (existing != FSources.end()) {
        kept[path] = std::move(existing->second);
        continue;
      }
      auto source = std::make_unique<CImageSource>(FEngine, path);
      if (source->Recognised()) kept[path] = std::move(source);
    }
    FSources = std::move(kept);
  }

 private:
  std::map<std::string, std::unique_ptr<CImageSource>> FSources;
};

}  // namespace
}  // namespace salvor::images

extern "C" __attribute__((visibility("default"))) CDataSourceModule* GetDSInstance(
    CPhotoRecovery* engine) {
  static salvor::images::CImagesModule module(engine);
  return &module;
}
