#pragma once

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "reassembly/Reassembly.h"
#include "report/DfxmlReport.h"

namespace salvor {

class ByteSpan;
class CScannedSource;
class RecoverySink;

// What reading files through the pieces their file system records may spend in all.
struct RunListLimits {
  std::chrono::milliseconds total{600000};
  long long maxBytes = 64LL << 30;
};

struct RunListOutcome {
  long long recovered = 0;     // delivered whole, in place of the damaged file if any
  long long missedByScan = 0;  // of them, files the scan did not find
  long long damaged = 0;       // their pieces read as damaged, or touch unreadable blocks
  long long notRead = 0;       // left as found: out of time or bytes, stopped, the output failed
};

// After the scan: reads files through the pieces a file system records for them and delivers
// those that come out whole, within the limits. Reads the source only.
class CRecordedFileReader {
 public:
  CRecordedFileReader(RecoverySink& sink, CScannedSource& source, const RunListLimits& limits,
                      const volatile std::sig_atomic_t* stop);
  ~CRecordedFileReader();
  CRecordedFileReader(const CRecordedFileReader&) = delete;
  CRecordedFileReader& operator=(const CRecordedFileReader&) = delete;

  // Reads `size` bytes through `pieces` (in file order) and checks them as a file of `type`:
  // unless its validator finds them damaged, they are delivered in place of `damaged`, or,
  // when that is null, as a file the scan missed, which needs the validator's "intact".
  void Recover(const std::vector<Piece>& pieces, long long size, const std::string& type,
               const ReportFile* damaged);
  const RunListOutcome& Outcome() const { return FOutcome; }

 private:
  RecoverySink& FSink;
  CScannedSource& FSource;
  std::unique_ptr<ByteSpan> FSpan;  // the source, cached
  RunListLimits FLimits;
  const volatile std::sig_atomic_t* FStop;
  std::chrono::steady_clock::time_point FDeadline;
  long long FBytesRead = 0;
  long long FFiles = 0;
  RunListOutcome FOutcome;
};

}  // namespace salvor
