#include "report/DfxmlReport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace salvor {

namespace {
// The last line of the report's header: what follows are its entries.
constexpr const char* kHeaderEnd = "  </diskimageobject>\n";
}  // namespace

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  unsigned int minimum = 0;
  unsigned int code = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code == 0xFFFE || code == 0xFFFF) return 0;
  return length;
}

std::string Number(long long value) {
  return std::to_string(value);
}

// One line per range, at most kMaxListedRanges of them: a source failing everywhere must not
// make the report grow without end.
std::string Ranges(const std::vector<ReportRange>& ranges, const char* indent) {
  constexpr size_t kMaxListedRanges = 10000;
  std::string text;
  for (size_t i = 0; i < ranges.size() && i < kMaxListedRanges; ++i) {
    const ReportRange& range = ranges[i];
    text += std::string(indent) + (range.error.empty() ? "<salvor:unread" : "<salvor:unreadable") +
            " img_offset=\"" + Number(range.offset) + "\" len=\"" + Number(range.length) + "\"" +
            (range.error.empty() ? "" : " error=\"" + DfxmlReport::Escape(range.error) + "\"") +
            "/>\n";
  }
  if (ranges.size() > kMaxListedRanges) {
    text += std::string(indent) + "<salvor:more_ranges count=\"" +
            Number(static_cast<long long>(ranges.size() - kMaxListedRanges)) + "\"/>\n";
  }
  return text;
}

// The file's byte_run lines: one per piece, each at its place in the file.
std::string ByteRuns(const ReportFile& file) {
  std::vector<ReportRange> runs = file.pieces;
  if (runs.empty()) runs.push_back({file.offset, file.size, {}});
  std::string text;
  long long within = 0;
  for (const ReportRange& run : runs) {
    text += "      <byte_run file_offset=\"" + Number(within) + "\" img_offset=\"" +
            Number(run.offset) + "\" len=\"" + Number(run.length) + "\"/>\n";
    // Lengths come from the caller; nonsense ones must not overflow.
    if (run.length > 0) within = run.length > LLONG_MAX - within ? LLONG_MAX : within + run.length;
  }
  return text;
}

// The text between the first `open` in `text` and the next `close` after it.
std::string Field(const std::string& text, const char* open, const char* close) {
  const size_t start = text.find(open);
  if (start == std::string::npos) return std::string();
  const size_t begin = start + std::strlen(open);
  return text.substr(begin, text.find(close, begin) - begin);
}

long long NumberField(const std::string& text, const char* open, const char* close) {
  return std::atoll(Field(text, open, close).c_str());
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const size_t semicolon = text.find(';', i);
    const std::string entity = text.substr(i + 1, semicolon - i - 1);
    if (!entity.empty() && entity[0] == '#') {
      out += static_cast<char>(std::atoi(entity.c_str() + 1) & 0x7F);  // only &#9; &#10; &#13;
    } else {
      out += entity == "lt"     ? "<"
             : entity == "gt"   ? ">"
             : entity == "amp"  ? "&"
             : entity == "quot" ? "\""
             : entity == "apos" ? "'"
                                : "?";
    }
    i = semicolon == std::string::npos ? text.size() : semicolon;
  }
  return out;
}

}  // namespace

std::string DfxmlReport::Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += '?';
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

DfxmlReport::~DfxmlReport() {
  if (FFile != nullptr) std::fclose(FFile);
}

bool DfxmlReport::Write(const std::string& text) {
  if (FFile == nullptr) return false;
  if (std::fwrite(text.data(), 1, text.size(), FFile) != text.size()) return false;
  return std::fflush(FFile) == 0;
}

namespace {

// "2026-12-07T14:16:36Z" -> seconds since 1970; 0 when it is not that form.
long long SecondsOf(const std::string& text) {
  struct tm parts {};
  if (text.size() < 19 || strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts) == nullptr) return 0;
  return static_cast<long long>(timegm(&parts));
}

