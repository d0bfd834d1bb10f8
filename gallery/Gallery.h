#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "report/DfxmlReport.h"

class CPhotoRecovery;

namespace salvor {

// One tile of the gallery: a recovered file as the report lists it, and what its preview
// handler found in it.
struct GalleryItem {
  std::string filename;  // relative to the output folder
  std::string type;
  long long size = 0;
  bool damaged = false;
  std::string date;          // "YYYY-MM-DDTHH:MM:SS[Z]"; empty when unknown
  std::string originalPath;  // where a file system listed it; empty when none
  std::string thumbnail;     // relative to the output folder; empty when none was made
  int width = 0;
  int height = 0;
};

struct GallerySettings {
  int thumbnailSize = 256;  // the box every thumbnail fits
  // Called after each file with how many are done of how many.
  std::function<void(long long done, long long all)> progress;
  const volatile std::sig_atomic_t* stop = nullptr;  // nonzero: make no more thumbnails
  // Processes making thumbnails side by side; each file is read by one of them, so a decoder
  // that crashes or hangs on a hostile file costs that file's thumbnail only.
  int workers = 0;  // 0: one per core, at most 4
};

struct GalleryOutcome {
  long long files = 0;       // tiles on the page
  long long thumbnails = 0;  // of them with a thumbnail
  long long lost = 0;        // files whose decoding crashed or hung its worker
  bool stopped = false;
};

class ThumbnailPool;

// The gallery of a scan in outputDir: a thumbnail of every file the report lists as written,
// in outputDir/.thumbnails/ (through the engine's preview handlers, in worker processes; a
// thumbnail already there from an earlier run is kept), then outputDir/index.html. Thumbnails
// can be made beside the scan, as its files are written, so that little is left after it.
class Gallery {
 public:
  Gallery(CPhotoRecovery* engine, std::string outputDir, GallerySettings settings);
  ~Gallery();
  Gallery(const Gallery&) = delete;
  Gallery& operator=(const Gallery&) = delete;

  // Makes thumbnails beside the scan from now on, in one process fewer than the machine has
  // cores (at least one), each at a lower priority than the scan.
  void StartBesideScan();
  // A file the report now lists (from any one thread): its thumbnail is made while the scan
  // goes on. Never waits; when many files are waiting already, its thumbnail is made after the
  // scan instead.
  void Written(const ReportFile& file);
  // The thumbnails not made yet of the files the report at reportPath lists as written, then
  // the page. False with a one-line reason when the report cannot be read or the page cannot
  // be written.
  bool Finish(const std::string& reportPath, GalleryOutcome& outcome, std::string& error);

 private:
  CPhotoRecovery* FEngine;
  std::string FOutputDir;
  GallerySettings FSettings;
  std::unique_ptr<ThumbnailPool> FPool;
};

// The gallery of a finished scan in outputDir, all made after it (see Gallery).
bool MakeGallery(CPhotoRecovery* engine, const std::string& outputDir,
                 const std::string& reportPath, const GallerySettings& settings,
                 GalleryOutcome& outcome, std::string& error);

// The page alone: one self-contained HTML file showing the items (no network, no files but
// the thumbnails and the recovered files it links to).
bool WriteGalleryPage(const std::string& path, const std::vector<GalleryItem>& items,
                      const std::string& title, std::string& error);

// The date a tile is filed under: the one the file records (the report's, else its preview
// handler's), else its file system entry's modification time.
std::string GalleryDate(const ReportFile& file, const std::string& previewDate);

}  // namespace salvor
