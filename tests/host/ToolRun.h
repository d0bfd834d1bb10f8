#pragma once

// Running the built salvor tool as a user does, and reading what it leaves behind: the
// report's entries and the files in the output folder. Shared by the tool's tests.

#include <glob.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ScanHarness.h"

namespace testing_support {

struct ToolOutcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs salvor from dir with a shell-quoted argument string; prefix may set variables or limits.
inline ToolOutcome RunSalvor(const std::string& dir, const std::string& args,
                             const std::string& prefix = "") {
  const std::string command = "cd '" + dir + "' && " + prefix + "'" SALVOR_EXE "' " + args + " >'" +
                              dir + "/stdout.txt' 2>'" + dir + "/stderr.txt'";
  const int raw = std::system(("bash -c \"" + command + "\"").c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadText(dir + "/stdout.txt"),
          ReadText(dir + "/stderr.txt")};
}

inline std::string Between(const std::string& text, const std::string& open,
                           const std::string& close) {
  size_t start = text.find(open);
  if (start == std::string::npos) return "";
  start += open.size();
  return text.substr(start, text.find(close, start) - start);
}

struct ReportedFile {
  std::string filename;
  long long offset;
  long long size;
  std::string sha256;
  bool damaged;
  long long unreadable;                                  // bytes the source could not deliver
  std::vector<std::pair<long long, long long>> missing;  // where: offset, length in the source
};

// The byte ranges of salvor:unreadable and salvor:unread lines in `text`.
inline std::vector<std::pair<long long, long long>> MissingRanges(const std::string& text) {
  std::vector<std::pair<long long, long long>> ranges;
  for (size_t at = text.find("<salvor:unread"); at != std::string::npos;
       at = text.find("<salvor:unread", at + 1)) {
    if (text.compare(at, 22, "<salvor:unreadable_byt") == 0) continue;
    const std::string line = text.substr(at, text.find("/>", at) - at);
    ranges.emplace_back(std::atoll(Between(line, "img_offset=\"", "\"").c_str()),
                        std::atoll(Between(line, " len=\"", "\"").c_str()));
  }
  return ranges;
}

inline std::vector<ReportedFile> ReportedFiles(const std::string& report) {
  std::vector<ReportedFile> files;
  for (size_t at = report.find("<fileobject>"); at != std::string::npos;
       at = report.find("<fileobject>", at + 1)) {
    const std::string entry = report.substr(at, report.find("</fileobject>", at) - at);
    if (entry.find("<salvor:skipped ") != std::string::npos) continue;  // found, not written
    files.push_back({Between(entry, "<filename>", "</filename>"),
                     std::atoll(Between(entry, "img_offset=\"", "\"").c_str()),
                     std::atoll(Between(entry, " len=\"", "\"").c_str()),
                     Between(entry, "<hashdigest type=\"sha256\">", "</hashdigest>"),
                     Between(entry, "<salvor:damaged>", "</salvor:damaged>") == "1",
                     std::atoll(Between(entry, "<salvor:unreadable_bytes>", "<").c_str()),
                     MissingRanges(entry)});
  }
  return files;
}

// The report's closing line: status, files, bytes, read errors.
inline std::string OutcomeLine(const std::string& report) {
  return Between(report, "<salvor:outcome ", " seconds=");
}

// Files below the output folder's type folders, as "type/name".
inline std::set<std::string> WrittenFiles(const std::string& out) {
  std::set<std::string> names;
  glob_t found{};
  if (glob((out + "/*/*").c_str(), 0, nullptr, &found) == 0)
    for (size_t i = 0; i < found.gl_pathc; ++i) names.insert(found.gl_pathv[i] + out.size() + 1);
  globfree(&found);
  return names;
}

// "jpg/f0000000008.jpg": where the tool files what it found at a sector-aligned offset.
inline std::string RecoveredName(char prefix, long long offset, const std::string& type) {
  char name[64];
  std::snprintf(name, sizeof name, "%c%010lld.", prefix, offset / 512);
  return type + "/" + name + type;
}

}  // namespace testing_support