// The date a file records and what its file-system entry said, from its report entry.
void ReadDates(const std::string& entry, ReportFile& file) {
  const size_t capture = entry.find("<salvor:capture_time source=\"");
  if (capture != std::string::npos) {
    const std::string rest = entry.substr(capture);
    file.captureSource = Unescape(Field(rest, "source=\"", "\""));
    file.captureTime = Unescape(Field(rest, "\">", "</salvor:capture_time>"));
  }
  const size_t origin = entry.find("<salvor:original_path file_system=\"");
  if (origin == std::string::npos) return;
  const std::string rest = entry.substr(origin);
  file.hasOrigin = true;
  file.origin.fileSystem = Unescape(Field(rest, "file_system=\"", "\""));
  file.origin.path = Unescape(Field(rest, "\">", "</salvor:original_path>"));
  file.origin.allocated = Field(entry, "<alloc>", "</alloc>") == "1";
  file.origin.mtime = SecondsOf(Field(entry, "<mtime>", "</mtime>"));
  file.origin.crtime = SecondsOf(Field(entry, "<crtime>", "</crtime>"));
  file.origin.atime = SecondsOf(Field(entry, "<atime>", "</atime>"));
}

}  // namespace

bool ReadReportFiles(const std::string& path, std::vector<ReportFile>& files) {
  ReportText report;
  if (!DfxmlReport::Read(path, report)) return false;
  for (auto& entry : report.entries)
    if (!entry.skipped) files.push_back(std::move(entry.file));
  return true;
}

bool DfxmlReport::Read(const std::string& path, ReportText& report) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  std::string text;
  char buffer[65536];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, got);
  std::fclose(in);
  size_t keep = text.find(kHeaderEnd);
  if (keep == std::string::npos) {
    errno = EINVAL;
    return false;
  }
  keep += std::strlen(kHeaderEnd);
  report.header = text.substr(0, keep);
  report.entries.clear();
  for (size_t at = keep; at < text.size();) {
    const size_t line = text.find('\n', at);
    if (line == std::string::npos || text.compare(at, line - at, "  <fileobject>") != 0) break;
    const size_t close = text.find("  </fileobject>\n", at);
    if (close == std::string::npos) break;
    ReportText::Entry parsed;
    const size_t end = close + std::strlen("  </fileobject>\n");
    parsed.text = text.substr(at, end - at);
    const std::string& entry = parsed.text;
    ReportFile& file = parsed.file;
    file.offset = NumberField(entry, "img_offset=\"", "\"");
    file.size = NumberField(entry, "<filesize>", "</filesize>");
    file.type = Unescape(Field(entry, "<salvor:type>", "</salvor:type>"));
    parsed.skipped = entry.find("<salvor:skipped ") != std::string::npos;
    if (!parsed.skipped) {
      file.filename = Unescape(Field(entry, "<filename>", "</filename>"));
      file.sha256 = Field(entry, "<hashdigest type=\"sha256\">", "</hashdigest>");
      file.handlerId = Unescape(Field(entry, "<salvor:handler>", "</salvor:handler>"));
      file.damaged = Field(entry, "<salvor:damaged>", "<") == "1";
      file.written = Field(entry, "<salvor:written>", "<") == "1";
      file.unreadableBytes = NumberField(entry, "<salvor:unreadable_bytes>", "<");
      file.replaces = Unescape(Field(entry, "<salvor:replaces>", "<"));
      ReadDates(entry, file);
      if (!file.replaces.empty()) {
        auto& entries = report.entries;
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const ReportText::Entry& e) {
                                       return !e.skipped && e.file.filename == file.replaces;
                                     }),
                      entries.end());
      }
    }
    report.entries.push_back(std::move(parsed));
    at = keep = end;
  }
  report.ending = text.substr(keep);
  return true;
}

