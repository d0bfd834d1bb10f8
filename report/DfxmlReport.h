#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace salvor {

// What the report says about the run as a whole, written before the first file.
struct ReportHeader {
  std::string version;
  std::string commandLine;
  std::string startTime;  // ISO 8601, UTC
  std::vector<std::pair<std::string, std::string>> settings;
  std::string sourcePath;
  long long sourceSize = 0;
  long long blockSize = 0;
  // What an evidence or split image records about itself; empty for a raw image or a device.
  std::string imageFormat;
  std::vector<std::string> segments;
  std::vector<std::pair<std::string, std::string>> storedHashes;  // (md5 | sha1, hex)
};

// Bytes of the source that could not be read (error says how) or were not read (error empty:
// skipped after read errors around them).
struct ReportRange {
  long long offset = 0;
  long long length = 0;
  std::string error;
};

struct ReportFile {
  std::string filename;  // relative to the output folder
  long long size = 0;
  long long offset = 0;  // byte offset in the source
  std::string sha256;
  std::string type;
  std::string handlerId;
  bool damaged = false;
  bool written = true;               // false with --list-only
  long long unreadableBytes = 0;     // bytes the source could not deliver (written as zeros)
  std::vector<ReportRange> missing;  // where those bytes are
  // Where the file's validator found the first byte that does not fit, and why; -1: nowhere.
  long long damagedAt = -1;
  std::string damageReason;
  // A file rebuilt from pieces of the source: each piece (offset, length) in file order.
  // The first starts at offset. Empty: one piece, the file's size at its offset.
  std::vector<ReportRange> pieces;
  // The damaged file (its filename) that this rebuilt one takes the place of.
  std::string replaces;
  // The file-system entry whose data this is, when one names it.
  struct Origin {
    std::string path;  // full path in its file system
    std::string fileSystem;
    bool allocated = false;
    unsigned long long inode = 0;
    long long mtime = 0;  // seconds since 1970 UTC; 0: not recorded
    long long crtime = 0;
    long long atime = 0;
  };
  bool hasOrigin = false;
  Origin origin;
  // When the file was made, as it records it itself, and where that was read ("exif",
  // "quicktime"); written when no file system gives the file's times.
  std::string captureTime;
  std::string captureSource;
  // The type folder and sector name, when the file was written under another (--names).
  std::string sectorName;
};

struct ReportOutcome {
  std::string status;  // completed, cancelled, disk full, write error, lost source, read errors
  long long files = 0;
  long long bytes = 0;
  long long readErrors = 0;
  long long skipped = 0;              // files left out by --types/--exclude/--min-size/--max-size
  std::vector<ReportRange> badAreas;  // the source's, in order
  double seconds = 0;
  std::string endTime;
};

// A report as it was written, read back: its header's text and each whole entry.
struct ReportText {
  struct Entry {
    ReportFile file;       // what the entry says (name, size, offset, hash, type, state)
    bool skipped = false;  // found but not written: a fileobject without a filename
    std::string text;      // the entry's lines, as written
  };
  std::string header;          // everything before the first entry
  std::vector<Entry> entries;  // a file a later entry replaces is not among them
  std::string ending;          // the bad areas and the outcome after the last entry, if any
};

// Streams a DFXML report: the header at Open, one fileobject per AddFile (flushed, so that an
// abrupt end keeps every file already reported), the outcome and the closing tag at Finish.
class DfxmlReport {
 public:
  DfxmlReport() = default;
  ~DfxmlReport();
  DfxmlReport(const DfxmlReport&) = delete;
  DfxmlReport& operator=(const DfxmlReport&) = delete;

  // Creates path (never overwrites an existing file). False with errno set on failure.
  bool Open(const std::string& path, const ReportHeader& header);
  // Opens the report of an interrupted scan to go on with it: what followed its last whole
  // entry (the outcome, or an entry cut short) is dropped; the files and skipped files it
  // lists are handed back (a file a later entry replaces is not). False with errno set when it
  // cannot be read or written.
  bool Reopen(const std::string& path, std::vector<ReportFile>& files,
              std::vector<ReportFile>& skipped);
  // Reads the report at path without changing it. False with errno set when it cannot be
  // read or is not a salvor report.
  static bool Read(const std::string& path, ReportText& report);
  // Creates path with a header and entries taken from other reports (salvor merge).
  bool OpenWithHeader(const std::string& path, const std::string& header);
  bool AddEntryText(const std::string& text) { return Write(text); }
  // Bad-area lines taken from other reports, written before the outcome.
  bool AddLines(const std::string& text) { return Write(text); }
  // Makes what was written so far durable (before a checkpoint counts on it).
  bool Sync();
  // False when the write failed (errno tells why, e.g. ENOSPC).
  bool AddFile(const ReportFile& file);
  // A file found but left out by the user's filters, and which filter (type, min-size,
  // max-size): a salvor:skipped line, so that what was not written can still be looked up.
  bool AddSkipped(const ReportFile& file, const char* reason);
  bool Finish(const ReportOutcome& outcome);
  bool IsOpen() const { return FFile != nullptr; }

  // Text safe inside an XML element or a quoted attribute: markup escaped, control
  // characters and bytes that are not valid UTF-8 replaced by '?'.
  static std::string Escape(const std::string& text);

 private:
  bool Write(const std::string& text);
  FILE* FFile = nullptr;
};

// The files a report lists (as Reopen hands them back), read without changing it. False with
// errno set when it cannot be read.
bool ReadReportFiles(const std::string& path, std::vector<ReportFile>& files);

// Current time as "2026-12-06T02:05:42Z".
std::string UtcTimestamp();

}  // namespace salvor
