#pragma once

#include <string>
#include <vector>

#include "filesystems/FileSystems.h"
#include "report/CaptureDate.h"
#include "report/DfxmlReport.h"

namespace salvor {

// "fat32 at byte 1048576 (partition 1)": a file system as the report and the log name it.
std::string VolumeName(const FsVolume& volume);

// One line per file system, after `prefix`: what it is, where, how many files it lists.
std::string FileSystemLines(const FileSystemCatalog& catalog, const std::string& prefix);

// The parts of a source of `sourceBytes` a scan covers: the whole source, partition
// `partition` (from 1; 0: every partition), and with `freeSpace` only the catalog's free
// space, in source order. False with `error` in words when there is no such partition.
bool AreasToScan(const FileSystemCatalog& catalog, int partition, bool freeSpace,
                 long long sourceBytes, std::vector<SourceExtent>& areas, std::string& error);

// The file-system entry whose data the recovered file is (path, allocation, entry number,
// times), into its report entry; nothing when no entry starts where the file does.
void AddOrigin(const FileSystemCatalog& catalog, ReportFile& entry);

// The date the written file at `path` (of `size` bytes) records itself.
CaptureDate CaptureDateOfFile(const std::string& path, long long size);

// The name --names and --sort-by-date give a file: its original path (marked when damaged),
// or under YYYY/MM/ its original or sector file name, by the date the file records (read from
// `written`, its bytes on disk; empty with --list-only), else its file-system entry's. Empty
// keeps the type folder and sector name.
std::string GivenName(const FileSystemCatalog& catalog, bool names, bool sortByDate,
                      const ReportFile& entry, const std::string& written);

}  // namespace salvor