bool DfxmlReport::Reopen(const std::string& path, std::vector<ReportFile>& files,
                         std::vector<ReportFile>& skipped) {
  // The report goes on after its last whole entry, or after its header.
  ReportText report;
  struct stat info {};
  if (!Read(path, report) || stat(path.c_str(), &info) != 0) return false;
  for (const ReportText::Entry& entry : report.entries)
    (entry.skipped ? skipped : files).push_back(entry.file);
  const long long keep =
      static_cast<long long>(info.st_size) - static_cast<long long>(report.ending.size());
  FFile = std::fopen(path.c_str(), "r+b");
  if (FFile == nullptr) return false;
  if (ftruncate(fileno(FFile), static_cast<off_t>(keep)) != 0 ||
      std::fseek(FFile, 0, SEEK_END) != 0) {
    std::fclose(FFile);
    FFile = nullptr;
    return false;
  }
  return true;
}

bool DfxmlReport::OpenWithHeader(const std::string& path, const std::string& header) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  FFile = fdopen(fd, "w");
  if (FFile == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  return Write(header);
}

bool DfxmlReport::Sync() {
  return FFile != nullptr && std::fflush(FFile) == 0 && fsync(fileno(FFile)) == 0;
}

bool DfxmlReport::Open(const std::string& path, const ReportHeader& header) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  FFile = fdopen(fd, "w");
  if (FFile == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<dfxml version=\"1.2.0\"\n"
      "       xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
      "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
      "       xmlns:salvor=\"urn:salvor:report:1\">\n"
      "  <metadata>\n"
      "    <dc:type>Carved Files</dc:type>\n"
      "    <salvor:settings>\n";
  for (const auto& setting : header.settings) {
    text += "      <salvor:setting name=\"" + Escape(setting.first) + "\" value=\"" +
            Escape(setting.second) + "\"/>\n";
  }
  text +=
      "    </salvor:settings>\n"
      "  </metadata>\n"
      "  <creator version=\"1.0\">\n"
      "    <program>salvor</program>\n"
      "    <version>" +
      Escape(header.version) +
      "</version>\n"
      "    <execution_environment>\n"
      "      <command_line>" +
      Escape(header.commandLine) + "</command_line>\n";
  if (!header.startTime.empty())
    text += "      <start_time>" + Escape(header.startTime) + "</start_time>\n";
  text += "    </execution_environment>\n  </creator>\n  <source>\n    <image_filename>" +
          Escape(header.sourcePath) + "</image_filename>\n";
  // The other files of a split or segmented image, in order.
  for (size_t i = 1; i < header.segments.size(); ++i)
    text += "    <image_filename>" + Escape(header.segments[i]) + "</image_filename>\n";
  text += "  </source>\n  <diskimageobject>\n    <salvor:imagesize>" + Number(header.sourceSize) +
          "</salvor:imagesize>\n";
  if (!header.imageFormat.empty())
    text += "    <salvor:image_format>" + Escape(header.imageFormat) + "</salvor:image_format>\n";
  // The hashes the acquisition stored, to compare with the image as it is read.
  for (const auto& hash : header.storedHashes) {
    text += "    <salvor:stored_hash type=\"" + Escape(hash.first) + "\">" + Escape(hash.second) +
            "</salvor:stored_hash>\n";
  }
  if (header.blockSize > 0)
    text += "    <sector_size>" + Number(header.blockSize) + "</sector_size>\n";
  text += kHeaderEnd;
  if (!Write(text)) {
    int saved = errno;
    std::fclose(FFile);
    FFile = nullptr;
    unlink(path.c_str());
    errno = saved;
    return false;
  }
  return true;
}

