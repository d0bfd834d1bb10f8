#pragma once

#include <string>
#include <vector>

#include "recovery/BadAreas.h"

namespace salvor {

// What makes two scans the same scan: the source and every setting that changes what is
// found. A scan resumes only when these are equal.
struct ScanIdentity {
  std::string sourcePath;
  long long sourceBytes = 0;
  long long blockSize = 0;
  std::string sourceDigest;           // SHA-256 of the source's first bytes
  std::vector<std::string> settings;  // "name=value", as the report has them
};

// Where an interrupted scan can go on: the block a resumed scan starts at. Every file that
// starts before it has been delivered; files found again after it are known by the report.
struct Checkpoint {
  ScanIdentity identity;
  long long resumeBlock = 0;
  bool complete = false;  // the scan reached the end of the source
  // The source's bad areas so far (up to kMaxCheckpointRuns of each), so that a resumed scan
  // neither reads them again nor loses them from its report.
  std::vector<BlockRun> unreadable;
  std::vector<BlockRun> skipped;
  long long readErrors = 0;
};

constexpr size_t kMaxCheckpointRuns = 10000;

class CScannedSource;

// The identity of a scan of `source` (its size and its first 8 KiB, which tell a card put back
// in from another one of the same size) with these settings.
ScanIdentity IdentityOf(CScannedSource& source, const std::string& path,
                        std::vector<std::string> settings);

// The checkpoint's name in the output folder.
constexpr const char* kCheckpointName = ".salvor-resume";

class DfxmlReport;
class RecoverySink;

// Where the scan followed by sink over source stands now.
Checkpoint TakeCheckpoint(const ScanIdentity& identity, const RecoverySink& sink,
                          const CScannedSource& source, bool complete);
// Replaces DIR's checkpoint as one step, once the files and the report entries it counts on
// are on disk (report, when given, and everything else in DIR's file system): a power cut
// leaves the old checkpoint or the new one. False with errno set when it could not be written.
bool WriteCheckpoint(const std::string& dir, const Checkpoint& checkpoint,
                     DfxmlReport* report = nullptr);
// False with a reason when DIR has no checkpoint or it cannot be understood.
bool ReadCheckpoint(const std::string& dir, Checkpoint& checkpoint, std::string& reason);
// The first difference between the scan that was and the one asked for, in words; empty
// when they are the same scan.
std::string IdentityDifference(const ScanIdentity& was, const ScanIdentity& now);

// Before a scan resumes into DIR: removes what the interrupted one left that its report does
// not list (files written after the report's last entry, half-written files), so that the
// resumed scan writes each of them once. `reported` are the report's names, "type/name".
// Returns the number of files removed.
int RemoveUnreportedFiles(const std::string& dir, const std::vector<std::string>& reported);

}  // namespace salvor
