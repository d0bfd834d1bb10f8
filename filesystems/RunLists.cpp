#include "filesystems/RunLists.h"

#include <cctype>
#include <vector>

#include "recovery/RecoverySink.h"

namespace salvor {

namespace {

// "jpg" for "/DCIM/100CANON/IMG_0001.JPG"; empty when the name has no extension.
std::string ExtensionOf(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::string();
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

// Whether the entry's data is in more than one piece by its file system's record.
bool Fragmented(const FsEntry* entry) {
  return entry != nullptr && entry->recorded && entry->runs.size() > 1;
}

std::vector<Piece> PiecesOf(const FsEntry& entry) {
  std::vector<Piece> pieces;
  pieces.reserve(entry.runs.size());
  for (const SourceExtent& run : entry.runs) pieces.push_back({run.offset, run.length});
  return pieces;
}

}  // namespace

RunListOutcome RecoverThroughRunLists(const FileSystemCatalog& catalog, RecoverySink& sink,
                                      CScannedSource& source, const RunListLimits& limits,
                                      const volatile std::sig_atomic_t* stop) {
  CRecordedFileReader reader(sink, source, limits, stop);
  const std::vector<ReportFile> damaged = sink.Damaged();
  for (const ReportFile& file : damaged) {
    const FsEntry* entry = catalog.StartingAt(file.offset);
    if (Fragmented(entry)) reader.Recover(PiecesOf(*entry), entry->size, file.type, &file);
  }
  // Files the scan did not find at all: a camera's first cluster often ends inside the photo's
  // metadata, where a carver reading on into another file's data sees no photo. Their type is
  // their name's, proven by its validator.
  for (const FsEntry& entry : catalog.Entries()) {
    if (!Fragmented(&entry) || catalog.StartingAt(entry.start) != &entry ||
        sink.DeliveredAt(entry.start))
      continue;
    const std::string type = ExtensionOf(entry.path);
    if (FindRebuildValidator(type) != nullptr)
      reader.Recover(PiecesOf(entry), entry.size, type, nullptr);
  }
  return reader.Outcome();
}

}  // namespace salvor