namespace {

// DFXML's time form: 2026-12-07T14:16:36Z.
std::string IsoTime(long long seconds) {
  const time_t value = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[32] = "";
  if (gmtime_r(&value, &parts) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// What the file system said of the file: allocation, entry number and times, in DFXML's order.
std::string OriginFields(const ReportFile& file) {
  if (!file.hasOrigin) return std::string();
  std::string text = "    <alloc>" + std::string(file.origin.allocated ? "1" : "0") +
                     "</alloc>\n    <inode>" + std::to_string(file.origin.inode) + "</inode>\n";
  for (const auto& [name, seconds] : {std::pair<const char*, long long>{"mtime", file.origin.mtime},
                                      {"atime", file.origin.atime},
                                      {"crtime", file.origin.crtime}}) {
    const std::string time = seconds > 0 ? IsoTime(seconds) : std::string();
    if (!time.empty()) text += std::string("    <") + name + ">" + time + "</" + name + ">\n";
  }
  return text;
}

}  // namespace

bool DfxmlReport::AddFile(const ReportFile& file) {
  std::string text =
      "  <fileobject>\n"
      "    <filename>" +
      Escape(file.filename) +
      "</filename>\n"
      "    <filesize>" +
      Number(file.size) + "</filesize>\n" + OriginFields(file) + "    <byte_runs>\n" +
      ByteRuns(file) +
      "    </byte_runs>\n"
      "    <hashdigest type=\"sha256\">" +
      Escape(file.sha256) +
      "</hashdigest>\n"
      "    <salvor:type>" +
      Escape(file.type) +
      "</salvor:type>\n"
      "    <salvor:handler>" +
      Escape(file.handlerId) +
      "</salvor:handler>\n"
      "    <salvor:damaged>" +
      (file.damaged ? "1" : "0") +
      "</salvor:damaged>\n"
      "    <salvor:written>" +
      (file.written ? "1" : "0") + "</salvor:written>\n";
  if (file.unreadableBytes > 0) {
    text += "    <salvor:unreadable_bytes>" + Number(file.unreadableBytes) +
            "</salvor:unreadable_bytes>\n";
  }
  text += Ranges(file.missing, "    ");
  if (file.damagedAt >= 0) {
    text += "    <salvor:damaged_at reason=\"" + Escape(file.damageReason) + "\">" +
            Number(file.damagedAt) + "</salvor:damaged_at>\n";
  }
  if (!file.replaces.empty())
    text += "    <salvor:replaces>" + Escape(file.replaces) + "</salvor:replaces>\n";
  if (!file.sectorName.empty())
    text += "    <salvor:sector_name>" + Escape(file.sectorName) + "</salvor:sector_name>\n";
  if (!file.captureTime.empty()) {
    text += "    <salvor:capture_time source=\"" + Escape(file.captureSource) + "\">" +
            Escape(file.captureTime) + "</salvor:capture_time>\n";
  }
  if (file.hasOrigin) {
    text += "    <salvor:original_path file_system=\"" + Escape(file.origin.fileSystem) + "\">" +
            Escape(file.origin.path) + "</salvor:original_path>\n";
  }
  text += "  </fileobject>\n";
  return Write(text);
}

bool DfxmlReport::AddSkipped(const ReportFile& file, const char* reason) {
  // A file object found and not written: no filename, its place and why.
  return Write("  <fileobject>\n    <filesize>" + Number(file.size) +
               "</filesize>\n    <byte_runs>\n      <byte_run file_offset=\"0\" img_offset=\"" +
               Number(file.offset) + "\" len=\"" + Number(file.size) +
               "\"/>\n    </byte_runs>\n    <salvor:type>" + Escape(file.type) +
               "</salvor:type>\n    <salvor:skipped reason=\"" + Escape(reason) +
               "\"/>\n  </fileobject>\n");
}

bool DfxmlReport::Finish(const ReportOutcome& outcome) {
  if (FFile == nullptr) return false;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", outcome.seconds);
  bool ok = Write(Ranges(outcome.badAreas, "  ") + "  <salvor:outcome status=\"" +
                  Escape(outcome.status) + "\" files=\"" + Number(outcome.files) + "\" bytes=\"" +
                  Number(outcome.bytes) + "\" read_errors=\"" + Number(outcome.readErrors) +
                  "\" skipped=\"" + Number(outcome.skipped) + "\" seconds=\"" + seconds +
                  "\" end_time=\"" + Escape(outcome.endTime) +
                  "\"/>\n"
                  "</dfxml>\n");
  if (std::fclose(FFile) != 0) ok = false;
  FFile = nullptr;
  return ok;
}

std::string UtcTimestamp() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace salvor
